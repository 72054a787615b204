#pragma once
// Where arrivals and removals of hidraw nodes come from: the udev daemon's
// monitor (after its rules have set the node's permissions) or, when no udev
// daemon runs, the kernel's own uevent broadcast.

#include <cstddef>
#include <memory>
#include <string>

namespace vantel::linuxhid {

struct Uevent {
    std::string action;   // "add", "remove", ...
    std::string sysname;  // "hidraw3"
};

class UeventSource {
public:
    virtual ~UeventSource() = default;
    // A descriptor that polls readable when events are waiting.
    virtual int fd() const = 0;
    // The next waiting hidraw event; false when none is waiting. Events of
    // other subsystems are consumed and dropped.
    virtual bool receive(Uevent& event) = 0;
};

// The kernel's uevent netlink group, filtered to the hidraw subsystem.
// Null when the socket cannot be opened.
std::unique_ptr<UeventSource> openKernelUeventSource();

// Parses one kernel uevent message ("add@/devices/...\0ACTION=add\0...");
// false unless it is a hidraw event with an action and a device name.
bool parseKernelUevent(const char* message, std::size_t length, Uevent& event);

// libudev: a context stands for the loaded device setup library. In builds
// without libudev (the static kernel-test binary) the context is a token and
// the monitor is never available.
bool udevSupported();
void* udevContextNew();
void udevContextRelease(void* context);
// A monitor of the udev daemon's events for the hidraw subsystem; null when
// no daemon runs or the monitor cannot be set up.
std::unique_ptr<UeventSource> openUdevUeventSource(void* context);

}  // namespace vantel::linuxhid
