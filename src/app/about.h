#pragma once
// The About box's concealed message: an unlock code and a text, both kept only
// in scrambled form (each byte with its nibbles swapped and its bits inverted,
// the firmware trailer's scrambling, which is its own inverse).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantel {

inline constexpr std::size_t kAboutCodeSize = 13;
inline constexpr std::size_t kAboutTextSize = 372;

extern const std::array<std::uint8_t, kAboutCodeSize> aboutUnlockCode;
extern const std::array<std::uint8_t, kAboutTextSize> aboutHiddenText;

// One byte of the scrambling (nibbles swapped, then every bit inverted).
std::uint8_t aboutScrambleByte(std::uint8_t value);

// The entry, taken as its bytes followed by one zero byte, must have a byte at
// each of the 13 positions, and each of those bytes scrambled must equal the
// stored byte. A 13-character code therefore also accepts entries that begin
// with it; a 12-character code, stored with its scrambled terminator, only itself.
bool aboutCodeMatches(const std::string& entry,
                      const std::array<std::uint8_t, kAboutCodeSize>& stored);
bool aboutCodeMatches(const std::string& entry);

// The descrambled text up to its first zero byte.
std::string aboutHiddenMessage(const std::array<std::uint8_t, kAboutTextSize>& stored);
std::string aboutHiddenMessage();

// The About box's behaviour without its window: the shells create one per
// opening, feed it the box's hotkeys and its OK, and do what it answers.
inline constexpr int ABOUT_HOTKEY_ARM = 1;     // Ctrl+H
inline constexpr int ABOUT_HOTKEY_REVEAL = 2;  // Ctrl+Y

class AboutBoxLogic {
public:
    // A hotkey of the About window. True when the entry field (1029) is to be
    // shown and given the keyboard focus now.
    bool onHotKey(int id);
    // OK with the entry field's text (empty when it was never shown): the
    // message to show in a box, or nothing. The box closes either way.
    std::optional<std::string> onOk(const std::string& entry) const;

    bool unlockArmed() const { return unlockArmed_; }
    bool entryShown() const { return entryShown_; }

private:
    bool unlockArmed_ = false;
    bool entryShown_ = false;
};

}  // namespace vantel
