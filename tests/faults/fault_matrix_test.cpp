// Runs the fault matrix: for each case a real download (CVantelDlg over the
// headless window, the simulated keyboard behind the link) meets one fault at
// one step. Each case asserts the exact messages, the command line's exit
// code for the outcome classes the run reports, that the run ends within
// its budget, that no reader or worker thread is left, that the firmware file
// is unchanged, and that the keyboard can be flashed again: after the user
// re-plugs it, a second download of the same file succeeds and the flash
// equals the file.
//
// Faults are injected by the simulator where it can aim them (a command's
// status, checksum, silence or removal at a given occurrence or block
// offset). Transport faults and late replies are aimed through the
// simulator's report trace: a fault-free reference download of the same
// setup gives the position of each request, and a trace hook arms the fault
// when the request before it has gone out. Nothing here waits for time to
// pass; every wait is for a condition, bounded by the case's budget.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/vantel_dlg.h"
#include "cli/output.h"
#include "fault_cases.h"
#include "image/image.h"
#include "image/image_builder.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/sim.h"
#include "support/journal.h"
#include "support/recording_shell.h"
#include "support/temp_dir.h"
#include "headless/headless_window.h"

#ifndef VANTEL_FAULTS_OUTPUT_DIR
#define VANTEL_FAULTS_OUTPUT_DIR "."
#endif

namespace vantel::faults {
namespace {

using Clock = std::chrono::steady_clock;

// The waits run out only where a fault means them to: the reply wait for a
// keyboard that never answers after kScaledReplyWaitPolls filler blocks, or
// for a held reply when the releaser says so; the ISP arrival wait when the
// filter loses, holds or replaces the arrival. Their times stay long, so that no
// legitimate exchange or arrival comes near them however loaded the machine.
constexpr int kArrivalTimeoutMs = 60000;
// Upper bound for one download to settle, however the fault plays out. The
// worst case (a retried command that is never answered) takes 11 reply waits.
constexpr int kBudgetMs = 45000;

Timing faultTiming() {
    Timing t = scaledTiming(Timing{}, 1, 100);
    t.ispArrivalTimeoutMs = kArrivalTimeoutMs;
    return t;
}

std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// ---------------------------------------------------------------- setups

std::vector<std::uint8_t> imageFor(Setup setup) {
    ImageSpec spec;
    switch (setup) {
        case Setup::App: spec.length = 2048; break;
        case Setup::Paged: spec.length = 66 * 1024; break;
        case Setup::Isp: spec.length = 4096; spec.isp = true; break;
    }
    return buildImage(spec);
}

sim::KeyboardSpec keyboardFor(Setup setup) {
    sim::KeyboardSpec spec;
    spec.name = "target";
    switch (setup) {
        case Setup::App: spec.flashKiB = 2; break;
        case Setup::Paged: spec.flashKiB = 66; spec.gotoPageStatus = 241; break;
        case Setup::Isp: spec.bootFlashKiB = 4; break;
    }
    return spec;
}

sim::Region regionFor(Setup setup) { return setup == Setup::Isp ? sim::Region::Boot : sim::Region::Application; }

// What the keyboard holds before the download: neither the file nor erased flash.
std::vector<std::uint8_t> oldFirmware(Setup setup, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 7 + static_cast<int>(setup)));
    return bytes;
}

// How much a state asks of the user, from nothing to flashing again at once.
int severity(cli::KeyboardState state) {
    switch (state) {
        case cli::KeyboardState::Updated: return 0;
        case cli::KeyboardState::Untouched: return 1;
        case cli::KeyboardState::BootLoaderIntact: return 2;
        case cli::KeyboardState::WrittenUnconfirmed: return 3;
        case cli::KeyboardState::BootLoaderErased: return 4;
    }
    return 0;
}

// The state the simulated keyboard is in after a run, for comparison with the
// state vantel-cli derives. A keyboard that has left counts as what it comes
// back as when plugged in again.
cli::KeyboardState actualState(sim::SimKeyboard& kb, Setup setup, const std::vector<std::uint8_t>& before,
                               const std::vector<std::uint8_t>& image, int exitCode) {
    const std::vector<std::uint8_t> flash = kb.flash(regionFor(setup));
    const bool inBootLoader = kb.present() ? kb.inIsp() : kb.pid() == kb.spec().ispPid;
    if (std::equal(image.begin(), image.end(), flash.begin(), flash.begin() + std::min(flash.size(), image.size())) &&
        flash.size() >= image.size()) {
        return !inBootLoader && exitCode == cli::EXIT_OK ? cli::KeyboardState::Updated
                                                         : cli::KeyboardState::WrittenUnconfirmed;
    }
    if (flash == before) return inBootLoader ? cli::KeyboardState::BootLoaderIntact : cli::KeyboardState::Untouched;
    return cli::KeyboardState::BootLoaderErased;
}

