#pragma once
// A main window without a screen: one loop thread runs every handler, timers
// fire by id, other threads post calls or wait for them, and device arrivals
// and removals are delivered to the handler as the Windows shell delivers them.
// Tests drive it; the command-line front end draws it on a terminal.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/discovery.h"
#include "link/hid_backend.h"
#include "update/window.h"

namespace vantel {

// Observes what the window shows; called on the loop thread.
class WindowObserver {
public:
    virtual ~WindowObserver() = default;
    virtual void controlTextChanged(int id, const std::string& text) { (void)id; (void)text; }
    virtual void controlEnabled(int id, bool enabled) { (void)id; (void)enabled; }
    virtual void progressChanged(int low, int high, int pos) { (void)low; (void)high; (void)pos; }
    // A message box is up; it closes when this returns. Called on the thread
    // that asked for the box (a box from the worker blocks only the worker).
    virtual void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
        (void)text; (void)caption; (void)icon;
    }
    virtual void timerChanged(int id, bool armed, int ms) { (void)id; (void)armed; (void)ms; }
    virtual void windowEnded() {}
};

class HeadlessWindow : public MainWindow, public DeviceEventSink {
public:
    HeadlessWindow();
    // Stops the loop thread. May be called from a handler on the loop thread:
    // the loop then ends without touching the window again. Other threads must
    // no longer call into the window by then.
    ~HeadlessWindow() override;

    // Starts the loop thread; every later event goes to `handler` on it.
    void start(WindowHandler& handler);
    // Runs `init` on the loop thread and waits for it (window initialisation).
    void initialise(const std::function<void()>& init);
    // Blocks until the window has ended (endWindow ran); false on timeout.
    bool waitUntilEnded(int timeoutMs);
    bool ended() const;

    void setObserver(WindowObserver* observer);

    // User actions, posted to the loop thread.
    void click(int id);            // BN_CLICKED of a button (ignored while it is disabled)
    void command(int id);          // a command id (also for ids no control carries)
    void hotKey(int id);
    void requestClose();           // the user's Close
    void typePath(const std::string& text);  // the user types into the path field
    void selectDevice(int index);            // the user picks a device-list item

    // Waits until every call posted before it has run on the loop thread.
    void drain();

    // DeviceEventSink: arrivals and removals from a back end, posted to the loop.
    void deviceChanged(const DeviceBroadcast& broadcast) override;

    // MainWindow.
    DeviceList& deviceList() override;
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) override;
    void enableControl(int id, bool enable) override;
    bool isControlEnabled(int id) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void setTimer(int id, int ms) override;
    void killTimer(int id) override;
    void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    void postClose() override;
    void endWindow() override;
    void invoke(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    bool onUiThread() const override;

    // Snapshots, for tests (any thread).
    int progressPos();
    bool timerArmed(int id);
    std::vector<std::string> deviceItems();
    int selection();

private:
    class List;
    struct Task {
        std::function<void()> fn;
        bool isInvoke = false;  // still runs after the window has ended
    };
    void loop();
    // Queues a user or system event; dropped once the window has ended.
    void postEvent(std::function<void()> fn);
    // Runs `fn` on the loop thread and waits; inline on that thread or once the loop is gone.
    void runOnLoop(const std::function<void()>& fn);
    WindowObserver* currentObserver();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    struct Timer {
        std::chrono::steady_clock::time_point due;
        int ms = 0;
        std::uint64_t serial = 0;
    };
    std::map<int, Timer> timers_;
    std::uint64_t timerSerial_ = 0;
    bool stopping_ = false;
    bool loopExited_ = false;
    bool ended_ = false;
    bool destroyed_ = false;  // onDestroy has run
    bool* abandoned_ = nullptr;  // in the loop's frame while it runs (guarded by mutex_)
    std::condition_variable endedCv_;
    std::thread thread_;
    std::thread::id loopId_;
    WindowHandler* handler_ = nullptr;
    WindowObserver* observer_ = nullptr;

    // Control state. Changed on the loop thread; guarded so that the snapshots
    // may read it from any thread.
    mutable std::mutex controlsMutex_;
    std::map<int, std::string> texts_;
    std::map<int, bool> enabled_;
    int progressLow_ = 0, progressHigh_ = 100, progressPos_ = 0;
    List* list_ = nullptr;
};

}  // namespace vantel
