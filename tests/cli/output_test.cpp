// What vantel-cli prints and which exit code an outcome gives.

#include <gtest/gtest.h>

#include <sstream>

#include "cli/output.h"
#include "cli/session.h"
#include "cli/trace_backend.h"
#include "json_reader.h"

namespace vantel::cli {
namespace {

using test::Json;
using test::JsonReader;

// ---- JSON ---------------------------------------------------------------

TEST(CliJson, DeviceListParsesBackWithEveryField) {
    const std::vector<ListedDevice> devices = {
        {0, "RX-431", 0x0F39, 0x0641, "\\\\?\\hid#vid_0f39&pid_0641#{4d1e}", 8, false, "/dev/hidraw3", "1-2.3", 1, true, ""},
        {1, "VID: 0x0404, PID: 0x1234", 0x0404, 0x1234, "/dev/hidraw7", 9, true, "", "", -1, true, ""},
        {-1, "RX-430", 0x0F39, 0x0825, "p", 8, false, "/dev/hidraw9", "3-1", 0, false, "Permission denied"},
    };
    const Json list = JsonReader::parse(devicesJson(devices));
    ASSERT_EQ(list.type, Json::Type::Array);
    ASSERT_EQ(list.array.size(), 3u);
    EXPECT_EQ(list[0]["index"].number, 0);
    EXPECT_EQ(list[0]["name"].string, "RX-431");
    EXPECT_EQ(list[0]["vid"].number, 0x0F39);
    EXPECT_EQ(list[0]["pid"].number, 0x0641);
    EXPECT_EQ(list[0]["path"].string, devices[0].path);  // backslashes survive
    EXPECT_EQ(list[0]["reportLength"].number, 8);
    EXPECT_FALSE(list[0]["legacy"].boolean);
    EXPECT_EQ(list[0]["node"].string, "/dev/hidraw3");
    EXPECT_EQ(list[0]["port"].string, "1-2.3");
    EXPECT_EQ(list[0]["interface"].number, 1);
    EXPECT_TRUE(list[0]["accessible"].boolean);
    EXPECT_FALSE(list[0].has("error"));
    EXPECT_EQ(list[1]["index"].number, 1);
    EXPECT_EQ(list[1]["name"].string, "VID: 0x0404, PID: 0x1234");
    EXPECT_TRUE(list[1]["legacy"].boolean);
    EXPECT_EQ(list[1]["reportLength"].number, 9);
    EXPECT_EQ(list[1]["node"].type, Json::Type::Null);
    EXPECT_EQ(list[1]["interface"].type, Json::Type::Null);
    EXPECT_EQ(list[2]["index"].type, Json::Type::Null);
    EXPECT_FALSE(list[2]["accessible"].boolean);
    EXPECT_EQ(list[2]["error"].string, "Permission denied");

    EXPECT_EQ(JsonReader::parse(devicesJson({})).array.size(), 0u);
}

TEST(CliJson, StringsWithQuotesControlsAndHighBytesRoundTrip) {
    const std::string nasty = std::string("a\"b\\c\nd\re\tf") + '\x01' + '\x7F' + "\xC3\xA9";
    const Json parsed = JsonReader::parse(jsonString(nasty));
    EXPECT_EQ(parsed.string, nasty);
    // No raw control character is left in the output.
    for (char c : jsonString(nasty)) EXPECT_GE(static_cast<unsigned char>(c), 0x20u);
}

TEST(CliJson, BytesThatAreNotUtf8BecomeLatin1Escapes) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"\xFA", "\"\\u00fa\""},                         // a lone high byte
        {"\xC3\xA9", "\"\xC3\xA9\""},                     // well-formed: kept
        {"\xC3", "\"\\u00c3\""},                         // cut short
        {"\xC0\x80", "\"\\u00c0\\u0080\""},             // overlong
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},  // a surrogate
        {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // above U+10FFFF
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
    };
    for (const auto& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << hexBytes(c.in);
    EXPECT_EQ(hexBytes(std::string("\x7B\x6A\x00\xFA", 4)), "7B 6A 00 FA");
}

