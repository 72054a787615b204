#include "fault_cases.h"

#include <cstdio>
#include <functional>

#include "cli/options.h"

namespace vantel::faults {

namespace {

using Messages = std::vector<std::string>;
using namespace vantel::cli;

// The messages of a case and the exit code its outcome class maps to.
struct Expected {
    int exitCode;
    Messages messages;
    bool stateUnsure = false;
};

const std::string kUpdated = "box:Update successfully!";
const std::string kProfileRefused = "box:Fail to check profile";
const std::string kReopenFailed = "box:Fail to init the device!!";
const std::string kIspEntryFailed = "box:Enter ISP mode fail.\nPlease re-plug the keyboard";
const std::string kIncorrectProfile =
    "box:Incorrect profile. This firmware is for RX-431, the profile is Global Full";
const std::string kRecovered = "box:Update fail, but reset successfully.";
const std::string kNotRecovered = "box:Reset fail 2.";
const std::string kEraseFailed = "box:Chip Erase fail";
const std::string kPageFailed = "box:Goto page fail";
const std::string kResetFailed = "box:Reset fail";
const std::string kVersionUnread = "box:Update finsihed, but failed to get the firmware version.";
const std::string kInitFailed = "box:Fail to init the device";
const std::string kHostTold = "post:Brenmoor:2024:1:1";  // application image, not successful
const std::string kClosed = "end";

std::string hex4(std::uint32_t offset) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", (offset / 256) % 256, offset % 256);
    return text;
}

// The link status a block's last attempt ends with, and how often it was sent again.
struct BlockOutcome {
    int retries;
    int status;
};

BlockOutcome blockOutcome(Fault f) {
    switch (f) {
        case Fault::Status: return {3, 242};       // sent again three times
        case Fault::BadChecksum: return {3, 240};  // likewise
        case Fault::NoAnswer: return {0, 227};
        case Fault::SendFails: return {0, 227};    // the block waits for a reply that never comes
        case Fault::ReadFails: return {0, 228};
        case Fault::LateReply: return {0, 227};
        case Fault::Removed: return {0, 228};
        case Fault::OtherDevice: return {0, 228};
        case Fault::NoReader: return {0, 228};     // no reply was read: never a written block
    }
    return {0, 0};
}

Expected headBlock(std::uint32_t offset, Fault f) {
    const BlockOutcome o = blockOutcome(f);
    return {EXIT_WRITE_FAILED, {"status:2. Retried " + std::to_string(o.retries) + " times, Update fail at 0x" + hex4(offset) + "!",
            "box:Firmware update fail: -2", kHostTold, kClosed}};
}

Expected bodyBlock(std::uint32_t offset, Fault f, bool last) {
    const BlockOutcome o = blockOutcome(f);
    char error[8];
    std::snprintf(error, sizeof error, "%02X", o.status);
    // The file's last block written, its answer lost: the whole image is in,
    // and the keyboard is said to be partly written.
    const bool lostAnswer = f == Fault::BadChecksum || f == Fault::ReadFails || f == Fault::LateReply;
    return {EXIT_WRITE_FAILED,
            {"status:1. Retried " + std::to_string(o.retries) + " times, Update fail at 0x" + hex4(offset) +
                 ", Error: 0x" + error,
             "box:Firmware update fail: " + std::to_string(o.status), kHostTold, kClosed},
            last && lostAnswer};
}

struct Row {
    std::string step;
    std::string stepId;
    Setup setup;
    bool arrival;
    std::uint8_t code;
    int at;
    std::optional<std::uint32_t> offset;
    std::vector<Fault> faults;
    std::function<Expected(Fault)> expected;
};

std::vector<Fault> every() { return {std::begin(kAllFaults), std::end(kAllFaults)}; }

std::vector<Row> rows() {
    std::vector<Row> r;

    // The Download command's profile check: a retried command.
    r.push_back({"profile check (0xB4)", "ProfileCheck", Setup::App, false, 0xB4, 1, {}, every(), [](Fault f) -> Expected {
        switch (f) {
            case Fault::LateReply: return {EXIT_OK, {kUpdated}};  // the retry gets the answer
            case Fault::Removed:
            case Fault::OtherDevice: return {EXIT_NO_DEVICE, {kReopenFailed, kProfileRefused}};
            default: return {EXIT_KEYBOARD_REFUSED, {kProfileRefused}};
        }
    }});

    // ISP entry of an application image: a retried command. The keyboard
    // leaves for its boot loader once it has handed over its answer, so a
    // reply that was read but not accepted strands it there.
    r.push_back({"ISP entry (0xA0)", "IspEntry", Setup::App, false, 0xA0, 1, {}, every(), [](Fault f) -> Expected {
        switch (f) {
            case Fault::BadChecksum:
            case Fault::LateReply: return {EXIT_NO_DEVICE, {kReopenFailed, kIspEntryFailed}};
            // Gone before its answer: it is taken to have left for its boot loader.
            case Fault::Removed:
            case Fault::OtherDevice: return {EXIT_NO_DEVICE, {kReopenFailed, kIspEntryFailed}, true};
            default: return {EXIT_KEYBOARD_REFUSED, {kIspEntryFailed}};
        }
    }});

    // The boot-loader entry of an ISP image: retried, and its send retried on its own.
    // On the keyboard's own interface a switch does not show: a failed entry
    // is said to have left the keyboard in its boot loader.
    r.push_back({"boot-loader entry (0xAA)", "BootEntry", Setup::Isp, false, 0xAA, 1, {}, every(), [](Fault f) -> Expected {
        switch (f) {
            case Fault::LateReply: return {EXIT_OK, {kUpdated}};
            case Fault::Removed:
            case Fault::OtherDevice: return {EXIT_NO_DEVICE, {kReopenFailed, kIspEntryFailed}, true};
            case Fault::Status:
            case Fault::NoAnswer:
            case Fault::SendFails: return {EXIT_KEYBOARD_REFUSED, {kIspEntryFailed}, true};
            default: return {EXIT_KEYBOARD_REFUSED, {kIspEntryFailed}};
        }
    }});

    // The wait for the ISP device: nothing is sent, the arrival is what goes wrong.
    r.push_back({"arrival wait", "ArrivalWait", Setup::App, true, 0, 0, {},
                 {Fault::NoAnswer, Fault::LateReply, Fault::Removed, Fault::OtherDevice}, [](Fault f) -> Expected {
        if (f == Fault::Removed) return {EXIT_NO_DEVICE, {kInitFailed}};
        return {EXIT_ISP_TIMEOUT, {kHostTold, kClosed}};  // timer 4 gives up
    }});

    // The worker's profile check: not retried; the recovery reset follows.
    r.push_back({"ISP profile check (0xA5)", "IspProfileCheck", Setup::App, false, 0xA5, 1, {}, every(), [](Fault f) -> Expected {
        switch (f) {
            case Fault::SendFails:
            case Fault::ReadFails:
            case Fault::Removed:
            case Fault::OtherDevice: return {EXIT_KEYBOARD_REFUSED, {kIncorrectProfile, kNotRecovered, kClosed}};
            default: return {EXIT_KEYBOARD_REFUSED, {kIncorrectProfile, kRecovered, kClosed}};
        }
    }});

    // A failed erase is said to have erased: the run cannot tell a refusal from a lost answer.
    r.push_back({"chip erase (0xA4)", "ChipErase", Setup::App, false, 0xA4, 1, {}, every(), [](Fault f) -> Expected {
        switch (f) {
            case Fault::ReadFails: return {EXIT_WRITE_FAILED, {kEraseFailed, kNotRecovered, kClosed}};
            case Fault::SendFails:
            case Fault::Removed:
            case Fault::OtherDevice: return {EXIT_WRITE_FAILED, {kEraseFailed, kNotRecovered, kClosed}, true};
            case Fault::Status:
            case Fault::NoAnswer: return {EXIT_WRITE_FAILED, {kEraseFailed, kRecovered, kClosed}, true};
            default: return {EXIT_WRITE_FAILED, {kEraseFailed, kRecovered, kClosed}};
        }
    }});

    r.push_back({"page 0 before ISP entry (0xA2)", "PageZeroDownload", Setup::Paged, false, 0xA2, 1, {}, every(),
                 [](Fault) -> Expected { return {EXIT_KEYBOARD_REFUSED, {kPageFailed}}; }});
    r.push_back({"page 0 in the worker (0xA2)", "PageZeroWorker", Setup::Paged, false, 0xA2, 2, {}, every(),
                 [](Fault) -> Expected { return {EXIT_WRITE_FAILED, {kPageFailed, kClosed}}; }});
    r.push_back({"page 1 in the writer (0xA2)", "PageOneWriter", Setup::Paged, false, 0xA2, 3, {}, every(),
                 [](Fault) -> Expected {
                     return {EXIT_WRITE_FAILED, {"box:Firmware update fail: -3", kHostTold, kClosed}};
                 }});

    // Blocks of the 2 KiB image: the four head blocks, then body blocks at the
    // start and the end of a segment and the file's last block.
    for (std::uint32_t offset : {0x000u, 0x040u, 0x080u, 0x0C0u}) {
        r.push_back({"head block 0x" + hex4(offset) + " (0xA1)", "HeadBlock" + hex4(offset), Setup::App, false, 0xA1,
                     static_cast<int>(offset / 64 + 1), offset, every(),
                     [offset](Fault f) { return headBlock(offset, f); }});
    }
    for (std::uint32_t offset : {0x100u, 0x1C0u, 0x7C0u}) {
        std::vector<Fault> faults = every();
        if (offset == 0x100u) faults.push_back(Fault::NoReader);
        r.push_back({"body block 0x" + hex4(offset) + " (0xA1)", "BodyBlock" + hex4(offset), Setup::App, false, 0xA1,
                     static_cast<int>(offset / 64 + 1), offset, faults,
                     [offset](Fault f) { return bodyBlock(offset, f, offset == 0x7C0u); }});
    }

    r.push_back({"reset (0xAF)", "Reset", Setup::App, false, 0xAF, 1, {}, every(),
                 [](Fault) -> Expected { return {EXIT_WRITE_FAILED, {kResetFailed}}; }});
    r.push_back({"version read (0xA6)", "VersionRead", Setup::Isp, false, 0xA6, 1, {}, every(),
                 [](Fault) -> Expected { return {EXIT_VERSION_UNCONFIRMED, {kVersionUnread}}; }});
    return r;
}

}  // namespace

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::Status: return "device status";
        case Fault::BadChecksum: return "bad checksum";
        case Fault::NoAnswer: return "no answer";
        case Fault::SendFails: return "failed send";
        case Fault::ReadFails: return "failed reads";
        case Fault::LateReply: return "late reply";
        case Fault::Removed: return "removal";
        case Fault::OtherDevice: return "other device arrives";
        case Fault::NoReader: return "reader cannot start";
    }
    return "?";
}

