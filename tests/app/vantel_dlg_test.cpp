// The main window's logic over a synchronous fake window and the simulated
// keyboard: start-up, the command line's effects, the service hotkeys, Browse
// and the clean-up.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/vantel_dlg.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/sim.h"
#include "support/fake_window.h"
#include "support/journal.h"
#include "support/recording_shell.h"
#include "support/temp_dir.h"

namespace vantel {
namespace {

class DlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = timing();
        Timing t = scaledTiming(Timing{}, 1, 100);
        t.replyWaitMs = 5000;  // long enough that a busy machine never times out a good reply
        timing() = t;
        window.journal = &journal;
        shell.setJournal(&journal);
    }
    void TearDown() override {
        dlg.reset();
        // A reply reader given up by a command may still be reading the
        // timing table; it is put back only once no reader runs.
        EXPECT_TRUE(waitForReadersToEnd(5000));
        timing() = saved_;
    }

    sim::SimKeyboard& addKeyboard(const sim::KeyboardSpec& spec = {}) { return sim.addKeyboard(spec); }

    static sim::KeyboardSpec legacySpec() {
        sim::KeyboardSpec spec;
        spec.vid = 0x0404;
        spec.pid = 0x0322;
        spec.legacy = true;
        return spec;
    }

    void start(const std::vector<std::string>& arguments = {}) {
        dlg = std::make_unique<CVantelDlg>(window, shell, sim);
        dlg->OnInitDialog(arguments);
        journal.clear();
        window.boxes.clear();
        window.statusHistory.clear();
    }

    Timing saved_;
    Journal journal;
    sim::SimBackend sim;
    FakeWindow window;
    RecordingShell shell;
    std::unique_ptr<CVantelDlg> dlg;
};

// --- Start-up ----------------------------------------------------------------

TEST_F(DlgTest, StartUpRunsEveryStepAndListsTheKeyboards) {
    addKeyboard();
    shell.windows8 = true;
    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->workerRunning() = true;  // initialisation clears it before the discovery
    dlg->OnInitDialog({});

    EXPECT_EQ(shell.titles(), std::vector<std::string>{"USB Firmware Downloader Version 2.0.6.0"});
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(shell.deviceNotificationRegistrations(), 1);
    EXPECT_EQ(shell.hotKeyRegistrations(), 1);
    EXPECT_FALSE(dlg->workerRunning().load());
    EXPECT_TRUE(dlg->values().windows8OrLater);
    EXPECT_EQ(window.list.items, std::vector<std::string>{"RX-431"});
    EXPECT_EQ(window.list.selection, 0);
    EXPECT_EQ(dlg->table().count, 1u);
    EXPECT_EQ(dlg->values().runMode, RunMode::Interactive);
    EXPECT_TRUE(window.timers.empty());
    EXPECT_EQ(linkBackend(), &sim);
}

TEST_F(DlgTest, LibrariesThatFailToLoadAreReportedAndStartUpGoesOn) {
    addKeyboard();
    sim::FaultSpec hid;
    hid.kind = sim::FaultSpec::Kind::HidLibraryFails;
    sim::FaultSpec setup;
    setup.kind = sim::FaultSpec::Kind::SetupLibraryFails;
    ASSERT_TRUE(sim.addFault(hid));
    ASSERT_TRUE(sim.addFault(setup));

    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->OnInitDialog({"C:\\fw\\a.bin"});

    const std::vector<BoxRecord> expected = {
        {"Fail to the load the HID library.", "Vantel", BoxIcon::Warning},
        {"Fail to the load the HID library..", "Vantel", BoxIcon::Warning},
    };
    EXPECT_EQ(window.boxes, expected);
    // The rest of the initialisation still ran.
    EXPECT_EQ(shell.hotKeyRegistrations(), 1);
    EXPECT_TRUE(window.list.items.empty());
    EXPECT_EQ(dlg->values().runMode, RunMode::FileArgument);
}

// --- Command line ------------------------------------------------------------

TEST_F(DlgTest, APathArgumentPresetsTheFieldAndArmsTheAutomaticStart) {
    start({"D:\\Fw\\Board_A.BIN"});
    EXPECT_EQ(dlg->values().runMode, RunMode::FileArgument);
    EXPECT_EQ(dlg->values().argumentPath, "D:\\Fw\\Board_A.BIN");
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "D:\\Fw\\Board_A.BIN");
    ASSERT_TRUE(window.timerArmed(TIMER_AUTO_START));
    EXPECT_EQ(window.timers[TIMER_AUTO_START], timing().autoStartMs);
    EXPECT_EQ(shell.trayAdds(), 0);
    EXPECT_EQ(shell.compactLayouts(), 0);
}