TEST(CliText, DeviceListShowsIdsInHexAndTheLegacyFlag) {
    const std::string text = devicesText({{0, "RX-401", 0x0404, 0x0322, "p1", 9, true, "/dev/hidraw1", "1-2", 0, true, ""},
                                          {1, "ISP Mode", 0x0F39, 0x0001, "/dev/hidraw2", 8, false, "", "", -1, true, ""},
                                          {-1, "RX-431", 0x0F39, 0x0641, "p3", 8, false, "/dev/hidraw3", "", -1, false, "x"}});
    EXPECT_NE(text.find("0  RX-401    0404:0322  report 9  legacy  /dev/hidraw1  port 1-2 interface 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("1  ISP Mode  0F39:0001  report 8  /dev/hidraw2\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("hidraw3"), std::string::npos) << "only the keyboards that open are listed";
    EXPECT_EQ(devicesText({}), "No keyboard found.\n");
    EXPECT_EQ(devicesText({{-1, "RX-431", 0x0F39, 0x0641, "p3", 8, false, "/dev/hidraw3", "", -1, false, "x"}}),
              "No keyboard found.\n");
}

// ---- Progress display ---------------------------------------------------

TEST(CliProgress, PlainOutputPrintsEachStatusOnceAndTenPercentSteps) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, false);
    d.status("Checking Profile");
    d.status("Checking Profile");  // repeated: not printed again
    d.status("");                  // emptied: nothing to print
    d.progressRange(0, 100);
    for (int pos : {0, 3, 9, 10, 12, 25, 25, 98, 1550, 100}) d.progress(pos);
    d.status("Reset success");
    d.message("Update successfully!");
    d.finish();
    EXPECT_EQ(progress.str(),
              "Checking Profile\n"
              "progress 10%\n"
              "progress 20%\n"
              "progress 90%\n"
              "progress 100%\n"  // 1550 is held at the top of the range, like the bar
              "Reset success\n");
    EXPECT_EQ(results.str(), "Update successfully!\n");
}

TEST(CliProgress, PlainOutputStartsAgainForASecondRun) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, false);
    d.progress(55);
    d.progress(0);
    d.progress(15);
    EXPECT_EQ(progress.str(), "progress 50%\nprogress 10%\n");
}

TEST(CliProgress, PlainOutputFollowsTheRangeOfTheBar) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, false);
    d.progressRange(0, 200);
    d.progress(100);
    d.progressRange(0, 0);  // an empty range shows nothing
    d.progress(5);
    EXPECT_EQ(progress.str(), "progress 50%\n");
}

TEST(CliProgress, TerminalRedrawsOneLineAndKeepsMessagesOnTheirOwn) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, true, 60);
    d.status("Start firmware update");
    d.progress(50);
    d.progress(50);  // unchanged: not drawn again
    d.message("Update successfully!");
    d.finish();
    const std::string out = progress.str();
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "only the final line break";
    EXPECT_NE(out.find("\r[....................]   0%  Start firmware update"), std::string::npos);
    EXPECT_NE(out.find("[##########..........]  50%  Start firmware update\x1b[K"), std::string::npos);
    EXPECT_EQ(out.find("50%  Start firmware update\x1b[K\r["), std::string::npos) << "redrawn unchanged";
    EXPECT_NE(out.find("\r\x1b[K"), std::string::npos) << "line cleared before the message";
    EXPECT_EQ(results.str(), "Update successfully!\n");
    for (std::size_t start = 0; start < out.size();) {
        std::size_t end = out.find('\r', start + 1);
        if (end == std::string::npos) end = out.size();
        EXPECT_LE(end - start, 60u + 8u) << "a line wider than the terminal";
        start = end;
    }
}