// A keyboard of another model, for the case where something else comes back.
sim::KeyboardSpec otherKeyboard() {
    sim::KeyboardSpec spec;
    spec.name = "other";
    spec.pid = 0x0825;
    return spec;
}

// ---------------------------------------------------------------- request frames in the report trace

struct FrameKey {
    std::uint8_t code = 0;
    int occurrence = 0;
    bool operator==(const FrameKey&) const = default;
};

// Reassembles request frames from the output reports the keyboard accepted,
// as the keyboard does.
class FrameParser {
public:
    struct Done {
        FrameKey key;
        std::uint64_t firstSet = 0;  // 1-based set-feature call that started the frame
    };

    std::optional<Done> feed(const sim::TraceEntry& e, std::uint64_t setCall) {
        if (e.kind != sim::TraceKind::Set || e.result != HidStatus::Ok || e.bytes.size() < 2) return std::nullopt;
        for (std::size_t i = 1; i < e.bytes.size(); ++i) {
            const std::uint8_t b = e.bytes[i];
            if (assembly_.empty()) {
                if (b != REQUEST_START) return std::nullopt;
                firstSet_ = setCall;
            }
            assembly_.push_back(b);
            if (assembly_.size() == 2 && assembly_[1] < 2) {
                assembly_.clear();
                return std::nullopt;
            }
            if (assembly_.size() >= 2 && assembly_.size() == static_cast<std::size_t>(assembly_[1]) + 2) {
                const std::uint8_t code = assembly_[2];
                assembly_.clear();
                return Done{{code, ++occurrences_[code]}, firstSet_};
            }
        }
        return std::nullopt;
    }

private:
    std::vector<std::uint8_t> assembly_;
    std::map<std::uint8_t, int> occurrences_;
    std::uint64_t firstSet_ = 0;
};

// ---------------------------------------------------------------- one start of the application

// What the user sees, in order, and what the settle test needs.
class Recorder : public WindowObserver {
public:
    explicit Recorder(Journal& journal) : journal_(journal) {}

    void messageBox(const std::string& text, const std::string&, BoxIcon) override { journal_.add("box:" + text); }
    void controlTextChanged(int id, const std::string& text) override {
        if (id != IDC_STATUS) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            statuses_.push_back(text);
        }
        if (text.rfind("1. Retried", 0) == 0 || text.rfind("2. Retried", 0) == 0) journal_.add("status:" + text);
    }
    // Every status-line text, as vantel-cli records them for the keyboard's state.
    std::vector<std::string> statuses() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }
    void controlEnabled(int id, bool enabled) override {
        if (id == IDC_DOWNLOAD) downloadEnabled = enabled;
    }
    void windowEnded() override { journal_.add("end"); }

    std::atomic<bool> downloadEnabled{true};
    std::atomic<bool> clicked{false};

private:
    Journal& journal_;
    mutable std::mutex mutex_;
    std::vector<std::string> statuses_;
};

// Sits between the simulator and the window, to lose, hold or disturb the
// ISP device's arrival. An arrival that is lost, held or replaced runs the
// arrival wait out at once: the wait keeps a time no good run comes near, and the fault, not the
// clock, decides that it ends.
class ArrivalFilter : public DeviceEventSink {
public:
    enum class Mode { Pass, Drop, Hold, RemoveFirst, Replace };

