#include "cli/devices.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "link/discovery.h"
#include "sim/sim.h"

#ifndef _WIN32
#include "sim/remote_backend.h"
#endif

#if defined(VANTEL_HAVE_HIDRAW)
#include "platform/linux/hidraw_backend.h"
#endif

namespace vantel::cli {

namespace {

class SimulatorLocator final : public DeviceLocator {
public:
    explicit SimulatorLocator(sim::SimBackend& simulator) : sim_(simulator) {}
    DeviceLocation locate(const std::string& path) override {
        DeviceLocation location;
        location.port = sim_.portOf(path);
        return location;
    }

private:
    sim::SimBackend& sim_;
};

#ifndef _WIN32
class RemoteLocator final : public DeviceLocator {
public:
    explicit RemoteLocator(sim::RemoteBackend& backend) : backend_(backend) {}
    DeviceLocation locate(const std::string& path) override { return {"", backend_.portOf(path), -1}; }

private:
    sim::RemoteBackend& backend_;
};
#endif

#if defined(VANTEL_HAVE_HIDRAW)
class HidrawLocator final : public DeviceLocator {
public:
    explicit HidrawLocator(HidrawBackend& backend) : backend_(backend) {}
    DeviceLocation locate(const std::string& path) override {
        const auto record = backend_.describe(path);
        if (!record) return {};
        return {record->devnode, record->port, record->interfaceNumber};
    }
    std::vector<UnopenedKeyboard> unopened() override {
        std::vector<UnopenedKeyboard> keyboards;
        std::set<std::string> nodes;
        for (const auto& failure : backend_.openFailures()) {
            const auto& r = failure.record;
            if (failure.error != EACCES && failure.error != EPERM) continue;
            if (!isSupportedVendor(r.vid)) continue;
            // The interfaces discovery would take: the framed protocol's
            // collection, or interface 0 of the legacy vendor.
            const bool framed = r.caps.usage == 0x0080 && r.caps.featureReportByteLength == 8;
            const bool legacy = r.vid == LEGACY_VENDOR && r.interfaceNumber == 0;
            if (!(framed || legacy) || !nodes.insert(r.devnode).second) continue;
            keyboards.push_back({r.path, {r.devnode, r.port, r.interfaceNumber}, r.vid, r.pid,
                                 r.caps.featureReportByteLength, failure.error});
        }
        return keyboards;
    }

private:
    HidrawBackend& backend_;
};
#endif

}  // namespace

std::unique_ptr<DeviceLocator> simulatorLocator(sim::SimBackend& simulator) {
    return std::make_unique<SimulatorLocator>(simulator);
}

#ifndef _WIN32
std::unique_ptr<DeviceLocator> remoteLocator(sim::RemoteBackend& backend) {
    return std::make_unique<RemoteLocator>(backend);
}
#endif

#if defined(VANTEL_HAVE_HIDRAW)
std::unique_ptr<DeviceLocator> hidrawLocator(HidrawBackend& backend) {
    return std::make_unique<HidrawLocator>(backend);
}
#endif

std::string locationText(const DeviceLocation& location) {
    if (location.port.empty()) return {};
    std::string text = "port " + location.port;
    if (location.interfaceNumber >= 0) text += " interface " + std::to_string(location.interfaceNumber);
    return text;
}

std::string broadcastName(const DeviceBroadcast& broadcast) {
    const auto& bytes = broadcast.name;
    const bool wide = bytes.size() >= 2 && bytes[1] == 0 && bytes[0] != 0;
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += wide ? 2 : 1) {
        if (bytes[i] == 0 && (!wide || i + 1 >= bytes.size() || bytes[i + 1] == 0)) break;
        text += static_cast<char>(bytes[i]);
    }
    return text;
}

bool isIspInterface(const std::string& path) {
    return path.find("_0000") != std::string::npos || path.find("_0001") != std::string::npos;
}

std::string accessHint(const std::vector<UnopenedKeyboard>& keyboards, const std::string& rulesFile) {
    if (keyboards.empty()) return {};
    std::string text;
    for (const auto& k : keyboards) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04X:%04X", static_cast<unsigned>(k.vid), static_cast<unsigned>(k.pid));
        std::string name = modelName(k.vid, k.pid);
        const std::string where = locationText(k.location);
        text += "vantel-cli: cannot open " + (k.location.node.empty() ? k.path : k.location.node) + " (" + name +
                " " + ids + (where.empty() ? "" : ", " + where) + "): " + std::strerror(k.error) + "\n";
    }
    text += "vantel-cli: the udev rules give access to the keyboard: install " + rulesFile +
            "\nvantel-cli: into /etc/udev/rules.d (or /usr/lib/udev/rules.d), then run\n"
            "vantel-cli:   sudo udevadm control --reload\n"
            "vantel-cli:   sudo udevadm trigger --subsystem-match=hidraw\n"
            "vantel-cli: and plug the keyboard in again.\n";
    return text;
}

std::string udevRulesFile() {
    namespace fs = std::filesystem;
    std::error_code ec;
#if defined(VANTEL_UDEV_RULES_BESIDE_BIN)
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = self.parent_path().parent_path() / VANTEL_UDEV_RULES_BESIDE_BIN;
        if (fs::exists(installed, ec)) return installed.string();
    }
#endif
#if defined(VANTEL_UDEV_RULES_IN_TREE)
    if (fs::exists(VANTEL_UDEV_RULES_IN_TREE, ec)) return VANTEL_UDEV_RULES_IN_TREE;
#endif
    return "70-vantel.rules";
}

}  // namespace vantel::cli
