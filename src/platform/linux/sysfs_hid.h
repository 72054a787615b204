#pragma once
// What sysfs tells about the hidraw nodes, and the Windows-like interface
// paths built from it. The sysfs root is a parameter so that tests can lay
// out a tree of their own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/guid.h"
#include "platform/linux/report_descriptor.h"

namespace vantel::linuxhid {

struct HidrawNode {
    std::string name;     // "hidraw3"
    unsigned number = 0;  // 3
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    int interfaceNumber = -1;  // bInterfaceNumber of the USB interface; -1 without one (uhid, Bluetooth)
    std::string port;          // the USB device's bus and port chain ("1-2.3"); empty without one
    std::vector<std::uint8_t> descriptor;
    std::vector<Collection> collections;  // empty when the descriptor could not be parsed
};

// One top-level collection of a hidraw node: one HID interface as Windows
// lists it.
struct InterfaceRecord {
    std::string path;     // the Windows-like path that discovery sees
    std::string devnode;  // "/dev/hidraw3"
    std::string node;     // "hidraw3"
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string port;          // as HidrawNode
    int interfaceNumber = -1;
    Collection caps;
};

// "1-2.3" -> true: a USB device's name in sysfs (bus, dash, port chain).
bool isUsbPortName(const std::string& name);

// "hidraw12" -> 12; nothing for any other name.
std::optional<unsigned> hidrawNumber(const std::string& name);

// Reads <sysfsRoot>/class/hidraw/<name>. Nothing when the node is gone or
// carries no identity.
std::optional<HidrawNode> readHidrawNode(const std::string& sysfsRoot, const std::string& name);

// Every hidraw node present, by ascending number.
std::vector<HidrawNode> scanHidrawNodes(const std::string& sysfsRoot);

// \\?\hid#vid_0f39&pid_0641&mi_01&col02#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}
// mi_NN only with a USB interface number; colNN (1-based) only when the
// node has more than one top-level collection.
std::string interfacePath(const HidrawNode& node, std::size_t collection);

// "{4d1e55b2-f16f-11cf-88cb-001111000030}": the class as device paths carry it.
std::string lowerGuid(const Guid& guid);

// The interfaces of the nodes, one per top-level collection, in order.
std::vector<InterfaceRecord> interfacesOf(const std::vector<HidrawNode>& nodes,
                                          const std::string& devRoot);

}  // namespace vantel::linuxhid
