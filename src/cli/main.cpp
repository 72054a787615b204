// vantel-cli: the command-line front end over the same core as the dialog.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/vantel_dlg.h"
#include "cli/console_shell.h"
#include "cli/image_info.h"
#include "image/image.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/session.h"
#include "cli/station_command.h"
#include "cli/trace_backend.h"
#include "link/timing.h"
#include "sim/sim.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "sim/remote_backend.h"
#endif

#if defined(VANTEL_HAVE_HIDRAW)
#include "platform/linux/hidraw_backend.h"
#elif defined(VANTEL_HAVE_WIN32_HID)
#include "platform/win32/win32_hid.h"
#endif

namespace {

using namespace vantel;
using namespace vantel::cli;

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// The terminal's own width, else $COLUMNS (which shells seldom export), else 80.
int terminalWidth() {
#ifndef _WIN32
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20 && size.ws_col <= 1000) {
        return size.ws_col;
    }
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        const int width = std::atoi(columns);
        if (width >= 20 && width <= 1000) return width;
    }
    return 80;
}

int fail(int code, const std::string& message) {
    std::cerr << "vantel-cli: " << message << "\n";
    return code;
}

std::unique_ptr<HidBackend> platformBackend() {
#if defined(VANTEL_HAVE_HIDRAW)
    return std::make_unique<HidrawBackend>();
#elif defined(VANTEL_HAVE_WIN32_HID)
    return std::make_unique<win32::Win32HidBackend>();
#else
    return nullptr;
#endif
}