    void attach(HeadlessWindow* window) {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = window;
    }
    void setMode(Mode mode, sim::SimBackend* sim, sim::SimKeyboard* kb) {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
        sim_ = sim;
        kb_ = kb;
    }
    // Delivers what was held back, now.
    void releaseHeld() {
        std::vector<DeviceBroadcast> held;
        HeadlessWindow* window;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held.swap(held_);
            window = window_;
        }
        for (const auto& b : held) {
            if (window) window->deviceChanged(b);
        }
    }
    int seen() const { return seen_; }

    void deviceChanged(const DeviceBroadcast& b) override {
        HeadlessWindow* window;
        Mode mode;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window = window_;
            mode = mode_;
            if (mode != Mode::Pass && isIspArrival(b)) {
                ++seen_;
                switch (mode) {
                    case Mode::Drop: runOutArrivalWait(window); return;
                    case Mode::Hold: held_.push_back(b); runOutArrivalWait(window); return;
                    default: break;
                }
            } else {
                mode = Mode::Pass;
            }
        }
        if (mode == Mode::RemoveFirst) kb_->unplug();           // gone before the worker opens it
        if (mode == Mode::Replace) {
            sim_->addKeyboard(otherKeyboard(), true);           // something else arrives instead
            runOutArrivalWait(window);
            return;
        }
        if (window) window->deviceChanged(b);
    }

private:
    // Timer 4 is armed by the handler that sent the keyboard into its boot
    // loader; a call posted behind it finds it armed.
    static void runOutArrivalWait(HeadlessWindow* window) {
        if (!window) return;
        window->post([window] {
            if (window->timerArmed(TIMER_ISP_TIMEOUT)) window->setTimer(TIMER_ISP_TIMEOUT, 1);
        });
    }
    static bool isIspArrival(const DeviceBroadcast& b) {
        if (b.event != DBT_DEVICEARRIVAL) return false;
        const std::string name(b.name.begin(), b.name.end());
        return name.find("_0001") != std::string::npos || name.find("_0000") != std::string::npos;
    }

    std::mutex mutex_;
    HeadlessWindow* window_ = nullptr;
    Mode mode_ = Mode::Pass;
    sim::SimBackend* sim_ = nullptr;
    sim::SimKeyboard* kb_ = nullptr;
    std::vector<DeviceBroadcast> held_;
    std::atomic<int> seen_{0};
};

// The dialog logic with every outcome class recorded, as the command line
// records them for its exit code.
class OutcomeDlg : public CVantelDlg {
public:
    using CVantelDlg::CVantelDlg;

    void reportResult(const std::string& message, Outcome outcome, bool final) override {
        record({outcome, final});
        CVantelDlg::reportResult(message, outcome, final);
    }
    void reportOutcome(Outcome outcome) override { record({outcome, false}); }

    cli::RunRecord run() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return run_;
    }

private:
    void record(cli::ReportedOutcome o) {
        std::lock_guard<std::mutex> lock(mutex_);
        run_.outcomes.push_back(o);
    }

    mutable std::mutex mutex_;
    cli::RunRecord run_;
};

class Session {
public:
    Session(sim::SimBackend& sim, ArrivalFilter& filter) : sim_(sim), filter_(filter), recorder_(journal_) {
        shell_.windows8 = true;
        shell_.setJournal(&journal_);
        window_.setObserver(&recorder_);
        dlg_ = std::make_unique<OutcomeDlg>(window_, shell_, sim_);
        window_.start(*dlg_);
        window_.initialise([this] { dlg_->OnInitDialog({}); });
    }
    ~Session() {
        sim_.setDeviceEventSink(nullptr);
        filter_.attach(nullptr);
        if (!window_.ended()) {
            window_.requestClose();
            window_.waitUntilEnded(kBudgetMs);
        }
        dlg_.reset();
    }

    // The list item that shows `path`, or -1. The table is the user-interface
    // thread's; it is idle between start-up and the first click.
    int indexOf(const std::string& path) {
        const DeviceTable& t = dlg_->table();
        for (std::uint32_t i = 0; i < t.count; ++i) {
            if (t.entries[i].path == path) return static_cast<int>(i);
        }
        return -1;
    }

    void download(const std::string& file, int index) {
        filter_.attach(&window_);
        sim_.setDeviceEventSink(&filter_);
        window_.typePath(file);
        window_.selectDevice(index);
        window_.click(IDC_DOWNLOAD);
        window_.post([this] { recorder_.clicked = true; });
    }

