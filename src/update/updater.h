#pragma once
// The update procedures: the Download command, the programming worker and its
// page writer, re-attachment and the timers, the version query.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "link/discovery.h"
#include "link/hid_backend.h"
#include "update/download_state.h"
#include "update/update_host.h"
#include "update/window.h"

namespace vantel {

// Page writer results besides 0 and a block's status.
inline constexpr int WRITE_OPEN_FAILED = 2;
inline constexpr int WRITE_HEAD_FAILED = -2;
inline constexpr int WRITE_PAGE_FAILED = -3;

class Updater {
public:
    Updater(MainWindow& window, DeviceTable& table, std::atomic<bool>& workerRunning,
            DownloadState& state, UpdateHost& host);
    ~Updater();  // joins a worker that has ended; the owner keeps the window alive while one runs

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Handlers, user-interface thread.
    void OnDownload();
    void OnTimer(int id);
    void OnDeviceChange(const DeviceBroadcast& broadcast);
    void OnGetFwVersion();
    void OnManualIspEntry();

    // Opens the device list's current selection again between the retries of a command.
    void ReopenSelectedDevice();

    // Starts the programming worker on a thread of its own; workerRunning must
    // already be set. Refused (false) while a worker thread is still alive.
    bool startWorker();
    // True from startWorker until the worker thread has finished and been joined.
    bool workerThreadActive() const;
    // A close request while the worker thread is alive is deferred: the window
    // ends once the worker has finished. True when the close may proceed now.
    bool allowClose();

    // The worker's body and the page writer, public for tests that drive them directly.
    int programmingWorker();
    int writeImage(const std::string& path);

private:
    void workerFinished();
    std::uint32_t retried(const std::function<std::uint32_t()>& command);
    // Reads the version of the selected entry with the GL/CL fallback.
    std::uint32_t readVersionWithFallback(bool listedAsIsp, std::string& version);
    void box(const std::string& text);
    void status(const std::string& text);
    void recoveryReset();
    void shutdown();

    MainWindow& window_;
    DeviceTable& table_;
    std::atomic<bool>& workerRunning_;
    DownloadState& state_;
    UpdateHost& host_;

    mutable std::mutex threadMutex_;
    std::thread worker_;
    bool workerActive_ = false;
    bool closePending_ = false;
};

}  // namespace vantel
