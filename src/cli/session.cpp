#include "cli/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "app/vantel_dlg.h"
#include "link/guid.h"
#include "link/timing.h"
#include "headless/headless_window.h"

namespace vantel::cli {

namespace {

std::string hex4(std::uint32_t value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(value & 0xFFFF));
    return buf;
}

// Everything the run showed, for the exit code. Written by the loop thread and
// the worker thread.
class Recorder {
public:
    void text(const std::string& t, bool isResult, bool final) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.texts.push_back({t, isResult, final});
    }
    void outcome(Outcome o, bool finalResult) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.outcomes.push_back({o, finalResult});
    }
    void status(const std::string& t) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.statuses.push_back(t);
    }
    void ispWait(int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.ispWaitArmed = true;
        ispDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
    std::chrono::steady_clock::time_point ispDeadline() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return ispDeadline_;
    }
    void startedInIsp() {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.startedInIsp = true;
    }
    void workerStarted() {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.workerStarted = true;
    }
    void ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        record_.windowEnded = true;
    }
    RunRecord snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return record_;
    }

private:
    mutable std::mutex mutex_;
    RunRecord record_;
    std::chrono::steady_clock::time_point ispDeadline_{};
};

// Set on the thread that is inside reportResult.
thread_local bool tInReportResult = false;

class Observer : public WindowObserver {
public:
    Observer(Recorder& recorder, ProgressDisplay& display) : recorder_(recorder), display_(display) {}

    void controlTextChanged(int id, const std::string& text) override {
        if (id != IDC_STATUS) return;
        recorder_.status(text);
        display_.status(text);
    }
    void progressChanged(int low, int high, int pos) override {
        display_.progressRange(low, high);
        display_.progress(pos);
    }
    void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    void timerChanged(int id, bool armed, int ms) override {
        if (id == TIMER_ISP_TIMEOUT && armed) recorder_.ispWait(ms);
    }
    void windowEnded() override { recorder_.ended(); }

private:
    Recorder& recorder_;
    ProgressDisplay& display_;
};

// The dialog logic with every outcome recorded on its way to the result
// channel, so that the exit code can follow it in every run mode.
class ConsoleDlg : public CVantelDlg {
public:
    ConsoleDlg(HeadlessWindow& window, Shell& shell, HidBackend& backend, Recorder& recorder,
               ProgressDisplay& display)
        : CVantelDlg(window, shell, backend), recorder_(recorder), display_(display) {}

    void reportResult(const std::string& message, Outcome outcome, bool final) override {
        recorder_.text(message, true, final);
        recorder_.outcome(outcome, final);
        // A message box prints itself; the other channels are silent, so the
        // text is shown here as well.
        if (resultChannel(values().runMode, values().resultArgument) != ResultChannel::ShowMessage) {
            display_.result(message);
        }
        tInReportResult = true;
        CVantelDlg::reportResult(message, outcome, final);
        tInReportResult = false;
    }
    void reportOutcome(Outcome outcome) override { recorder_.outcome(outcome, false); }
    void workerStarted() override { recorder_.workerStarted(); }

    // The page writer's failure details stay on screen.
    void reportIntermediate(const std::string& message) override {
        display_.detail(message);
        CVantelDlg::reportIntermediate(message);
    }

    bool workerActive() { return updater().workerThreadActive(); }

private:
    Recorder& recorder_;
    ProgressDisplay& display_;
};

void Observer::messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    (void)caption;
    (void)icon;
    // A result of an interactive run arrives here from reportResult, which has
    // recorded it already; every other box is recorded as a box.
    if (tInReportResult) {
        display_.result(text);
        return;
    }
    recorder_.text(text, false, false);
    display_.message(text);
}

}  // namespace

std::vector<std::string> hostDrivenArguments(const Options& options) {
    std::vector<std::string> args{options.file, options.resultPath.value_or(std::string())};
    // Given with a place, the IDs only narrow the choice made here: the
    // download would otherwise take the first keyboard of that model.
    if (options.vid && options.pid && !options.port && !options.nodePath) {
        args.push_back(hex4(*options.vid));
        args.push_back(hex4(*options.pid));
    }
    return args;
}

