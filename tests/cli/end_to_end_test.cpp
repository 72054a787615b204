// End-to-end runs of the built vantel-cli against simulated keyboards: the
// flash is compared with the file, and every failure class has its exit code.

#include <gtest/gtest.h>

#if defined(VANTEL_CLI_BINARY) && !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image_maker.h"
#include "json_reader.h"

namespace vantel::cli {
namespace {

namespace fs = std::filesystem;
using test::Json;
using test::JsonReader;

// Long enough that a loaded machine never misses a reply (every reply wait is
// 250 ms), short enough that a whole download takes a fraction of a second.
const char* const kScale = "1/20";

// Replaces this (child) process with vantel-cli.
[[noreturn]] void execCli(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string binary = VANTEL_CLI_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
}

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CliEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("vantel-cli-e2e-") + info->test_suite_name() + "-" + info->name() + "-" +
                std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::string file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        test::writeBytes(path(name), bytes);
        return path(name);
    }
    std::string scenario(const std::string& name, const std::string& text) {
        return file(name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

    CliRun run(const std::vector<std::string>& args, const std::string& env = "") {
        std::string command = "cd " + quote(dir_.string()) + " && " + env + (env.empty() ? "" : " ") +
                              quote(VANTEL_CLI_BINARY);
        for (const auto& a : args) command += " " + quote(a);
        command += " </dev/null >" + quote(path("stdout")) + " 2>" + quote(path("stderr"));
        const int status = std::system(command.c_str());
        CliRun r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = test::readText(path("stdout"));
        r.err = test::readText(path("stderr"));
        return r;
    }

    // A flash with the simulator, dumping its flash afterwards.
    CliRun flash(const std::string& image, const std::string& sim, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"flash", image, "--simulate", sim, "--timing-scale", kScale,
                                         "--dump-flash", path("flash.out")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }
    std::vector<std::uint8_t> dumpedFlash() const { return test::readBytes(path("flash.out")); }

    // Starts vantel-cli as a child whose output goes to the files "stdout" and "stderr".
    pid_t spawn(const std::vector<std::string>& args) {
        // No output of an earlier run may be taken for this one's.
        std::error_code ec;
        fs::remove(path("stdout"), ec);
        fs::remove(path("stderr"), ec);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int out = ::open(path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (::chdir(dir_.c_str()) != 0) ::_exit(127);
            execCli(args);
        }
        return pid;
    }
    // Waits until the child's stderr holds `text` (bounded by `limitMs`); false when it never did.
    bool awaitStderr(const std::string& text, int limitMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (std::chrono::steady_clock::now() < end) {
            if (test::readText(path("stderr")).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    static int exitCodeOf(pid_t pid) {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir_;
};

#define EXPECT_RUN(r, expected) EXPECT_EQ((r).code, expected) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

// ---- Success ------------------------------------------------------------

TEST_F(CliEndToEnd, FlashWritesTheWholeImageIntoTheKeyboard) {
    const auto image = test::applicationImage(65536, "GF", "RX431", 5, {2, 3, 100});
    const CliRun r = flash(file("fw.bin", image), "default");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, "Update successfully!\n");
    EXPECT_EQ(dumpedFlash(), image);
    // Not a terminal: plain lines, each status once, progress in 10% steps.
    EXPECT_NE(r.err.find("Entering ISP mode...\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Chip Erase success\n"), std::string::npos);
    EXPECT_EQ(r.err.find("\r"), std::string::npos);
    std::string steps;
    for (int p = 10; p <= 100; p += 10) steps += "progress " + std::to_string(p) + "%\n";
    EXPECT_NE(r.err.find(steps), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Start firmware update\nStart firmware update"), std::string::npos);
}

TEST_F(CliEndToEnd, PagedAndIspImages) {
    const auto paged = test::applicationImage(131072, "GF", "RX431", 9);
    CliRun r = flash(file("paged.bin", paged), "paged");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), paged);

    const auto isp = test::ispImage(4096);
    r = flash(file("isp.bin", isp), "isp-boot");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, "Update successfully!\n");
    EXPECT_EQ(dumpedFlash(), isp) << "the boot loader's region holds the ISP image";
}

TEST_F(CliEndToEnd, TheVariableSelectsTheSimulatorToo) {
    const auto image = test::applicationImage(65536);
    const CliRun r = run({"flash", file("fw.bin", image), "--timing-scale", kScale, "--dump-flash",
                       path("flash.out")},
                      "VANTEL_SIMULATE=default");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), image);
}

TEST_F(CliEndToEnd, WithoutArrivalsTheIspDeviceIsFoundByListing) {
    // As on a back end that leaves arrivals to window messages: the simulator's
    // announcements are not delivered, the listing finds the boot loader.
    const auto image = test::applicationImage(65536, "GF", "RX431", 11);
    const CliRun r = flash(file("fw.bin", image), "default", {"--poll-arrivals"});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), image);
}

