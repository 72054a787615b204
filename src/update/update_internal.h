#pragma once
// Texts and helpers shared by the update procedures' source files; not part of
// the update library's interface.

#include <cstddef>
#include <cstdio>
#include <string>

namespace vantel {

// Texts that more than one procedure shows.
inline const char* const kSelectDeviceText = "Please select a device first.";
inline const char* const kNoFileNameText = "Please input a correct bin file name first";
inline const char* const kInitFailedText = "Fail to init the device";

// printf-style formatting into a string; empty when the pattern yields nothing.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
    const int n = std::snprintf(nullptr, 0, pattern, args...);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), pattern, args...);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace vantel
