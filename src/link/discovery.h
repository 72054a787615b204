#pragma once
// Discovery of the attached keyboards into the device table and the device list.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace vantel {

inline constexpr int MAX_DEVICES = 16;
inline constexpr int MAX_INTERFACES = 50;
inline constexpr std::uint32_t LEGACY_VENDOR = 0x0404;

struct DeviceEntry {
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    std::string path;
    std::uint32_t reportLength = 0;
    std::uint32_t legacy = 0;
};

struct DeviceTable {
    std::uint32_t count = 0;
    std::array<DeviceEntry, MAX_DEVICES> entries{};
};

// The device list control (combo box 1000): unsorted, items in append order.
// Item i shows the display name of table entry i. User-interface thread only.
class DeviceList {
public:
    virtual ~DeviceList() = default;
    virtual void resetContent() = 0;
    virtual void addString(const std::string& text) = 0;
    virtual void setCurSel(int index) = 0;  // -1: no selection
    virtual int getCurSel() const = 0;      // -1: no selection
    virtual int getCount() const = 0;
    virtual std::string getItemText(int index) const = 0;
};

bool isSupportedVendor(std::uint32_t vid);

// Display name: a model name, "ISP Mode", the "VID: 0x%04X, PID: 0x%04X"
// fallback, or the empty text for vendors outside the supported set.
std::string modelName(std::uint32_t vid, std::uint32_t pid);

inline const char* const kIspModeName = "ISP Mode";

// closeLink(), count 0, all 16 entries emptied.
void resetDeviceTable(DeviceTable& table);

// Walks the present HID interfaces and lists the accepted keyboards.
// pidFilter -1: every accepted device; otherwise the first accepted one with
// that product ID. Does nothing while the programming worker runs.
void discoverDevices(DeviceTable& table, DeviceList& list, std::int32_t pidFilter,
                     const std::atomic<bool>& workerRunning);

}  // namespace vantel