TEST(CliProgress, TraceLinesGoAboveTheRedrawnLine) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, true);
    d.status("Chip Erase");
    d.note("[   0.001] SET #1  01 EA");
    EXPECT_NE(progress.str().find("Chip Erase\x1b[K\r\x1b[K[   0.001] SET #1  01 EA\n\r[...................."),
              std::string::npos)
        << progress.str();

    std::ostringstream plain, plainResults;
    ProgressDisplay p(plain, plainResults, false);
    p.note("line");
    EXPECT_EQ(plain.str(), "line\n");
}

TEST(CliProgress, WithoutABarTheTerminalShowsTheStatusAlone) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, true);
    d.setShowBar(false);
    d.status("Enter testing mode");
    EXPECT_EQ(progress.str(), "\rEnter testing mode\x1b[K");
}

TEST(CliProgress, WithoutEscapeSequencesAShorterLineBlanksTheLongerOne) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, true, 80, false);
    d.setShowBar(false);
    d.status("Enter testing mode");
    d.status("Done");
    d.message("ok");
    EXPECT_EQ(progress.str(), "\rEnter testing mode"
                              "\rDone              "      // padded to the old length
                              "\r    \r"                  // cleared before the message
                              "\rDone");                  // and drawn again below it
    EXPECT_EQ(progress.str().find('\x1b'), std::string::npos);
    EXPECT_EQ(results.str(), "ok\n");
}

TEST(CliProgress, QuietShowsOnlyResultsAndVerboseStampsEveryStatus) {
    std::ostringstream progress, results, events;
    JsonEvents json(events);
    ProgressDisplay quiet(progress, results, true, 40);
    quiet.setDetail(ProgressDisplay::Detail::Quiet);
    quiet.setEvents(&json);
    quiet.status("Chip Erase fail");
    quiet.progress(50);
    quiet.detail("1. Retried 3 times");
    quiet.result("Chip Erase fail");
    quiet.finish();
    EXPECT_EQ(progress.str(), "");
    EXPECT_EQ(results.str(), "Chip Erase fail\n");
    EXPECT_EQ(events.str(), "{\"event\":\"status\",\"text\":\"Chip Erase fail\"}\n"
                            "{\"event\":\"progress\",\"percent\":50}\n"
                            "{\"event\":\"message\",\"text\":\"1. Retried 3 times\"}\n"
                            "{\"event\":\"message\",\"text\":\"Chip Erase fail\"}\n")
        << "the events do not depend on what the screen shows";

    std::ostringstream plain, plainResults;
    std::int64_t now = 5000;
    ProgressDisplay verbose(plain, plainResults, false);
    verbose.setDetail(ProgressDisplay::Detail::Verbose, [&now] { return now; });
    verbose.status("Chip Erase");
    now = 6250;
    verbose.status("Chip Erase");  // every text, repeated ones too
    EXPECT_EQ(plain.str(), "[   0.000] Chip Erase\n[   1.250] Chip Erase\n");
}

TEST(CliProgress, TheWaitCountsDownBesideTheStatus) {
    std::ostringstream progress, results;
    ProgressDisplay d(progress, results, true, 80);
    d.setShowBar(false);
    d.status("Enter ISP mode success. Waiting for the Windows to detect it.");
    d.countdown(120);
    d.countdown(119);
    d.countdown(-1);
    const std::string out = progress.str();
    EXPECT_NE(out.find("detect it. (120 s left)\x1b[K"), std::string::npos) << out;
    EXPECT_NE(out.find("detect it. (119 s left)\x1b[K"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.rfind('\r')), "\rEnter ISP mode success. Waiting for the Windows to detect it.\x1b[K");
}

TEST(CliProgress, BarCells) {
    EXPECT_EQ(progressBar(0, 10), "[..........]   0%");
    EXPECT_EQ(progressBar(35, 10), "[###.......]  35%");
    EXPECT_EQ(progressBar(100, 10), "[##########] 100%");
    EXPECT_EQ(progressBar(250, 10), "[##########] 100%");
    EXPECT_EQ(progressBar(-5, 10), "[..........]   0%");
}