const char* faultId(Fault fault) {
    switch (fault) {
        case Fault::Status: return "Status";
        case Fault::BadChecksum: return "BadChecksum";
        case Fault::NoAnswer: return "NoAnswer";
        case Fault::SendFails: return "SendFails";
        case Fault::ReadFails: return "ReadFails";
        case Fault::LateReply: return "LateReply";
        case Fault::Removed: return "Removed";
        case Fault::OtherDevice: return "OtherDevice";
        case Fault::NoReader: return "NoReader";
    }
    return "Unknown";
}

const char* setupName(Setup setup) {
    switch (setup) {
        case Setup::App: return "2 KiB application image, separate ISP device";
        case Setup::Paged: return "66 KiB paged application image, separate ISP device";
        case Setup::Isp: return "4 KiB ISP image, same interface";
    }
    return "?";
}

std::string Cell::name() const { return stepId + "_" + faultId(fault); }

const std::vector<Cell>& faultMatrix() {
    static const std::vector<Cell> cells = [] {
        std::vector<Cell> out;
        for (const Row& row : rows()) {
            for (Fault f : row.faults) {
                Cell c;
                c.step = row.step;
                c.stepId = row.stepId;
                c.setup = row.setup;
                c.arrival = row.arrival;
                c.code = row.code;
                c.at = row.at;
                c.offset = row.offset;
                c.fault = f;
                const Expected e = row.expected(f);
                c.expected = e.messages;
                c.exitCode = e.exitCode;
                c.stateUnsure = e.stateUnsure;
                out.push_back(c);
            }
        }
        return out;
    }();
    return cells;
}

}  // namespace vantel::faults
