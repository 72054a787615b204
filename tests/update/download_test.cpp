// The Download command, the timers, the device-change handler, the version
// query and the manual ISP entry on a synchronous window. Paths that start the
// worker thread are covered end to end on the headless window.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "link/commands.h"
#include "link/discovery.h"
#include "link/link.h"
#include "mini_keyboard.h"
#include "support/fake_window.h"
#include "support/journal.h"
#include "support/temp_dir.h"
#include "update/updater.h"
#include "update_fixture.h"

namespace vantel::test {
namespace {

const char* const kAppPath = "\\\\?\\hid#vid_0f39&pid_0641#1";
const char* const kOtherPath = "\\\\?\\hid#vid_0f39&pid_0875#2";
const char* const kIspPath = "\\\\?\\hid#vid_0f39&pid_0001#3";
const char* const kLegacyPath = "\\\\?\\hid#vid_0404&pid_0322&mi_00#4";

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLinkBackend(&kb);
        window.journal = &journal;
    }
    void TearDown() override {
        closeLink();
        EXPECT_TRUE(waitForReadersToEnd(5000));
        setLinkBackend(nullptr);
    }

    void discover() { discoverDevices(table, window.list, -1, running); }
    void setPath(const std::string& p) { window.texts[IDC_FIRMWARE_PATH] = p; }
    std::string file(const std::string& name, const Bytes& bytes) { return dir.write(name, bytes); }
    bool handedOver() {
        return !window.isControlEnabled(IDC_BROWSE) && !window.isControlEnabled(IDC_DOWNLOAD) &&
               !window.isControlEnabled(IDC_GET_FW_VERSION) && !window.isControlEnabled(IDC_REFRESH);
    }
    std::vector<Request> requestsOf(std::uint8_t code) {
        std::vector<Request> out;
        for (const auto& r : kb.requests()) {
            if (r.code == code) out.push_back(r);
        }
        return out;
    }

    TimingGuard timingGuard{shortTiming()};
    MiniKeyboard kb;
    Journal journal;
    FakeWindow window;
    DeviceTable table;
    std::atomic<bool> running{false};
    DownloadState state;
    TestHost host{window, &journal};
    Updater updater{window, table, running, state, host};
    TempDir dir;
};

// --- Preconditions --------------------------------------------------------

TEST_F(DownloadTest, PreconditionsAreReportedBeforeAnythingIsOpened) {
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();  // nothing listed
    discover();
    window.list.selection = 0;
    setPath("");
    updater.OnDownload();
    setPath(dir.file("absent.bin"));
    updater.OnDownload();
    EXPECT_EQ(host.results(),
              (std::vector<Reported>{{"Please select a device first.", true},
                                     {"Please input a correct bin file name first", true},
                                     {"Can't open file " + dir.file("absent.bin") + ", error = 2!\n", true}}));
    EXPECT_TRUE(kb.opens().size() == 1);  // discovery's own open only
    EXPECT_TRUE(kb.requests().empty());
}

TEST_F(DownloadTest, InvalidFilesAreRefusedBeforeIspEntry) {
    discover();
    Bytes noIspMagic = ispImage(4096, busyByte);
    noIspMagic[4096 - 12] = 0;
    setPath(file("isp.bin", noIspMagic));
    updater.OnDownload();
    Bytes noMagic = applicationImage(65536, busyByte);
    noMagic[65536 - 16] = 0;
    setPath(file("app.bin", noMagic));
    updater.OnDownload();
    // A file without a whole head is refused too, before the keyboard is touched.
    setPath(file("short.bin", applicationImage(200, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(host.resultTexts(),
              (std::vector<std::string>{"The firmware file is not a valid ISP firmware file.",
                                        "The firmware file is not a valid firmware file.",
                                        "The firmware file is not for this keyboard.\nPlease use another firmware file."}));
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_FALSE(linkOpen());
}

// --- The ordinary application-image download ---------------------------------

TEST_F(DownloadTest, ApplicationImageWaitsForTheIspDevice) {
    discover();
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    timing().ispArrivalTimeoutMs = 120000;
    updater.OnDownload();
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::CHECK_PROFILE, opcode::SET_MODE_FLAG,
                                                     opcode::ENTER_ISP}));
    EXPECT_EQ(requestsOf(opcode::CHECK_PROFILE)[0].args, (Bytes{'G', 'F'}));
    EXPECT_EQ(requestsOf(opcode::SET_MODE_FLAG)[0].args, (Bytes{0}));
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Entering ISP mode...",
                                        "Enter ISP mode success. Waiting for the Windows to detect it."}));
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(handedOver());
    EXPECT_EQ(window.timers, (std::map<int, int>{{TIMER_ISP_TIMEOUT, 120000}}));
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(updater.workerThreadActive());
    EXPECT_FALSE(linkOpen());
    EXPECT_EQ(state.separateIspDevice, 1);
    EXPECT_EQ(state.ispEntrySent, 1);
    EXPECT_EQ(state.firmwarePath, dir.file("fw.bin"));
    EXPECT_EQ(window.posHistory, (std::vector<int>{0}));
}

