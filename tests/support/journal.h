#pragma once
// A thread-safe, ordered record of what the fakes saw, for tests that care
// about the order of effects across the window and the shell (a message box
// before the host notification, the notification before the close).
//
// Entries written by the fakes:
//   FakeWindow:     "box:<text>", "close", "end", "status:<text>"
//   RecordingShell: "event:<text>", "post:<title>:<message>:<wparam>:<lparam>",
//                   "tray:add", "tray:remove", "compact"

#include <mutex>
#include <string>
#include <vector>

namespace vantel {

class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<std::string> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

}  // namespace vantel