// ---- Exit codes ---------------------------------------------------------

ReportedOutcome final(Outcome o) { return {o, true}; }
ReportedOutcome more(Outcome o) { return {o, false}; }

TEST(CliExitCodes, FlashSucceedsOnlyOnAFinalResultOfSuccess) {
    RunRecord run;
    run.outcomes = {more(Outcome::NoDevice), final(Outcome::Success)};
    EXPECT_EQ(flashExitCode(run), EXIT_OK) << "a reopen box on the way does not spoil a good update";

    run.outcomes = {more(Outcome::Success)};
    EXPECT_EQ(flashExitCode(run), EXIT_INTERNAL) << "a version shown before the download is no result";

    run.outcomes = {};
    EXPECT_EQ(flashExitCode(run), EXIT_INTERNAL);
}

TEST(CliExitCodes, TheFirstFailureDecidesNotTheRecoveryAfterIt) {
    RunRecord run;
    run.outcomes = {more(Outcome::KeyboardRefused), more(Outcome::WriteFailed)};
    EXPECT_EQ(flashExitCode(run), EXIT_KEYBOARD_REFUSED);

    run.outcomes = {final(Outcome::FileRejected), more(Outcome::WriteFailed)};
    EXPECT_EQ(flashExitCode(run), EXIT_FILE_REJECTED);
}

TEST(CliExitCodes, VersionTestModeAndFactoryReset) {
    RunRecord run;
    std::string version;
    run.texts = {{"S5301V10", false, false}};
    run.outcomes = {more(Outcome::Success)};
    EXPECT_EQ(versionExitCode(run, version), EXIT_OK);
    EXPECT_EQ(version, "S5301V10");

    run.outcomes = {more(Outcome::KeyboardRefused)};
    EXPECT_EQ(versionExitCode(run, version), EXIT_KEYBOARD_REFUSED);

    run = {};
    EXPECT_EQ(testModeExitCode(run), EXIT_INTERNAL) << "nothing reported";
    run.outcomes = {final(Outcome::NoDevice)};
    EXPECT_EQ(factoryResetExitCode(run), EXIT_NO_DEVICE);
}

TEST(CliKeyboardState, FollowsTheStepsTheFlashWentThrough) {
    const std::string entered = "Enter ISP mode success. Waiting for the Windows to detect it.";
    struct Case {
        std::vector<std::string> statuses;
        bool startedInIsp;
        int exit;
        KeyboardState state;
    };
    const std::vector<Case> cases = {
        {{"Entering ISP mode...", "Enter ISP mode fail"}, false, EXIT_KEYBOARD_REFUSED, KeyboardState::Untouched},
        {{}, false, EXIT_FILE_REJECTED, KeyboardState::Untouched},
        {{"Entering ISP mode...", entered}, false, EXIT_ISP_TIMEOUT, KeyboardState::BootLoaderIntact},
        {{}, true, EXIT_NO_DEVICE, KeyboardState::BootLoaderIntact},
        // The boot loader refused the profile; the recovery reset took the keyboard back.
        {{entered, "Checking Profile", "Reset success"}, false, EXIT_KEYBOARD_REFUSED, KeyboardState::Untouched},
        {{entered, "Checking Profile", "Reset fail 2"}, false, EXIT_KEYBOARD_REFUSED, KeyboardState::BootLoaderIntact},
        {{entered, "Checking Profile", "Profile match", "Chip Erase", "Chip Erase fail", "Reset success"}, false,
         EXIT_WRITE_FAILED, KeyboardState::BootLoaderErased},
        {{entered, "Chip Erase", "Chip Erase success", "Start firmware update", "Firmware update fail: 5"}, false,
         EXIT_WRITE_FAILED, KeyboardState::BootLoaderErased},
        {{entered, "Chip Erase", "Start firmware update", "Firmware update success", "Start Reset", "Reset fail"},
         false, EXIT_WRITE_FAILED, KeyboardState::WrittenUnconfirmed},
        {{entered, "Chip Erase", "Start firmware update", "Firmware update success", "Reset success"}, false,
         EXIT_VERSION_UNCONFIRMED, KeyboardState::WrittenUnconfirmed},
        {{entered, "Chip Erase", "Start firmware update", "Firmware update success", "Reset success"}, false,
         EXIT_OK, KeyboardState::Updated},
    };
    for (const auto& c : cases) {
        RunRecord run;
        run.statuses = c.statuses;
        run.startedInIsp = c.startedInIsp;
        EXPECT_EQ(keyboardState(run, c.exit), c.state)
            << keyboardStateKey(c.state) << " after " << (c.statuses.empty() ? "" : c.statuses.back());
    }
}