namespace {

// "1  RX-430  0F39:0825  /dev/hidraw4  port 1-4": one line of a choice.
std::string choiceText(int i, const DeviceTable& table, const std::vector<std::string>& names,
                       const std::vector<DeviceLocation>& locations) {
    const auto at = static_cast<std::size_t>(i);
    const DeviceEntry& e = table.entries[at];
    const DeviceLocation where = at < locations.size() ? locations[at] : DeviceLocation{};
    std::string text = std::to_string(i) + "  " + (at < names.size() ? names[at] : std::string()) + "  " +
                       hex4(e.vid) + ":" + hex4(e.pid) + "  " + (where.node.empty() ? e.path : where.node);
    const std::string place = locationText(where);
    return place.empty() ? text : text + "  " + place;
}

}  // namespace

Selection chooseDevice(const Options& options, const DeviceTable& table,
                       const std::vector<std::string>& names, bool hostDriven,
                       const std::vector<DeviceLocation>& locations) {
    Selection s;
    const int count = static_cast<int>(table.count);
    if (options.nodePath || options.port) {
        // The node or the path as listed, and the USB port: all that are given must fit.
        auto at = [&](int i) {
            return static_cast<std::size_t>(i) < locations.size() ? locations[static_cast<std::size_t>(i)]
                                                                   : DeviceLocation{};
        };
        for (int i = 0; i < count; ++i) {
            const DeviceEntry& e = table.entries[static_cast<std::size_t>(i)];
            const DeviceLocation where = at(i);
            if (options.nodePath && *options.nodePath != where.node && *options.nodePath != e.path) continue;
            if (options.port && *options.port != where.port) continue;
            // A keyboard in ISP mode at that place stands in for its model.
            const bool isp = static_cast<std::size_t>(i) < names.size() && names[static_cast<std::size_t>(i)] == kIspModeName;
            if ((options.vid && e.vid != *options.vid) || (options.pid && e.pid != *options.pid && !isp)) continue;
            s.index = i;
            return s;
        }
        s.error = std::string("no keyboard") + (options.nodePath ? " at " + *options.nodePath : "") +
                  (options.port ? " at USB port " + *options.port : "");
        return s;
    }
    if (options.deviceIndex) {
        if (*options.deviceIndex >= count) {
            s.error = "no keyboard with index " + std::to_string(*options.deviceIndex) + " (" +
                      std::to_string(count) + " listed)";
        } else {
            s.index = *options.deviceIndex;
        }
        return s;
    }
    // A command that changes a keyboard takes it only when it was named or is
    // the only one: writing the wrong keyboard cannot be undone.
    const bool changes = options.command == Command::Flash || options.command == Command::TestMode ||
                         options.command == Command::FactoryReset;
    auto refuseGuess = [&](const std::vector<int>& candidates, const std::string& why) {
        s.ambiguous = true;
        s.error = why + "; choose one with -d, --vid/--pid, --path or --port:";
        for (int i : candidates) s.error += "\n  " + choiceText(i, table, names, locations);
    };
    if (!options.vid && !options.pid) {
        if (changes && count > 1) {
            std::vector<int> all;
            for (int i = 0; i < count; ++i) all.push_back(i);
            refuseGuess(all, std::to_string(count) + " keyboards are listed");
        }
        return s;
    }

    auto matches = [&](const DeviceEntry& e) {
        return (!options.vid || e.vid == *options.vid) && (!options.pid || e.pid == *options.pid);
    };
    std::vector<int> matching;
    for (int i = 0; i < count; ++i) {
        if (matches(table.entries[static_cast<std::size_t>(i)])) matching.push_back(i);
    }
    std::string wanted = (options.vid ? "VID " + hex4(*options.vid) : std::string()) +
                         (options.vid && options.pid ? ", " : "") +
                         (options.pid ? "PID " + hex4(*options.pid) : std::string());
    // A host-driven run makes its own choice among keyboards of one model.
    if (changes && !hostDriven && matching.size() > 1) {
        refuseGuess(matching, std::to_string(matching.size()) + " keyboards with " + wanted + " are listed");
        return s;
    }
    if (!matching.empty()) {
        s.index = matching.front();
        return s;
    }
    // A keyboard that is already in its boot loader enumerates under another
    // product ID. The host-driven download takes it in place of the model; any
    // other run names it and leaves the choice to the user.
    for (int i = 0; i < count && i < static_cast<int>(names.size()); ++i) {
        const DeviceEntry& e = table.entries[static_cast<std::size_t>(i)];
        if (names[static_cast<std::size_t>(i)] == kIspModeName && (!options.vid || e.vid == *options.vid)) {
            if (hostDriven) {
                s.note = "no keyboard with " + wanted + "; the download takes the keyboard in ISP mode (index " +
                         std::to_string(i) + ")";
            } else {
                s.error = "no keyboard with " + wanted + "; a keyboard in ISP mode is listed: choose it with -d " +
                          std::to_string(i);
            }
            return s;
        }
    }
    // A host-driven run reports the missing model itself, through its result channel.
    if (!hostDriven) s.error = "no keyboard with " + wanted;
    return s;
}

