#pragma once
// Builds firmware files: flash content, the image magic or the ISP magic, and a
// trailer stored scrambled as keyboards expect it. Used by the tests, the demo
// and the benchmarks to make images of any size and shape.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vantel {

inline std::uint8_t scrambleTrailerByte(std::uint8_t plain) {
    return static_cast<std::uint8_t>(~((plain << 4) | (plain >> 4)));
}

struct ImageSpec {
    std::size_t length = 65536;
    std::string profile = "GF";   // plain profile code
    std::string target = "RX-431";  // plain target name, up to 8 characters
    bool isp = false;             // ISP image: ISP magic at L-12 (overlapping the trailer)
    bool marker = false;          // the marker trailer instead of profile and target
    // Flash content: a deterministic non-zero pattern, with the 256-byte body
    // segments listed here left all zero.
    std::vector<std::size_t> zeroSegments;
    std::uint32_t seed = 1;
};

inline std::vector<std::uint8_t> buildImage(const ImageSpec& spec) {
    std::vector<std::uint8_t> image(spec.length, 0);
    std::uint32_t x = spec.seed * 2654435761u + 1;
    for (std::size_t i = 0; i < image.size(); ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<std::uint8_t>((x >> 16) | 1);  // never zero
    }
    for (std::size_t s : spec.zeroSegments) {
        const std::size_t from = 256 + 256 * s;
        for (std::size_t i = from; i < from + 256 && i < image.size(); ++i) image[i] = 0;
    }
    if (spec.length < 16) return image;
    const std::size_t l = spec.length;
    std::uint8_t plain[10] = {};
    plain[0] = spec.profile.size() > 0 ? static_cast<std::uint8_t>(spec.profile[0]) : 0;
    plain[1] = spec.profile.size() > 1 ? static_cast<std::uint8_t>(spec.profile[1]) : 0;
    for (std::size_t i = 0; i < 8 && i < spec.target.size(); ++i) plain[2 + i] = static_cast<std::uint8_t>(spec.target[i]);
    for (int i = 0; i < 10; ++i) image[l - 14 + static_cast<std::size_t>(i)] = scrambleTrailerByte(plain[i]);
    if (spec.marker) {
        const std::uint8_t pattern[10] = {0x8B, 0x9B, 0x3B, 0xAB, 0xBB, 0xCB, 0x0B, 0x1B, 0xFF, 0xFF};
        for (int i = 0; i < 10; ++i) image[l - 14 + static_cast<std::size_t>(i)] = pattern[i];
    }
    if (spec.isp) {
        const std::uint8_t magic[5] = {0x7B, 0x6A, 0x6B, 0xCA, 0xFA};
        for (int i = 0; i < 5; ++i) image[l - 12 + static_cast<std::size_t>(i)] = magic[i];
    } else {
        image[l - 16] = 0x7B;
        image[l - 15] = 0x6A;
    }
    return image;
}

inline void writeImageFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace vantel
