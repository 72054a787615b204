#include "platform/win32/device_broadcast.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/win32/win32_hid.h"

namespace vantel::win32 {

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);

namespace {
constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
}

DeviceBroadcast toDeviceBroadcast(std::uint32_t event, const void* record) {
    DeviceBroadcast out;
    out.event = event;
    if (record == nullptr) return out;
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(record);
    if (header->dbch_size < sizeof(DEV_BROADCAST_HDR) || header->dbch_size > kMaxBroadcastRecord) {
        return out;
    }
    out.deviceType = header->dbch_devicetype;
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size < kNameOffset) {
        return out;
    }
    const auto* iface = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(record);
    out.classGuid = fromGuid(iface->dbcc_classguid);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(iface->dbcc_name);
    out.name.assign(bytes, bytes + (header->dbch_size - kNameOffset));
    // A record that is cut short still ends as text for 8-bit and 16-bit readers.
    const bool terminated = out.name.size() >= 2 && out.name[out.name.size() - 1] == 0 &&
                            out.name[out.name.size() - 2] == 0;
    if (!terminated) out.name.insert(out.name.end(), 2, 0);
    return out;
}

std::vector<DWORD> makeInterfaceRecord(const DeviceBroadcast& broadcast) {
    const std::size_t size = std::max(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A),
                                      kNameOffset + broadcast.name.size());
    std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = broadcast.deviceType;
    record->dbcc_reserved = 0;
    record->dbcc_classguid = toGuid(broadcast.classGuid);
    if (!broadcast.name.empty()) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(storage.data()) + kNameOffset,
                    broadcast.name.data(), broadcast.name.size());
    }
    return storage;
}

DEV_BROADCAST_DEVICEINTERFACE_A notificationFilter(const Guid& cls) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = toGuid(cls);
    return filter;
}

}  // namespace vantel::win32
