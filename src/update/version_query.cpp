// The firmware version query, the legacy upgrade file chosen from a version,
// and the manual ISP entry.

#include <algorithm>
#include <cctype>
#include <iterator>

#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"
#include "update/update_internal.h"
#include "update/updater.h"

namespace vantel {

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

    int sel = -1;
    const DeviceEntry* entry = selectedEntry(SelectionPrompt::Box, &sel);
    if (!entry) return;
    if (!openForVersionRead(*entry)) return;

    status("Getting FW Version");
    const bool listedAsIsp = window_.deviceList().getItemText(sel) == kIspModeName;
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
            host_.reportOutcome(Outcome::Success);
        }
    } else if (keywordRun) {
        box("Fail to update the firmware because no firmware version is returned.");
    } else {
        status("Get FW Version fail");
        host_.reportOutcome(Outcome::KeyboardRefused);
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

    const DeviceEntry* entry = selectedEntry(SelectionPrompt::TerseBox);
    if (!entry) return;
    // The open link is the selected device's when it was opened on its path,
    // whoever opened it; a handle value proves nothing, the system reuses them.
    // Device paths are compared as the system does, without regard to case.
    const std::string opened = linkPath();
    const auto sameChar = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    if (opened.empty() || !std::equal(opened.begin(), opened.end(), entry->path.begin(), entry->path.end(), sameChar)) {
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