namespace {

std::atomic<bool> gGuardArmed{false};
std::atomic<int> gInterrupts{0};
std::atomic<int> gHeldSignal{0};  // the last SIGTERM or SIGHUP held off

extern "C" void onGuardedSignal(int signal) {
    if (signal == SIGINT) {
        // The second asks for the abort, which the session carries out; a third
        // ends the process here, should the session not get to it.
        if (gInterrupts.fetch_add(1) >= 2) std::_Exit(128 + SIGINT);
    } else {
        gHeldSignal = signal;
    }
#ifdef _WIN32
    std::signal(signal, onGuardedSignal);  // the handler is reset on delivery
#endif
}

void guard(int signal) {
#ifdef _WIN32
    std::signal(signal, onGuardedSignal);
#else
    struct sigaction action {};
    action.sa_handler = onGuardedSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // a transfer under way is not cut short
    sigaction(signal, &action, nullptr);
#endif
}

}  // namespace

void armInterruptGuard() {
    gInterrupts = 0;
    gHeldSignal = 0;
    guard(SIGINT);
    guard(SIGTERM);
#ifndef _WIN32
    guard(SIGHUP);  // the terminal closed: the write goes on without it
#endif
    gGuardArmed = true;
}

int interruptCount() { return gInterrupts.load(); }

int heldSignal() { return gHeldSignal.load(); }

bool abortRequested() { return gGuardArmed && gInterrupts.load() >= 2; }

std::vector<std::string> newIspInterfaces(const std::vector<std::string>& before,
                                          const std::vector<std::string>& now) {
    std::vector<std::string> fresh;
    for (const auto& path : now) {
        if (isIspInterface(path) && std::find(before.begin(), before.end(), path) == before.end()) fresh.push_back(path);
    }
    return fresh;
}

void PortFilter::setPort(const std::string& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = port;
}

bool PortFilter::accepts(const std::string& path) {
    std::string port;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        port = port_;
    }
    if (port.empty() || !isIspInterface(path)) return true;
    // A keyboard in ISP mode keeps its port; one whose place is unknown is not taken.
    return locator_ != nullptr && locator_->locate(path).port == port;
}

void PortFilter::deviceChanged(const DeviceBroadcast& broadcast) {
    if (broadcast.event == DBT_DEVICEARRIVAL && !accepts(broadcastName(broadcast))) return;
    inner_.deviceChanged(broadcast);
}

std::vector<std::string> listInterfaces(HidBackend& backend) {
    std::vector<std::string> paths;
    Guid hid;
    InterfaceSet set = 0;
    if (backend.hidGuid(hid) != HidStatus::Ok) return paths;
    if (backend.getClassDevs(hid, set) != HidStatus::Ok || set == 0) return paths;
    for (int i = 0; i < MAX_INTERFACES; ++i) {
        std::string path;
        if (backend.enumInterface(set, hid, i) != HidStatus::Ok) continue;
        if (backend.interfaceDetail(set, hid, i, path) == HidStatus::Ok) paths.push_back(path);
    }
    backend.destroyClassDevs(set);
    return paths;
}

