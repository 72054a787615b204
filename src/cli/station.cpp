#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "cli/child_process.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/session.h"
#include "link/discovery.h"
#include "link/timing.h"

#ifndef _WIN32
#include <poll.h>
#include <csignal>
#endif

namespace vantel::cli {

namespace {

using Clock = std::chrono::steady_clock;

// ---- reading the children's JSON Lines ------------------------------------

// The value of `"name":` in a flat JSON object as vantel-cli writes it.
// Strings are unescaped (\u00XX below 0x100 back to the byte it was written
// from); numbers and literals come back as their text. nullopt: absent.
std::optional<std::string> jsonField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    std::size_t at = 0;
    // A key is found only outside strings: skip matches inside a value.
    for (;;) {
        at = line.find(key, at);
        if (at == std::string::npos) return std::nullopt;
        bool inString = false;
        for (std::size_t i = 0; i < at; ++i) {
            if (line[i] == '\\' && inString) {
                ++i;
            } else if (line[i] == '"') {
                inString = !inString;
            }
        }
        if (!inString) break;
        at += key.size();
    }
    std::size_t i = at + key.size();
    if (i >= line.size()) return std::nullopt;
    if (line[i] != '"') {
        const std::size_t end = line.find_first_of(",}", i);
        return line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    std::string value;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            value += line[i];
            continue;
        }
        const char e = line[++i];
        switch (e) {
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'u': {
            if (i + 4 >= line.size()) return value;
            const unsigned code = static_cast<unsigned>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
            i += 4;
            if (code < 0x100) {
                value += static_cast<char>(code);
            } else if (code < 0x800) {
                value += static_cast<char>(0xC0 | (code >> 6));
                value += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                value += static_cast<char>(0xE0 | (code >> 12));
                value += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                value += static_cast<char>(0x80 | (code & 0x3F));
            }
            break;
        }
        default: value += e; break;
        }
    }
    return value;
}

struct ChildResult {
    bool seen = false;  // a result event came
    std::string text;
    std::optional<std::string> keyboardState;
};

ChildResult resultOf(const std::vector<std::string>& lines) {
    ChildResult r;
    for (const auto& line : lines) {
        if (jsonField(line, "event") != std::optional<std::string>("result")) continue;
        r.seen = true;
        r.text = jsonField(line, "text").value_or("");
        const auto state = jsonField(line, "keyboard_state");
        r.keyboardState = state && *state != "null" ? state : std::nullopt;
    }
    return r;
}