TEST_F(DownloadTest, ProfileCodeFollowsTheTrailer) {
    discover();
    setPath(file("gl.bin", applicationImage(65536, busyByte, "GL")));
    updater.OnDownload();
    for (auto id : {IDC_BROWSE, IDC_DOWNLOAD, IDC_GET_FW_VERSION, IDC_REFRESH}) window.enableControl(id, true);
    setPath(file("cl.bin", applicationImage(65536, busyByte, "CL")));
    updater.OnDownload();
    const auto checks = requestsOf(opcode::CHECK_PROFILE);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].args, (Bytes{'G', 'L'}));
    EXPECT_EQ(checks[1].args, (Bytes{'C', 'L'}));
}

TEST_F(DownloadTest, TagProjectsSkipTheModeFlagOrTheProfileCheck) {
    discover();
    // 5309: tagFirst and tagAny -- no mode flag, no profile check for an application image.
    setPath(file("x5309.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::ENTER_ISP}));
    for (auto id : {IDC_BROWSE, IDC_DOWNLOAD, IDC_GET_FW_VERSION, IDC_REFRESH}) window.enableControl(id, true);
    // 5310: tagAny only -- the mode flag off is still sent.
    setPath(file("x5310.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::ENTER_ISP, opcode::SET_MODE_FLAG, opcode::ENTER_ISP}));
    // An ISP image is still checked under a tag project.
    setPath(file("y5310.bin", ispImage(4096, busyByte)));
    kb.script(opcode::CHECK_PROFILE, {st(4)});
    updater.OnDownload();
    EXPECT_EQ(kb.codes().back(), opcode::CHECK_PROFILE);
    EXPECT_EQ(kb.requests().back().args.size(), 10u);
}

TEST_F(DownloadTest, ProjectNumberAtPositionZeroDoesNotCount) {
    discover();
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    dir.write("5305fw.bin", applicationImage(65536, busyByte));
    setPath("5305fw.bin");  // relative: 5305 at position 0, and nowhere else
    updater.OnDownload();
    std::filesystem::current_path(saved);
    EXPECT_EQ(kb.count(opcode::GET_VERSION), 0);
    EXPECT_EQ(kb.codes().front(), opcode::CHECK_PROFILE);
}

// --- Version check -----------------------------------------------------------

TEST_F(DownloadTest, VersionCheckedProjectMustMatchTheKeyboard) {
    discover();
    kb.version = "S5306V10";
    setPath(file("p5305.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Firmware mismatch.\nNot allowed to download."}));
    EXPECT_EQ(window.boxes[0].caption, "USB Firmware Downloader");
    EXPECT_EQ(window.statusHistory, (std::vector<std::string>{"Getting FW Version"}));
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::GET_VERSION}));
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(linkOpen());  // left open on the selected entry

    kb.version = "S5305V10";
    updater.OnDownload();
    EXPECT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(kb.codes().back(), opcode::ENTER_ISP);
}