    // Waits until the download has run its course: the window has closed, or
    // the Download command is available again with no worker alive and no
    // arrival awaited. False when that does not happen within the budget.
    bool settle(int budgetMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
        for (;;) {
            if (settledNow()) {
                window_.drain();  // the handler that got it there has finished
                if (settledNow()) return true;
            }
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool closeWindow(int budgetMs) {
        if (!window_.ended()) window_.requestClose();
        return window_.waitUntilEnded(budgetMs);
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& e : journal_.entries()) {
            if (e.rfind("box:", 0) == 0 || e.rfind("status:", 0) == 0 || e.rfind("post:", 0) == 0 || e == "end") {
                out.push_back(e);
            }
        }
        return out;
    }

    bool ended() const { return window_.ended(); }
    int exitCode() const { return cli::flashExitCode(dlg_->run()); }
    // The state vantel-cli would say the keyboard is in, from what the run showed.
    cli::KeyboardState derivedState() const {
        cli::RunRecord run = dlg_->run();
        run.statuses = recorder_.statuses();
        run.ispImage = dlg_->state().ispImage != 0;
        return cli::keyboardState(run, cli::flashExitCode(run));
    }

private:
    bool settledNow() {
        if (window_.ended()) return true;
        return recorder_.clicked && recorder_.downloadEnabled && !window_.timerArmed(TIMER_ISP_TIMEOUT) &&
               !dlg_->updater().workerThreadActive();
    }

    sim::SimBackend& sim_;
    ArrivalFilter& filter_;
    Journal journal_;
    Recorder recorder_;
    RecordingShell shell_;
    HeadlessWindow window_;
    std::unique_ptr<OutcomeDlg> dlg_;
};

// ---------------------------------------------------------------- the reference download per setup

struct Reference {
    std::vector<FrameParser::Done> frames;
    std::vector<std::string> messages;
    bool flashEqual = false;
};

const Reference& reference(Setup setup) {
    static std::map<Setup, Reference> cache;
    auto it = cache.find(setup);
    if (it != cache.end()) return it->second;

    Reference ref;
    TempDir dir;
    const auto image = imageFor(setup);
    const std::string file = dir.write("firmware.bin", image);
    sim::SimBackend sim;
    auto& kb = sim.addKeyboard(keyboardFor(setup));
    ArrivalFilter filter;
    {
        Session s(sim, filter);
        s.download(file, s.indexOf(kb.path()));
        if (s.settle(kBudgetMs)) ref.messages = s.messages();
    }
    waitForReadersToEnd(kBudgetMs);
    ref.flashEqual = kb.flash(regionFor(setup)) == image;
    FrameParser parser;
    std::uint64_t setCall = 0;
    for (const auto& e : sim.trace()) {
        if (e.kind != sim::TraceKind::Set) continue;
        ++setCall;
        if (auto done = parser.feed(e, setCall)) ref.frames.push_back(*done);
    }
    return cache.emplace(setup, std::move(ref)).first->second;
}

// ---------------------------------------------------------------- results for the Markdown matrix

struct Outcome {
    bool passed = false;
    double seconds = 0;
    std::vector<std::string> messages;
    std::string recovery;
    std::uint64_t reads = 0;  // get-feature calls of the faulted download
    std::string derived;      // the keyboard state vantel-cli says
    std::string actual;       // the simulated keyboard's state
};

std::map<std::string, Outcome>& outcomes() {
    static std::map<std::string, Outcome> o;
    return o;
}

std::string shown(const std::string& message) {
    std::string out;
    for (char c : message) {
        if (c == '\n') out += "\\n";
        else if (c == '|') out += "\\|";
        else out += c;
    }
    return out;
}

std::string shortOutcome(const std::vector<std::string>& messages) {
    for (const auto& m : messages) {
        if (m.rfind("box:", 0) == 0) {
            std::string text = m.substr(4);
            const auto nl = text.find('\n');
            if (nl != std::string::npos) text = text.substr(0, nl);
            if (text.size() > 34) text = text.substr(0, 31) + "...";
            return text;
        }
    }
    if (!messages.empty() && messages.front().rfind("post:", 0) == 0) return "timer 4: host told, window closed";
    return "(none)";
}

void writeMatrix() {
    const auto& cells = faultMatrix();
    if (outcomes().size() != cells.size()) return;  // only a run of the whole matrix writes it

    std::ostringstream md;
    md << "# Fault matrix\n\n"
       << "Generated by `test_faults` (tests/faults). Every step of a download meets every fault the simulated\n"
       << "keyboard can inject there. Each case asserts the exact messages below, the exit code vantel-cli gives\n"
       << "for the outcome class the run reports, that the keyboard state vantel-cli says after the run\n"
       << "(untouched, bootloader-intact, bootloader-erased, written-unconfirmed, updated) is the state the\n"
       << "simulated keyboard is in (its flash against the old firmware and the file, and whether it is, or comes\n"
       << "back as, its boot loader) or, where the run cannot tell whether the keyboard carried out a command\n"
       << "whose answer was lost, a state that asks more of the user (shown as *said (is actual)*), that the\n"
       << "run ends within its\n"
       << "budget, that no reader or worker thread is left running, that the firmware file is unchanged, and\n"
       << "that the keyboard is recoverable: after the user re-plugs it, a second download of the same file\n"
       << "succeeds and the keyboard's flash equals the file. Timings: the reply wait runs out after "
       << faultTiming().replyWaitPolls << " filler blocks (or " << faultTiming().replyWaitMs
       << " ms), ISP arrival timeout " << kArrivalTimeoutMs
       << " ms (run out at once where the arrival is lost, late or replaced), the rest at 1/100 of the real values.\n\n"
       << "Faults: *device status* the keyboard answers a failure status (242 for a block, else 0x09) every time;\n"
       << "*bad checksum* every reply from then on is corrupted; *no answer* the command is never answered;\n"
       << "*failed send* / *failed reads* every set-feature / get-feature call from that request / reply on fails;\n"
       << "*late reply* the reply arrives once, after the caller has given up; *removal* the keyboard leaves at the\n"
       << "step; *other device arrives* it leaves and a keyboard of another model arrives; *reader cannot start* the\n"
       << "host cannot start the reply reader of the step's exchange (once). At the arrival wait the\n"
       << "ISP device's arrival is lost (no answer), comes after the timeout (late), is followed at once by its\n"
       << "removal, or something else arrives instead. *get-feature calls* counts the reads of the faulted\n"
       << "download: where the keyboard answers with filler blocks, the reply reader polls without a pause\n"
       << "until it has read as many as the reply wait allows.\n\n";

    std::vector<std::string> steps;
    for (const auto& c : cells) {
        if (std::find(steps.begin(), steps.end(), c.step) == steps.end()) steps.push_back(c.step);
    }
    std::vector<Fault> columns(std::begin(kAllFaults), std::end(kAllFaults));
    columns.insert(columns.end(), std::begin(kHostFaults), std::end(kHostFaults));
    md << "## Outcomes\n\n| step |";
    for (Fault f : columns) md << " " << faultName(f) << " |";
    md << "\n|---|";
    for (std::size_t i = 0; i < columns.size(); ++i) md << "---|";
    md << "\n";
    for (const auto& step : steps) {
        md << "| " << step << " |";
        for (Fault f : columns) {
            const Cell* cell = nullptr;
            for (const auto& c : cells) {
                if (c.step == step && c.fault == f) cell = &c;
            }
            if (!cell) {
                md << " – |";
                continue;
            }
            const Outcome& o = outcomes()[cell->name()];
            md << " " << (o.passed ? "✓ " : "✗ ") << shown(shortOutcome(cell->expected)) << " |";
        }
        md << "\n";
    }

    md << "\n## Cases\n\n| case | setup | messages, in order | exit code | keyboard state | recovery (second download) | get-feature calls | seconds |\n"
       << "|---|---|---|---:|---|---|---:|---:|\n";
    for (const auto& c : cells) {
        const Outcome& o = outcomes()[c.name()];
        md << "| " << (o.passed ? "✓" : "✗") << " " << c.step << ", " << faultName(c.fault) << " | "
           << setupName(c.setup) << " | ";
        for (std::size_t i = 0; i < c.expected.size(); ++i) md << (i ? "<br>" : "") << "`" << shown(c.expected[i]) << "`";
        if (!o.passed) {
            md << "<br>**got:** ";
            for (std::size_t i = 0; i < o.messages.size(); ++i) md << (i ? "<br>" : "") << "`" << shown(o.messages[i]) << "`";
        }
        char secs[16];
        std::snprintf(secs, sizeof secs, "%.2f", o.seconds);
        const std::string state = o.derived == o.actual ? o.derived : o.derived + " (is " + o.actual + ")";
        md << " | " << c.exitCode << " | " << state << " | " << shown(o.recovery) << " | " << o.reads << " | " << secs << " |\n";
    }

    md << "\n## Beyond the matrix\n\n"
       << "Host-driven runs whose outcome depends on more than one step, run end to end by `test_e2e`\n"
       << "(tests/e2e/flows_test.cpp) against the simulated keyboard, each checking the flash, the result file\n"
       << "and every message 2024 posted:\n\n"
       << "| case | outcome |\n|---|---|\n"
       << "| the host names RX-409 while RX-431 is selected; RX-409's profile check times out once | the retry "
          "reopens RX-409, which is written; RX-431 is untouched; \"Update successfully!\", one 2024 |\n"
       << "| the path field is replaced while the download waits for the boot loader | the checked file is "
          "written; the field is disabled meanwhile |\n"
       << "| the failure signal arrives while the worker writes | \"Failed to download the firmware.\" stays the "
          "result; the worker finishes, its own outcome goes nowhere; one 2024 (LPARAM 1) |\n"
       << "| the worker's profile check or erase is refused, or a block write fails | the result file keeps the "
          "last text; exactly one 2024 (LPARAM 1) before the window closes |\n"
       << "| a block's reply reader cannot start | \"Firmware update fail: 228\"; nothing written after the "
          "block; one 2024 |\n"
       << "| a framed keyboard and a file not of 1 to 255 whole KiB (a legacy keyboard and a file under 256 "
          "bytes) | refused before any command is sent, with the size rule's texts (the invalid-file text); one "
          "2024 |\n";

    std::ofstream(std::string(VANTEL_FAULTS_OUTPUT_DIR) + "/FAULTS.md") << md.str();
}

class MatrixWriter : public ::testing::Environment {
public:
    void TearDown() override { writeMatrix(); }
};

const ::testing::Environment* const kMatrixWriter = ::testing::AddGlobalTestEnvironment(new MatrixWriter);

// ---------------------------------------------------------------- the cases

class FaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    void SetUp() override {
        saved_ = timing();
        timing() = faultTiming();
    }
    void TearDown() override { timing() = saved_; }

