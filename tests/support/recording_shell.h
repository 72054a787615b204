#pragma once
// A Shell that records what the application asks of the platform. Thread-safe:
// the worker thread reports results through it while the test thread reads.
// Link the test with vantel_app (the default lowerCaseAnsi lives there).
//
//   RecordingShell shell;
//   shell.hostWindowExists = false;                        // nothing gets posted
//   shell.setEventLogResult(EventLogResult::ReportFailed);
//   ... run ...
//   shell.posted()  -> {title, message, wparam, lparam} in order
//   shell.events()  -> the entries written (only those that succeeded)
//   shell.waitForPosts(1, 2000)                            // for threaded tests

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/shell.h"
#include "support/journal.h"

namespace vantel {

struct PostedMessage {
    std::string title;
    std::uint32_t message = 0;
    std::uintptr_t wparam = 0;
    std::intptr_t lparam = 0;

    bool operator==(const PostedMessage&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const PostedMessage& m) {
    return out << "{\"" << m.title << "\", " << m.message << ", " << m.wparam << ", " << m.lparam
               << "}";
}

class RecordingShell : public Shell {
public:
    // Configuration. Atomics so that a test may flip them while a worker runs.
    std::atomic<bool> hostWindowExists{true};  // false: postToWindow records nothing
    std::atomic<bool> windows8{false};         // what windows8OrLater() answers

    // Every writeEvent returns this, unless a scripted result is queued.
    void setEventLogResult(EventLogResult result) {
        std::lock_guard<std::mutex> lock(mutex_);
        eventLogResult_ = result;
    }
    // Results for the next writeEvent calls, one each, before the default applies.
    void scriptEventLogResults(const std::vector<EventLogResult>& results) {
        std::lock_guard<std::mutex> lock(mutex_);
        scripted_.assign(results.begin(), results.end());
    }
    // What browseForFile answers (default: cancelled).
    void setBrowseResult(bool confirmed, const std::string& path = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        browseConfirmed_ = confirmed;
        browsePath_ = path;
    }
    void setJournal(Journal* journal) {
        std::lock_guard<std::mutex> lock(mutex_);
        journal_ = journal;
    }

    // Records (snapshots).
    std::vector<EventLogEntry> events() const {  // entries written successfully
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> eventTexts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& e : events_) texts.push_back(e.text);
        return texts;
    }
    int eventAttempts() const {  // every writeEvent call, failed ones included
        std::lock_guard<std::mutex> lock(mutex_);
        return eventAttempts_;
    }
    std::vector<PostedMessage> posted() const {  // only those that found the window
        std::lock_guard<std::mutex> lock(mutex_);
        return posted_;
    }
    int postAttempts() const {  // every postToWindow call
        std::lock_guard<std::mutex> lock(mutex_);
        return postAttempts_;
    }
    int trayAdds() const { return trayAdds_.load(); }
    int trayRemoves() const { return trayRemoves_.load(); }
    bool trayShown() const { return trayShown_.load(); }
    int compactLayouts() const { return compactLayouts_.load(); }
    int browseCalls() const { return browseCalls_.load(); }
    int deviceNotificationRegistrations() const { return notificationRegistrations_.load(); }
    int hotKeyRegistrations() const { return hotKeyRegistrations_.load(); }
    std::vector<std::string> titles() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return titles_;
    }

    // Blocks until at least `count` messages were posted / entries written; false on timeout.
    bool waitForPosts(std::size_t count, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return posted_.size() >= count; });
    }
    bool waitForEvents(std::size_t count, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return events_.size() >= count; });
    }

    // Shell.
    EventLogResult writeEvent(const EventLogEntry& entry) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++eventAttempts_;
        EventLogResult result = eventLogResult_;
        if (!scripted_.empty()) {
            result = scripted_.front();
            scripted_.pop_front();
        }
        if (result == EventLogResult::Ok) {
            events_.push_back(entry);
            if (journal_) journal_->add("event:" + entry.text);
            changed_.notify_all();
        }
        return result;
    }

    void postToWindow(const std::string& title, std::uint32_t message, std::uintptr_t wparam,
                      std::intptr_t lparam) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++postAttempts_;
        if (!hostWindowExists.load()) return;
        posted_.push_back({title, message, wparam, lparam});
        if (journal_) {
            journal_->add("post:" + title + ":" + std::to_string(message) + ":" +
                          std::to_string(wparam) + ":" + std::to_string(lparam));
        }
        changed_.notify_all();
    }

    bool windows8OrLater() override { return windows8.load(); }
    std::string applicationName() override { return "Vantel"; }

    void addTrayIcon() override {
        ++trayAdds_;
        trayShown_ = true;
        note("tray:add");
    }
    void removeTrayIcon() override {
        ++trayRemoves_;
        trayShown_ = false;
        note("tray:remove");
    }
    void layoutCompactProgressWindow() override {
        ++compactLayouts_;
        note("compact");
    }

    void setTitle(const std::string& title) override {
        std::lock_guard<std::mutex> lock(mutex_);
        titles_.push_back(title);
    }
    void registerDeviceNotifications() override { ++notificationRegistrations_; }
    void registerHotKeys() override { ++hotKeyRegistrations_; }

    bool browseForFile(std::string& path) override {
        ++browseCalls_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!browseConfirmed_) return false;
        path = browsePath_;
        return true;
    }

private:
    void note(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (journal_) journal_->add(entry);
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    EventLogResult eventLogResult_ = EventLogResult::Ok;
    std::deque<EventLogResult> scripted_;
    std::vector<EventLogEntry> events_;
    int eventAttempts_ = 0;
    std::vector<PostedMessage> posted_;
    int postAttempts_ = 0;
    std::vector<std::string> titles_;
    bool browseConfirmed_ = false;
    std::string browsePath_;
    Journal* journal_ = nullptr;

    std::atomic<int> trayAdds_{0};
    std::atomic<int> trayRemoves_{0};
    std::atomic<bool> trayShown_{false};
    std::atomic<int> compactLayouts_{0};
    std::atomic<int> browseCalls_{0};
    std::atomic<int> notificationRegistrations_{0};
    std::atomic<int> hotKeyRegistrations_{0};
};

}  // namespace vantel
