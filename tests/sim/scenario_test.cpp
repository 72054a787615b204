// The scenario format, the built-ins and the VANTEL_SIMULATE setting.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "host.h"

using namespace simtest;

TEST(SimScenario, FullKeyboardDescription) {
    std::string error;
    auto s = parseScenario(
        "# a comment line\n"
        "option wide-names\n"
        "option latency-us 125\n"
        "keyboard main   # trailing comment\n"
        "  vid 0x0D22\n"
        "  pid 2928\n"
        "  version S5305V10\n"
        "  isp-version B1/S2\n"
        "  profiles GL CL\n"
        "  profile-record 1 2 3 4 5 6 7 8 9 0x0A\n"
        "  isp-profile refuse\n"
        "  flash-kib 128\n"
        "  boot-flash-kib 8\n"
        "  isp-value 0xBEEF\n"
        "  isp same-path\n"
        "  isp-vid 0x1188\n"
        "  isp-pid 0\n"
        "  leave-ms 5\n"
        "  reenumerate-ms 70\n"
        "  goto-page-status 241\n"
        "  mode-flag-status 3\n"
        "  reset-status 27\n"
        "  erased 0xFF\n"
        "  port 2-1.4\n"
        "  plugged no\n"
        "  busy chip-erase polls 4 ms 10\n"
        "  busy 0xA1 polls 1\n"
        "  interface path \\\\?\\custom usage-page 0xFF01 usage 0x80 length 8 mi 2\n"
        "  interface usage 1 length 9 passive\n"
        "  fault status write-block 242 offset 0x1200 times 3\n"
        "  fault no-answer get-version at 2 times always\n"
        "fault set-fails at 5 times 2\n"
        "fault missing get-feature\n"
        "fault enum-fails 3\n"
        "fault open-fails pid_0b70 times 1\n"
        "event arrival failure-signal \\\\?\\x after-ms 100\n"
        "event removal {A5DCBF10-6530-11D2-901F-00C04FB951ED} name\n"
        "device\n"
        "  vid 0x046D\n"
        "keyboard\n"
        "  starts-in-isp\n"
        "  legacy\n"
        "  legacy-version wrong-marker\n"
        "at 2.5 s plug main at 1-3\n"
        "at 0.05 s unplug main\n",
        error);
    ASSERT_TRUE(s) << error;
    EXPECT_TRUE(s->options.wideNames);
    EXPECT_EQ(s->options.latencyUs, 125);
    ASSERT_EQ(s->keyboards.size(), 3u);
    const KeyboardSpec& k = s->keyboards[0];
    EXPECT_EQ(k.name, "main");
    EXPECT_EQ(k.vid, 0x0D22);
    EXPECT_EQ(k.pid, 2928);
    EXPECT_EQ(k.appVersion, "S5305V10");
    EXPECT_EQ(k.ispVersion, "B1/S2");
    EXPECT_EQ(k.profiles, (std::vector<std::string>{"GL", "CL"}));
    EXPECT_EQ(*k.profileRecord, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_FALSE(k.ispProfileAccepted);
    EXPECT_EQ(k.flashKiB, 128);
    EXPECT_EQ(k.bootFlashKiB, 8);
    EXPECT_EQ(k.ispValue, 0xBEEF);
    EXPECT_EQ(k.isp, IspStyle::SamePath);
    EXPECT_EQ(k.ispVid, 0x1188);
    EXPECT_EQ(k.ispPid, 0);
    EXPECT_EQ(k.leaveMs, 5);
    EXPECT_EQ(k.reenumerateMs, 70);
    EXPECT_EQ(k.gotoPageStatus, 241);
    EXPECT_EQ(k.modeFlagStatus, 3);
    EXPECT_EQ(k.resetStatus, 27);
    EXPECT_EQ(k.erasedValue, 0xFF);
    EXPECT_EQ(k.port, "2-1.4");
    EXPECT_FALSE(k.plugged);
    EXPECT_EQ(k.busy.at(0xA4).polls, 4);
    EXPECT_EQ(k.busy.at(0xA4).ms, 10);
    EXPECT_EQ(k.busy.at(0xA1).polls, 1);
    ASSERT_EQ(k.interfaces.size(), 2u);
    EXPECT_EQ(k.interfaces[0].path, "\\\\?\\custom");
    EXPECT_EQ(k.interfaces[0].usagePage, 0xFF01);
    EXPECT_EQ(k.interfaces[0].mi, 2);
    EXPECT_TRUE(k.interfaces[0].protocol);
    EXPECT_FALSE(k.interfaces[1].protocol);
    EXPECT_EQ(k.interfaces[1].featureLength, 9);

    ASSERT_EQ(s->faults.size(), 6u);
    EXPECT_EQ(s->faults[0].kind, FaultSpec::Kind::Status);
    EXPECT_EQ(s->faults[0].keyboard, 0);
    EXPECT_EQ(s->faults[0].code, 0xA1);
    EXPECT_EQ(s->faults[0].status, 242);
    EXPECT_EQ(*s->faults[0].offset, 0x1200u);
    EXPECT_EQ(s->faults[0].times, 3);
    EXPECT_EQ(s->faults[1].kind, FaultSpec::Kind::NoAnswer);
    EXPECT_EQ(s->faults[1].at, 2);
    EXPECT_EQ(s->faults[1].times, kAlways);
    EXPECT_EQ(s->faults[2].kind, FaultSpec::Kind::SetFails);
    EXPECT_EQ(s->faults[3].entry, Entry::GetFeature);
    EXPECT_EQ(s->faults[4].index, 3);
    EXPECT_EQ(s->faults[5].text, "pid_0b70");
    EXPECT_EQ(s->faults[5].times, 1);

    ASSERT_EQ(s->events.size(), 2u);
    EXPECT_EQ(s->events[0].cls, kFailureSignalClass);
    EXPECT_EQ(s->events[0].afterMs, 100);
    EXPECT_EQ(s->events[1].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(s->events[1].cls, kUsbDeviceClass);

    EXPECT_TRUE(s->keyboards[1].passive);
    EXPECT_EQ(s->keyboards[1].vid, 0x046D);
    EXPECT_TRUE(s->keyboards[2].startsInIsp);
    EXPECT_TRUE(s->keyboards[2].legacy);
    EXPECT_EQ(s->keyboards[2].legacyVersion, LegacyVersionForm::WrongMarker);

    ASSERT_EQ(s->timeline.size(), 2u);
    EXPECT_EQ(s->timeline[0].atMs, 2500);
    EXPECT_TRUE(s->timeline[0].plug);
    EXPECT_EQ(s->timeline[0].keyboard, 0u);
    EXPECT_EQ(s->timeline[0].port, "1-3");
    EXPECT_EQ(s->timeline[1].atMs, 50);
    EXPECT_FALSE(s->timeline[1].plug);
}

TEST(SimScenario, ErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* line;
    };
    const Case cases[] = {
        {"vid 1\n", "line 1:"},                              // no keyboard yet
        {"keyboard\nvid 0x10000\n", "line 2:"},              // out of range
        {"keyboard\n\n\nflash-kib 0\n", "line 4:"},
        {"keyboard\nflash-kib 256\n", "line 2:"},
        {"keyboard\npid\n", "line 2:"},
        {"keyboard\npid 1 2\n", "line 2:"},
        {"keyboard\nvid 12abc\n", "line 2:"},
        {"keyboard\nvid -\n", "line 2:"},
        {"keyboard\nvid 0x\n", "line 2:"},
        {"keyboard\nfrobnicate\n", "line 2:"},
        {"keyboard\nisp sideways\n", "line 2:"},
        {"keyboard\nversion 0123456789012345678901234567890123456789012345678901234567890\n", "line 2:"},
        {"keyboard\nprofile-record 1 2 3\n", "line 2:"},
        {"keyboard\nbusy warp-drive polls 1\n", "line 2:"},
        {"keyboard\nbusy reset jiffies 1\n", "line 2:"},
        {"keyboard\ninterface length 65\n", "line 2:"},
        {"keyboard\ninterface usage\n", "line 2:"},
        {"fault status reset 1\n", "line 1:"},               // command fault without a keyboard
        {"keyboard\nfault status reset\n", "line 2:"},
        {"keyboard\nfault status reset 1 times 0\n", "line 2:"},
        {"keyboard\nfault remove reset at\n", "line 2:"},
        {"fault missing everything\n", "line 1:"},
        {"fault lightning\n", "line 1:"},
        {"option turbo\n", "line 1:"},
        {"event arrival hid\n", "line 1:"},
        {"event arrival {not-a-guid} x\n", "line 1:"},
        {"keyboard a b\n", "line 1:"},
        {"keyboard\r\nvid 99999999999999999999999\r\n", "line 2:"},
        {"keyboard\nport 1\n", "line 2:"},                  // a bus without a port
        {"keyboard\nport 1-\n", "line 2:"},
        {"keyboard\nport 1-2..3\n", "line 2:"},
        {"keyboard\nport usb1-2\n", "line 2:"},
        {"keyboard\nplugged maybe\n", "line 2:"},
        {"keyboard a\nat 1 s plug b\n", "line 2:"},         // no such keyboard
        {"at 1 s plug a\nkeyboard a\n", "line 1:"},         // named before it is declared
        {"keyboard a\nat 1.2345 s plug a\n", "line 2:"},    // below a millisecond
        {"keyboard a\nat 3600.001 s plug a\n", "line 2:"},
        {"keyboard a\nat -1 s plug a\n", "line 2:"},
        {"keyboard a\nat 1. s plug a\n", "line 2:"},
        {"keyboard a\nat 1 plug a\n", "line 2:"},           // no unit
        {"keyboard a\nat 1 s unplug a at 1-2\n", "line 2:"},  // unplugging has no place
        {"keyboard a\nat 1 s plug a at 1-2 now\n", "line 2:"},
        {"keyboard a\nat 1 s plug a to 1-2\n", "line 2:"},
        {"keyboard a\nat 1 s plug a at 1.2\n", "line 2:"},
        {"keyboard a\nat 1 s wiggle a\n", "line 2:"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parseScenario(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.line, 0), 0u) << c.text << " -> " << error;
    }
}

TEST(SimScenario, EmptyTextIsAnEmptyBus) {
    std::string error;
    auto s = parseScenario("", error);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->keyboards.empty());
}

