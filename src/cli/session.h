#pragma once
// One run of vantel-cli against a HID back end: the headless main window with
// the dialog logic over it, the selection of the keyboard, the command, and
// the wait until it has ended.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/console_shell.h"
#include "cli/options.h"
#include "cli/output.h"
#include "link/discovery.h"
#include "link/hid_backend.h"

namespace vantel::cli {

// The arguments of the host-driven command line for a flash with --result:
// firmware path, result destination, and the keyboard's IDs when both are given.
std::vector<std::string> hostDrivenArguments(const Options& options);

// Which device-list item the options name. `error` is set when none fits.
// Without -d/--vid/--pid the selection that discovery made (item 0) stays.
struct Selection {
    std::optional<int> index;  // nullopt: leave the list's selection alone
    std::string note;          // said on stderr (e.g. the keyboard is already in ISP mode)
    std::string error;
};
Selection chooseDevice(const Options& options, const DeviceTable& table,
                       const std::vector<std::string>& names, bool hostDriven);

// The ISP interfaces in `now` that were not in `before` (names with "_0000"
// or "_0001", as the arrival handling recognises them).
std::vector<std::string> newIspInterfaces(const std::vector<std::string>& before,
                                          const std::vector<std::string>& now);

// Every interface path the back end lists now, in enumeration order.
std::vector<std::string> listInterfaces(HidBackend& backend);

// Interrupts (Ctrl-C) during a flash: the first one is only counted, so that a
// keyboard is not left half-written by accident; the second ends the process.
void armInterruptGuard();
// The number of interrupts seen since armInterruptGuard.
int interruptCount();

struct SessionResult {
    int exitCode = EXIT_INTERNAL;
    RunRecord record;
    bool ispImage = false;         // the last download's file was an ISP image
    DeviceEntry selected;          // the entry the command worked on (vid 0 when none)
};

// Runs one device command (list, version, flash, test-mode, factory-reset).
// `out` gets results (listings, message-box texts, versions), `display` the
// progress. The back end's device events are delivered while it runs; with
// `pollArrivals` (a back end that announces no arrivals) the interfaces are
// listed instead while the download waits, and a new ISP device is announced.
SessionResult runSession(HidBackend& backend, const Options& options, ConsoleShell& shell,
                         ProgressDisplay& display, std::ostream& out, std::ostream& err,
                         bool pollArrivals = false);

}  // namespace vantel::cli
