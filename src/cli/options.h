#pragma once
// The command line of vantel-cli: commands, options, exit codes and the help text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_code.h"

namespace vantel::cli {

enum class Command { None, List, Info, Version, Flash, TestMode, FactoryReset, Station };

// What the process returns (the numbers are the core's, shared with
// Vantel.exe): named here as well so that cli::EXIT_OK reads as before.
using vantel::ExitCode;
using vantel::EXIT_OK;
using vantel::EXIT_USAGE;
using vantel::EXIT_NO_DEVICE;
using vantel::EXIT_FILE_REJECTED;
using vantel::EXIT_KEYBOARD_REFUSED;
using vantel::EXIT_WRITE_FAILED;
using vantel::EXIT_VERSION_UNCONFIRMED;
using vantel::EXIT_ISP_TIMEOUT;
using vantel::EXIT_INTERNAL;

struct TimingScale {
    int num = 1;
    int den = 1;
};

struct Options {
    Command command = Command::None;
    std::string file;                         // info, flash
    std::optional<int> deviceIndex;           // -d / --device
    std::optional<std::uint16_t> vid;         // --vid
    std::optional<std::uint16_t> pid;         // --pid
    std::optional<std::string> nodePath;      // --path NODE: the device node (or the listed path)
    std::optional<std::string> port;          // --port LOCATION: the USB bus and port chain
    std::optional<double> waitSeconds;        // --wait[=SECONDS]: 0 waits without a limit
    std::optional<std::string> resultPath;    // --result (flash only)
    bool json = false;                        // --json: a document (list, info) or JSON Lines events
    bool trace = false;                       // --trace
    bool verbose = false;                     // -v / --verbose: every status text, with its time
    bool quiet = false;                       // -q / --quiet: the outcome only
    std::optional<std::string> simulate;      // --simulate SCENARIO
    std::optional<TimingScale> timingScale;   // --timing-scale N/D
    std::optional<std::string> dumpFlash;     // --dump-flash FILE (simulator only; not in --help)
    bool pollArrivals = false;                // --poll-arrivals (not in --help): find the ISP
                                              // device by listing, as on a back end without arrivals
    // station
    std::optional<std::string> logPath;       // --log FILE: JSON Lines appended, one per keyboard
    std::optional<int> maxKeyboards;          // --max N: stop after N keyboards
    std::optional<int> parallel;              // --parallel N: keyboards flashed at once
    bool oncePerPort = false;                 // --once-per-port
    bool help = false;                        // -h / --help
    bool version = false;                     // -V / --version
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // one line, without the program name
};

// Parses the arguments after the program name. Options may stand before or
// after the command; "--" ends the options.
ParseResult parseArguments(const std::vector<std::string>& args);

// Hexadecimal 16-bit number with an optional 0x prefix ("0f39", "0x0F39").
std::optional<std::uint16_t> parseHex16(const std::string& text);
// Seconds with an optional fraction ("5", "0.25"), at most a day.
std::optional<double> parseSeconds(const std::string& text);
// "N/D" or "N", both positive.
std::optional<TimingScale> parseTimingScale(const std::string& text);

const char* commandName(Command command);
std::string usageText(const std::string& program);

}  // namespace vantel::cli