TEST_F(CliEndToEnd, SelectionByIndexAndByIds) {
    const std::string two = scenario("two.sim",
                                     "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                     "keyboard b\nvid 0x1188\npid 0xAE01\nflash-kib 32\n");
    // The second keyboard takes only a 32 KB image; chosen by index and by IDs.
    const auto small = test::applicationImage(32768, "GF", "RX437", 3);
    CliRun r = flash(file("small.bin", small), two, {"-d", "1"});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), small);
    r = flash(path("small.bin"), two, {"--vid", "1188", "--pid", "0xae01"});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), small);
    // Two keyboards and none named: nothing is guessed, the choices are listed.
    r = flash(path("small.bin"), two);
    EXPECT_RUN(r, 2);
    EXPECT_NE(r.err.find("2 keyboards are listed; choose one with"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("vantel-cli:   1  RX-437  1188:AE01"), std::string::npos) << r.err;
    EXPECT_EQ(dumpedFlash(), std::vector<std::uint8_t>(65536)) << "the first keyboard was not written";
}

// ---- Failure classes ----------------------------------------------------

TEST_F(CliEndToEnd, UsageErrorsExitWithOne) {
    CliRun r = run({"flash"});
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("needs a firmware file"), std::string::npos);
    r = run({"list", "--simulate", "no-such-scenario"});
    EXPECT_RUN(r, 1);
    r = run({"--help"});
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
}

TEST_F(CliEndToEnd, NoDeviceExitsWithTwo) {
    const std::string none = scenario("none.sim", "option no-trace\n");
    const auto image = file("fw.bin", test::applicationImage(65536));
    CliRun r = flash(image, none);
    EXPECT_RUN(r, 2);
    EXPECT_EQ(r.out, "Please select a device first.\n");
    r = flash(image, "default", {"-d", "1"});
    EXPECT_RUN(r, 2);
    EXPECT_NE(r.err.find("no keyboard with index 1 (1 listed)"), std::string::npos) << r.err;
    r = run({"version", "--simulate", "default", "--vid", "1130"});
    EXPECT_RUN(r, 2);
}

TEST_F(CliEndToEnd, RejectedFilesExitWithThree) {
    CliRun r = flash(file("zero.bin", std::vector<std::uint8_t>(65536)), "default");
    EXPECT_RUN(r, 3);
    EXPECT_EQ(r.out, "The firmware file is not a valid firmware file.\n");

    r = flash(path("missing.bin"), "default");
    EXPECT_RUN(r, 3);
    EXPECT_EQ(r.out, "Can't open file " + path("missing.bin") + ", error = 2!\n\n");

    // Nothing is written when the keyboard's flash size differs from the file.
    const std::string small = scenario("small.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 32\n");
    r = flash(file("fw.bin", test::applicationImage(65536)), small);
    EXPECT_RUN(r, 3);
    EXPECT_EQ(r.out, "The firmware file is not for this keyboard.\nPlease use another firmware file.\n");
    EXPECT_NE(r.err.find("Firmware file size is not correct."), std::string::npos);
}

