// Re-attachment and the timers: the ISP device arriving after the keyboard
// left its firmware, the automatic and deferred starts, the arrival timeout.

#include <algorithm>
#include <vector>

#include "link/link.h"
#include "link/timing.h"
#include "update/update_internal.h"
#include "update/updater.h"

namespace vantel {

namespace {

// The name of a device broadcast, read both ways.
struct BroadcastName {
    std::string narrow;              // the bytes up to the first zero byte
    std::vector<std::uint16_t> wide; // little-endian 16-bit units up to the first zero unit
};

BroadcastName readBroadcastName(const std::vector<std::uint8_t>& raw) {
    BroadcastName name;
    for (std::uint8_t b : raw) {
        if (b == 0) break;
        name.narrow.push_back(static_cast<char>(b));
    }
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
        const auto unit = static_cast<std::uint16_t>(raw[i] | raw[i + 1] << 8);
        if (unit == 0) break;
        name.wide.push_back(unit);
    }
    return name;
}

bool wideContains(const std::vector<std::uint16_t>& text, const char* needle) {
    std::vector<std::uint16_t> n;
    for (const char* p = needle; *p; ++p) n.push_back(static_cast<unsigned char>(*p));
    return std::search(text.begin(), text.end(), n.begin(), n.end()) != text.end();
}

// 16-bit device names become 8-bit text; device paths are ASCII, anything
// else becomes '?' as the code-page conversion's default character would.
std::string narrowFromWide(const std::vector<std::uint16_t>& text) {
    std::string out;
    out.reserve(text.size());
    for (std::uint16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return out;
}

}  // namespace

void Updater::rediscover(std::int32_t pidFilter) {
    if (workerRunning_.load()) {
        std::lock_guard<std::mutex> lock(threadMutex_);
        missedDeviceChange_ = true;
    }
    discoverDevices(table_, window_.deviceList(), pidFilter, workerRunning_);
}

void Updater::OnTimer(int id) {
    switch (id) {
    case TIMER_AUTO_START:
        window_.killTimer(TIMER_AUTO_START);
        if (host_.eventLogRun()) {
            window_.setProgressPos(0);
            if (window_.deviceList().getCurSel() < 0) {
                ++state_.selectRetries;
                if (state_.selectRetries < timing().autoStartMaxTicks) {
                    window_.setTimer(TIMER_AUTO_START, timing().autoStartRetryMs);
                    return;
                }
            }
        }
        OnDownload();
        break;
    case TIMER_DEFERRED_START:
        if (state_.deferredStart == 1) {
            state_.deferredStart = 0;
            window_.killTimer(TIMER_DEFERRED_START);
            launchWorker();
        }
        break;
    case TIMER_ISP_TIMEOUT:
        window_.killTimer(TIMER_ISP_TIMEOUT);
        host_.reportOutcome(Outcome::IspNeverArrived);
        host_.postHostResultMessage(state_.ispImage ? 0 : 1, 1);
        window_.postClose();
        break;
    default:
        break;
    }
}

void Updater::OnDeviceChange(const DeviceBroadcast& broadcast) {
    if (broadcast.event == DBT_DEVICEREMOVECOMPLETE) {
        rediscover(-1);
        return;
    }
    if (broadcast.event != DBT_DEVICEARRIVAL) return;
    if (broadcast.deviceType != DBT_DEVTYP_DEVICEINTERFACE) return;

    if (broadcast.classGuid == kFailureSignalClass) {
        host_.reportResult("Failed to download the firmware.", Outcome::WriteFailed, true);
        // A running worker enables the buttons itself when it ends.
        if (!workerBusy()) {
            window_.enableControl(IDC_DOWNLOAD, true);
            window_.enableControl(IDC_BROWSE, true);
            window_.enableControl(IDC_FIRMWARE_PATH, true);
        }
        status("");
        return;
    }
    if (!(broadcast.classGuid == kHidInterfaceClass)) return;

    // Only a keyboard's ISP device (product 0 or 1) can continue a download;
    // any other arrival just refreshes the device list.
    const BroadcastName name = readBroadcastName(broadcast.name);
    const bool narrow0 = name.narrow.find("_0000") != std::string::npos;
    const bool narrow1 = name.narrow.find("_0001") != std::string::npos;
    const bool wide0 = wideContains(name.wide, "_0000");
    const bool wide1 = wideContains(name.wide, "_0001");
    if (!narrow0 && !narrow1 && !wide0 && !wide1) {
        rediscover(-1);
        return;
    }

    // One worker at a time, and its link is never changed under it.
    if (workerBusy()) {
        std::lock_guard<std::mutex> lock(threadMutex_);
        missedDeviceChange_ = true;
        return;
    }

    // Rediscover just that ISP device, so that the table's first entry is it.
    rediscover((narrow0 || wide0) ? 0 : 1);

    // The worker reopens the link on the arrived device's path.
    std::string path;
    if (narrow0 || narrow1) {
        path = name.narrow;
    } else {
        path = narrowFromWide(name.wide);
        if (path.empty()) return;
    }
    state_.reopenPath = path;

    // Its reports have the length discovery found, when it found the device.
    if (table_.count > 0) setLinkReportLength(table_.entries[0].reportLength);

    // With Download enabled no download waits for this device. A waiting
    // download writes the file its Download command checked (the path field
    // is locked meanwhile); otherwise the file named in the window is taken.
    const bool waiting = !window_.isControlEnabled(IDC_DOWNLOAD);
    if (!waiting) {
        state_.firmwarePath = window_.controlText(IDC_FIRMWARE_PATH);
        if (state_.firmwarePath.empty()) {
            host_.reportResult(kNoFileNameText, Outcome::FileRejected, true);
            return;
        }
    }

    // The worker's commands wait on the response event.
    ensureResponseEvent();

    if (!waiting) return;

    // The device arrived before the arrival timeout: start the worker, or before
    // Windows 8 wait for a second arrival or the deferred-start timer, whichever
    // comes first.
    window_.killTimer(TIMER_ISP_TIMEOUT);
    if (state_.deferredStart == 1) {
        window_.killTimer(TIMER_DEFERRED_START);
        state_.deferredStart = 0;
        launchWorker();
    } else if (host_.windows8OrLater()) {
        launchWorker();
    } else {
        state_.deferredStart = 1;
        if (state_.ispEntrySent == 1) {
            state_.ispEntrySent = 0;
            window_.setTimer(TIMER_DEFERRED_START, timing().deferredStartMs);
        }
    }
}

}  // namespace vantel