TEST_F(DownloadTest, UnreadableVersionFallsBackToGlThenClAndGoesOn) {
    discover();
    kb.script(opcode::GET_VERSION, {st(1)});
    kb.script(opcode::CHECK_PROFILE, {st(1), st(1)});
    setPath(file("p5308.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    const auto checks = requestsOf(opcode::CHECK_PROFILE);
    ASSERT_GE(checks.size(), 3u);
    EXPECT_EQ(checks[0].args, (Bytes{'G', 'L'}));
    EXPECT_EQ(checks[1].args, (Bytes{'C', 'L'}));
    EXPECT_EQ(checks[2].args, (Bytes{'G', 'F'}));  // the download's own check
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(handedOver());
}

TEST_F(DownloadTest, VersionReadAgainAfterAnAcceptedGlProfile) {
    discover();
    kb.script(opcode::GET_VERSION, {st(1)});
    kb.version = "S9999V10";
    setPath(file("p5304.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.count(opcode::GET_VERSION), 2);
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Firmware mismatch.\nNot allowed to download."}));
}

TEST_F(DownloadTest, LegacyKeyboardOnlyShowsItsVersion) {
    kb.interfaces = {{kLegacyPath, 0x0404, 0x0322, 0x0001, 8}};
    kb.legacyVersion = "V1.05";
    discover();
    ASSERT_EQ(table.count, 1u);
    setPath(file("p5307.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"V1.05"}));
    EXPECT_FALSE(linkOpen());
    ASSERT_EQ(kb.legacyReports().size(), 1u);
    EXPECT_EQ(kb.legacyReports()[0][2], 'V');
    EXPECT_TRUE(host.results().empty());
}

TEST_F(DownloadTest, LegacyKeyboardSkipsProfileAndSizeChecks) {
    kb.interfaces = {{kLegacyPath, 0x0404, 0x0322, 0x0001, 8}};
    discover();
    setPath(file("fw.bin", applicationImage(12345, busyByte)));
    updater.OnDownload();
    ASSERT_EQ(kb.legacyReports().size(), 1u);
    EXPECT_EQ(kb.legacyReports()[0], (Bytes{0x00, 0xA0, 'I', 'S', 'P', 0, 0, 0}));
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_TRUE(handedOver());
    EXPECT_TRUE(window.timerArmed(TIMER_ISP_TIMEOUT));
    EXPECT_FALSE(linkOpen());
}

// --- ISP entry ---------------------------------------------------------------

TEST_F(DownloadTest, FlashSizeMustEqualTheFileLength) {
    discover();
    kb.flashKiB = 63;
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(host.results(),
              (std::vector<Reported>{{"The firmware file is not for this keyboard.\nPlease use another firmware file.", true}}));
    EXPECT_EQ(window.status(), "Firmware file size is not correct.");
    EXPECT_FALSE(linkOpen());
    EXPECT_FALSE(handedOver());
    EXPECT_TRUE(window.timers.empty());
}

TEST_F(DownloadTest, PagedImageSelectsPageZeroBeforeEntry) {
    discover();
    kb.flashKiB = 128;
    kb.script(opcode::GOTO_PAGE, {st(241)});
    setPath(file("fw.bin", applicationImage(131072, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::CHECK_PROFILE, opcode::SET_MODE_FLAG,
                                                     opcode::GOTO_PAGE, opcode::ENTER_ISP}));
    EXPECT_EQ(requestsOf(opcode::GOTO_PAGE)[0].args, Bytes{0});
    EXPECT_EQ(window.statusHistory[1], "Goto page success!!");
    EXPECT_EQ(state.separateIspDevice, 1);
    EXPECT_TRUE(window.timerArmed(TIMER_ISP_TIMEOUT));
}

TEST_F(DownloadTest, ExactlyOnePageSelectsNothing) {
    discover();
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.count(opcode::GOTO_PAGE), 0);
    EXPECT_EQ(state.needsPageSelect, 0);
}

TEST_F(DownloadTest, RefusedPageSelectionEndsTheCommand) {
    discover();
    kb.script(opcode::GOTO_PAGE, {st(5)});
    setPath(file("fw.bin", applicationImage(66 * 1024, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Goto page fail", true}}));
    EXPECT_EQ(window.status(), "Goto page fail");
    EXPECT_EQ(kb.count(opcode::ENTER_ISP), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(DownloadTest, RefusedModeFlagForAMarkerImage) {
    discover();
    kb.script(opcode::SET_MODE_FLAG, {st(1)});
    setPath(file("fw.bin", applicationImage(65536, busyByte, kMarkerPattern)));
    updater.OnDownload();
    const std::string text = "The keyboard does not support this firmware file.";
    EXPECT_EQ(host.results(), (std::vector<Reported>{{text, true}}));
    EXPECT_EQ(window.status(), text);
    EXPECT_EQ(requestsOf(opcode::SET_MODE_FLAG)[0].args, Bytes{1});
    EXPECT_EQ(kb.count(opcode::ENTER_ISP), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(DownloadTest, RefusedProfileEndsTheCommandWithTheLinkOpen) {
    discover();
    kb.always(opcode::CHECK_PROFILE, st(4));
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Fail to check profile", true}}));
    EXPECT_EQ(window.status(), "Fail to check profile");
    EXPECT_EQ(kb.count(opcode::CHECK_PROFILE), 1);  // 4 is not in the retry set
    EXPECT_TRUE(linkOpen());
}

// --- The retried command ---------------------------------------------------------

TEST_F(DownloadTest, RetrySetStatusIsSentElevenTimesWithTenReopens) {
    discover();
    for (std::uint8_t code : std::vector<std::uint8_t>{227, 228, 229, 231, 240, 241}) {
        SCOPED_TRACE(int(code));
        kb.always(opcode::ENTER_ISP, st(code));
        const std::size_t opensBefore = kb.opens().size();
        const int sendsBefore = kb.count(opcode::ENTER_ISP);
        setPath(file("fw.bin", applicationImage(65536, busyByte)));
        updater.OnDownload();
        EXPECT_EQ(kb.count(opcode::ENTER_ISP) - sendsBefore, 11);
        EXPECT_EQ(kb.opens().size() - opensBefore, 11u);  // the command's own open and ten reopens
        EXPECT_EQ(host.results().back(), (Reported{"Enter ISP mode fail.\nPlease re-plug the keyboard", true}));
        EXPECT_EQ(window.status(), "Enter ISP mode fail");
        EXPECT_TRUE(linkOpen());
        EXPECT_EQ(state.ispEntrySent, 1);
    }
}

TEST_F(DownloadTest, RealTimeoutsAreRetriedToo) {
    discover();
    timing().replyWaitMs = 20;  // the profile check is the only exchange, and it is never answered
    kb.always(opcode::CHECK_PROFILE, silent());
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.count(opcode::CHECK_PROFILE), 11);
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Fail to check profile", true}}));
}

TEST_F(DownloadTest, OtherResultsEndTheRetriesAtOnce) {
    discover();
    kb.failSendOf(opcode::ENTER_ISP, 1);  // 226
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.refusedSends(), 1);
    EXPECT_EQ(host.resultTexts().back(), "Enter ISP mode fail.\nPlease re-plug the keyboard");
    EXPECT_EQ(kb.opens().size(), 2u);  // discovery and the command: no reopen
}

TEST_F(DownloadTest, RetrySucceedsOnALaterSend) {
    discover();
    kb.script(opcode::CHECK_PROFILE, {st(227), st(240)});
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(kb.count(opcode::CHECK_PROFILE), 3);
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(handedOver());
}

TEST_F(DownloadTest, FailedReopenShowsItsBoxAndEndsTheRetries) {
    discover();
    kb.script(opcode::CHECK_PROFILE, {st(227)});
    kb.onRequest = [this](const Request& r) {
        if (r.code == opcode::CHECK_PROFILE) kb.failOpen(kAppPath);
    };
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Fail to init the device!!"}));
    EXPECT_EQ(kb.count(opcode::CHECK_PROFILE), 1);  // the next attempt finds the link closed (225)
    EXPECT_EQ(host.resultTexts(), (std::vector<std::string>{"Fail to check profile"}));
}

// --- Host-driven choice of the device ------------------------------------------------

TEST_F(DownloadTest, HostNamedModelIsUsedAndReopensUseIt) {
    kb.interfaces.push_back({kOtherPath, 0x0F39, 0x0875});
    discover();
    ASSERT_EQ(window.list.items, (std::vector<std::string>{"RX-431", "RX-409"}));
    host.hostDrivenRun = true;
    host.vid = 0x0F39;
    host.pid = 0x0875;
    kb.script(opcode::CHECK_PROFILE, {st(231)});
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    const auto checks = requestsOf(opcode::CHECK_PROFILE);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].path, kOtherPath);  // the working entry
    EXPECT_EQ(checks[1].path, kOtherPath);  // the reopen takes the working entry too
    EXPECT_EQ(window.list.selection, 0);
}

TEST_F(DownloadTest, HostNamedModelMissingAndNoIspEntry) {
    discover();
    host.hostDrivenRun = true;
    host.vid = 0x0F39;
    host.pid = 0x0875;
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Model doest not match.", true}}));
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_TRUE(kb.requests().empty());
}

TEST_F(DownloadTest, HostValuesAreIgnoredOutsideHostDrivenRunsOrWhenZero) {
    discover();
    host.vid = 0x0F39;
    host.pid = 0x0875;
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();  // not host-driven
    EXPECT_TRUE(host.results().empty());
    for (auto id : {IDC_BROWSE, IDC_DOWNLOAD, IDC_GET_FW_VERSION, IDC_REFRESH}) window.enableControl(id, true);
    host.hostDrivenRun = true;
    host.vid = 0;
    updater.OnDownload();  // no vendor: no choice by model
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(handedOver());
}

TEST_F(DownloadTest, NothingStartsWhileAWorkerOwnsTheLink) {
    discover();
    running = true;
    setPath(file("fw.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    updater.OnGetFwVersion();
    updater.OnManualIspEntry();
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(kb.opens().size(), 1u);
}

// --- Timers --------------------------------------------------------------------

TEST_F(DownloadTest, TimerOneRunsTheDownloadAtOnceOutsideEventLogRuns) {
    updater.OnTimer(TIMER_AUTO_START);
    EXPECT_EQ(window.timerKills, (std::vector<int>{TIMER_AUTO_START}));
    EXPECT_EQ(host.resultTexts(), (std::vector<std::string>{"Please select a device first."}));
    EXPECT_TRUE(window.timerSets.empty());
}

TEST_F(DownloadTest, TimerFourGivesUpWithoutAResult) {
    state.ispImage = 0;
    window.timers[TIMER_ISP_TIMEOUT] = 120000;
    updater.OnTimer(TIMER_ISP_TIMEOUT);
    EXPECT_FALSE(window.timerArmed(TIMER_ISP_TIMEOUT));
    EXPECT_EQ(host.hostMessages(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}}));
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_TRUE(host.results().empty());
    EXPECT_TRUE(window.boxes.empty());
    state.ispImage = 1;
    updater.OnTimer(TIMER_ISP_TIMEOUT);
    EXPECT_EQ(host.hostMessages().back(), (std::pair<std::uint32_t, std::uint32_t>{0, 1}));
}

TEST_F(DownloadTest, TimerThreeWithoutADeferredStartDoesNothing) {
    updater.OnTimer(TIMER_DEFERRED_START);
    EXPECT_FALSE(updater.workerThreadActive());
    EXPECT_FALSE(running.load());
    EXPECT_TRUE(window.timerKills.empty());
}

// --- Device changes --------------------------------------------------------------

DeviceBroadcast arrival(const Guid& cls, const std::string& name, bool wide = false) {
    return makeInterfaceBroadcast(DBT_DEVICEARRIVAL, cls, name, wide);
}

TEST_F(DownloadTest, RemovalAndOrdinaryArrivalRediscoverEverything) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    updater.OnDeviceChange(makeInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, kDiskClass, "x", false));
    EXPECT_EQ(window.list.items, (std::vector<std::string>{"RX-431", "ISP Mode"}));
    kb.interfaces.pop_back();
    updater.OnDeviceChange(arrival(kHidInterfaceClass, "\\\\?\\hid#vid_0f39&pid_0641#9"));
    EXPECT_EQ(window.list.items, (std::vector<std::string>{"RX-431"}));
    // Other classes and other device types: nothing.
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    updater.OnDeviceChange(arrival(kUsbDeviceClass, "\\\\?\\usb#vid_0f39&pid_0001"));
    DeviceBroadcast volume = arrival(kHidInterfaceClass, "\\\\?\\hid#vid_0f39&pid_0001");
    volume.deviceType = 2;
    updater.OnDeviceChange(volume);
    EXPECT_EQ(window.list.items, (std::vector<std::string>{"RX-431"}));
    EXPECT_TRUE(state.reopenPath.empty());
}

TEST_F(DownloadTest, FailureSignalReportsAndReenablesDownloadAndBrowse) {
    window.enableControl(IDC_DOWNLOAD, false);
    window.enableControl(IDC_BROWSE, false);
    window.enableControl(IDC_GET_FW_VERSION, false);
    window.timers[TIMER_ISP_TIMEOUT] = 120000;
    window.texts[IDC_STATUS] = "Enter ISP mode success. Waiting for the Windows to detect it.";
    updater.OnDeviceChange(arrival(kFailureSignalClass, "anything"));
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Failed to download the firmware.", true}}));
    EXPECT_TRUE(window.isControlEnabled(IDC_DOWNLOAD));
    EXPECT_TRUE(window.isControlEnabled(IDC_BROWSE));
    EXPECT_FALSE(window.isControlEnabled(IDC_GET_FW_VERSION));
    EXPECT_EQ(window.status(), "");
    EXPECT_TRUE(window.timerArmed(TIMER_ISP_TIMEOUT));
}

TEST_F(DownloadTest, IspArrivalWhileNothingWaitsOnlyRefreshes) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001, 0x0080, 8});
    setPath("fw.bin");
    setLinkReportLength(0);
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath));
    EXPECT_EQ(window.list.items, (std::vector<std::string>{"ISP Mode"}));
    EXPECT_EQ(state.reopenPath, kIspPath);
    EXPECT_EQ(linkState().reportLength, 8u);
    EXPECT_EQ(state.firmwarePath, "fw.bin");
    EXPECT_FALSE(updater.workerThreadActive());
    EXPECT_TRUE(host.results().empty());
}

TEST_F(DownloadTest, IspArrivalChoosesTheProductIdFromTheName) {
    const std::string both = "\\\\?\\hid#vid_0f39&pid_0000#x_0001";
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    kb.interfaces.push_back({both, 0x0F39, 0x0000});
    setPath("fw.bin");
    updater.OnDeviceChange(arrival(kHidInterfaceClass, both));
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.entries[0].pid, 0u);
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath));
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.entries[0].pid, 1u);
}

