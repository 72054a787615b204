#pragma once
// A synchronous, single-threaded MainWindow for unit tests: it records what the
// code under test does to the window and lets the test look at it directly.
// `invoke` runs at once, `post` queues until `runPosted()`, `onUiThread()` is
// always true. Tests that need a real user-interface thread use HeadlessWindow.
//
//   FakeWindow window;
//   window.list.items = {"ISP Mode"}; window.list.selection = 0;
//   ... run ...
//   window.boxes            -> message boxes in order {text, caption, icon}
//   window.statusHistory    -> every status-line text in order
//   window.closePosted      -> postClose calls
//   window.onMessageBox = [&](const BoxRecord& box) { ... };  // runs while the box is "up"

#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/journal.h"
#include "update/window.h"

namespace vantel {

class FakeDeviceList : public DeviceList {
public:
    std::vector<std::string> items;
    int selection = -1;
    int resetCount = 0;

    void resetContent() override {
        items.clear();
        selection = -1;
        ++resetCount;
    }
    void addString(const std::string& text) override { items.push_back(text); }
    void setCurSel(int index) override {
        selection = (index >= 0 && index < getCount()) ? index : -1;
    }
    int getCurSel() const override { return selection; }
    int getCount() const override { return static_cast<int>(items.size()); }
    std::string getItemText(int index) const override {
        if (index < 0 || index >= getCount()) return {};
        return items[static_cast<std::size_t>(index)];
    }
};

struct BoxRecord {
    std::string text;
    std::string caption;
    BoxIcon icon = BoxIcon::None;

    bool operator==(const BoxRecord&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const BoxRecord& b) {
    return out << "{\"" << b.text << "\", \"" << b.caption << "\", "
               << (b.icon == BoxIcon::Warning ? "Warning" : "None") << "}";
}

class FakeWindow : public MainWindow {
public:
    FakeDeviceList list;

    // Controls. A control never touched by enableControl counts as enabled.
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::vector<std::string> statusHistory;              // every text set on IDC_STATUS
    std::vector<std::pair<int, std::string>> textHistory;  // every setControlText {id, text}

    // Progress bar.
    int progressLow = 0;
    int progressHigh = 100;
    int progressPos = 0;
    std::vector<std::pair<int, int>> rangeHistory;
    std::vector<int> posHistory;

    // Timers: the armed ones by id with their period; every set and kill in order.
    std::map<int, int> timers;
    std::vector<std::pair<int, int>> timerSets;
    std::vector<int> timerKills;

    std::vector<BoxRecord> boxes;
    int closePosted = 0;
    int endWindowCount = 0;
    int priorityRaised = 0;

    std::deque<std::function<void()>> postedCalls;

    // Hooks: called while the box is up (before messageBox returns), and on postClose.
    std::function<void(const BoxRecord&)> onMessageBox;
    std::function<void()> onPostClose;
    Journal* journal = nullptr;

    bool timerArmed(int id) const { return timers.count(id) != 0; }
    std::string status() const { return text(IDC_STATUS); }
    std::string text(int id) const {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : boxes) out.push_back(b.text);
        return out;
    }

    // Runs the queued calls, those queued meanwhile included; returns how many ran.
    int runPosted() {
        int ran = 0;
        while (!postedCalls.empty()) {
            auto fn = std::move(postedCalls.front());
            postedCalls.pop_front();
            fn();
            ++ran;
        }
        return ran;
    }

    // MainWindow.
    DeviceList& deviceList() override { return list; }

    void setControlText(int id, const std::string& value) override {
        texts[id] = value;
        textHistory.emplace_back(id, value);
        if (id == IDC_STATUS) {
            statusHistory.push_back(value);
            if (journal) journal->add("status:" + value);
        }
    }
    std::string controlText(int id) override { return text(id); }

    void enableControl(int id, bool enable) override { enabled[id] = enable; }
    bool isControlEnabled(int id) override {
        auto it = enabled.find(id);
        return it == enabled.end() ? true : it->second;
    }

    void setProgressRange(int low, int high) override {
        progressLow = low;
        progressHigh = high;
        rangeHistory.emplace_back(low, high);
    }
    void setProgressPos(int pos) override {
        progressPos = pos;
        posHistory.push_back(pos);
    }

    void setTimer(int id, int ms) override {
        timers[id] = ms;
        timerSets.emplace_back(id, ms);
    }
    void killTimer(int id) override {
        timers.erase(id);
        timerKills.push_back(id);
    }

    void messageBox(const std::string& value, const std::string& caption, BoxIcon icon) override {
        BoxRecord box{value, caption, icon};
        boxes.push_back(box);
        if (journal) journal->add("box:" + value);
        if (onMessageBox) onMessageBox(box);
    }

    void postClose() override {
        ++closePosted;
        if (journal) journal->add("close");
        if (onPostClose) onPostClose();
    }
    void endWindow() override {
        ++endWindowCount;
        if (journal) journal->add("end");
    }

    void invoke(const std::function<void()>& fn) override { fn(); }
    void post(std::function<void()> fn) override { postedCalls.push_back(std::move(fn)); }
    bool onUiThread() const override { return true; }
    void raiseWorkerPriority() override { ++priorityRaised; }
};

}  // namespace vantel
