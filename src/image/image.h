#pragma once
// The firmware file: its two classes, the magic numbers, the scrambled
// trailer, the facts derived from a file and the rule that ties a file to a
// keyboard's flash size.

#include <array>
#include <cstdint>
#include <string>

#include "image/image_file.h"

namespace vantel {

inline constexpr std::size_t kTrailerSize = 10;
using Trailer = std::array<std::uint8_t, kTrailerSize>;

// Offsets from the end of the file.
inline constexpr std::int64_t kImageMagicFromEnd = 16;  // application image magic
inline constexpr std::int64_t kTrailerFromEnd = 14;     // the stored trailer
inline constexpr std::int64_t kIspMagicFromEnd = 12;    // ISP magic, inside the trailer

inline constexpr std::array<std::uint8_t, 2> kImageMagic{0x7B, 0x6A};
inline constexpr std::array<std::uint8_t, 5> kIspMagic{0x7B, 0x6A, 0x6B, 0xCA, 0xFA};
// Stored bytes of the trailer of a marker image.
inline constexpr Trailer kMarkerPattern{0x8B, 0x9B, 0x3B, 0xAB, 0xBB, 0xCB, 0x0B, 0x1B, 0xFF, 0xFF};

// The flash is addressed in pages of this size.
inline constexpr std::int64_t kPageSize = 65536;

// Rejections of checkImageFile, and the two texts of a broken size rule.
inline const char* const kInvalidIspFileText = "The firmware file is not a valid ISP firmware file.";
inline const char* const kInvalidFileText = "The firmware file is not a valid firmware file.";
inline const char* const kFileSizeStatusText = "Firmware file size is not correct.";
inline const char* const kNotForKeyboardText =
    "The firmware file is not for this keyboard.\nPlease use another firmware file.";

struct ImageInfo {
    std::int32_t length = 0;
    bool ispImage = false;
    bool needsPageSelect = false;
    int profileKind = 0;  // application images only: 0 Global Full, 1 Global Lite, 2 Chinese Lite
    bool markerImage = false;
    Trailer trailer{};    // stored bytes, exactly as in the file
};

enum class ImageClass {
    Invalid,      // shorter than 16 bytes, or 2 GiB and more: no layout fits
    Isp,          // 3072, 4096 or 8192 bytes
    Application,  // any other length
};

// The class of a file by its full length.
ImageClass classifyLength(std::int64_t length);

enum class ImageCheck { Ok, InvalidIspFile, InvalidFile };

// The text a rejection is reported with; empty for Ok.
std::string imageCheckMessage(ImageCheck check);

// Classifies and checks an open firmware file and fills `info` (on a rejection
// only ispImage, markerImage and needsPageSelect are written, all cleared).
// Closes the file in every case.
ImageCheck checkImageFile(ImageFile& file, ImageInfo& info);

// p = NOT(swap of the nibbles of s); its own inverse, so it also scrambles.
constexpr std::uint8_t descrambleByte(std::uint8_t b) {
    return static_cast<std::uint8_t>(~(((b << 4) | (b >> 4)) & 0xFF));
}
void descrambleTrailer(const Trailer& stored, Trailer& plain);
Trailer descrambleTrailer(const Trailer& stored);

// Profile kind from stored trailer bytes 0 and 1: 8B 3B -> 1, CB 3B -> 2, else 0.
int profileKindOf(std::uint8_t stored0, std::uint8_t stored1);
bool isMarkerTrailer(const Trailer& stored);

// The target keyboard's name in a plain trailer: bytes 2..9 up to the first zero.
std::string trailerTargetName(const Trailer& plain);
// The profile code in a plain trailer: bytes 0 and 1 as text ("GF", "GL", "CL", ...).
std::string trailerProfileCode(const Trailer& plain);

// Reads the stored trailer at L - 14. The path form opens and closes the file
// itself; on failure `openCause`, when given, receives the open's cause code
// (FILE_GENERIC when the file opened but holds no trailer). The file form
// leaves the file open.
bool readTrailer(const std::string& path, Trailer& stored, unsigned* openCause = nullptr);
bool readTrailer(ImageFile& file, Trailer& stored);

// The size rule: a keyboard that reports `flashKiB` KB of flash takes only an
// image of exactly flashKiB * 1024 bytes.
constexpr bool fitsKeyboard(std::int64_t length, unsigned flashKiB) {
    return static_cast<std::int64_t>(flashKiB) * 1024 == length;
}

// A framed keyboard reports its flash size as one byte of KiB, so only a file
// of 1 to 255 whole KiB can ever pass the size rule.
inline constexpr unsigned kMaxFlashKiB = 255;
constexpr bool fitsAnyFramedKeyboard(std::int64_t length) {
    return length > 0 && length % 1024 == 0 && length / 1024 <= kMaxFlashKiB;
}

}  // namespace vantel
