#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantel {

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;

    // "{4D1E55B2-F16F-11CF-88CB-001111000030}" (braces optional, any case).
    static std::optional<Guid> parse(std::string_view text);
    // Upper-case, with braces.
    std::string str() const;
};

// The device-interface classes the main window watches, in registration order.
extern const Guid kFailureSignalClass;   // {C0CF064C-6563-11D2-B677-00C0DFE4C1F3}
extern const Guid kHidInterfaceClass;    // {4D1E55B2-F16F-11CF-88CB-001111000030}
extern const Guid kUsbDeviceClass;       // {A5DCBF10-6530-11D2-901F-00C04FB951ED}
extern const Guid kDiskClass;            // {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}
extern const Guid kNetworkAdapterClass;  // {AD498944-762F-11D0-8DCB-00C04FC3358C}
extern const std::array<Guid, 5> kDeviceInterfaceClasses;

}  // namespace vantel
