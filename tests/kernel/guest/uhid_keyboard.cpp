#include "uhid_keyboard.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kerneltest {
namespace {

constexpr std::size_t kBlock = 9;  // R + 1 with R = 8: the keyboard answers in 9-byte blocks

bool writeEvent(int fd, const uhid_event& ev) {
    for (;;) {
        const ssize_t n = ::write(fd, &ev, sizeof ev);
        if (n == static_cast<ssize_t>(sizeof ev)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

std::uint8_t xorOf(const std::vector<std::uint8_t>& bytes, std::size_t n) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i) x = static_cast<std::uint8_t>(x ^ bytes[i]);
    return x;
}

std::vector<std::uint8_t> text(const char* s) { return std::vector<std::uint8_t>(s, s + std::strlen(s)); }

}  // namespace

std::vector<std::uint8_t> framedKeyboardDescriptor() {
    return {
        0x05, 0x01,        // Usage Page (Generic Desktop)
        0x09, 0x06,        // Usage (Keyboard)
        0xA1, 0x01,        // Collection (Application)
        0x85, 0x02,        //   Report ID 2
        0x05, 0x07,        //   Usage Page (Keyboard)
        0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
        0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // modifiers: 8 x 1 bit
        0x95, 0x01, 0x75, 0x08, 0x81, 0x01,  // reserved byte
        0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x19, 0x00, 0x29, 0x65,
        0x81, 0x00,                          // six key codes
        0xC0,              // End Collection
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x80,        // Usage (0x80)
        0xA1, 0x01,        // Collection (Application)
        0x85, 0x01,        //   Report ID 1
        0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07,
        0xB1, 0x02,        //   Feature: 7 bytes
        0xC0,              // End Collection
    };
}

std::vector<std::uint8_t> legacyKeyboardDescriptor() {
    return {
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x80,        // Usage (0x80)
        0xA1, 0x01,        // Collection (Application)
        0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07,
        0xB1, 0x02,        //   Feature: 7 bytes, no report ID
        0xC0,
    };
}

UhidKeyboard::UhidKeyboard(KeyboardModel model) : model_(std::move(model)), flash_(model_.flashSize, 0xFF) {}

UhidKeyboard::~UhidKeyboard() { destroy(); }

bool UhidKeyboard::create(std::string& error) {
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error = std::string("open /dev/uhid: ") + std::strerror(errno);
        return false;
    }
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s",
                  model_.name.c_str());
    ev.u.create2.rd_size = static_cast<__u16>(model_.descriptor.size());
    ev.u.create2.bus = 0x03;  // BUS_USB
    ev.u.create2.vendor = model_.vid;
    ev.u.create2.product = model_.pid;
    std::memcpy(ev.u.create2.rd_data, model_.descriptor.data(), model_.descriptor.size());
    if (!writeEvent(fd_, ev)) {
        error = std::string("UHID_CREATE2: ") + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void UhidKeyboard::destroy() {
    if (fd_ < 0) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    writeEvent(fd_, ev);
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
    fd_ = -1;
}

std::vector<std::uint8_t> UhidKeyboard::flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

std::vector<std::uint8_t> UhidKeyboard::lastSetReport() const {
    std::lock_guard lock(mutex_);
    return lastSet_;
}

void UhidKeyboard::run() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready <= 0) continue;
        uhid_event ev{};
        const ssize_t n = ::read(fd_, &ev, sizeof ev);
        if (n <= 0) continue;
        if (ev.type == UHID_GET_REPORT) {
            uhid_event answer{};
            answer.type = UHID_GET_REPORT_REPLY;
            answer.u.get_report_reply.id = ev.u.get_report.id;
            std::vector<std::uint8_t> data = onGetReport(ev.u.get_report.rnum);
            answer.u.get_report_reply.err = 0;
            answer.u.get_report_reply.size = static_cast<__u16>(data.size());
            std::memcpy(answer.u.get_report_reply.data, data.data(), data.size());
            writeEvent(fd_, answer);
        } else if (ev.type == UHID_SET_REPORT) {
            const std::size_t size = std::min<std::size_t>(ev.u.set_report.size, UHID_DATA_MAX);
            onSetReport(ev.u.set_report.rnum, ev.u.set_report.data, size);
            uhid_event answer{};
            answer.type = UHID_SET_REPORT_REPLY;
            answer.u.set_report_reply.id = ev.u.set_report.id;
            answer.u.set_report_reply.err = 0;
            writeEvent(fd_, answer);
        }
    }
}

