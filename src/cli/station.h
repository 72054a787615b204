#pragma once
// The production station: waits for keyboards, flashes each one that arrives
// with one file, and reports one line (and one log record) per keyboard.
//
// Each keyboard is flashed by a child vantel-cli run (`flash FILE --port P
// --json`), so the link stays one per process and a child takes only the
// boot loader that comes up at its own keyboard's USB port. The station
// itself never opens a keyboard: it lists interface paths and asks where they
// are. Keyboards whose place is unknown are not flashed (their boot loader
// could not be told from another's).

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/devices.h"
#include "link/hid_backend.h"

namespace vantel::cli {

struct StationConfig {
    std::string file;          // the private copy the children flash
    std::string shownFile;     // the file as the user named it (the log's "file")
    std::string sha256;        // of the bytes in `file`
    std::string program;       // the vantel-cli the children run
    std::vector<std::string> childOptions;  // passed to every child (--timing-scale ...)
    std::vector<std::pair<std::string, std::string>> childEnv;
    std::vector<std::string> childUnsetEnv;
    int parallel = 0;          // 0: as many as ports are in use, at most kDefaultParallel
    int max = 0;               // 0: no limit
    bool oncePerPort = false;
    bool json = false;         // stdout gets the log records instead of text lines
    bool terminal = false;     // stderr shows a running tally
    bool verbose = false;      // the children's stderr is kept
    bool quiet = false;        // no arrival lines on stderr
    std::string logPath;       // JSON Lines appended; empty: none
    // How many interrupts (Ctrl-C) have come, and whether SIGTERM/SIGHUP did.
    std::function<int()> interrupts = [] { return 0; };
    std::function<bool()> stopSignal = [] { return false; };
    std::function<std::string()> clock;  // UTC timestamp of a record; empty: the system's
};

inline constexpr int kDefaultParallel = 8;
inline constexpr int kMaxParallel = 32;

// One finished keyboard.
struct StationRecord {
    std::string time;
    std::string port;
    std::string model;
    std::optional<std::string> versionBefore;
    std::optional<std::string> versionAfter;
    std::string outcome;       // the flash's result text
    int exitCode = 0;
    std::optional<std::string> keyboardState;
    double seconds = 0;
};

std::string stationRecordJson(const StationRecord& record, const StationConfig& config);
std::string stationRecordText(const StationRecord& record);
// "ok", "write failed", ...: the class of an exit code in words.
const char* exitClassText(int exitCode);

// The vendor and product IDs written in an interface path ("vid_0f39&pid_0641").
std::optional<std::pair<std::uint16_t, std::uint16_t>> idsInPath(const std::string& path);

// Runs until --max keyboards are reported, or an interrupt (or SIGTERM or
// SIGHUP) stopped it and the keyboards in progress have finished. Returns 0
// when the last keyboard reported at each port passed, else the exit code of
// the first of those that failed; 130 when a second interrupt aborted
// keyboards in progress.
int runStation(HidBackend& backend, DeviceLocator& locator, const StationConfig& config, std::ostream& out,
               std::ostream& err);

}  // namespace vantel::cli