// The simulated keyboard the command worked on: the one at the chosen USB
// port, else the one whose IDs (as an application or as a boot loader) match
// the chosen entry, else the first.
sim::SimKeyboard* simulatedTarget(sim::SimBackend& sim, const DeviceEntry& selected, const std::string& port) {
    if (sim.keyboardCount() == 0) return nullptr;
    for (std::size_t i = 0; i < sim.keyboardCount() && !port.empty(); ++i) {
        if (sim.keyboard(i).spec().port == port) return &sim.keyboard(i);
    }
    for (std::size_t i = 0; i < sim.keyboardCount(); ++i) {
        const sim::KeyboardSpec spec = sim.keyboard(i).spec();
        const std::uint16_t ispVid = spec.ispVid ? spec.ispVid : spec.vid;
        if ((spec.vid == selected.vid && spec.pid == selected.pid) ||
            (ispVid == selected.vid && spec.ispPid == selected.pid)) {
            return &sim.keyboard(i);
        }
    }
    return &sim.keyboard(0);
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

int runInfo(const Options& options) {
    const ImageReport report = inspectImage(options.file);
    std::cout << (options.json ? imageReportJson(report) : imageReportText(report));
    std::cout.flush();
    // A file no framed keyboard's flash size matches is refused before any
    // keyboard is touched, so it is no file to ship either.
    return report.valid && fitsAnyFramedKeyboard(report.length) ? EXIT_OK : EXIT_FILE_REJECTED;
}

int run(const std::vector<std::string>& args) {
    const ParseResult parsed = parseArguments(args);
    if (!parsed.ok) {
        std::cerr << "vantel-cli: " << parsed.error << "\nTry 'vantel-cli --help'.\n";
        return EXIT_USAGE;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::cout << usageText("vantel-cli");
        return EXIT_OK;
    }
    if (options.version) {
        std::cout << "vantel-cli " << kVersionText << "\n";
        return EXIT_OK;
    }

    // Every delay comes from the one table; set it before any thread runs.
    if (options.timingScale) {
        timing() = scaledTiming(timing(), options.timingScale->num, options.timingScale->den);
    }

    if (options.command == Command::Info) return runInfo(options);

    // A station's child reaches the station's simulator through its socket;
    // the station's own VANTEL_SIMULATE, inherited, does not apply to it.
    std::unique_ptr<HidBackend> remote;
    std::unique_ptr<DeviceLocator> locator;
#ifndef _WIN32
    const char* socketPath = std::getenv("VANTEL_SIM_SOCKET");
    if (!options.simulate && socketPath && *socketPath) {
        std::string why;
        std::unique_ptr<sim::RemoteBackend> connected = sim::RemoteBackend::connect(socketPath, why);
        if (!connected) return fail(EXIT_NO_DEVICE, "simulator socket: " + why);
        locator = remoteLocator(*connected);
        remote = std::move(connected);
    }
#endif
    std::string simError;
    std::unique_ptr<sim::SimBackend> simulator;
    if (!remote) {
        simulator = options.simulate ? sim::simulatorFromSetting(*options.simulate, simError)
                                     : sim::simulatorFromEnvironment(simError);
    }
    if (!simulator && !simError.empty()) return fail(EXIT_USAGE, "simulator: " + simError);
    if (options.dumpFlash && !simulator) return fail(EXIT_USAGE, "--dump-flash needs --simulate");

    std::unique_ptr<HidBackend> platform;
    HidBackend* backend = remote ? remote.get() : simulator.get();
    bool pollArrivals = options.pollArrivals;
    if (simulator) locator = simulatorLocator(*simulator);
    if (!backend) {
        platform = platformBackend();
        if (!platform) return fail(EXIT_NO_DEVICE, "no HID back end on this platform; try --simulate");
        backend = platform.get();
#if defined(VANTEL_HAVE_HIDRAW)
        locator = hidrawLocator(static_cast<HidrawBackend&>(*platform));
#endif
#if !defined(VANTEL_HAVE_HIDRAW)
        // The HID library leaves arrivals to window messages, and the command
        // line has no window to receive them.
        pollArrivals = true;
#endif
    }
    if (options.command == Command::Station) {
        if (!locator) return fail(EXIT_USAGE, "station needs each keyboard's USB port, which this back end does not give");
        return runStationCommand(options, *backend, *locator, simulator.get(), stderrIsTerminal());
    }
    ConsoleShell shell(std::cerr);
    // A listing keeps stdout to itself (JSON must parse); its boxes are warnings.
    // With --json the other commands print events there, and their texts on stderr.
    std::ostream& results = options.command == Command::List || options.json ? std::cerr : std::cout;
#ifdef _WIN32
    const bool ansi = false;  // a console without VT processing shows escape sequences as text
#else
    const bool ansi = true;
#endif
    ProgressDisplay display(std::cerr, results, stderrIsTerminal(), terminalWidth(), ansi);
    display.setShowBar(options.command == Command::Flash);
    display.setDetail(options.quiet     ? ProgressDisplay::Detail::Quiet
                      : options.verbose ? ProgressDisplay::Detail::Verbose
                                        : ProgressDisplay::Detail::Normal);
    JsonEvents events(std::cout);
    if (options.json && options.command != Command::List) display.setEvents(&events);
    std::unique_ptr<TracingBackend> tracer;
    if (options.trace) {
        tracer = std::make_unique<TracingBackend>(
            *backend, TracingBackend::Writer([&display](const std::string& line) { display.note(line); }));
        backend = tracer.get();
    }
    if (options.command == Command::Flash) armInterruptGuard();
    const SessionResult result =
        runSession(*backend, options, shell, display, std::cout, std::cerr, pollArrivals, locator.get(),
                   options.json && options.command != Command::List ? &events : nullptr);

    if (options.dumpFlash && simulator) {
        sim::SimKeyboard* keyboard = simulatedTarget(*simulator, result.selected, result.selectedLocation.port);
        const auto region = result.ispImage ? sim::Region::Boot : sim::Region::Application;
        const std::vector<std::uint8_t> flash = keyboard ? keyboard->flash(region) : std::vector<std::uint8_t>();
        if (!writeFile(*options.dumpFlash, flash)) {
            std::cerr << "vantel-cli: cannot write " << *options.dumpFlash << "\n";
        }
    }
    return result.exitCode;
}

}  // namespace

// Output that cannot be written is dropped: a reader that has gone (EPIPE,
// with SIGPIPE ignored) or a closed descriptor must not stop a write to the
// keyboard. A closed standard descriptor is pointed at /dev/null first, so
// that no file or device opened later takes its number and receives the text.
static void keepOutputHarmless() {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
#endif
}

int main(int argc, char** argv) {
    keepOutputHarmless();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return run(args);
}
