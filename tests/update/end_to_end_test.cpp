// Whole downloads on the headless window against simulated keyboards: real
// threads, real re-enumeration, short timings. Each run checks the keyboard's
// flash against the file, the messages in order, and the window afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>

#include "link/commands.h"
#include "sim/sim.h"
#include "sim_rig.h"
#include "support/temp_dir.h"

namespace vantel::test {
namespace {

using sim::IspStyle;
using sim::KeyboardSpec;
using sim::Region;
using sim::SimKeyboard;

KeyboardSpec keyboard(int flashKiB = 64) {
    KeyboardSpec k;
    k.flashKiB = flashKiB;
    k.reenumerateMs = 5;
    return k;
}

// Every third segment of the body is left zero.
std::uint8_t sparseByte(std::size_t i) { return (i >= 256 && (i / 256) % 3 == 1) ? 0 : busyByte(i); }

// Flash equals the file; the segments of the body that are all zero were never written.
void expectFlashMatches(const SimKeyboard& kb, const Bytes& file, Region region = Region::Application) {
    const auto flash = kb.flash(region);
    const auto written = kb.written(region);
    ASSERT_GE(flash.size(), file.size());
    for (std::size_t i = 0; i < file.size(); ++i) ASSERT_EQ(flash[i], file[i]) << "byte " << i;
    for (std::size_t s = 256; s < file.size(); s += 256) {
        const std::size_t end = std::min(file.size(), s + 256);
        const bool zero = std::all_of(file.begin() + static_cast<long>(s), file.begin() + static_cast<long>(end),
                                      [](std::uint8_t b) { return b == 0; });
        for (std::size_t i = s; i < end; ++i) {
            ASSERT_EQ(written[i], !zero) << "segment at " << s;
        }
    }
}

int countCommands(const SimKeyboard& kb, std::uint8_t code) {
    int n = 0;
    for (const auto& c : kb.commands()) n += c.code == code ? 1 : 0;
    return n;
}

const std::vector<std::string> kWorkerSuccess = {
    "Checking Profile", "Profile match", "Chip Erase", "Chip Erase success", "Start firmware update",
    "Firmware update success", "Start Protect", "Protect success", "Start Reset", "Reset success"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class EndToEnd : public ::testing::Test {
protected:
    void download(SimRig& rig, const std::string& path) {
        rig.window.typePath(path);
        rig.window.click(IDC_DOWNLOAD);
    }
    void expectIdleAfterWorker(SimRig& rig) {
        ASSERT_TRUE(rig.finishWorker());
        EXPECT_FALSE(rig.running.load());
        EXPECT_TRUE(rig.enabled(IDC_BROWSE));
        EXPECT_TRUE(rig.enabled(IDC_DOWNLOAD));
        EXPECT_TRUE(rig.enabled(IDC_GET_FW_VERSION));
        EXPECT_FALSE(rig.enabled(IDC_REFRESH));
    }
    TempDir dir;
};

// --- Separate ISP device ---------------------------------------------------------

TEST_F(EndToEnd, ApplicationImageOnWindows8StartsAtTheArrival) {
    SimRig rig;
    rig.host.windows8 = true;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Update successfully!", true}}));
    expectFlashMatches(kb, file);
    EXPECT_EQ(rig.entries("status:"),
              concat({"Entering ISP mode...", "Enter ISP mode success. Waiting for the Windows to detect it."},
                     kWorkerSuccess));
    const auto all = rig.entries();
    const auto armed = std::find(all.begin(), all.end(), "timer:4:600000");
    const auto killed = std::find(all.begin(), all.end(), "kill:4");
    const auto checking = std::find(all.begin(), all.end(), "status:Checking Profile");
    EXPECT_TRUE(armed < killed && killed < checking);
    EXPECT_EQ(kb.eraseCount(), 1);
    EXPECT_FALSE(kb.inIsp());
    // The arrivals refused during the run are caught up afterwards.
    ASSERT_TRUE(rig.sim.flushScheduled(5000));
    rig.window.drain();
    EXPECT_EQ(rig.window.deviceItems(), (std::vector<std::string>{"RX-431"}));
}

TEST_F(EndToEnd, BeforeWindows8TimerThreeStartsTheWorker) {
    Timing t = shortTiming();
    t.deferredStartMs = 1;
    SimRig rig(t);
    rig.host.windows8 = false;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file);
    const auto all = rig.entries();
    const auto deferred = std::find(all.begin(), all.end(), "timer:3:1");
    const auto killed = std::find(all.begin(), all.end(), "kill:3");
    EXPECT_TRUE(deferred < killed && killed < std::find(all.begin(), all.end(), "status:Checking Profile"));
}

TEST_F(EndToEnd, BeforeWindows8TheSecondArrivalWins) {
    SimRig rig;  // timer 3 far away
    rig.host.windows8 = false;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    rig.window.drain();                       // the Download command has run
    ASSERT_TRUE(rig.sim.flushScheduled(5000));  // the keyboard is back as its boot loader
    rig.window.drain();                       // and its arrival was handled
    EXPECT_TRUE(rig.window.timerArmed(TIMER_DEFERRED_START));
    EXPECT_FALSE(rig.updater->workerThreadActive());
    EXPECT_TRUE(rig.host.results().empty());
    rig.sim.raiseEvent(DBT_DEVICEARRIVAL, kHidInterfaceClass, kb.path());
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_FALSE(rig.window.timerArmed(TIMER_DEFERRED_START));
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file);
}

TEST_F(EndToEnd, GotoPage241WaitsForTheIspDevice) {
    SimRig rig;
    KeyboardSpec spec = keyboard(128);
    spec.gotoPageStatus = 241;
    SimKeyboard& kb = rig.sim.addKeyboard(spec);
    const Bytes file = applicationImage(131072, sparseByte);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    EXPECT_EQ(rig.entries("status:")[1], "Goto page success!!");
    expectFlashMatches(kb, file);
}

// --- The boot loader on the keyboard's own path --------------------------------------

TEST_F(EndToEnd, PagedImagesOnTheSamePath) {
    for (std::size_t length : {std::size_t{131072}, std::size_t{196608}}) {
        SCOPED_TRACE(length);
        SimRig rig;
        KeyboardSpec spec = keyboard(static_cast<int>(length / 1024));
        spec.isp = IspStyle::SamePath;
        SimKeyboard& kb = rig.sim.addKeyboard(spec);
        // The 196608-byte image leaves its second page all zero.
        const Bytes file = applicationImage(length, [&](std::size_t i) {
            return (length == 196608 && i >= 65536 && i < 131072) ? std::uint8_t{0} : sparseByte(i);
        });
        rig.initialise();
        rig.listen();
        download(rig, dir.write("fw" + std::to_string(length) + ".bin", file));
        ASSERT_TRUE(rig.waitForResults(1));
        expectIdleAfterWorker(rig);
        EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
        expectFlashMatches(kb, file);
        std::vector<int> pages;
        for (const auto& c : kb.commands()) {
            if (c.code == opcode::GOTO_PAGE && c.inIsp) pages.push_back(c.args[0]);
        }
        EXPECT_EQ(pages, length == 131072 ? (std::vector<int>{0, 1}) : (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(countCommands(kb, opcode::GET_ISP_VERSION), 1);  // confirmed on the same path
        const auto statuses = rig.entries("status:");
        EXPECT_EQ(statuses[1], "Goto page success");
    }
}

TEST_F(EndToEnd, IspImageIsWrittenThroughTheChosenDevice) {
    SimRig rig;
    KeyboardSpec spec = keyboard();
    spec.bootFlashKiB = 4;
    SimKeyboard& kb = rig.sim.addKeyboard(spec);
    const Bytes file = ispImage(4096, sparseByte);
    // An earlier application image left its flag behind; an ISP image does not inherit it.
    rig.initialise([&] { rig.state.separateIspDevice = 1; });
    rig.listen();
    download(rig, dir.write("isp.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file, Region::Boot);
    EXPECT_EQ(countCommands(kb, opcode::ENTER_ISP_BOOT), 1);
    EXPECT_EQ(countCommands(kb, opcode::ISP_CHECK_PROFILE), 0);
    EXPECT_EQ(countCommands(kb, opcode::GET_ISP_VERSION), 1);
    EXPECT_EQ(rig.state.separateIspDevice, 0);
}

TEST_F(EndToEnd, MarkerImageTurnsTheModeFlagOnAndOff) {
    SimRig rig;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, sparseByte, kMarkerPattern);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("marker.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(kb.modeFlagHistory(), (std::vector<bool>{true, false}));
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file);
}

TEST_F(EndToEnd, LegacyKeyboard) {
    SimRig rig;
    KeyboardSpec spec = keyboard();
    spec.legacy = true;
    spec.vid = 0x0404;
    spec.pid = 0x0322;
    SimKeyboard& kb = rig.sim.addKeyboard(spec);
    const Bytes file = applicationImage(40000, sparseByte);  // no size rule for legacy keyboards
    rig.initialise();
    ASSERT_EQ(rig.window.deviceItems(), (std::vector<std::string>{"RX-401"}));
    rig.listen();
    download(rig, dir.write("legacy.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file);
    EXPECT_EQ(countCommands(kb, opcode::CHECK_PROFILE), 0);
}

TEST_F(EndToEnd, KeyboardAlreadyInIspMode) {
    SimRig rig;
    KeyboardSpec spec = keyboard();
    spec.startsInIsp = true;
    SimKeyboard& kb = rig.sim.addKeyboard(spec);
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    ASSERT_EQ(rig.window.deviceItems(), (std::vector<std::string>{"ISP Mode"}));
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    EXPECT_EQ(countCommands(kb, opcode::CHECK_PROFILE), 0);
    EXPECT_EQ(countCommands(kb, opcode::ENTER_ISP), 1);
    expectFlashMatches(kb, file);
    EXPECT_EQ(rig.entries("timer:").size(), 0u);  // no wait for an arrival
}

// --- Projects named in the path ----------------------------------------------------

TEST_F(EndToEnd, VersionCheckedProjects) {
    for (const char* project : {"5304", "5305", "5306", "5307", "5308"}) {
        SCOPED_TRACE(project);
        SimRig rig;
        KeyboardSpec spec = keyboard();
        spec.appVersion = std::string("S") + project + "V10";
        SimKeyboard& kb = rig.sim.addKeyboard(spec);
        const Bytes file = applicationImage(65536, sparseByte);
        rig.initialise();
        rig.listen();
        // Another project: refused with a box, nothing sent beyond the version read.
        const std::string other = std::string(project) == "5304" ? "5305" : "5304";
        download(rig, dir.write("p" + other + ".bin", file));
        rig.window.drain();
        EXPECT_EQ(rig.entries("box:"), (std::vector<std::string>{"Firmware mismatch.\nNot allowed to download."}));
        EXPECT_EQ(countCommands(kb, opcode::ENTER_ISP), 0);
        // The keyboard's own project: downloaded.
        download(rig, dir.write(std::string("p") + project + ".bin", file));
        ASSERT_TRUE(rig.waitForResults(1));
        expectIdleAfterWorker(rig);
        EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
        expectFlashMatches(kb, file);
        EXPECT_EQ(countCommands(kb, opcode::GET_VERSION), 2);
    }
}

TEST_F(EndToEnd, TagProjects) {
    struct Case {
        const char* project;
        std::vector<bool> modeFlags;
    };
    for (const Case& c : {Case{"5309", {}}, Case{"5310", {false}}}) {
        SCOPED_TRACE(c.project);
        SimRig rig;
        KeyboardSpec spec = keyboard();
        spec.profiles = {};  // any profile check would be refused
        SimKeyboard& kb = rig.sim.addKeyboard(spec);
        const Bytes file = applicationImage(65536, sparseByte);
        rig.initialise();
        rig.listen();
        download(rig, dir.write(std::string("t") + c.project + ".bin", file));
        ASSERT_TRUE(rig.waitForResults(1));
        expectIdleAfterWorker(rig);
        EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
        EXPECT_EQ(countCommands(kb, opcode::CHECK_PROFILE), 0);
        EXPECT_EQ(kb.modeFlagHistory(), c.modeFlags);
        expectFlashMatches(kb, file);
    }
}

// --- Host-driven runs ----------------------------------------------------------------

TEST_F(EndToEnd, HostNamesTheKeyboardByVidAndPid) {
    SimRig rig;
    rig.host.hostDrivenRun = true;
    rig.host.vid = 0x0F39;
    rig.host.pid = 0x0875;
    SimKeyboard& first = rig.sim.addKeyboard(keyboard());
    KeyboardSpec second = keyboard();
    second.pid = 0x0875;
    SimKeyboard& named = rig.sim.addKeyboard(second);
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    ASSERT_EQ(rig.window.deviceItems(), (std::vector<std::string>{"RX-431", "RX-409"}));
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));  // the final result closes the run
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Update successfully!", true}}));
    expectFlashMatches(named, file);
    EXPECT_EQ(first.eraseCount(), 0);
    EXPECT_TRUE(first.commands().empty());
    const auto all = rig.entries();
    EXPECT_TRUE(std::find(all.begin(), all.end(), "result:Update successfully!:final") <
                std::find(all.begin(), all.end(), "end"));
}

TEST_F(EndToEnd, HostFallsBackToTheIspModeEntry) {
    SimRig rig;
    rig.host.hostDrivenRun = true;
    rig.host.vid = 0x0F39;
    rig.host.pid = 0x0875;
    SimKeyboard& first = rig.sim.addKeyboard(keyboard());
    KeyboardSpec boot = keyboard();
    boot.startsInIsp = true;
    SimKeyboard& inIsp = rig.sim.addKeyboard(boot);
    const Bytes file = applicationImage(65536, sparseByte);
    rig.initialise();
    ASSERT_EQ(rig.window.deviceItems(), (std::vector<std::string>{"RX-431", "ISP Mode"}));
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(inIsp, file);
    EXPECT_TRUE(first.commands().empty());
}

TEST_F(EndToEnd, HostNamedModelThatIsNotThere) {
    SimRig rig;
    rig.host.hostDrivenRun = true;
    rig.host.vid = 0x0F39;
    rig.host.pid = 0x0875;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    rig.initialise();
    download(rig, dir.write("fw.bin", applicationImage(65536, sparseByte)));
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Model doest not match.", true}}));
    EXPECT_TRUE(kb.commands().empty());
}

// --- Retries and failures ------------------------------------------------------------

// Handles on which a request starting with the watched bytes was sent.
struct SendLog {
    std::mutex mutex;
    std::vector<HidHandle> handles;
};

// Shortens the reply wait for the exchanges whose request starts with these bytes;
// runs on the sending thread, which alone reads the wait.
void shortWaitFor(sim::SimBackend& sim, std::vector<std::uint8_t> head, SendLog* log = nullptr) {
    sim.setTraceCallback([head, log](const sim::TraceEntry& e) {
        if (e.kind != sim::TraceKind::Set || e.bytes.size() < head.size() + 1) return;
        if (!std::equal(head.begin(), head.end(), e.bytes.begin() + 1)) return;
        timing().replyWaitMs = 20;
        if (log) {
            std::lock_guard<std::mutex> lock(log->mutex);
            log->handles.push_back(e.handle);
        }
    });
}

TEST_F(EndToEnd, TimeoutOnEverySendMeansElevenSendsAndTenReopens) {
    SimRig rig;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    kb.noAnswer(opcode::ENTER_ISP, sim::kAlways);
    SendLog sends;
    shortWaitFor(rig.sim, {0xEA, 0x02, 0xA0}, &sends);
    rig.initialise();
    download(rig, dir.write("fw.bin", applicationImage(65536, sparseByte)));
    ASSERT_TRUE(rig.waitForResults(1));
    rig.window.drain();
    EXPECT_EQ(rig.host.results(),
              (std::vector<Reported>{{"Enter ISP mode fail.\nPlease re-plug the keyboard", true}}));
    EXPECT_EQ(rig.entries("status:").back(), "Enter ISP mode fail");
    EXPECT_EQ(countCommands(kb, opcode::ENTER_ISP), 11);
    std::lock_guard<std::mutex> lock(sends.mutex);
    EXPECT_EQ(sends.handles.size(), 11u);
    // A fresh open before each of the ten further sends.
    EXPECT_EQ(std::set<HidHandle>(sends.handles.begin(), sends.handles.end()).size(), 11u);
    EXPECT_TRUE(rig.enabled(IDC_DOWNLOAD));
    EXPECT_EQ(kb.eraseCount(), 0);
}

TEST_F(EndToEnd, FailedSendEndsTheIspEntryAtOnce) {
    SimRig rig;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    rig.initialise();
    rig.sim.failSetFeature(1, 1);  // the first report of CMD_ENTER_ISP: no profile check, no mode flag
    download(rig, dir.write("x5309.bin", applicationImage(65536, sparseByte)));
    ASSERT_TRUE(rig.waitForResults(1));
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Enter ISP mode fail.\nPlease re-plug the keyboard"}));
    EXPECT_EQ(countCommands(kb, opcode::ENTER_ISP), 0);
    EXPECT_FALSE(kb.inIsp());
}

TEST_F(EndToEnd, Status242ThreeTimesThenAccepted) {
    SimRig rig;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    kb.failWriteAt(0x1200, 242, 3);
    const Bytes file = applicationImage(65536, busyByte);
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    EXPECT_TRUE(rig.host.intermediates().empty());
    expectFlashMatches(kb, file);
    int atOffset = 0;
    for (const auto& c : kb.commands()) {
        if (c.code == opcode::WRITE_BLOCK && c.args[0] == 0x12 && c.args[1] == 0x00) ++atOffset;
    }
    EXPECT_EQ(atOffset, 4);
}

TEST_F(EndToEnd, TimeoutOnABodyBlockFailsTheWriteAndClosesTheWindow) {
    SimRig rig;
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, busyByte);
    kb.noAnswer(opcode::WRITE_BLOCK, 1, 0x1200 / 64 + 1);
    shortWaitFor(rig.sim, {0xEA, 0x44, 0xA1, 0x12, 0x00});
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    const std::string text = "1. Retried 0 times, Update fail at 0x1200, Error: 0xE3";
    EXPECT_EQ(rig.host.intermediates(), (std::vector<std::string>{text}));
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Firmware update fail: 227", false}}));
    EXPECT_EQ(rig.host.hostMessages(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}}));
    EXPECT_EQ(rig.host.releaseCalls(), 1);
    EXPECT_EQ(rig.host.releasesOffUiThread(), 0);
    EXPECT_FALSE(rig.running.load());
    EXPECT_FALSE(rig.updater->workerThreadActive());
    const auto statuses = rig.entries("status:");
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], text);
    EXPECT_EQ(statuses.back(), "Firmware update fail: 227");
    EXPECT_EQ(countCommands(kb, opcode::RESET), 0);
}

