// Whole runs through the main window's logic, the headless window and the
// simulated keyboard: the command line starts the download, the keyboard comes
// back as its boot loader, the worker writes the flash and the outcome reaches
// the channel the run asked for.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/vantel_dlg.h"
#include "image/image.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/sim.h"
#include "support/recording_shell.h"
#include "support/temp_dir.h"
#include "headless/headless_window.h"

namespace vantel {
namespace {

constexpr int kRunTimeoutMs = 30000;  // only reached when a run hangs

// Waits for a state that other threads reach; the bound only matters on a hang.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A 64 KB application image for the profile "GF": a pattern with zero
// segments, the image magic and the scrambled trailer.
std::vector<std::uint8_t> applicationImage(std::size_t length = 65536) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        const bool zeroSegment = (i / 256) % 5 == 2;
        bytes[i] = zeroSegment ? 0 : static_cast<std::uint8_t>((i * 7 + 3) % 251 + 1);
    }
    bytes[length - 16] = 0x7B;
    bytes[length - 15] = 0x6A;
    const std::uint8_t plain[10] = {'G', 'F', 'R', 'X', '4', '3', '1', 0, 0, 0};
    for (std::size_t i = 0; i < 10; ++i) bytes[length - 14 + i] = descrambleByte(plain[i]);
    return bytes;
}

// Records the boxes of the headless window and lets the test wait for them.
class BoxRecorder : public WindowObserver {
public:
    // Runs while the box is up, on the thread that asked for it.
    std::function<void(const std::string&)> whileShown;

    void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        if (whileShown) whileShown(text);
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back({text, caption, icon});
        changed_.notify_all();
    }
    struct Box {
        std::string text;
        std::string caption;
        BoxIcon icon;
    };
    std::vector<Box> boxes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return boxes_;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& b : boxes()) out.push_back(b.text);
        return out;
    }
    bool waitFor(std::size_t count, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return boxes_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Box> boxes_;
};

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = timing();
        Timing t = scaledTiming(Timing{}, 1, 100);
        // Waits that only end a run when something went wrong stay long, so a
        // busy machine cannot turn a good run into a timeout.
        t.replyWaitMs = 5000;
        t.ispArrivalTimeoutMs = 60000;
        timing() = t;
        shell.windows8 = true;
        window.setObserver(&recorder);
    }
    void TearDown() override {
        sim.setDeviceEventSink(nullptr);
        if (dlg && !window.ended()) window.endWindow();
        dlg.reset();
        // A reply reader given up by a command may still read the table.
        EXPECT_TRUE(waitForReadersToEnd(5000));
        timing() = saved_;
    }

    void run(const std::vector<std::string>& arguments) {
        dlg = std::make_unique<CVantelDlg>(window, shell, sim);
        sim.setDeviceEventSink(&window);
        window.start(*dlg);
        window.initialise([&] { dlg->OnInitDialog(arguments); });
    }

    Timing saved_;
    BoxRecorder recorder;
    HeadlessWindow window;
    sim::SimBackend sim;
    RecordingShell shell;
    std::unique_ptr<CVantelDlg> dlg;
};

TEST_F(FlowTest, AHostDrivenResultFileRunFlashesTheKeyboardAndTellsTheHost) {
    auto& kb = sim.addKeyboard({});
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("Board_GF.bin", image);
    const std::string result = dir.file("result.txt");

    run({firmware, result, "0F39", "0x0641"});
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));

    EXPECT_EQ(kb.flash(), image);
    EXPECT_EQ(kb.eraseCount(), 1);
    EXPECT_FALSE(kb.inIsp());
    EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\nUpdate successfully!");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 0}}));
    EXPECT_TRUE(recorder.boxes().empty());
    // The run hid behind its tray icon, which is gone with the window.
    EXPECT_EQ(shell.trayAdds(), 1);
    EXPECT_FALSE(shell.trayShown());
    EXPECT_FALSE(sim.hidLibraryLoaded());
    EXPECT_FALSE(linkOpen());
}

// The host names one keyboard while the list shows another as selected. A
// retried command reopens the keyboard being updated, never the selection.
TEST_F(FlowTest, ARetryReopensTheKeyboardTheHostNamedNotTheSelection) {
    auto& selected = sim.addKeyboard({});  // RX-431, listed first and selected
    sim::KeyboardSpec named;
    named.pid = 0x0875;                    // RX-409
    auto& target = sim.addKeyboard(named);
    target.noAnswer(opcode::CHECK_PROFILE, 1);  // one timeout, then the retry
    timing().replyWaitMs = 1000;
    const auto untouched = selected.flash();
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("fw.bin", image);
    const std::string result = dir.file("result.txt");

    run({firmware, result, "0F39", "0875"});
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));

    EXPECT_EQ(target.flash(), image);
    EXPECT_EQ(target.eraseCount(), 1);
    EXPECT_EQ(selected.flash(), untouched);
    EXPECT_EQ(selected.eraseCount(), 0);
    for (const auto& c : selected.commands()) EXPECT_NE(c.code, opcode::ENTER_ISP);
    int checks = 0;
    for (const auto& c : target.commands()) checks += c.code == opcode::CHECK_PROFILE ? 1 : 0;
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\nUpdate successfully!");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 0}}));
}