TEST(SimScenario, HostileInputNeverCrashes) {
    // Mutations of the built-ins and random bytes: parsing must fail cleanly or
    // give a scenario the simulator can be built from.
    std::mt19937 rng(12345);
    std::vector<std::string> seeds;
    for (const auto& name : builtinScenarioNames()) {
        auto s = builtinScenario(name);
        ASSERT_TRUE(s) << name;
    }
    seeds.push_back("keyboard\nfault status write-block 242 offset 0x40 times 2\nbusy reset polls 3\n");
    seeds.push_back("keyboard x\ninterface path p usage 0x80 length 8 mi 3\nevent arrival hid p after-ms 1\n");
    seeds.push_back("keyboard x\nport 1-2\nplugged no\nat 0.5 s plug x at 2-1.3\nat 1 s unplug x\n");
    const char alphabet[] = "keyboard vid pid 0x0123456789ABCDEF \n#-fault status times at offset always";
    for (int round = 0; round < 3000; ++round) {
        std::string text = seeds[static_cast<std::size_t>(round) % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            std::size_t pos = text.empty() ? 0 : rng() % text.size();
            switch (rng() % 3) {
            case 0: text.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
            case 1: if (!text.empty()) text.erase(pos, 1); break;
            default: text.insert(pos, 1, static_cast<char>(rng() % 256)); break;
            }
        }
        std::string error;
        auto s = parseScenario(text, error);
        if (s) {
            SimBackend sim(*s);
            EXPECT_EQ(sim.keyboardCount(), s->keyboards.size());
        } else {
            EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        }
    }
}

