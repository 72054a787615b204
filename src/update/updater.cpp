#include "update/updater.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"

namespace vantel {

namespace {

// Texts that more than one procedure shows.
const char* const kSelectDeviceText = "Please select a device first.";
const char* const kNoFileNameText = "Please input a correct bin file name first";
const char* const kInitFailedText = "Fail to init the device";
const char* const kNoVersionText = "Failed to get the version.";

// Project numbers that steer the Download command.
const char* const kVersionCheckedProjects[] = {"5304", "5305", "5306", "5307", "5308"};

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    const int n = std::snprintf(nullptr, 0, pattern, args...);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), pattern, args...);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

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

bool isRetriedStatus(std::uint32_t r) {
    return r == LINK_TIMEOUT || r == LINK_READ_FAILED || r == LINK_READ_FAILED_CONT ||
           r == LINK_BUSY || r == LINK_BAD_CHECKSUM || r == STATUS_PAGE_SELECTED;
}

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
// Small helpers

void Updater::box(const std::string& text) { window_.messageBox(text, kBoxCaption, BoxIcon::None); }

void Updater::status(const std::string& text) { SetStatusLine(window_, text); }

void Updater::enableButtons(bool refreshToo) {
    window_.enableControl(IDC_BROWSE, true);
    window_.enableControl(IDC_DOWNLOAD, true);
    window_.enableControl(IDC_GET_FW_VERSION, true);
    if (refreshToo) window_.enableControl(IDC_REFRESH, true);
}

bool Updater::openTracked(const std::string& path, Access access, const DeviceEntry* entry) {
    const bool ok = openLink(path, access, entry);
    std::lock_guard<std::mutex> lock(openedMutex_);
    openedPath_ = ok ? path : std::string();
    openedHandle_ = ok ? linkState().handle : kNoHandle;
    return ok;
}

bool Updater::workerThreadActive() const {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return workerActive_;
}

bool Updater::workerBusy() const { return workerRunning_.load() || workerThreadActive(); }

void Updater::rediscover(std::int32_t pidFilter) {
    if (workerRunning_.load()) {
        std::lock_guard<std::mutex> lock(threadMutex_);
        missedDeviceChange_ = true;
    }
    discoverDevices(table_, window_.deviceList(), pidFilter, workerRunning_);
}

void Updater::ReopenSelectedDevice() {
    DeviceList& list = window_.deviceList();
    const int sel = list.getCurSel();
    if (sel < 0 || sel >= static_cast<int>(table_.count)) {
        box(kSelectDeviceText);
        return;
    }
    const DeviceEntry& entry = table_.entries[static_cast<std::size_t>(sel)];
    if (!openTracked(entry.path, Access::Write, &entry)) box("Fail to init the device!!");
}

std::uint32_t Updater::retried(const std::function<std::uint32_t()>& command) {
    std::uint32_t r = command();
    for (int retries = 0; isRetriedStatus(r) && retries < timing().commandRetries; ++retries) {
        sleepMs(timing().commandRetryPauseMs);
        ReopenSelectedDevice();
        r = command();
    }
    return r;
}

