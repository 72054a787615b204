// The programming worker run on the test's own thread against a scripted
// boot loader: its messages in order, what it sends, and how it leaves the
// window and the link on every way out.

#include <gtest/gtest.h>

#include <atomic>

#include "link/commands.h"
#include "link/link.h"
#include "mini_keyboard.h"
#include "support/fake_window.h"
#include "support/journal.h"
#include "support/temp_dir.h"
#include "update/updater.h"
#include "update_fixture.h"

namespace vantel::test {
namespace {

const char* const kIspPath = "\\\\?\\hid#vid_0f39&pid_0001#7&boot";

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        kb.interfaces.push_back({kIspPath, 0x0F39, 0x0001});
        setLinkBackend(&kb);
        window.journal = &journal;
        state.reopenPath = kIspPath;
        state.separateIspDevice = 1;
        // The link keeps the report length the Download command chose.
        setLinkReportLength(8);
        setLinkLegacy(0);
    }
    void TearDown() override {
        closeLink();
        EXPECT_TRUE(waitForReadersToEnd(5000));
        setLinkBackend(nullptr);
    }

    void useFile(const Bytes& bytes) {
        image = bytes;
        state.firmwarePath = dir.write("fw.bin", bytes);
    }

    int run() {
        running = true;
        return updater.programmingWorker();
    }

    bool enabled(int id) { return window.isControlEnabled(id); }

    void expectFlashMatchesImage() {
        const auto flash = kb.flash();
        for (std::size_t i = 0; i < image.size(); ++i) {
            auto it = flash.find(static_cast<std::uint32_t>(i));
            const std::uint8_t got = it == flash.end() ? 0 : it->second;
            ASSERT_EQ(got, image[i]) << "byte " << i;
        }
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
    Bytes image;
};

TEST_F(WorkerTest, SeparateIspDeviceSucceedsWithoutReadingTheVersion) {
    useFile(applicationImage(8192, busyByte));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Checking Profile", "Profile match", "Chip Erase",
                                        "Chip Erase success", "Start firmware update",
                                        "Firmware update success", "Start Protect", "Protect success",
                                        "Start Reset", "Reset success"}));
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Update successfully!", true}}));
    const auto codes = kb.codes();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes[0], opcode::ISP_CHECK_PROFILE);
    EXPECT_EQ(codes[1], opcode::CHIP_ERASE);
    EXPECT_EQ(codes.back(), opcode::RESET);
    EXPECT_EQ(kb.count(opcode::GET_ISP_VERSION), 0);
    // The stored trailer goes to the keyboard unchanged.
    EXPECT_EQ(kb.requests()[0].args, Bytes(image.end() - 14, image.end() - 4));
    // The worker opens the ISP device by path.
    EXPECT_EQ(kb.opens().back(), kIspPath);
    expectFlashMatchesImage();
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(linkOpen());
    EXPECT_TRUE(enabled(IDC_BROWSE));
    EXPECT_TRUE(enabled(IDC_DOWNLOAD));
    EXPECT_TRUE(enabled(IDC_GET_FW_VERSION));
    EXPECT_FALSE(enabled(IDC_REFRESH));
    EXPECT_EQ(window.progressPos, 100);
    EXPECT_EQ(window.closePosted, 0);
    EXPECT_EQ(host.releaseCalls(), 0);
}

TEST_F(WorkerTest, SamePathConfirmsByTheIspVersion) {
    state.separateIspDevice = 0;
    useFile(applicationImage(4096 + 512, busyByte));
    struct Case {
        std::string version;
        std::uint8_t status;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"A/S5301V10", 0, "Update successfully!"},
        {"A//S5301V10", 0, "Update successfully!"},
        {"S5301V10", 0, "Update finsihed, but failed to get the firmware version!"},
        {"A/B5301V/S", 0, "Update finsihed, but failed to get the firmware version!"},
        {"A/S5301V10", 3, "Update finsihed, but failed to get the firmware version."},
    };
    for (const auto& c : cases) {
        kb.ispVersion = c.version;
        kb.script(opcode::GET_ISP_VERSION, {st(c.status)});
        const std::size_t before = host.results().size();
        EXPECT_EQ(run(), 1);
        ASSERT_EQ(host.results().size(), before + 1);
        EXPECT_EQ(host.results().back(), (Reported{c.text, true})) << c.version;
        EXPECT_FALSE(linkOpen());
        EXPECT_FALSE(running.load());
    }
}