TEST_F(DlgTest, AResultFileRunHidesBehindTheTrayIcon) {
    start({"a.bin", "eventviewer", "0x0F39", "0641"});
    EXPECT_EQ(dlg->values().runMode, RunMode::HostDriven);
    EXPECT_EQ(dlg->values().resultArgument, "eventviewer");
    EXPECT_EQ(dlg->hostVid(), 0x0F39);
    EXPECT_EQ(dlg->hostPid(), 0x0641);
    EXPECT_FALSE(dlg->eventLogRun());
    EXPECT_TRUE(dlg->hostDriven());
    EXPECT_TRUE(dlg->trayIconFilled);
    EXPECT_EQ(shell.trayAdds(), 1);
    EXPECT_EQ(shell.compactLayouts(), 0);
    EXPECT_EQ(dlg->paintHideCountdown, 2);
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "a.bin");
    EXPECT_TRUE(window.timerArmed(TIMER_AUTO_START));

    // The first two paints of the shown window hide it; a minimised one does not count.
    EXPECT_FALSE(dlg->takePaintHide(true));
    EXPECT_TRUE(dlg->takePaintHide(false));
    EXPECT_TRUE(dlg->takePaintHide(false));
    EXPECT_FALSE(dlg->takePaintHide(false));
    EXPECT_EQ(dlg->paintHideCountdown, 0);
}

TEST_F(DlgTest, EventLogAndMessageBoxRunsUseTheCompactWindow) {
    start({"a.bin", "EVENTVIEWER"});
    EXPECT_TRUE(dlg->eventLogRun());
    EXPECT_EQ(shell.compactLayouts(), 1);
    EXPECT_EQ(shell.trayAdds(), 0);
    EXPECT_FALSE(dlg->trayIconFilled);
    EXPECT_EQ(dlg->paintHideCountdown, 0);
    EXPECT_FALSE(dlg->takePaintHide(false));
    EXPECT_TRUE(window.timerArmed(TIMER_AUTO_START));
}

TEST_F(DlgTest, TheModelKeywordSetsOnlyTheProductId) {
    start({"a.bin", "SHOWMSGBOX", "RX-442"});
    EXPECT_EQ(dlg->hostPid(), 0x0953);
    EXPECT_EQ(dlg->hostVid(), 0);
    EXPECT_EQ(shell.compactLayouts(), 1);
}

TEST_F(DlgTest, AKeywordWithNoKeyboardAsksForOne) {
    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->OnInitDialog({"ZENTRIX_US"});
    EXPECT_EQ(window.boxes,
              (std::vector<BoxRecord>{{"Please plug the keyboard first.", "Vantel", BoxIcon::None}}));
    EXPECT_EQ(dlg->keywordMode(), 0);
    EXPECT_EQ(dlg->values().runMode, RunMode::Interactive);
    EXPECT_EQ(dlg->values().argumentPath, "");
    EXPECT_TRUE(window.timers.empty());

    // A keyword with a suffix asks the same, and is never taken as a path.
    window.boxes.clear();
    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->OnInitDialog({"zentrix_us_v2"});
    EXPECT_EQ(window.boxTexts(), std::vector<std::string>{"Please plug the keyboard first."});
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "");
}

TEST_F(DlgTest, AKeywordWithASuffixRunsNothingWhenAKeyboardIsThere) {
    auto& kb = addKeyboard();
    start({"Zentrix_Beta"});
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(dlg->keywordMode(), 0);
    EXPECT_EQ(dlg->values().runMode, RunMode::Interactive);
    EXPECT_TRUE(kb.commands().empty());
    EXPECT_TRUE(window.timers.empty());
}

TEST_F(DlgTest, TheUsKeywordQueriesTheVersionAndChoosesALegacyFile) {
    sim::KeyboardSpec spec;
    spec.appVersion = "S5301V12";
    auto& kb = addKeyboard(spec);
    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->OnInitDialog({"ZENTRIX_US"});

    ASSERT_FALSE(kb.commands().empty());
    EXPECT_EQ(kb.commands().front().code, opcode::GET_VERSION);
    EXPECT_EQ(dlg->values().argumentPath, "L5301V13.bin");
    EXPECT_EQ(dlg->values().runMode, RunMode::FileArgument);
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "L5301V13.bin");
    EXPECT_TRUE(window.timerArmed(TIMER_AUTO_START));
    EXPECT_EQ(dlg->keywordMode(), 0);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(DlgTest, TheEuKeywordUsesItsOwnTable) {
    sim::KeyboardSpec spec;
    spec.appVersion = "S5301V12";  // only in the first table
    addKeyboard(spec);
    dlg = std::make_unique<CVantelDlg>(window, shell, sim);
    dlg->OnInitDialog({"zentrix_EU"});
    EXPECT_EQ(dlg->values().runMode, RunMode::Interactive);
    EXPECT_EQ(dlg->values().argumentPath, "");
    EXPECT_EQ(window.boxTexts(),
              std::vector<std::string>{
                  "Incorrect firmware version is detected.\nSo there is no need to update the firwmare."});
}