TEST_F(DownloadTest, WideNamesAreSearchedAndConverted) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    setPath("fw.bin");
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath, true));
    EXPECT_EQ(state.reopenPath, kIspPath);
    EXPECT_EQ(table.entries[0].pid, 1u);

    DeviceBroadcast odd = arrival(kHidInterfaceClass, "x_0001", true);
    odd.name = {'\\', 0, 0xE9, 0x00, '_', 0, '0', 0, '0', 0, '0', 0, '1', 0, 0, 0};  // "\é_0001"
    updater.OnDeviceChange(odd);
    EXPECT_EQ(state.reopenPath, "\\?_0001");
}

TEST_F(DownloadTest, IspArrivalWithAnEmptyPathField) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath));
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Please input a correct bin file name first", true}}));
}

TEST_F(DownloadTest, IspArrivalBeforeWindows8DefersTheStart) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    host.windows8 = false;
    setPath("fw.bin");
    window.enableControl(IDC_DOWNLOAD, false);
    window.timers[TIMER_ISP_TIMEOUT] = 120000;
    state.ispEntrySent = 1;
    timing().deferredStartMs = 5000;
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath));
    EXPECT_EQ(state.deferredStart, 1);
    EXPECT_EQ(state.ispEntrySent, 0);
    EXPECT_EQ(window.timers, (std::map<int, int>{{TIMER_DEFERRED_START, 5000}}));
    EXPECT_FALSE(updater.workerThreadActive());

    // Without an application-image entry no timer 3 is armed.
    state.deferredStart = 0;
    window.timers.clear();
    updater.OnDeviceChange(arrival(kHidInterfaceClass, kIspPath));
    EXPECT_EQ(state.deferredStart, 1);
    EXPECT_TRUE(window.timers.empty());
}

