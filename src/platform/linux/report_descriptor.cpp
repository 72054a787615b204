#include "platform/linux/report_descriptor.h"

#include <map>

namespace vantel::linuxhid {
namespace {

// Item types and tags of the short item prefix byte (tag:4 type:2 size:2).
enum : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

enum : std::uint8_t {
    kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC,
};
enum : std::uint8_t {
    kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB,
};
enum : std::uint8_t { kUsage = 0x0, kUsageMinimum = 0x1 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint64_t kMaxReportBits = (kMaxReportByteLength - 1) * 8ull;

struct GlobalState {
    std::uint16_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

// Bits per report ID of one report type within one top-level collection.
using ReportBits = std::map<std::uint8_t, std::uint64_t>;

struct CollectionBuilder {
    Collection caps;
    ReportBits input, output, feature;
};

std::uint16_t byteLength(const ReportBits& reports) {
    std::uint64_t longest = 0;
    for (const auto& [id, bits] : reports) {
        (void)id;
        if (bits > longest) longest = bits;
    }
    if (reports.empty()) return 0;
    // One byte for the report ID, counted also when the descriptor uses none.
    return static_cast<std::uint16_t>(1 + (longest + 7) / 8);
}

bool fail(std::vector<Collection>& out, std::string& error, std::string reason, std::size_t offset) {
    out.clear();
    error = std::move(reason) + " at offset " + std::to_string(offset);
    return false;
}

}  // namespace

bool parseReportDescriptor(const std::uint8_t* data, std::size_t size,
                           std::vector<Collection>& out, std::string& error) {
    out.clear();
    error.clear();
    if (data == nullptr && size != 0) return fail(out, error, "no descriptor", 0);

    std::vector<CollectionBuilder> collections;
    std::vector<GlobalState> stack;
    GlobalState global;
    // Local state: the first Usage or Usage Minimum since the last main item.
    bool haveUsage = false;
    bool usageHasPage = false;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    int depth = 0;

    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t itemOffset = pos;
        const std::uint8_t prefix = data[pos];
        if (prefix == kLongItemPrefix) {
            // Long items carry no meaning for the report layout: skip them whole.
            if (size - pos < 3) return fail(out, error, "truncated long item", itemOffset);
            const std::size_t dataSize = data[pos + 1];
            if (size - pos - 3 < dataSize) return fail(out, error, "truncated long item", itemOffset);
            pos += 3 + dataSize;
            continue;
        }

        const std::size_t sizeCode = prefix & 0x3u;
        const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        if (size - pos - 1 < dataSize) return fail(out, error, "truncated item", itemOffset);
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i)
            value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8 * i);
        pos += 1 + dataSize;

        const std::uint8_t type = static_cast<std::uint8_t>((prefix >> 2) & 0x3u);
        const std::uint8_t tag = static_cast<std::uint8_t>(prefix >> 4);

        if (type == kMain) {
            switch (tag) {
            case kCollection:
                if (depth == 0) {
                    CollectionBuilder b;
                    if (haveUsage) {
                        b.caps.usagePage = usageHasPage ? usagePage : global.usagePage;
                        b.caps.usage = usage;
                    } else {
                        b.caps.usagePage = global.usagePage;
                    }
                    collections.push_back(std::move(b));
                }
                ++depth;
                break;
            case kEndCollection:
                if (depth == 0) return fail(out, error, "End Collection without Collection", itemOffset);
                --depth;
                break;
            case kInput:
            case kOutput:
            case kFeature: {
                // Main items outside every collection belong to no interface.
                if (depth == 0) break;
                CollectionBuilder& c = collections.back();
                ReportBits& reports = tag == kInput ? c.input : tag == kOutput ? c.output : c.feature;
                const std::uint64_t bits =
                    static_cast<std::uint64_t>(global.reportSize) * global.reportCount;
                std::uint64_t& total = reports[global.reportId];
                if (bits > kMaxReportBits || total + bits > kMaxReportBits)
                    return fail(out, error, "report too long", itemOffset);
                total += bits;
                break;
            }
            default:
                break;
            }
            haveUsage = false;
            usageHasPage = false;
        } else if (type == kGlobal) {
            switch (tag) {
            case kUsagePage:
                global.usagePage = static_cast<std::uint16_t>(value);
                break;
            case kReportSize:
                global.reportSize = value;
                break;
            case kReportCount:
                global.reportCount = value;
                break;
            case kReportId:
                if (value == 0 || value > 255) return fail(out, error, "invalid Report ID", itemOffset);
                global.reportId = static_cast<std::uint8_t>(value);
                break;
            case kPush:
                stack.push_back(global);
                break;
            case kPop:
                if (stack.empty()) return fail(out, error, "Pop without Push", itemOffset);
                global = stack.back();
                stack.pop_back();
                break;
            default:
                break;
            }
        } else if (type == kLocal) {
            if ((tag == kUsage || tag == kUsageMinimum) && !haveUsage) {
                haveUsage = true;
                // A four-byte usage names its own page in the high half.
                usageHasPage = sizeCode == 3;
                usagePage = static_cast<std::uint16_t>(value >> 16);
                usage = static_cast<std::uint16_t>(value);
            }
        }
        // Type 3 is reserved: its data has been skipped.
    }

    if (depth != 0) return fail(out, error, "Collection without End Collection", size);

    out.reserve(collections.size());
    for (CollectionBuilder& b : collections) {
        b.caps.inputReportByteLength = byteLength(b.input);
        b.caps.outputReportByteLength = byteLength(b.output);
        b.caps.featureReportByteLength = byteLength(b.feature);
        for (const auto& [id, bits] : b.feature) {
            (void)bits;
            b.caps.featureReportIds.push_back(id);
        }
        out.push_back(std::move(b.caps));
    }
    return true;
}

}  // namespace vantel::linuxhid