// --- Service functions -------------------------------------------------------

TEST_F(DlgTest, TestModeShowsTheBoxBeforeTheStatusLine) {
    auto& kb = addKeyboard();
    start();
    dlg->onHotKey(1);

    EXPECT_EQ(kb.testModeCount(), 1);
    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{"status:Enter testing mode", "box:Enter testing mode successfully.",
                                        "status:Enter testing mode successfully"}));
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].caption, "USB Firmware Downloader");
    EXPECT_TRUE(linkOpen());  // left open for the next operation to close
}

TEST_F(DlgTest, TestModeRefusedShowsOnlyTheStatus) {
    auto& kb = addKeyboard();
    kb.failCommand(opcode::TEST_MODE, 0x33);
    start();
    dlg->onHotKey(1);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Enter testing mode", "Fail to enter testing mode"}));
}

TEST_F(DlgTest, TestModeWithoutAnAnswerFailsLikeARefusal) {
    auto& kb = addKeyboard();
    kb.noAnswer(opcode::TEST_MODE, 1);
    start();
    timing().replyWaitMs = 30;  // the keyboard never answers: the wait always runs out
    dlg->onHotKey(1);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.status(), "Fail to enter testing mode");
}

TEST_F(DlgTest, FactorySettingReportsEachOutcomeAndLeavesTheStatusLine) {
    auto& kb = addKeyboard();
    start();

    kb.failCommand(opcode::FACTORY_DEFAULTS, 7);
    dlg->onHotKey(2);
    EXPECT_EQ(kb.resetCount(), 0);  // nothing more is sent after the refusal

    kb.failCommand(opcode::RESET, 9);
    dlg->onHotKey(2);

    dlg->onHotKey(2);

    const std::vector<BoxRecord> expected = {
        {"Fail to load factory setting - 2", "Vantel", BoxIcon::None},
        {"Fail to load factory setting - 1", "Vantel", BoxIcon::None},
        {"Load factory setting successfully", "Vantel", BoxIcon::None},
    };
    EXPECT_EQ(window.boxes, expected);
    EXPECT_TRUE(window.statusHistory.empty());
    EXPECT_EQ(kb.factoryDefaultsCount(), 2);
}

TEST_F(DlgTest, LegacyKeyboardsAlwaysSucceed) {
    addKeyboard(legacySpec());
    start();
    ASSERT_EQ(dlg->table().count, 1u);
    ASSERT_EQ(dlg->table().entries[0].legacy, 1u);

    // The keyboard takes no report at all.
    sim.failSetFeature(1, sim::kAlways);
    dlg->onHotKey(1);
    dlg->onHotKey(2);
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Enter testing mode successfully.",
                                                           "Load factory setting successfully"}));
    EXPECT_EQ(window.status(), "Enter testing mode successfully");
}

TEST_F(DlgTest, NoSelectionInAnInteractiveRunIsABoxOnly) {
    start();
    dlg->onHotKey(1);
    dlg->onHotKey(2);
    EXPECT_EQ(window.boxes, (std::vector<BoxRecord>{
                                {"Please select a device first.", "USB Firmware Downloader", BoxIcon::None},
                                {"Please select a device first.", "USB Firmware Downloader", BoxIcon::None},
                            }));
    EXPECT_EQ(window.closePosted, 0);
    EXPECT_EQ(shell.postAttempts(), 0);
}

TEST_F(DlgTest, NoSelectionInAHostDrivenRunEndsTheRun) {
    TempDir dir;
    const std::string resultFile = dir.file("result.txt");
    start({"fw.bin", resultFile});
    dlg->onHotKey(1);

    EXPECT_EQ(TempDir::read(resultFile), "Result of updating fw.bin:\r\r\nPlease select a device first.");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"post:Brenmoor:2024:1:1", "close"}));
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(DlgTest, ADeviceThatCannotBeOpenedIsReported) {
    auto& kb = addKeyboard();
    start();
    sim::FaultSpec fault;
    fault.kind = sim::FaultSpec::Kind::OpenFails;
    fault.text = kb.path();
    fault.times = 1;
    ASSERT_TRUE(sim.addFault(fault));
    dlg->onHotKey(2);
    EXPECT_EQ(window.boxTexts(), std::vector<std::string>{"Fail to init the device"});
    EXPECT_EQ(kb.factoryDefaultsCount(), 0);
}

