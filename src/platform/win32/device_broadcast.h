#pragma once
// Device-interface records of WM_DEVICECHANGE, both ways: the window turns the
// system's record into a DeviceBroadcast, and the simulated keyboard's
// arrivals are turned into such records so that they take the same path.

#include <cstdint>
#include <vector>

// Before <dbt.h>: its macros carry the names of the link's own constants.
#include "link/guid.h"
#include "link/hid_backend.h"

#include <windows.h>
#include <dbt.h>

namespace vantel::win32 {

// Largest record accepted from WM_DEVICECHANGE; device names are far shorter.
inline constexpr std::uint32_t kMaxBroadcastRecord = 64 * 1024;

// Copies what the handlers need out of a broadcast record. `record` points to
// a DEV_BROADCAST_HDR of `dbch_size` bytes; for interface records the name
// bytes are copied up to that size and always end in a terminator (two zero
// bytes, enough for 8-bit and 16-bit text). Null or undersized records give
// an empty broadcast with only `event` set.
DeviceBroadcast toDeviceBroadcast(std::uint32_t event, const void* record);

// A DEV_BROADCAST_DEVICEINTERFACE_A record holding `broadcast`'s class and
// name bytes, as the system would deliver it. DWORD storage keeps it aligned.
std::vector<DWORD> makeInterfaceRecord(const DeviceBroadcast& broadcast);

// The registration filter of one interface class: 32 bytes, device type 5,
// reserved 0, the class, an empty name.
DEV_BROADCAST_DEVICEINTERFACE_A notificationFilter(const Guid& cls);

}  // namespace vantel::win32