TEST_F(WorkerTest, VersionRuleSplitsAtSlashes) {
    EXPECT_EQ(Updater::versionOutcome(0, "/A/S"), "Update successfully!");
    EXPECT_EQ(Updater::versionOutcome(0, ""), "Update finsihed, but failed to get the firmware version!");
    EXPECT_EQ(Updater::versionOutcome(0, "A/s5301"), "Update finsihed, but failed to get the firmware version!");
    EXPECT_EQ(Updater::versionOutcome(227, "A/S"), "Update finsihed, but failed to get the firmware version.");
}

TEST_F(WorkerTest, IspImageSendsNoProfileCheck) {
    useFile(ispImage(4096, busyByte));
    state.ispImage = 1;
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(kb.count(opcode::ISP_CHECK_PROFILE), 0);
    EXPECT_EQ(kb.codes().front(), opcode::CHIP_ERASE);
    expectFlashMatchesImage();
    EXPECT_EQ(host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
}

TEST_F(WorkerTest, PagedImageSelectsPageZeroAfterTheErase) {
    useFile(applicationImage(65537 + 255, busyByte));
    state.needsPageSelect = 1;
    state.currentPage = 7;
    EXPECT_EQ(run(), 1);
    const auto codes = kb.codes();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes[1], opcode::CHIP_ERASE);
    EXPECT_EQ(codes[2], opcode::GOTO_PAGE);
    EXPECT_EQ(kb.requests()[2].args, Bytes{0});
    EXPECT_EQ(window.statusHistory[4], "Goto page success");
    expectFlashMatchesImage();
}

TEST_F(WorkerTest, MarkerImageTakesTheModeFlagStatus) {
    useFile(applicationImage(4096 + 256, busyByte, kMarkerPattern));
    state.markerImage = 1;
    kb.script(opcode::RESET, {st(5)});
    EXPECT_EQ(run(), 1);
    const auto reqs = kb.requests();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_EQ(reqs[reqs.size() - 2].code, opcode::RESET);
    EXPECT_EQ(reqs.back().code, opcode::SET_MODE_FLAG);
    EXPECT_EQ(reqs.back().args, Bytes{0});
    EXPECT_EQ(host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
}

TEST_F(WorkerTest, ResetOutcomes) {
    useFile(applicationImage(4096 + 256, busyByte));
    kb.script(opcode::RESET, {st(27)});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host.results().back(), (Reported{"Bootloader upgrade fail, please retry.", true}));
    EXPECT_EQ(window.status(), "Reset fail");
    kb.script(opcode::RESET, {st(26)});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host.results().back(), (Reported{"Reset fail", true}));
    EXPECT_FALSE(running.load());
    EXPECT_TRUE(enabled(IDC_DOWNLOAD));
}

TEST_F(WorkerTest, RefusedProfileNamesTheFirmwareAndResets) {
    struct Case {
        std::string code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"GF", "Incorrect profile. This firmware is for RX-431, the profile is Global Full"},
        {"GL", "Incorrect profile. This firmware is for RX-431, the profile is Global Lite"},
        {"CL", "Incorrect profile. This firmware is for RX-431, the profile is Chinese Lite"},
        {"XY", ""},
    };
    for (const auto& c : cases) {
        journal.clear();
        useFile(applicationImage(4096, busyByte, c.code, "RX-431"));
        kb.script(opcode::ISP_CHECK_PROFILE, {st(4)});
        EXPECT_EQ(run(), 0);
        const auto results = host.results();
        ASSERT_GE(results.size(), 2u);
        EXPECT_EQ(results[results.size() - 2], (Reported{c.text, false}));
        EXPECT_EQ(results.back(), (Reported{"Update fail, but reset successfully.", false}));
        const auto j = journal.entries();
        const std::vector<std::string> tail(j.end() - 6, j.end());
        EXPECT_EQ(tail, (std::vector<std::string>{"result:" + c.text + ":more", "status:Checking Profile fail",
                                                  "status:Reset success",
                                                  "result:Update fail, but reset successfully.:more",
                                                  "release", "close"}));
    }
    EXPECT_EQ(kb.count(opcode::CHIP_ERASE), 0);
    EXPECT_EQ(kb.count(opcode::RESET), 4);
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(linkOpen());
    EXPECT_TRUE(enabled(IDC_REFRESH));
    EXPECT_TRUE(enabled(IDC_DOWNLOAD));
    EXPECT_EQ(window.closePosted, 4);
}

