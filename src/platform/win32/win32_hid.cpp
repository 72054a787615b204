#include "platform/win32/win32_hid.h"

#include <setupapi.h>

#include <bit>
#include <cstring>
#include <vector>

namespace vantel::win32 {

namespace {

// The HID structures, declared here because the application links no HID
// import library and needs nothing else of the driver kit headers.
struct HiddAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};

struct HidpCaps {
    USHORT Usage;
    USHORT UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
static_assert(sizeof(HidpCaps) == 64);

using PreparsedData = void*;
constexpr LONG HIDP_STATUS_SUCCESS = 0x00110000;

using HidD_GetHidGuid_t = void(WINAPI*)(GUID*);
using HidD_GetAttributes_t = BOOLEAN(WINAPI*)(HANDLE, HiddAttributes*);
using HidD_GetPreparsedData_t = BOOLEAN(WINAPI*)(HANDLE, PreparsedData*);
using HidD_FreePreparsedData_t = BOOLEAN(WINAPI*)(PreparsedData);
using HidP_GetCaps_t = LONG(WINAPI*)(PreparsedData, HidpCaps*);
using HidD_SetFeature_t = BOOLEAN(WINAPI*)(HANDLE, PVOID, ULONG);
using HidD_GetFeature_t = BOOLEAN(WINAPI*)(HANDLE, PVOID, ULONG);

using SetupDiGetClassDevsA_t = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using SetupDiEnumDeviceInterfaces_t = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                    PSP_DEVICE_INTERFACE_DATA);
using SetupDiGetDeviceInterfaceDetailA_t = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                         PDWORD, PSP_DEVINFO_DATA);
using SetupDiDestroyDeviceInfoList_t = BOOL(WINAPI*)(HDEVINFO);

// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE.
constexpr DWORD kPresentInterfaces = 0x12;

HANDLE asHandle(HidHandle h) { return reinterpret_cast<HANDLE>(h); }
HDEVINFO asSet(InterfaceSet s) { return reinterpret_cast<HDEVINFO>(s); }

template <class Fn>
Fn lookup(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(module, name);
    return proc == nullptr ? nullptr : std::bit_cast<Fn>(proc);
}

}  // namespace

GUID toGuid(const Guid& g) {
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4.data(), 8);
    return out;
}

Guid fromGuid(const GUID& g) {
    Guid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4.data(), g.Data4, 8);
    return out;
}

// 28 bytes on 32-bit Windows, 32 on 64-bit (the trailing pointer-sized member
// and the 8-byte packing of the 64-bit headers).
DWORD Win32HidBackend::interfaceDataSize() { return sizeof(SP_DEVICE_INTERFACE_DATA); }

// The detail record's size field is the size of its fixed part, which is 5 on
// 32-bit Windows (packed: a DWORD and one character) and 8 on 64-bit; the
// system rejects any other value with ERROR_INVALID_USER_BUFFER.
DWORD Win32HidBackend::interfaceDetailSize() { return sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A); }

Win32HidBackend::~Win32HidBackend() { releaseLibraries(); }

bool Win32HidBackend::loadHidLibrary() {
    if (hid_.load() == nullptr) hid_ = LoadLibraryA("hid.dll");
    return hid_.load() != nullptr;
}

bool Win32HidBackend::loadSetupLibrary() {
    if (setup_.load() == nullptr) setup_ = LoadLibraryA("Setupapi.dll");
    return setup_.load() != nullptr;
}

bool Win32HidBackend::hidLibraryLoaded() const { return hid_.load() != nullptr; }
bool Win32HidBackend::setupLibraryLoaded() const { return setup_.load() != nullptr; }

void Win32HidBackend::releaseLibraries() {
    std::call_once(released_, [this] {
        if (HMODULE h = hid_.exchange(nullptr)) FreeLibrary(h);
        if (HMODULE s = setup_.exchange(nullptr)) FreeLibrary(s);
    });
}

template <class Fn>
Fn Win32HidBackend::hidEntry(const char* name) const {
    return lookup<Fn>(hid_.load(), name);
}

template <class Fn>
Fn Win32HidBackend::setupEntry(const char* name) const {
    return lookup<Fn>(setup_.load(), name);
}

HidStatus Win32HidBackend::hidGuid(Guid& out) {
    auto fn = hidEntry<HidD_GetHidGuid_t>("HidD_GetHidGuid");
    if (fn == nullptr) return HidStatus::Missing;
    GUID g{};
    fn(&g);
    out = fromGuid(g);
    return HidStatus::Ok;
}

HidStatus Win32HidBackend::getClassDevs(const Guid& cls, InterfaceSet& out) {
    auto fn = setupEntry<SetupDiGetClassDevsA_t>("SetupDiGetClassDevsA");
    if (fn == nullptr) return HidStatus::Missing;
    const GUID g = toGuid(cls);
    HDEVINFO set = fn(&g, nullptr, nullptr, kPresentInterfaces);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        out = 0;
        return HidStatus::Failed;
    }
    out = reinterpret_cast<InterfaceSet>(set);
    return HidStatus::Ok;
}