// Opens the entry for a version read. A legacy keyboard has no framed version:
// its own is shown here and the link closed again. False: the caller is done.
bool Updater::openForVersionRead(const DeviceEntry& entry) {
    if (!openTracked(entry.path, Access::Write, &entry)) {
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

// ---------------------------------------------------------------------------
// Worker thread lifetime

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

// ---------------------------------------------------------------------------
// Download command

void Updater::OnDownload() {
    // The worker owns the link and reads the download state while it runs.
    if (workerBusy()) return;

    // 1. Reset.
    state_.needsPageSelect = 0;
    state_.firmwarePath = window_.controlText(IDC_FIRMWARE_PATH);
    state_.markerImage = 0;
    state_.ispImage = 0;
    window_.setProgressPos(0);
    const std::string path = state_.firmwarePath;

    // 2. Selection.
    DeviceList& list = window_.deviceList();
    const int sel = list.getCurSel();
    if (sel < 0 || sel >= static_cast<int>(table_.count)) {
        host_.reportResult(kSelectDeviceText, true);
        return;
    }
    const DeviceEntry& selected = table_.entries[static_cast<std::size_t>(sel)];

    // 3. File name.
    if (path.empty()) {
        host_.reportResult(kNoFileNameText, true);
        return;
    }

    // 4. File.
    ImageFile file;
    const unsigned cause = file.open(path);
    if (cause != FILE_OPEN_OK) {
        host_.reportResult(format("Can't open file %s, error = %u!\n", path.c_str(), cause), true);
        return;
    }

    // 5. Version check for the version-checked projects.
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
                return;
            }
        }
    }

    // 6. Tags. 7. Deferred start.
    state_.tagAny = (containsAfterFirst(path, "5309") || containsAfterFirst(path, "5310")) ? 1 : 0;
    state_.tagFirst = containsAfterFirst(path, "5309") ? 1 : 0;
    state_.deferredStart = 0;

    // 8. The device the host tool named.
    int working = sel;
    if (host_.hostDriven() && host_.hostVid() != 0 && host_.hostPid() != 0) {
        const std::string model = modelName(static_cast<std::uint32_t>(host_.hostVid()),
                                            static_cast<std::uint32_t>(host_.hostPid()));
        int found = model.empty() ? -1 : findPrefix(list, model, 0);
        if (found < 0) found = findPrefix(list, kIspModeName, 0);
        if (found < 0 || found >= static_cast<int>(table_.count)) {
            host_.reportResult("Model doest not match.", true);
            return;
        }
        working = found;
    }
    const DeviceEntry entry = table_.entries[static_cast<std::size_t>(working)];

    // 9. Keyboard already in ISP mode.
    if (list.getItemText(working) == kIspModeName) {
        state_.targetInIsp = 1;
        state_.reopenPath = entry.path;
    } else {
        state_.targetInIsp = 0;
    }

    // 10. File checks.
    ImageInfo info;
    const ImageCheck check = checkImageFile(file, info);
    state_.ispImage = info.ispImage ? 1 : 0;
    state_.markerImage = info.markerImage ? 1 : 0;
    state_.needsPageSelect = info.needsPageSelect ? 1 : 0;
    if (check != ImageCheck::Ok) {
        host_.reportResult(imageCheckMessage(check), true);
        return;
    }
    // A file without a whole head cannot be a keyboard's image; refuse it
    // before the keyboard leaves its firmware.
    if (info.length < 256) {
        host_.reportResult(kInvalidFileText, true);
        return;
    }
    state_.profileKind = info.profileKind;
    // An ISP image is always written through the device it was chosen on.
    state_.separateIspDevice = info.ispImage ? 0 : 1;

    // 11. Open the working entry.
    if (!openTracked(entry.path, Access::Write, &entry)) {
        host_.reportResult(kInitFailedText, true);
        return;
    }
    const bool legacy = linkState().legacy == 1;

    // 12. Profile check.
    if (!state_.targetInIsp && !legacy) {
        std::uint32_t r = 0;
        if (state_.ispImage) {
            const Trailer trailer = info.trailer;
            r = retried([&] { return CMD_CHECK_PROFILE(trailer.data(), trailer.size()); });
        } else if (!state_.tagAny) {
            static const char* const kCodes[] = {"GF", "GL", "CL"};
            const int kind = std::clamp(state_.profileKind, 0, 2);
            const char* code = kCodes[kind];
            r = retried([&] { return CMD_CHECK_PROFILE(code); });
        }
        if (r != 0) {
            host_.reportResult("Fail to check profile", true);
            status("Fail to check profile");
            return;
        }
    }

    // 13, 14. ISP entry.
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
                host_.reportResult(text, true);
                status(text);
                closeLink();
                return;
            }
        } else if (!state_.tagFirst) {
            (void)CMD_SET_MODE_FLAG(false);
        }
        if (state_.ispImage) {
            r = retried([&] { return CMD_ENTER_ISP_BOOT(flashKiB, value); });
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
                    host_.reportResult("Goto page fail", true);
                    status("Goto page fail");
                    closeLink();
                    return;
                }
            }
            r = retried([&] { return CMD_ENTER_ISP(flashKiB, value); });
            state_.ispEntrySent = 1;
            if (r == 0) closeLink();
        }
    }

    // 15. ISP entry failed.
    if (r != 0) {
        host_.reportResult("Enter ISP mode fail.\nPlease re-plug the keyboard", true);
        status("Enter ISP mode fail");
        return;
    }

    // 16.
    status("Enter ISP mode success. Waiting for the Windows to detect it.");

    // 17. Flash size.
    if (!legacy && !fitsKeyboard(info.length, flashKiB)) {
        status(kFileSizeStatusText);
        host_.reportResult(kNotForKeyboardText, true);
        closeLink();
        return;
    }

    // 18. Hand-over.
    if (state_.ispImage || state_.markerImage || !state_.separateIspDevice) {
        state_.reopenPath = entry.path;
    }
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

