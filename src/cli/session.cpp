#include "cli/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <mutex>

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
            display_.message(message);
        }
        tInReportResult = true;
        CVantelDlg::reportResult(message, outcome, final);
        tInReportResult = false;
    }
    void reportOutcome(Outcome outcome) override { recorder_.outcome(outcome, false); }
    void workerStarted() override { recorder_.workerStarted(); }

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
    if (!tInReportResult) recorder_.text(text, false, false);
    display_.message(text);
}

}  // namespace

std::vector<std::string> hostDrivenArguments(const Options& options) {
    std::vector<std::string> args{options.file, options.resultPath.value_or(std::string())};
    if (options.vid && options.pid) {
        args.push_back(hex4(*options.vid));
        args.push_back(hex4(*options.pid));
    }
    return args;
}

Selection chooseDevice(const Options& options, const DeviceTable& table,
                       const std::vector<std::string>& names, bool hostDriven) {
    Selection s;
    const int count = static_cast<int>(table.count);
    if (options.deviceIndex) {
        if (*options.deviceIndex >= count) {
            s.error = "no keyboard with index " + std::to_string(*options.deviceIndex) + " (" +
                      std::to_string(count) + " listed)";
        } else {
            s.index = *options.deviceIndex;
        }
        return s;
    }
    if (!options.vid && !options.pid) return s;

    auto matches = [&](const DeviceEntry& e) {
        return (!options.vid || e.vid == *options.vid) && (!options.pid || e.pid == *options.pid);
    };
    for (int i = 0; i < count; ++i) {
        if (matches(table.entries[static_cast<std::size_t>(i)])) {
            s.index = i;
            return s;
        }
    }
    std::string wanted = (options.vid ? "VID " + hex4(*options.vid) : std::string()) +
                         (options.vid && options.pid ? ", " : "") +
                         (options.pid ? "PID " + hex4(*options.pid) : std::string());
    // A keyboard that is already in its boot loader enumerates under another
    // product ID; the host-driven download makes the same choice.
    for (int i = 0; i < count && i < static_cast<int>(names.size()); ++i) {
        const DeviceEntry& e = table.entries[static_cast<std::size_t>(i)];
        if (names[static_cast<std::size_t>(i)] == kIspModeName && (!options.vid || e.vid == *options.vid)) {
            if (!hostDriven) s.index = i;
            s.note = "no keyboard with " + wanted + "; using the keyboard in ISP mode (index " +
                     std::to_string(i) + ")";
            return s;
        }
    }
    // A host-driven run reports the missing model itself, through its result channel.
    if (!hostDriven) s.error = "no keyboard with " + wanted;
    return s;
}

namespace {

std::atomic<int> gInterrupts{0};

extern "C" void onInterrupt(int signal) {
    if (gInterrupts.fetch_add(1) >= 1) std::_Exit(128 + signal);
    std::signal(signal, onInterrupt);  // some platforms reset the handler
}

}  // namespace

void armInterruptGuard() {
    gInterrupts = 0;
    std::signal(SIGINT, onInterrupt);
}

int interruptCount() { return gInterrupts.load(); }