TEST_F(DlgTest, ServiceHotkeysKeepAwayFromTheWorkersLink) {
    auto& kb = addKeyboard();
    start();
    dlg->workerRunning() = true;
    dlg->onHotKey(1);
    dlg->onHotKey(2);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(window.statusHistory.empty());
    EXPECT_EQ(kb.testModeCount(), 0);
    EXPECT_EQ(kb.factoryDefaultsCount(), 0);
    EXPECT_FALSE(linkOpen());

    dlg->workerRunning() = false;
    dlg->onHotKey(3);  // held, does nothing
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(kb.commands().empty());
}

TEST_F(DlgTest, HotkeysInTheNestedLoopOfAHandlersBoxAreIgnored) {
    auto& kb = addKeyboard();  // runs S5301: a 5305 file is refused with a box
    TempDir dir;
    start();
    window.texts[IDC_FIRMWARE_PATH] = dir.write("p5305.bin", std::vector<std::uint8_t>(2048, 1));
    int boxes = 0;
    window.onMessageBox = [&](const BoxRecord&) {
        // What the box's own message loop would dispatch meanwhile.
        if (++boxes == 1) {
            dlg->onHotKey(1);
            dlg->onHotKey(2);
        }
    };
    dlg->onCommand(IDC_DOWNLOAD);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Firmware mismatch.\nNot allowed to download.");
    EXPECT_EQ(kb.testModeCount(), 0);
    EXPECT_EQ(kb.factoryDefaultsCount(), 0);

    // Once the handler has returned the hotkey works again.
    dlg->onHotKey(1);
    EXPECT_EQ(kb.testModeCount(), 1);
}

// --- Browse, Refresh, close and destruction ----------------------------------

TEST_F(DlgTest, ACancelledBrowsePutsTheStoredPathBack) {
    start();
    window.setControlText(IDC_FIRMWARE_PATH, "typed but not used");
    window.setControlText(IDC_STATUS, "old status");
    dlg->onCommand(IDC_BROWSE);
    EXPECT_EQ(shell.browseCalls(), 1);
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "");
    EXPECT_EQ(window.status(), "");

    shell.setBrowseResult(true, "C:\\Fw\\New.bin");
    dlg->onCommand(IDC_BROWSE);
    EXPECT_EQ(dlg->state().firmwarePath, "C:\\Fw\\New.bin");
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "C:\\Fw\\New.bin");

    window.setControlText(IDC_FIRMWARE_PATH, "typed again");
    shell.setBrowseResult(false);
    dlg->onCommand(IDC_BROWSE);
    EXPECT_EQ(window.text(IDC_FIRMWARE_PATH), "C:\\Fw\\New.bin");
}

TEST_F(DlgTest, CommandsThatWouldDisturbTheWorkerAreIgnored) {
    start();
    dlg->workerRunning() = true;
    shell.setBrowseResult(true, "other.bin");
    dlg->onCommand(IDC_BROWSE);
    dlg->onCommand(IDC_GET_FW_VERSION);
    dlg->onCommand(IDC_DOWNLOAD);
    dlg->onCommand(IDC_MANUAL_ISP);
    EXPECT_EQ(shell.browseCalls(), 0);
    EXPECT_EQ(dlg->state().firmwarePath, "");
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(DlgTest, RefreshRediscovers) {
    start();
    EXPECT_TRUE(window.list.items.empty());
    addKeyboard();
    dlg->onCommand(IDC_REFRESH);
    EXPECT_EQ(window.list.items, std::vector<std::string>{"RX-431"});
}

TEST_F(DlgTest, DestructionClosesTheLinkAndReleasesEverythingOnce) {
    addKeyboard();
    start({"a.bin", "out.txt"});
    dlg->onHotKey(1);  // leaves the link open
    ASSERT_TRUE(linkOpen());
    EXPECT_TRUE(dlg->onCloseRequest());

    dlg->releasePlatform();  // the worker's shutdown came first
    EXPECT_FALSE(sim.hidLibraryLoaded());
    EXPECT_FALSE(sim.setupLibraryLoaded());
    EXPECT_FALSE(shell.trayShown());

    dlg->onDestroy();
    EXPECT_FALSE(linkOpen());
    EXPECT_FALSE(shell.trayShown());
    dlg->onDestroy();  // harmless a second time
    EXPECT_FALSE(linkOpen());
}

TEST_F(DlgTest, InteractiveRunsNeverTouchTheTrayIcon) {
    addKeyboard();
    start();
    dlg->onDestroy();
    EXPECT_EQ(shell.trayAdds(), 0);
    EXPECT_EQ(shell.trayRemoves(), 0);
    EXPECT_FALSE(sim.hidLibraryLoaded());
}

}  // namespace
}  // namespace vantel
