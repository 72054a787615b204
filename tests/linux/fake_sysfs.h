#pragma once
// A sysfs tree and hidraw device nodes of our own: the back end reads the
// tree from a temporary directory and talks to the nodes through a scripted
// HidrawIo.

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/hidraw_backend.h"
#include "platform/linux/hidraw_io.h"

namespace vantel::testing_linux {

namespace fs = std::filesystem;

class FakeSysfs {
public:
    FakeSysfs() {
        char pattern[] = "/tmp/vantel-sysfs-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directories(root_ / "class" / "hidraw");
        fs::create_directories(root_ / "dev");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string root() const { return root_.string(); }
    std::string devRoot() const { return (root_ / "dev").string(); }

    // A hidraw node under a USB interface: .../<port>/<port>:1.<mi>/0003:VVVV:PPPP.NNNN/hidraw/hidrawN,
    // the port "1-<number>" unless given ("1-2.3").
    void addUsb(unsigned number, std::uint16_t vid, std::uint16_t pid, int interfaceNumber,
                const std::vector<std::uint8_t>& descriptor, bool hidId = true, std::string port = "") {
        if (port.empty()) port = "1-" + std::to_string(number);
        const fs::path usbDevice = root_ / "devices" / "pci0000:00" / "usb1" / port;
        const fs::path usbInterface = usbDevice / (port + ":1." + std::to_string(interfaceNumber));
        fs::create_directories(usbInterface);
        write(usbDevice / "idVendor", hex4(vid) + "\n");
        write(usbDevice / "idProduct", hex4(pid) + "\n");
        char mi[8];
        std::snprintf(mi, sizeof mi, "%02x\n", static_cast<unsigned>(interfaceNumber));
        write(usbInterface / "bInterfaceNumber", mi);
        addHid(usbInterface, number, vid, pid, descriptor, hidId);
    }

    // A uhid node: no USB interface above the HID device.
    void addVirtual(unsigned number, std::uint16_t vid, std::uint16_t pid,
                    const std::vector<std::uint8_t>& descriptor) {
        const fs::path parent = root_ / "devices" / "virtual" / "misc" / "uhid";
        fs::create_directories(parent);
        addHid(parent, number, vid, pid, descriptor, true);
    }

    // Unplug: the class link and the device tree disappear.
    void remove(unsigned number) {
        const std::string name = "hidraw" + std::to_string(number);
        const fs::path link = root_ / "class" / "hidraw" / name;
        std::error_code ec;
        const fs::path target = fs::canonical(link / "device", ec);
        fs::remove(link, ec);
        if (!ec) fs::remove_all(target, ec);
        fs::remove(root_ / "dev" / name, ec);
    }

private:
    static std::string hex4(std::uint16_t v) {
        char t[8];
        std::snprintf(t, sizeof t, "%04x", static_cast<unsigned>(v));
        return t;
    }
    static void write(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }

    void addHid(const fs::path& parent, unsigned number, std::uint16_t vid, std::uint16_t pid,
                const std::vector<std::uint8_t>& descriptor, bool hidId) {
        char name[64];
        std::snprintf(name, sizeof name, "0003:%04X:%04X.%04X", static_cast<unsigned>(vid),
                      static_cast<unsigned>(pid), number + 1);
        const fs::path hid = parent / name;
        const std::string node = "hidraw" + std::to_string(number);
        fs::create_directories(hid / "hidraw" / node);
        char uevent[160];
        std::snprintf(uevent, sizeof uevent, "DRIVER=hid-generic\n%sHID_NAME=Test keyboard\n",
                      hidId ? ("HID_ID=0003:0000" + hex4(vid) + ":0000" + hex4(pid) + "\n").c_str() : "");
        write(hid / "uevent", uevent);
        std::ofstream(hid / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
        fs::create_directory_symlink("../..", hid / "hidraw" / node / "device");
        fs::create_directory_symlink(fs::relative(hid / "hidraw" / node, root_ / "class" / "hidraw"),
                                     root_ / "class" / "hidraw" / node);
        write(root_ / "dev" / node, "");
    }

    fs::path root_;
};

// Scripted hidraw nodes behind a HidrawIo.
class FakeHidrawIo final : public linuxhid::HidrawIo {
public:
    struct Node {
        std::int16_t vendor = 0;
        std::int16_t product = 0;
        std::vector<std::uint8_t> descriptor;
        std::vector<std::uint8_t> featureReply;  // what a get-feature returns
        std::deque<int> failures;                // errno of the next feature transfers (0: succeed)
        int openError = 0;                       // errno of every open (0: opens)
    };
    struct Transfer {
        std::string devnode;
        bool set = false;
        std::size_t length = 0;  // the ioctl's length
        std::vector<std::uint8_t> bytes;
    };

    Node& node(const std::string& devnode) { return nodes_[devnode]; }

    int open(const char* path, int flags) override {
        std::lock_guard lock(mutex_);
        auto it = nodes_.find(path);
        if (it == nodes_.end()) {
            errno = ENOENT;
            return -1;
        }
        if (it->second.openError != 0) {
            errno = it->second.openError;
            return -1;
        }
        const int fd = nextFd_++;
        open_[fd] = path;
        flags_.push_back(flags);
        return fd;
    }
    int close(int fd) override {
        std::lock_guard lock(mutex_);
        closed_.push_back(fd);
        return open_.erase(fd) ? 0 : (errno = EBADF, -1);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        auto it = open_.find(fd);
        if (it == open_.end()) {
            errno = EBADF;
            return -1;
        }
        Node& n = nodes_[it->second];
        if (request == HIDIOCGRAWINFO) {
            auto* info = static_cast<hidraw_devinfo*>(argument);
            info->bustype = 3;
            info->vendor = n.vendor;
            info->product = n.product;
            return 0;
        }
        if (request == HIDIOCGRDESCSIZE) {
            *static_cast<int*>(argument) = static_cast<int>(n.descriptor.size());
            return 0;
        }
        if (request == HIDIOCGRDESC) {
            auto* d = static_cast<hidraw_report_descriptor*>(argument);
            std::memcpy(d->value, n.descriptor.data(), std::min<std::size_t>(d->size, n.descriptor.size()));
            return 0;
        }
        const unsigned nr = _IOC_NR(request);
        const std::size_t length = _IOC_SIZE(request);
        if (_IOC_TYPE(request) == 'H' && (nr == 0x06 || nr == 0x07)) {
            auto* bytes = static_cast<std::uint8_t*>(argument);
            Transfer t;
            t.devnode = it->second;
            t.set = nr == 0x06;
            t.length = length;
            t.bytes.assign(bytes, bytes + length);
            transfers_.push_back(t);
            if (!n.failures.empty()) {
                const int e = n.failures.front();
                n.failures.pop_front();
                if (e != 0) {
                    errno = e;
                    return -1;
                }
            }
            if (t.set) return static_cast<int>(length);
            const std::size_t count = std::min(length, n.featureReply.size());
            if (count > 0) std::memcpy(bytes, n.featureReply.data(), count);  // an empty reply has no data()
            return static_cast<int>(count);
        }
        errno = ENOTTY;
        return -1;
    }

    std::vector<Transfer> transfers() const {
        std::lock_guard lock(mutex_);
        return transfers_;
    }
    std::vector<int> openFlags() const {
        std::lock_guard lock(mutex_);
        return flags_;
    }
    std::size_t openCount() const {
        std::lock_guard lock(mutex_);
        return open_.size();
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Node> nodes_;
    std::map<int, std::string> open_;
    std::vector<int> flags_;
    std::vector<int> closed_;
    std::vector<Transfer> transfers_;
    int nextFd_ = 40;
};

// A back end over the fake tree and nodes, without a hotplug monitor.
inline HidrawConfig fakeConfig(const FakeSysfs& sysfs, FakeHidrawIo& io) {
    HidrawConfig config;
    config.sysfsRoot = sysfs.root();
    config.devRoot = sysfs.devRoot();
    config.io = &io;
    config.hotplug = HotplugSource::None;
    return config;
}

// A node in sysfs and behind the fake I/O, with matching identity.
inline void plugUsb(FakeSysfs& sysfs, FakeHidrawIo& io, unsigned n, std::uint16_t vid, std::uint16_t pid, int mi,
                    const std::vector<std::uint8_t>& descriptor, const std::string& port = "") {
    sysfs.addUsb(n, vid, pid, mi, descriptor, true, port);
    auto& node = io.node(sysfs.devRoot() + "/hidraw" + std::to_string(n));
    node.vendor = static_cast<std::int16_t>(vid);
    node.product = static_cast<std::int16_t>(pid);
    node.descriptor = descriptor;
}

}  // namespace vantel::testing_linux
