// The station at scale, against simulated keyboards served to its children.
//
//   bench_station --cli PATH [--out DIR] [--quick] [--soak N]
//
// Station rows: 1, 2, 4 and 8 keyboards of 64 KiB at 1 ms per transfer, each
// on a USB bus of its own, flashed at once by one station; the wall time
// against one keyboard's, the CPU time of the station and its children as a
// share of one core per keyboard, and the peak memory. The timing table is
// the real one. Every row runs in a
// process of its own, so that the figures are its alone.
//
// Soak: one station flashes N keyboards in a row (500 by default) at one
// port, some of them with faults (a failed keyboard is retried by plugging it
// in again, as a person would); its resident memory, open descriptors and
// threads after the tenth keyboard and after the last (each taken once the
// keyboard's children and their connections are gone, so that both are the
// same moment of a cycle), and whether every keyboard was reported once.
//
// Writes DIR/station.md (and prints it).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "cli/devices.h"
#include "cli/sha256.h"
#include "cli/station.h"
#include "link/timing.h"
#include "sim/remote_backend.h"
#include "sim/sim.h"

namespace fs = std::filesystem;
using namespace vantel;

namespace {

// An output stream that hands every complete line to a function.
class LineBuffer : public std::streambuf {
public:
    explicit LineBuffer(std::function<void(const std::string&)> onLine) : onLine_(std::move(onLine)) {}

protected:
    int overflow(int c) override {
        if (c == EOF) return 0;
        if (c == '\n') {
            onLine_(line_);
            line_.clear();
        } else {
            line_ += static_cast<char>(c);
        }
        return c;
    }

private:
    std::function<void(const std::string&)> onLine_;
    std::string line_;
};

std::vector<std::uint8_t> applicationImage(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i + 16 < length; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<std::uint8_t>(x >> 16);
    }
    auto scramble = [](std::uint8_t p) { return static_cast<std::uint8_t>(~(((p << 4) | (p >> 4)) & 0xFF)); };
    image[length - 16] = 0x7B;
    image[length - 15] = 0x6A;
    const char plain[10] = {'G', 'F', 'R', 'X', '4', '3', '1', 0, 0, 0};
    for (int i = 0; i < 10; ++i) image[length - 14 + i] = scramble(static_cast<std::uint8_t>(plain[i]));
    return image;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct Sample {
    long rssKiB = 0;
    int fds = 0;
    int threads = 0;
};

Sample sampleSelf() {
    Sample s;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::stol(line.substr(6));
        if (line.rfind("Threads:", 0) == 0) s.threads = std::stoi(line.substr(8));
    }
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++s.fds;
    return s;
}

struct Fixture {
    std::string dir;
    std::string image;
    std::vector<std::uint8_t> bytes;
};

cli::StationConfig configFor(const Fixture& f, const std::string& cli, sim::BackendServer& server,
                             const std::string& socket, int max, bool shortened) {
    cli::StationConfig config;
    config.file = f.image;
    config.shownFile = "fw.bin";
    config.sha256 = cli::sha256Hex(f.bytes);
    config.program = cli;
    if (shortened) config.childOptions = {"--timing-scale", "1/20"};
    config.childEnv = {{"VANTEL_SIM_SOCKET", socket}};
    config.childUnsetEnv = {"VANTEL_SIMULATE"};
    config.childGone = [&server](int pid) { server.waitForClientGone(pid, 5000); };
    config.max = max;
    config.quiet = true;
    config.logPath = f.dir + "/log.jsonl";
    return config;
}

// Keyboards kb1.. at ports 1-1, 2-1, ...: a USB bus each.
void addKeyboardsOnOwnBuses(sim::SimBackend& simulator, int count) {
    for (int i = 0; i < count; ++i) {
        sim::KeyboardSpec spec;
        spec.name = "kb" + std::to_string(i + 1);
        spec.port = std::to_string(i + 1) + "-1";
        simulator.addKeyboard(spec);
    }
}

void listenOrExit(sim::BackendServer& server, const std::string& socket) {
    std::string error;
    if (!server.listen(socket, error)) {
        std::fprintf(stderr, "socket: %s\n", error.c_str());
        std::exit(1);
    }
}

// ---- station rows -----------------------------------------------------------

struct Row {
    int keyboards = 0;
    double wall = 0;
    double cpu = 0;
    double stationCpu = 0;  // of which the station's own process (the simulator and its server included)
    long stationRssKiB = 0;
    long childRssKiB = 0;
    int passed = 0;
};

