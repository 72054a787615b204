#include "cli/station_command.h"

#include <fstream>
#include <iostream>
#include <iterator>

#include "cli/image_info.h"
#include "cli/session.h"
#include "cli/sha256.h"
#include "cli/station.h"
#include "image/image.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "sim/remote_backend.h"
#include "sim/sim.h"
#endif

namespace vantel::cli {

namespace {

int fail(int code, const std::string& message) {
    std::cerr << "vantel-cli: " << message << "\n";
    return code;
}

}  // namespace

#ifndef _WIN32

namespace {

namespace fs = std::filesystem;

// A folder of the station's own, removed with everything in it at the end.
class PrivateFolder {
public:
    bool create(std::string& error) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantel-station-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error = "cannot create a folder in " + fs::path(pattern).parent_path().string();
            return false;
        }
        path_ = pattern;
        return true;
    }
    ~PrivateFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string selfPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

}  // namespace

int runStationCommand(const Options& options, HidBackend& backend, DeviceLocator& locator,
                      sim::SimBackend* simulator, bool terminal) {
    // The file is judged once, and every keyboard gets exactly the bytes that
    // were judged and hashed: the children flash a private copy, so a file
    // replaced during a shift cannot reach a keyboard unlogged.
    const ImageReport report = inspectImage(options.file);
    if (!report.valid || !fitsAnyFramedKeyboard(report.length)) {
        std::cerr << imageReportText(report);
        return fail(EXIT_FILE_REJECTED, options.file + " is not a firmware file any keyboard takes");
    }
    std::ifstream in(options.file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) return fail(EXIT_FILE_REJECTED, "cannot read " + options.file);
    if (static_cast<std::int64_t>(bytes.size()) != report.length) {
        return fail(EXIT_FILE_REJECTED, options.file + " changed while it was read");
    }

    PrivateFolder folder;
    std::string error;
    if (!folder.create(error)) return fail(EXIT_INTERNAL, error);
    // The keyboard's checks read the file's name as well: the copy keeps it.
    const std::string copy = folder.path() + "/" + fs::path(options.file).filename().string();
    {
        std::ofstream out(copy, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) return fail(EXIT_INTERNAL, "cannot write " + copy);
    }
    ::chmod(copy.c_str(), 0400);

    StationConfig config;
    config.file = copy;
    config.shownFile = options.file;
    config.sha256 = sha256Hex(bytes);
    config.program = selfPath();
    if (config.program.empty()) return fail(EXIT_INTERNAL, "cannot find this program's own file");
    if (options.timingScale) {
        config.childOptions = {"--timing-scale",
                               std::to_string(options.timingScale->num) + "/" + std::to_string(options.timingScale->den)};
    }
    config.parallel = options.parallel.value_or(0);
    config.max = options.maxKeyboards.value_or(0);
    config.oncePerPort = options.oncePerPort;
    config.json = options.json;
    config.terminal = terminal && !options.quiet;
    config.verbose = options.verbose;
    config.quiet = options.quiet;
    config.logPath = options.logPath.value_or("");
    config.interrupts = [] { return interruptCount(); };
    config.stopSignal = [] { return heldSignal() != 0; };

    // Simulated keyboards live in this process; the children reach them
    // through a socket instead of simulating a world of their own.
    std::unique_ptr<sim::BackendServer> server;
    if (simulator) {
        server = std::make_unique<sim::BackendServer>(
            *simulator,
            sim::BackendServer::PortLookup([&locator](const std::string& path) { return locator.locate(path).port; }));
        const std::string socket = folder.path() + "/keyboards.sock";
        if (!server->listen(socket, error)) return fail(EXIT_INTERNAL, "simulator socket: " + error);
        config.childEnv = {{"VANTEL_SIM_SOCKET", socket}};
        sim::BackendServer* served = server.get();
        config.childGone = [served](int pid) { served->waitForClientGone(pid, 5000); };
        config.childUnsetEnv = {"VANTEL_SIMULATE"};
    }

    // The station lists keyboards itself, outside the core that loads the
    // libraries for a session; the hidraw back end lists nothing until then.
    if (!backend.loadHidLibrary() || !backend.loadSetupLibrary())
        return fail(EXIT_NO_DEVICE, "cannot load the HID libraries");

    armInterruptGuard();
    return runStation(backend, locator, config, std::cout, std::cerr);
}

#else

int runStationCommand(const Options&, HidBackend&, DeviceLocator&, sim::SimBackend*, bool) {
    // Without a keyboard's USB location a boot loader cannot be told from
    // another keyboard's, and the Windows back end does not give it.
    return fail(EXIT_USAGE, "station needs each keyboard's USB port, which this platform does not give; "
                            "flash the keyboards one at a time");
}

#endif

}  // namespace vantel::cli