// ---------------------------------------------------------------------------
// Programming worker

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
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t slash = version.find('/', start);
        const std::size_t end = slash == std::string::npos ? version.size() : slash;
        if (end > start) fields.push_back(version.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (fields.size() >= 2 && fields[1][0] == 'S') return "Update successfully!";
    return "Update finsihed, but failed to get the firmware version!";
}

void Updater::profileFailure(const std::array<std::uint8_t, 10>& stored) {
    const Trailer plain = descrambleTrailer(stored);
    host_.reportResult(incorrectProfileText(trailerProfileCode(plain), trailerTargetName(plain)),
                       false);
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
        host_.reportResult("Update fail, but reset successfully.", false);
    } else {
        status("Reset fail 2");
        host_.reportResult("Reset fail 2.", false);
    }
    sleepMs(timing().recoveryTailMs);
    enableButtons(true);
    shutdown();
}

void Updater::shutdown() {
    closeLink();
    workerRunning_ = false;
    // On the UI thread, so that the release never races a discovery there.
    window_.invoke([this] { host_.releasePlatform(); });
    window_.postClose();
}

int Updater::programmingWorker() {
    // 1, 2. The trailer.
    Trailer stored{};
    unsigned cause = FILE_OPEN_OK;
    if (!readTrailer(state_.firmwarePath, stored, &cause)) {
        host_.reportResult(format("Can't open file %s, error = %u\n", state_.firmwarePath.c_str(), cause),
                           true);
        recoveryReset();
        return 0;
    }

    // 3, 4, 5.
    window_.enableControl(IDC_BROWSE, false);
    window_.enableControl(IDC_DOWNLOAD, false);
    window_.enableControl(IDC_GET_FW_VERSION, false);
    window_.enableControl(IDC_REFRESH, false);
    window_.setProgressRange(0, 100);
    window_.setProgressPos(0);
    status("Checking Profile");

    // 6. The ISP device.
    closeLink();
    if (!openTracked(state_.reopenPath, Access::ReadWrite, nullptr)) {
        host_.reportResult(kInitFailedText, true);
        // Leave the window usable for another attempt.
        workerRunning_ = false;
        enableButtons(false);
        return 0;
    }
    ensureResponseEvent();

    // 7, 8. Profile.
    std::uint32_t s = state_.ispImage ? 0 : CMD_ISP_CHECK_PROFILE(stored.data());
    sleepMs(timing().workerStepPauseMs);
    if (s != 0) {
        profileFailure(stored);
        return 0;
    }

    // 9, 10. Erase.
    status("Profile match");
    status("Chip Erase");
    s = CMD_CHIP_ERASE();
    sleepMs(timing().workerStepPauseMs);
    if (s != 0) {
        status("Chip Erase fail");
        host_.reportResult("Chip Erase fail", false);
        recoveryReset();
        return 0;
    }
    status("Chip Erase success");

    // 11. Page 0.
    if (state_.needsPageSelect) {
        state_.currentPage = 0;
        if (CMD_GOTO_PAGE(0) != 0) {
            status("Goto page fail");
            host_.reportResult("Goto page fail", false);
            shutdown();
            return 0;
        }
        status("Goto page success");
    }

    // 12, 13. Write.
    status("Start firmware update");
    const int w = writeImage(state_.firmwarePath);
    if (w != 0) {
        const std::string text = format("Firmware update fail: %d", w);
        status(text);
        workerRunning_ = false;
        host_.reportResult(text, false);
        host_.postHostResultMessage(state_.ispImage ? 0 : 1, 1);
        shutdown();
        return 0;
    }

    // 14, 15, 16, 17. Reset.
    status("Firmware update success");
    status("Start Protect");
    status("Protect success");
    status("Start Reset");
    s = CMD_RESET();
    if (state_.markerImage) s = CMD_SET_MODE_FLAG(false);
    if (state_.separateIspDevice) closeLink();
    window_.setProgressPos(100);
    sleepMs(timing().finalProgressPauseMs);

    // 18. Outcome.
    if (s == 0) {
        status("Reset success");
        if (state_.separateIspDevice) {
            workerRunning_ = false;
            host_.reportResult("Update successfully!", true);
        } else {
            sleepMs(timing().versionReadDelayMs);
            std::string version;
            const std::uint32_t v = CMD_GET_VERSION(true, version);
            // The link is still the worker's until the version has been read.
            closeLink();
            workerRunning_ = false;
            host_.reportResult(versionOutcome(v, version), true);
        }
    } else if (s == STATUS_BOOTLOADER_FAIL) {
        workerRunning_ = false;
        status("Reset fail");
        host_.reportResult("Bootloader upgrade fail, please retry.", true);
    } else {
        status("Reset fail");
        host_.reportResult("Reset fail", true);
        workerRunning_ = false;
    }

    // 19.
    enableButtons(false);
    return 1;
}