TEST_F(DownloadTest, IspArrivalWhileAWorkerRunsChangesNothing) {
    kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
    discover();
    setPath("fw.bin");
    window.enableControl(IDC_DOWNLOAD, false);
    state.reopenPath = "the worker's device";
    state.deferredStart = 1;
    setLinkReportLength(8);
    running = true;
    updater.OnDeviceChange(arrival(kHidInterfaceClass, "\\\\?\\hid#vid_0f39&pid_0001#other"));
    EXPECT_EQ(state.reopenPath, "the worker's device");
    EXPECT_EQ(state.deferredStart, 1);
    EXPECT_EQ(table.count, 2u);
    EXPECT_TRUE(state.firmwarePath.empty());
    EXPECT_FALSE(updater.workerThreadActive());
    EXPECT_EQ(kb.opens().size(), 2u);  // discovery's opens only
}

// --- Version query ------------------------------------------------------------------

TEST_F(DownloadTest, VersionQueryShowsTheVersion) {
    updater.OnGetFwVersion();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Please select a device first."}));
    discover();
    kb.version = "S5301V10";
    updater.OnGetFwVersion();
    EXPECT_EQ(window.boxTexts().back(), "S5301V10");
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Getting FW Version", "Get FW Version success"}));
    EXPECT_FALSE(linkOpen());
    kb.always(opcode::GET_VERSION, st(1));
    kb.always(opcode::CHECK_PROFILE, st(1));
    updater.OnGetFwVersion();
    EXPECT_EQ(window.status(), "Get FW Version fail");
    EXPECT_EQ(window.boxes.size(), 2u);
    EXPECT_TRUE(host.results().empty());
}

