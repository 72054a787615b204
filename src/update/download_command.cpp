// The Download command: checks the selection, the file and the keyboard, puts
// the keyboard into ISP mode and hands over to the programming worker.

#include <algorithm>
#include <cctype>

#include "image/image.h"
#include "image/image_file.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"
#include "update/update_internal.h"
#include "update/updater.h"

namespace vantel {

namespace {

// Project numbers that steer the Download command.
const char* const kVersionCheckedProjects[] = {"5304", "5305", "5306", "5307", "5308"};

// "The path contains N after its first character": the first occurrence lies
// beyond position 0. A path that starts with N does not count, even when N
// occurs again later.
bool containsAfterFirst(const std::string& path, const std::string& needle) {
    const std::size_t at = path.find(needle);
    return at != std::string::npos && at > 0;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

// The combo box's prefix search: from the item after `start`, wrapping around.
int findPrefix(DeviceList& list, const std::string& prefix, int start) {
    const int count = list.getCount();
    for (int step = 1; step <= count; ++step) {
        const int i = (start + step) % count;
        if (startsWithNoCase(list.getItemText(i), prefix)) return i;
    }
    return -1;
}

bool isRetriedStatus(std::uint32_t r) {
    return r == LINK_TIMEOUT || r == LINK_READ_FAILED || r == LINK_READ_FAILED_CONT ||
           r == LINK_BUSY || r == LINK_BAD_CHECKSUM || r == STATUS_PAGE_SELECTED;
}

}  // namespace

void Updater::ReopenWorkingDevice(const DeviceEntry& entry) {
    if (!openLink(entry.path, Access::Write, &entry)) {
        box("Fail to init the device!!");
        host_.reportOutcome(Outcome::NoDevice);
    }
}

std::uint32_t Updater::retried(const DeviceEntry& entry, const std::function<std::uint32_t()>& command) {
    std::uint32_t r = command();
    for (int retries = 0; isRetriedStatus(r) && retries < timing().commandRetries; ++retries) {
        sleepMs(timing().commandRetryPauseMs);
        ReopenWorkingDevice(entry);
        r = command();
    }
    return r;
}

void Updater::OnDownload() {
    // The worker owns the link and reads the download state while it runs.
    if (workerBusy()) return;

    // Start from a clean slate: nothing from an earlier download may steer this one.
    state_.needsPageSelect = 0;
    state_.firmwarePath = window_.controlText(IDC_FIRMWARE_PATH);
    state_.markerImage = 0;
    state_.ispImage = 0;
    window_.setProgressPos(0);
    const std::string path = state_.firmwarePath;

    // Without a chosen device there is nothing to update.
    DeviceList& list = window_.deviceList();
    int sel = -1;
    const DeviceEntry* chosen = selectedEntry(SelectionPrompt::Result, &sel);
    if (!chosen) return;
    const DeviceEntry& selected = *chosen;

    // A file must be named before anything is sent to the keyboard.
    if (path.empty()) {
        host_.reportResult(kNoFileNameText, Outcome::FileRejected, true);
        return;
    }

    // The file must be readable; the cause code tells the user why not.
    ImageFile file;
    const unsigned cause = file.open(path);
    if (cause != FILE_OPEN_OK) {
        host_.reportResult(format("Can't open file %s, error = %u!\n", path.c_str(), cause), Outcome::FileRejected, true);
        return;
    }

    // Files of these projects may only go to a keyboard that already runs the
    // same project; an unread version lets the download go on.
    bool versionChecked = false;
    for (const char* project : kVersionCheckedProjects) {
        if (containsAfterFirst(path, project)) {
            versionChecked = true;
            break;
        }
    }
    if (versionChecked) {
        if (!openForVersionRead(selected)) return;
        status("Getting FW Version");
        const bool listedAsIsp = list.getItemText(sel) == kIspModeName;
        std::string version;
        if (readVersionWithFallback(listedAsIsp, version) == 0) {
            const std::string project = version.size() > 1 ? version.substr(1, 4) : std::string();
            if (!containsAfterFirst(path, project)) {
                box("Firmware mismatch.\nNot allowed to download.");
                host_.reportOutcome(Outcome::FileRejected);
                return;
            }
        }
    }

    // Tag projects skip the profile check and the mode flag; no deferred start
    // is pending from an earlier run.
    state_.tagAny = (containsAfterFirst(path, "5309") || containsAfterFirst(path, "5310")) ? 1 : 0;
    state_.tagFirst = containsAfterFirst(path, "5309") ? 1 : 0;
    state_.deferredStart = 0;

    // A host tool names its keyboard by VID and PID: update that one, or the
    // ISP device it has already become, whatever the list shows as selected.
    int working = sel;
    if (host_.hostDriven() && host_.hostVid() != 0 && host_.hostPid() != 0) {
        const std::string model = modelName(static_cast<std::uint32_t>(host_.hostVid()),
                                            static_cast<std::uint32_t>(host_.hostPid()));
        int found = model.empty() ? -1 : findPrefix(list, model, 0);
        if (found < 0) found = findPrefix(list, kIspModeName, 0);
        if (found < 0 || found >= static_cast<int>(table_.count)) {
            host_.reportResult("Model doest not match.", Outcome::NoDevice, true);
            return;
        }
        working = found;
    }
    const DeviceEntry entry = table_.entries[static_cast<std::size_t>(working)];

    // A keyboard already in ISP mode is written through the device it is listed as.
    if (list.getItemText(working) == kIspModeName) {
        state_.targetInIsp = 1;
        state_.reopenPath = entry.path;
    } else {
        state_.targetInIsp = 0;
    }

    // Classify the image and refuse a file that is not one.
    ImageInfo info;
    const ImageCheck check = checkImageFile(file, info);
    state_.ispImage = info.ispImage ? 1 : 0;
    state_.markerImage = info.markerImage ? 1 : 0;
    state_.needsPageSelect = info.needsPageSelect ? 1 : 0;
    if (check != ImageCheck::Ok) {
        host_.reportResult(imageCheckMessage(check), Outcome::FileRejected, true);
        return;
    }
    // Refuse before the keyboard leaves its firmware what it could never take:
    // a framed keyboard only takes a file of its flash size in whole KiB (the
    // size rule's texts, which a host tool knows); a legacy keyboard reports no
    // size, but a file without a whole head cannot be its image.
    if (!entry.legacy && !fitsAnyFramedKeyboard(info.length)) {
        status(kFileSizeStatusText);
        host_.reportResult(kNotForKeyboardText, Outcome::FileRejected, true);
        return;
    }
    if (entry.legacy && info.length < 256) {
        host_.reportResult(kInvalidFileText, Outcome::FileRejected, true);
        return;
    }
    state_.profileKind = info.profileKind;
    // An ISP image is always written through the device it was chosen on.
    state_.separateIspDevice = info.ispImage ? 0 : 1;

    // Talk to the working entry; this also closes a link the version check left open.
    if (!openLink(entry.path, Access::Write, &entry)) {
        host_.reportResult(kInitFailedText, Outcome::NoDevice, true);
        return;
    }
    const bool legacy = linkState().legacy == 1;

    // The firmware must suit the keyboard's profile before it leaves its firmware;
    // a keyboard in ISP mode or a legacy one cannot be asked.
    if (!state_.targetInIsp && !legacy) {
        std::uint32_t r = 0;
        if (state_.ispImage) {
            const Trailer trailer = info.trailer;
            r = retried(entry, [&] { return CMD_CHECK_PROFILE(trailer.data(), trailer.size()); });
        } else if (!state_.tagAny) {
            static const char* const kCodes[] = {"GF", "GL", "CL"};
            const int kind = std::clamp(state_.profileKind, 0, 2);
            const char* code = kCodes[kind];
            r = retried(entry, [&] { return CMD_CHECK_PROFILE(code); });
        }
        if (r != 0) {
            host_.reportResult("Fail to check profile", Outcome::KeyboardRefused, true);
            status("Fail to check profile");
            return;
        }
    }

    // Switch the keyboard into ISP mode: the mode flag first, the page select for
    // paged images, then the entry command for the image's kind.
    status("Entering ISP mode...");
    std::uint8_t flashKiB = 0;
    std::uint16_t value = 0;
    std::uint32_t r = 0;
    if (legacy) {
        r = LEGACY_ENTER_ISP();
        closeLink();
    } else {
        if (state_.markerImage) {
            if (CMD_SET_MODE_FLAG(true) != 0) {
                const char* text = "The keyboard does not support this firmware file.";
                host_.reportResult(text, Outcome::KeyboardRefused, true);
                status(text);
                closeLink();
                return;
            }
        } else if (!state_.tagFirst) {
            (void)CMD_SET_MODE_FLAG(false);
        }
        if (state_.ispImage) {
            r = retried(entry, [&] { return CMD_ENTER_ISP_BOOT(flashKiB, value); });
        } else {
            if (state_.needsPageSelect) {
                const std::uint32_t g = CMD_GOTO_PAGE(0);
                if (g == 0) {
                    status("Goto page success");
                    state_.separateIspDevice = 0;
                } else if (g == STATUS_PAGE_SELECTED) {
                    status("Goto page success!!");
                    state_.separateIspDevice = 1;
                } else {
                    host_.reportResult("Goto page fail", Outcome::KeyboardRefused, true);
                    status("Goto page fail");
                    closeLink();
                    return;
                }
            }
            r = retried(entry, [&] { return CMD_ENTER_ISP(flashKiB, value); });
            state_.ispEntrySent = 1;
            if (r == 0) closeLink();
        }
    }

    // The keyboard did not switch after the retries: the user has to re-plug it.
    if (r != 0) {
        host_.reportResult("Enter ISP mode fail.\nPlease re-plug the keyboard", Outcome::KeyboardRefused, true);
        status("Enter ISP mode fail");
        return;
    }

    // The keyboard is switching; its ISP device may take a moment to appear.
    status("Enter ISP mode success. Waiting for the Windows to detect it.");

    // The file must fill the keyboard's flash exactly; legacy keyboards report no size.
    if (!legacy && !fitsKeyboard(info.length, flashKiB)) {
        status(kFileSizeStatusText);
        host_.reportResult(kNotForKeyboardText, Outcome::FileRejected, true);
        closeLink();
        return;
    }

    // Hand over: lock the buttons for the run, then start the worker now, or wait
    // for the keyboard to come back as a separate ISP device.
    if (state_.ispImage || state_.markerImage || !state_.separateIspDevice) {
        state_.reopenPath = entry.path;
    }
    // The worker writes the file that was checked above, whatever an arrival
    // handled in a nested message loop meanwhile read from the path field;
    // the field stays locked until the worker has ended.
    state_.firmwarePath = path;
    window_.enableControl(IDC_FIRMWARE_PATH, false);
    window_.enableControl(IDC_BROWSE, false);
    window_.enableControl(IDC_DOWNLOAD, false);
    window_.enableControl(IDC_GET_FW_VERSION, false);
    window_.enableControl(IDC_REFRESH, false);
    if (!state_.targetInIsp && !state_.ispImage && !state_.markerImage && state_.separateIspDevice) {
        window_.setTimer(TIMER_ISP_TIMEOUT, timing().ispArrivalTimeoutMs);
    } else {
        launchWorker();
    }
}

}  // namespace vantel
