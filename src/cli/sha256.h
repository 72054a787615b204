#pragma once
// SHA-256 of a byte string, in lower-case hexadecimal: the station logs it
// beside every keyboard so that a record names the exact file that went in.

#include <cstdint>
#include <string>
#include <vector>

namespace vantel::cli {

std::string sha256Hex(const std::vector<std::uint8_t>& bytes);

}  // namespace vantel::cli