TEST_F(EndToEnd, NoIspDeviceWithinTheTimeout) {
    Timing t = shortTiming();
    t.ispArrivalTimeoutMs = 5;
    SimRig rig(t);
    rig.sim.addKeyboard(keyboard());
    rig.initialise();  // nobody listens: the boot loader's arrival never reaches the window
    download(rig, dir.write("fw.bin", applicationImage(65536, sparseByte)));
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    EXPECT_EQ(rig.host.hostMessages(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}}));
    EXPECT_TRUE(rig.host.results().empty());
    EXPECT_TRUE(rig.entries("box:").empty());
    EXPECT_FALSE(rig.updater->workerThreadActive());
}

TEST_F(EndToEnd, FailureSignalWhileWaiting) {
    SimRig rig;
    rig.sim.addKeyboard(keyboard());
    rig.initialise();
    download(rig, dir.write("fw.bin", applicationImage(65536, sparseByte)));
    rig.window.drain();
    ASSERT_FALSE(rig.enabled(IDC_DOWNLOAD));
    rig.window.deviceChanged(makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kFailureSignalClass, "\\\\?\\x", false));
    rig.window.drain();
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Failed to download the firmware.", true}}));
    EXPECT_TRUE(rig.enabled(IDC_DOWNLOAD));
    EXPECT_TRUE(rig.enabled(IDC_BROWSE));
    EXPECT_FALSE(rig.enabled(IDC_GET_FW_VERSION));
    EXPECT_EQ(rig.window.controlText(IDC_STATUS), "");
    EXPECT_TRUE(rig.window.timerArmed(TIMER_ISP_TIMEOUT));
}

