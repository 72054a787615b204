#include "link/guid.h"

#include <cstdio>

namespace vantel {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Guid known(const char* text) { return *Guid::parse(text); }

}  // namespace

std::optional<Guid> Guid::parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return std::nullopt;
    // Hex digit count of each group and the dashes between them.
    std::uint8_t bytes[16];
    std::size_t pos = 0;
    int byte = 0;
    for (int group : {8, 4, 4, 4, 12}) {
        if (pos > 0) {
            if (text[pos] != '-') return std::nullopt;
            ++pos;
        }
        for (int i = 0; i < group; i += 2) {
            int hi = hexValue(text[pos]), lo = hexValue(text[pos + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            bytes[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
            pos += 2;
        }
    }
    Guid g;
    g.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
              static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    g.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    g.data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) g.data4[static_cast<std::size_t>(i)] = bytes[8 + i];
    return g;
}

std::string Guid::str() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(data1), data2, data3, data4[0], data4[1], data4[2], data4[3],
                  data4[4], data4[5], data4[6], data4[7]);
    return buf;
}

const Guid kFailureSignalClass = known("{C0CF064C-6563-11D2-B677-00C0DFE4C1F3}");
const Guid kHidInterfaceClass = known("{4D1E55B2-F16F-11CF-88CB-001111000030}");
const Guid kUsbDeviceClass = known("{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
const Guid kDiskClass = known("{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}");
const Guid kNetworkAdapterClass = known("{AD498944-762F-11D0-8DCB-00C04FC3358C}");
const std::array<Guid, 5> kDeviceInterfaceClasses = {kFailureSignalClass, kHidInterfaceClass,
                                                     kUsbDeviceClass, kDiskClass,
                                                     kNetworkAdapterClass};

}  // namespace vantel