std::vector<std::string> newIspInterfaces(const std::vector<std::string>& before,
                                          const std::vector<std::string>& now) {
    std::vector<std::string> fresh;
    for (const auto& path : now) {
        const bool isp = path.find("_0000") != std::string::npos || path.find("_0001") != std::string::npos;
        if (isp && std::find(before.begin(), before.end(), path) == before.end()) fresh.push_back(path);
    }
    return fresh;
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

SessionResult runSession(HidBackend& backend, const Options& options, ConsoleShell& shell,
                         ProgressDisplay& display, std::ostream& out, std::ostream& err,
                         bool pollArrivals) {
    SessionResult result;
    Recorder recorder;
    Observer observer(recorder, display);
    auto window = std::make_unique<HeadlessWindow>();
    window->setObserver(&observer);
    auto dlg = std::make_unique<ConsoleDlg>(*window, shell, backend, recorder, display);
    if (!pollArrivals) backend.setDeviceEventSink(window.get());
    window->start(*dlg);
    std::vector<std::string> knownInterfaces;

    const bool hostDriven = options.command == Command::Flash && options.resultPath.has_value();
    std::vector<std::string> arguments;
    if (hostDriven) arguments = hostDrivenArguments(options);

    std::vector<ListedDevice> listed;
    std::string selectError;
    window->initialise([&] {
        dlg->OnInitDialog(arguments);
        DeviceTable& table = dlg->table();
        DeviceList& list = window->deviceList();
        std::vector<std::string> names;
        for (std::uint32_t i = 0; i < table.count; ++i) {
            const DeviceEntry& e = table.entries[i];
            names.push_back(list.getItemText(static_cast<int>(i)));
            listed.push_back({static_cast<int>(i), names.back(), e.vid, e.pid, e.path,
                              e.reportLength, e.legacy != 0});
        }
        if (options.command == Command::List) return;

        const Selection sel = chooseDevice(options, table, names, hostDriven);
        if (!sel.note.empty()) err << "vantel-cli: " << sel.note << "\n";
        if (!sel.error.empty()) {
            selectError = sel.error;
            // Nothing may start by itself now.
            window->killTimer(TIMER_AUTO_START);
            return;
        }
        if (sel.index) list.setCurSel(*sel.index);
        const int current = list.getCurSel();
        if (current >= 0 && static_cast<std::uint32_t>(current) < table.count) {
            result.selected = table.entries[static_cast<std::size_t>(current)];
        }
        if (options.command == Command::Flash && !hostDriven) {
            window->setControlText(IDC_FIRMWARE_PATH, options.file);
        }
        if (pollArrivals) knownInterfaces = listInterfaces(backend);
    });

    auto finishWindow = [&] {
        window->requestClose();
        // A worker still running defers the close until it has finished.
        while (!window->waitUntilEnded(1000)) {
        }
        backend.setDeviceEventSink(nullptr);
        result.ispImage = dlg->state().ispImage != 0;
        dlg.reset();
        window.reset();
        display.finish();
        result.record = recorder.snapshot();
    };

    if (options.command == Command::List) {
        out << (options.json ? devicesJson(listed) : devicesText(listed));
        out.flush();
        finishWindow();
        result.exitCode = EXIT_OK;
        return result;
    }
    if (!selectError.empty()) {
        err << "vantel-cli: " << selectError << "\n";
        finishWindow();
        result.exitCode = EXIT_NO_DEVICE;
        return result;
    }

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
    for (;;) {
        if (window->ended()) break;
        if (!interruptSaid && interruptCount() > 0) {
            interruptSaid = true;
            display.note("vantel-cli: a download is in progress; interrupt again to abort it "
                         "(the keyboard may be left without firmware)");
        }
        bool idle = false;
        window->invoke([&] {
            const bool waiting = window->timerArmed(TIMER_ISP_TIMEOUT);
            idle = !window->timerArmed(TIMER_AUTO_START) && !window->timerArmed(TIMER_DEFERRED_START) &&
                   !waiting && !dlg->workerActive() && dlg->state().deferredStart == 0;
            if (!pollArrivals || !waiting || std::chrono::steady_clock::now() < nextListing) return;
            nextListing = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing().arrivalPollMs);
            const std::vector<std::string> now = listInterfaces(backend);
            for (const auto& path : newIspInterfaces(knownInterfaces, now)) {
                window->deviceChanged(makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kHidInterfaceClass, path, false));
            }
            knownInterfaces = now;
        });
        if (idle) break;
        sleepMs(timing().commandEndPollMs);
    }

    finishWindow();
    const RunRecord& run = result.record;
    switch (options.command) {
    case Command::Flash: result.exitCode = flashExitCode(run); break;
    case Command::Version: {
        std::string version;
        result.exitCode = versionExitCode(run, version);
        break;
    }
    case Command::TestMode: result.exitCode = testModeExitCode(run); break;
    case Command::FactoryReset: result.exitCode = factoryResetExitCode(run); break;
    default: break;
    }
    // The two outcomes that no text of the core words.
    if (result.exitCode == EXIT_ISP_TIMEOUT) {
        err << "vantel-cli: the keyboard did not come back as an ISP device in time\n";
    } else if (result.exitCode == EXIT_INTERNAL) {
        err << "vantel-cli: the command ended without an outcome\n";
    }
    return result;
}

}  // namespace vantel::cli
