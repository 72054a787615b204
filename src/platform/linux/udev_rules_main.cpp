// Prints the udev rules that give the logged-in user and the plugdev group
// access to the keyboards of every supported vendor, in the application and
// the boot-loader product IDs alike (the rules match on the vendor only).
#include <cstdint>
#include <cstdio>

#include "link/discovery.h"

int main() {
    std::printf("# Access for the logged-in user and the plugdev group to the USB keyboards\n"
                "# that Vantel programs, in their application and boot-loader modes alike.\n"
                "# Generated from the supported vendor table; do not edit.\n"
                "# Install into /lib/udev/rules.d, then apply with\n"
                "#   udevadm control --reload && udevadm trigger --subsystem-match=hidraw\n");
    for (std::uint32_t vid = 0; vid <= 0xFFFF; ++vid) {
        if (!vantel::isSupportedVendor(vid)) continue;
        for (const char* subsystem : {"hidraw", "usb"})
            std::printf("SUBSYSTEM==\"%s\", ATTRS{idVendor}==\"%04x\", MODE=\"0660\", "
                        "GROUP=\"plugdev\", TAG+=\"uaccess\"\n",
                        subsystem, static_cast<unsigned>(vid));
    }
    return 0;
}
