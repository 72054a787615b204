#pragma once
// A USB HID gadget on the dummy host controller: the kernel sees a real USB
// device (interface 0, usbhid), so the sysfs topology is that of a keyboard
// on a USB port. The gadget answers GET_REPORT with zeros; what the host
// sends with SET_REPORT can be read back.

#include <cstdint>
#include <string>
#include <vector>

namespace kerneltest {

class HidGadget {
public:
    ~HidGadget();
    bool create(std::uint16_t vid, std::uint16_t pid, const std::vector<std::uint8_t>& descriptor,
                std::string& error);
    void destroy();
    // The next SET_REPORT payload, within `timeoutMs`; empty when none came.
    std::vector<std::uint8_t> readSetReport(int timeoutMs);

private:
    std::string root_;
    int hidg_ = -1;
};

// Interface 0 of a legacy keyboard: its usage is not the protocol's, its
// feature report (no report IDs) is 30 bytes long.
std::vector<std::uint8_t> legacyGadgetDescriptor();

}  // namespace kerneltest
