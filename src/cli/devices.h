#pragma once
// Where the listed keyboards are: the device node and the USB location behind
// the core's interface paths, and the keyboards whose node may not be opened.
// The core keeps its own (Windows-shaped) paths; these are for the user's
// choice of keyboard and for the boot loader that must come up at the same
// place.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/hid_backend.h"

namespace vantel {
class HidrawBackend;
namespace sim {
class SimBackend;
class RemoteBackend;
}
}  // namespace vantel

namespace vantel::cli {

struct DeviceLocation {
    std::string node;          // "/dev/hidraw3"; empty where devices have no node of their own
    std::string port;          // "1-2.3": USB bus and port chain; empty when unknown
    int interfaceNumber = -1;  // USB interface; -1 when unknown
};

// A supported keyboard that discovery could not open.
struct UnopenedKeyboard {
    std::string path;  // the core's path
    DeviceLocation location;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint16_t reportLength = 0;
    int error = 0;     // errno of the open
};

class DeviceLocator {
public:
    virtual ~DeviceLocator() = default;
    // Any thread. An empty location when the path is unknown.
    virtual DeviceLocation locate(const std::string& path) = 0;
    // Keyboards the last discovery found but could not open for lack of
    // permission (EACCES, EPERM), one per node.
    virtual std::vector<UnopenedKeyboard> unopened() { return {}; }
};

std::unique_ptr<DeviceLocator> simulatorLocator(sim::SimBackend& simulator);
#ifndef _WIN32
// The station's simulator seen from one of its children: the port only.
std::unique_ptr<DeviceLocator> remoteLocator(sim::RemoteBackend& backend);
#endif
#if defined(VANTEL_HAVE_HIDRAW)
std::unique_ptr<DeviceLocator> hidrawLocator(HidrawBackend& backend);
#endif

// "port 1-2.3 interface 1", "port 1-2.3", or empty.
std::string locationText(const DeviceLocation& location);

// The text of a broadcast's name, whether it came as 8-bit or 16-bit text.
std::string broadcastName(const DeviceBroadcast& broadcast);
// The core's test for a boot-loader interface.
bool isIspInterface(const std::string& path);

// The stderr lines that say why keyboards are missing and how to give access.
std::string accessHint(const std::vector<UnopenedKeyboard>& keyboards, const std::string& rulesFile);
// Where the installed udev rules are (beside this program, else in the tree).
std::string udevRulesFile();

}  // namespace vantel::cli
