#pragma once
// The HID stack of Linux: hidraw nodes found through sysfs, opened and driven
// with the hidraw ioctls, with arrivals and removals from udev or the kernel.
//
// Each top-level collection of a hidraw node is listed as one interface whose
// path is shaped as on Windows (vid_XXXX&pid_XXXX[&mi_NN][&colNN]), so that
// discovery's "mi_00" test and the "_0000"/"_0001" test on arrivals behave as
// there; opening such a path opens the hidraw node behind it. A plain
// /dev/hidrawN path opens too (its first top-level collection gives the
// capabilities).

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/hid_backend.h"
#include "link/interface_sets.h"
#include "platform/linux/hidraw_io.h"
#include "platform/linux/sysfs_hid.h"
#include "platform/linux/uevent_source.h"

namespace vantel {

enum class HotplugSource {
    Automatic,  // the udev monitor while udevd runs, else the kernel's uevents
    Udev,
    Kernel,
    None,
};

struct HidrawConfig {
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    linuxhid::HidrawIo* io = nullptr;  // null: the real system calls
    HotplugSource hotplug = HotplugSource::Automatic;
};

class HidrawBackend final : public HidBackend {
public:
    explicit HidrawBackend(HidrawConfig config = {});
    ~HidrawBackend() override;
    HidrawBackend(const HidrawBackend&) = delete;
    HidrawBackend& operator=(const HidrawBackend&) = delete;

    bool loadHidLibrary() override;
    bool loadSetupLibrary() override;
    bool hidLibraryLoaded() const override;
    bool setupLibraryLoaded() const override;
    void releaseLibraries() override;

    HidStatus hidGuid(Guid& out) override;
    HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) override;
    HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) override;
    HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) override;
    HidStatus destroyClassDevs(InterfaceSet set) override;

    HidStatus open(const std::string& path, Access access, HidHandle& out) override;
    void close(HidHandle handle) override;

    HidStatus attributes(HidHandle handle, HidAttributes& out) override;
    HidStatus capabilities(HidHandle handle, HidCaps& out) override;
    HidStatus setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) override;
    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override;

    void setDeviceEventSink(DeviceEventSink* sink) override;

    // What the back end knows of an interface path (listed, announced or
    // still in sysfs): its node, USB port and interface number.
    std::optional<linuxhid::InterfaceRecord> describe(const std::string& path);

    // The interfaces whose node could not be opened since the last full
    // listing began, with the errno of the open.
    struct OpenFailure {
        linuxhid::InterfaceRecord record;
        int error = 0;
    };
    std::vector<OpenFailure> openFailures() const;

    // Which source the running monitor reads; None when no monitor runs.
    HotplugSource activeHotplugSource() const;

    // One uevent of the hidraw subsystem, as the monitor thread handles it:
    // "add" announces every interface of the node, "remove" every interface
    // recorded for it. Public so that tests can drive it with a fake sysfs.
    void handleUevent(const linuxhid::Uevent& event);

private:
    struct OpenDevice;
    struct Monitor;

    std::shared_ptr<OpenDevice> device(HidHandle handle) const;
    void remember(const std::vector<linuxhid::InterfaceRecord>& records);
    bool resolve(const std::string& path, linuxhid::InterfaceRecord& record);
    void startMonitorLocked();
    std::unique_ptr<Monitor> takeMonitorLocked();

    HidrawConfig config_;
    linuxhid::HidrawIo& io_;

    mutable std::mutex mutex_;
    bool hidLoaded_ = false;
    bool setupLoaded_ = false;
    void* udev_ = nullptr;
    InterfaceSets sets_;
    std::map<std::string, linuxhid::InterfaceRecord> known_;  // every path listed or announced
    std::map<std::string, std::vector<std::string>> announced_;  // node -> paths, for removals
    std::map<std::string, OpenFailure> openFailures_;            // path -> failure
    HidHandle nextHandle_ = 0x100;
    std::map<HidHandle, std::shared_ptr<OpenDevice>> handles_;

    DeviceEventSink* sink_ = nullptr;
    std::unique_ptr<Monitor> monitor_;
    HotplugSource activeSource_ = HotplugSource::None;
};

}  // namespace vantel
