#pragma once
// The udev rules file, generated from the model table so that a new model
// cannot be left without access.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantel::linuxhid {

inline constexpr const char* kUdevRulesName = "70-vantel.rules";

// Every (vendor, product) pair that gets a rule: the named models, then the
// boot-loader product IDs 0x0000 and 0x0001 of every supported vendor.
std::vector<std::pair<std::uint16_t, std::uint16_t>> udevRuleIds();

// SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0f39", ATTRS{idProduct}=="0641", ...
std::string udevRuleLine(std::uint16_t vid, std::uint16_t pid);

// The whole file, comments included.
std::string udevRulesText();

}  // namespace vantel::linuxhid