TEST_F(CliEndToEnd, RefusalsExitWithFour) {
    const auto image = file("fw.bin", test::applicationImage(65536, "GF"));
    CliRun r = flash(image, scenario("p.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\nprofiles GL\n"));
    EXPECT_RUN(r, 4);
    EXPECT_EQ(r.out, "Fail to check profile\n");

    r = flash(image, scenario("i.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                       "fault status enter-isp 1 always\n"));
    EXPECT_RUN(r, 4);
    EXPECT_EQ(r.out, "Enter ISP mode fail.\nPlease re-plug the keyboard\n");

    // The boot loader refuses the profile: the worker words it, then resets the keyboard.
    r = flash(image, scenario("b.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                       "isp-profile refuse\n"));
    EXPECT_RUN(r, 4);
    EXPECT_EQ(r.out,
              "Incorrect profile. This firmware is for RX431, the profile is Global Full\n"
              "Update fail, but reset successfully.\n");
}

TEST_F(CliEndToEnd, WriteFailuresExitWithFive) {
    const auto image = file("fw.bin", test::applicationImage(65536));
    const CliRun r = flash(image, scenario("w.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                                 "fault status write-block 5 offset 0x1200 always\n"));
    EXPECT_RUN(r, 5);
    EXPECT_EQ(r.out, "Firmware update fail: 5\n");
    EXPECT_NE(r.err.find("1. Retried 0 times, Update fail at 0x1200, Error: 0x05"), std::string::npos) << r.err;

    const CliRun e = flash(image, scenario("e.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                                 "fault status chip-erase 9 always\n"));
    EXPECT_RUN(e, 5);
    EXPECT_EQ(e.out, "Chip Erase fail\nUpdate fail, but reset successfully.\n");
}

TEST_F(CliEndToEnd, AnUnconfirmedVersionExitsWithSix) {
    const std::string sim = scenario("v.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                              "boot-flash-kib 4\nisp same-path\nisp-version B0302\n");
    const auto isp = test::ispImage(4096);
    const CliRun r = flash(file("isp.bin", isp), sim);
    EXPECT_RUN(r, 6);
    EXPECT_EQ(r.out, "Update finsihed, but failed to get the firmware version!\n");
    EXPECT_EQ(dumpedFlash(), isp) << "the write itself went through";
}

TEST_F(CliEndToEnd, AKeyboardThatNeverComesBackExitsWithSeven) {
    const std::string sim = scenario("s.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                              "isp separate\nreenumerate-ms 3600000\n");
    // The 120 s wait shrinks to 1.2 s.
    const CliRun r = run({"flash", file("fw.bin", test::applicationImage(65536)), "--simulate", sim,
                       "--timing-scale", "1/100"});
    EXPECT_RUN(r, 7);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("did not come back"), std::string::npos) << r.err;
}

// ---- JSON Lines ---------------------------------------------------------

// Every line of `out` as a strict parser reads it.
std::vector<Json> jsonLines(const std::string& out) {
    std::vector<Json> events;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "every event ends its line";
        const std::string line = out.substr(start, end - start);
        try {
            events.push_back(JsonReader::parseStrict(line));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << ": " << line;
        }
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return events;
}

TEST_F(CliEndToEnd, FlashJsonIsOneStrictObjectPerLineEndingInTheOutcome) {
    const auto image = test::applicationImage(65536, "GF", "RX431", 41);
    const std::string fw = file("fw.bin", image);
    const std::string head = "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n";
    struct Case {
        std::string sim;
        int exit;
        const char* state;
        const char* text;
        bool written;
    };
    const std::vector<Case> cases = {
        {"default", 0, "updated", "Update successfully!", true},
        {scenario("w.sim", head + "fault status write-block 5 offset 0x1200 always\n"), 5, "bootloader-erased",
         "Firmware update fail: 5", false},
        {scenario("i.sim", head + "fault status enter-isp 1 always\n"), 4, "untouched",
         "Enter ISP mode fail.\nPlease re-plug the keyboard", false},
        {scenario("s.sim", head + "reenumerate-ms 3600000\n"), 7, "bootloader-intact",
         "the keyboard did not come back as an ISP device in time", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::error_code ec;
        fs::remove(path("flash.out"), ec);
        const CliRun r = run({"flash", fw, "--simulate", c.sim, "--timing-scale", c.exit == 7 ? "1/100" : kScale,
                              "--dump-flash", path("flash.out"), "--json"});
        EXPECT_RUN(r, c.exit);
        EXPECT_EQ(dumpedFlash() == image, c.written);
        const std::vector<Json> events = jsonLines(r.out);
        ASSERT_FALSE(events.empty());
        int lastPercent = -1;
        for (std::size_t i = 0; i + 1 < events.size(); ++i) {
            const std::string kind = events[i]["event"].string;
            EXPECT_TRUE(kind == "status" || kind == "progress" || kind == "message") << kind;
            if (kind == "progress") {
                EXPECT_GE(events[i]["percent"].number, lastPercent);
                lastPercent = static_cast<int>(events[i]["percent"].number);
            }
        }
        const Json& last = events.back();
        EXPECT_EQ(last["event"].string, "result");
        EXPECT_EQ(last["text"].string, c.text);
        EXPECT_EQ(last["exit"].number, c.exit);
        EXPECT_EQ(last["keyboard_state"].string, c.state);
        if (c.exit == 0) {
            EXPECT_EQ(lastPercent, 100);
        }
        if (c.exit != 0) {
            EXPECT_NE(r.err.find("keyboard state: "), std::string::npos) << r.err;
        }
    }
}

// ---- The terminal -------------------------------------------------------

// vantel-cli on a pseudo-terminal of `columns` columns (no $COLUMNS): all it
// wrote there, stdout and stderr together, as a terminal receives it.
std::string onTerminal(const std::vector<std::string>& args, unsigned short columns, int& exitCode) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        ::unsetenv("COLUMNS");
        execCli(args);
    }
    std::string screen;
    char buffer[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0) break;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has gone
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return screen;
}

// What stays on the screen: each line as the last redraw left it.
std::vector<std::string> screenLines(const std::string& raw) {
    std::vector<std::string> lines;
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw.compare(i, 3, "\x1b[K") == 0) {
            i += 2;
        } else if (raw[i] == '\r') {
            if (i + 1 < raw.size() && raw[i + 1] == '\n') continue;  // the terminal's own CR LF
            text.clear();
        } else if (raw[i] == '\n') {
            lines.push_back(text);
            text.clear();
        } else {
            text += raw[i];
        }
    }
    if (!text.empty()) lines.push_back(text);
    return lines;
}

TEST_F(CliEndToEnd, OnANarrowTerminalTheBarFitsDetailsStayAndTheOutcomeIsLast) {
    const std::string sim = scenario("w.sim", "option latency-us 100\nkeyboard a\nvid 0x0F39\npid 0x0641\n"
                                              "flash-kib 64\nfault status write-block 5 offset 0x8000 always\n");
    int code = -1;
    const std::string raw = onTerminal({"flash", file("fw.bin", test::applicationImage(65536)), "--simulate", sim,
                                        "--timing-scale", kScale, "--dump-flash", path("flash.out")},
                                       40, code);
    EXPECT_EQ(code, 5) << raw;
    // Every redraw of the progress line fits in 40 columns: nothing wraps.
    bool sawBar = false;
    for (std::size_t start = 0; start < raw.size();) {
        std::size_t end = raw.find_first_of("\r\n", start);
        if (end == std::string::npos) end = raw.size();
        std::string piece = raw.substr(start, end - start);
        for (std::size_t k; (k = piece.find("\x1b[K")) != std::string::npos;) piece.erase(k, 3);
        if (piece.rfind("[", 0) == 0 && piece.find("%") != std::string::npos) {
            sawBar = true;
            EXPECT_LT(piece.size(), 40u) << piece;
        }
        start = end + 1;
    }
    EXPECT_TRUE(sawBar) << raw;
    const auto lines = screenLines(raw);
    // The failed block's detail is kept on a line of its own.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "1. Retried 0 times, Update fail at 0x8000, Error: 0x05"),
              lines.end()) << raw;
    // The outcome is the last line; the keyboard's state just before it.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "Firmware update fail: 5") << raw;
    EXPECT_EQ(lines[lines.size() - 2].rfind("vantel-cli: keyboard state: in its boot loader", 0), 0u) << raw;
    EXPECT_NE(dumpedFlash(), test::applicationImage(65536)) << "the write stopped at 0x8000";
}

// ---- Interrupts ---------------------------------------------------------

// Each transfer is paced at 250 us, so the write lasts well over two seconds
// whatever the machine: the signals surely reach it while it writes.
const char* const kSlowWrite = "option latency-us 250\nkeyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n";

TEST_F(CliEndToEnd, OneInterruptTermOrHangupDoesNotStopAWriteInProgress) {
    const auto image = test::applicationImage(65536, "GF", "RX431", 21);
    const std::string fw = file("fw.bin", image);
    const std::string sim = scenario("s.sim", kSlowWrite);
    for (const auto& [signal, said] : {std::pair{SIGINT, "interrupt again to abort"},
                                       std::pair{SIGTERM, "SIGTERM ignored: a download is in progress"},
                                       std::pair{SIGHUP, "SIGHUP ignored: a download is in progress"}}) {
        SCOPED_TRACE(said);
        std::error_code ec;
        fs::remove(path("flash.out"), ec);
        const pid_t pid = spawn({"flash", fw, "--simulate", sim, "--timing-scale", kScale, "--dump-flash",
                                 path("flash.out")});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(awaitStderr("Start firmware update", 60000));
        ::kill(pid, signal);
        EXPECT_EQ(exitCodeOf(pid), 0);
        EXPECT_NE(test::readText(path("stderr")).find(said), std::string::npos) << test::readText(path("stderr"));
        EXPECT_EQ(dumpedFlash(), image);
    }
}

TEST_F(CliEndToEnd, OutputThatCannotBeWrittenDoesNotStopTheWrite) {
    const auto image = test::applicationImage(65536, "GF", "RX431", 23);
    const std::string fw = file("fw.bin", image);
    // stdout: a pipe whose reader has gone; stderr: closed.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], 1);
        ::close(pipeEnds[1]);
        ::close(2);
        if (::chdir(dir_.c_str()) != 0) ::_exit(127);
        execCli({"flash", fw, "--simulate", "default", "--timing-scale", kScale, "--dump-flash", path("flash.out")});
    }
    ::close(pipeEnds[1]);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exitCodeOf(pid), 0);
    EXPECT_EQ(dumpedFlash(), image) << "written whole, and no text went into a file opened in stderr's place";
    EXPECT_EQ(test::readBytes(fw), image);
}

TEST_F(CliEndToEnd, ASecondInterruptAbortsAndSaysTheKeyboardsState) {
    const auto image = test::applicationImage(65536);
    const std::string fw = file("fw.bin", image);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) execCli({"flash", fw, "--simulate", scenario("s.sim", kSlowWrite), "--timing-scale", kScale});
    ASSERT_GT(pid, 0);
    std::string screen;
    // Reads the terminal until it shows `text` (empty: until the child has gone).
    auto await = [&](const std::string& text) {
        char buffer[4096];
        while (text.empty() || screen.find(text) == std::string::npos) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 60000) <= 0) return false;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) return false;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    };
    ASSERT_TRUE(await("Start firmware update")) << screen;
    ::kill(pid, SIGINT);
    // Signals of one kind do not queue: the second goes only after the first was seen.
    ASSERT_TRUE(await("interrupt again to abort")) << screen;
    ::kill(pid, SIGINT);
    await("");
    ::close(master);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
    const auto lines = screenLines(screen);
    ASSERT_GE(lines.size(), 2u) << screen;
    // The bar's line ended; the state follows on a line of its own, the last.
    EXPECT_EQ(lines.back(),
              "vantel-cli: aborted; keyboard state: in its boot loader, its firmware erased or partly written "
              "(flash it again)") << screen;
    EXPECT_EQ(lines[lines.size() - 2].rfind("[", 0), 0u) << screen;
    EXPECT_EQ(screen.find("Update successfully!"), std::string::npos) << "the write did not run to its end";
}

