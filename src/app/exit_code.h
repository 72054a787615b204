#pragma once
// The process exit code of a run, from the outcome classes it reported. Both
// front ends end with it: vantel-cli always, Vantel.exe in host-driven runs,
// so a host tool reads the same number whichever program it started.

#include <vector>

#include "update/outcome.h"

namespace vantel {

// What the process returns. Scripts and host tools match on these numbers.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_USAGE = 1,               // the command line is wrong
    EXIT_NO_DEVICE = 2,           // no keyboard, no selection, or it cannot be opened
    EXIT_FILE_REJECTED = 3,       // the firmware file is missing, unreadable or not for this keyboard
    EXIT_KEYBOARD_REFUSED = 4,    // the keyboard refused a command (profile, ISP entry, version, service)
    EXIT_WRITE_FAILED = 5,        // erase, write or reset failed
    EXIT_VERSION_UNCONFIRMED = 6, // written, but the new firmware version could not be confirmed
    EXIT_ISP_TIMEOUT = 7,         // the keyboard never came back as an ISP device
    EXIT_INTERNAL = 8,            // the run ended without any outcome the tool recognises
};

// One outcome class as the run reported it.
struct ReportedOutcome {
    Outcome outcome = Outcome::Success;
    bool finalResult = false;  // came with a final result
};

// The exit code of one outcome class: the one switch.
int exitCodeFor(Outcome outcome);

// A download succeeds only on a final result of success; otherwise its first
// failure decides (the recovery reset's texts after it only follow from it),
// and a run without any outcome is EXIT_INTERNAL, never a success.
int downloadExitCode(const std::vector<ReportedOutcome>& outcomes);

// A command without a download: the first failure decides, else a success.
int commandExitCode(const std::vector<ReportedOutcome>& outcomes);

}  // namespace vantel
