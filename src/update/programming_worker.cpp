// The programming worker: profile check, erase, write, reset and the outcome,
// with the recovery reset and the shutdown that end a failed run.

#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"
#include "update/page_writer.h"
#include "update/update_internal.h"
#include "update/updater.h"

namespace vantel {

std::string Updater::incorrectProfileText(const std::string& code, const std::string& target) {
    const char* profile = nullptr;
    if (code == "GF") profile = "Global Full";
    if (code == "GL") profile = "Global Lite";
    if (code == "CL") profile = "Chinese Lite";
    if (!profile) return {};
    return format("Incorrect profile. This firmware is for %s, the profile is %s", target.c_str(),
                  profile);
}

std::string Updater::versionOutcome(std::uint32_t status, const std::string& version) {
    if (status != 0) return "Update finsihed, but failed to get the firmware version.";
    if (versionConfirms(status, version)) return "Update successfully!";
    return "Update finsihed, but failed to get the firmware version!";
}

bool Updater::versionConfirms(std::uint32_t status, const std::string& version) {
    if (status != 0) return false;
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t slash = version.find('/', start);
        const std::size_t end = slash == std::string::npos ? version.size() : slash;
        if (end > start) fields.push_back(version.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return fields.size() >= 2 && fields[1][0] == 'S';
}

void Updater::profileFailure(const std::array<std::uint8_t, 10>& stored) {
    const Trailer plain = descrambleTrailer(stored);
    host_.reportResult(incorrectProfileText(trailerProfileCode(plain), trailerTargetName(plain)),
                       Outcome::KeyboardRefused, false);
    status("Checking Profile fail");
    recoveryReset();
}

void Updater::recoveryReset() {
    std::uint32_t s = LINK_NOT_OPEN;
    if (linkOpen()) {
        s = CMD_RESET();
        closeLink();
    }
    sleepMs(timing().workerStepPauseMs);
    if (s == 0) {
        status("Reset success");
        host_.reportResult("Update fail, but reset successfully.", Outcome::WriteFailed, false);
    } else {
        status("Reset fail 2");
        host_.reportResult("Reset fail 2.", Outcome::WriteFailed, false);
    }
    sleepMs(timing().recoveryTailMs);
    enableButtons(true);
    shutdown();
}

void Updater::shutdown() {
    closeLink();
    workerRunning_ = false;
    // A host-driven run that ends here without a final result still tells the
    // host tool, once, before the window closes.
    if (host_.hostDriven() && !hostToldThisRun_) {
        host_.postHostResultMessage(state_.ispImage ? 0 : 1, 1);
    }
    // On the UI thread, so that the release never races a discovery there.
    window_.invoke([this] { host_.releasePlatform(); });
    window_.postClose();
}

int Updater::programmingWorker() {
    hostToldThisRun_ = false;
    host_.workerStarted();

    // The stored trailer carries the profile the keyboard must accept.
    Trailer stored{};
    unsigned cause = FILE_OPEN_OK;
    if (!readTrailer(state_.firmwarePath, stored, &cause)) {
        host_.reportResult(format("Can't open file %s, error = %u\n", state_.firmwarePath.c_str(), cause),
                           Outcome::FileRejected, true);
        hostToldThisRun_ = true;
        recoveryReset();
        return 0;
    }

    // Lock the buttons and reset the progress for the run.
    window_.enableControl(IDC_FIRMWARE_PATH, false);
    window_.enableControl(IDC_BROWSE, false);
    window_.enableControl(IDC_DOWNLOAD, false);
    window_.enableControl(IDC_GET_FW_VERSION, false);
    window_.enableControl(IDC_REFRESH, false);
    window_.setProgressRange(0, 100);
    window_.setProgressPos(0);
    status("Checking Profile");

    // Reopen the link on the keyboard's ISP device.
    closeLink();
    if (!openLink(state_.reopenPath, Access::ReadWrite, nullptr)) {
        host_.reportResult(kInitFailedText, Outcome::NoDevice, true);
        // Leave the window usable for another attempt.
        workerRunning_ = false;
        enableButtons(false);
        return 0;
    }
    ensureResponseEvent();

    // The boot loader checks the firmware's profile; an ISP image carries none.
    // The pause applies either way.
    std::uint32_t s = state_.ispImage ? 0 : CMD_ISP_CHECK_PROFILE(stored.data());
    sleepMs(timing().workerStepPauseMs);
    if (s != 0) {
        profileFailure(stored);
        return 0;
    }

    // Erase the flash; a refusal still resets the keyboard back to its firmware.
    status("Profile match");
    status("Chip Erase");
    s = CMD_CHIP_ERASE();
    sleepMs(timing().workerStepPauseMs);
    if (s != 0) {
        status("Chip Erase fail");
        host_.reportResult("Chip Erase fail", Outcome::WriteFailed, false);
        recoveryReset();
        return 0;
    }
    status("Chip Erase success");

    // Paged images start writing at page 0.
    if (state_.needsPageSelect) {
        state_.currentPage = 0;
        if (CMD_GOTO_PAGE(0) != 0) {
            status("Goto page fail");
            host_.reportResult("Goto page fail", Outcome::WriteFailed, false);
            shutdown();
            return 0;
        }
        status("Goto page success");
    }

    // Write the image; after a failed write the keyboard is not reset, the host
    // tool is told and the window closes.
    status("Start firmware update");
    const int w = writeImage(window_, host_, state_, state_.firmwarePath);
    if (w != 0) {
        const std::string text = format("Firmware update fail: %d", w);
        status(text);
        workerRunning_ = false;
        host_.reportResult(text, Outcome::WriteFailed, false);
        host_.postHostResultMessage(state_.ispImage ? 0 : 1, 1);
        hostToldThisRun_ = true;
        shutdown();
        return 0;
    }

    // Restart the keyboard; a marker image is confirmed by clearing the mode flag
    // instead. A separate ISP device is gone after the reset, so its link closes.
    status("Firmware update success");
    status("Start Protect");
    status("Protect success");
    status("Start Reset");
    s = CMD_RESET();
    if (state_.markerImage) s = CMD_SET_MODE_FLAG(false);
    if (state_.separateIspDevice) closeLink();
    window_.setProgressPos(100);
    sleepMs(timing().finalProgressPauseMs);

    // Report the outcome; when the keyboard stays on this link, its version
    // confirms that the new firmware runs.
    if (s == 0) {
        status("Reset success");
        if (state_.separateIspDevice) {
            workerRunning_ = false;
            host_.reportResult("Update successfully!", Outcome::Success, true);
        } else {
            sleepMs(timing().versionReadDelayMs);
            std::string version;
            const std::uint32_t v = CMD_GET_VERSION(true, version);
            // The link is still the worker's until the version has been read.
            closeLink();
            workerRunning_ = false;
            const Outcome outcome = versionConfirms(v, version) ? Outcome::Success : Outcome::Unconfirmed;
            host_.reportResult(versionOutcome(v, version), outcome, true);
        }
    } else if (s == STATUS_BOOTLOADER_FAIL) {
        workerRunning_ = false;
        status("Reset fail");
        host_.reportResult("Bootloader upgrade fail, please retry.", Outcome::WriteFailed, true);
    } else {
        status("Reset fail");
        host_.reportResult("Reset fail", Outcome::WriteFailed, true);
        workerRunning_ = false;
    }

    // The window stays open for another download; Refresh stays locked.
    enableButtons(false);
    return 1;
}

}  // namespace vantel