TEST_F(DownloadTest, VersionQueryOfAnIspModeEntryUsesTheIspRead) {
    kb.interfaces = {{kIspPath, 0x0F39, 0x0001}};
    discover();
    kb.always(opcode::GET_ISP_VERSION, st(1));
    updater.OnGetFwVersion();
    EXPECT_EQ(kb.codes(), (std::vector<std::uint8_t>{opcode::GET_ISP_VERSION}));  // no profile fallback
    EXPECT_EQ(window.status(), "Get FW Version fail");
}

TEST_F(DownloadTest, KeywordRunChoosesTheLegacyFile) {
    discover();
    host.keyword = 1;
    kb.version = "S5301V12";
    updater.OnGetFwVersion();
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(host.chosenFile(), "L5301V13.bin");
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "L5301V13.bin");
    EXPECT_EQ(window.timers, (std::map<int, int>{{TIMER_AUTO_START, timing().autoStartMs}}));
    EXPECT_EQ(host.keyword.load(), 0);
    EXPECT_EQ(window.status(), "Getting FW Version");
}

TEST_F(DownloadTest, KeywordRunWithoutAFileOrWithoutAVersion) {
    discover();
    host.keyword = 1;
    kb.version = "S5302V12";
    updater.OnGetFwVersion();
    EXPECT_EQ(window.boxTexts(),
              (std::vector<std::string>{"Incorrect firmware version is detected.\nSo there is no need to update the firwmare."}));
    EXPECT_EQ(host.keyword.load(), 0);
    window.boxes.clear();
    host.keyword = 2;
    kb.always(opcode::GET_VERSION, st(1));
    kb.always(opcode::CHECK_PROFILE, st(1));
    updater.OnGetFwVersion();
    EXPECT_EQ(window.boxTexts(),
              (std::vector<std::string>{"Fail to update the firmware because no firmware version is returned.",
                                        "Incorrect firmware version is detected.\nSo there is no need to update the firwmare."}));
    EXPECT_TRUE(window.timers.empty());
}

