#pragma once
// A HID back end that passes every call to another one and writes each feature
// report it carries, in hex with a timestamp, to a stream (--trace).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "link/hid_backend.h"

namespace vantel::cli {

// "[  12.345] SET #3  01 EA 03 F0 01 18 00 00": seconds since the start, the
// direction, the handle and the bytes. A failed call ends in "failed".
std::string traceLine(std::int64_t elapsedMs, const char* direction, HidHandle handle,
                      const std::uint8_t* bytes, std::size_t length, bool ok);

class TracingBackend : public HidBackend {
public:
    using Clock = std::function<std::int64_t()>;  // milliseconds, any origin
    using Writer = std::function<void(const std::string& line)>;

    TracingBackend(HidBackend& inner, std::ostream& out, Clock clock = {});
    // Each line goes to `writer` (which may share its stream with a progress display).
    TracingBackend(HidBackend& inner, Writer writer, Clock clock = {});

    bool loadHidLibrary() override { return inner_.loadHidLibrary(); }
    bool loadSetupLibrary() override { return inner_.loadSetupLibrary(); }
    bool hidLibraryLoaded() const override { return inner_.hidLibraryLoaded(); }
    bool setupLibraryLoaded() const override { return inner_.setupLibraryLoaded(); }
    void releaseLibraries() override { inner_.releaseLibraries(); }

    HidStatus hidGuid(Guid& out) override { return inner_.hidGuid(out); }
    HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) override {
        return inner_.getClassDevs(cls, out);
    }
    HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) override {
        return inner_.enumInterface(set, cls, index);
    }
    HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index,
                              std::string& path) override {
        return inner_.interfaceDetail(set, cls, index, path);
    }
    HidStatus destroyClassDevs(InterfaceSet set) override { return inner_.destroyClassDevs(set); }

    HidStatus open(const std::string& path, Access access, HidHandle& out) override;
    void close(HidHandle handle) override;

    HidStatus attributes(HidHandle handle, HidAttributes& out) override {
        return inner_.attributes(handle, out);
    }
    HidStatus capabilities(HidHandle handle, HidCaps& out) override {
        return inner_.capabilities(handle, out);
    }

    HidStatus setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) override;
    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override;

    void setDeviceEventSink(DeviceEventSink* sink) override { inner_.setDeviceEventSink(sink); }

private:
    void write(const std::string& line);
    std::int64_t elapsed() const;

    HidBackend& inner_;
    Writer writer_;
    Clock clock_;
    std::int64_t origin_ = 0;
    std::mutex mutex_;
};

}  // namespace vantel::cli