namespace {

ListedDevice listedDevice(int index, const std::string& name, std::uint32_t vid, std::uint32_t pid,
                          const std::string& path, std::uint32_t reportLength, bool legacy,
                          const DeviceLocation& where) {
    ListedDevice d;
    d.index = index;
    d.name = name;
    d.vid = vid;
    d.pid = pid;
    d.path = path;
    d.reportLength = reportLength;
    d.legacy = legacy;
    d.node = where.node;
    d.port = where.port;
    d.interfaceNumber = where.interfaceNumber;
    return d;
}

// The text the result event carries: what the command produced last.
std::string outcomeText(const RunRecord& run, Command command, const std::string& version) {
    if (command == Command::Version && !version.empty()) return version;
    for (auto it = run.texts.rbegin(); it != run.texts.rend(); ++it) {
        if (command != Command::Flash || it->isResult) return it->text;
    }
    return {};
}

// The second interrupt: the progress line ends, the keyboard's state is said,
// and the process ends without waiting for the write.
[[noreturn]] void abortFlash(const RunRecord& run, ProgressDisplay& display, JsonEvents* events) {
    const int code = flashExitCode(run);
    const KeyboardState state = keyboardState(run, code == EXIT_OK ? EXIT_OK : EXIT_INTERNAL);
    display.closingNote(std::string("vantel-cli: aborted; keyboard state: ") + keyboardStateText(state));
    display.finish();
    if (events) events->result("aborted", 128 + SIGINT, keyboardStateKey(state));
    std::_Exit(128 + SIGINT);
}

}  // namespace

