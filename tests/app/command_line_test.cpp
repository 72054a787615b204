// The command line's forms, parsed without a window.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/shell.h"  // lowerCaseMultiByte

namespace vantel {
namespace {

// Lead bytes of a double-byte code page laid out like code page 932.
bool dbcsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string lowerDbcs(const std::string& text) { return lowerCaseMultiByte(text, dbcsLead); }
std::string lowerPlain(const std::string& text) { return lowerCaseMultiByte(text, nullptr); }

CommandLine parse(const std::vector<std::string>& args) { return parseCommandLine(args, lowerPlain); }

TEST(CommandLineForms, NoArgumentsAndFiveOrMoreAreInteractiveAndIgnored) {
    const CommandLine none = parse({});
    EXPECT_EQ(none.form, CommandLineForm::None);
    EXPECT_EQ(none.argumentPath, "");
    EXPECT_EQ(none.resultArgument, "");
    EXPECT_EQ(none.hostVid, 0);
    EXPECT_EQ(none.hostPid, 0);
    EXPECT_EQ(none.keywordMode, 0);

    const CommandLine five = parse({"a.bin", "EVENTVIEWER", "0F39", "0641", "extra"});
    EXPECT_EQ(five.form, CommandLineForm::None);
    EXPECT_EQ(five.argumentPath, "");
    EXPECT_EQ(five.resultArgument, "");
    EXPECT_EQ(five.hostVid, 0);
    EXPECT_EQ(five.hostPid, 0);

    EXPECT_EQ(parse({"1", "2", "3", "4", "5", "6", "7"}).form, CommandLineForm::None);
}

TEST(CommandLineForms, KeywordsAreComparedAfterLowerCasing) {
    const CommandLine us = parse({"ZENTRIX_US"});
    EXPECT_EQ(us.form, CommandLineForm::Keyword);
    EXPECT_EQ(us.keywordMode, 1);
    EXPECT_EQ(us.argumentPath, "");

    EXPECT_EQ(parse({"Zentrix_Eu"}).keywordMode, 2);
    EXPECT_EQ(parse({"zentrix_us"}).keywordMode, 1);

    // Contains the word but equals neither keyword: a keyword form of mode 0,
    // never a path.
    for (const std::string arg : {"zentrix_us2", "zentrix", "xZENTRIXx", "zentrix_eu "}) {
        const CommandLine line = parse({arg});
        EXPECT_EQ(line.form, CommandLineForm::Keyword) << arg;
        EXPECT_EQ(line.keywordMode, 0) << arg;
        EXPECT_EQ(line.argumentPath, "") << arg;
    }
}

TEST(CommandLineForms, APathContainingTheWordIsAKeywordForm) {
    const CommandLine line = parse({"C:\\Firmware\\ZenTrix\\L5301V13.bin"});
    EXPECT_EQ(line.form, CommandLineForm::Keyword);
    EXPECT_EQ(line.keywordMode, 0);
    EXPECT_EQ(line.argumentPath, "");
}

TEST(CommandLineForms, APathKeepsItsLetterCase) {
    const CommandLine line = parse({"D:\\Updates\\MyBoard_5301.BIN"});
    EXPECT_EQ(line.form, CommandLineForm::Path);
    EXPECT_EQ(line.argumentPath, "D:\\Updates\\MyBoard_5301.BIN");
    EXPECT_EQ(line.resultArgument, "");
}

TEST(CommandLineForms, LowerCasingRespectsDoubleByteCharacters) {
    // 0x83 'Z' is one double-byte character whose trail byte looks like a
    // capital Z: it is not lower-cased, so the text holds no "zentrix".
    const std::string dbcsPath = std::string("C:\\\x83Zentrix\\a.bin");
    EXPECT_EQ(lowerDbcs(dbcsPath), std::string("c:\\\x83Zentrix\\a.bin"));
    const CommandLine line = parseCommandLine({dbcsPath}, lowerDbcs);
    EXPECT_EQ(line.form, CommandLineForm::Path);
    EXPECT_EQ(line.argumentPath, dbcsPath);

    // The same bytes in a single-byte reading do spell the word.
    EXPECT_EQ(parseCommandLine({dbcsPath}, lowerPlain).form, CommandLineForm::Keyword);

    // After a complete double-byte character the keyword is recognised again.
    const CommandLine after = parseCommandLine({std::string("\x83QZENTRIX")}, lowerDbcs);
    EXPECT_EQ(after.form, CommandLineForm::Keyword);
}

TEST(CommandLineForms, HostDrivenDestinationsAreComparedExactly) {
    const CommandLine eventLog = parse({"C:\\Fw\\A.bin", "EVENTVIEWER"});
    EXPECT_EQ(eventLog.form, CommandLineForm::HostDriven);
    EXPECT_EQ(eventLog.argumentPath, "C:\\Fw\\A.bin");
    EXPECT_EQ(eventLog.resultArgument, "EVENTVIEWER");
    EXPECT_FALSE(eventLog.resultFileRun);
    EXPECT_EQ(eventLog.hostVid, 0);
    EXPECT_EQ(eventLog.hostPid, 0);

    EXPECT_FALSE(parse({"a.bin", "SHOWMSGBOX"}).resultFileRun);
    // Small letters make a file of that name.
    const CommandLine small = parse({"a.bin", "eventviewer"});
    EXPECT_TRUE(small.resultFileRun);
    EXPECT_EQ(small.resultArgument, "eventviewer");
    EXPECT_TRUE(parse({"a.bin", "ShowMsgBox"}).resultFileRun);
    EXPECT_TRUE(parse({"a.bin", "C:\\out\\result.txt"}).resultFileRun);
    EXPECT_TRUE(parse({"a.bin", ""}).resultFileRun);
    // The host-driven forms never look for the keyword.
    EXPECT_EQ(parse({"zentrix_us", "SHOWMSGBOX"}).form, CommandLineForm::HostDriven);
}

TEST(CommandLineForms, FourArgumentsCarryHexadecimalIds) {
    const CommandLine plain = parse({"a.bin", "EVENTVIEWER", "0F39", "0641"});
    EXPECT_EQ(plain.hostVid, 0x0F39);
    EXPECT_EQ(plain.hostPid, 0x0641);

    const CommandLine prefixed = parse({"a.bin", "r.txt", "0x0f39", "0X0641"});
    EXPECT_EQ(prefixed.hostVid, 0x0F39);
    EXPECT_EQ(prefixed.hostPid, 0x0641);

    const CommandLine noDigits = parse({"a.bin", "r.txt", "vendor", "0641"});
    EXPECT_EQ(noDigits.hostVid, 0);
    EXPECT_EQ(noDigits.hostPid, 0x0641);
}

TEST(CommandLineForms, ThreeArgumentsNameAModelByKeyword) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"RX-439", 0x0673}, {"RX-440", 0x0672}, {"RX-441", 0x0661}, {"RX-442", 0x0953},
        {"rx-439", 0xFFFF}, {"RX-443", 0xFFFF}, {"", 0xFFFF},       {"RX-439 ", 0xFFFF},
    };
    for (const auto& [keyword, pid] : cases) {
        const CommandLine line = parse({"a.bin", "EVENTVIEWER", keyword});
        EXPECT_EQ(line.form, CommandLineForm::HostDriven) << keyword;
        EXPECT_EQ(line.hostPid, pid) << keyword;
        EXPECT_EQ(line.hostVid, 0) << keyword;  // no vendor goes with the keyword
    }
}

