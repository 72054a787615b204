#include "usb_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kerneltest {
namespace {

constexpr const char* kGadgets = "/sys/kernel/config/usb_gadget";

bool put(const std::string& file, const std::string& value, std::string& error) {
    std::ofstream out(file, std::ios::binary);
    out << value;
    out.flush();
    if (!out) {
        error = "cannot write " + file;
        return false;
    }
    return true;
}

bool makeDir(const std::string& dir, std::string& error) {
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
    error = "mkdir " + dir + ": " + std::strerror(errno);
    return false;
}

std::string firstUdc() {
    DIR* d = ::opendir("/sys/class/udc");
    if (d == nullptr) return {};
    std::string name;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            name = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return name;
}

std::string hex(std::uint16_t v) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%04x", static_cast<unsigned>(v));
    return t;
}

}  // namespace

std::vector<std::uint8_t> legacyGadgetDescriptor() {
    return {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,              // vendor page, usage 1
        0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
        0x95, 0x08, 0x81, 0x02,                                // input: 8 bytes
        0x09, 0x03, 0x95, 0x1D, 0xB1, 0x02,                    // feature: 29 bytes, no ID
        0xC0,
    };
}

HidGadget::~HidGadget() { destroy(); }

bool HidGadget::create(std::uint16_t vid, std::uint16_t pid, const std::vector<std::uint8_t>& descriptor,
                       std::string& error) {
    const std::string udc = firstUdc();
    if (udc.empty()) {
        error = "no USB device controller (dummy_hcd not loaded?)";
        return false;
    }
    root_ = std::string(kGadgets) + "/vantel";
    const std::string function = root_ + "/functions/hid.usb0";
    const std::string config = root_ + "/configs/c.1";
    const std::string report(descriptor.begin(), descriptor.end());
    const bool ok = makeDir(root_, error) && put(root_ + "/idVendor", hex(vid), error) &&
                    put(root_ + "/idProduct", hex(pid), error) && put(root_ + "/bcdUSB", "0x0200", error) &&
                    makeDir(root_ + "/strings/0x409", error) &&
                    put(root_ + "/strings/0x409/manufacturer", "Test", error) &&
                    put(root_ + "/strings/0x409/product", "Legacy keyboard", error) &&
                    makeDir(config, error) && makeDir(function, error) &&
                    put(function + "/protocol", "0", error) && put(function + "/subclass", "0", error) &&
                    put(function + "/report_length", "8", error) &&
                    // SET_REPORT on the control pipe is handed to /dev/hidg0.
                    put(function + "/no_out_endpoint", "1", error) &&
                    put(function + "/report_desc", report, error);
    if (!ok) return false;
    if (::symlink(function.c_str(), (config + "/hid.usb0").c_str()) != 0 && errno != EEXIST) {
        error = std::string("symlink: ") + std::strerror(errno);
        return false;
    }
    if (!put(root_ + "/UDC", udc, error)) return false;
    for (int i = 0; i < 100 && hidg_ < 0; ++i) {
        hidg_ = ::open("/dev/hidg0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (hidg_ < 0) ::usleep(50000);
    }
    if (hidg_ < 0) {
        error = "no /dev/hidg0";
        return false;
    }
    return true;
}

void HidGadget::destroy() {
    if (root_.empty()) return;
    if (hidg_ >= 0) ::close(hidg_);
    hidg_ = -1;
    std::string ignored;
    put(root_ + "/UDC", "\n", ignored);
    ::unlink((root_ + "/configs/c.1/hid.usb0").c_str());
    ::rmdir((root_ + "/configs/c.1").c_str());
    ::rmdir((root_ + "/functions/hid.usb0").c_str());
    ::rmdir((root_ + "/strings/0x409").c_str());
    ::rmdir(root_.c_str());
    root_.clear();
}

std::vector<std::uint8_t> HidGadget::readSetReport(int timeoutMs) {
    if (hidg_ < 0) return {};
    pollfd p{hidg_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    std::uint8_t buffer[256];
    const ssize_t n = ::read(hidg_, buffer, sizeof buffer);
    if (n <= 0) return {};
    return std::vector<std::uint8_t>(buffer, buffer + n);
}

}  // namespace kerneltest