// ---- Device choice ------------------------------------------------------

DeviceTable tableOf(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ids) {
    DeviceTable t;
    for (const auto& [vid, pid] : ids) {
        t.entries[t.count].vid = vid;
        t.entries[t.count].pid = pid;
        t.entries[t.count].path = "path" + std::to_string(t.count);
        ++t.count;
    }
    return t;
}

TEST(CliDeviceChoice, ByIndexAndByIds) {
    const DeviceTable t = tableOf({{0x0F39, 0x0641}, {0x0F39, 0x0825}, {0x1188, 0xAE01}});
    const std::vector<std::string> names = {"RX-431", "RX-430", "RX-437"};
    Options o;
    EXPECT_FALSE(chooseDevice(o, t, names, false).index) << "nothing asked: discovery's choice stays";

    o.deviceIndex = 2;
    EXPECT_EQ(chooseDevice(o, t, names, false).index, 2);
    o.deviceIndex = 3;
    auto s = chooseDevice(o, t, names, false);
    EXPECT_FALSE(s.index);
    EXPECT_EQ(s.error, "no keyboard with index 3 (3 listed)");

    o = {};
    o.vid = 0x0F39;
    o.pid = 0x0825;
    EXPECT_EQ(chooseDevice(o, t, names, false).index, 1);
    o.pid.reset();
    EXPECT_EQ(chooseDevice(o, t, names, false).index, 0) << "the first of that vendor";
    o = {};
    o.pid = 0xAE01;
    EXPECT_EQ(chooseDevice(o, t, names, false).index, 2);
}

TEST(CliDeviceChoice, ACommandThatChangesAKeyboardDoesNotGuessWhichOne) {
    const DeviceTable t = tableOf({{0x0F39, 0x0641}, {0x0F39, 0x0641}, {0x1188, 0xAE01}});
    const std::vector<std::string> names = {"RX-431", "RX-431", "RX-437"};
    Options o;
    for (Command c : {Command::Flash, Command::TestMode, Command::FactoryReset, Command::Version}) {
        o = {};
        o.command = c;
        const bool changes = c != Command::Version;
        auto s = chooseDevice(o, t, names, false);
        EXPECT_FALSE(s.index) << commandName(c);
        EXPECT_EQ(s.ambiguous, changes) << commandName(c);
        if (changes) {
            EXPECT_EQ(s.error.substr(0, s.error.find('\n')),
                      "3 keyboards are listed; choose one with -d, --vid/--pid, --path or --port:");
            EXPECT_NE(s.error.find("\n  2  RX-437  1188:AE01  path2"), std::string::npos) << s.error;
        }
        // Two of one model: the IDs do not settle it either, except for the host's own choice.
        o.vid = 0x0F39;
        o.pid = 0x0641;
        s = chooseDevice(o, t, names, false);
        EXPECT_EQ(s.ambiguous, changes) << commandName(c);
        EXPECT_EQ(s.index.has_value(), !changes);
        s = chooseDevice(o, t, names, true);
        EXPECT_EQ(s.index, 0);
        // Named outright, one of them is taken.
        o.pid = 0xAE01;
        o.vid.reset();
        EXPECT_EQ(chooseDevice(o, t, names, false).index, 2);
    }
    // Alone, a keyboard needs no name.
    o = {};
    o.command = Command::Flash;
    const DeviceTable one = tableOf({{0x0F39, 0x0641}});
    EXPECT_TRUE(chooseDevice(o, one, {"RX-431"}, false).error.empty());
}

