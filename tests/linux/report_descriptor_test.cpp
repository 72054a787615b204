#include "platform/linux/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vantel::linuxhid {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Collection> parse(const Bytes& d) {
    std::vector<Collection> out;
    std::string error;
    EXPECT_TRUE(parseReportDescriptor(d.data(), d.size(), out, error)) << error;
    return out;
}

std::string refusal(const Bytes& d) {
    std::vector<Collection> out{Collection{}};
    std::string error;
    EXPECT_FALSE(parseReportDescriptor(d.data(), d.size(), out, error));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(error.empty());
    return error;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A boot keyboard (input report ID 2, LED output) and the vendor collection
// of usage 0x0080 whose 8-byte feature report (ID 1) carries the protocol.
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop / Keyboard, Application
    0x85, 0x02,                                      //   Report ID 2
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,              //   Input: 8 modifier bits
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              //   Input: reserved byte
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05,
    0x91, 0x02,                                      //   Output: 5 LED bits
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              //   Output: 3 padding bits
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
    0x81, 0x00,                                      //   Input: 6 key codes
    0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01,        // Vendor 0xFF00 / 0x80, Application
    0x85, 0x01,                                      //   Report ID 1
    0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07,
    0xB1, 0x02,                                      //   Feature: 7 bytes
    0xC0,
};

// The legacy scheme: one vendor collection, no report IDs at all.
const Bytes kLegacy = {
    0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01,
    0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07, 0xB1, 0x02,
    0xC0,
};

TEST(ReportDescriptorCaps, KeyboardWithVendorCollectionGivesTheProtocolInterface) {
    const auto c = parse(kKeyboard);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].usagePage, 0x0001);
    EXPECT_EQ(c[0].usage, 0x0006);
    EXPECT_EQ(c[0].inputReportByteLength, 9);   // ID + 8 bytes
    EXPECT_EQ(c[0].outputReportByteLength, 2);  // ID + 5 + 3 bits
    EXPECT_EQ(c[0].featureReportByteLength, 0);
    EXPECT_TRUE(c[0].featureReportIds.empty());
    EXPECT_EQ(c[1].usagePage, 0xFF00);
    EXPECT_EQ(c[1].usage, 0x0080);
    EXPECT_EQ(c[1].inputReportByteLength, 0);
    EXPECT_EQ(c[1].outputReportByteLength, 0);
    EXPECT_EQ(c[1].featureReportByteLength, 8);
    EXPECT_EQ(c[1].featureReportIds, (std::vector<std::uint8_t>{1}));
}

TEST(ReportDescriptorCaps, ReportIdByteIsCountedWithoutReportIds) {
    const auto c = parse(kLegacy);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].featureReportByteLength, 8);
    EXPECT_EQ(c[0].featureReportIds, (std::vector<std::uint8_t>{0}));

    // The same layout with a report ID has the same lengths.
    Bytes withId = kLegacy;
    withId.insert(withId.begin() + 7, {0x85, 0x05});
    const auto d = parse(withId);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].featureReportByteLength, 8);
    EXPECT_EQ(d[0].featureReportIds, (std::vector<std::uint8_t>{5}));
}

TEST(ReportDescriptorCaps, LengthsRoundBitsUpAndTakeTheLongestReportOfTheCollection) {
    const Bytes d = {
        0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x03, 0x95, 0x03, 0x81, 0x02,  // ID 1 input: 9 bits -> 1 + 2
        0x85, 0x02, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  // ID 2 input: 32 bits -> 1 + 4
        0x85, 0x03, 0x75, 0x08, 0x95, 0x1F, 0xB1, 0x02,  // ID 3 feature: 31 bytes
        0x85, 0x04, 0x75, 0x01, 0x95, 0x01, 0xB1, 0x02,  // ID 4 feature: 1 bit
        0x85, 0x01, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02,  // ID 1 again: 9 + 16 bits -> 1 + 4
        0xC0,
        0x09, 0x05, 0xA1, 0x01,                          // a second collection, own reports
        0x85, 0x05, 0x75, 0x08, 0x95, 0x03, 0xB1, 0x02,
        0xC0,
    };
    const auto c = parse(d);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].inputReportByteLength, 5);
    EXPECT_EQ(c[0].featureReportByteLength, 32);
    EXPECT_EQ(c[0].featureReportIds, (std::vector<std::uint8_t>{3, 4}));
    EXPECT_EQ(c[1].usage, 0x0005);
    EXPECT_EQ(c[1].featureReportByteLength, 4);
    EXPECT_EQ(c[1].featureReportIds, (std::vector<std::uint8_t>{5}));
    EXPECT_EQ(c[1].inputReportByteLength, 0);
}