HidStatus Win32HidBackend::enumerate(InterfaceSet set, const Guid& cls, int index, void* data) {
    auto fn = setupEntry<SetupDiEnumDeviceInterfaces_t>("SetupDiEnumDeviceInterfaces");
    if (fn == nullptr) return HidStatus::Missing;
    if (index < 0) return HidStatus::Failed;
    auto* iface = static_cast<SP_DEVICE_INTERFACE_DATA*>(data);
    std::memset(iface, 0, sizeof *iface);
    iface->cbSize = interfaceDataSize();
    const GUID g = toGuid(cls);
    return fn(asSet(set), nullptr, &g, static_cast<DWORD>(index), iface) ? HidStatus::Ok
                                                                        : HidStatus::Failed;
}

HidStatus Win32HidBackend::enumInterface(InterfaceSet set, const Guid& cls, int index) {
    SP_DEVICE_INTERFACE_DATA iface;
    return enumerate(set, cls, index, &iface);
}

HidStatus Win32HidBackend::interfaceDetail(InterfaceSet set, const Guid& cls, int index,
                                           std::string& path) {
    auto detail = setupEntry<SetupDiGetDeviceInterfaceDetailA_t>("SetupDiGetDeviceInterfaceDetailA");
    if (detail == nullptr) return HidStatus::Missing;
    // The interface record is enumerated again for this index: the walk asks
    // for the detail right after enumerating the same index, and the set does
    // not change in between.
    SP_DEVICE_INTERFACE_DATA iface;
    if (HidStatus s = enumerate(set, cls, index, &iface); s != HidStatus::Ok) return s;

    DWORD required = 0;
    detail(asSet(set), &iface, nullptr, 0, &required, nullptr);
    if (required < interfaceDetailSize()) return HidStatus::Failed;
    // DWORD-aligned storage for the variable-length record.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
    auto* data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    data->cbSize = interfaceDetailSize();
    if (!detail(asSet(set), &iface, data, required, nullptr, nullptr)) return HidStatus::Failed;
    const std::size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    path.assign(data->DevicePath, strnlen(data->DevicePath, room));
    return HidStatus::Ok;
}

HidStatus Win32HidBackend::destroyClassDevs(InterfaceSet set) {
    auto fn = setupEntry<SetupDiDestroyDeviceInfoList_t>("SetupDiDestroyDeviceInfoList");
    if (fn == nullptr) return HidStatus::Missing;
    return fn(asSet(set)) ? HidStatus::Ok : HidStatus::Failed;
}

HidStatus Win32HidBackend::open(const std::string& path, Access access, HidHandle& out) {
    const DWORD mode = access == Access::Write ? GENERIC_WRITE : (GENERIC_READ | GENERIC_WRITE);
    HANDLE h = CreateFileA(path.c_str(), mode, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return HidStatus::Failed;
    out = reinterpret_cast<HidHandle>(h);
    return HidStatus::Ok;
}

void Win32HidBackend::close(HidHandle handle) {
    if (handle != kNoHandle && handle != 0) CloseHandle(asHandle(handle));
}

HidStatus Win32HidBackend::attributes(HidHandle handle, HidAttributes& out) {
    auto fn = hidEntry<HidD_GetAttributes_t>("HidD_GetAttributes");
    if (fn == nullptr) return HidStatus::Missing;
    HiddAttributes a{};
    a.Size = sizeof a;
    if (!fn(asHandle(handle), &a)) return HidStatus::Failed;
    out.vid = a.VendorID;
    out.pid = a.ProductID;
    return HidStatus::Ok;
}

HidStatus Win32HidBackend::capabilities(HidHandle handle, HidCaps& out) {
    auto get = hidEntry<HidD_GetPreparsedData_t>("HidD_GetPreparsedData");
    auto caps = hidEntry<HidP_GetCaps_t>("HidP_GetCaps");
    if (get == nullptr || caps == nullptr) return HidStatus::Missing;
    PreparsedData data = nullptr;
    if (!get(asHandle(handle), &data)) return HidStatus::Failed;
    HidpCaps c{};
    const bool ok = caps(data, &c) == HIDP_STATUS_SUCCESS;
    if (auto release = hidEntry<HidD_FreePreparsedData_t>("HidD_FreePreparsedData")) release(data);
    if (!ok) return HidStatus::Failed;
    out.usagePage = c.UsagePage;
    out.usage = c.Usage;
    out.inputReportByteLength = c.InputReportByteLength;
    out.outputReportByteLength = c.OutputReportByteLength;
    out.featureReportByteLength = c.FeatureReportByteLength;
    return HidStatus::Ok;
}

HidStatus Win32HidBackend::setFeature(HidHandle handle, const std::uint8_t* report,
                                      std::size_t length) {
    auto fn = hidEntry<HidD_SetFeature_t>("HidD_SetFeature");
    if (fn == nullptr) return HidStatus::Missing;
    // The call takes a writable buffer; the caller's report stays untouched.
    std::vector<std::uint8_t> copy(report, report + length);
    return fn(asHandle(handle), copy.data(), static_cast<ULONG>(length)) ? HidStatus::Ok
                                                                        : HidStatus::Failed;
}

HidStatus Win32HidBackend::getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) {
    auto fn = hidEntry<HidD_GetFeature_t>("HidD_GetFeature");
    if (fn == nullptr) return HidStatus::Missing;
    return fn(asHandle(handle), buffer, static_cast<ULONG>(length)) ? HidStatus::Ok
                                                                   : HidStatus::Failed;
}

}  // namespace vantel::win32
