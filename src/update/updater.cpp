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

const DeviceEntry* Updater::selectedEntry(SelectionPrompt prompt, int* index) {
    const int sel = window_.deviceList().getCurSel();
    if (sel >= 0 && sel < static_cast<int>(table_.count)) {
        if (index) *index = sel;
        return &table_.entries[static_cast<std::size_t>(sel)];
    }
    switch (prompt) {
    case SelectionPrompt::Box:
        box(kSelectDeviceText);
        host_.reportOutcome(Outcome::NoDevice);
        break;
    case SelectionPrompt::TerseBox:
        box("Please select a device first");
        host_.reportOutcome(Outcome::NoDevice);
        break;
    case SelectionPrompt::Result:
        host_.reportResult(kSelectDeviceText, Outcome::NoDevice, true);
        break;
    }
    return nullptr;
}

// Opens the entry for a version read. A legacy keyboard has no framed version:
// its own is shown here and the link closed again. False: the caller is done.
bool Updater::openForVersionRead(const DeviceEntry& entry) {
    if (!openLink(entry.path, Access::Write, &entry)) {
        box(kInitFailedText);
        host_.reportOutcome(Outcome::NoDevice);
        return false;
    }
    if (linkState().legacy == 1) {
        std::string version;
        const std::uint32_t r = LEGACY_GET_VERSION(version);
        box(r == 0 ? version : std::string(kNoVersionText));
        // Read or not, the version is all a legacy keyboard gives; a download ends here.
        host_.reportOutcome(r == 0 ? Outcome::Success : Outcome::KeyboardRefused);
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
