// The keyboard model host: serves the simulator's keyboards as hidraw devices
// to a process that has fakehid.so loaded (Wine's device host).
//
//   vantel_model_host <dir> <scenario>     serve; <dir>/host.sock, <dir>/sys
//   vantel_model_host --send <dir> <cmd>   one control command, its answer on stdout
//
// Control commands:
//   flash <keyboard> <file> [boot]   write a keyboard's application (or boot
//                              loader) flash to a file
//   state <keyboard>           "vid pid present inIsp erases testMode factory"
//   opened                     "yes" once every node is held open by a reader
//   hold-isp <n>               boot-loader devices do not arrive until n
//                              keyboards are in their boot loaders; then
//                              they all arrive at once (once)
//   plug <keyboard>            the keyboard's cable is plugged in / pulled,
//   unplug <keyboard>          as a person at a bench does it
//   quit
// <keyboard> is a name from the scenario or an index.
//
// Every present device interface of the simulator becomes part of a hidraw
// node; interfaces whose paths differ only in "&colNN" share one node, as the
// collections of one USB interface do, with a report descriptor of one
// top-level collection each. Arrivals and removals of the simulator become
// kernel uevents on the monitor connections.
//
// A keyboard with a port ("port 2-1" in the scenario) sits where Linux puts a
// USB device of that name, devices/vantel-usb/usb2/2-1, and its boot loader
// comes up in the same USB device folder; a keyboard without one gets a USB
// device folder of its own per node, devices/vantel-usb/1-<node number>.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace fs = std::filesystem;
using namespace vantel;
using Clock = std::chrono::steady_clock;

