#pragma once
// The update procedures: the Download command, the programming worker (its page
// writer is in page_writer.h), re-attachment and the timers, the version query.
// One source file per procedure; updater.cpp holds what several of them share.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/discovery.h"
#include "link/hid_backend.h"
#include "update/download_state.h"
#include "update/page_writer.h"
#include "update/update_host.h"
#include "update/window.h"

namespace vantel {

// How a command tells the user that no device is selected.
enum class SelectionPrompt {
    Box,       // a message box, "Please select a device first."
    TerseBox,  // the manual ISP entry's message box, worded without the full stop
    Result,    // the command's final result, "Please select a device first."
};

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

    // Opens the keyboard being updated again between the retries of a command:
    // the entry the Download command works on, which in a host-driven run need
    // not be the list's selection.
    void ReopenWorkingDevice(const DeviceEntry& entry);

    // The device list's selection when it names a listed entry (its list index
    // in `index`); otherwise nullptr, once the user has been told as `prompt` says.
    // User-interface thread.
    const DeviceEntry* selectedEntry(SelectionPrompt prompt, int* index = nullptr);

    // Starts the programming worker on a thread of its own; workerRunning must
    // already be set. Refused (false) while a worker thread is still alive.
    bool startWorker();
    // True from startWorker until the worker thread has finished and been joined.
    bool workerThreadActive() const;
    // Blocks until no worker thread is alive (its end has been handled on the
    // user-interface thread); false on timeout, and at once on that thread.
    bool waitForWorker(int timeoutMs);
    // A close request while the worker thread is alive is deferred: the window
    // ends once the worker has finished. True when the close may proceed now.
    bool allowClose();

    // The worker's body, public for tests that drive it directly.
    int programmingWorker();

    // The text reported after a successful write, by the version the boot loader
    // answers (fields separated by "/", empty fields dropped).
    static std::string versionOutcome(std::uint32_t status, const std::string& version);
    // True when that version confirms the new firmware: its second field names the firmware.
    static bool versionConfirms(std::uint32_t status, const std::string& version);
    // The legacy upgrade file for a version text in keyword mode 1 or 2; empty: none.
    static std::string legacyUpgradeFile(int keywordMode, const std::string& version);
    // The text of a refused profile, worded from the plain trailer; empty for an unknown code.
    static std::string incorrectProfileText(const std::string& code, const std::string& target);

private:
    // Starts the worker from the UI thread: sets workerRunning, then the thread.
    // Does nothing while a worker is still alive.
    bool launchWorker();
    void workerFinished();
    bool workerBusy() const;  // workerRunning set or the worker thread alive
    void rediscover(std::int32_t pidFilter);
    std::uint32_t retried(const DeviceEntry& entry, const std::function<std::uint32_t()>& command);
    // Reads the version of the selected entry with the GL/CL fallback.
    bool openForVersionRead(const DeviceEntry& entry);
    std::uint32_t readVersionWithFallback(bool listedAsIsp, std::string& version);
    void box(const std::string& text);
    void status(const std::string& text);
    void enableButtons(bool refreshToo);
    void profileFailure(const std::array<std::uint8_t, 10>& stored);
    void recoveryReset();
    void shutdown();

    MainWindow& window_;
    DeviceTable& table_;
    std::atomic<bool>& workerRunning_;
    DownloadState& state_;
    UpdateHost& host_;

    mutable std::mutex threadMutex_;
    std::condition_variable workerEnded_;
    std::thread worker_;
    // Cleared when the updater goes, so that a worker's end still queued on
    // the window finds nothing to do.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    bool workerActive_ = false;
    bool closePending_ = false;
    // A device change that discovery refused while the worker ran: the table
    // is refreshed once the worker has ended.
    bool missedDeviceChange_ = false;
    // Worker thread: this run's outcome has reached the host tool already
    // (a final result, or the message of a failed write).
    bool hostToldThisRun_ = false;
};

}  // namespace vantel
