// vantel-cli's session in this process: the choice of keyboard by USB port,
// the boot loader taken only at that port, and keyboards that cannot be
// opened, over the simulator and over the hidraw back end on a fake sysfs.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

#include "cli/devices.h"
#include "cli/session.h"
#include "image_maker.h"
#include "json_reader.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/sim.h"
#include "support/temp_dir.h"

#if defined(VANTEL_HAVE_HIDRAW)
#include "../linux/fake_sysfs.h"
#include "platform/linux/hidraw_backend.h"
#endif

namespace vantel::cli {
namespace {

struct SessionRun {
    SessionResult result;
    std::string out, err;
};

SessionRun runCommand(HidBackend& backend, DeviceLocator* locator, const std::vector<std::string>& args) {
    const ParseResult parsed = parseArguments(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    std::ostringstream out, err;
    ConsoleShell shell(err);
    shell.setEventSink([](const EventLogEntry&) {});
    ProgressDisplay display(err, out, false);
    SessionRun r;
    r.result = runSession(backend, parsed.options, shell, display, out, err, false, locator);
    r.out = out.str();
    r.err = err.str();
    return r;
}

class CliSession : public ::testing::Test {
protected:
    // The simulator of a scenario text, with a locator over it.
    sim::SimBackend& simulator(const std::string& text) {
        std::string error;
        auto scenario = sim::parseScenario(text, error);
        EXPECT_TRUE(scenario) << error;
        sim_ = std::make_unique<sim::SimBackend>(scenario ? *scenario : sim::Scenario{});
        locator_ = simulatorLocator(*sim_);
        return *sim_;
    }
    std::unique_ptr<sim::SimBackend> sim_;
    std::unique_ptr<DeviceLocator> locator_;

    void SetUp() override {
        saved_ = timing();
        timing() = scaledTiming(timing(), 1, 20);
    }
    void TearDown() override {
        // A reply reader given up by a command may still read the table.
        EXPECT_TRUE(waitForReadersToEnd(5000));
        timing() = saved_;
    }
    Timing saved_;
};

// Two keyboards of one model; the one at port 1-3 is flashed while the other,
// at 1-2, comes up as a boot loader at the same moment. Only the boot loader
// at 1-3 may be written.
TEST_F(CliSession, TheBootLoaderIsTakenOnlyAtTheChosenPort) {
    sim::SimBackend& sim = simulator("keyboard a\nport 1-2\nstarts-in-isp\nkeyboard b\nport 1-3\nreenumerate-ms 400\n");
    sim::SimKeyboard& a = sim.keyboard(0);
    sim::SimKeyboard& b = sim.keyboard(1);

    // As soon as b has left for its boot loader, a's boot loader arrives.
    std::atomic<bool> done{false};
    std::thread other([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && b.present() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        a.unplug();
        a.plugIn(0);
    });
    TempDir dir;
    const auto image = test::applicationImage(65536, "GF", "RX431", 31);
    const std::string file = dir.write("fw.bin", image);
    const SessionRun r = runCommand(sim, locator_.get(), {"flash", file, "--port", "1-3"});
    done = true;
    other.join();

    EXPECT_EQ(r.result.exitCode, EXIT_OK) << r.out << r.err;
    EXPECT_EQ(r.result.selectedLocation.port, "1-3");
    EXPECT_EQ(b.flash(), image);
    EXPECT_EQ(a.eraseCount(), 0) << "the other keyboard's boot loader was never written";
    EXPECT_EQ(*r.result.keyboardState, KeyboardState::Updated);
}

TEST_F(CliSession, PortAndPathChooseAndAnUnknownOneIsNoDevice) {
    sim::SimBackend& sim = simulator("keyboard a\nport 1-2\nversion AAA\nkeyboard b\nport 1-3\nversion BBB\n");
    SessionRun r = runCommand(sim, locator_.get(), {"version", "--port", "1-3"});
    EXPECT_EQ(r.result.exitCode, EXIT_OK) << r.err;
    EXPECT_EQ(r.out, "BBB\n");
    r = runCommand(sim, locator_.get(), {"version", "--path", sim.keyboard(0).path()});
    EXPECT_EQ(r.out, "AAA\n");
    r = runCommand(sim, locator_.get(), {"version", "--port", "2-1"});
    EXPECT_EQ(r.result.exitCode, EXIT_NO_DEVICE);
    EXPECT_NE(r.err.find("no keyboard at USB port 2-1"), std::string::npos) << r.err;
    EXPECT_EQ(sim.keyboard(0).commands().size() + sim.keyboard(1).commands().size(), 2u)
        << "one version read each, nothing for the port that is not there";
}

TEST_F(CliSession, WaitTakesTheKeyboardThatIsPluggedInLater) {
    sim::SimBackend& sim = simulator("keyboard a\nport 1-4\nversion LATE\n");
    sim.keyboard(0).unplug();
    sim.keyboard(0).plugIn(300);
    const SessionRun r = runCommand(sim, locator_.get(), {"version", "--wait=30", "--port", "1-4"});
    EXPECT_EQ(r.result.exitCode, EXIT_OK) << r.err;
    EXPECT_EQ(r.out, "LATE\n");

    // A command that changes the keyboard waits as well, and takes the one that came.
    sim.keyboard(0).unplug();
    sim.keyboard(0).plugIn(300);
    const SessionRun test = runCommand(sim, locator_.get(), {"test-mode", "--wait=30"});
    EXPECT_EQ(test.result.exitCode, EXIT_OK) << test.err;
    EXPECT_EQ(sim.keyboard(0).testModeCount(), 1);

    // Nothing comes: the wait ends with no device.
    sim.keyboard(0).unplug();
    const SessionRun none = runCommand(sim, locator_.get(), {"version", "--wait=0.2"});
    EXPECT_EQ(none.result.exitCode, EXIT_NO_DEVICE);
    EXPECT_NE(none.err.find("no keyboard arrived"), std::string::npos) << none.err;
}

TEST_F(CliSession, SeveralKeyboardsAreRefusedAtOnceEvenWhenWaiting) {
    sim::SimBackend& sim = simulator("keyboard a\nport 1-2\nkeyboard b\nport 1-3\n");
    // Waiting would not settle it: refused at once.
    const SessionRun r = runCommand(sim, locator_.get(), {"factory-reset", "--wait"});
    EXPECT_EQ(r.result.exitCode, EXIT_NO_DEVICE);
    EXPECT_NE(r.err.find("vantel-cli:   1  RX-431  0F39:0641  "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("port 1-3"), std::string::npos) << r.err;
    EXPECT_EQ(sim.keyboard(0).commands().size() + sim.keyboard(1).commands().size(), 0u);
}

#if defined(VANTEL_HAVE_HIDRAW)

using testing_linux::FakeHidrawIo;
using testing_linux::FakeSysfs;

// The framed protocol's collection: usage 0x0080, 8-byte feature report ID 1.
const std::vector<std::uint8_t> kFramed = {
    0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x07, 0xB1, 0x02, 0xC0,
};

class CliOverHidraw : public CliSession {
protected:
    void plug(unsigned n, std::uint16_t vid, std::uint16_t pid, const std::string& port, int mi = 1) {
        testing_linux::plugUsb(sysfs, io, n, vid, pid, mi, kFramed, port);
    }
    std::string devnode(unsigned n) const { return sysfs.devRoot() + "/hidraw" + std::to_string(n); }
    HidrawBackend& backend() {
        if (!backend_) {
            backend_ = std::make_unique<HidrawBackend>(testing_linux::fakeConfig(sysfs, io));
            locator_ = hidrawLocator(*backend_);
        }
        return *backend_;
    }
    SessionRun run(const std::vector<std::string>& args) {
        HidrawBackend& b = backend();
        return runCommand(b, locator_.get(), args);
    }

    FakeSysfs sysfs;
    FakeHidrawIo io;
    std::unique_ptr<HidrawBackend> backend_;
};

TEST_F(CliOverHidraw, ListShowsTheNodeAndTheUsbPort) {
    plug(3, 0x0F39, 0x0641, "1-2.3");
    plug(4, 0x0F39, 0x0825, "1-4", 0);
    const SessionRun r = run({"list"});
    EXPECT_EQ(r.out, "0  RX-431  0F39:0641  report 8  " + devnode(3) + "  port 1-2.3 interface 1\n"
                     "1  RX-430  0F39:0825  report 8  " + devnode(4) + "  port 1-4 interface 0\n");
    const test::Json list = test::JsonReader::parse(run({"list", "--json"}).out);
    ASSERT_EQ(list.array.size(), 2u);
    EXPECT_EQ(list[0]["node"].string, devnode(3));
    EXPECT_EQ(list[0]["port"].string, "1-2.3");
    EXPECT_EQ(list[0]["interface"].number, 1);
    EXPECT_NE(list[0]["path"].string.find("vid_0f39&pid_0641&mi_01"), std::string::npos) << "the core's own name";
}

TEST_F(CliOverHidraw, AKeyboardThatMayNotBeOpenedIsNamedWithTheFix) {
    plug(2, 0x0F39, 0x0641, "1-2");
    plug(5, 0x0F39, 0x0825, "1-5");
    plug(6, 0x8087, 0x0001, "1-6");  // not a supported vendor: never mentioned
    io.node(devnode(5)).openError = EACCES;
    io.node(devnode(6)).openError = EACCES;

    SessionRun r = run({"list"});
    // The keyboard that opens is listed as before; the other only on stderr.
    EXPECT_EQ(r.out, "0  RX-431  0F39:0641  report 8  " + devnode(2) + "  port 1-2 interface 1\n");
    EXPECT_NE(r.err.find("cannot open " + devnode(5) + " (RX-430 0F39:0825, port 1-5 interface 1): Permission denied"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("70-vantel.rules"), std::string::npos);
    EXPECT_NE(r.err.find("udevadm control --reload\n"), std::string::npos);
    EXPECT_NE(r.err.find("udevadm trigger --subsystem-match=hidraw\n"), std::string::npos);
    EXPECT_EQ(r.err.find("hidraw6"), std::string::npos);
    EXPECT_EQ(r.err.find("cannot open"), r.err.rfind("cannot open")) << "once";

    const test::Json list = test::JsonReader::parse(run({"list", "--json"}).out);
    ASSERT_EQ(list.array.size(), 2u);
    EXPECT_TRUE(list[0]["accessible"].boolean);
    EXPECT_EQ(list[1]["node"].string, devnode(5));
    EXPECT_FALSE(list[1]["accessible"].boolean);
    EXPECT_EQ(list[1]["index"].type, test::Json::Type::Null);

    // Alone, it is still "No keyboard found." on stdout, and the reason on stderr.
    io.node(devnode(2)).openError = EPERM;
    r = run({"list"});
    EXPECT_EQ(r.out, "No keyboard found.\n");
    EXPECT_NE(r.err.find("cannot open " + devnode(2)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
    r = run({"version"});
    EXPECT_EQ(r.result.exitCode, EXIT_NO_DEVICE);
    EXPECT_NE(r.err.find("cannot open " + devnode(2)), std::string::npos) << r.err;
}

TEST_F(CliOverHidraw, PortChoosesWhichNodeIsTalkedTo) {
    plug(2, 0x0F39, 0x0641, "1-2");
    plug(7, 0x0F39, 0x0641, "1-3");
    run({"version", "--port", "1-3"});
    const auto sent = io.transfers();
    ASSERT_FALSE(sent.empty());
    for (const auto& t : sent) EXPECT_EQ(t.devnode, devnode(7));
}

// Boot loaders of two keyboards arrive at once; the one at the chosen port
// passes, the other never reaches the window.
TEST_F(CliOverHidraw, OnlyTheBootLoaderAtThePortIsAnnounced) {
    struct Sink : DeviceEventSink {
        void deviceChanged(const DeviceBroadcast& b) override { names.push_back(broadcastName(b)); }
        std::vector<std::string> names;
    } sink;
    PortFilter filter(sink, nullptr);
    backend().loadHidLibrary();
    backend().loadSetupLibrary();
    PortFilter located(sink, locator_.get());
    backend().setDeviceEventSink(&located);
    located.setPort("1-3");
    plug(8, 0x0F39, 0x0001, "1-2", 0);
    plug(9, 0x0F39, 0x0001, "1-3", 0);
    plug(10, 0x0F39, 0x0641, "1-4", 0);
    for (const char* node : {"hidraw8", "hidraw9", "hidraw10"}) backend().handleUevent({"add", node});
    ASSERT_EQ(sink.names.size(), 2u);
    EXPECT_NE(sink.names[0].find("#hidraw9#"), std::string::npos) << sink.names[0];
    EXPECT_NE(sink.names[1].find("#hidraw10#"), std::string::npos) << "not a boot loader: passes";
    backend().setDeviceEventSink(nullptr);

    // Without a locator a boot loader's place is unknown: none is taken.
    filter.setPort("1-3");
    EXPECT_FALSE(filter.accepts("\\\\?\\hid#vid_0f39&pid_0001#hidraw9#x"));
    filter.setPort("");
    EXPECT_TRUE(filter.accepts("\\\\?\\hid#vid_0f39&pid_0001#hidraw9#x"));
}

#endif

}  // namespace
}  // namespace vantel::cli