TEST(CliDeviceChoice, AKeyboardAlreadyInIspModeStandsInForItsModel) {
    const DeviceTable t = tableOf({{0x1188, 0xAE01}, {0x0F39, 0x0001}});
    const std::vector<std::string> names = {"RX-437", "ISP Mode"};
    Options o;
    o.vid = 0x0F39;
    o.pid = 0x0641;
    // Outside a host-driven run the keyboard in ISP mode is named, not taken.
    auto s = chooseDevice(o, t, names, false);
    EXPECT_FALSE(s.index);
    EXPECT_EQ(s.error, "no keyboard with VID 0F39, PID 0641; a keyboard in ISP mode is listed: choose it with -d 1");
    o.command = Command::Flash;
    s = chooseDevice(o, t, names, true);
    EXPECT_EQ(s.index, std::nullopt) << "the download itself takes it, by model";
    EXPECT_NE(s.note.find("ISP mode"), std::string::npos);
    EXPECT_TRUE(s.error.empty());
    o.command = Command::None;

    o.vid = 0x24F0;  // no ISP device of this vendor
    s = chooseDevice(o, t, names, false);
    EXPECT_FALSE(s.index);
    EXPECT_EQ(s.error, "no keyboard with VID 24F0, PID 0641");

    // A host-driven run leaves the choice to the download, which reports a missing model itself.
    s = chooseDevice(o, t, names, true);
    EXPECT_FALSE(s.index);
    EXPECT_TRUE(s.error.empty());
}

TEST(CliDeviceChoice, HostDrivenCommandLine) {
    Options o;
    o.file = "C:\\fw\\a.bin";
    o.resultPath = "out.txt";
    EXPECT_EQ(hostDrivenArguments(o), (std::vector<std::string>{"C:\\fw\\a.bin", "out.txt"}));
    o.vid = 0x0F39;
    EXPECT_EQ(hostDrivenArguments(o).size(), 2u) << "the IDs go along only as a pair";
    o.pid = 0x0641;
    EXPECT_EQ(hostDrivenArguments(o),
              (std::vector<std::string>{"C:\\fw\\a.bin", "out.txt", "0F39", "0641"}));
    o.port = "1-2";
    EXPECT_EQ(hostDrivenArguments(o).size(), 2u) << "the keyboard at the port is the one chosen";
}

TEST(CliDeviceChoice, NewIspInterfacesAreThoseThatAppeared) {
    const std::vector<std::string> before = {"hid#vid_0f39&pid_0641&mi_01", "hid#vid_0f39&pid_0001#old"};
    const std::vector<std::string> now = {"hid#vid_0f39&pid_0001#old", "hid#vid_0f39&pid_0001#new",
                                          "hid#vid_0f39&pid_0000#zero", "hid#vid_0f39&pid_0825"};
    EXPECT_EQ(newIspInterfaces(before, now),
              (std::vector<std::string>{"hid#vid_0f39&pid_0001#new", "hid#vid_0f39&pid_0000#zero"}));
    EXPECT_TRUE(newIspInterfaces(now, now).empty());
}

// ---- Trace --------------------------------------------------------------

TEST(CliTrace, LineFormat) {
    const std::uint8_t report[] = {0x01, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0x00, 0x00};
    EXPECT_EQ(traceLine(12345, "SET", 257, report, sizeof report, true),
              "[  12.345] SET #257  01 EA 03 F0 01 18 00 00");
    EXPECT_EQ(traceLine(7, "GET", 3, report, 1, false), "[   0.007] GET #3  01  failed");
    EXPECT_EQ(traceLine(-5, "GET", 3, report, 0, true), "[   0.000] GET #3 ");
}

