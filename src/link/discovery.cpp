#include "link/discovery.h"

#include <cstdio>

#include "link/link.h"

namespace vantel {

namespace {

struct Model {
    std::uint16_t vid;
    std::uint16_t pid;
    const char* name;
};

constexpr Model kModels[] = {
    {0x0404, 0x0322, "RX-401"}, {0x0404, 0x0342, "RX-402"}, {0x0404, 0x0343, "RX-402"},
    {0x0404, 0x0376, "RX-403"}, {0x0A34, 0x0212, "RX-404"}, {0x0A34, 0x0211, "RX-405"},
    {0x0D22, 0x0B70, "RX-406"}, {0x0D22, 0x0B80, "RX-407"}, {0x0F0D, 0x0081, "RX-408"},
    {0x0F39, 0x0875, "RX-409"}, {0x0F39, 0x0876, "RX-410"}, {0x0F39, 0x0877, "RX-411"},
    {0x0F39, 0x1031, "RX-412"}, {0x0F39, 0x1032, "RX-413"}, {0x0F39, 0x1045, "RX-414"},
    {0x0F39, 0x1048, "RX-415"}, {0x0F39, 0x104A, "RX-416"}, {0x0F39, 0x104D, "RX-417"},
    {0x0F39, 0x1083, "RX-418"}, {0x0F39, 0x1084, "RX-419"}, {0x0F39, 0x1085, "RX-420"},
    {0x0F39, 0x1086, "RX-421"}, {0x0F39, 0x2051, "RX-422"}, {0x0F39, 0x2151, "RX-423"},
    {0x0F39, 0x2152, "RX-424"}, {0x0F39, 0x0874, "RX-425"}, {0x0F39, 0x0662, "RX-426"},
    {0x0F39, 0x0671, "RX-427"}, {0x0F39, 0x0771, "RX-428"}, {0x0F39, 0x0781, "RX-429"},
    {0x0F39, 0x0825, "RX-430"}, {0x0F39, 0x0641, "RX-431"}, {0x0F39, 0x0605, "RX-432"},
    {0x0F39, 0x0611, "RX-433"}, {0x0F39, 0x0301, "RX-434"}, {0x0F39, 0x0181, "RX-435"},
    {0x1130, 0x9177, "RX-436"}, {0x1188, 0xAE01, "RX-437"}, {0x24F0, 0x0140, "RX-438"},
};

constexpr std::uint16_t kSupportedVendors[] = {0x0404, 0x046A, 0x058F, 0x0A34, 0x0D22,
                                               0x0F0D, 0x0F39, 0x1130, 0x1188, 0x24F0};

// The vendor whose keyboards never enumerate as "ISP Mode".
constexpr std::uint32_t kNoIspNameVendor = 0x1130;

constexpr std::uint16_t kProtocolUsage = 0x0080;
constexpr std::uint16_t kFramedReportLength = 8;

}  // namespace

bool isSupportedVendor(std::uint32_t vid) {
    for (std::uint16_t v : kSupportedVendors) {
        if (v == vid) return true;
    }
    return false;
}

std::string modelName(std::uint32_t vid, std::uint32_t pid) {
    for (const Model& m : kModels) {
        if (m.vid == vid && m.pid == pid) return m.name;
    }
    if (!isSupportedVendor(vid)) return {};
    if ((pid == 0 || pid == 1) && vid != kNoIspNameVendor) return kIspModeName;
    char text[40];
    std::snprintf(text, sizeof text, "VID: 0x%04X, PID: 0x%04X", static_cast<unsigned>(vid),
                  static_cast<unsigned>(pid));
    return text;
}

void resetDeviceTable(DeviceTable& table) {
    closeLink();
    table.count = 0;
    for (DeviceEntry& e : table.entries) e = DeviceEntry{};
}

void discoverDevices(DeviceTable& table, DeviceList& list, std::int32_t pidFilter,
                     const std::atomic<bool>& workerRunning) {
    // The worker owns the link and reads what the table told it; leave both alone.
    if (workerRunning.load()) return;
    resetDeviceTable(table);
    list.resetContent();

    HidBackend* hid = linkBackend();
    if (!hid || !hid->hidLibraryLoaded()) return;
    Guid hidClass;
    if (hid->hidGuid(hidClass) != HidStatus::Ok) return;
    if (!hid->setupLibraryLoaded()) return;
    InterfaceSet set = 0;
    if (hid->getClassDevs(hidClass, set) != HidStatus::Ok || set == 0) return;

    for (int index = 0; index < MAX_INTERFACES; ++index) {
        const HidStatus enumerated = hid->enumInterface(set, hidClass, index);
        if (enumerated == HidStatus::Missing) break;
        if (enumerated != HidStatus::Ok) continue;  // a gap in the indexes, not the end

        std::string path;
        if (hid->interfaceDetail(set, hidClass, index, path) != HidStatus::Ok) break;

        HidHandle handle = kNoHandle;
        if (hid->open(path, Access::Write, handle) != HidStatus::Ok) continue;

        HidAttributes attributes;
        if (hid->attributes(handle, attributes) != HidStatus::Ok || !isSupportedVendor(attributes.vid)) {
            hid->close(handle);
            continue;
        }

        HidCaps caps;
        const HidStatus capsStatus = hid->capabilities(handle, caps);
        if (capsStatus == HidStatus::Missing) {
            hid->close(handle);
            break;
        }
        if (capsStatus != HidStatus::Ok) {
            hid->close(handle);
            continue;
        }

        const bool framed = caps.usage == kProtocolUsage && caps.featureReportByteLength == kFramedReportLength;
        const bool legacyInterfaceZero =
            attributes.vid == LEGACY_VENDOR && path.find("mi_00") != std::string::npos;
        if (!framed && !legacyInterfaceZero) {
            hid->close(handle);
            continue;
        }

        setLinkReportLength(caps.featureReportByteLength);
        const std::string name = modelName(attributes.vid, attributes.pid);

        const bool wanted = pidFilter == -1 || pidFilter == static_cast<std::int32_t>(attributes.pid);
        if (!wanted) {
            hid->close(handle);
            continue;
        }

        // The table holds 16 keyboards; an entry and its list item are stored together.
        if (table.count >= static_cast<std::uint32_t>(MAX_DEVICES)) {
            hid->close(handle);
            break;
        }
        list.addString(name.empty() ? path : name);
        list.setCurSel(0);
        DeviceEntry& entry = table.entries[table.count];
        entry.pid = attributes.pid;
        entry.vid = attributes.vid;
        entry.path = path;
        entry.reportLength = caps.featureReportByteLength;
        entry.legacy = attributes.vid == LEGACY_VENDOR ? 1 : 0;
        ++table.count;
        hid->close(handle);
        if (pidFilter != -1) break;
    }

    hid->destroyClassDevs(set);
}

}  // namespace vantel
