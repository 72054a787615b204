#pragma once
// Firmware files for the tests: an application image carries 7B 6A at L-16 and
// a scrambled trailer at L-14 (each stored byte = NOT(nibble-swap(plain))); an
// ISP image of 3072, 4096 or 8192 bytes carries the ISP magic inside its trailer.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace vantel::cli::test {

inline std::uint8_t scramble(std::uint8_t plain) {
    return static_cast<std::uint8_t>(~(((plain << 4) | (plain >> 4)) & 0xFF));
}

// `length` bytes of a pseudo-random body (deterministic per seed) whose
// 256-byte segments listed in `zeroSegments` (counted from the file's start)
// are all zero.
inline std::vector<std::uint8_t> applicationImage(std::size_t length, const std::string& profile = "GF",
                                                  const std::string& target = "RX431",
                                                  std::uint32_t seed = 1,
                                                  const std::vector<std::size_t>& zeroSegments = {}) {
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i + 16 < length; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<std::uint8_t>(x >> 16);
    }
    for (std::size_t s : zeroSegments) {
        for (std::size_t i = s * 256; i < (s + 1) * 256 && i + 16 < length; ++i) image[i] = 0;
    }
    image[length - 16] = 0x7B;
    image[length - 15] = 0x6A;
    std::string plain = profile.substr(0, 2) + target.substr(0, 8);
    plain.resize(10, '\0');
    for (std::size_t i = 0; i < 10; ++i) {
        image[length - 14 + i] = scramble(static_cast<std::uint8_t>(plain[i]));
    }
    return image;
}

inline std::vector<std::uint8_t> ispImage(std::size_t length = 4096, std::uint32_t seed = 7) {
    std::vector<std::uint8_t> image = applicationImage(length, "GF", "", seed);
    const std::uint8_t trailer[10] = {scramble('G'), scramble('F'), 0x7B, 0x6A, 0x6B,
                                      0xCA,          0xFA,          scramble(0), scramble(0), scramble(0)};
    for (std::size_t i = 0; i < 10; ++i) image[length - 14 + i] = trailer[i];
    return image;
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace vantel::cli::test