// A back end with one device that answers every read with a fixed report.
class OneReportBackend : public HidBackend {
public:
    bool loadHidLibrary() override { return true; }
    bool loadSetupLibrary() override { return true; }
    bool hidLibraryLoaded() const override { return true; }
    bool setupLibraryLoaded() const override { return true; }
    void releaseLibraries() override {}
    HidStatus hidGuid(Guid&) override { return HidStatus::Ok; }
    HidStatus getClassDevs(const Guid&, InterfaceSet& out) override {
        out = 1;
        return HidStatus::Ok;
    }
    HidStatus enumInterface(InterfaceSet, const Guid&, int) override { return HidStatus::Failed; }
    HidStatus interfaceDetail(InterfaceSet, const Guid&, int, std::string&) override {
        return HidStatus::Failed;
    }
    HidStatus destroyClassDevs(InterfaceSet) override { return HidStatus::Ok; }
    HidStatus open(const std::string& path, Access, HidHandle& out) override {
        if (path != "dev") return HidStatus::Failed;
        out = 9;
        return HidStatus::Ok;
    }
    void close(HidHandle) override { ++closes; }
    HidStatus attributes(HidHandle, HidAttributes&) override { return HidStatus::Ok; }
    HidStatus capabilities(HidHandle, HidCaps&) override { return HidStatus::Ok; }
    HidStatus setFeature(HidHandle, const std::uint8_t* report, std::size_t length) override {
        sent.assign(report, report + length);
        return failSets ? HidStatus::Failed : HidStatus::Ok;
    }
    HidStatus getFeature(HidHandle, std::uint8_t* buffer, std::size_t length) override {
        if (failGets) return HidStatus::Failed;
        for (std::size_t i = 1; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(0xA0 + i);
        return HidStatus::Ok;
    }
    std::vector<std::uint8_t> sent;
    bool failSets = false;
    bool failGets = false;
    int closes = 0;
};

TEST(CliTrace, PassesEveryCallThroughAndLogsReportsWithTheirTimes) {
    OneReportBackend inner;
    std::ostringstream log;
    std::int64_t now = 1000;
    TracingBackend tracer(inner, log, [&now] { return now; });

    HidHandle h = kNoHandle;
    ASSERT_EQ(tracer.open("dev", Access::Write, h), HidStatus::Ok);
    EXPECT_EQ(h, 9);
    EXPECT_EQ(tracer.open("gone", Access::Write, h), HidStatus::Failed);
    now = 1250;
    const std::uint8_t report[] = {0x01, 0xEA, 0x02, 0xB0, 0x58, 0x00, 0x00, 0x00};
    EXPECT_EQ(tracer.setFeature(9, report, sizeof report), HidStatus::Ok);
    EXPECT_EQ(inner.sent, std::vector<std::uint8_t>(report, report + sizeof report));
    std::uint8_t buffer[4] = {0x01, 0, 0, 0};
    EXPECT_EQ(tracer.getFeature(9, buffer, sizeof buffer), HidStatus::Ok);
    EXPECT_EQ(buffer[3], 0xA3) << "the caller gets the inner back end's bytes";
    inner.failGets = true;
    now = 61001;
    EXPECT_EQ(tracer.getFeature(9, buffer, sizeof buffer), HidStatus::Failed);
    tracer.close(9);
    EXPECT_EQ(inner.closes, 1);

    EXPECT_EQ(log.str(),
              "[   0.000] OPEN dev -> #9\n"
              "[   0.000] OPEN gone  failed\n"
              "[   0.250] SET #9  01 EA 02 B0 58 00 00 00\n"
              "[   0.250] GET #9  01 A1 A2 A3\n"
              "[  60.001] GET #9  01  failed\n"
              "[  60.001] CLOSE #9\n");
}

}  // namespace
}  // namespace vantel::cli