    Timing saved_;
};

// Aims the cell's fault at its step. Returns false when the reference has no
// such request.
struct Armed {
    bool ok = false;
    std::string why;
    bool hold = false;  // a late reply: the releaser must let it go
};

// Set when the faulted request has gone out; the link then refuses to start
// the reply reader of its exchange.
std::atomic<bool> refuseNextReader{false};
bool refuseReader(std::uint64_t) { return refuseNextReader.exchange(false); }

Armed arm(const Cell& c, const Reference& ref, sim::SimBackend& sim, sim::SimKeyboard& kb, ArrivalFilter& filter,
          std::shared_ptr<std::function<void(const FrameKey&)>>& onFrame) {
    Armed a;
    if (c.arrival) {
        using M = ArrivalFilter::Mode;
        switch (c.fault) {
            case Fault::NoAnswer: filter.setMode(M::Drop, &sim, &kb); break;
            case Fault::LateReply: filter.setMode(M::Hold, &sim, &kb); break;
            case Fault::Removed: filter.setMode(M::RemoveFirst, &sim, &kb); break;
            case Fault::OtherDevice: filter.setMode(M::Replace, &sim, &kb); break;
            default: a.why = "not a fault of the arrival wait"; return a;
        }
        a.ok = true;
        return a;
    }

    const FrameKey target{c.code, c.at};
    std::size_t index = ref.frames.size();
    for (std::size_t i = 0; i < ref.frames.size(); ++i) {
        if (ref.frames[i].key == target) {
            index = i;
            break;
        }
    }
    if (index == ref.frames.size()) {
        a.why = "the reference download sends no such request";
        return a;
    }

    std::function<void(const FrameKey&)> hook;
    switch (c.fault) {
        case Fault::Status:
            if (c.offset) kb.failWriteAt(*c.offset, 0xF2, sim::kAlways);
            else kb.failCommand(c.code, 0x09, sim::kAlways, c.at);
            break;
        case Fault::BadChecksum: kb.corruptReply(c.code, sim::kAlways, c.at); break;
        case Fault::NoAnswer: kb.noAnswer(c.code, sim::kAlways, c.at); break;
        case Fault::SendFails: sim.failSetFeature(static_cast<int>(ref.frames[index].firstSet), sim::kAlways); break;
        case Fault::ReadFails:
            hook = [&sim, target](const FrameKey& k) {
                if (k == target) sim.failGetFeature(1, sim::kAlways);
            };
            break;
        case Fault::LateReply:
            a.hold = true;
            hook = [&sim, target](const FrameKey& k) {
                if (k == target) sim.holdNextReply();
            };
            break;
        case Fault::Removed:
            if (c.offset) kb.removeAtWrite(*c.offset, -1);
            else kb.removeAt(c.code, c.at, -1);
            break;
        case Fault::OtherDevice:
            if (c.offset) kb.removeAtWrite(*c.offset, -1);
            else kb.removeAt(c.code, c.at, -1);
            hook = [&sim, target](const FrameKey& k) {
                if (k == target) sim.addKeyboard(otherKeyboard(), true);
            };
            break;
        case Fault::NoReader:
            // The request has gone out in full; its reply reader is next.
            hook = [target](const FrameKey& k) {
                if (k == target) refuseNextReader = true;
            };
            break;
    }
    if (hook) {
        onFrame = std::make_shared<std::function<void(const FrameKey&)>>(hook);
        auto parser = std::make_shared<FrameParser>();
        auto mutex = std::make_shared<std::mutex>();
        auto fn = onFrame;
        sim.setTraceCallback([parser, mutex, fn](const sim::TraceEntry& e) {
            std::optional<FrameParser::Done> done;
            {
                std::lock_guard<std::mutex> lock(*mutex);
                done = parser->feed(e, 0);
            }
            if (done) (*fn)(done->key);
        });
    }
    a.ok = true;
    return a;
}

