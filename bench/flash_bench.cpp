// The flash benchmark: the real page writer (writeImage, on a worker
// thread of its own as in a download) programs images of 4, 64, 128 and
// 255 KiB, dense and with every other body segment zero, into the simulated
// keyboard's boot loader, at a per-transfer latency of 0 and of 1 ms (the
// simulator paces transfers by absolute deadlines, as a USB bus does).
//
// Every run happens in a child process of its own, so that its peak resident
// set, its CPU time and the link's counters belong to that run alone. A
// baseline run measures the simulator alone (bare feature-report calls at the
// same latency), so that its own pacing error can be told apart from ours.
// With --cli, the command-line tool flashes a 255 KiB image under the
// simulator as a child, for its peak resident set.
//
//   bench_flash [--out DIR] [--cli PATH] [--quick]
//
// Writes DIR/results.json, DIR/results.md and DIR/flash.dat (for the plot).

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/image_builder.h"
#include "link/commands.h"
#include "link/discovery.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/sim.h"
#include "update/download_state.h"
#include "update/update_host.h"
#include "update/page_writer.h"
#include "update/window.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- a window and a host that do nothing

class NullList : public vantel::DeviceList {
public:
    void resetContent() override {}
    void addString(const std::string&) override {}
    void setCurSel(int) override {}
    int getCurSel() const override { return -1; }
    int getCount() const override { return 0; }
    std::string getItemText(int) const override { return {}; }
};

// The writer moves the progress bar after every block; a real window waits for
// its user-interface thread there, which the whole-download figures of the
// command-line run include.
class NullWindow : public vantel::MainWindow {
public:
    NullList list;
    std::atomic<int> progressCalls{0};
    vantel::DeviceList& deviceList() override { return list; }
    void setControlText(int, const std::string&) override {}
    std::string controlText(int) override { return {}; }
    void enableControl(int, bool) override {}
    bool isControlEnabled(int) override { return true; }
    void setProgressRange(int, int) override {}
    void setProgressPos(int) override { ++progressCalls; }
    void setTimer(int, int) override {}
    void killTimer(int) override {}
    void messageBox(const std::string&, const std::string&, vantel::BoxIcon) override {}
    void postClose() override {}
    void endWindow() override {}
    void invoke(const std::function<void()>& fn) override { fn(); }
    void post(std::function<void()> fn) override { fn(); }
    bool onUiThread() const override { return true; }
};

class NullHost : public vantel::UpdateHost {
public:
    void reportResult(const std::string&, vantel::Outcome, bool) override {}
    void reportIntermediate(const std::string&) override {}
    void postHostResultMessage(std::uint32_t, std::uint32_t) override {}
    bool hostDriven() const override { return false; }
    bool eventLogRun() const override { return false; }
    std::int32_t hostVid() const override { return 0; }
    std::int32_t hostPid() const override { return 0; }
    bool windows8OrLater() const override { return true; }
    int keywordMode() const override { return 0; }
    void setKeywordMode(int) override {}
    void legacyFileChosen(const std::string&) override {}
    void releasePlatform() override {}
};

// ---------------------------------------------------------------- runs

struct Case {
    std::string kind;  // "writer" or "baseline"
    std::size_t kib = 64;
    bool halfZero = false;
    int latencyUs = 0;
};