// --- Closing and arrivals while the worker runs --------------------------------------------

TEST_F(EndToEnd, CloseAndArrivalDuringTheWriteWaitForTheWorker) {
    Timing t = shortTiming();
    t.replyWaitMs = 600000;  // the held reply is waited for however long the test takes
    SimRig rig(t);
    SimKeyboard& kb = rig.sim.addKeyboard(keyboard());
    const Bytes file = applicationImage(65536, sparseByte);
    // Hold the keyboard's answer to the worker's first write.
    rig.sim.setTraceCallback([&rig](const sim::TraceEntry& e) {
        if (e.kind == sim::TraceKind::Set && e.bytes.size() > 5 && e.bytes[1] == 0xEA && e.bytes[3] == 0xA1 &&
            e.bytes[4] == 0 && e.bytes[5] == 0) {
            rig.sim.holdNextReply();
        }
    });
    rig.initialise();
    rig.listen();
    download(rig, dir.write("fw.bin", file));
    ASSERT_TRUE(rig.sim.waitUntilHeld(20000));
    std::string reopenBefore;
    rig.window.invoke([&] { reopenBefore = rig.state.reopenPath; });

    rig.window.requestClose();
    rig.sim.raiseEvent(DBT_DEVICEARRIVAL, kHidInterfaceClass, "\\\\?\\hid#vid_0f39&pid_0001#9&other");
    ASSERT_TRUE(rig.sim.flushScheduled(5000));
    rig.window.drain();
    EXPECT_FALSE(rig.window.ended());
    std::string reopenDuring;
    rig.window.invoke([&] { reopenDuring = rig.state.reopenPath; });
    EXPECT_EQ(reopenDuring, reopenBefore);
    rig.sim.releaseHeld();

    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    expectFlashMatches(kb, file);
    EXPECT_EQ(kb.eraseCount(), 1);  // one worker only
    const auto all = rig.entries();
    const auto close = std::find(all.begin(), all.end(), "close");
    const auto result = std::find(all.begin(), all.end(), "result:Update successfully!:final");
    const auto end = std::find(all.begin(), all.end(), "end");
    EXPECT_TRUE(close < result && result < end);
    EXPECT_FALSE(rig.updater->workerThreadActive());
}

