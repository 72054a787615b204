#include "app/result_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_window.h"
#include "support/journal.h"
#include "support/recording_shell.h"
#include "support/temp_dir.h"
#include "update/update_host.h"

namespace vantel {
namespace {

const std::string kCaption = "USB Firmware Downloader";
const std::string kSuccess = "Update successfully!";

class ReportTest : public ::testing::Test {
protected:
    void hostRun(const std::string& resultArgument, const std::string& path = "C:\\fw\\kb.bin") {
        values.runMode = RunMode::HostDriven;
        values.resultArgument = resultArgument;
        values.argumentPath = path;
    }

    FakeWindow window;
    RecordingShell shell;
    StartupValues values;
    DownloadState state;
    ResultReporter reporter{window, shell, values, state};
    TempDir dir;
};

TEST(ResultChannelTable, ByRunModeAndExactDestination) {
    for (RunMode mode : {RunMode::Interactive, RunMode::FileArgument}) {
        EXPECT_EQ(resultChannel(mode, ""), ResultChannel::ShowMessage);
        EXPECT_EQ(resultChannel(mode, "EVENTVIEWER"), ResultChannel::ShowMessage);
        EXPECT_EQ(resultChannel(mode, "out.txt"), ResultChannel::ShowMessage);
    }
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "EVENTVIEWER"), ResultChannel::EventLog);
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "SHOWMSGBOX"), ResultChannel::ShowMessage);
    // Letter case counts: these are file names.
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "eventviewer"), ResultChannel::ResultFile);
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "ShowMsgBox"), ResultChannel::ResultFile);
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "EVENTVIEWER "), ResultChannel::ResultFile);
    EXPECT_EQ(resultChannel(RunMode::HostDriven, "result.txt"), ResultChannel::ResultFile);
    EXPECT_EQ(resultChannel(RunMode::HostDriven, ""), ResultChannel::ResultFile);
}

TEST(HostResultParameters, WparamByImageClassLparamBySuccessPhrase) {
    EXPECT_EQ(hostResultWparam(false), 1u);
    EXPECT_EQ(hostResultWparam(true), 0u);
    EXPECT_EQ(hostResultLparam("Update successfully!"), 0u);
    EXPECT_EQ(hostResultLparam("Done. Update successfully! (v1.2)"), 0u);
    EXPECT_EQ(hostResultLparam("Update finsihed, but failed to get the firmware version!"), 1u);
    EXPECT_EQ(hostResultLparam("update successfully!"), 1u);
    EXPECT_EQ(hostResultLparam("Update successfully"), 1u);
    EXPECT_EQ(hostResultLparam(""), 1u);
}

TEST(ResultFileBytes, LineFeedsBecomeCrLf) {
    const std::string bytes =
        resultFileBytes("D:\\fw\\kb.bin", "Enter ISP mode fail.\nPlease re-plug the keyboard");
    EXPECT_EQ(bytes,
              "Result of updating D:\\fw\\kb.bin:\x0D\x0D\x0A"
              "Enter ISP mode fail.\x0D\x0APlease re-plug the keyboard");
    EXPECT_EQ(resultFileBytes("a", "x\n"), "Result of updating a:\r\r\nx\r\n");
    EXPECT_EQ(resultFileBytes("", ""), "Result of updating :\r\r\n");
}

TEST_F(ReportTest, InteractiveAndFileArgumentRunsOnlyShowTheBox) {
    for (RunMode mode : {RunMode::Interactive, RunMode::FileArgument}) {
        SCOPED_TRACE(static_cast<int>(mode));
        window.boxes.clear();
        values.runMode = mode;
        values.resultArgument = "";  // what the command line leaves in these runs
        reporter.reportResult("Reset fail", true);
        reporter.reportResult(kSuccess, false);
        reporter.reportIntermediate("block failed");
        EXPECT_EQ(window.boxes, (std::vector<BoxRecord>{{"Reset fail", kCaption, BoxIcon::None},
                                                         {kSuccess, kCaption, BoxIcon::None}}));
    }
    EXPECT_EQ(window.closePosted, 0);
    EXPECT_EQ(shell.postAttempts(), 0);
    EXPECT_EQ(shell.eventAttempts(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReportTest, ResultFileRunWritesEachResultAndEndsOnTheFinalOne) {
    const std::string file = dir.file("result.txt");
    hostRun(file, "E:\\kb.bin");

    reporter.reportResult("Chip Erase fail\nsecond line of a long text", false);
    EXPECT_EQ(TempDir::read(file),
              "Result of updating E:\\kb.bin:\r\r\nChip Erase fail\r\nsecond line of a long text");
    EXPECT_EQ(shell.postAttempts(), 0) << "a non-final result tells the host nothing";
    EXPECT_EQ(window.closePosted, 0);
    EXPECT_TRUE(window.boxes.empty());

    // The final result replaces the earlier text; nothing of it is left behind.
    reporter.reportResult("Reset fail", true);
    EXPECT_EQ(TempDir::read(file), "Result of updating E:\\kb.bin:\r\r\nReset fail");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(ReportTest, UncreatableResultFileIsPassedOverSilently) {
    for (const std::string& target :
         {dir.file("no-such-folder/result.txt"), std::string(), dir.path().string()}) {
        SCOPED_TRACE(target);
        shell.hostWindowExists = true;
        window.closePosted = 0;
        hostRun(target);
        state.ispImage = 1;
        ResultReporter run{window, shell, values, state};  // one outcome per run
        run.reportResult(kSuccess, true);
        EXPECT_TRUE(window.boxes.empty());
        EXPECT_EQ(window.closePosted, 1);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no-such-folder"));
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>(3, {"Brenmoor", 2024, 0, 0})));
}

TEST_F(ReportTest, ShowMessageBoxRunNotifiesOnlyAfterTheBoxIsClosed) {
    hostRun("SHOWMSGBOX");
    Journal journal;
    window.journal = &journal;
    shell.setJournal(&journal);
    int postsWhileBoxUp = -1;
    window.onMessageBox = [&](const BoxRecord&) { postsWhileBoxUp = shell.postAttempts(); };

    reporter.reportResult("Update finsihed, but failed to get the firmware version!", true);

    EXPECT_EQ(postsWhileBoxUp, 0);
    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{
                  "box:Update finsihed, but failed to get the firmware version!",
                  "post:Brenmoor:2024:1:1", "close"}));
    EXPECT_EQ(window.boxes.at(0).caption, kCaption);
    EXPECT_EQ(window.boxes.at(0).icon, BoxIcon::None);
}

