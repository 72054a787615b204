#include "update/updater.h"

#include <utility>

#include "link/commands.h"
#include "link/link.h"
#include "update/update_internal.h"

namespace vantel {

namespace {

const char* const kNoVersionText = "Failed to get the version.";

}  // namespace

Updater::Updater(MainWindow& window, DeviceTable& table, std::atomic<bool>& workerRunning,
                 DownloadState& state, UpdateHost& host)
    : window_(window), table_(table), workerRunning_(workerRunning), state_(state), host_(host) {}

Updater::~Updater() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        worker = std::move(worker_);
    }
    if (worker.joinable()) worker.join();
    alive_->store(false);
    // A worker's end queued before this point may be running on the UI thread
    // right now; let it finish before the members go.
    if (!window_.onUiThread()) window_.invoke([] {});
}

// ---------------------------------------------------------------------------
// Helpers of several procedures

void Updater::box(const std::string& text) { window_.messageBox(text, kBoxCaption, BoxIcon::None); }

void Updater::status(const std::string& text) { SetStatusLine(window_, text); }

void Updater::enableButtons(bool refreshToo) {
    window_.enableControl(IDC_FIRMWARE_PATH, true);
    window_.enableControl(IDC_BROWSE, true);
    window_.enableControl(IDC_DOWNLOAD, true);
    window_.enableControl(IDC_GET_FW_VERSION, true);
    if (refreshToo) window_.enableControl(IDC_REFRESH, true);
}

// Opens the entry for a version read. A legacy keyboard has no framed version:
// its own is shown here and the link closed again. False: the caller is done.
bool Updater::openForVersionRead(const DeviceEntry& entry) {
    if (!openLink(entry.path, Access::Write, &entry)) {
        box(kInitFailedText);
        return false;
    }
    if (linkState().legacy == 1) {
        std::string version;
        const std::uint32_t r = LEGACY_GET_VERSION(version);
        box(r == 0 ? version : std::string(kNoVersionText));
        closeLink();
        return false;
    }
    return true;
}

std::uint32_t Updater::readVersionWithFallback(bool listedAsIsp, std::string& version) {
    std::uint32_t r = CMD_GET_VERSION(listedAsIsp, version);
    if (r != 0 && !listedAsIsp) {
        if (CMD_CHECK_PROFILE("GL") == 0) {
            r = CMD_GET_VERSION(false, version);
        } else if (CMD_CHECK_PROFILE("CL") == 0) {
            r = CMD_GET_VERSION(false, version);
        }
    }
    return r;
}

}  // namespace vantel
