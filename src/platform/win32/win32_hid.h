#pragma once
// The HID stack of Windows: hid.dll and Setupapi.dll, loaded at start-up and
// called through entry points looked up by name at each use (no import
// libraries), so a system without one of them still starts and a missing
// entry point fails only that step (HidStatus::Missing).

#include <windows.h>

#include <atomic>
#include <mutex>

#include "link/hid_backend.h"

namespace vantel::win32 {

class Win32HidBackend : public HidBackend {
public:
    Win32HidBackend() = default;
    ~Win32HidBackend() override;

    Win32HidBackend(const Win32HidBackend&) = delete;
    Win32HidBackend& operator=(const Win32HidBackend&) = delete;

    bool loadHidLibrary() override;
    bool loadSetupLibrary() override;
    bool hidLibraryLoaded() const override;
    bool setupLibraryLoaded() const override;
    void releaseLibraries() override;

    HidStatus hidGuid(Guid& out) override;
    HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) override;
    HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) override;
    HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index,
                              std::string& path) override;
    HidStatus destroyClassDevs(InterfaceSet set) override;

    HidStatus open(const std::string& path, Access access, HidHandle& out) override;
    void close(HidHandle handle) override;

    HidStatus attributes(HidHandle handle, HidAttributes& out) override;
    HidStatus capabilities(HidHandle handle, HidCaps& out) override;
    HidStatus setFeature(HidHandle handle, const std::uint8_t* report,
                         std::size_t length) override;
    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override;

    // The size fields the setup calls are given. They differ between 32-bit
    // and 64-bit builds (the structures are packed to 1 byte on 32-bit).
    static DWORD interfaceDataSize();
    static DWORD interfaceDetailSize();

private:
    template <class Fn>
    Fn hidEntry(const char* name) const;
    template <class Fn>
    Fn setupEntry(const char* name) const;
    // SetupDiEnumDeviceInterfaces into `data`; Missing when it cannot be looked up.
    HidStatus enumerate(InterfaceSet set, const Guid& cls, int index, void* data);

    std::atomic<HMODULE> hid_{nullptr};
    std::atomic<HMODULE> setup_{nullptr};
    std::once_flag released_;
};

GUID toGuid(const Guid& g);
Guid fromGuid(const GUID& g);

}  // namespace vantel::win32