// ---------------------------------------------------------------------------
// Page writer

int Updater::writeImage(const std::string& path) {
    window_.setProgressRange(0, 100);

    ImageFile file;
    if (file.open(path) != FILE_OPEN_OK) return WRITE_OPEN_FAILED;
    const std::int64_t length = file.length();

    constexpr std::int64_t kHead = 256;
    constexpr std::int64_t kSegment = 256;
    constexpr std::int64_t kBlock = 64;

    // Segment scan: a body segment is written when it holds a non-zero byte.
    const std::int64_t segments = length > kHead ? (length - kHead + kSegment - 1) / kSegment : 0;
    std::vector<std::uint8_t> used(static_cast<std::size_t>(segments), 0);
    std::int64_t flagged = 0;
    {
        std::uint8_t buf[kSegment];
        for (std::int64_t s = 0; s < segments; ++s) {
            const std::int64_t at = kHead + s * kSegment;
            const auto n = static_cast<std::size_t>(std::min(kSegment, length - at));
            if (!file.seek(at) || file.read(buf, n) != n) break;
            if (std::any_of(buf, buf + n, [](std::uint8_t b) { return b != 0; })) {
                used[static_cast<std::size_t>(s)] = 1;
                ++flagged;
            }
        }
    }
    const std::int64_t toWrite = 4 * flagged + 4;
    auto progress = [&](std::int64_t blockNumber) {
        const std::int64_t pos = blockNumber * 100 / toWrite;
        window_.setProgressPos(static_cast<int>(std::min<std::int64_t>(pos, std::numeric_limits<int>::max())));
    };

    // One block, sent again on 242 and on a bad checksum, at most three more times.
    auto writeBlock = [](std::uint8_t hi, std::uint8_t lo, const std::uint8_t* data, std::size_t n,
                         int& retries) {
        std::uint32_t r = CMD_WRITE_BLOCK(hi, lo, data, n);
        retries = 0;
        while ((r == STATUS_WRITE_AGAIN || r == LINK_BAD_CHECKSUM) && retries < 3) {
            r = CMD_WRITE_BLOCK(hi, lo, data, n);
            ++retries;
        }
        return r;
    };

    std::uint8_t block[kBlock];

    // Head: always written.
    for (std::int64_t offset = 0; offset < kHead; offset += kBlock) {
        std::size_t n = 0;
        if (file.seek(std::min(offset, length))) n = file.read(block, kBlock);
        const auto hi = static_cast<std::uint8_t>((offset / 256) % 256);
        const auto lo = static_cast<std::uint8_t>(offset % 256);
        int retries = 0;
        const std::uint32_t r = writeBlock(hi, lo, block, n, retries);
        if (r != 0) {
            file.close();
            const std::string text =
                format("2. Retried %d times, Update fail at 0x%02X%02X!", retries, hi, lo);
            status(text);
            host_.reportIntermediate(text);
            return WRITE_HEAD_FAILED;
        }
        progress(offset / kBlock);
    }

    // Body: the blocks of flagged segments.
    for (std::int64_t k = 0; kHead + k * kBlock < length; ++k) {
        const std::int64_t o = kHead + k * kBlock;
        if (!used[static_cast<std::size_t>(k / 4)]) continue;
        if (state_.needsPageSelect) {
            while (o >= (static_cast<std::int64_t>(state_.currentPage) + 1) * kPageSize) {
                // The page number travels as one byte.
                if (state_.currentPage == 0xFF) {
                    file.close();
                    return WRITE_PAGE_FAILED;
                }
                ++state_.currentPage;
                if (!linkOpen() || CMD_GOTO_PAGE(state_.currentPage) != 0) {
                    file.close();
                    return WRITE_PAGE_FAILED;
                }
            }
        }
        std::size_t n = 0;
        if (file.seek(o)) n = file.read(block, kBlock);
        const auto hi = static_cast<std::uint8_t>((o / 256) % 256);
        const auto lo = static_cast<std::uint8_t>(o % 256);
        int retries = 0;
        const std::uint32_t r = writeBlock(hi, lo, block, n, retries);
        if (r != 0) {
            file.close();
            const std::string text = format("1. Retried %d times, Update fail at 0x%02X%02X, Error: 0x%02X",
                                            retries, hi, lo, static_cast<unsigned>(r));
            status(text);
            host_.reportIntermediate(text);
            return static_cast<int>(r);
        }
        progress(k + 4);
    }

    file.close();
    return 0;
}

