// The station against simulated keyboards: the children are the built
// vantel-cli, reaching the simulator of this process through its socket, so
// each keyboard's flash and the station's records can be compared.

#include <gtest/gtest.h>

#if defined(VANTEL_CLI_BINARY) && !defined(_WIN32)

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/devices.h"
#include "cli/sha256.h"
#include "cli/station.h"
#include "image_maker.h"
#include "json_reader.h"
#include "link/timing.h"
#include "sim/remote_backend.h"
#include "sim/sim.h"

namespace vantel::cli {
namespace {

namespace fs = std::filesystem;
using test::Json;
using test::JsonReader;

class Station : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantel-station-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        saved_ = timing();
        timing() = scaledTiming(Timing{}, 1, 20);
        image_ = test::applicationImage(65536);
        test::writeBytes(path("fw.bin"), image_);
    }
    void TearDown() override {
        timing() = saved_;
        if (!HasFailure()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs a station over `simulator` until it has reported `max` keyboards
    // (or four minutes have passed, which only a hang takes even under a
    // sanitizer: then it is stopped and the test fails).
    // `during` runs beside it.
    int runStation(sim::SimBackend& simulator, int max, const std::function<void()>& during = {}) {
        const auto locator = simulatorLocator(simulator);
        sim::BackendServer server(simulator, [&locator](const std::string& p) { return locator->locate(p).port; });
        std::string error;
        EXPECT_TRUE(server.listen(path("sim.sock"), error)) << error;
        StationConfig config;
        config.file = path("fw.bin");
        config.shownFile = "fw.bin";
        config.sha256 = sha256Hex(image_);
        config.program = VANTEL_CLI_BINARY;
        config.childOptions = {"--timing-scale", "1/20"};
        config.childEnv = {{"VANTEL_SIM_SOCKET", path("sim.sock")}};
        config.childUnsetEnv = {"VANTEL_SIMULATE"};
        config.childGone = [&server](int pid) { server.waitForClientGone(pid, 5000); };
        config.max = max;
        config.logPath = path("log.jsonl");
        std::atomic<bool> stop{false};
        config.stopSignal = [&stop] { return stop.load(); };
        std::ofstream out(path("stdout")), err(path("stderr"));
        std::atomic<bool> ended{false};
        int code = -1;
        std::thread station([&] {
            code = cli::runStation(simulator, *locator, config, out, err);
            ended = true;
        });
        if (during) during();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while (!ended && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(ended.load()) << "the station did not end";
        stop = true;
        station.join();
        return code;
    }

    // Waits (at most two minutes) until the station's stderr holds `text` `count` times.
    bool awaitStderr(const std::string& text, int count = 1) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < limit) {
            const std::string err = test::readText(path("stderr"));
            int n = 0;
            for (std::size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
            if (n >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The log's records, each checked to be one strict JSON object with the
    // station's members and the file's hash.
    std::vector<Json> records() {
        std::vector<Json> list;
        std::istringstream log(test::readText(path("log.jsonl")));
        for (std::string line; std::getline(log, line);) {
            const Json r = JsonReader::parseStrict(line);
            for (const char* member : {"time", "port", "model", "version_before", "version_after", "outcome", "exit",
                                       "class", "keyboard_state", "seconds", "file", "sha256"}) {
                EXPECT_TRUE(r.has(member)) << member << " missing in " << line;
            }
            EXPECT_EQ(r["sha256"].string, sha256Hex(image_));
            list.push_back(r);
        }
        return list;
    }

    fs::path dir_;
    Timing saved_;
    std::vector<std::uint8_t> image_;
};

sim::KeyboardSpec keyboardAt(const std::string& name, const std::string& port) {
    sim::KeyboardSpec spec;
    spec.name = name;
    spec.vid = 0x0F39;
    spec.pid = 0x0641;
    spec.port = port;
    spec.reenumerateMs = 100;
    return spec;
}

TEST(Sha256, KnownDigestsAcrossTheBlockBoundaries) {
    auto bytes = [](const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the last block.
    EXPECT_EQ(sha256Hex(bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex(std::vector<std::uint8_t>(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(Station, KeyboardsOfOneModelEachTakeTheirOwnBootLoader) {
    // Eight of one model, each on a bus of its own: while one child chooses
    // its keyboard, the others' boot loaders arrive, which is where a
    // download could take a boot loader that is not its own.
    constexpr std::size_t kKeyboards = 8;
    sim::SimBackend simulator;
    for (std::size_t i = 1; i <= kKeyboards; ++i) {
        simulator.addKeyboard(keyboardAt("k" + std::to_string(i), std::to_string(i) + "-1"));
    }
    std::atomic<bool> severalInIsp{false};
    simulator.setTraceCallback([&](const sim::TraceEntry&) {
        if (severalInIsp) return;
        int inIsp = 0;
        for (std::size_t i = 0; i < kKeyboards; ++i) inIsp += simulator.keyboard(i).inIsp() ? 1 : 0;
        if (inIsp >= 2) severalInIsp = true;
    });

    EXPECT_EQ(runStation(simulator, static_cast<int>(kKeyboards)), 0) << test::readText(path("stdout"));
    simulator.setTraceCallback(nullptr);
    EXPECT_TRUE(severalInIsp.load());

    // Each keyboard was erased and written once, by the child that named its
    // port, and holds the file.
    for (std::size_t i = 0; i < kKeyboards; ++i) {
        sim::SimKeyboard& k = simulator.keyboard(i);
        EXPECT_EQ(k.flash(), image_) << k.spec().name;
        EXPECT_EQ(k.eraseCount(), 1) << k.spec().name;
        for (const auto& [offset, writes] : k.blockWrites()) {
            if (writes != 1) ADD_FAILURE() << k.spec().name << " block " << offset << " written " << writes << " times";
        }
        EXPECT_FALSE(k.inIsp());
    }
    const auto log = records();
    ASSERT_EQ(log.size(), kKeyboards);
    std::set<std::string> ports;
    for (const Json& r : log) {
        ports.insert(r["port"].string);
        EXPECT_EQ(r["exit"].number, 0);
        EXPECT_EQ(r["outcome"].string, "Update successfully!");
        EXPECT_EQ(r["version_before"].string, "S5301V10");
    }
    EXPECT_EQ(ports.size(), kKeyboards);
    // One text line per keyboard on stdout.
    const std::string out = test::readText(path("stdout"));
    EXPECT_NE(out.find("port 1-1  RX-431"), std::string::npos) << out;
    EXPECT_NE(out.find("port 8-1  RX-431"), std::string::npos) << out;
}

TEST_F(Station, AKeyboardPluggedInDuringAnothersWriteIsFlashedToo) {
    sim::SimBackend simulator;
    simulator.setLatencyUs(100);
    simulator.addKeyboard(keyboardAt("first", "1-1"));
    sim::KeyboardSpec later = keyboardAt("second", "2-1");
    std::atomic<bool> plugged{false};
    // The second keyboard comes when the first one's write is under way.
    simulator.setTraceCallback([&](const sim::TraceEntry&) {
        if (plugged || simulator.keyboard(0).blockWrites().size() < 64) return;
        plugged = true;
        std::thread([&simulator, later] { simulator.addKeyboard(later, true); }).detach();
    });

    EXPECT_EQ(runStation(simulator, 2), 0) << test::readText(path("stderr"));
    simulator.setTraceCallback(nullptr);
    ASSERT_TRUE(plugged.load());
    ASSERT_EQ(simulator.keyboardCount(), 2u);
    EXPECT_EQ(simulator.keyboard(0).flash(), image_);
    EXPECT_EQ(simulator.keyboard(1).flash(), image_);
    EXPECT_EQ(simulator.keyboard(1).eraseCount(), 1);
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(Station, AFailingKeyboardIsReportedAndRetriedWhenPluggedInAgain) {
    sim::SimBackend simulator;
    sim::SimKeyboard& k = simulator.addKeyboard(keyboardAt("flaky", "3-1"));
    // One block is refused however often it is retried, until the keyboard is unplugged.
    k.failWriteAt(0x1200, 5, sim::kAlways);

    const int code = runStation(simulator, 2, [&] {
        ASSERT_TRUE(awaitStderr("3-1 failed"));
        // Still plugged in: it is not written again.
        EXPECT_EQ(k.eraseCount(), 1);
        simulator.clearFaults();
        k.unplug();
        ASSERT_TRUE(awaitStderr("3-1 unplugged"));
        k.plugIn();
    });
    EXPECT_EQ(code, 0);  // the retry passed: no keyboard was left failed
    EXPECT_EQ(k.flash(), image_);
    const auto log = records();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["exit"].number, 5);
    EXPECT_EQ(log[0]["class"].string, "write failed");
    EXPECT_EQ(log[0]["keyboard_state"].string, "bootloader-erased");
    EXPECT_EQ(log[1]["exit"].number, 0);
    EXPECT_EQ(log[1]["port"].string, "3-1");
}

}  // namespace
}  // namespace vantel::cli

#endif
