// The worker thread's lifetime: starting it, joining it on the user-interface
// thread, waiting for it, and closing the window only once it has ended.

#include <chrono>
#include <utility>

#include "update/updater.h"

namespace vantel {

bool Updater::workerThreadActive() const {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return workerActive_;
}

bool Updater::workerBusy() const { return workerRunning_.load() || workerThreadActive(); }

bool Updater::startWorker() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (workerActive_) return false;
    if (worker_.joinable()) worker_.join();  // an ended worker whose finish was never delivered
    workerActive_ = true;
    missedDeviceChange_ = false;
    worker_ = std::thread([this] {
        window_.raiseWorkerPriority();
        programmingWorker();
        // The last act: the UI thread joins this thread and completes a deferred close.
        window_.post([this, alive = alive_] {
            if (alive->load()) workerFinished();
        });
    });
    return true;
}

bool Updater::launchWorker() {
    if (workerThreadActive()) return false;
    workerRunning_ = true;
    if (!startWorker()) {
        workerRunning_ = false;
        return false;
    }
    return true;
}

void Updater::workerFinished() {
    bool closePending;
    bool missed;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (worker_.joinable()) worker_.join();
        workerActive_ = false;
        closePending = closePending_;
        closePending_ = false;
        missed = missedDeviceChange_;
        missedDeviceChange_ = false;
    }
    workerEnded_.notify_all();
    if (closePending) {
        window_.endWindow();
        return;
    }
    // Arrivals and removals during the run were refused; show what is attached now.
    if (missed && !workerRunning_.load()) {
        discoverDevices(table_, window_.deviceList(), -1, workerRunning_);
    }
}

bool Updater::waitForWorker(int timeoutMs) {
    if (window_.onUiThread()) return !workerThreadActive();
    std::unique_lock<std::mutex> lock(threadMutex_);
    return workerEnded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !workerActive_; });
}

bool Updater::allowClose() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (workerActive_) {
        closePending_ = true;
        return false;
    }
    return true;
}

}  // namespace vantel