const char* stateWords(const std::string& key) {
    for (KeyboardState s : {KeyboardState::Untouched, KeyboardState::BootLoaderIntact,
                            KeyboardState::BootLoaderErased, KeyboardState::WrittenUnconfirmed,
                            KeyboardState::Updated}) {
        if (key == keyboardStateKey(s)) return keyboardStateText(s);
    }
    return nullptr;
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

// ---- what is plugged in where ---------------------------------------------

struct PortView {
    std::string model;      // of the keyboard's application device when one is there
    bool application = false;  // a keyboard (not its boot loader) is present
    bool bootLoader = false;
};

// Supported keyboards by USB port. The station opens nothing: a keyboard
// being written by a child is never touched by the listing.
std::map<std::string, PortView> scanPorts(HidBackend& backend, DeviceLocator& locator,
                                          std::set<std::string>& unplaced) {
    std::map<std::string, PortView> ports;
    for (const auto& path : listInterfaces(backend)) {
        const auto ids = idsInPath(path);
        if (!ids || !isSupportedVendor(ids->first)) continue;
        const std::string port = locator.locate(path).port;
        if (port.empty()) {
            unplaced.insert(path);
            continue;
        }
        PortView& view = ports[port];
        if (isIspInterface(path)) {
            view.bootLoader = true;
            if (view.model.empty()) view.model = kIspModeName;
        } else {
            if (!view.application) view.model = modelName(ids->first, ids->second);
            view.application = true;
        }
    }
    return ports;
}

// ---- one keyboard's run ---------------------------------------------------

enum class Phase { Queued, VersionBefore, Flashing, Settling, VersionAfter, Done };

struct Keyboard {
    Phase phase = Phase::Queued;
    StationRecord record;
    bool startedInBootLoader = false;
    std::unique_ptr<ChildProcess> child;
    std::vector<std::string> lines;
    Clock::time_point started{};
    Clock::time_point settleUntil{};
    std::optional<Clock::time_point> absentSince;
    bool passed = false;
};

bool active(Phase p) { return p != Phase::Queued && p != Phase::Done; }

class Station {
public:
    Station(HidBackend& backend, DeviceLocator& locator, const StationConfig& config, std::ostream& out,
            std::ostream& err)
        : backend_(backend), locator_(locator), config_(config), out_(out), err_(err) {}

    int run();

private:
    void admit(const std::map<std::string, PortView>& ports, Clock::time_point now);
    void release(const std::map<std::string, PortView>& ports, Clock::time_point now);
    void startQueued(const std::map<std::string, PortView>& ports);
    void startChild(const std::string& port, Keyboard& k, Phase phase);
    void childEnded(const std::string& port, Keyboard& k, int exitCode);
    void settle(const std::map<std::string, PortView>& ports, Clock::time_point now);
    void report(Keyboard& k);
    void forwardInterrupts();
    void waitForOutput(int timeoutMs);
    void note(const std::string& line);
    void drawTally();
    bool stopping() const { return config_.interrupts() > 0 || config_.stopSignal(); }
    int running() const;
    bool done() const;

    HidBackend& backend_;
    DeviceLocator& locator_;
    const StationConfig& config_;
    std::ostream& out_;
    std::ostream& err_;
    std::ofstream log_;
    std::map<std::string, Keyboard> keyboards_;  // by port
    std::set<std::string> unplaced_;
    std::set<std::string> unplacedSaid_;
    int admitted_ = 0;
    int reportedCount_ = 0;
    int passed_ = 0;
    int failed_ = 0;
    std::vector<std::pair<std::string, int>> lastByPort_;  // each port's last exit status, in report order
    int forwarded_ = 0;
    bool aborted_ = false;
    bool stopSaid_ = false;
    bool tallyShown_ = false;
};

int Station::running() const {
    int n = 0;
    for (const auto& [port, k] : keyboards_) n += active(k.phase) ? 1 : 0;
    return n;
}

bool Station::done() const {
    if (running() > 0) return false;
    if (stopping()) return true;
    return config_.max > 0 && reportedCount_ >= config_.max;
}

void Station::note(const std::string& line) {
    if (tallyShown_) err_ << "\r\033[K";
    tallyShown_ = false;
    err_ << line << "\n";
    err_.flush();
}

void Station::drawTally() {
    if (!config_.terminal) return;
    int queued = 0;
    std::string waiting;
    for (const auto& [port, k] : keyboards_) {
        queued += k.phase == Phase::Queued ? 1 : 0;
        if (k.phase == Phase::Done && !k.passed) waiting += " " + port;
    }
    std::string line = "passed " + std::to_string(passed_) + ", failed " + std::to_string(failed_) +
                       ", in progress " + std::to_string(running());
    if (queued > 0) line += ", queued " + std::to_string(queued);
    if (!waiting.empty()) line += "; unplug to retry:" + waiting;
    err_ << "\r\033[K" << line;
    err_.flush();
    tallyShown_ = true;
}

void Station::admit(const std::map<std::string, PortView>& ports, Clock::time_point now) {
    for (const auto& [port, view] : ports) {
        if (keyboards_.count(port)) continue;
        if (stopping() || (config_.max > 0 && admitted_ >= config_.max)) continue;
        Keyboard& k = keyboards_[port];
        k.record.port = port;
        k.record.model = view.model;
        k.startedInBootLoader = !view.application;
        k.started = now;
        ++admitted_;
        if (!config_.quiet) note("station: " + port + " " + view.model + " arrived");
    }
    for (const auto& path : unplaced_) {
        if (!unplacedSaid_.insert(path).second) continue;
        note("station: not flashing " + path + ": its USB port is unknown, so its boot loader could not be told "
             "from another keyboard's");
    }
}

// A keyboard that has been reported is forgotten once it is unplugged, so
// that the next one plugged in at its port (or it again) is flashed. After a
// success with --once-per-port the port must stay empty for the settle time:
// a keyboard that drops off the bus by itself and comes back is not written
// again.
void Station::release(const std::map<std::string, PortView>& ports, Clock::time_point now) {
    for (auto it = keyboards_.begin(); it != keyboards_.end();) {
        Keyboard& k = it->second;
        const bool present = ports.count(it->first) > 0;
        bool forget = false;
        if (k.phase == Phase::Queued && !present) {
            if (!config_.quiet) note("station: " + it->first + " unplugged before its turn");
            --admitted_;
            forget = true;
        } else if (k.phase == Phase::Done) {
            if (present) {
                k.absentSince.reset();
            } else if (!(config_.oncePerPort && k.passed)) {
                forget = true;
            } else {
                if (!k.absentSince) k.absentSince = now;
                forget = now - *k.absentSince >= std::chrono::milliseconds(timing().stationSettleMs);
            }
        }
        if (forget && k.phase == Phase::Done && !config_.quiet) note("station: " + it->first + " unplugged");
        it = forget ? keyboards_.erase(it) : std::next(it);
    }
}

void Station::startQueued(const std::map<std::string, PortView>& ports) {
    if (stopping()) return;
    // A port is in use while a keyboard is listed there or its download runs:
    // a keyboard re-enumerating into or out of its boot loader is on no
    // listing for a while, and one plugged in meanwhile must not wait for it.
    std::size_t portsInUse = ports.size();
    for (const auto& [port, k] : keyboards_) portsInUse += active(k.phase) && ports.count(port) == 0 ? 1 : 0;
    int limit = config_.parallel > 0
                    ? config_.parallel
                    : std::clamp(static_cast<int>(portsInUse), 1, kDefaultParallel);
    for (auto& [port, k] : keyboards_) {
        if (running() >= limit) break;
        if (k.phase != Phase::Queued) continue;
        k.started = Clock::now();
        // The version before is read from the keyboard's firmware; a boot
        // loader has none to give.
        startChild(port, k, k.startedInBootLoader ? Phase::Flashing : Phase::VersionBefore);
    }
}

void Station::startChild(const std::string& port, Keyboard& k, Phase phase) {
    ChildSpec spec;
    spec.program = config_.program;
    if (phase == Phase::Flashing) {
        spec.args = {"flash", config_.file};
    } else {
        spec.args = {"version"};
    }
    // Another keyboard re-enumerating while a child lists the devices can
    // end that listing early (a device that left between the snapshot and
    // its detail query ends the walk); the child then looks again instead
    // of reporting its keyboard missing.
    const int waitMs = std::max(1000, timing().stationSettleMs);
    spec.args.insert(spec.args.end(), {"--port", port, "--json", "--wait=" + std::to_string(waitMs / 1000) + "." +
                                                                     std::to_string(waitMs % 1000 / 100)});
    spec.args.insert(spec.args.end(), config_.childOptions.begin(), config_.childOptions.end());
    spec.setEnv = config_.childEnv;
    spec.unsetEnv = config_.childUnsetEnv;
    spec.keepStderr = config_.verbose;
    k.child = std::make_unique<ChildProcess>();
    k.lines.clear();
    k.phase = phase;
    std::string error;
    if (!k.child->start(spec, error)) {
        k.child.reset();
        k.record.outcome = "cannot start " + config_.program + ": " + error;
        k.record.exitCode = EXIT_INTERNAL;
        report(k);
        return;
    }
    if (phase == Phase::Flashing && !config_.quiet) note("station: " + port + " " + k.record.model + ": flashing");
}

void Station::childEnded(const std::string& port, Keyboard& k, int exitCode) {
    k.child.reset();
    const ChildResult result = resultOf(k.lines);
    switch (k.phase) {
    case Phase::VersionBefore:
        if (exitCode == EXIT_OK && result.seen) k.record.versionBefore = result.text;
        if (stopping()) {
            // Nothing was written yet: the keyboard is not started once the station stops.
            k.record.outcome = "not flashed: the station was stopped";
            k.record.exitCode = EXIT_OK;
            k.phase = Phase::Done;
            --admitted_;
            return;
        }
        startChild(port, k, Phase::Flashing);
        break;
    case Phase::Flashing:
        k.record.exitCode = exitCode;
        k.record.outcome = result.seen ? result.text
                                       : "vantel-cli ended without a result (status " + std::to_string(exitCode) + ")";
        k.record.keyboardState = result.keyboardState;
        if ((exitCode == EXIT_OK || exitCode == EXIT_VERSION_UNCONFIRMED) && !stopping()) {
            // The keyboard restarts into its new firmware; its version is read
            // once it is back at its port.
            k.phase = Phase::Settling;
            k.settleUntil = Clock::now() + std::chrono::milliseconds(timing().stationSettleMs);
        } else {
            report(k);
        }
        break;
    case Phase::VersionAfter:
        if (exitCode == EXIT_OK && result.seen) k.record.versionAfter = result.text;
        report(k);
        break;
    default:
        break;
    }
}

void Station::settle(const std::map<std::string, PortView>& ports, Clock::time_point now) {
    for (auto& [port, k] : keyboards_) {
        if (k.phase != Phase::Settling) continue;
        const auto view = ports.find(port);
        if (view != ports.end() && view->second.application && !view->second.bootLoader) {
            startChild(port, k, Phase::VersionAfter);
        } else if (now >= k.settleUntil || stopping()) {
            report(k);
        }
    }
}

void Station::report(Keyboard& k) {
    k.phase = Phase::Done;
    k.passed = k.record.exitCode == EXIT_OK;
    k.record.time = config_.clock ? config_.clock() : utcNow();
    k.record.seconds = std::chrono::duration<double>(Clock::now() - k.started).count();
    ++reportedCount_;
    if (k.passed) {
        ++passed_;
    } else {
        ++failed_;
        if (k.record.exitCode == 130) aborted_ = true;
    }
    auto last = std::find_if(lastByPort_.begin(), lastByPort_.end(),
                             [&](const auto& entry) { return entry.first == k.record.port; });
    if (last != lastByPort_.end()) lastByPort_.erase(last);
    lastByPort_.emplace_back(k.record.port, k.record.exitCode);
    const std::string json = stationRecordJson(k.record, config_);
    if (tallyShown_) err_ << "\r\033[K";
    tallyShown_ = false;
    err_.flush();
    out_ << (config_.json ? json : stationRecordText(k.record)) << "\n";
    out_.flush();
    if (log_.is_open()) {
        log_ << json << "\n";
        log_.flush();
    }
    if (!k.passed && !config_.quiet) {
        std::string line = "station: " + k.record.port + " failed";
        if (k.record.keyboardState) {
            if (const char* words = stateWords(*k.record.keyboardState)) line += "; the keyboard is " + std::string(words);
        }
        note(line + "; unplug it and plug it in again to retry");
    }
}

void Station::forwardInterrupts() {
    const int seen = config_.interrupts();
    if (seen > forwarded_) {
        // Each child counts its own interrupts as flash does: the first is
        // only noted, the second aborts its write and says its state.
        for (int i = forwarded_; i < seen; ++i) {
            for (auto& [port, k] : keyboards_) {
                if (k.child) k.child->signal(SIGINT);
            }
        }
        forwarded_ = seen;
    }
    if (stopping() && !stopSaid_) {
        stopSaid_ = true;
        int queued = 0;
        for (const auto& [port, k] : keyboards_) queued += k.phase == Phase::Queued ? 1 : 0;
        note("station: stopping; " + std::to_string(running()) + " keyboard(s) in progress finish" +
             (config_.interrupts() > 0 ? " (interrupt again to abort them)" : "") +
             (queued > 0 ? ", " + std::to_string(queued) + " queued not started" : ""));
    }
}

void Station::waitForOutput(int timeoutMs) {
#ifndef _WIN32
    std::vector<pollfd> fds;
    for (auto& [port, k] : keyboards_) {
        if (k.child && k.child->outputFd() >= 0) fds.push_back({k.child->outputFd(), POLLIN, 0});
    }
    ::poll(fds.data(), fds.size(), timeoutMs);
#else
    sleepMs(timeoutMs);
#endif
}

int Station::run() {
    if (!config_.logPath.empty()) {
        log_.open(config_.logPath, std::ios::app | std::ios::binary);
        if (!log_) {
            err_ << "vantel-cli: cannot open the log " << config_.logPath << "\n";
            return EXIT_USAGE;
        }
    }
    if (!config_.quiet) {
        note("station: flashing " + config_.shownFile + " (sha256 " + config_.sha256 +
             ") into every keyboard plugged in; Ctrl-C stops");
    }
    auto nextScan = Clock::now();
    for (;;) {
        forwardInterrupts();
        // The children's output, and the end of those that have finished.
        for (auto& [port, k] : keyboards_) {
            if (!k.child) continue;
            const bool open = k.child->readLines(k.lines);
            int code = 0;
            if (!open && k.child->reap(code)) {
                if (config_.childGone) config_.childGone(k.child->pid());
                childEnded(port, k, code);
            }
        }
        const auto now = Clock::now();
        if (now >= nextScan) {
            nextScan = now + std::chrono::milliseconds(timing().stationScanMs);
            unplaced_.clear();
            const auto ports = scanPorts(backend_, locator_, unplaced_);
            release(ports, now);
            settle(ports, now);
            admit(ports, now);
            startQueued(ports);
            drawTally();
        }
        if (done()) break;
        waitForOutput(std::max(1, timing().stationScanMs / 4));
    }
    if (tallyShown_) err_ << "\r\033[K";
    err_ << "station: " << passed_ << " passed, " << failed_ << " failed\n";
    err_.flush();
    if (aborted_) return 130;
    // A keyboard that failed and then passed when plugged in again is no
    // failure of the shift; one that was left failed is.
    for (const auto& [port, code] : lastByPort_) {
        if (code != EXIT_OK) return code;
    }
    return EXIT_OK;
}

}  // namespace