void UhidKeyboard::onSetReport(std::uint8_t reportNumber, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> frame;
    {
        std::lock_guard lock(mutex_);
        lastSet_.assign(data, data + size);
        if (model_.firmware == Firmware::Legacy) {
            // 00 A0 'V' 'E' 'R': the version comes back in the next read.
            if (reportNumber == 0 && size >= 5 && data[1] == 0xA0 && data[2] == 'V' && data[3] == 'E' &&
                data[4] == 'R') {
                legacyReply_ = {0x00, 0xA0, 'L', '1', '.', '2', 0x00, 0x00};
            }
            ++frames_;
            return;
        }
        // Output reports of ID 1 carry 7 frame bytes each after the ID.
        if (reportNumber != 1 || size < 2 || data[0] != 1) return;
        for (std::size_t i = 1; i < size; ++i) {
            if (request_.empty() && data[i] != 0xEA) break;  // padding or noise before a frame
            request_.push_back(data[i]);
            if (request_.size() >= 2 && request_.size() == static_cast<std::size_t>(request_[1]) + 2) {
                frame.swap(request_);
                request_.clear();
                break;  // the rest of the report is padding
            }
        }
    }
    if (!frame.empty()) execute(frame);
}

std::vector<std::uint8_t> UhidKeyboard::onGetReport(std::uint8_t reportNumber) {
    std::lock_guard lock(mutex_);
    if (model_.firmware == Firmware::Legacy) {
        std::vector<std::uint8_t> r = legacyReply_.empty() ? std::vector<std::uint8_t>(8, 0) : legacyReply_;
        legacyReply_.clear();
        return r;
    }
    // The reply frame streams out in 9-byte blocks; nothing pending reads as zeros.
    std::vector<std::uint8_t> block(kBlock, 0);
    if (reportNumber != 1) return block;
    for (std::size_t i = 0; i < kBlock && !replyBytes_.empty(); ++i) {
        block[i] = replyBytes_.front();
        replyBytes_.pop_front();
    }
    return block;
}

void UhidKeyboard::reply(std::uint8_t code, std::uint8_t status, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> r = {0xED, static_cast<std::uint8_t>(data.size() + 3), code, status};
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(xorOf(r, r.size()));
    std::lock_guard lock(mutex_);
    replyBytes_.assign(r.begin(), r.end());
}

void UhidKeyboard::execute(const std::vector<std::uint8_t>& frame) {
    ++frames_;
    const std::size_t n = frame.size();
    const std::uint8_t code = frame[2];
    if (xorOf(frame, n - 1) != frame[n - 1]) {
        reply(code, 0xF0, {});
        return;
    }
    const bool isp = model_.firmware == Firmware::Isp;
    switch (code) {
    case 0xB0:  // CMD_GET_VERSION
        reply(code, 0, text("S5301V10"));
        break;
    case 0xA6:  // CMD_GET_ISP_VERSION: long enough for several continuation blocks
        reply(code, isp ? 0 : 1, text("ISP-V2.01/S5301/GF-0641"));
        break;
    case 0xA0: {  // CMD_ENTER_ISP: flash size in KiB, then a 16-bit value
        const auto kib = static_cast<std::uint8_t>(model_.flashSize / 1024);
        reply(code, 0, {kib, 0x34, 0x12});
        break;
    }
    case 0xA4:  // CMD_CHIP_ERASE
        if (isp) {
            std::lock_guard lock(mutex_);
            std::fill(flash_.begin(), flash_.end(), 0x00);
        }
        reply(code, isp ? 0 : 1, {});
        break;
    case 0xA2:  // CMD_GOTO_PAGE
        if (n >= 5) page_ = frame[3];
        reply(code, isp ? 0 : 0xF1, {});
        break;
    case 0xA1: {  // CMD_WRITE_BLOCK hi lo data...
        if (!isp || n < 7) {
            reply(code, 1, {});
            break;
        }
        const std::size_t offset = page_ * 0x10000u + (static_cast<std::size_t>(frame[3]) << 8) + frame[4];
        const std::size_t count = n - 6;
        std::uint8_t status = 0;
        {
            std::lock_guard lock(mutex_);
            if (offset + count > flash_.size()) status = 2;
            else std::copy(frame.begin() + 5, frame.begin() + 5 + static_cast<std::ptrdiff_t>(count),
                           flash_.begin() + static_cast<std::ptrdiff_t>(offset));
        }
        reply(code, status, {});
        break;
    }
    case 0xAF:  // CMD_RESET
        reply(code, 0, {});
        break;
    default:
        reply(code, 0, {});
        break;
    }
}

}  // namespace kerneltest
