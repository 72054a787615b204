#pragma once
// Runs the real main window (dialog template 102 linked into the test) on a
// user-interface thread of its own, with recording events in place of the
// dialog logic. The test's thread plays the programming worker and the world
// outside (the system posting messages to the window).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_window.h"
#include "resource.h"

namespace vantel::win32::test {

class RecordingEvents : public MainDialogEvents {
public:
    // Behaviour the test sets before the window starts.
    std::atomic<bool> allowClose{true};
    std::atomic<bool> toTray{false};
    std::atomic<int> paintHides{0};

    void onInitDialog() override { note("init"); }
    void onCommand(int id) override { note("command " + std::to_string(id)); }
    void onTimer(int id) override { note("timer " + std::to_string(id)); }
    void onDeviceChange(const DeviceBroadcast& b) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            broadcasts_.push_back(b);
        }
        note("device");
    }
    void onHotKey(int id) override { note("hotkey " + std::to_string(id)); }
    bool onCloseRequest() override {
        note("close-request");
        return allowClose.load();
    }
    void onDestroy() override { note("destroy"); }
    bool minimiseToTray() override { return toTray.load(); }
    bool takePaintHide(bool minimised) override {
        if (minimised || paintHides.load() <= 0) return false;
        --paintHides;
        return true;
    }
    void restoredFromTray() override { note("restored"); }
    void addTrayIcon() override { note("tray-add"); }
    void removeTrayIcon() override { note("tray-remove"); }
    void showAbout() override { note("about"); }

    std::vector<std::string> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    int count(const std::string& entry) const {
        int n = 0;
        for (const auto& e : log()) n += e == entry ? 1 : 0;
        return n;
    }
    std::vector<DeviceBroadcast> broadcasts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return broadcasts_;
    }
    // Waits (bounded) until `entry` has been logged `times` times.
    bool waitFor(const std::string& entry, int times = 1, int ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            int n = 0;
            for (const auto& e : log_) n += e == entry ? 1 : 0;
            return n >= times;
        });
    }
    std::thread::id threadOf(const std::string& entry) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < log_.size(); ++i) {
            if (log_[i] == entry) return threads_[i];
        }
        return {};
    }

private:
    void note(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(entry);
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> log_;
    std::vector<std::thread::id> threads_;
    std::vector<DeviceBroadcast> broadcasts_;
};

class WindowHarness {
public:
    RecordingEvents events;
    Win32MainWindow window{GetModuleHandleA(nullptr)};

    // False when no window can be created (no display).
    bool start() {
        ui_ = std::thread([this] {
            uiId_ = std::this_thread::get_id();
            result_ = window.runModal(events, IDD_VANTEL_DIALOG);
            ended_ = true;
            events.onCommand(-1);  // wakes waiters: logged as "command -1"
        });
        // Either the window comes up or the modal run fails at once.
        for (int i = 0; i < 1000 && events.log().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (events.count("init") != 1 || ended_) {
            stop();
            return false;
        }
        hwnd = window.hwnd();
        return true;
    }

    // Makes the user-interface thread handle everything posted before this
    // call (posted messages are handled in order; a sent one would overtake
    // them), then paint what is invalid.
    void settle() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        window.post([done] { *done = true; });
        for (int i = 0; i < 1000 && !*done && !ended_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        DWORD_PTR r = 0;
        SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
    }

    bool waitEnded(int ms = 10000) { return events.waitFor("command -1", 1, ms); }
    bool ended() const { return ended_; }
    INT_PTR result() const { return result_; }
    std::thread::id uiThread() const { return uiId_; }

    void stop() {
        if (ui_.joinable()) {
            if (!ended_) {
                events.allowClose = true;
                PostMessageA(window.hwnd() ? window.hwnd() : hwnd, WM_CLOSE, 0, 0);
                waitEnded();
            }
            ui_.join();
        }
    }
    ~WindowHarness() { stop(); }

    HWND hwnd = nullptr;

private:
    std::thread ui_;
    std::thread::id uiId_;
    std::atomic<bool> ended_{false};
    INT_PTR result_ = 0;
};

// Skips a window test where no window can be created.
#define START_WINDOW_OR_SKIP(h)                                                    \
    do {                                                                           \
        if (!(h).start()) GTEST_SKIP() << "no display: the window cannot be created"; \
    } while (0)

}  // namespace vantel::win32::test