namespace {

struct Collection {
    std::string path;  // the simulator's interface path
    HidCaps caps;
    bool protocol = false;
    bool legacy = false;
    std::uint8_t reportId = 0;
    HidHandle handle = kNoHandle;
};

struct Node {
    unsigned number = 0;
    std::string key;  // the interface path without "&colNN"
    std::uint16_t vid = 0, pid = 0;
    int mi = 0;
    std::vector<Collection> collections;
    std::vector<std::uint8_t> descriptor;
    std::string port;                // the keyboard's; empty when it has none
    std::size_t keyboard = SIZE_MAX;  // the simulator's index
    bool isp = false;                // the keyboard is in its boot loader
    std::string usbDir;              // the USB device folder, below devices/vantel-usb
    std::string devpath;             // below /sys
};

enum class Role { Hello, Read, Ioctl, Monitor, Control };

struct Connection {
    int fd = -1;
    Role role = Role::Hello;
    unsigned node = 0;
};

void put16(std::vector<std::uint8_t>& d, std::uint8_t tag, unsigned value) {
    d.push_back(static_cast<std::uint8_t>(tag | 2));
    d.push_back(static_cast<std::uint8_t>(value & 0xFF));
    d.push_back(static_cast<std::uint8_t>(value >> 8));
}

// One top-level collection per interface: a feature report of the interface's
// length (report-ID byte included), or a small input report when it has none.
void describe(std::vector<std::uint8_t>& d, const Collection& c) {
    put16(d, 0x04, c.caps.usagePage);  // Usage Page
    put16(d, 0x08, c.caps.usage);      // Usage
    d.insert(d.end(), {0xA1, 0x01});   // Collection (Application)
    if (c.reportId != 0) d.insert(d.end(), {0x85, c.reportId});
    d.insert(d.end(), {0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    const unsigned bytes = c.caps.featureReportByteLength > 1 ? c.caps.featureReportByteLength - 1u : 3u;
    d.insert(d.end(), {0x95, static_cast<std::uint8_t>(bytes)});
    d.insert(d.end(), {static_cast<std::uint8_t>(c.caps.featureReportByteLength > 1 ? 0xB1 : 0x81), 0x02});
    d.push_back(0xC0);
}

std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// A relative symbolic link, as sysfs has them; one already there stays (the
// nodes of one keyboard share its USB device folder).
void linkTo(const fs::path& target, const fs::path& at) {
    std::error_code ec;
    fs::create_symlink(target.lexically_relative(at.parent_path()), at, ec);
}

class ModelHost {
public:
    explicit ModelHost(fs::path dir) : dir_(std::move(dir)) {}

    bool load(const std::string& scenarioFile, std::string& error) {
        std::ifstream in(scenarioFile);
        std::stringstream text;
        text << in.rdbuf();
        auto scenario = sim::parseScenario(text.str(), error);
        if (!in || !scenario) {
            if (error.empty()) error = "cannot read " + scenarioFile;
            return false;
        }
        if (sim_) sim_->setDeviceEventSink(nullptr);
        sim_.reset();
        resync();  // every node leaves
        sim_ = std::make_unique<sim::SimBackend>(*scenario);
        sim_->loadHidLibrary();
        sim_->loadSetupLibrary();
        sink_.host = this;
        sim_->setDeviceEventSink(&sink_);
        // Only this thread makes transfers: the end of a paced one is noted
        // here and its answer waits for it (see reply).
        sim_->setPaceWait([this](Clock::time_point end) { paceEnd_ = std::max(paceEnd_, end); });
        resync();
        return true;
    }

    int run(int listener) {
        int wake[2];
        if (pipe2(wake, O_CLOEXEC) != 0) return 1;
        wakeFd_ = wake[1];
        for (;;) {
            std::vector<pollfd> polls{{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
            // Readers and monitors send nothing; polling them tells when they close.
            for (const Connection& c : connections_) polls.push_back({c.fd, POLLIN, 0});
            timespec wait{};
            const bool waiting = nextDue(wait);
            if (ppoll(polls.data(), polls.size(), waiting ? &wait : nullptr, nullptr) < 0 && errno != EINTR) return 1;
            sendDue();
            if (polls[1].revents) {
                char b[64];
                while (read(wake[0], b, sizeof b) == static_cast<ssize_t>(sizeof b)) {
                }
                resync();
            }
            if (polls[0].revents) {
                const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) connections_.push_back({fd, Role::Hello, 0});
            }
            for (std::size_t i = 2; i < polls.size(); ++i) {
                if (polls[i].revents && !serve(polls[i].fd)) drop(polls[i].fd);
                if (quit_) return 0;
            }
        }
    }

private:
    struct Sink : DeviceEventSink {
        ModelHost* host = nullptr;
        // The simulator's scheduler thread: only wake the serving loop.
        void deviceChanged(const DeviceBroadcast&) override {
            const char one = 1;
            (void)!write(host->wakeFd_, &one, 1);
        }
    };

    // The nodes the simulator's present interfaces make up now.
    std::map<std::string, Node> wanted() {
        std::map<std::string, Node> out;
        if (!sim_) return out;
        Guid hid;
        InterfaceSet set = 0;
        if (sim_->hidGuid(hid) != HidStatus::Ok || sim_->getClassDevs(hid, set) != HidStatus::Ok) return out;
        static const std::regex col("&col[0-9a-f]{2}", std::regex::icase);
        static const std::regex mi("&mi_([0-9a-f]{2})", std::regex::icase);
        for (int i = 0;; ++i) {
            std::string path;
            if (sim_->enumInterface(set, hid, i) != HidStatus::Ok ||
                sim_->interfaceDetail(set, hid, i, path) != HidStatus::Ok) {
                break;
            }
            HidHandle h = kNoHandle;
            if (sim_->open(path, Access::ReadWrite, h) != HidStatus::Ok) continue;
            HidAttributes a;
            Collection c;
            c.path = path;
            // Where the keyboard is now: a keyboard plugged in elsewhere moves.
            const std::string port = sim_->portOf(path);
            std::size_t owner = SIZE_MAX;
            bool isp = false;
            const bool ok = sim_->attributes(h, a) == HidStatus::Ok && sim_->capabilities(h, c.caps) == HidStatus::Ok;
            sim_->close(h);
            if (!ok) continue;
            for (std::size_t k = 0; k < sim_->keyboardCount(); ++k) {
                const auto paths = sim_->keyboard(k).paths();
                if (std::find(paths.begin(), paths.end(), path) == paths.end()) continue;
                const auto spec = sim_->keyboard(k).spec();
                owner = k;
                isp = sim_->keyboard(k).inIsp();
                c.legacy = spec.legacy && !sim_->keyboard(k).inIsp();
                c.protocol = !spec.passive;
                for (const auto& is : spec.interfaces) {
                    if (is.path == path) c.protocol = is.protocol && !spec.passive;
                }
            }
            Node& n = out[std::regex_replace(path, col, "")];
            n.key = std::regex_replace(path, col, "");
            n.vid = a.vid;
            n.pid = a.pid;
            n.port = port;
            n.keyboard = owner;
            n.isp = isp;
            std::smatch m;
            n.mi = std::regex_search(path, m, mi) ? std::stoi(m[1].str(), nullptr, 16) : 0;
            n.collections.push_back(c);
        }
        sim_->destroyClassDevs(set);
        for (auto& [key, n] : out) {
            // Several collections need report IDs; the protocol's own is 1.
            std::uint8_t next = 2;
            for (Collection& c : n.collections) {
                const bool framed = c.protocol && !c.legacy;
                c.reportId = framed ? 1 : (n.collections.size() > 1 ? next++ : 0);
                describe(n.descriptor, c);
            }
        }
        return out;
    }

    static bool sameDevice(const Node& a, const Node& b) {
        if (a.vid != b.vid || a.pid != b.pid || a.port != b.port || a.descriptor != b.descriptor) return false;
        for (std::size_t i = 0; i < a.collections.size(); ++i) {
            if (a.collections[i].path != b.collections[i].path) return false;
        }
        return true;
    }

    // While a hold is set, boot-loader nodes not yet present stay back until
    // that many keyboards are in their boot loaders: then they arrive in one
    // burst, and every download waiting for its boot loader sees the others'
    // arrive too.
    void holdBootLoaders(std::map<std::string, Node>& next) {
        if (holdIsp_ == 0) return;
        std::set<std::size_t> inIsp;
        for (const auto& [key, n] : next) {
            if (n.isp) inIsp.insert(n.keyboard);
        }
        if (inIsp.size() >= holdIsp_) {
            holdIsp_ = 0;
            return;
        }
        for (auto it = next.begin(); it != next.end();) {
            if (it->second.isp && nodes_.count(it->first) == 0) it = next.erase(it);
            else ++it;
        }
    }

    void resync() {
        auto next = wanted();
        holdBootLoaders(next);
        for (auto it = nodes_.begin(); it != nodes_.end();) {
            auto w = next.find(it->first);
            if (w != next.end() && sameDevice(it->second, w->second)) {
                next.erase(w);
                ++it;
            } else {
                removeNode(it->second);
                it = nodes_.erase(it);
            }
        }
        for (auto& [key, n] : next) {
            n.number = nextNumber_++;
            for (Collection& c : n.collections) {
                if (sim_->open(c.path, Access::ReadWrite, c.handle) != HidStatus::Ok) c.handle = kNoHandle;
            }
            addNode(n);
            nodes_[key] = std::move(n);
        }
    }

    void addNode(Node& n) {
        const std::string num = std::to_string(n.number);
        char mi[8];
        std::snprintf(mi, sizeof mi, "%02x", static_cast<unsigned>(n.mi));
        const std::string usbName = n.port.empty() ? "1-" + num : n.port;
        n.usbDir = n.port.empty() ? usbName : "usb" + n.port.substr(0, n.port.find('-')) + "/" + usbName;
        const std::string ifName = usbName + ":1." + std::to_string(n.mi);
        const std::string hidName = "0003:" + hex4(n.vid) + ":" + hex4(n.pid) + "." + hex4(n.number);
        n.devpath = "/devices/vantel-usb/" + n.usbDir + "/" + ifName + "/" + hidName + "/hidraw/hidraw" + num;
        const fs::path sys = dir_ / "sys";
        const fs::path usb = sys / "devices/vantel-usb" / n.usbDir;
        const fs::path intf = usb / ifName;
        const fs::path hid = intf / hidName;
        const fs::path node = hid / "hidraw" / ("hidraw" + num);
        fs::create_directories(node);
        char ids[64];
        std::snprintf(ids, sizeof ids, "%x/%x/100", n.vid, n.pid);
        // The USB device's IDs are those of what is plugged in now: the
        // application, or the boot loader at the same place.
        writeFile(usb / "uevent", std::string("DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=") + ids + "\n");
        writeFile(usb / "idVendor", lowerHex4(n.vid) + "\n");
        writeFile(usb / "idProduct", lowerHex4(n.pid) + "\n");
        writeFile(usb / "bcdDevice", "0100\n");
        writeFile(usb / "manufacturer", "Vantel model\n");
        writeFile(usb / "product", "Keyboard " + num + "\n");
        writeFile(intf / "uevent", std::string("DEVTYPE=usb_interface\nDRIVER=usbhid\nPRODUCT=") + ids + "\nINTERFACE=3/0/0\n");
        writeFile(intf / "bInterfaceNumber", std::string(mi) + "\n");
        writeFile(hid / "uevent", "DRIVER=hid-generic\nHID_ID=0003:0000" + hex4(n.vid) + ":0000" + hex4(n.pid) +
                                      "\nHID_NAME=Vantel model keyboard " + num + "\nHID_PHYS=" + phys(n) +
                                      "\nHID_UNIQ=" + serial(n) + "\n");
        writeFile(hid / "report_descriptor", std::string(n.descriptor.begin(), n.descriptor.end()));
        writeFile(node / "uevent", "MAJOR=240\nMINOR=" + num + "\nDEVNAME=hidraw" + num + "\n");
        writeFile(node / "dev", "240:" + num + "\n");
        linkTo(sys / "bus/usb", usb / "subsystem");
        linkTo(sys / "bus/usb", intf / "subsystem");
        linkTo(sys / "bus/hid", hid / "subsystem");
        linkTo(sys / "class/hidraw", node / "subsystem");
        linkTo(hid, node / "device");
        linkTo(node, sys / "class/hidraw" / ("hidraw" + num));
        announce("add", n);
    }

    static std::string lowerHex4(unsigned v) {
        std::string s = hex4(v);
        for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return s;
    }

    static std::string phys(const Node& n) {
        return "usb-vantel-" + (n.port.empty() ? std::to_string(n.number) : n.port) + "/input" + std::to_string(n.mi);
    }

    // Each node its own serial number: Wine names a device instance after it,
    // and a keyboard that leaves and comes back at once must not meet its own
    // instance still being removed.
    static std::string serial(const Node& n) { return "VM" + std::to_string(n.number); }

    void removeNode(Node& n) {
        announce("remove", n);
        for (Collection& c : n.collections) {
            if (c.handle != kNoHandle && sim_) sim_->close(c.handle);
        }
        std::error_code ec;
        fs::remove(dir_ / "sys/class/hidraw" / ("hidraw" + std::to_string(n.number)), ec);
        // The USB device folder goes with the keyboard's last node, the
        // interface folder with the last node on that interface.
        const fs::path hidDir = (dir_ / "sys" / n.devpath.substr(1)).parent_path().parent_path();
        bool deviceShared = false, interfaceShared = false;
        for (const auto& [key, other] : nodes_) {
            if (&other == &n || other.usbDir != n.usbDir) continue;
            deviceShared = true;
            interfaceShared = interfaceShared || other.mi == n.mi;
        }
        fs::remove_all(!deviceShared ? dir_ / "sys/devices/vantel-usb" / n.usbDir
                       : !interfaceShared ? hidDir.parent_path()
                                        : hidDir,
                       ec);
        // The kernel would end the node's readers (POLLHUP, EIO); Wine's bus
        // would then spin on the descriptor until its removal has gone
        // through, so the readers stay open and silent until Wine closes them.
    }

    void announce(const char* action, const Node& n) {
        const std::string num = std::to_string(n.number);
        std::string m = std::string(action) + "@" + n.devpath;
        m.push_back('\0');
        const std::vector<std::string> values = {std::string("ACTION=") + action, "DEVPATH=" + n.devpath,
                                                 "SUBSYSTEM=hidraw", "MAJOR=240", "MINOR=" + num,
                                                 "DEVNAME=hidraw" + num, "SEQNUM=" + std::to_string(++seqnum_)};
        for (const std::string& kv : values) {
            m += kv;
            m.push_back('\0');
        }
        for (const Connection& c : connections_) {
            if (c.role == Role::Monitor) send(c.fd, m.data(), m.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        std::printf("%s hidraw%s %04x:%04x mi %d, %zu collection(s)\n", action, num.c_str(), n.vid, n.pid, n.mi,
                    n.collections.size());
        std::fflush(stdout);
    }

    Node* nodeByNumber(unsigned number) {
        for (auto& [key, n] : nodes_) {
            if (n.number == number) return &n;
        }
        return nullptr;
    }

    Connection* find(int fd) {
        for (Connection& c : connections_) {
            if (c.fd == fd) return &c;
        }
        return nullptr;
    }

    void drop(int fd) {
        std::erase_if(deferred_, [fd](const Deferred& d) { return d.fd == fd; });
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            if (it->fd == fd) {
                close(fd);
                connections_.erase(it);
                return;
            }
        }
    }

    bool serve(int fd) {
        Connection* c = find(fd);
        if (c == nullptr) return true;
        std::vector<std::uint8_t> buf(8 + sizeof(hidraw_report_descriptor) + 64);
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        buf.resize(static_cast<std::size_t>(n));
        if (c->role == Role::Hello) return hello(*c, std::string(buf.begin(), buf.end()));
        if (c->role == Role::Ioctl) return ioctlRequest(*c, buf);
        if (c->role == Role::Control) return control(*c, std::string(buf.begin(), buf.end()));
        return true;
    }

    bool hello(Connection& c, const std::string& text) {
        unsigned number = 0;
        bool ok = true;
        if (text == "monitor") {
            c.role = Role::Monitor;
        } else if (text == "control") {
            c.role = Role::Control;
        } else if (std::sscanf(text.c_str(), "read hidraw%u", &number) == 1 && nodeByNumber(number)) {
            c.role = Role::Read;
            c.node = number;
        } else if (std::sscanf(text.c_str(), "ioctl hidraw%u", &number) == 1 && nodeByNumber(number)) {
            c.role = Role::Ioctl;
            c.node = number;
        } else {
            ok = false;
        }
        send(c.fd, ok ? "ok" : "no", 2, MSG_NOSIGNAL);
        return ok;
    }

    // A transfer the simulator paces (its bus's latency) is answered when it
    // ends, and meanwhile the host serves the other buses, which the kernel
    // drives each on its own.
    void reply(int fd, int result, int error, const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> out(8);
        const std::int32_t head[2] = {result, error};
        std::memcpy(out.data(), head, 8);
        out.insert(out.end(), data.begin(), data.end());
        const Clock::time_point end = paceEnd_;
        paceEnd_ = {};
        if (end > Clock::now()) {
            deferred_.push_back({end, fd, std::move(out)});
            return;
        }
        send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }

    // How long until the first deferred answer is due; false when none waits.
    bool nextDue(timespec& wait) const {
        if (deferred_.empty()) return false;
        Clock::time_point due = deferred_.front().due;
        for (const Deferred& d : deferred_) due = std::min(due, d.due);
        const auto ns = std::max<std::int64_t>(0, std::chrono::nanoseconds(due - Clock::now()).count());
        wait.tv_sec = static_cast<time_t>(ns / 1000000000);
        wait.tv_nsec = static_cast<long>(ns % 1000000000);
        return true;
    }

    void sendDue() {
        const Clock::time_point now = Clock::now();
        std::erase_if(deferred_, [now](const Deferred& d) {
            if (d.due > now) return false;
            send(d.fd, d.message.data(), d.message.size(), MSG_NOSIGNAL);
            return true;
        });
    }

    static void putString(std::vector<std::uint8_t>& arg, const std::string& s, int& result) {
        const std::size_t n = std::min(arg.size(), s.size() + 1);
        std::memcpy(arg.data(), s.c_str(), n);
        result = static_cast<int>(n);
    }

    bool ioctlRequest(Connection& c, const std::vector<std::uint8_t>& msg) {
        if (msg.size() < 8) return false;
        std::uint32_t head[2];
        std::memcpy(head, msg.data(), 8);
        const unsigned long request = head[0];
        std::vector<std::uint8_t> arg(msg.begin() + 8, msg.end());
        arg.resize(head[1]);
        Node* n = nodeByNumber(c.node);
        if (n == nullptr) {
            reply(c.fd, -1, ENODEV, arg);
            return true;
        }
        int result = -1, error = 0;
        switch (_IOC_NR(request)) {
        case _IOC_NR(HIDIOCGRDESCSIZE): {
            const int size = static_cast<int>(n->descriptor.size());
            std::memcpy(arg.data(), &size, std::min(arg.size(), sizeof size));
            result = 0;
            break;
        }
        case _IOC_NR(HIDIOCGRDESC): {
            std::uint32_t size = 0;
            std::memcpy(&size, arg.data(), 4);
            if (size > n->descriptor.size() || arg.size() < 4 + size) {
                error = EINVAL;
                break;
            }
            std::memcpy(arg.data() + 4, n->descriptor.data(), size);
            result = 0;
            break;
        }
        case _IOC_NR(HIDIOCGRAWINFO): {
            hidraw_devinfo info{};
            info.bustype = 3;  // BUS_USB
            info.vendor = static_cast<__s16>(n->vid);
            info.product = static_cast<__s16>(n->pid);
            std::memcpy(arg.data(), &info, std::min(arg.size(), sizeof info));
            result = 0;
            break;
        }
        case _IOC_NR(HIDIOCGRAWNAME(0)):
            putString(arg, "Vantel model keyboard " + std::to_string(n->number), result);
            break;
        case _IOC_NR(HIDIOCGRAWPHYS(0)):
            putString(arg, phys(*n), result);
            break;
        case 8:  // HIDIOCGRAWUNIQ
            putString(arg, serial(*n), result);
            break;
        case _IOC_NR(HIDIOCSFEATURE(0)):
        case _IOC_NR(HIDIOCGFEATURE(0)):
            feature(*n, _IOC_NR(request) == _IOC_NR(HIDIOCGFEATURE(0)), arg, result, error);
            break;
        default:
            error = EINVAL;
        }
        if (std::getenv("VANTEL_MODEL_TRACE")) {
            std::printf("ioctl hidraw%u nr %u len %zu -> %d (%d):", n->number, static_cast<unsigned>(_IOC_NR(request)), arg.size(), result, error);
            for (std::size_t i = 0; i < arg.size() && i < 12; ++i) std::printf(" %02x", arg[i]);
            std::printf("\n");
            std::fflush(stdout);
        }
        reply(c.fd, result, error, arg);
        return true;
    }

    // A feature report goes to the collection its report ID belongs to, in
    // the length the simulated keyboard takes (a framed keyboard answers one
    // byte more than its report length); the kernel's answer is the byte
    // count the device gave, at most what was asked for.
    void feature(Node& n, bool get, std::vector<std::uint8_t>& arg, int& result, int& error) {
        error = EPIPE;
        if (arg.size() < 2) {
            error = EINVAL;
            return;
        }
        for (Collection& c : n.collections) {
            if (c.reportId != arg[0] || !c.protocol || c.handle == kNoHandle) continue;
            const std::size_t length = c.caps.featureReportByteLength + (get && !c.legacy ? 1u : 0u);
            std::vector<std::uint8_t> report(length, 0);
            std::memcpy(report.data(), arg.data(), std::min(length, arg.size()));
            const HidStatus s = get ? sim_->getFeature(c.handle, report.data(), length)
                                    : sim_->setFeature(c.handle, report.data(), length);
            if (s != HidStatus::Ok) return;
            const std::size_t count = std::min(length, arg.size());
            if (get) std::memcpy(arg.data(), report.data(), count);
            result = static_cast<int>(count);
            error = 0;
            return;
        }
    }

    sim::SimKeyboard* keyboard(const std::string& which) {
        if (!sim_) return nullptr;
        if (auto* k = sim_->findKeyboard(which)) return k;
        char* end = nullptr;
        const unsigned long i = std::strtoul(which.c_str(), &end, 10);
        if (end == which.c_str() || *end != '\0' || i >= sim_->keyboardCount()) return nullptr;
        return &sim_->keyboard(i);
    }

    bool control(Connection& c, const std::string& text) {
        std::istringstream in(text);
        std::string command, a, b, region;
        in >> command >> a >> b >> region;
        std::string answer = "ok";
        if (command == "flash" || command == "state" || command == "plug" || command == "unplug") {
            sim::SimKeyboard* k = keyboard(a);
            if (k == nullptr) {
                answer = "error no keyboard " + a;
            } else if (command == "plug") {
                k->plugIn();
            } else if (command == "unplug") {
                k->unplug();
            } else if (command == "flash") {
                const auto bytes = k->flash(region == "boot" ? sim::Region::Boot : sim::Region::Application);
                std::ofstream(b, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
            } else {
                char s[160];
                std::snprintf(s, sizeof s, "%04x %04x %d %d %d %d %d", k->vid(), k->pid(), k->present() ? 1 : 0,
                              k->inIsp() ? 1 : 0, k->eraseCount(), k->testModeCount(), k->factoryDefaultsCount());
                answer = s;
            }
        } else if (command == "opened") {
            answer = "yes";
            for (const auto& [key, n] : nodes_) {
                bool held = false;
                for (const Connection& r : connections_) held = held || (r.role == Role::Read && r.node == n.number);
                if (!held) answer = "no";
            }
        } else if (command == "hold-isp") {
            holdIsp_ = static_cast<unsigned>(std::strtoul(a.c_str(), nullptr, 10));
        } else if (command == "quit") {
            quit_ = true;
        } else {
            answer = "error unknown command";
        }
        send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        return true;
    }

    fs::path dir_;
    std::unique_ptr<sim::SimBackend> sim_;
    Sink sink_;
    std::map<std::string, Node> nodes_;
    std::vector<Connection> connections_;
    unsigned nextNumber_ = 0;
    unsigned long seqnum_ = 1000;
    int wakeFd_ = -1;
    bool quit_ = false;
    struct Deferred {
        Clock::time_point due;
        int fd = -1;
        std::vector<std::uint8_t> message;
    };
    std::vector<Deferred> deferred_;
    Clock::time_point paceEnd_{};
    unsigned holdIsp_ = 0;

};

int listenOn(const fs::path& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    unlink(addr.sun_path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) return -1;
    return fd;
}

int sendCommand(const fs::path& dir, const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (dir / "host.sock").c_str());
    char answer[512] = {};
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(fd, "control", 7, 0) != 7 || recv(fd, answer, sizeof answer - 1, 0) != 2 ||
        send(fd, command.data(), command.size(), 0) < 0) {
        std::fprintf(stderr, "no model host at %s\n", dir.c_str());
        return 2;
    }
    std::memset(answer, 0, sizeof answer);
    if (recv(fd, answer, sizeof answer - 1, 0) < 0 && command != "quit") return 2;
    std::printf("%s\n", answer);
    return std::strncmp(answer, "error", 5) == 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--send") {
        std::string command = argv[3];
        for (int i = 4; i < argc; ++i) command += std::string(" ") + argv[i];
        return sendCommand(argv[2], command);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <dir> <scenario> | --send <dir> <command...>\n", argv[0]);
        return 1;
    }
    const fs::path dir = fs::absolute(argv[1]);
    std::error_code ec;
    fs::remove_all(dir / "sys", ec);
    fs::create_directories(dir / "sys/class/hidraw");
    fs::create_directories(dir / "sys/devices/vantel-usb");
    fs::create_directories(dir / "sys/bus/usb");
    fs::create_directories(dir / "sys/bus/hid");
    const int listener = listenOn(dir / "host.sock");
    if (listener < 0) {
        std::perror("model host: socket");
        return 1;
    }
    ModelHost host(dir);
    std::string error;
    if (!host.load(argv[2], error)) {
        std::fprintf(stderr, "model host: %s\n", error.c_str());
        return 1;
    }
    writeFile(dir / "ready", "");
    return host.run(listener);
}