// ---------------------------------------------------------------------------
// Timers and device changes

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
        host_.reportResult("Failed to download the firmware.", true);
        // A running worker enables the buttons itself when it ends.
        if (!workerBusy()) {
            window_.enableControl(IDC_DOWNLOAD, true);
            window_.enableControl(IDC_BROWSE, true);
        }
        status("");
        return;
    }
    if (!(broadcast.classGuid == kHidInterfaceClass)) return;

    // 1. ISP test.
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

    // 2. Rediscover just the ISP device.
    rediscover((narrow0 || wide0) ? 0 : 1);

    // 3. Its path.
    std::string path;
    if (narrow0 || narrow1) {
        path = name.narrow;
    } else {
        path = narrowFromWide(name.wide);
        if (path.empty()) return;
    }
    state_.reopenPath = path;

    // 4. Its report length (when discovery found it).
    if (table_.count > 0) setLinkReportLength(table_.entries[0].reportLength);

    // 5. The firmware path.
    state_.firmwarePath = window_.controlText(IDC_FIRMWARE_PATH);
    if (state_.firmwarePath.empty()) {
        host_.reportResult(kNoFileNameText, true);
        return;
    }

    // 6.
    ensureResponseEvent();

    // 7. No download waiting.
    if (window_.isControlEnabled(IDC_DOWNLOAD)) return;

    // 8, 9.
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

// ---------------------------------------------------------------------------
// Version query, legacy upgrade files and the manual ISP entry