TEST_F(WorkerTest, TargetNameStopsAtItsZeroByteAndAtEightCharacters) {
    EXPECT_EQ(Updater::incorrectProfileText("GL", "RX-4"),
              "Incorrect profile. This firmware is for RX-4, the profile is Global Lite");
    useFile(applicationImage(4096, busyByte, "GF", "ABCDEFGH"));
    kb.script(opcode::ISP_CHECK_PROFILE, {st(4)});
    run();
    EXPECT_EQ(host.results().front().text,
              "Incorrect profile. This firmware is for ABCDEFGH, the profile is Global Full");
}

TEST_F(WorkerTest, RefusedEraseResetsAndCloses) {
    useFile(applicationImage(4096, busyByte));
    kb.script(opcode::CHIP_ERASE, {st(1)});
    kb.script(opcode::RESET, {st(9)});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Chip Erase fail", false}, {"Reset fail 2.", false}}));
    EXPECT_NE(std::find(window.statusHistory.begin(), window.statusHistory.end(), "Reset fail 2"),
              window.statusHistory.end());
    EXPECT_EQ(kb.count(opcode::WRITE_BLOCK), 0);
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_EQ(host.releaseCalls(), 1);
}

TEST_F(WorkerTest, RefusedPageZeroClosesWithoutReset) {
    useFile(applicationImage(65536 * 2, busyByte));
    state.needsPageSelect = 1;
    kb.script(opcode::GOTO_PAGE, {st(241)});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Goto page fail", false}}));
    EXPECT_EQ(window.status(), "Goto page fail");
    EXPECT_EQ(kb.count(opcode::RESET), 0);
    EXPECT_EQ(kb.count(opcode::WRITE_BLOCK), 0);
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_EQ(host.releaseCalls(), 1);
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(linkOpen());
}

TEST_F(WorkerTest, FailedWriteTellsTheHostAndCloses) {
    useFile(applicationImage(4096, busyByte));
    kb.scriptWrite(0x300, {st(242), st(242), st(242), st(242)});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Firmware update fail: 242", false}}));
    EXPECT_EQ(host.intermediates(),
              (std::vector<std::string>{"1. Retried 3 times, Update fail at 0x0300, Error: 0xF2"}));
    EXPECT_EQ(host.hostMessages(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}}));
    EXPECT_EQ(window.status(), "Firmware update fail: 242");
    EXPECT_EQ(kb.count(opcode::RESET), 0);
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_FALSE(running.load());
}

TEST_F(WorkerTest, FailedHeadOfAnIspImageReportsMinusTwo) {
    useFile(ispImage(3072, busyByte));
    state.ispImage = 1;
    kb.scriptWrite(0x0, {st(1)});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results().front().text, "Firmware update fail: -2");
    EXPECT_EQ(host.hostMessages(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 1}}));
}

TEST_F(WorkerTest, UnreadableFileWithNoLinkResetsNothing) {
    state.firmwarePath = dir.file("gone.bin");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results(),
              (std::vector<Reported>{{"Can't open file " + state.firmwarePath + ", error = 2\n", true},
                                     {"Reset fail 2.", false}}));
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_EQ(window.closePosted, 1);
    EXPECT_EQ(host.releaseCalls(), 1);
}

TEST_F(WorkerTest, UnopenableIspDeviceLeavesTheWindowUsable) {
    useFile(applicationImage(4096, busyByte));
    kb.failOpen(kIspPath);
    window.enableControl(IDC_DOWNLOAD, false);
    window.enableControl(IDC_BROWSE, false);
    window.enableControl(IDC_GET_FW_VERSION, false);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.results(), (std::vector<Reported>{{"Fail to init the device", true}}));
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_FALSE(running.load());
    EXPECT_TRUE(enabled(IDC_DOWNLOAD));
    EXPECT_TRUE(enabled(IDC_BROWSE));
    EXPECT_TRUE(enabled(IDC_GET_FW_VERSION));
    EXPECT_EQ(window.closePosted, 0);
    EXPECT_EQ(host.releaseCalls(), 0);
}

TEST_F(WorkerTest, ShutdownReleasesThePlatformOnceOnTheUiThread) {
    useFile(applicationImage(4096, busyByte));
    kb.script(opcode::CHIP_ERASE, {st(1), st(1)});
    run();
    run();
    EXPECT_EQ(host.releaseCalls(), 2);
    EXPECT_EQ(host.releasesOffUiThread(), 0);
    EXPECT_EQ(kb.releases(), 1);  // the libraries themselves only once
}

}  // namespace
}  // namespace vantel::test