SessionResult runSession(HidBackend& backend, const Options& options, ConsoleShell& shell,
                         ProgressDisplay& display, std::ostream& out, std::ostream& err,
                         bool pollArrivals, DeviceLocator* locator, JsonEvents* events) {
    SessionResult result;
    Recorder recorder;
    Observer observer(recorder, display);
    auto window = std::make_unique<HeadlessWindow>();
    window->setObserver(&observer);
    auto dlg = std::make_unique<ConsoleDlg>(*window, shell, backend, recorder, display);
    PortFilter filter(*window, locator);
    if (!pollArrivals) backend.setDeviceEventSink(&filter);
    window->start(*dlg);
    std::vector<std::string> knownInterfaces;

    const bool hostDriven = options.command == Command::Flash && options.resultPath.has_value();
    std::vector<std::string> arguments;
    if (hostDriven) arguments = hostDrivenArguments(options);

    // What discovery found, with the place of each entry. UI thread.
    std::vector<ListedDevice> listed;
    std::vector<std::string> names;
    std::vector<DeviceLocation> locations;
    auto snapshot = [&] {
        const DeviceTable& table = dlg->table();
        DeviceList& list = window->deviceList();
        listed.clear();
        names.clear();
        locations.clear();
        for (std::uint32_t i = 0; i < table.count; ++i) {
            const DeviceEntry& e = table.entries[i];
            names.push_back(list.getItemText(static_cast<int>(i)));
            locations.push_back(locator ? locator->locate(e.path) : DeviceLocation{});
            listed.push_back(listedDevice(static_cast<int>(i), names.back(), e.vid, e.pid, e.path, e.reportLength,
                                          e.legacy != 0, locations.back()));
        }
    };
    // Keyboards that are there but may not be opened: said once on stderr.
    std::vector<UnopenedKeyboard> unopened;
    bool hintGiven = false;
    auto tellUnopened = [&] {
        if (!locator) return;
        unopened = locator->unopened();
        if (unopened.empty() || hintGiven) return;
        hintGiven = true;
        std::string hint = accessHint(unopened, udevRulesFile());
        hint.pop_back();  // the note ends the line itself
        display.note(hint);
    };

    // A host-driven run starts by itself (timer 1): not before its keyboard is chosen.
    bool autoStart = false;
    window->initialise([&] {
        dlg->OnInitDialog(arguments);
        snapshot();
        autoStart = window->timerArmed(TIMER_AUTO_START);
        window->killTimer(TIMER_AUTO_START);
    });
    tellUnopened();

    auto finishWindow = [&] {
        window->requestClose();
        // A worker still running defers the close until it has finished.
        while (!window->waitUntilEnded(1000)) {
        }
        backend.setDeviceEventSink(nullptr);
        result.ispImage = dlg->state().ispImage != 0;
        dlg.reset();
        window.reset();
        result.record = recorder.snapshot();
        result.record.ispImage = result.ispImage;
    };

    if (options.command == Command::List) {
        std::vector<ListedDevice> all = listed;
        for (const auto& k : unopened) {
            ListedDevice d = listedDevice(-1, modelName(k.vid, k.pid), k.vid, k.pid, k.path, k.reportLength,
                                          k.vid == LEGACY_VENDOR, k.location);
            d.accessible = false;
            d.error = std::strerror(k.error);
            all.push_back(d);
        }
        out << (options.json ? devicesJson(all) : devicesText(all));
        out.flush();
        finishWindow();
        display.finish();
        result.exitCode = EXIT_OK;
        return result;
    }

    // The choice of keyboard; with --wait, again as keyboards arrive until one
    // fits. Chosen and applied in one step on the UI thread, so that the table
    // cannot change in between.
    auto apply = [&](const Selection& sel) {
        DeviceList& list = window->deviceList();
        if (sel.index) list.setCurSel(*sel.index);
        const int current = list.getCurSel();
        const auto at = static_cast<std::size_t>(current);
        if (current >= 0 && at < dlg->table().count) {
            result.selected = dlg->table().entries[at];
            if (at < locations.size()) result.selectedLocation = locations[at];
            if (at < names.size() && names[at] == kIspModeName) recorder.startedInIsp();
        }
        if (options.command == Command::Flash && !hostDriven) {
            window->setControlText(IDC_FIRMWARE_PATH, options.file);
        }
        if (pollArrivals) knownInterfaces = listInterfaces(backend);
        if (autoStart) window->setTimer(TIMER_AUTO_START, timing().autoStartMs);
    };
    const auto waitStart = std::chrono::steady_clock::now();
    std::string selectError;
    bool waited = false;
    for (;;) {
        Selection sel;
        bool found = false;
        window->invoke([&] {
            if (waited) dlg->OnRefresh();
            // The dialog lists again by itself on every arrival and removal (a
            // keyboard beside this one entering its boot loader), so the places
            // are taken again with the table they are matched against.
            snapshot();
            sel = chooseDevice(options, dlg->table(), names, hostDriven, locations);
            found = sel.error.empty() && dlg->table().count > 0;
            if (found || (!options.waitSeconds && sel.error.empty())) apply(sel);
        });
        if (found || !options.waitSeconds || sel.ambiguous) {
            if (!sel.note.empty()) err << "vantel-cli: " << sel.note << "\n";
            selectError = sel.error;
            break;
        }
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - waitStart).count();
        if (*options.waitSeconds > 0 && elapsed >= *options.waitSeconds) {
            selectError = sel.error.empty() ? "no keyboard arrived" : sel.error;
            break;
        }
        if (!waited) display.status("Waiting for a keyboard to be plugged in");
        if (*options.waitSeconds > 0) display.countdown(static_cast<int>(*options.waitSeconds - elapsed + 0.999));
        waited = true;
        tellUnopened();
        sleepMs(timing().arrivalPollMs);
    }
    display.countdown(-1);

    if (!selectError.empty()) {
        // Each line of a list of choices is marked as this program's.
        std::string lines = "vantel-cli: " + selectError;
        for (std::size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 12) {
            lines.insert(at + 1, "vantel-cli: ");
        }
        err << lines << "\n";
        finishWindow();
        result.exitCode = EXIT_NO_DEVICE;
        if (events) events->result(selectError, result.exitCode, nullptr);
        display.finish();
        return result;
    }
    // Chosen by its place, the keyboard is followed there: only the boot loader
    // at that port may be written. (Without --port the download takes the
    // first boot loader that arrives, as it always has: a keyboard with a hub
    // of its own may bring its boot loader up at another port.)
    if (options.command == Command::Flash && options.port) filter.setPort(result.selectedLocation.port);

    switch (options.command) {
    case Command::Version: window->click(IDC_GET_FW_VERSION); break;
    case Command::TestMode: window->hotKey(1); break;
    case Command::FactoryReset: window->hotKey(2); break;
    case Command::Flash:
        if (!hostDriven) window->click(IDC_DOWNLOAD);  // a host-driven run starts by timer 1
        break;
    default: break;
    }

    // The command has ended when nothing is left that could go on by itself:
    // no timer, no worker, no deferred start, or the window has closed.
    auto nextListing = std::chrono::steady_clock::now();
    bool interruptSaid = false;
    int heldSaid = 0;
    // The second interrupt is carried out here, whatever the other threads are
    // doing: the loop below waits for the UI thread, which a command can hold
    // for a minute.
    std::jthread aborter;
    if (options.command == Command::Flash) {
        aborter = std::jthread([&](std::stop_token stop) {
            while (!stop.stop_requested()) {
                if (abortRequested()) abortFlash(recorder.snapshot(), display, events);
                sleepMs(timing().commandEndPollMs);
            }
        });
    }
    for (;;) {
        if (window->ended()) break;
        if (!interruptSaid && interruptCount() > 0) {
            interruptSaid = true;
            display.note("vantel-cli: a download is in progress; interrupt again to abort it "
                         "(the keyboard may be left without firmware)");
        }
        if (const int held = heldSignal(); held != 0 && held != heldSaid) {
            heldSaid = held;
            display.note(std::string("vantel-cli: ") + (held == SIGTERM ? "SIGTERM" : "SIGHUP") +
                         " ignored: a download is in progress and goes on (interrupt twice to abort it; "
                         "the keyboard may be left without firmware)");
        }
        bool idle = false;
        bool waiting = false;
        window->invoke([&] {
            waiting = window->timerArmed(TIMER_ISP_TIMEOUT);
            idle = !window->timerArmed(TIMER_AUTO_START) && !window->timerArmed(TIMER_DEFERRED_START) &&
                   !waiting && !dlg->workerActive() && dlg->state().deferredStart == 0;
            if (!pollArrivals || !waiting || std::chrono::steady_clock::now() < nextListing) return;
            nextListing = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing().arrivalPollMs);
            const std::vector<std::string> now = listInterfaces(backend);
            for (const auto& path : newIspInterfaces(knownInterfaces, now)) {
                if (!filter.accepts(path)) continue;
                window->deviceChanged(makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kHidInterfaceClass, path, false));
            }
            knownInterfaces = now;
        });
        if (idle) break;
        if (waiting) {
            const auto left = recorder.ispDeadline() - std::chrono::steady_clock::now();
            display.countdown(static_cast<int>(std::max<long long>(
                0, (std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 999) / 1000)));
        } else {
            display.countdown(-1);
        }
        sleepMs(timing().commandEndPollMs);
    }
    display.countdown(-1);

    finishWindow();
    if (aborter.joinable()) {
        aborter.request_stop();
        aborter.join();
    }
    const RunRecord& run = result.record;
    std::string version;
    switch (options.command) {
    case Command::Flash: result.exitCode = flashExitCode(run); break;
    case Command::Version: result.exitCode = versionExitCode(run, version); break;
    case Command::TestMode: result.exitCode = testModeExitCode(run); break;
    case Command::FactoryReset: result.exitCode = factoryResetExitCode(run); break;
    default: break;
    }
    // The two outcomes that no text of the core words.
    std::string text = outcomeText(run, options.command, version);
    if (result.exitCode == EXIT_ISP_TIMEOUT) {
        text = "the keyboard did not come back as an ISP device in time";
        display.closingNote("vantel-cli: " + text);
    } else if (result.exitCode == EXIT_INTERNAL) {
        text = "the command ended without an outcome";
        display.closingNote("vantel-cli: " + text);
    }
    if (options.command == Command::Flash) {
        result.keyboardState = keyboardState(run, result.exitCode);
        if (result.exitCode != EXIT_OK) {
            display.closingNote(std::string("vantel-cli: keyboard state: ") +
                                keyboardStateText(*result.keyboardState));
        }
    }
    if (events) {
        events->result(text, result.exitCode,
                       result.keyboardState ? keyboardStateKey(*result.keyboardState) : nullptr);
    }
    display.finish();
    return result;
}

}  // namespace vantel::cli