// The path field is changed while the download waits for the boot loader:
// the file written is still the one the Download command checked.
TEST_F(FlowTest, TheFileWrittenIsTheFileThatWasChecked) {
    sim::KeyboardSpec spec;
    spec.reenumerateMs = 600000;  // the boot loader arrives when the test lets it
    auto& kb = sim.addKeyboard(spec);
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("fw.bin", image);
    const std::string unchecked = dir.write("other.bin", std::vector<std::uint8_t>(40000, 0x55));
    const std::string result = dir.file("result.txt");

    run({firmware, result});
    ASSERT_TRUE(eventually([&] { return window.timerArmed(TIMER_ISP_TIMEOUT); }));
    window.drain();
    EXPECT_FALSE(window.isControlEnabled(IDC_FIRMWARE_PATH));
    EXPECT_FALSE(window.isControlEnabled(IDC_BROWSE));
    window.typePath(unchecked);
    window.drain();
    ASSERT_TRUE(sim.flushScheduled(kRunTimeoutMs));
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));

    EXPECT_EQ(kb.flash(), image);
    EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\nUpdate successfully!");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 0}}));
}

TEST_F(FlowTest, AnEventLogRunWritesTheResultEntry) {
    auto& kb = sim.addKeyboard({});
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("fw.bin", image);

    run({firmware, "EVENTVIEWER"});
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));

    EXPECT_EQ(kb.flash(), image);
    EXPECT_EQ(shell.compactLayouts(), 1);
    EXPECT_EQ(shell.eventTexts(),
              std::vector<std::string>{"Result of updating " + firmware + ":\r\nUpdate successfully!"});
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 0}}));
}

TEST_F(FlowTest, AFailedWriteEndsTheRunThroughTheWorkersShutdown) {
    auto& kb = sim.addKeyboard({});
    kb.failWriteAt(0x4000, 0x09, sim::kAlways);
    TempDir dir;
    const std::string firmware = dir.write("fw.bin", applicationImage());
    const std::string result = dir.file("result.txt");

    run({firmware, result});
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));

    const std::string text = TempDir::read(result);
    EXPECT_EQ(text.rfind("Result of updating " + firmware + ":\r\r\nFirmware update fail: ", 0), 0u)
        << text;
    ASSERT_FALSE(shell.posted().empty());
    EXPECT_EQ(shell.posted().back(), (PostedMessage{"Brenmoor", 2024, 1, 1}));
    EXPECT_FALSE(sim.hidLibraryLoaded());
    EXPECT_FALSE(shell.trayShown());
    EXPECT_FALSE(linkOpen());
}

// The failure signal ends the run while the worker writes; the deferred close
// lets the worker finish, and its own outcome must not follow the first.
TEST_F(FlowTest, AFinalResultEndsTheRunForGood) {
    auto& kb = sim.addKeyboard({});
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("fw.bin", image);
    const std::string result = dir.file("result.txt");
    std::atomic<bool> signalled{false};
    sim.setTraceCallback([&](const sim::TraceEntry& e) {
        // At the erase request, on the worker's thread: hold the worker until
        // the window has handled the signal.
        const bool erase = e.kind == sim::TraceKind::Set && e.bytes.size() > 3 && e.bytes[1] == REQUEST_START &&
                           e.bytes[3] == opcode::CHIP_ERASE;
        if (!erase || signalled.exchange(true)) return;
        sim.raiseEvent(DBT_DEVICEARRIVAL, kFailureSignalClass, "signal");
        EXPECT_TRUE(shell.waitForPosts(1, kRunTimeoutMs));
    });

    run({firmware, result});
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));
    sim.setTraceCallback(nullptr);

    EXPECT_TRUE(signalled);
    EXPECT_EQ(kb.flash(), image);  // the write was let finish
    EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\nFailed to download the firmware.");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
}