// ---- The result file ----------------------------------------------------

TEST_F(CliEndToEnd, ResultFileHoldsTheBytesOfTheWindowsBuild) {
    const auto image = test::applicationImage(65536);
    const std::string fw = file("fw.bin", image);
    CliRun r = flash(fw, "default", {"--result", path("result.txt")});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(test::readText(path("result.txt")), "Result of updating " + fw + ":\r\r\nUpdate successfully!");
    EXPECT_EQ(dumpedFlash(), image);
    EXPECT_EQ(r.out, "Update successfully!\n") << "the outcome is shown as well";

    // A line feed of the text becomes 0D 0A; the exit code keeps its class.
    const std::string refusing = scenario("i.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                                   "fault status enter-isp 1 always\n");
    r = flash(fw, refusing, {"--result", path("result2.txt")});
    EXPECT_RUN(r, 4);
    EXPECT_EQ(test::readText(path("result2.txt")),
              "Result of updating " + fw + ":\r\r\nEnter ISP mode fail.\r\nPlease re-plug the keyboard");
}

TEST_F(CliEndToEnd, HostDrivenRunChoosesTheKeyboardByModel) {
    const std::string two = scenario("two.sim",
                                     "keyboard a\nvid 0x0F39\npid 0x0641\nflash-kib 64\n"
                                     "keyboard b\nvid 0x1188\npid 0xAE01\nflash-kib 32\n");
    const auto small = test::applicationImage(32768, "GF", "RX437", 3);
    const std::string fw = file("small.bin", small);
    CliRun r = flash(fw, two, {"--result", path("r.txt"), "--vid", "1188", "--pid", "AE01"});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(dumpedFlash(), small);

    // A model that is not attached, and no keyboard in ISP mode: the download says so.
    r = flash(fw, two, {"--result", path("r2.txt"), "--vid", "24F0", "--pid", "0140"});
    EXPECT_RUN(r, 2);
    EXPECT_EQ(test::readText(path("r2.txt")), "Result of updating " + fw + ":\r\r\nModel doest not match.");
}

// ---- Listing, version and the service functions -------------------------

TEST_F(CliEndToEnd, ListAsJson) {
    const CliRun r = run({"list", "--json", "--simulate", "two-keyboards"});
    EXPECT_RUN(r, 0);
    const Json list = JsonReader::parse(r.out);
    ASSERT_EQ(list.array.size(), 2u);
    EXPECT_EQ(list[0]["index"].number, 0);
    EXPECT_EQ(list[0]["name"].string, "RX-431");
    EXPECT_EQ(list[0]["vid"].number, 0x0F39);
    EXPECT_EQ(list[0]["pid"].number, 0x0641);
    EXPECT_EQ(list[0]["reportLength"].number, 8);
    EXPECT_FALSE(list[0]["legacy"].boolean);
    EXPECT_NE(list[0]["path"].string.find("vid_0f39&pid_0641"), std::string::npos);
    EXPECT_EQ(list[1]["name"].string, "ISP Mode");
    EXPECT_EQ(list[1]["pid"].number, 1);

    const CliRun legacy = run({"list", "--json", "--simulate", "legacy"});
    EXPECT_RUN(legacy, 0);
    const Json l = JsonReader::parse(legacy.out);
    ASSERT_EQ(l.array.size(), 1u);
    EXPECT_EQ(l[0]["name"].string, "RX-401");
    EXPECT_TRUE(l[0]["legacy"].boolean);
    EXPECT_EQ(l[0]["reportLength"].number, 9);

    // A library that does not load leaves an empty list; its warning stays off stdout.
    const std::string broken = scenario("b.sim", "keyboard a\nvid 0x0F39\npid 0x0641\nfault hid-library-fails\n");
    const CliRun none = run({"list", "--json", "--simulate", broken});
    EXPECT_RUN(none, 0);
    EXPECT_EQ(JsonReader::parse(none.out).array.size(), 0u);
    EXPECT_NE(none.err.find("Fail to the load the HID library."), std::string::npos) << none.err;
}

TEST_F(CliEndToEnd, InfoAsJson) {
    const std::string fw = file("fw.bin", test::applicationImage(65536, "CL", "RX409", 2, {1, 2}));
    const CliRun r = run({"info", "--json", fw});
    EXPECT_RUN(r, 0);
    const Json j = JsonReader::parse(r.out);
    EXPECT_TRUE(j["valid"].boolean);
    EXPECT_EQ(j["profile"].string, "CL");
    EXPECT_EQ(j["target"].string, "RX409");
    EXPECT_EQ(j["segmentsToWrite"].number, 253);
    EXPECT_EQ(run({"info", path("absent.bin")}).code, 3);

    // Well formed, but of a length no keyboard's flash size matches: the
    // download refuses it before the ISP entry, so info does too.
    const std::string odd = file("odd.bin", test::applicationImage(65536 + 2000, "CL", "RX409", 2, {1, 2}));
    const CliRun o = run({"info", "--json", odd});
    EXPECT_EQ(o.code, 3) << o.out << o.err;
    EXPECT_TRUE(JsonReader::parse(o.out)["valid"].boolean);
}

TEST_F(CliEndToEnd, VersionPrintsTheTextAlone) {
    CliRun r = run({"version", "--simulate", "default", "--timing-scale", kScale});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, "S5301V10\n");
    EXPECT_NE(r.err.find("Get FW Version success"), std::string::npos);

    const std::string mute = scenario("m.sim", "keyboard a\nvid 0x0F39\npid 0x0641\n"
                                               "fault status get-version 1 always\n"
                                               "fault status check-profile 1 always\n");
    r = run({"version", "--simulate", mute, "--timing-scale", kScale});
    EXPECT_RUN(r, 4);
    EXPECT_NE(r.err.find("Get FW Version fail"), std::string::npos);
}

