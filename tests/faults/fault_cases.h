#pragma once
// The fault matrix: every step of a download against every fault the
// simulated keyboard can inject there, each with the exact messages the user
// gets and the command line's exit code for the outcome. The table states every case and its outcome; fault_matrix_test.cpp
// runs them and writes the matrix as Markdown.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantel::faults {

// What is wrong at the step.
enum class Fault {
    Status,       // the keyboard answers a failure status (242 for a block, else 0x09), every time
    BadChecksum,  // every reply from the step on has a wrong checksum
    NoAnswer,     // the keyboard never answers the step's command
    SendFails,    // every set-feature call from the step's request on fails
    ReadFails,    // every get-feature call from the step's reply on fails
    LateReply,    // the step's reply arrives once, after the caller has given up
    Removed,      // the keyboard leaves the bus at the step and stays away
    OtherDevice,  // the keyboard leaves at the step and a keyboard of another model arrives
    NoReader,     // the host cannot start the reply reader of the step's exchange (once)
};

inline constexpr Fault kAllFaults[] = {Fault::Status,    Fault::BadChecksum, Fault::NoAnswer,
                                       Fault::SendFails, Fault::ReadFails,   Fault::LateReply,
                                       Fault::Removed,   Fault::OtherDevice};
// Faults of the host's side, met only at the steps whose rows name them.
inline constexpr Fault kHostFaults[] = {Fault::NoReader};

const char* faultName(Fault fault);   // "device status", ...
const char* faultId(Fault fault);     // "Status", ... (test names)

// The keyboard and file a case runs with.
enum class Setup {
    App,    // 2 KiB application image; the boot loader comes back as a separate ISP device
    Paged,  // 66 KiB application image: pages selected by the Download command, the worker and the writer
    Isp,    // 4 KiB ISP image, written through the keyboard's own interface; the version is read back
};

const char* setupName(Setup setup);

struct Cell {
    std::string step;      // the row
    std::string stepId;    // the row, as a test name
    Setup setup = Setup::App;
    bool arrival = false;  // the arrival wait: no command, the notification is what goes wrong
    std::uint8_t code = 0; // the command of the step
    int at = 1;            // its occurrence (1-based) on the keyboard
    std::optional<std::uint32_t> offset;  // a block's flash offset
    Fault fault = Fault::Status;
    // The messages, in order: "box:<text>" (a message box), "status:<text>"
    // (the page writer's failure text on the status line), "post:<title>:<message>:<wparam>:<lparam>"
    // (to the host tool), "end" (the window closed by itself).
    std::vector<std::string> expected;
    int exitCode = 0;  // vantel-cli's exit code for the outcome class the run reports
    // The run cannot tell whether the keyboard carried out the faulted command
    // (its reply was lost): vantel-cli may say a state that asks more of the
    // user than the keyboard's actual one, never less.
    bool stateUnsure = false;

    std::string name() const;  // unique, a valid test name
};

const std::vector<Cell>& faultMatrix();

}  // namespace vantel::faults
