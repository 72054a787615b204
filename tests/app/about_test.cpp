// The About box's code comparison and concealed message.

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "app/about.h"

namespace vantel {
namespace {

std::array<std::uint8_t, kAboutCodeSize> storedCode(const std::string& code) {
    std::array<std::uint8_t, kAboutCodeSize> stored{};
    for (std::size_t i = 0; i < kAboutCodeSize; ++i) {
        const auto plain = i < code.size() ? static_cast<std::uint8_t>(code[i]) : std::uint8_t{0};
        stored[i] = aboutScrambleByte(plain);
    }
    return stored;
}

TEST(AboutScrambling, SwapsNibblesAndInvertsAndIsItsOwnInverse) {
    EXPECT_EQ(aboutScrambleByte(0x00), 0xFF);
    EXPECT_EQ(aboutScrambleByte(0x12), 0xDE);
    EXPECT_EQ(aboutScrambleByte(0xF0), 0xF0);
    for (int b = 0; b < 256; ++b) {
        const auto v = static_cast<std::uint8_t>(b);
        EXPECT_EQ(aboutScrambleByte(aboutScrambleByte(v)), v);
    }
}

TEST(AboutCode, TheShippedCodeOpensTheMessageAndNearMissesDoNot) {
    EXPECT_TRUE(aboutCodeMatches("keys&coffee7"));
    EXPECT_FALSE(aboutCodeMatches(""));
    EXPECT_FALSE(aboutCodeMatches("keys&coffee"));
    EXPECT_FALSE(aboutCodeMatches("keys&coffee7 "));
    EXPECT_FALSE(aboutCodeMatches("Keys&coffee7"));
    EXPECT_FALSE(aboutCodeMatches("keys&coffee8"));
    // The stored form holds no readable trace of the code.
    const std::string stored(aboutUnlockCode.begin(), aboutUnlockCode.end());
    EXPECT_EQ(stored.find("keys"), std::string::npos);
}

TEST(AboutCode, AThirteenCharacterCodeAlsoAcceptsLongerEntries) {
    const auto stored = storedCode("ABCDEFGHIJKLM");
    EXPECT_TRUE(aboutCodeMatches("ABCDEFGHIJKLM", stored));
    EXPECT_TRUE(aboutCodeMatches("ABCDEFGHIJKLMNOP", stored));
    EXPECT_FALSE(aboutCodeMatches("ABCDEFGHIJKL", stored));
    EXPECT_FALSE(aboutCodeMatches("ABCDEFGHIJKLX", stored));
}

TEST(AboutCode, EveryPositionMustExistInTheEntry) {
    // A twelve-character code stores its terminator and accepts only itself.
    const auto twelve = storedCode("ABCDEFGHIJKL");
    EXPECT_TRUE(aboutCodeMatches("ABCDEFGHIJKL", twelve));
    EXPECT_FALSE(aboutCodeMatches("ABCDEFGHIJKLM", twelve));
    EXPECT_FALSE(aboutCodeMatches("ABCDEFGHIJK", twelve));
    // Shorter codes pad with scrambled zeros that no typed entry can supply.
    const auto short4 = storedCode("ABCD");
    EXPECT_FALSE(aboutCodeMatches("ABCD", short4));
    EXPECT_FALSE(aboutCodeMatches("", short4));
    // Bytes above 0x7F compare as unsigned values.
    const auto high = storedCode("\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9");
    EXPECT_TRUE(aboutCodeMatches("\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9", high));
}

TEST(AboutMessage, DescramblesUpToTheFirstZero) {
    const std::string message = aboutHiddenMessage();
    EXPECT_FALSE(message.empty());
    EXPECT_LT(message.size(), kAboutTextSize);
    EXPECT_NE(message.find("Vantel team"), std::string::npos);
    for (char c : message) EXPECT_NE(c, '\0');

    std::array<std::uint8_t, kAboutTextSize> stored{};
    stored.fill(aboutScrambleByte('x'));
    stored[3] = aboutScrambleByte(0);
    EXPECT_EQ(aboutHiddenMessage(stored), "xxx");
    // A text filling all 372 bytes ends at the end of the store.
    stored.fill(aboutScrambleByte('y'));
    EXPECT_EQ(aboutHiddenMessage(stored), std::string(kAboutTextSize, 'y'));
}

TEST(AboutBox, TheFieldAppearsOnlyAfterArmingAndOkChecksTheCode) {
    AboutBoxLogic box;
    EXPECT_FALSE(box.onHotKey(ABOUT_HOTKEY_REVEAL));  // Ctrl+Y alone does nothing
    EXPECT_FALSE(box.entryShown());
    EXPECT_FALSE(box.onHotKey(ABOUT_HOTKEY_ARM));
    EXPECT_TRUE(box.unlockArmed());
    EXPECT_TRUE(box.onHotKey(ABOUT_HOTKEY_REVEAL));
    EXPECT_TRUE(box.onHotKey(ABOUT_HOTKEY_REVEAL));  // still armed
    EXPECT_TRUE(box.entryShown());
    EXPECT_FALSE(box.onHotKey(3));

    EXPECT_EQ(box.onOk(""), std::nullopt);
    EXPECT_EQ(box.onOk("wrong"), std::nullopt);
    EXPECT_EQ(box.onOk("keys&coffee7"), aboutHiddenMessage());

    // Each opening starts afresh.
    AboutBoxLogic again;
    EXPECT_FALSE(again.unlockArmed());
    EXPECT_FALSE(again.onHotKey(ABOUT_HOTKEY_REVEAL));
}

}  // namespace
}  // namespace vantel