TEST_F(CliEndToEnd, ServiceFunctions) {
    CliRun r = run({"test-mode", "--simulate", "default", "--timing-scale", kScale});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, "Enter testing mode successfully.\n");

    r = run({"factory-reset", "--simulate", "default", "--timing-scale", kScale});
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, "Load factory setting successfully\n");

    const std::string refusing = scenario("f.sim", "keyboard a\nvid 0x0F39\npid 0x0641\n"
                                                   "fault status factory-defaults 1 always\n"
                                                   "fault status test-mode 1 always\n");
    r = run({"factory-reset", "--simulate", refusing, "--timing-scale", kScale});
    EXPECT_RUN(r, 4);
    EXPECT_EQ(r.out, "Fail to load factory setting - 2\n");
    r = run({"test-mode", "--simulate", refusing, "--timing-scale", kScale});
    EXPECT_RUN(r, 4);
    EXPECT_NE(r.err.find("Fail to enter testing mode"), std::string::npos);
}

TEST_F(CliEndToEnd, TraceShowsEveryReport) {
    const CliRun r = run({"version", "--simulate", "default", "--timing-scale", kScale, "--trace"});
    EXPECT_RUN(r, 0);
    // The version request: EA 02 B0, checksum 58, in a report with ID 1.
    EXPECT_NE(r.err.find("] SET #"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  01 EA 02 B0 58 00 00 00\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("] GET #"), std::string::npos);
    EXPECT_EQ(r.out, "S5301V10\n") << "the trace stays off stdout";
}

}  // namespace
}  // namespace vantel::cli

#endif
