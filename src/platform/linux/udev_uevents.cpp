#include <libudev.h>
#include <unistd.h>

#include "platform/linux/uevent_source.h"

namespace vantel::linuxhid {
namespace {

// Present while the udev daemon runs; its monitor is silent otherwise.
constexpr const char* kUdevControl = "/run/udev/control";

class UdevUeventSource final : public UeventSource {
public:
    explicit UdevUeventSource(udev_monitor* monitor) : monitor_(monitor) {}
    ~UdevUeventSource() override { udev_monitor_unref(monitor_); }
    int fd() const override { return udev_monitor_get_fd(monitor_); }

    bool receive(Uevent& event) override {
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(device);
            const char* sysname = udev_device_get_sysname(device);
            const bool ok = action != nullptr && sysname != nullptr;
            if (ok) {
                event.action = action;
                event.sysname = sysname;
            }
            udev_device_unref(device);
            if (ok) return true;
        }
        return false;
    }

private:
    udev_monitor* monitor_;
};

}  // namespace

bool udevSupported() { return true; }

void* udevContextNew() { return udev_new(); }

void udevContextRelease(void* context) {
    if (context != nullptr) udev_unref(static_cast<udev*>(context));
}

std::unique_ptr<UeventSource> openUdevUeventSource(void* context) {
    if (context == nullptr || ::access(kUdevControl, F_OK) != 0) return nullptr;
    udev_monitor* monitor = udev_monitor_new_from_netlink(static_cast<udev*>(context), "udev");
    if (monitor == nullptr) return nullptr;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return nullptr;
    }
    return std::make_unique<UdevUeventSource>(monitor);
}

}  // namespace vantel::linuxhid
