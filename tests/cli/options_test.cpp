// The command line of vantel-cli: what it accepts, what it refuses and why.

#include <gtest/gtest.h>

#include "cli/options.h"

namespace vantel::cli {
namespace {

ParseResult parse(std::vector<std::string> args) { return parseArguments(args); }

TEST(CliOptions, CommandsWithTheirArguments) {
    auto r = parse({"flash", "fw.bin"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Flash);
    EXPECT_EQ(r.options.file, "fw.bin");

    r = parse({"info", "x.bin"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.command, Command::Info);

    for (const auto& [word, command] :
         std::vector<std::pair<std::string, Command>>{{"list", Command::List},
                                                     {"version", Command::Version},
                                                     {"test-mode", Command::TestMode},
                                                     {"factory-reset", Command::FactoryReset}}) {
        r = parse({word});
        ASSERT_TRUE(r.ok) << word << ": " << r.error;
        EXPECT_EQ(r.options.command, command);
        EXPECT_STREQ(commandName(command), word.c_str());
    }
}

TEST(CliOptions, OptionsStandBeforeOrAfterTheCommandInEitherForm) {
    auto r = parse({"--simulate", "default", "flash", "-d", "1", "fw.bin", "--result=out.txt",
                    "--timing-scale", "1/50", "--trace"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.simulate, "default");
    EXPECT_EQ(r.options.deviceIndex, 1);
    EXPECT_EQ(r.options.resultPath, "out.txt");
    ASSERT_TRUE(r.options.timingScale);
    EXPECT_EQ(r.options.timingScale->num, 1);
    EXPECT_EQ(r.options.timingScale->den, 50);
    EXPECT_TRUE(r.options.trace);
    EXPECT_EQ(r.options.file, "fw.bin");

    r = parse({"version", "-d2"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.deviceIndex, 2);
    r = parse({"version", "--device=3"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.deviceIndex, 3);

    r = parse({"flash", "fw.bin", "--port", "1-2.3", "--path=/dev/hidraw4", "--wait=2.25", "-q", "--json"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.port, "1-2.3");
    EXPECT_EQ(r.options.nodePath, "/dev/hidraw4");
    EXPECT_EQ(r.options.waitSeconds, 2.25);
    EXPECT_TRUE(r.options.quiet);
    EXPECT_TRUE(r.options.json);
    r = parse({"version", "--wait", "--vid", "0f39"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.waitSeconds, 0.0) << "no limit";
    EXPECT_EQ(r.options.vid, 0x0F39);
}

TEST(CliOptions, DoubleDashLetsAFileNameStartWithADash) {
    auto r = parse({"flash", "--", "-odd.bin"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.file, "-odd.bin");
    // A lone dash is a name, not an option.
    r = parse({"info", "-"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.file, "-");
}

TEST(CliOptions, HexadecimalIds) {
    EXPECT_EQ(parseHex16("0f39"), 0x0F39);
    EXPECT_EQ(parseHex16("0x0F39"), 0x0F39);
    EXPECT_EQ(parseHex16("0XaE01"), 0xAE01);
    EXPECT_EQ(parseHex16("1"), 1);
    EXPECT_EQ(parseHex16("FFFF"), 0xFFFF);
    EXPECT_FALSE(parseHex16("10000"));  // beyond 16 bits
    EXPECT_FALSE(parseHex16(""));
    EXPECT_FALSE(parseHex16("0x"));
    EXPECT_FALSE(parseHex16("0g39"));
    EXPECT_FALSE(parseHex16("-1"));
    EXPECT_FALSE(parseHex16(" 0f39"));

    auto r = parse({"version", "--vid", "0f39", "--pid=0x0641"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.vid, 0x0F39);
    EXPECT_EQ(r.options.pid, 0x0641);
}

TEST(CliOptions, TimingScale) {
    auto s = parseTimingScale("3/1000");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->num, 3);
    EXPECT_EQ(s->den, 1000);
    s = parseTimingScale("2");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->num, 2);
    EXPECT_EQ(s->den, 1);
    for (const char* bad : {"0/10", "1/0", "1/", "/10", "a/b", "-1/10", "1/10/2", "1.5", ""}) {
        EXPECT_FALSE(parseTimingScale(bad)) << bad;
    }
}

TEST(CliOptions, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"flash"}, "needs a firmware file"},
        {{"info"}, "needs a firmware file"},
        {{"flash", ""}, "needs a firmware file"},
        {{"flash", "a.bin", "b.bin"}, "unexpected argument b.bin"},
        {{"list", "extra"}, "unexpected argument extra"},
        {{"list", "--bogus"}, "unknown option --bogus"},
        {{"list", "-x"}, "unknown option -x"},
        {{"version", "-d"}, "needs a value"},
        {{"version", "-d", "one"}, "must be a number"},
        {{"version", "-d", "-1"}, "must be a number"},
        {{"version", "--vid", "12345"}, "hexadecimal"},
        {{"version", "-d", "0", "--vid", "0f39"}, "exclude each other"},
        {{"version", "-d", "0", "--port", "1-2"}, "exclude each other"},
        {{"version", "-v", "-q"}, "exclude each other"},
        {{"version", "--wait=0"}, "positive"},
        {{"version", "--wait=1.5s"}, "positive"},
        {{"version", "--wait", "5"}, "unexpected argument 5"},  // the value only with '='
        {{"list", "--wait"}, "--wait applies to"},
        {{"version", "--port="}, "needs a value"},
        {{"version", "--result", "r.txt"}, "--result applies to flash"},
        {{"flash", "a.bin", "--result="}, "needs a file name"},
        {{"info", "a.bin", "-d", "0"}, "takes no device"},
        {{"list", "--trace=yes"}, "takes no value"},
        {{"list", "--timing-scale", "0"}, "positive"},
        {{"list", "--simulate="}, "needs a scenario"},
        {{"station"}, "needs a firmware file"},
        {{"station", "a.bin", "--max", "0"}, "positive"},
        {{"station", "a.bin", "--parallel", "33"}, "from 1 to 32"},
        {{"flash", "a.bin", "--log", "l.jsonl"}, "apply to station only"},
        {{"flash", "a.bin", "--once-per-port"}, "apply to station only"},
        // The station chooses every keyboard itself, one child per port.
        {{"station", "a.bin", "--port", "1-2"}, "takes no device"},
        {{"station", "a.bin", "--wait"}, "takes no device"},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        EXPECT_FALSE(r.ok) << c.says;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << "got: " << r.error;
    }
}

TEST(CliOptions, HelpAndVersionNeedNoCommand) {
    auto r = parse({"--help"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.help);
    r = parse({"-V"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.version);
    // Even next to an otherwise broken command line the help is shown.
    r = parse({"flash", "-h"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.help);
}

TEST(CliOptions, HelpListsEveryCommandAndExitCodeButNotTheDebugOption) {
    const std::string text = usageText("vantel-cli");
    for (const char* word : {"list", "info FILE", "version", "flash FILE", "test-mode",
                             "factory-reset", "--device", "--vid", "--pid", "--result", "--json",
                             "--trace", "--simulate", "--timing-scale", "VANTEL_SIMULATE"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }
    for (int code = EXIT_OK; code <= EXIT_INTERNAL; ++code) {
        EXPECT_NE(text.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
    }
    EXPECT_EQ(text.find("dump-flash"), std::string::npos);
    EXPECT_EQ(text.find("poll-arrivals"), std::string::npos);
}

}  // namespace
}  // namespace vantel::cli