TEST(SimScenario, BuiltinsDescribeTheirKeyboards) {
    auto names = builtinScenarioNames();
    for (const char* required : {"default", "two-keyboards", "legacy", "paged", "isp-boot", "demo", "station-demo"})
        EXPECT_NE(std::find(names.begin(), names.end(), required), names.end()) << required;

    auto d = builtinScenario("default");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->keyboards.size(), 1u);
    EXPECT_EQ(d->keyboards[0].vid, 0x0F39);
    EXPECT_EQ(d->keyboards[0].pid, 0x0641);
    EXPECT_EQ(d->keyboards[0].flashKiB, 64);
    EXPECT_EQ(d->keyboards[0].isp, IspStyle::Separate);
    EXPECT_EQ(d->keyboards[0].ispPid, 0x0001);

    auto paged = builtinScenario("paged");
    ASSERT_TRUE(paged);
    EXPECT_EQ(paged->keyboards[0].flashKiB, 128);
    EXPECT_EQ(paged->keyboards[0].gotoPageStatus, 241);

    auto boot = builtinScenario("isp-boot");
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->keyboards[0].isp, IspStyle::SamePath);
    EXPECT_EQ(boot->keyboards[0].bootFlashKiB, 4);

    auto legacy = builtinScenario("legacy");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(legacy->keyboards[0].vid, 0x0404);
    EXPECT_EQ(legacy->keyboards[0].pid, 0x0322);
    EXPECT_TRUE(legacy->keyboards[0].legacy);

    EXPECT_FALSE(builtinScenario("no-such-thing"));
}