TEST_F(ReportTest, ShowMessageBoxRunNonFinalIsJustTheBox) {
    hostRun("SHOWMSGBOX");
    reporter.reportResult("Goto page fail", false);
    EXPECT_EQ(window.boxTexts(), (std::vector<std::string>{"Goto page fail"}));
    EXPECT_EQ(shell.postAttempts(), 0);
    EXPECT_EQ(window.closePosted, 0);
}

TEST_F(ReportTest, EventLogRunWritesFinalAndIntermediateEntries) {
    hostRun("EVENTVIEWER", "C:\\a b\\kb.bin");
    reporter.reportIntermediate("Write block 3 fail");
    reporter.reportIntermediate("Write block 9 fail");
    reporter.reportResult("Firmware update fail: -3", false);
    reporter.reportResult(kSuccess, true);

    const auto events = shell.events();
    ASSERT_EQ(events.size(), 4u);
    for (const auto& e : events) {
        EXPECT_EQ(e.source, "Brenmoor");
        EXPECT_EQ(e.type, 4);
        EXPECT_EQ(e.category, 1);
        EXPECT_EQ(e.eventId, 0x40020105u);
    }
    EXPECT_EQ(shell.eventTexts(),
              (std::vector<std::string>{
                  "Intermediate Result of updating C:\\a b\\kb.bin:\r\nWrite block 3 fail",
                  "Intermediate Result of updating C:\\a b\\kb.bin:\r\nWrite block 9 fail",
                  "Result of updating C:\\a b\\kb.bin:\r\nFirmware update fail: -3",
                  "Result of updating C:\\a b\\kb.bin:\r\nUpdate successfully!"}));
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 0}}));
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(ReportTest, IntermediateEntriesOnlyForTheExactEventLogDestination) {
    hostRun("eventviewer");
    reporter.reportIntermediate("Write block 3 fail");
    hostRun("SHOWMSGBOX");
    reporter.reportIntermediate("Write block 3 fail");
    hostRun(dir.file("r.txt"));
    reporter.reportIntermediate("Write block 3 fail");
    EXPECT_EQ(shell.eventAttempts(), 0);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReportTest, EventLogFailuresWarnAndTheRunGoesOn) {
    hostRun("EVENTVIEWER");
    shell.scriptEventLogResults({EventLogResult::RegisterFailed, EventLogResult::ReportFailed});
    reporter.reportIntermediate("Write block 1 fail");
    reporter.reportResult("Reset fail", true);

    EXPECT_EQ(window.boxes,
              (std::vector<BoxRecord>{{"RegisterEventSource Failed", "Vantel", BoxIcon::Warning},
                                      {"ReportEvent Failed", "Vantel", BoxIcon::Warning}}));
    EXPECT_TRUE(shell.events().empty());
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
    EXPECT_EQ(window.closePosted, 1);
}

TEST_F(ReportTest, MissingHostWindowStillClosesTheRun) {
    hostRun(dir.file("r.txt"));
    shell.hostWindowExists = false;
    reporter.reportResult(kSuccess, true);
    EXPECT_EQ(shell.postAttempts(), 1);
    EXPECT_TRUE(shell.posted().empty());
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_EQ(TempDir::read(dir.file("r.txt")), "Result of updating C:\\fw\\kb.bin:\r\r\n" + kSuccess);
}

TEST_F(ReportTest, WparamFollowsTheClassifiedImage) {
    hostRun(dir.file("r.txt"));
    // A run has one outcome, so each report is a run of its own.
    ResultReporter(window, shell, values, state).reportResult("Please select a device", true);  // nothing classified yet
    state.ispImage = 1;
    ResultReporter(window, shell, values, state).reportResult(kSuccess, true);
    state.ispImage = 0;
    ResultReporter(window, shell, values, state).reportResult(kSuccess, true);
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1},
                                                          {"Brenmoor", 2024, 0, 0},
                                                          {"Brenmoor", 2024, 1, 0}}));

    reporter.postHostResultMessage(0, 1);
    EXPECT_EQ(shell.posted().back(), (PostedMessage{kHostWindowTitle, kHostResultMessage, 0, 1}));
    EXPECT_EQ(window.closePosted, 3) << "the plain post does not close";
}

}  // namespace
}  // namespace vantel
