#include "platform/linux/sysfs_hid.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "link/guid.h"

namespace vantel::linuxhid {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::vector<std::uint8_t>> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A hexadecimal number of sysfs ("0f39\n", "00000F39"); nothing when the text is none.
std::optional<std::uint32_t> parseHex(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (begin == end || end - begin > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::optional<std::uint32_t> readHex(const fs::path& file) {
    auto text = readText(file);
    if (!text) return std::nullopt;
    return parseHex(*text);
}

// HID_ID=0003:00000F39:00000641 of the HID device's uevent.
bool parseHidId(const std::string& uevent, std::uint16_t& vid, std::uint16_t& pid) {
    std::istringstream lines(uevent);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("HID_ID=", 0) != 0) continue;
        const std::string id = line.substr(7);
        const auto first = id.find(':');
        const auto second = first == std::string::npos ? first : id.find(':', first + 1);
        if (second == std::string::npos) return false;
        auto v = parseHex(id.substr(first + 1, second - first - 1));
        auto p = parseHex(id.substr(second + 1));
        if (!v || !p) return false;
        vid = static_cast<std::uint16_t>(*v);
        pid = static_cast<std::uint16_t>(*p);
        return true;
    }
    return false;
}

}  // namespace

std::string lowerGuid(const Guid& guid) {
    std::string text = guid.str();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool isUsbPortName(const std::string& name) {
    const auto dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i == dash) continue;
        const char c = name[i];
        const bool digit = c >= '0' && c <= '9';
        if (i < dash ? !digit : !(digit || (c == '.' && name[i - 1] != '.' && name[i - 1] != '-')))
            return false;
    }
    return name.back() != '.';
}

std::optional<unsigned> hidrawNumber(const std::string& name) {
    static const std::string prefix = "hidraw";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 6 || name.rfind(prefix, 0) != 0)
        return std::nullopt;
    unsigned number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return number;
}

std::optional<HidrawNode> readHidrawNode(const std::string& sysfsRoot, const std::string& name) {
    auto number = hidrawNumber(name);
    if (!number) return std::nullopt;
    const fs::path nodeDir = fs::path(sysfsRoot) / "class" / "hidraw" / name;
    std::error_code ec;
    const fs::path hidDevice = fs::canonical(nodeDir / "device", ec);
    if (ec) return std::nullopt;

    HidrawNode node;
    node.name = name;
    node.number = *number;

    // The HID device names its IDs; a USB parent interface and device carry
    // the interface number and, as a fallback, the IDs.
    const fs::path usbInterface = hidDevice.parent_path();
    const fs::path usbDevice = usbInterface.parent_path();
    bool haveIds = false;
    if (auto uevent = readText(hidDevice / "uevent")) haveIds = parseHidId(*uevent, node.vid, node.pid);
    if (!haveIds) {
        auto v = readHex(usbDevice / "idVendor");
        auto p = readHex(usbDevice / "idProduct");
        if (!v || !p) return std::nullopt;
        node.vid = static_cast<std::uint16_t>(*v);
        node.pid = static_cast<std::uint16_t>(*p);
    }
    if (auto mi = readHex(usbInterface / "bInterfaceNumber"); mi && *mi <= 0xFF) {
        node.interfaceNumber = static_cast<int>(*mi);
        // The USB device's own name is its place on the bus: it stays the
        // same when the keyboard re-enumerates as its boot loader.
        if (isUsbPortName(usbDevice.filename().string())) node.port = usbDevice.filename().string();
    }

    if (auto descriptor = readBytes(hidDevice / "report_descriptor")) {
        node.descriptor = std::move(*descriptor);
        std::string error;
        if (!parseReportDescriptor(node.descriptor.data(), node.descriptor.size(), node.collections, error))
            node.collections.clear();
    }
    return node;
}

std::vector<HidrawNode> scanHidrawNodes(const std::string& sysfsRoot) {
    std::vector<HidrawNode> nodes;
    std::error_code ec;
    fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "hidraw", ec);
    if (ec) return nodes;
    for (const fs::directory_entry& entry : it) {
        if (auto node = readHidrawNode(sysfsRoot, entry.path().filename().string()))
            nodes.push_back(std::move(*node));
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const HidrawNode& a, const HidrawNode& b) { return a.number < b.number; });
    return nodes;
}

std::string interfacePath(const HidrawNode& node, std::size_t collection) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", static_cast<unsigned>(node.vid),
                  static_cast<unsigned>(node.pid));
    std::string path = "\\\\?\\hid#";
    path += ids;
    if (node.interfaceNumber >= 0) {
        std::snprintf(ids, sizeof ids, "&mi_%02x", static_cast<unsigned>(node.interfaceNumber));
        path += ids;
    }
    if (node.collections.size() > 1) {
        std::snprintf(ids, sizeof ids, "&col%02u", static_cast<unsigned>(collection + 1));
        path += ids;
    }
    // The instance part names the hidraw node; it never holds "_0000" or
    // "_0001", which would mark an ISP device.
    path += "#" + node.name + "#" + lowerGuid(kHidInterfaceClass);
    return path;
}

std::vector<InterfaceRecord> interfacesOf(const std::vector<HidrawNode>& nodes,
                                          const std::string& devRoot) {
    std::vector<InterfaceRecord> records;
    for (const HidrawNode& node : nodes) {
        for (std::size_t i = 0; i < node.collections.size(); ++i) {
            InterfaceRecord r;
            r.path = interfacePath(node, i);
            r.devnode = (fs::path(devRoot) / node.name).string();
            r.node = node.name;
            r.vid = node.vid;
            r.pid = node.pid;
            r.port = node.port;
            r.interfaceNumber = node.interfaceNumber;
            r.caps = node.collections[i];
            records.push_back(std::move(r));
        }
    }
    return records;
}

}  // namespace vantel::linuxhid
