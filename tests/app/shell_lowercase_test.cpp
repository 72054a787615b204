#include "app/shell.h"

#include <gtest/gtest.h>

#include "support/recording_shell.h"

namespace vantel {
namespace {

// Lead bytes of the Japanese double-byte code page.
bool shiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

TEST(LowerCase, AsciiCapitalsOnly) {
    RecordingShell shell;
    EXPECT_EQ(shell.lowerCaseAnsi("ZENTRIX_US"), "zentrix_us");
    EXPECT_EQ(shell.lowerCaseAnsi("C:\\Fw\\@[Z]`{"), "c:\\fw\\@[z]`{");
    // Bytes of 0x80 and above stay as they are (no code-page letters touched).
    EXPECT_EQ(shell.lowerCaseAnsi("\xC4\xD6X"), "\xC4\xD6x");
    EXPECT_EQ(shell.lowerCaseAnsi(""), "");
}

TEST(LowerCase, TrailBytesOfDoubleByteCharactersAreKept) {
    // 0x83 0x41 is one character whose trail byte looks like 'A'.
    EXPECT_EQ(lowerCaseMultiByte("\x83\x41" "AB", shiftJisLead), "\x83\x41" "ab");
    EXPECT_EQ(lowerCaseMultiByte("A\x83\x5A\x83\x41Z", shiftJisLead), "a\x83\x5A\x83\x41z");
    // A lead byte at the very end has no trail byte to skip.
    EXPECT_EQ(lowerCaseMultiByte("Q\x83", shiftJisLead), "q\x83");
    // Without lead bytes the same text is lower-cased throughout.
    EXPECT_EQ(lowerCaseMultiByte("\x83\x41", [](unsigned char) { return false; }), "\x83\x61");
}

}  // namespace
}  // namespace vantel