TEST(SimScenario, SettingChoosesFileBuiltinOrNothing) {
    std::string error;
    EXPECT_EQ(simulatorFromSetting("", error), nullptr);
    EXPECT_TRUE(error.empty());

    auto sim = simulatorFromSetting("two-keyboards", error);
    ASSERT_NE(sim, nullptr) << error;
    EXPECT_EQ(sim->keyboardCount(), 2u);

    EXPECT_EQ(simulatorFromSetting("mystery", error), nullptr);
    EXPECT_NE(error.find("mystery"), std::string::npos);

    auto dir = std::filesystem::temp_directory_path();
    auto good = dir / ("vantel-sim-good-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".txt");
    auto bad = dir / ("vantel-sim-bad-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".txt");
    std::ofstream(good) << "keyboard\npid 0x0875\nkeyboard\npid 0x0876\nkeyboard\n";
    std::ofstream(bad) << "keyboard\n\nwobble\n";
    sim = simulatorFromSetting(good.string(), error);
    ASSERT_NE(sim, nullptr) << error;
    EXPECT_EQ(sim->keyboardCount(), 3u);
    EXPECT_EQ(sim->keyboard(1).pid(), 0x0876);
    EXPECT_EQ(simulatorFromSetting(bad.string(), error), nullptr);
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    std::filesystem::remove(good);
    std::filesystem::remove(bad);
}

TEST(SimScenario, ScenarioEventsAreDelivered) {
    std::string error;
    auto s = parseScenario("event arrival failure-signal \\\\?\\signal after-ms 1\n", error);
    ASSERT_TRUE(s) << error;
    EventLog log;
    SimBackend sim(*s);
    sim.setDeviceEventSink(&log);
    ASSERT_TRUE(sim.flushScheduled(2000));
    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].classGuid, kFailureSignalClass);
    sim.setDeviceEventSink(nullptr);
}

// Timed lines count from construction, not from the receiver; a plug of a
// keyboard that is there changes nothing; a plug at another port moves it.
TEST(SimScenario, TimedPlugsAreDeliveredInOrder) {
    std::string error;
    auto s = parseScenario(
        "keyboard kb1\nport 1-1\n"
        "keyboard kb2\nport 1-2\nplugged no\n"
        "at 600 s plug kb2\n"
        "at 700 s plug kb2\n"           // already there
        "at 800 s unplug kb1\n"
        "at 900 s plug kb1 at 2-1\n",
        error);
    ASSERT_TRUE(s) << error;
    SimBackend sim(*s);
    SimKeyboard& kb1 = sim.keyboard(0);
    SimKeyboard& kb2 = sim.keyboard(1);
    EXPECT_TRUE(kb1.present());
    EXPECT_FALSE(kb2.present());
    EXPECT_EQ(sim.pendingEvents(), 4u) << "the timeline is armed without a receiver";
    const std::string path1 = kb1.path();
    EventLog log;
    sim.setDeviceEventSink(&log);
    ASSERT_TRUE(sim.flushScheduled(2000));
    sim.setDeviceEventSink(nullptr);

    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(EventLog::name(events[0]), kb2.path());
    EXPECT_EQ(events[1].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(EventLog::name(events[1]), path1);
    EXPECT_EQ(events[2].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(EventLog::name(events[2]), path1) << "moved, it keeps its paths";
    EXPECT_EQ(sim.portOf(path1), "2-1");
    EXPECT_EQ(sim.portOf(kb2.path()), "1-2");
}

TEST(SimScenario, DocumentedExampleRuns) {
    std::string error;
    auto s = parseScenario(
        "keyboard big\n"
        "  vid 0x0F39\n  pid 0x0875\n  flash-kib 128\n  isp separate\n  goto-page-status 241\n"
        "  busy chip-erase polls 20\n"
        "  fault status write-block 242 offset 0x11200 times 2\n"
        "device mouse\n  vid 0x046D\n  pid 0xC077\n  interface usage-page 1 usage 2 length 0\n",
        error);
    ASSERT_TRUE(s) << error;
    SimBackend sim(*s);
    ASSERT_EQ(sim.keyboardCount(), 2u);
    EXPECT_EQ(sim.findKeyboard("mouse")->spec().interfaces[0].featureLength, 0);
    Host host(sim);
    EXPECT_EQ(host.status(0xA2, {0}), 241);
}
