#pragma once
// One run of vantel-cli against a HID back end: the headless main window with
// the dialog logic over it, the selection of the keyboard, the command, and
// the wait until it has ended.

#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/console_shell.h"
#include "cli/devices.h"
#include "cli/options.h"
#include "cli/output.h"
#include "link/discovery.h"
#include "link/hid_backend.h"

namespace vantel::cli {

// The arguments of the host-driven command line for a flash with --result:
// firmware path, result destination, and the keyboard's IDs when both are given.
std::vector<std::string> hostDrivenArguments(const Options& options);

// Which device-list item the options name. `error` is set when none fits.
// Without -d/--vid/--pid/--path/--port the selection that discovery made
// (item 0) stays, except that flash, test-mode and factory-reset refuse to
// pick one of several keyboards (`ambiguous`). `locations` holds the place of each table entry (may be
// shorter: unknown).
struct Selection {
    std::optional<int> index;  // nullopt: leave the list's selection alone
    std::string note;          // said on stderr (e.g. the keyboard is already in ISP mode)
    std::string error;
    bool ambiguous = false;    // several keyboards fit: waiting would not settle it
};
Selection chooseDevice(const Options& options, const DeviceTable& table,
                       const std::vector<std::string>& names, bool hostDriven,
                       const std::vector<DeviceLocation>& locations = {});

// The ISP interfaces in `now` that were not in `before` (names with "_0000"
// or "_0001", as the arrival handling recognises them).
std::vector<std::string> newIspInterfaces(const std::vector<std::string>& before,
                                          const std::vector<std::string>& now);

// Passes device events on, except the arrival of a boot loader at another USB
// port than the keyboard being flashed: with several keyboards re-enumerating
// at once, only the one at the chosen place may be written.
class PortFilter final : public DeviceEventSink {
public:
    PortFilter(DeviceEventSink& inner, DeviceLocator* locator) : inner_(inner), locator_(locator) {}
    // Empty: everything passes.
    void setPort(const std::string& port);
    // Whether an ISP interface at `path` may be taken.
    bool accepts(const std::string& path);
    void deviceChanged(const DeviceBroadcast& broadcast) override;

private:
    DeviceEventSink& inner_;
    DeviceLocator* locator_;
    std::mutex mutex_;
    std::string port_;
};

// Every interface path the back end lists now, in enumeration order.
std::vector<std::string> listInterfaces(HidBackend& backend);

// Signals during a flash, so that a keyboard is not left half-written by
// accident: the first interrupt (Ctrl-C), SIGTERM and SIGHUP are only
// noted; the second interrupt asks for the abort, which the session carries
// out (it says the keyboard's state and ends the process); a third ends the
// process at once.
void armInterruptGuard();
// The number of interrupts seen since armInterruptGuard.
int interruptCount();
// The last SIGTERM or SIGHUP held off since armInterruptGuard; 0: none.
int heldSignal();
// Whether the user asked for the abort (the guard is armed and a second interrupt came).
bool abortRequested();

struct SessionResult {
    int exitCode = EXIT_INTERNAL;
    RunRecord record;
    bool ispImage = false;         // the last download's file was an ISP image
    DeviceEntry selected;          // the entry the command worked on (vid 0 when none)
    DeviceLocation selectedLocation;
    std::optional<KeyboardState> keyboardState;  // flash only
};

// Runs one device command (list, version, flash, test-mode, factory-reset).
// `out` gets results (listings, message-box texts, versions), `display` the
// progress. The back end's device events are delivered while it runs; with
// `pollArrivals` (a back end that announces no arrivals) the interfaces are
// listed instead while the download waits, and a new ISP device is announced.
// `locator` (may be null) tells where each keyboard is; `events` (may be
// null) receives the JSON Lines of a device command run with --json.
SessionResult runSession(HidBackend& backend, const Options& options, ConsoleShell& shell,
                         ProgressDisplay& display, std::ostream& out, std::ostream& err,
                         bool pollArrivals = false, DeviceLocator* locator = nullptr,
                         JsonEvents* events = nullptr);

}  // namespace vantel::cli
