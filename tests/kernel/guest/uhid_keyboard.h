#pragma once
// A keyboard played through /dev/uhid: the kernel sees a HID device whose
// feature reports are answered here, as the keyboard's firmware would.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kerneltest {

enum class Firmware {
    Application,  // framed scheme, application firmware
    Isp,          // framed scheme, boot loader with a flash to program
    Legacy,       // unframed reports with report ID 0
};

struct KeyboardModel {
    std::string name;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    Firmware firmware = Firmware::Application;
    std::vector<std::uint8_t> descriptor;
    std::size_t flashSize = 4096;
};

class UhidKeyboard {
public:
    explicit UhidKeyboard(KeyboardModel model);
    ~UhidKeyboard();
    UhidKeyboard(const UhidKeyboard&) = delete;
    UhidKeyboard& operator=(const UhidKeyboard&) = delete;

    // Creates the device; false with a reason.
    bool create(std::string& error);
    // Unplugs it (the kernel removes the HID device and its hidraw node).
    void destroy();

    std::vector<std::uint8_t> flash() const;
    std::vector<std::uint8_t> lastSetReport() const;
    unsigned framesHandled() const { return frames_.load(); }

private:
    void run();
    void onSetReport(std::uint8_t reportNumber, const std::uint8_t* data, std::size_t size);
    std::vector<std::uint8_t> onGetReport(std::uint8_t reportNumber);
    void execute(const std::vector<std::uint8_t>& frame);
    void reply(std::uint8_t code, std::uint8_t status, const std::vector<std::uint8_t>& data);

    KeyboardModel model_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    std::vector<std::uint8_t> request_;
    std::deque<std::uint8_t> replyBytes_;
    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> lastSet_;
    std::vector<std::uint8_t> legacyReply_;
    unsigned page_ = 0;
    std::atomic<unsigned> frames_{0};
};

// Descriptors of the keyboards: a boot keyboard collection (report ID 2) and
// a vendor collection of usage 0x0080 with an 8-byte feature report of ID 1;
// and the legacy one, a vendor collection without report IDs.
std::vector<std::uint8_t> framedKeyboardDescriptor();
std::vector<std::uint8_t> legacyKeyboardDescriptor();

}  // namespace kerneltest