TEST_P(FaultMatrix, EndsCleanlyAndTheKeyboardCanBeFlashedAgain) {
    const Cell& c = GetParam();
    const Reference& ref = reference(c.setup);
    ASSERT_EQ(ref.messages, std::vector<std::string>{"box:Update successfully!"}) << "the fault-free download failed";
    ASSERT_TRUE(ref.flashEqual);

    const auto started = Clock::now();
    Outcome& outcome = outcomes()[c.name()];
    TempDir dir;
    const auto image = imageFor(c.setup);
    const std::string file = dir.write("firmware.bin", image);
    const std::uint64_t hashBefore = fnv1a(TempDir::read(file));

    sim::SimBackend sim;
    sim::Options options;
    options.trace = false;
    sim.setOptions(options);
    auto& kb = sim.addKeyboard(keyboardFor(c.setup));
    kb.setFlash(oldFirmware(c.setup, kb.flash(regionFor(c.setup)).size()), regionFor(c.setup));
    const std::vector<std::uint8_t> before = kb.flash(regionFor(c.setup));
    ArrivalFilter filter;
    std::shared_ptr<std::function<void(const FrameKey&)>> onFrame;
    const Armed armed = arm(c, ref, sim, kb, filter, onFrame);
    ASSERT_TRUE(armed.ok) << armed.why;

    // A late reply: once the reader holds the reply's first block, the
    // caller's wait runs out (the link is no longer busy), then the block goes
    // through to a reader whose exchange is over.
    std::atomic<bool> stopReleaser{false};
    std::atomic<bool> released{false};
    std::thread releaser;
    if (armed.hold) {
        releaser = std::thread([&] {
            while (!stopReleaser) {
                if (!sim.waitUntilHeld(20)) continue;
                vantel::testing::runOutReplyWait();
                while (!stopReleaser && linkState().busy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                sim.releaseHeld();
                released = true;
                return;
            }
        });
    }

    refuseNextReader = false;
    testing::setReaderStartRefusal(refuseReader);
    std::vector<std::string> messages;
    int exitCode = -1;
    cli::KeyboardState derived = cli::KeyboardState::Updated;
    {
        Session s(sim, filter);
        const int index = s.indexOf(kb.path());
        ASSERT_GE(index, 0);
        s.download(file, index);
        const bool settled = s.settle(kBudgetMs);
        messages = s.messages();
        exitCode = s.exitCode();
        derived = s.derivedState();
        EXPECT_TRUE(settled) << "the download did not end within " << kBudgetMs << " ms";
        filter.releaseHeld();  // a late arrival, once nobody waits for it any more
        EXPECT_TRUE(s.closeWindow(kBudgetMs)) << "the window did not close";
    }
    stopReleaser = true;
    if (releaser.joinable()) releaser.join();
    sim.releaseHeld();
    if (armed.hold) {
        EXPECT_TRUE(released) << "the late reply was never held";
    }
    if (c.arrival) {
        EXPECT_EQ(filter.seen(), 1) << "the ISP device's arrival was not seen";
    }
    outcome.messages = messages;
    outcome.reads = sim.getTransfers();

    EXPECT_EQ(messages, c.expected);
    // The class travels apart from the wording: a reworded text leaves the
    // exit code alone, a wrong class changes it.
    EXPECT_EQ(exitCode, c.exitCode) << "vantel-cli's exit code for the outcome reported";
    // What vantel-cli says the keyboard was left as is what it is.
    ASSERT_TRUE(sim.flushScheduled(kBudgetMs));
    const cli::KeyboardState actual = actualState(kb, c.setup, before, image, exitCode);
    outcome.derived = cli::keyboardStateKey(derived);
    outcome.actual = cli::keyboardStateKey(actual);
    if (c.stateUnsure) {
        EXPECT_GE(severity(derived), severity(actual)) << "vantel-cli says " << outcome.derived << ", less than "
                                                        << outcome.actual;
    } else {
        EXPECT_EQ(outcome.derived, outcome.actual) << "the keyboard state vantel-cli says";
    }
    EXPECT_TRUE(waitForReadersToEnd(kBudgetMs)) << "a reply reader is still running";
    EXPECT_EQ(fnv1a(TempDir::read(file)), hashBefore) << "the firmware file changed";

    // Recovery: faults gone, the user re-plugs the keyboard and tries again.
    testing::setReaderStartRefusal(nullptr);
    sim.setTraceCallback(nullptr);
    sim.clearFaults();
    filter.setMode(ArrivalFilter::Mode::Pass, nullptr, nullptr);
    if (kb.present()) kb.unplug();
    kb.plugIn();
    ASSERT_TRUE(sim.flushScheduled(kBudgetMs));
    ASSERT_TRUE(kb.present());
    std::vector<std::string> second;
    {
        Session s(sim, filter);
        const int index = s.indexOf(kb.path());
        ASSERT_GE(index, 0) << "the re-plugged keyboard is not listed";
        s.download(file, index);
        EXPECT_TRUE(s.settle(kBudgetMs)) << "the second download did not end";
        second = s.messages();
    }
    EXPECT_TRUE(waitForReadersToEnd(kBudgetMs));
    ASSERT_FALSE(second.empty());
    // A paged image written through a boot loader that is already listed
    // selects its page on that device and then reads the version from it
    // after the reset has sent it away: written, but not confirmed.
    const bool confirmed = second.back() == "box:Update successfully!";
    const bool unconfirmed = c.setup == Setup::Paged &&
                             second.back() == "box:Update finsihed, but failed to get the firmware version.";
    EXPECT_TRUE(confirmed || unconfirmed) << second.back();
    EXPECT_EQ(second.size(), 1u);
    EXPECT_TRUE(kb.flash(regionFor(c.setup)) == image) << "the second download did not write the file";
    EXPECT_EQ(fnv1a(TempDir::read(file)), hashBefore);

    outcome.recovery = second.back().substr(4);
    if (kb.spec().name == "target" && !confirmed) outcome.recovery += " (flash equal)";
    outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    outcome.passed = !::testing::Test::HasFailure();
}

INSTANTIATE_TEST_SUITE_P(Downloads, FaultMatrix, ::testing::ValuesIn(faultMatrix()),
                         [](const ::testing::TestParamInfo<Cell>& p) { return p.param.name(); });

// The reference downloads themselves, so that a broken setup shows as such
// and not as a column of failed cases.
TEST(FaultFreeDownload, EverySetupFlashesTheKeyboard) {
    const Timing saved = timing();
    timing() = faultTiming();
    for (faults::Setup s : {faults::Setup::App, faults::Setup::Paged, faults::Setup::Isp}) {
        const Reference& ref = reference(s);
        EXPECT_EQ(ref.messages, std::vector<std::string>{"box:Update successfully!"}) << setupName(s);
        EXPECT_TRUE(ref.flashEqual) << setupName(s);
        EXPECT_FALSE(ref.frames.empty());
    }
    timing() = saved;
}

}  // namespace
}  // namespace vantel::faults
