// The HID report-descriptor parser on arbitrary bytes, as a hostile or broken
// device may present them through hidraw.
//
// Checked: a refusal empties the output and says why; an accepted
// descriptor's feature report IDs are ascending and unique, and a collection
// with feature reports has a length that covers at least the report-ID byte.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#if __has_include("platform/linux/report_descriptor.h")
#include "platform/linux/report_descriptor.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<vantel::linuxhid::Collection> collections(1);  // must be emptied on a refusal
    std::string error;
    const bool ok = vantel::linuxhid::parseReportDescriptor(data, size, collections, error);
    if (!ok) {
        check(collections.empty());
        check(!error.empty());
        return 0;
    }
    for (const auto& c : collections) {
        for (std::size_t i = 1; i < c.featureReportIds.size(); ++i) {
            check(c.featureReportIds[i - 1] < c.featureReportIds[i]);
        }
        if (!c.featureReportIds.empty()) check(c.featureReportByteLength >= 1);
    }
    return 0;
}
#else
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
#endif