std::string caseName(const Case& c) {
    std::ostringstream out;
    out << c.kind << "-" << c.kib << "k-" << (c.halfZero ? "half" : "dense") << "-" << c.latencyUs << "us";
    return out.str();
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double cpuSeconds(const rusage& u) { return seconds(u.ru_utime) + seconds(u.ru_stime); }

// What a child measures; the parent adds the child's peak resident set.
using Figures = std::map<std::string, std::string>;

template <typename T>
std::string str(T v) {
    std::ostringstream out;
    out.precision(9);
    out << v;
    return out.str();
}

std::vector<std::uint8_t> benchImage(const Case& c) {
    vantel::ImageSpec spec;
    spec.length = c.kib * 1024;
    spec.isp = c.kib == 4;
    if (c.halfZero) {
        const std::size_t segments = (spec.length - 256 + 255) / 256;
        // Every other body segment zero, the trailer's segment kept.
        for (std::size_t s = 0; s + 1 < segments; s += 2) spec.zeroSegments.push_back(s);
    }
    return vantel::buildImage(spec);
}

Figures runWriter(const Case& c, const std::string& dir) {
    Figures f;
    const auto image = benchImage(c);
    const std::string path = dir + "/" + caseName(c) + ".bin";
    vantel::writeImageFile(path, image);

    vantel::Timing t;
    t.replyWaitMs = 5000;
    vantel::timing() = t;

    vantel::sim::KeyboardSpec spec;
    spec.flashKiB = static_cast<int>(c.kib);
    spec.startsInIsp = true;  // the boot loader, as the worker finds it
    vantel::sim::SimBackend sim;
    vantel::sim::Options options;
    options.trace = false;
    sim.setOptions(options);
    auto& kb = sim.addKeyboard(spec);
    vantel::setLinkBackend(&sim);
    sim.loadHidLibrary();
    sim.loadSetupLibrary();

    vantel::DeviceEntry entry;
    entry.path = kb.path();
    entry.reportLength = 8;
    if (!vantel::openLink(entry.path, vantel::Access::ReadWrite, &entry)) {
        f["error"] = "open failed";
        return f;
    }
    NullWindow window;
    NullHost host;
    vantel::DownloadState state;
    state.firmwarePath = path;
    state.needsPageSelect = image.size() > 65536 ? 1 : 0;

    if (vantel::CMD_CHIP_ERASE() != 0) {
        f["error"] = "erase failed";
        return f;
    }
    if (state.needsPageSelect) {
        state.currentPage = 0;
        if (vantel::CMD_GOTO_PAGE(0) != 0) {
            f["error"] = "page 0 failed";
            return f;
        }
    }

    // Measured from here: the writer alone, at the latency under test.
    sim.setLatencyUs(c.latencyUs);
    const std::uint64_t sets0 = sim.setTransfers(), gets0 = sim.getTransfers();
    const auto counters0 = vantel::linkCounters();
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const auto start = Clock::now();
    int result = -1;
    std::thread worker([&] { result = vantel::writeImage(window, host, state, path); });
    worker.join();
    const auto end = Clock::now();
    getrusage(RUSAGE_SELF, &u1);
    const auto counters1 = vantel::linkCounters();
    const std::uint64_t sets = sim.setTransfers() - sets0, gets = sim.getTransfers() - gets0;
    sim.setLatencyUs(0);

    vantel::closeLink();
    const bool readersEnded = vantel::waitForReadersToEnd(10000);
    const double wall = std::chrono::duration<double>(end - start).count();
    const double cpu = cpuSeconds(u1) - cpuSeconds(u0);

    f["result"] = str(result);
    f["flash_ok"] = kb.flash() == image ? "true" : "false";
    f["set_transfers"] = str(sets);
    f["get_transfers"] = str(gets);
    f["wall_s"] = str(wall);
    f["cpu_s"] = str(cpu);
    f["user_s"] = str(seconds(u1.ru_utime) - seconds(u0.ru_utime));
    f["sys_s"] = str(seconds(u1.ru_stime) - seconds(u0.ru_stime));
    f["exchanges"] = str(counters1.exchanges - counters0.exchanges);
    f["threads_created"] = str(counters1.readersStarted - counters0.readersStarted + 1);  // + the worker
    f["readers_ended"] = readersEnded ? "true" : "false";
    f["voluntary_switches"] = str(u1.ru_nvcsw - u0.ru_nvcsw);
    f["involuntary_switches"] = str(u1.ru_nivcsw - u0.ru_nivcsw);
    return f;
}

// The simulator alone: the same number of transfers as the dense writer run
// of that size, as bare back-end calls with no link, no threads and no file.
Figures runBaseline(const Case& c) {
    Figures f;
    vantel::sim::KeyboardSpec spec;
    spec.flashKiB = static_cast<int>(c.kib);
    spec.startsInIsp = true;
    vantel::sim::SimBackend sim;
    vantel::sim::Options options;
    options.trace = false;
    sim.setOptions(options);
    auto& kb = sim.addKeyboard(spec);
    sim.loadHidLibrary();
    sim.loadSetupLibrary();
    vantel::HidHandle h = vantel::kNoHandle;
    if (sim.open(kb.path(), vantel::Access::ReadWrite, h) != vantel::HidStatus::Ok) {
        f["error"] = "open failed";
        return f;
    }
    const std::size_t blocks = c.kib * 1024 / 64;
    std::uint8_t report[8] = {0x01, 0, 0, 0, 0, 0, 0, 0};  // no frame start: the firmware ignores it
    std::uint8_t block[9];
    sim.setLatencyUs(c.latencyUs);
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const auto start = Clock::now();
    for (std::size_t b = 0; b < blocks; ++b) {
        for (int i = 0; i < 10; ++i) sim.setFeature(h, report, sizeof report);
        std::memset(block, 0, sizeof block);
        block[0] = 0x01;
        sim.getFeature(h, block, sizeof block);
    }
    const auto end = Clock::now();
    getrusage(RUSAGE_SELF, &u1);
    f["result"] = "0";
    f["flash_ok"] = "true";
    f["set_transfers"] = str(blocks * 10);
    f["get_transfers"] = str(blocks);
    f["wall_s"] = str(std::chrono::duration<double>(end - start).count());
    f["cpu_s"] = str(cpuSeconds(u1) - cpuSeconds(u0));
    f["user_s"] = str(seconds(u1.ru_utime) - seconds(u0.ru_utime));
    f["sys_s"] = str(seconds(u1.ru_stime) - seconds(u0.ru_stime));
    f["exchanges"] = "0";
    f["threads_created"] = "0";
    f["readers_ended"] = "true";
    f["voluntary_switches"] = str(u1.ru_nvcsw - u0.ru_nvcsw);
    f["involuntary_switches"] = str(u1.ru_nivcsw - u0.ru_nivcsw);
    sim.close(h);
    return f;
}

// What the exchange costs without its reader thread: the same block writes
// through the real sendFrame, with the reply read on the caller's own thread
// (polled until it is complete, as the reader does). Not the product's code
// path; it measures what a thread per exchange costs.
Figures runCallerRead(const Case& c) {
    Figures f;
    const auto image = benchImage(c);
    vantel::sim::KeyboardSpec spec;
    spec.flashKiB = static_cast<int>(c.kib);
    spec.startsInIsp = true;
    vantel::sim::SimBackend sim;
    vantel::sim::Options options;
    options.trace = false;
    sim.setOptions(options);
    auto& kb = sim.addKeyboard(spec);
    vantel::setLinkBackend(&sim);
    sim.loadHidLibrary();
    sim.loadSetupLibrary();
    vantel::DeviceEntry entry;
    entry.path = kb.path();
    entry.reportLength = 8;
    if (!vantel::openLink(entry.path, vantel::Access::ReadWrite, &entry) || vantel::CMD_CHIP_ERASE() != 0) {
        f["error"] = "open or erase failed";
        return f;
    }
    const vantel::HidHandle h = vantel::linkState().handle;
    sim.setLatencyUs(c.latencyUs);
    const std::uint64_t sets0 = sim.setTransfers(), gets0 = sim.getTransfers();
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const auto start = Clock::now();
    bool ok = true;
    std::uint8_t page = 0;
    for (std::size_t o = 0; o < image.size() && ok; o += 64) {
        if (o / 65536 != page) {
            page = static_cast<std::uint8_t>(o / 65536);
            ok = vantel::CMD_GOTO_PAGE(page) == 0;
        }
        std::uint8_t args[66];
        args[0] = static_cast<std::uint8_t>((o / 256) % 256);
        args[1] = static_cast<std::uint8_t>(o % 256);
        const std::size_t n = std::min<std::size_t>(64, image.size() - o);
        std::memcpy(args + 2, image.data() + o, n);
        const auto frame = vantel::buildRequest(vantel::opcode::WRITE_BLOCK, args, n + 2);
        vantel::sendFrame(frame.data(), frame.size());
        std::uint8_t block[9];
        do {
            std::memset(block, 0, sizeof block);
            block[0] = 0x01;
            if (sim.getFeature(h, block, sizeof block) != vantel::HidStatus::Ok) ok = false;
        } while (ok && block[0] != vantel::REPLY_START);
        if (ok && block[3] != 0) ok = false;
    }
    const auto end = Clock::now();
    getrusage(RUSAGE_SELF, &u1);
    const std::uint64_t sets = sim.setTransfers() - sets0, gets = sim.getTransfers() - gets0;
    sim.setLatencyUs(0);
    vantel::closeLink();
    f["result"] = ok ? "0" : "1";
    f["flash_ok"] = kb.flash() == image ? "true" : "false";
    f["set_transfers"] = str(sets);
    f["get_transfers"] = str(gets);
    f["wall_s"] = str(std::chrono::duration<double>(end - start).count());
    f["cpu_s"] = str(cpuSeconds(u1) - cpuSeconds(u0));
    f["user_s"] = str(seconds(u1.ru_utime) - seconds(u0.ru_utime));
    f["sys_s"] = str(seconds(u1.ru_stime) - seconds(u0.ru_stime));
    f["exchanges"] = str(image.size() / 64);
    f["threads_created"] = "0";
    f["readers_ended"] = "true";
    f["voluntary_switches"] = str(u1.ru_nvcsw - u0.ru_nvcsw);
    f["involuntary_switches"] = str(u1.ru_nivcsw - u0.ru_nivcsw);
    return f;
}

std::string serialise(const Figures& f) {
    std::string out;
    for (const auto& [k, v] : f) out += k + "=" + v + "\n";
    return out;
}

Figures parse(const std::string& text) {
    Figures f;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) f[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return f;
}

// Runs `body` in a child and returns what it wrote, with the child's peak
// resident set and CPU time as the kernel accounted them.
long timerSlackNs = 1;  // --default-slack: 0, the kernel's default

Figures inChild(const std::function<Figures()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {{"error", "pipe"}};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // The kernel may defer a sleeper's wake-up by its timer slack (50 µs by
        // default); the simulator's bus pacing sleeps once per transfer, so the
        // slack would show as transfer time. Threads inherit it from here.
        if (timerSlackNs > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(timerSlackNs), 0, 0, 0);
        Figures f = body();
        const std::string text = serialise(f);
        ssize_t w = write(fds[1], text.data(), text.size());
        (void)w;
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Figures f = parse(text);
    f["peak_rss_kib"] = str(usage.ru_maxrss);
    f["process_cpu_s"] = str(cpuSeconds(usage));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) f["error"] = "child failed";
    return f;
}

