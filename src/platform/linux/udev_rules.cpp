#include "platform/linux/udev_rules.h"

#include <cstdio>

#include "link/discovery.h"

namespace vantel::linuxhid {

std::vector<std::pair<std::uint16_t, std::uint16_t>> udevRuleIds() {
    // The model table is reached through the names it gives: a pair is a
    // model when its name is neither the boot loader's nor the fallback.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> models, bootLoaders;
    for (std::uint32_t vid = 0; vid <= 0xFFFF; ++vid) {
        if (!isSupportedVendor(vid)) continue;
        for (std::uint32_t pid = 0; pid <= 0xFFFF; ++pid) {
            const std::string name = modelName(vid, pid);
            if (!name.empty() && name != kIspModeName && name.rfind("VID: ", 0) != 0)
                models.emplace_back(static_cast<std::uint16_t>(vid), static_cast<std::uint16_t>(pid));
        }
        for (int pid : {0x0000, 0x0001})
            bootLoaders.emplace_back(static_cast<std::uint16_t>(vid), static_cast<std::uint16_t>(pid));
    }
    models.insert(models.end(), bootLoaders.begin(), bootLoaders.end());
    return models;
}

std::string udevRuleLine(std::uint16_t vid, std::uint16_t pid) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                  "MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"",
                  static_cast<unsigned>(vid), static_cast<unsigned>(pid));
    return line;
}

std::string udevRulesText() {
    std::string text =
        "# Access for the user at the seat and the plugdev group to the hidraw nodes of\n"
        "# the USB keyboards that Vantel programs, in their application and boot-loader\n"
        "# modes. Generated from the model table; do not edit.\n"
        "# Install into /etc/udev/rules.d or /usr/lib/udev/rules.d, then apply with\n"
        "#   udevadm control --reload && udevadm trigger --subsystem-match=hidraw\n";
    for (const auto& [vid, pid] : udevRuleIds()) text += udevRuleLine(vid, pid) + "\n";
    return text;
}

}  // namespace vantel::linuxhid