std::string Updater::legacyUpgradeFile(int keywordMode, const std::string& version) {
    struct Rule {
        bool equals;  // else: contains
        const char* text;
        const char* file;
    };
    static const Rule kMode1[] = {
        {true, "S5301V10", "L5301V13.bin"}, {true, "S5301V11", "L5301V13.bin"},
        {true, "S5301V12", "L5301V13.bin"}, {false, "B5301V", "L5301V13.bin"},
        {true, "S5302V11", "L5302V14.bin"}, {true, "S5302V13", "L5302V14.bin"},
        {false, "B5302V", "L5302V14.bin"},
    };
    static const Rule kMode2[] = {
        {true, "S5303V10", "L5303V13.bin"}, {true, "S5303V11", "L5303V13.bin"},
        {true, "S5303V12", "L5303V13.bin"}, {false, "B5301V", "L5303V13.bin"},
        {true, "S5302V11", "L5302V14.bin"}, {true, "S5302V13", "L5302V14.bin"},
        {false, "B5302V", "L5302V14.bin"},
    };
    const Rule* begin = nullptr;
    const Rule* end = nullptr;
    if (keywordMode == 1) {
        begin = std::begin(kMode1);
        end = std::end(kMode1);
    } else if (keywordMode == 2) {
        begin = std::begin(kMode2);
        end = std::end(kMode2);
    }
    for (const Rule* rule = begin; rule != end; ++rule) {
        const bool hit = rule->equals ? version == rule->text
                                      : version.find(rule->text) != std::string::npos;
        if (hit) return rule->file;
    }
    return {};
}

void Updater::OnGetFwVersion() {
    if (workerBusy()) return;

    DeviceList& list = window_.deviceList();
    const int sel = list.getCurSel();
    if (sel < 0 || sel >= static_cast<int>(table_.count)) {
        box(kSelectDeviceText);
        return;
    }
    const DeviceEntry& entry = table_.entries[static_cast<std::size_t>(sel)];
    if (!openForVersionRead(entry)) return;

    status("Getting FW Version");
    const bool listedAsIsp = list.getItemText(sel) == kIspModeName;
    std::string version;
    const std::uint32_t r = readVersionWithFallback(listedAsIsp, version);
    const int mode = host_.keywordMode();
    const bool keywordRun = mode == 1 || mode == 2;
    std::string chosen;
    if (r == 0) {
        if (keywordRun) {
            chosen = legacyUpgradeFile(mode, version);
        } else {
            box(version);
            status("Get FW Version success");
        }
    } else if (keywordRun) {
        box("Fail to update the firmware because no firmware version is returned.");
    } else {
        status("Get FW Version fail");
    }
    closeLink();

    if (keywordRun) {
        if (!chosen.empty()) {
            host_.legacyFileChosen(chosen);
            window_.setControlText(IDC_FIRMWARE_PATH, chosen);
            window_.setTimer(TIMER_AUTO_START, timing().autoStartMs);
        } else {
            box("Incorrect firmware version is detected.\nSo there is no need to update the firwmare.");
        }
    }
    host_.setKeywordMode(0);
}

void Updater::OnManualIspEntry() {
    // The worker owns the link while it runs.
    if (workerBusy()) return;

    DeviceList& list = window_.deviceList();
    const int sel = list.getCurSel();
    if (sel < 0 || sel >= static_cast<int>(table_.count)) {
        box("Please select a device first");
        return;
    }
    const DeviceEntry& entry = table_.entries[static_cast<std::size_t>(sel)];
    bool found;
    {
        std::lock_guard<std::mutex> lock(openedMutex_);
        const LinkState link = linkState();
        found = link.handle != LINK_CLOSED && link.handle == openedHandle_ && openedPath_ == entry.path;
    }
    if (!found) {
        box("Cannot find device");
        status("Fail...");
        return;
    }
    status("Entering ISP mode");
    std::uint8_t flashKiB = 0;
    std::uint16_t value = 0;
    if (CMD_ENTER_ISP(flashKiB, value) == 0) {
        status("Entered ISP mode");
    } else {
        box("Cannot enter ISP mode");
        status("Fail...");
    }
}

}  // namespace vantel