// --- Automatic starts ------------------------------------------------------------------

TEST_F(EndToEnd, EventLogRunWaitsNineTimesForASelection) {
    Timing t = shortTiming();
    t.autoStartMs = 2;
    t.autoStartRetryMs = 1;
    SimRig rig(t);
    rig.host.eventLog = true;
    rig.host.hostDrivenRun = true;
    rig.initialise([&] { rig.window.setTimer(TIMER_AUTO_START, timing().autoStartMs); });
    ASSERT_TRUE(rig.window.waitUntilEnded(20000));
    EXPECT_EQ(rig.host.results(), (std::vector<Reported>{{"Please select a device first.", true}}));
    const auto timers = rig.entries("timer:1:");
    EXPECT_EQ(timers, (std::vector<std::string>{"2", "1", "1", "1", "1", "1", "1", "1", "1", "1"}));
    EXPECT_EQ(rig.state.selectRetries, 10);
}

class KeywordRun : public EndToEnd {
protected:
    void SetUp() override {
        saved_ = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
    }
    void TearDown() override { std::filesystem::current_path(saved_); }
    std::filesystem::path saved_;
};

TEST_F(KeywordRun, ChosenFileIsDownloadedFromTheCurrentDirectory) {
    SimRig rig;
    KeyboardSpec spec = keyboard();
    spec.appVersion = "S5301V12";
    SimKeyboard& kb = rig.sim.addKeyboard(spec);
    const Bytes file = applicationImage(65536, sparseByte);
    dir.write("L5301V13.bin", file);
    rig.host.keyword = 1;
    rig.listen();  // the automatic download follows the version query at once
    rig.initialise([&] { rig.updater->OnGetFwVersion(); });
    EXPECT_EQ(rig.host.chosenFile(), "L5301V13.bin");
    ASSERT_TRUE(rig.waitForResults(1));
    expectIdleAfterWorker(rig);
    EXPECT_EQ(rig.host.resultTexts(), (std::vector<std::string>{"Update successfully!"}));
    EXPECT_EQ(rig.window.controlText(IDC_FIRMWARE_PATH), "L5301V13.bin");
    EXPECT_EQ(rig.host.keyword.load(), 0);
    expectFlashMatches(kb, file);
}

TEST_F(KeywordRun, FileByVersionAndMode) {
    struct Case {
        int mode;
        std::string version;
        std::string file;
    };
    for (const Case& c : {Case{1, "S5302V12", ""}, Case{2, "xB5301Vy", "L5303V13.bin"}}) {
        SCOPED_TRACE(c.version);
        SimRig rig;
        KeyboardSpec spec = keyboard();
        spec.appVersion = c.version;
        rig.sim.addKeyboard(spec);
        rig.host.keyword = c.mode;
        rig.initialise([&] { rig.updater->OnGetFwVersion(); });
        EXPECT_EQ(rig.host.chosenFile(), c.file);
        if (c.file.empty()) {
            EXPECT_EQ(rig.entries("box:"),
                      (std::vector<std::string>{"Incorrect firmware version is detected.\nSo there is no need to update the firwmare."}));
            EXPECT_FALSE(rig.window.timerArmed(TIMER_AUTO_START));
        } else {
            // The file is not there: the automatic download reports it.
            ASSERT_TRUE(rig.waitForResults(1));
            EXPECT_EQ(rig.host.resultTexts()[0].rfind("Can't open file L5303V13.bin, error = 2", 0), 0u);
        }
    }
}

}  // namespace
}  // namespace vantel::test