std::optional<std::pair<std::uint16_t, std::uint16_t>> idsInPath(const std::string& path) {
    std::string lower;
    for (char c : path) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const std::size_t v = lower.find("vid_");
    const std::size_t p = lower.find("pid_");
    if (v == std::string::npos || p == std::string::npos) return std::nullopt;
    const auto vid = parseHex16(lower.substr(v + 4, 4));
    const auto pid = parseHex16(lower.substr(p + 4, 4));
    if (!vid || !pid) return std::nullopt;
    return std::make_pair(*vid, *pid);
}

const char* exitClassText(int exitCode) {
    switch (exitCode) {
    case EXIT_OK: return "ok";
    case EXIT_USAGE: return "usage";
    case EXIT_NO_DEVICE: return "no device";
    case EXIT_FILE_REJECTED: return "file rejected";
    case EXIT_KEYBOARD_REFUSED: return "keyboard refused";
    case EXIT_WRITE_FAILED: return "write failed";
    case EXIT_VERSION_UNCONFIRMED: return "not confirmed";
    case EXIT_ISP_TIMEOUT: return "no boot loader";
    case 130: return "aborted";
    default: return "internal";
    }
}

std::string stationRecordJson(const StationRecord& r, const StationConfig& config) {
    auto optional = [](const std::optional<std::string>& v) { return v ? jsonString(*v) : std::string("null"); };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", r.seconds);
    return "{\"time\":" + jsonString(r.time) + ",\"port\":" + jsonString(r.port) + ",\"model\":" +
           jsonString(r.model) + ",\"version_before\":" + optional(r.versionBefore) +
           ",\"version_after\":" + optional(r.versionAfter) + ",\"outcome\":" + jsonString(r.outcome) +
           ",\"exit\":" + std::to_string(r.exitCode) + ",\"class\":" + jsonString(exitClassText(r.exitCode)) +
           ",\"keyboard_state\":" + optional(r.keyboardState) + ",\"seconds\":" + seconds +
           ",\"file\":" + jsonString(config.shownFile) + ",\"sha256\":" + jsonString(config.sha256) + "}";
}

std::string stationRecordText(const StationRecord& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
    std::string state;
    if (r.exitCode != EXIT_OK && r.keyboardState) state = ", " + *r.keyboardState;
    return "port " + r.port + "  " + r.model + "  " + r.versionBefore.value_or("?") + " -> " +
           r.versionAfter.value_or("?") + "  " + r.outcome + "  [" + std::to_string(r.exitCode) + " " +
           exitClassText(r.exitCode) + state + "]  " + seconds;
}

int runStation(HidBackend& backend, DeviceLocator& locator, const StationConfig& config, std::ostream& out,
               std::ostream& err) {
    Station station(backend, locator, config, out, err);
    return station.run();
}

}  // namespace vantel::cli