Row stationRow(const Fixture& f, const std::string& cli, int keyboards) {
    // The real timing table: a shortened one would also make every child
    // look for the end of its command more often, which is not what a
    // station at a production line costs.
    timing() = Timing{};
    sim::SimBackend simulator;
    sim::Options options = simulator.options();
    options.trace = false;
    options.latencyUs = 1000;
    simulator.setOptions(options);
    addKeyboardsOnOwnBuses(simulator, keyboards);
    const std::string socket = f.dir + "/row.sock";
    const auto locator = cli::simulatorLocator(simulator);
    sim::BackendServer server(simulator, [&locator](const std::string& p) { return locator->locate(p).port; });
    listenOrExit(server, socket);
    cli::StationConfig config = configFor(f, cli, server, socket, keyboards, false);
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    cli::runStation(simulator, *locator, config, out, err);
    Row row;
    row.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.stop();
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    row.keyboards = keyboards;
    row.cpu = seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
    row.stationCpu = seconds(self.ru_utime) + seconds(self.ru_stime);
    row.stationRssKiB = self.ru_maxrss;
    row.childRssKiB = children.ru_maxrss;
    for (int i = 0; i < keyboards; ++i) row.passed += simulator.keyboard(i).flash() == f.bytes ? 1 : 0;
    return row;
}

// Runs a row in a child process and reads its figures back.
Row isolatedRow(const Fixture& f, const std::string& cli, int keyboards) {
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const Row row = stationRow(f, cli, keyboards);
        if (::write(fds[1], &row, sizeof row) != static_cast<ssize_t>(sizeof row)) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    Row row;
    if (::read(fds[0], &row, sizeof row) != static_cast<ssize_t>(sizeof row)) row = Row{};
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return row;
}

// ---- soak ---------------------------------------------------------------------

struct SoakResult {
    int reported = 0;
    int plugged = 0;
    int failed = 0;
    int faultsPlanted = 0;
    Sample tenth;
    Sample last;
    double wall = 0;
    bool allFlashed = true;
};