TEST_F(DownloadTest, LegacyKeyboardInAKeywordRunKeepsTheMode) {
    kb.interfaces = {{kLegacyPath, 0x0404, 0x0322, 0x0001, 8}};
    kb.legacyVersion = "V2";
    discover();
    host.keyword = 1;
    updater.OnGetFwVersion();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"V2"}));
    EXPECT_EQ(host.keyword.load(), 1);
    EXPECT_FALSE(linkOpen());
}

TEST_F(DownloadTest, LegacyFileTables) {
    EXPECT_EQ(Updater::legacyUpgradeFile(1, "S5301V10"), "L5301V13.bin");
    EXPECT_EQ(Updater::legacyUpgradeFile(1, "S5301V13"), "");
    EXPECT_EQ(Updater::legacyUpgradeFile(1, "xxB5301Vyy"), "L5301V13.bin");
    EXPECT_EQ(Updater::legacyUpgradeFile(2, "xxB5301Vyy"), "L5303V13.bin");
    EXPECT_EQ(Updater::legacyUpgradeFile(1, "B5302V B5301V"), "L5301V13.bin");
    EXPECT_EQ(Updater::legacyUpgradeFile(2, "S5301V10"), "");
    EXPECT_EQ(Updater::legacyUpgradeFile(2, "S5303V12"), "L5303V13.bin");
    for (int mode : {1, 2}) {
        EXPECT_EQ(Updater::legacyUpgradeFile(mode, "S5302V11"), "L5302V14.bin");
        EXPECT_EQ(Updater::legacyUpgradeFile(mode, "S5302V13"), "L5302V14.bin");
        EXPECT_EQ(Updater::legacyUpgradeFile(mode, "S5302V12"), "");
        EXPECT_EQ(Updater::legacyUpgradeFile(mode, "B5302V1"), "L5302V14.bin");
    }
    EXPECT_EQ(Updater::legacyUpgradeFile(0, "S5301V10"), "");
    EXPECT_EQ(Updater::legacyUpgradeFile(1, "S5301V10 "), "");  // equals is exact
}

