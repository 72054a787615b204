#pragma once
// Every command Vantel sends to a keyboard. Framed commands (CMD_*) use the
// framed exchange of the link; legacy commands (LEGACY_*) are single unframed
// reports with report ID 0 for vendor 0x0404 keyboards.
//
// Every operation returns 0, the keyboard's status, or a LINK_* code.
// Output parameters are written only when a reply was delivered.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantel {

// Command bytes.
namespace opcode {
inline constexpr std::uint8_t ENTER_ISP = 0xA0;
inline constexpr std::uint8_t WRITE_BLOCK = 0xA1;
inline constexpr std::uint8_t GOTO_PAGE = 0xA2;
inline constexpr std::uint8_t CHIP_ERASE = 0xA4;
inline constexpr std::uint8_t ISP_CHECK_PROFILE = 0xA5;
inline constexpr std::uint8_t GET_ISP_VERSION = 0xA6;
inline constexpr std::uint8_t SET_MODE_FLAG = 0xA9;
inline constexpr std::uint8_t ENTER_ISP_BOOT = 0xAA;
inline constexpr std::uint8_t RESET = 0xAF;
inline constexpr std::uint8_t GET_VERSION = 0xB0;
inline constexpr std::uint8_t CHECK_PROFILE = 0xB4;
inline constexpr std::uint8_t TEST_MODE = 0xF0;
inline constexpr std::uint8_t FACTORY_DEFAULTS = 0xF1;
}  // namespace opcode

// Keyboard statuses with a meaning to the callers.
inline constexpr std::uint32_t STATUS_PAGE_SELECTED = 241;   // CMD_GOTO_PAGE in application firmware
inline constexpr std::uint32_t STATUS_WRITE_AGAIN = 242;     // CMD_WRITE_BLOCK
inline constexpr std::uint32_t STATUS_BOOTLOADER_FAIL = 27;  // CMD_RESET / CMD_SET_MODE_FLAG

inline constexpr std::size_t kLegacyBufferSize = 30;
inline constexpr std::size_t kMaxWriteBlockData = 122;

// Builds a request frame: EA, L, code, args..., XOR checksum.
std::vector<std::uint8_t> buildRequest(std::uint8_t code, const std::uint8_t* args, std::size_t n);
std::uint8_t xorChecksum(const std::uint8_t* bytes, std::size_t n);

std::uint32_t CMD_ENTER_ISP(std::uint8_t& flashKiB, std::uint16_t& value);
std::uint32_t CMD_ENTER_ISP_BOOT(std::uint8_t& flashKiB, std::uint16_t& value);
std::uint32_t CMD_WRITE_BLOCK(std::uint8_t hi, std::uint8_t lo, const std::uint8_t* data, std::size_t n);
std::uint32_t CMD_GOTO_PAGE(std::uint8_t page);
std::uint32_t CMD_CHIP_ERASE();
std::uint32_t CMD_ISP_CHECK_PROFILE(const std::uint8_t record[10]);
// One operation for both version reads: isp selects 0xA6, else 0xB0.
std::uint32_t CMD_GET_VERSION(bool isp, std::string& version);
std::uint32_t CMD_SET_MODE_FLAG(bool on);
std::uint32_t CMD_RESET();
std::uint32_t CMD_CHECK_PROFILE(const std::uint8_t* code, std::size_t n);
std::uint32_t CMD_CHECK_PROFILE(const char* code);  // a two-letter code such as "GF"
std::uint32_t CMD_TEST_MODE();
std::uint32_t CMD_FACTORY_DEFAULTS();

std::uint32_t LEGACY_ENTER_ISP();
std::uint32_t LEGACY_TEST_MODE();
std::uint32_t LEGACY_RESET();
std::uint32_t LEGACY_FACTORY_DEFAULTS();
// 0 and the version text, or 1 (version left as it was).
std::uint32_t LEGACY_GET_VERSION(std::string& version);

}  // namespace vantel