SoakResult soak(const Fixture& f, const std::string& cli, int total) {
    timing() = scaledTiming(Timing{}, 1, 20);
    constexpr int kPorts = 1;
    sim::SimBackend simulator;
    sim::Options options = simulator.options();
    options.trace = false;
    simulator.setOptions(options);
    addKeyboardsOnOwnBuses(simulator, kPorts);
    const std::string socket = f.dir + "/soak.sock";
    const auto locator = cli::simulatorLocator(simulator);
    sim::BackendServer server(simulator, [&locator](const std::string& p) { return locator->locate(p).port; });
    listenOrExit(server, socket);

    SoakResult result;
    result.plugged = kPorts;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::string, bool>> finished;  // port, passed
    std::deque<std::string> unplugged;
    // The station's record lines ("port 1-1  ...  [0 ok] ...") and its notes.
    LineBuffer outBuffer([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string port = line.substr(5, line.find(' ', 5) - 5);
        finished.emplace_back(port, line.find("[0 ok]") != std::string::npos);
        ++result.reported;
        changed.notify_all();
    });
    LineBuffer errBuffer([&](const std::string& line) {
        const std::string tail = " unplugged";
        if (line.rfind("station: ", 0) != 0 || line.size() < tail.size() ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        unplugged.push_back(line.substr(9, line.size() - 9 - tail.size()));
        changed.notify_all();
    });
    std::ostream out(&outBuffer), err(&errBuffer);

    // No --max: the station is stopped once the last sample is taken, so that
    // both samples see it running, between two keyboards.
    cli::StationConfig config = configFor(f, cli, server, socket, 0, true);
    std::atomic<bool> stop{false};
    config.stopSignal = [&stop] { return stop.load(); };
    config.quiet = false;  // the driver waits for "unplugged"
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ended{false};
    std::thread station([&] {
        cli::runStation(simulator, *locator, config, out, err);
        ended = true;
        changed.notify_all();
    });

    // The person at the bench: a keyboard that passed is replaced by a fresh
    // one (every seventh with a fault); one that failed is plugged in again.
    std::map<std::string, int> byPort;
    for (int i = 0; i < kPorts; ++i) byPort[std::to_string(i + 1) + "-1"] = i;
    std::map<std::string, bool> retry;
    int fresh = 0;
    int seen = 0;
    // A sample once the keyboard's last child and its connection have gone.
    auto settledSample = [&server] {
        for (int i = 0; i < 200 && server.connections() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return sampleSelf();
    };
    std::unique_lock<std::mutex> lock(mutex);
    while (!ended) {
        changed.wait_for(lock, std::chrono::milliseconds(50));
        while (!finished.empty()) {
            const auto [port, passed] = finished.front();
            finished.pop_front();
            if (!passed) ++result.failed;
            retry[port] = !passed;
            ++seen;
            lock.unlock();
            if (seen == 10) result.tenth = settledSample();
            if (seen == total) {
                result.last = settledSample();
                stop = true;
            }
            simulator.keyboard(byPort[port]).unplug();
            lock.lock();
        }
        while (!unplugged.empty()) {
            const std::string port = unplugged.front();
            unplugged.pop_front();
            if (result.plugged >= total) continue;
            lock.unlock();
            if (!retry[port]) {
                // A fresh keyboard in the place of the old one (whose state
                // the simulator then frees), now and then with a fault.
                simulator.forget(static_cast<std::size_t>(byPort[port]));
                sim::KeyboardSpec spec;
                spec.name = "fresh";
                spec.port = port;
                spec.plugged = false;
                byPort[port] = static_cast<int>(simulator.addKeyboard(spec).index());
                if (++fresh % 7 == 0) {
                    simulator.keyboard(byPort[port]).failWriteAt(0x1200, 5, sim::kAlways);
                    ++result.faultsPlanted;
                }
            } else {
                simulator.clearFaults();
            }
            simulator.keyboard(byPort[port]).plugIn();
            lock.lock();
            ++result.plugged;
        }
    }
    lock.unlock();
    station.join();
    result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.stop();
    return result;
}

std::string percent(double part, double whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f %%", whole == 0 ? 0.0 : (part - whole) * 100.0 / whole);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "build/bench";
    std::string cli;
    bool quick = false;
    int soakCount = 500;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (a == "--cli" && i + 1 < argc) cli = argv[++i];
        else if (a == "--quick") quick = true;
        else if (a == "--soak" && i + 1 < argc) soakCount = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s --cli PATH [--out DIR] [--quick] [--soak N]\n", argv[0]);
            return 2;
        }
    }
    if (cli.empty()) {
        std::fprintf(stderr, "bench_station: --cli PATH is needed (the children are vantel-cli)\n");
        return 2;
    }
    fs::create_directories(out);
    Fixture f;
    f.dir = fs::absolute(out).string() + "/station";
    fs::create_directories(f.dir);
    f.bytes = applicationImage(65536);
    f.image = f.dir + "/fw.bin";
    std::ofstream(f.image, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));

    std::ostringstream md;
    md << "| keyboards | wall (s) | wall / one keyboard's | CPU (s) | CPU per keyboard (share of a core) | "
          "of which the vantel-cli children | of which the station with the simulator | "
          "station peak RSS (KiB) | child peak RSS (KiB) | flashes equal to the file |\n"
       << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    double one = 0;
    for (int n : quick ? std::vector<int>{1, 2} : std::vector<int>{1, 2, 4, 8}) {
        std::fprintf(stderr, "station: %d keyboard(s) ...\n", n);
        const Row row = isolatedRow(f, cli, n);
        if (n == 1) one = row.wall;
        char line[256];
        const double share = row.wall > 0 ? 100.0 / row.wall / n : 0.0;
        std::snprintf(line, sizeof line, "| %d | %.2f | %.3f | %.2f | %.1f %% | %.1f %% | %.1f %% | %ld | %ld | %d of %d |\n",
                      n, row.wall, one > 0 ? row.wall / one : 0.0, row.cpu, row.cpu * share,
                      (row.cpu - row.stationCpu) * share, row.stationCpu * share, row.stationRssKiB,
                      row.childRssKiB, row.passed, n);
        md << line;
        std::fputs(line, stderr);
    }
    if (!quick && soakCount > 0) {
        std::fprintf(stderr, "soak: %d keyboards ...\n", soakCount);
        const SoakResult s = soak(f, cli, soakCount);
        md << "\n**Soak**: one station, " << s.reported << " keyboards reported of " << s.plugged
           << " plugged in (one port, 64 KiB, latency 0; " << s.faultsPlanted
           << " keyboards with a refused block, each retried by plugging it in again; " << s.failed
           << " failed runs) in " << static_cast<int>(s.wall) << " s.\n\n"
           << "| after | resident memory (KiB) | open descriptors | threads |\n|---|---:|---:|---:|\n"
           << "| the 10th keyboard | " << s.tenth.rssKiB << " | " << s.tenth.fds << " | " << s.tenth.threads << " |\n"
           << "| the last keyboard | " << s.last.rssKiB << " | " << s.last.fds << " | " << s.last.threads << " |\n"
           << "| change | " << percent(static_cast<double>(s.last.rssKiB), static_cast<double>(s.tenth.rssKiB)) << " | " << percent(s.last.fds, s.tenth.fds)
           << " | " << percent(s.last.threads, s.tenth.threads) << " |\n";
        if (s.reported != s.plugged) md << "\n**Unreported keyboards: " << s.plugged - s.reported << "**\n";
    }
    std::ofstream(out + "/station.md") << md.str();
    std::fputs(md.str().c_str(), stdout);
    return 0;
}