// --- Manual ISP entry -------------------------------------------------------------------

TEST_F(DownloadTest, ManualIspEntryNeedsTheSelectedDevicesLink) {
    updater.OnManualIspEntry();
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Please select a device first"}));
    discover();
    updater.OnManualIspEntry();
    EXPECT_EQ(window.boxTexts().back(), "Cannot find device");
    EXPECT_EQ(window.status(), "Fail...");
    EXPECT_TRUE(kb.requests().empty());

    // A mismatching version check leaves the link open on the selected device.
    kb.version = "S5306V10";
    setPath(file("p5305.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();
    ASSERT_TRUE(linkOpen());
    updater.OnManualIspEntry();
    EXPECT_EQ(kb.codes().back(), opcode::ENTER_ISP);
    EXPECT_EQ(window.status(), "Entered ISP mode");
    EXPECT_TRUE(linkOpen());  // neither opened nor closed here

    kb.script(opcode::ENTER_ISP, {st(3)});
    updater.OnManualIspEntry();
    EXPECT_EQ(window.boxTexts().back(), "Cannot enter ISP mode");
    EXPECT_EQ(window.status(), "Fail...");
    EXPECT_EQ(kb.count(opcode::ENTER_ISP), 2);  // once each, no retry
}

TEST_F(DownloadTest, ManualIspEntryKnowsTheLinkByItsPathNotItsHandle) {
    kb.reuseHandles = true;
    kb.interfaces.push_back({kOtherPath, 0x0F39, 0x0875});
    discover();  // RX-431 selected
    kb.version = "S5306V10";
    setPath(file("p5305.bin", applicationImage(65536, busyByte)));
    updater.OnDownload();  // the mismatch leaves the link open on RX-431
    ASSERT_EQ(linkPath(), kAppPath);
    closeLink();
    // Another keyboard is opened next and gets the same handle value.
    ASSERT_TRUE(openLink(kOtherPath, Access::Write, &table.entries[1]));
    updater.OnManualIspEntry();
    EXPECT_TRUE(requestsOf(opcode::ENTER_ISP).empty());
    EXPECT_EQ(window.boxTexts().back(), "Cannot find device");

    // A link on the selected keyboard is its link, whoever opened it.
    ASSERT_TRUE(openLink(kAppPath, Access::Write, &table.entries[0]));
    updater.OnManualIspEntry();
    const auto entries = requestsOf(opcode::ENTER_ISP);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, kAppPath);
}

}  // namespace
}  // namespace vantel::test