// Runs that the worker's shutdown ends, after texts that are not final: the
// host hears of the failure exactly once, and the result file keeps the last text.
TEST_F(FlowTest, AShutdownWithoutAFinalResultTellsTheHostOnce) {
    struct Case {
        const char* name;
        std::function<void(sim::SimKeyboard&)> fault;
        std::string lastText;
    };
    const Case cases[] = {
        {"profile refused", [](sim::SimKeyboard& kb) { kb.failCommand(opcode::ISP_CHECK_PROFILE, 0x09); },
         "Update fail, but reset successfully."},
        {"erase refused", [](sim::SimKeyboard& kb) { kb.failCommand(opcode::CHIP_ERASE, 0x09); },
         "Update fail, but reset successfully."},
        {"write failed", [](sim::SimKeyboard& kb) { kb.failWriteAt(0x4000, 0x09, sim::kAlways); },
         "Firmware update fail: 9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimBackend caseSim;
        RecordingShell caseShell;
        caseShell.windows8 = true;
        HeadlessWindow caseWindow;
        c.fault(caseSim.addKeyboard({}));
        TempDir dir;
        const std::string firmware = dir.write("fw.bin", applicationImage());
        const std::string result = dir.file("result.txt");
        {
            CVantelDlg caseDlg(caseWindow, caseShell, caseSim);
            caseSim.setDeviceEventSink(&caseWindow);
            caseWindow.start(caseDlg);
            caseWindow.initialise([&] { caseDlg.OnInitDialog({firmware, result}); });
            ASSERT_TRUE(caseWindow.waitUntilEnded(kRunTimeoutMs));
            caseSim.setDeviceEventSink(nullptr);
        }
        EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\n" + c.lastText);
        EXPECT_EQ(caseShell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
    }
}

// Set by the report trace when the block at 0x4000 has gone out; its reply
// reader then cannot start.
std::atomic<bool> refuseNextReader{false};
bool refuseReader(std::uint64_t) { return refuseNextReader.exchange(false); }

// A block whose reply nobody could read is not a written block, even though
// the record that should have held the reply is all zero.
TEST_F(FlowTest, ABlockWithoutAReadReplyIsNotWritten) {
    auto& kb = sim.addKeyboard({});
    kb.failWriteAt(0x4000, 0x09);  // the keyboard does not take it either
    TempDir dir;
    const std::string firmware = dir.write("fw.bin", applicationImage());
    const std::string result = dir.file("result.txt");
    sim.setTraceCallback([](const sim::TraceEntry& e) {
        const auto& b = e.bytes;
        if (e.kind == sim::TraceKind::Set && b.size() > 5 && b[1] == REQUEST_START && b[3] == opcode::WRITE_BLOCK &&
            b[4] == 0x40 && b[5] == 0x00) {
            refuseNextReader = true;
        }
    });
    testing::setReaderStartRefusal(refuseReader);

    run({firmware, result});
    const bool ended = window.waitUntilEnded(kRunTimeoutMs);
    testing::setReaderStartRefusal(nullptr);
    sim.setTraceCallback(nullptr);
    ASSERT_TRUE(ended);

    EXPECT_EQ(kb.blockWrites().count(0x4000), 0u);  // never taken
    EXPECT_EQ(kb.blockWrites().count(0x4040), 0u);  // and nothing written after it
    EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\nFirmware update fail: 228");
    EXPECT_EQ(shell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
}

// A file no framed keyboard can take is refused before any command is sent,
// with the size rule's texts; a legacy keyboard keeps its own refusal of a
// file without a whole head.
TEST_F(FlowTest, AFileNoKeyboardCanTakeIsRefusedBeforeTheKeyboardIsTouched) {
    sim::KeyboardSpec legacy;
    legacy.vid = 0x0404;
    legacy.pid = 0x0322;
    legacy.legacy = true;
    struct Case {
        std::size_t length;
        bool legacyKeyboard;
        std::string text;
    };
    const std::string notForIt = "The firmware file is not for this keyboard.\nPlease use another firmware file.";
    const Case cases[] = {
        {2000, false, notForIt},            // not whole KiB
        {256 * 1024, false, notForIt},      // above 255 KiB
        {200, false, notForIt},             // no whole head either
        {200, true, "The firmware file is not a valid firmware file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.legacyKeyboard ? " legacy" : " framed"));
        sim::SimBackend caseSim;
        RecordingShell caseShell;
        HeadlessWindow caseWindow;
        auto& kb = caseSim.addKeyboard(c.legacyKeyboard ? legacy : sim::KeyboardSpec{});
        const auto before = kb.flash();
        TempDir dir;
        const std::string firmware = dir.write("fw.bin", applicationImage(c.length));
        const std::string result = dir.file("result.txt");
        {
            CVantelDlg caseDlg(caseWindow, caseShell, caseSim);
            caseWindow.start(caseDlg);
            caseWindow.initialise([&] { caseDlg.OnInitDialog({firmware, result}); });
            ASSERT_TRUE(caseWindow.waitUntilEnded(kRunTimeoutMs));
        }
        EXPECT_TRUE(kb.commands().empty());
        EXPECT_FALSE(kb.inIsp());
        EXPECT_EQ(kb.flash(), before);
        EXPECT_EQ(TempDir::read(result), "Result of updating " + firmware + ":\r\r\n" +
                                             (c.text == notForIt ? "The firmware file is not for this keyboard.\r\nPlease use another firmware file." : c.text));
        EXPECT_EQ(caseShell.posted(), (std::vector<PostedMessage>{{"Brenmoor", 2024, 1, 1}}));
    }
}

TEST_F(FlowTest, AFileArgumentRunStartsByItselfAndShowsTheOutcome) {
    auto& kb = sim.addKeyboard({});
    TempDir dir;
    const auto image = applicationImage();
    const std::string firmware = dir.write("Mixed_Case.BIN", image);

    run({firmware});
    ASSERT_TRUE(recorder.waitFor(1, kRunTimeoutMs));
    window.drain();

    EXPECT_EQ(recorder.texts(), std::vector<std::string>{"Update successfully!"});
    EXPECT_EQ(recorder.boxes()[0].caption, "USB Firmware Downloader");
    EXPECT_EQ(kb.flash(), image);
    EXPECT_EQ(dlg->values().runMode, RunMode::FileArgument);
    EXPECT_FALSE(window.ended());  // an interactive outcome leaves the window open
    EXPECT_TRUE(shell.posted().empty());

    window.requestClose();
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));
}

TEST_F(FlowTest, AServiceHotkeyWhileTheWorkerIsStillAliveIsIgnored) {
    auto& kb = sim.addKeyboard({});
    TempDir dir;
    const std::string firmware = dir.write("fw.bin", applicationImage());
    // The worker shows its outcome on its own thread and is still alive while
    // the box is up (it has already cleared workerRunning); the hotkeys are
    // handled on the window's thread meanwhile.
    recorder.whileShown = [&](const std::string& text) {
        if (text != "Update successfully!") return;
        window.hotKey(1);
        window.hotKey(2);
        window.drain();
    };

    run({firmware});
    ASSERT_TRUE(recorder.waitFor(1, kRunTimeoutMs));
    window.drain();

    EXPECT_EQ(recorder.texts(), std::vector<std::string>{"Update successfully!"});
    EXPECT_EQ(kb.testModeCount(), 0);
    EXPECT_EQ(kb.factoryDefaultsCount(), 0);

    // Once the worker has gone, the same hotkey reaches the keyboard.
    recorder.whileShown = nullptr;
    ASSERT_TRUE(eventually([&] { return !dlg->updater().workerThreadActive(); }));
    ASSERT_TRUE(sim.flushScheduled(kRunTimeoutMs));
    window.command(IDC_REFRESH);
    window.hotKey(1);
    window.drain();
    EXPECT_EQ(kb.testModeCount(), 1);
    EXPECT_EQ(recorder.texts().back(), "Enter testing mode successfully.");

    window.requestClose();
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));
}

