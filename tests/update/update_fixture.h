#pragma once
// Shared pieces of the update procedures' tests: a recording UpdateHost, the
// firmware files, and short timings.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "image/image.h"
#include "link/link.h"
#include "link/timing.h"
#include "support/journal.h"
#include "update/update_host.h"
#include "update/window.h"

namespace vantel::test {

struct Reported {
    std::string text;
    bool final = false;
    bool operator==(const Reported&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << "{\"" << r.text << "\", " << (r.final ? "final" : "not final") << "}";
}

// Records what the update procedures hand to the application layer. In a
// host-driven run a final result closes the window, as the real reporter does.
class TestHost : public UpdateHost {
public:
    explicit TestHost(MainWindow& window, Journal* journal = nullptr)
        : window_(window), journal_(journal) {}

    std::atomic<bool> hostDrivenRun{false};
    std::atomic<bool> eventLog{false};
    std::atomic<bool> windows8{true};
    std::atomic<std::int32_t> vid{0};
    std::atomic<std::int32_t> pid{0};
    std::atomic<int> keyword{0};

    std::vector<Reported> results() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return results_;
    }
    std::vector<std::string> resultTexts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& r : results_) out.push_back(r.text);
        return out;
    }
    std::vector<std::string> intermediates() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return intermediates_;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> hostMessages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return hostMessages_;
    }
    std::string chosenFile() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return chosen_;
    }
    int releaseCalls() const { return releaseCalls_.load(); }
    int releasesOffUiThread() const { return releasesOffUi_.load(); }

    // Blocks until at least `count` results were reported; false on timeout.
    bool waitForResults(std::size_t count, int timeoutMs = 20000) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return results_.size() >= count; });
    }

    void reportResult(const std::string& message, Outcome, bool final) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back({message, final});
            changed_.notify_all();
        }
        if (journal_) journal_->add("result:" + message + (final ? ":final" : ":more"));
        if (hostDrivenRun && final) window_.postClose();
    }
    void reportIntermediate(const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        intermediates_.push_back(message);
    }
    void postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hostMessages_.emplace_back(wparam, lparam);
        }
        if (journal_) journal_->add("host:" + std::to_string(wparam) + ":" + std::to_string(lparam));
    }
    bool hostDriven() const override { return hostDrivenRun; }
    bool eventLogRun() const override { return eventLog; }
    std::int32_t hostVid() const override { return vid; }
    std::int32_t hostPid() const override { return pid; }
    bool windows8OrLater() const override { return windows8; }
    int keywordMode() const override { return keyword; }
    void setKeywordMode(int mode) override { keyword = mode; }
    void legacyFileChosen(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        chosen_ = name;
    }
    void releasePlatform() override {
        ++releaseCalls_;
        if (!window_.onUiThread()) ++releasesOffUi_;
        if (!released_.exchange(true)) releaseLinkLibraries();
        if (journal_) journal_->add("release");
    }

private:
    MainWindow& window_;
    Journal* journal_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Reported> results_;
    std::vector<std::string> intermediates_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> hostMessages_;
    std::string chosen_;
    std::atomic<int> releaseCalls_{0};
    std::atomic<int> releasesOffUi_{0};
    std::atomic<bool> released_{false};
};

// Short delays for the real code paths. The reply wait keeps its real time, so
// that no test depends on a reply arriving within a few milliseconds, and a
// keyboard that never answers is given up after a count of filler blocks.
inline Timing shortTiming() {
    Timing t;
    t.replyWaitPolls = kScaledReplyWaitPolls;
    t.readRetryPauseMs = 1;
    t.bootSendPauseMs = 1;
    t.commandRetryPauseMs = 1;
    t.workerStepPauseMs = 1;
    t.versionReadDelayMs = 1;
    t.recoveryTailMs = 1;
    t.finalProgressPauseMs = 1;
    t.autoStartMs = 1;
    t.autoStartRetryMs = 1;
    t.deferredStartMs = 600000;     // tests that want timer 3 to fire shorten it
    t.ispArrivalTimeoutMs = 600000; // tests that want timer 4 to fire shorten it
    return t;
}

class TimingGuard {
public:
    explicit TimingGuard(const Timing& t) : saved_(timing()) { timing() = t; }
    // A reply reader given up by a command may still read the table: it is
    // put back once no reader runs.
    ~TimingGuard() {
        waitForReadersToEnd(5000);
        timing() = saved_;
    }

private:
    Timing saved_;
};

using Bytes = std::vector<std::uint8_t>;

// Stored trailer of an application image: the profile code and the target
// name, scrambled.
inline Trailer storedTrailer(const std::string& profile, const std::string& target) {
    Trailer plain{};
    for (std::size_t i = 0; i < 2 && i < profile.size(); ++i) plain[i] = static_cast<std::uint8_t>(profile[i]);
    for (std::size_t i = 0; i < 8 && i < target.size(); ++i) plain[2 + i] = static_cast<std::uint8_t>(target[i]);
    Trailer stored{};
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = descrambleByte(plain[i]);
    return stored;
}

// Flash content of a firmware file: byte i of `fill`, then the magic and the trailer.
inline Bytes applicationImage(std::size_t length, const std::function<std::uint8_t(std::size_t)>& fill,
                              const Trailer& trailer) {
    Bytes b(length, 0);
    for (std::size_t i = 0; i + 16 < length; ++i) b[i] = fill(i);
    b[length - 16] = kImageMagic[0];
    b[length - 15] = kImageMagic[1];
    for (std::size_t i = 0; i < trailer.size(); ++i) b[length - 14 + i] = trailer[i];
    b[length - 4] = 0x11;
    return b;
}

inline Bytes applicationImage(std::size_t length, const std::function<std::uint8_t(std::size_t)>& fill,
                              const std::string& profile = "GF", const std::string& target = "RX-431") {
    return applicationImage(length, fill, storedTrailer(profile, target));
}

inline Bytes ispImage(std::size_t length, const std::function<std::uint8_t(std::size_t)>& fill) {
    Bytes b(length, 0);
    for (std::size_t i = 0; i + 14 < length; ++i) b[i] = fill(i);
    b[length - 14] = 0x8B;
    b[length - 13] = 0x9B;
    for (std::size_t i = 0; i < kIspMagic.size(); ++i) b[length - 12 + i] = kIspMagic[i];
    return b;
}

// Content with every segment in use: no byte is zero.
inline std::uint8_t busyByte(std::size_t i) { return static_cast<std::uint8_t>(i * 7 % 251 + 1); }

}  // namespace vantel::test
