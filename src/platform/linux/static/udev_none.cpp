// The device setup library of builds without libudev (the static binary of
// the kernel test): a token context and no udev monitor, so hotplug comes
// from the kernel's uevents.
#include "platform/linux/uevent_source.h"

namespace vantel::linuxhid {
namespace {
char token;
}  // namespace

bool udevSupported() { return false; }
void* udevContextNew() { return &token; }
void udevContextRelease(void*) {}
std::unique_ptr<UeventSource> openUdevUeventSource(void*) { return nullptr; }

}  // namespace vantel::linuxhid
