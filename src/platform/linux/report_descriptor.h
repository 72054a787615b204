#pragma once
// HID report descriptor parsing: what the HID stack reports per top-level
// collection (usage page, usage and the report byte lengths, computed the way
// the Windows HID parser does), so that hidraw devices look to discovery as
// they do on Windows. Pure C++: no OS header, safe to feed arbitrary bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantel::linuxhid {

struct Collection {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // Report-ID byte included, also when the descriptor uses no report IDs;
    // the largest report of that type in the collection; 0 without such items.
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
    // The report IDs of the collection's feature reports, ascending
    // (the single ID 0 when the descriptor uses no report IDs).
    std::vector<std::uint8_t> featureReportIds;
};

// The largest report byte length accepted (the length fields are 16-bit).
inline constexpr std::uint32_t kMaxReportByteLength = 0xFFFF;

// Parses `size` bytes into one entry per top-level collection, in descriptor
// order. False with a reason in `error` (and `out` emptied) for a malformed
// descriptor: a truncated item, unbalanced collections, Pop without Push,
// Report ID 0 or above 255, or a report longer than kMaxReportByteLength.
// Never reads outside [data, data + size).
bool parseReportDescriptor(const std::uint8_t* data, std::size_t size,
                           std::vector<Collection>& out, std::string& error);

}  // namespace vantel::linuxhid
