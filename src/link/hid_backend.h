#pragma once
// The seam between the device link and a HID stack (Windows hid.dll/Setupapi.dll,
// Linux hidraw, or the simulated keyboard).
//
// The calls mirror the Windows operations one to one so that the discovery walk
// keeps its exact failure semantics: every call can fail (Failed) or find its
// platform entry point missing (Missing), and the walk treats the two
// differently (skip an index, skip an interface, or end the walk).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/guid.h"

namespace vantel {

using HidHandle = std::intptr_t;
inline constexpr HidHandle kNoHandle = -1;

// A device-interface set (SetupDiGetClassDevsA); 0 is the null set.
using InterfaceSet = std::intptr_t;

enum class HidStatus {
    Ok,
    Failed,   // the call was made and returned failure
    Missing,  // the platform entry point could not be looked up; nothing was done
};

enum class Access {
    Write,      // GENERIC_WRITE: every open from the device list
    ReadWrite,  // GENERIC_READ | GENERIC_WRITE: the programming worker's open
};

struct HidAttributes {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
};

struct HidCaps {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
};

// Arrival and removal of device interfaces, as the window receives them.
struct DeviceBroadcast {
    std::uint32_t event = 0;       // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
    std::uint32_t deviceType = 0;  // DBT_DEVTYP_DEVICEINTERFACE for interface records
    Guid classGuid{};
    // The raw bytes of the record's name field, terminator included: 8-bit text,
    // or 16-bit little-endian text when the record came in wide form.
    std::vector<std::uint8_t> name;
};

inline constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;

// Builds a broadcast record whose name is 8-bit (wide=false) or 16-bit text.
DeviceBroadcast makeInterfaceBroadcast(std::uint32_t event, const Guid& cls,
                                       const std::string& name, bool wide);

// Receives arrivals and removals from a back end that produces them itself
// (the simulator, the Linux udev monitor). Called on any thread; the receiver
// hands the record to the user-interface thread.
class DeviceEventSink {
public:
    virtual ~DeviceEventSink() = default;
    virtual void deviceChanged(const DeviceBroadcast& broadcast) = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;

    // The two platform libraries, loaded once at start-up and released once.
    virtual bool loadHidLibrary() = 0;
    virtual bool loadSetupLibrary() = 0;
    virtual bool hidLibraryLoaded() const = 0;
    virtual bool setupLibraryLoaded() const = 0;
    // Idempotent. Afterwards every call below returns Missing.
    virtual void releaseLibraries() = 0;

    // Device setup: HidD_GetHidGuid, SetupDiGetClassDevsA (present device
    // interfaces; out = 0 for a null set), SetupDiEnumDeviceInterfaces,
    // SetupDiGetDeviceInterfaceDetailA and SetupDiDestroyDeviceInfoList.
    virtual HidStatus hidGuid(Guid& out) = 0;
    virtual HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) = 0;
    virtual HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) = 0;
    virtual HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index,
                                      std::string& path) = 0;
    virtual HidStatus destroyClassDevs(InterfaceSet set) = 0;

    // CreateFileA on a device path (share read and write, open existing).
    // A kernel service: never Missing.
    virtual HidStatus open(const std::string& path, Access access, HidHandle& out) = 0;
    virtual void close(HidHandle handle) = 0;

    // HidD_GetAttributes; HidD_GetPreparsedData with HidP_GetCaps.
    virtual HidStatus attributes(HidHandle handle, HidAttributes& out) = 0;
    virtual HidStatus capabilities(HidHandle handle, HidCaps& out) = 0;

    // HidD_SetFeature of `length` bytes (byte 0 is the report ID);
    // HidD_GetFeature into `length` bytes whose byte 0 names the report ID.
    virtual HidStatus setFeature(HidHandle handle, const std::uint8_t* report,
                                 std::size_t length) = 0;
    virtual HidStatus getFeature(HidHandle handle, std::uint8_t* buffer,
                                 std::size_t length) = 0;

    // Back ends that produce arrivals and removals themselves deliver them here;
    // the Windows back end leaves it to WM_DEVICECHANGE.
    virtual void setDeviceEventSink(DeviceEventSink* sink) { (void)sink; }
};

}  // namespace vantel