TEST_F(FlowTest, AKeywordRunChoosesTheLegacyFileFromTheCurrentFolder) {
    sim::KeyboardSpec spec;
    spec.appVersion = "S5301V11";
    auto& kb = sim.addKeyboard(spec);
    TempDir dir;
    const auto image = applicationImage();
    dir.write("L5301V13.bin", image);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());

    run({"ZENTRIX_US"});
    const bool finished = recorder.waitFor(1, kRunTimeoutMs);
    window.drain();
    std::filesystem::current_path(previous);
    ASSERT_TRUE(finished);

    EXPECT_EQ(recorder.texts(), std::vector<std::string>{"Update successfully!"});
    EXPECT_EQ(dlg->values().argumentPath, "L5301V13.bin");
    EXPECT_EQ(window.controlText(IDC_FIRMWARE_PATH), "L5301V13.bin");
    EXPECT_EQ(kb.flash(), image);
}

TEST_F(FlowTest, LibrariesThatDoNotLoadAreReportedBeforeTheWindowIsUsed) {
    sim.addKeyboard({});
    sim::FaultSpec hid;
    hid.kind = sim::FaultSpec::Kind::HidLibraryFails;
    sim::FaultSpec setup;
    setup.kind = sim::FaultSpec::Kind::SetupLibraryFails;
    ASSERT_TRUE(sim.addFault(hid));
    ASSERT_TRUE(sim.addFault(setup));

    run({});
    const auto boxes = recorder.boxes();  // initialise waits for the whole start-up
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Fail to the load the HID library.");
    EXPECT_EQ(boxes[1].text, "Fail to the load the HID library..");
    for (const auto& b : boxes) {
        EXPECT_EQ(b.caption, "Vantel");
        EXPECT_EQ(b.icon, BoxIcon::Warning);
    }
    EXPECT_TRUE(window.deviceItems().empty());
    EXPECT_EQ(shell.hotKeyRegistrations(), 1);

    window.requestClose();
    ASSERT_TRUE(window.waitUntilEnded(kRunTimeoutMs));
}

}  // namespace
}  // namespace vantel