TEST(HexArgument, FollowsTheStrtolBase16Conventions) {
    EXPECT_EQ(parseHexArgument("0F39"), 0x0F39);
    EXPECT_EQ(parseHexArgument("0x0f39"), 0x0F39);
    EXPECT_EQ(parseHexArgument("0XABCD"), 0xABCD);
    EXPECT_EQ(parseHexArgument("  \t\n0641"), 0x0641);
    EXPECT_EQ(parseHexArgument("+1a"), 0x1A);
    EXPECT_EQ(parseHexArgument("-1a"), -0x1A);
    EXPECT_EQ(parseHexArgument("-0x10"), -16);
    EXPECT_EQ(parseHexArgument("12zz"), 0x12);
    EXPECT_EQ(parseHexArgument("0641 0F39"), 0x0641);
    // No digits at all.
    EXPECT_EQ(parseHexArgument(""), 0);
    EXPECT_EQ(parseHexArgument("   "), 0);
    EXPECT_EQ(parseHexArgument("-"), 0);
    EXPECT_EQ(parseHexArgument("xyz"), 0);
    EXPECT_EQ(parseHexArgument(" + 5"), 0);  // white space only before the sign
    // A prefix without digits reads the 0 alone.
    EXPECT_EQ(parseHexArgument("0x"), 0);
    EXPECT_EQ(parseHexArgument("0xg1"), 0);
    EXPECT_EQ(parseHexArgument("0x0x5"), 0);
}

TEST(HexArgument, ClampsToTheSignedThirtyTwoBitRange) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(parseHexArgument("7FFFFFFF"), kMax);
    EXPECT_EQ(parseHexArgument("80000000"), kMax);
    EXPECT_EQ(parseHexArgument("FFFFFFFF"), kMax);
    EXPECT_EQ(parseHexArgument("0x123456789ABCDEF0123456789"), kMax);
    EXPECT_EQ(parseHexArgument("-7FFFFFFF"), -0x7FFFFFFF);
    EXPECT_EQ(parseHexArgument("-80000000"), kMin);
    EXPECT_EQ(parseHexArgument("-80000001"), kMin);
    EXPECT_EQ(parseHexArgument("-FFFFFFFFFFFFFFFFFFFF"), kMin);
    // Leading zeros do not count towards the magnitude.
    EXPECT_EQ(parseHexArgument("000000000000000000001"), 1);
}

}  // namespace
}  // namespace vantel