// The command-line tool flashing through the simulator, exec'd as a child.
Figures runCli(const std::string& cli, std::size_t kib, const std::string& dir) {
    Case c{"cli", kib, false, 0};
    const auto image = benchImage(c);
    const std::string path = dir + "/cli-" + std::to_string(kib) + "k.bin";
    vantel::writeImageFile(path, image);
    const std::string scenario = dir + "/cli-" + std::to_string(kib) + "k.scenario";
    {
        std::ofstream s(scenario);
        s << "option no-trace\nkeyboard bench\nvid 0x0F39\npid 0x0641\nflash-kib " << kib
          << "\nboot-flash-kib 4\nisp separate\n" << (kib > 64 ? "goto-page-status 241\n" : "");
    }
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execl(cli.c_str(), cli.c_str(), "--simulate", scenario.c_str(), "--timing-scale", "1/100", "flash",
              path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = Clock::now();
    Figures f;
    f["kind"] = "cli";
    f["kib"] = str(kib);
    f["exit_code"] = str(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    f["wall_s"] = str(std::chrono::duration<double>(end - start).count());
    f["cpu_s"] = str(cpuSeconds(usage));
    f["peak_rss_kib"] = str(usage.ru_maxrss);
    return f;
}

double num(const Figures& f, const std::string& key) {
    auto it = f.find(key);
    return it == f.end() ? 0.0 : std::atof(it->second.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "build/bench";
    std::string cli;
#ifdef VANTEL_BENCH_CLI
    cli = VANTEL_BENCH_CLI;
#endif
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (a == "--cli" && i + 1 < argc) cli = argv[++i];
        else if (a == "--no-cli") cli.clear();
        else if (a == "--quick") quick = true;
        else if (a == "--default-slack") timerSlackNs = 0;
        else {
            std::fprintf(stderr, "usage: %s [--out DIR] [--cli PATH | --no-cli] [--quick] [--default-slack]\n", argv[0]);
            return 1;
        }
    }
    std::filesystem::create_directories(out);
    const std::string work = out + "/images";
    std::filesystem::create_directories(work);

    std::vector<std::size_t> sizes = {4, 64, 128, 255};
    if (quick) sizes = {4, 64};
    std::vector<Case> cases;
    for (int latency : {0, 1000}) {
        for (std::size_t kib : sizes) {
            cases.push_back({"baseline", kib, false, latency});
            cases.push_back({"caller-read", kib, false, latency});
            for (bool half : {false, true}) cases.push_back({"writer", kib, half, latency});
        }
    }

    std::vector<Figures> results;
    for (const Case& c : cases) {
        std::fprintf(stderr, "%-28s ", caseName(c).c_str());
        std::fflush(stderr);
        Figures f = inChild([&] {
            if (c.kind == "baseline") return runBaseline(c);
            if (c.kind == "caller-read") return runCallerRead(c);
            return runWriter(c, work);
        });
        f["name"] = caseName(c);
        f["kind"] = c.kind;
        f["kib"] = str(c.kib);
        f["shape"] = c.halfZero ? "half-zero" : "dense";
        f["latency_us"] = str(c.latencyUs);
        const double transfers = num(f, "set_transfers") + num(f, "get_transfers");
        const double bound = transfers * c.latencyUs / 1e6;
        const double wall = num(f, "wall_s");
        f["transfers"] = str(static_cast<std::uint64_t>(transfers));
        f["bound_s"] = str(bound);
        f["ratio"] = bound > 0 ? str(wall / bound) : "null";
        f["cpu_share"] = wall > 0 ? str(num(f, "cpu_s") / wall) : "null";
        f["cpu_us_per_transfer"] = transfers > 0 ? str(num(f, "cpu_s") * 1e6 / transfers) : "null";
        f["wall_us_per_transfer"] = transfers > 0 ? str(wall * 1e6 / transfers) : "null";
        std::fprintf(stderr, "%8.3f s  bound %8.3f s  cpu %6.3f s  %s\n", wall, bound, num(f, "cpu_s"),
                     f.count("error") ? f["error"].c_str() : (f["flash_ok"] == "true" ? "ok" : "FLASH DIFFERS"));
        results.push_back(f);
    }

    // Our own share of the time above the bound: what a run takes beyond the
    // bound, less what the simulator alone takes beyond it per transfer.
    for (Figures& f : results) {
        if (f.at("kind") == "baseline" || num(f, "latency_us") <= 0) continue;
        for (const Figures& b : results) {
            if (b.at("kind") != "baseline" || b.at("kib") != f.at("kib") || b.at("latency_us") != f.at("latency_us")) continue;
            const double bt = num(b, "set_transfers") + num(b, "get_transfers");
            const double simExcess = (num(b, "wall_s") - num(b, "bound_s")) / bt;
            const double t = num(f, "set_transfers") + num(f, "get_transfers");
            const double own = num(f, "wall_s") - num(f, "bound_s") - simExcess * t;
            f["own_excess_s"] = str(own);
            f["own_share_of_bound"] = str(own / num(f, "bound_s"));
            f["own_excess_us_per_exchange"] = num(f, "exchanges") > 0 ? str(own * 1e6 / num(f, "exchanges")) : "null";
        }
    }

    std::vector<Figures> cliRuns;
    if (!cli.empty() && std::filesystem::exists(cli)) {
        for (std::size_t kib : quick ? std::vector<std::size_t>{64} : std::vector<std::size_t>{64, 255}) {
            std::fprintf(stderr, "cli-%zuk                       ", kib);
            Figures f = runCli(cli, kib, work);
            std::fprintf(stderr, "%8.3f s  exit %s  peak RSS %s KiB\n", num(f, "wall_s"), f["exit_code"].c_str(),
                         f["peak_rss_kib"].c_str());
            cliRuns.push_back(f);
        }
    }

    // JSON.
    auto jsonValue = [](const std::string& v) {
        if (v == "true" || v == "false" || v == "null") return v;
        char* end = nullptr;
        std::strtod(v.c_str(), &end);
        if (!v.empty() && end && *end == '\0') return v;
        std::string q = "\"";
        for (char ch : v) {
            if (ch == '"' || ch == '\\') q += '\\';
            q += ch;
        }
        return q + "\"";
    };
    {
        std::ofstream j(out + "/results.json");
        j << "{\n  \"runs\": [\n";
        for (std::size_t i = 0; i < results.size(); ++i) {
            j << "    {";
            bool first = true;
            for (const auto& [k, v] : results[i]) {
                j << (first ? "" : ", ") << "\"" << k << "\": " << jsonValue(v);
                first = false;
            }
            j << "}" << (i + 1 < results.size() ? "," : "") << "\n";
        }
        j << "  ],\n  \"cli\": [\n";
        for (std::size_t i = 0; i < cliRuns.size(); ++i) {
            j << "    {";
            bool first = true;
            for (const auto& [k, v] : cliRuns[i]) {
                j << (first ? "" : ", ") << "\"" << k << "\": " << jsonValue(v);
                first = false;
            }
            j << "}" << (i + 1 < cliRuns.size() ? "," : "") << "\n";
        }
        j << "  ]\n}\n";
    }

    // Markdown.
    {
        std::ofstream m(out + "/results.md");
        char line[512];
        m << "| run | size | shape | latency | set | get | bound (s) | wall (s) | wall/bound | ours above bound "
             "| CPU (s) | CPU share | CPU µs/transfer | wall µs/transfer | threads | peak RSS (KiB) | flash |\n";
        m << "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
        for (const Figures& f : results) {
            const double lat = num(f, "latency_us");
            const std::string ratio = lat > 0 ? str(num(f, "ratio")).substr(0, 6) : "–";
            char own[32] = "–";
            if (f.count("own_share_of_bound")) std::snprintf(own, sizeof own, "%.2f %%", 100.0 * num(f, "own_share_of_bound"));
            std::snprintf(line, sizeof line,
                          "| %s | %s KiB | %s | %s | %s | %s | %.3f | %.3f | %s | %s | %.3f | %.1f %% | %.2f | %.2f | %s | %s | %s |\n",
                          f.at("kind").c_str(), f.at("kib").c_str(), f.at("shape").c_str(),
                          lat > 0 ? "1 ms" : "0", f.count("set_transfers") ? f.at("set_transfers").c_str() : "?",
                          f.count("get_transfers") ? f.at("get_transfers").c_str() : "?", num(f, "bound_s"),
                          num(f, "wall_s"), ratio.c_str(), own, num(f, "cpu_s"), 100.0 * num(f, "cpu_share"),
                          num(f, "cpu_us_per_transfer"), num(f, "wall_us_per_transfer"), f.count("threads_created") ? f.at("threads_created").c_str() : "?",
                          f.at("peak_rss_kib").c_str(),
                          f.count("error") ? f.at("error").c_str() : (f.at("flash_ok") == "true" ? "equal" : "DIFFERS"));
            m << line;
        }
        if (!cliRuns.empty()) {
            m << "\n| command-line run | size | exit code | wall (s) | CPU (s) | peak RSS (KiB) |\n";
            m << "|---|---:|---:|---:|---:|---:|\n";
            for (const Figures& f : cliRuns) {
                std::snprintf(line, sizeof line, "| `vantel-cli --simulate … --timing-scale 1/100 flash` | %s KiB | %s | %.3f | %.3f | %s |\n",
                              f.at("kib").c_str(), f.at("exit_code").c_str(), num(f, "wall_s"), num(f, "cpu_s"),
                              f.at("peak_rss_kib").c_str());
                m << line;
            }
        }
    }

    // Plot data: size, wall (dense), wall (half zero), bound (dense), bound (half), at 1 ms.
    {
        std::map<std::size_t, std::map<std::string, double>> rows;
        for (const Figures& f : results) {
            if (f.at("kind") != "writer" || num(f, "latency_us") <= 0) continue;
            auto& r = rows[static_cast<std::size_t>(num(f, "kib"))];
            r[f.at("shape") + "-wall"] = num(f, "wall_s");
            r[f.at("shape") + "-bound"] = num(f, "bound_s");
        }
        std::ofstream d(out + "/flash.dat");
        d << "# KiB wall_dense bound_dense wall_half bound_half (seconds, 1 ms per transfer)\n";
        for (auto& [kib, r] : rows) {
            d << kib << " " << r["dense-wall"] << " " << r["dense-bound"] << " " << r["half-zero-wall"] << " "
              << r["half-zero-bound"] << "\n";
        }
    }

    bool ok = true;
    for (const Figures& f : results) {
        if (f.count("error") || f.at("flash_ok") != "true" || f.at("result") != "0") ok = false;
    }
    for (const Figures& f : cliRuns) {
        if (f.at("exit_code") != "0") ok = false;
    }
    std::fprintf(stderr, "results in %s/results.json and %s/results.md\n", out.c_str(), out.c_str());
    return ok ? 0 : 1;
}