TEST(ReportDescriptorCaps, TopLevelUsageRules) {
    // A four-byte usage names its page; the global page does not apply.
    auto c = parse({0x05, 0x01, 0x0B, 0x80, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0xC0});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usagePage, 0xFF00);
    EXPECT_EQ(c[0].usage, 0x0080);

    // Usage Minimum stands in for Usage; the first of several usages wins.
    c = parse({0x06, 0x01, 0xFF, 0x19, 0x80, 0x29, 0x90, 0xA1, 0x01, 0xC0,
               0x09, 0x81, 0x09, 0x82, 0xA1, 0x01, 0xC0});
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].usagePage, 0xFF01);
    EXPECT_EQ(c[0].usage, 0x0080);
    EXPECT_EQ(c[1].usage, 0x0081);

    // Every main item clears the usages: none is left for the collection.
    c = parse({0x05, 0x0C, 0x09, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xA1, 0x01, 0xC0});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usagePage, 0x000C);
    EXPECT_EQ(c[0].usage, 0);

    // Nested collections belong to their top-level collection.
    c = parse({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,
               0x75, 0x08, 0x95, 0x03, 0x81, 0x02, 0xC0, 0xC0});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usage, 0x0002);
    EXPECT_EQ(c[0].inputReportByteLength, 4);
}

TEST(ReportDescriptorCaps, PushPopLongItemsAndFourByteData) {
    const Bytes d = {
        0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x08, 0x95, 0x07,
        0xA4,                                   // Push
        0x85, 0x02, 0x97, 0x10, 0x00, 0x00, 0x00, // Report ID 2, Report Count 16 (4-byte data)
        0xB1, 0x02,                             // ID 2 feature: 16 bytes
        0xB4,                                   // Pop: ID 1, count 7
        0xFE, 0x03, 0x42, 0xB1, 0xB1, 0xB1,     // a long item whose data looks like items
        0xB1, 0x02,                             // ID 1 feature: 7 bytes
        0xC0,
    };
    const auto c = parse(d);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].featureReportByteLength, 17);
    EXPECT_EQ(c[0].featureReportIds, (std::vector<std::uint8_t>{1, 2}));
}

TEST(ReportDescriptorCaps, EmptyDescriptorAndItemsOutsideCollections) {
    EXPECT_TRUE(parse({}).empty());
    const auto c = parse({0x75, 0x08, 0x95, 0x02, 0xB1, 0x02, 0x09, 0x80, 0xA1, 0x01, 0xC0});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].featureReportByteLength, 0);
}

TEST(ReportDescriptorRefusals, MalformedDescriptorsAreRefused) {
    const Bytes open = {0x09, 0x80, 0xA1, 0x01};
    refusal({0x75});                                      // data byte missing
    refusal({0x97, 0x01, 0x00, 0x00});                    // 4-byte data cut short
    refusal({0xFE});                                      // long item header cut short
    refusal({0xFE, 0x04, 0x10, 0x00, 0x00});              // long item data cut short
    refusal({0xC0});                                      // End Collection without Collection
    refusal(open);                                        // Collection never ended
    refusal(concat({open, {0xC0, 0xC0}}));                // one End Collection too many
    refusal({0xB4});                                      // Pop on an empty stack
    refusal({0xA4, 0xB4, 0xB4});
    refusal({0x85, 0x00});                                // Report ID 0
    refusal({0x84});                                      // Report ID without data is 0
    refusal({0x86, 0x00, 0x01});                          // Report ID 256
    refusal(concat({open, {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0xC0}}));
    // Two items that fit alone but not together.
    refusal(concat({open, {0x75, 0x08, 0x96, 0x00, 0xF0, 0xB1, 0x02, 0xB1, 0x02, 0xC0}}));
    EXPECT_NE(refusal({0x09, 0x80, 0xA1, 0x01, 0x75}).find("offset 4"), std::string::npos);
}

TEST(ReportDescriptorRefusals, NeverReadsPastTheBuffer) {
    // Every prefix of a valid descriptor, each copied into a buffer of its own
    // size so that the sanitizers see any read beyond it.
    for (const Bytes* d : {&kKeyboard, &kLegacy}) {
        for (std::size_t n = 0; n <= d->size(); ++n) {
            std::vector<std::uint8_t> prefix(d->begin(), d->begin() + static_cast<std::ptrdiff_t>(n));
            std::vector<Collection> out;
            std::string error;
            const bool ok = parseReportDescriptor(prefix.data(), prefix.size(), out, error);
            if (!ok) {
                EXPECT_TRUE(out.empty()) << "prefix " << n;
            }
            // Cut inside the last collection: it is never ended.
            if (n + 1 == d->size()) {
                EXPECT_FALSE(ok);
            }
            if (n == d->size()) {
                EXPECT_TRUE(ok);
            }
        }
    }
    // Fixed pseudo-random descriptors: each either parses or is refused.
    std::uint32_t x = 1;
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(round % 64));
        for (auto& b : bytes) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(x >> 24);
        }
        std::vector<Collection> out;
        std::string error;
        if (!parseReportDescriptor(bytes.data(), bytes.size(), out, error)) {
            EXPECT_TRUE(out.empty());
        }
    }
    std::vector<Collection> out;
    std::string error;
    EXPECT_FALSE(parseReportDescriptor(nullptr, 3, out, error));
    EXPECT_TRUE(parseReportDescriptor(nullptr, 0, out, error));
}

}  // namespace
}  // namespace vantel::linuxhid
