#include <chrono>

#include "link_fixture.h"

namespace vantel::test {
namespace {

using Commands = LinkTest;

Bytes firstReportFrame(const Bytes& report) { return Bytes(report.begin() + 1, report.end()); }

TEST_F(Commands, RequestBytesOfEveryFixedCommand) {
    open();
    struct Case {
        std::uint32_t (*send)();
        Bytes frame;
    } cases[] = {
        {CMD_CHIP_ERASE, {0xEA, 0x02, 0xA4, 0x4C}},
        {CMD_RESET, {0xEA, 0x02, 0xAF, 0x47}},
        {CMD_TEST_MODE, {0xEA, 0x03, 0xF0, 0x01, 0x18}},
        {CMD_FACTORY_DEFAULTS, {0xEA, 0x05, 0xF1, 0x00, 0x00, 0x00, 0x1E}},
    };
    for (const Case& c : cases) {
        hid.sent.clear();
        hid.queue(replyBlocks(c.frame[2], 0, {}));
        EXPECT_EQ(c.send(), 0u);
        Bytes got = firstReportFrame(hid.sentReports().at(0));
        got.resize(c.frame.size());
        EXPECT_EQ(got, c.frame);
    }
}

TEST_F(Commands, ParameterisedRequests) {
    open();
    auto check = [&](std::uint8_t code, auto send, const Bytes& frame) {
        hid.sent.clear();
        hid.queue(replyBlocks(code, 0, {}));
        send();
        Bytes got;
        for (const Bytes& r : hid.sentReports()) got.insert(got.end(), r.begin() + 1, r.end());
        got.resize(frame.size());
        EXPECT_EQ(got, frame);
    };
    check(0xA9, [] { return CMD_SET_MODE_FLAG(true); }, {0xEA, 0x03, 0xA9, 0x01, 0x41});
    check(0xA9, [] { return CMD_SET_MODE_FLAG(false); }, {0xEA, 0x03, 0xA9, 0x00, 0x40});
    check(0xA2, [] { return CMD_GOTO_PAGE(0); }, {0xEA, 0x03, 0xA2, 0x00, 0x4B});
    check(0xA2, [] { return CMD_GOTO_PAGE(1); }, {0xEA, 0x03, 0xA2, 0x01, 0x4A});
    check(0xB4, [] { return CMD_CHECK_PROFILE("GF"); }, {0xEA, 0x04, 0xB4, 0x47, 0x46, 0x5B});
    check(0xB4, [] { return CMD_CHECK_PROFILE("GL"); }, {0xEA, 0x04, 0xB4, 0x47, 0x4C, 0x51});
    check(0xB4, [] { return CMD_CHECK_PROFILE("CL"); }, {0xEA, 0x04, 0xB4, 0x43, 0x4C, 0x55});
    std::uint8_t kib;
    std::uint16_t value;
    check(0xA0, [&] { return CMD_ENTER_ISP(kib, value); }, {0xEA, 0x02, 0xA0, 0x48});
    check(0xAA, [&] { return CMD_ENTER_ISP_BOOT(kib, value); }, {0xEA, 0x02, 0xAA, 0x42});
    std::string version;
    check(0xB0, [&] { return CMD_GET_VERSION(false, version); }, {0xEA, 0x02, 0xB0, 0x58});
    check(0xA6, [&] { return CMD_GET_VERSION(true, version); }, {0xEA, 0x02, 0xA6, 0x4E});
    const std::uint8_t record[10] = {0x8B, 0x3B, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes expected{0xEA, 0x0C, 0xA5, 0x8B, 0x3B, 1, 2, 3, 4, 5, 6, 7, 8};
    expected.push_back(xorChecksum(expected.data(), expected.size()));
    check(0xA5, [&] { return CMD_ISP_CHECK_PROFILE(record); }, expected);
}

TEST_F(Commands, WriteBlockOfSixtyFourBytesIsTenReports) {
    open();
    Bytes data(64);
    for (std::size_t i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    hid.queue(replyBlocks(0xA1, 0, {}));
    EXPECT_EQ(CMD_WRITE_BLOCK(0x12, 0x40, data.data(), data.size()), 0u);
    auto sent = hid.sentReports();
    ASSERT_EQ(sent.size(), 10u);
    Bytes frame;
    for (const Bytes& r : sent) frame.insert(frame.end(), r.begin() + 1, r.end());
    frame.resize(70);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0xEA, 0x44, 0xA1, 0x12, 0x40}));
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 69), data);
    EXPECT_EQ(frame[69], xorChecksum(frame.data(), 69));
}

TEST_F(Commands, WriteBlockWaitsForTheReplyEvenWhenTheSendFailed) {
    open();
    hid.failSetCall = 0;
    hid.queue(replyBlocks(0xA1, 0xF2, {}));
    const std::uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(CMD_WRITE_BLOCK(0, 0, data, 3), 0xF2u);
    hid.queue(replyBlocks(0xA1, 0x00, {}, 8, true));
    EXPECT_EQ(CMD_WRITE_BLOCK(0, 0, data, 3), LINK_BAD_CHECKSUM);
}

TEST_F(Commands, CheckProfileInsistsOnItsOwnReplyCode) {
    open();
    hid.queue({Bytes{0xED, 0x03, 0xB4, 0x00, 0x5A, 0, 0, 0, 0}});
    EXPECT_EQ(CMD_CHECK_PROFILE("GF"), 0u);
    hid.queue(replyBlocks(0xA0, 0x00, {}));
    EXPECT_EQ(CMD_CHECK_PROFILE("GF"), LINK_BUSY);
    hid.queue(replyBlocks(0xB4, 0x07, {}));
    EXPECT_EQ(CMD_CHECK_PROFILE("GF"), 7u);
}

TEST_F(Commands, VersionTextIsDeliveredWithANonZeroStatus) {
    open();
    hid.queue(replyBlocks(0xB0, 5, {'S', '5', '3', '0', '1', 'V', '1', '0'}));
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), 5u);
    EXPECT_EQ(version, "S5301V10");
}

TEST_F(Commands, BootEntryResendsARefusedRequest) {
    open();
    timing().bootSendPauseMs = 20;
    hid.failSetCall = 0;
    hid.failSetCount = 3;
    hid.queue(replyBlocks(0xAA, 0, {0x04, 0x00, 0x00}));
    std::uint8_t kib = 0;
    std::uint16_t value = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CMD_ENTER_ISP_BOOT(kib, value), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(kib, 4);
    EXPECT_EQ(hid.setCalls, 4);

    hid.failSetCall = hid.setCalls;
    hid.failSetCount = 1000;
    timing().bootSendPauseMs = 1;
    EXPECT_EQ(CMD_ENTER_ISP_BOOT(kib, value), LINK_SEND_FAILED);
    EXPECT_EQ(hid.setCalls, 4 + 11);
    // The plain ISP entry does not resend.
    EXPECT_EQ(CMD_ENTER_ISP(kib, value), LINK_SEND_FAILED);
    EXPECT_EQ(hid.setCalls, 4 + 11 + 1);
}

TEST_F(Commands, OutputsAreNotWrittenWithoutAReply) {
    open();
    hid.failGets = 11;
    std::uint8_t kib = 0x77;
    std::uint16_t value = 0x7777;
    EXPECT_EQ(CMD_ENTER_ISP(kib, value), LINK_READ_FAILED);
    EXPECT_EQ(kib, 0x77);
    EXPECT_EQ(value, 0x7777);
}

class LegacyCommands : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        open(9, 1);
    }
};

TEST_F(LegacyCommands, ReportsCarryTheCommandInBytesOneToFour) {
    EXPECT_EQ(LEGACY_ENTER_ISP(), 0u);
    EXPECT_EQ(LEGACY_TEST_MODE(), 0u);
    EXPECT_EQ(LEGACY_RESET(), 0u);
    EXPECT_EQ(LEGACY_FACTORY_DEFAULTS(), 0u);
    auto sent = hid.sentReports();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], (Bytes{0x00, 0xA0, 'I', 'S', 'P', 0, 0, 0, 0}));
    EXPECT_EQ(sent[1], (Bytes{0x00, 0xA0, 'T', 'S', 'T', 0, 0, 0, 0}));
    EXPECT_EQ(sent[2], (Bytes{0x00, 0xA0, 'R', 'S', 'T', 0, 0, 0, 0}));
    EXPECT_EQ(sent[3], (Bytes{0x00, 0xFF, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(LegacyCommands, RefusedReportIsNotReported) {
    hid.failSetCall = 0;
    hid.failSetCount = 100;
    EXPECT_EQ(LEGACY_RESET(), 0u);
}

TEST_F(LegacyCommands, VersionReadBack) {
    hid.queue({Bytes{0x00, 0xA0, 'V', '1', '.', '2', 0, 0, 0}});
    std::string version = "before";
    EXPECT_EQ(LEGACY_GET_VERSION(version), 0u);
    EXPECT_EQ(version, "V1.2");
    EXPECT_EQ(hid.sentReports().back(), (Bytes{0x00, 0xA0, 'V', 'E', 'R', 0, 0, 0, 0}));

    hid.queue({Bytes{0x00, 0x55, 'V', '1', 0, 0, 0, 0, 0}});
    version = "before";
    EXPECT_EQ(LEGACY_GET_VERSION(version), 1u);
    EXPECT_EQ(version, "before");
}

TEST_F(LegacyCommands, UnterminatedTextIsCutAtTheBuffer) {
    closeLink();
    open(30, 1);
    Bytes report(30, 'X');
    report[0] = 0;
    report[1] = 0xA0;
    hid.queue({report});
    std::string version;
    EXPECT_EQ(LEGACY_GET_VERSION(version), 0u);
    EXPECT_EQ(version, std::string(28, 'X'));
}

TEST_F(LegacyCommands, ReportsLongerThanTheBufferAreRefused) {
    closeLink();
    open(31, 1);
    std::string version;
    EXPECT_NE(LEGACY_RESET(), 0u);
    EXPECT_NE(LEGACY_GET_VERSION(version), 0u);
    EXPECT_TRUE(hid.sentReports().empty());
}

TEST_F(LegacyCommands, ClosedLink) {
    closeLink();
    std::string version;
    EXPECT_EQ(LEGACY_TEST_MODE(), LINK_NOT_OPEN);
    EXPECT_EQ(LEGACY_GET_VERSION(version), LINK_NOT_OPEN);
}

}  // namespace
}  // namespace vantel::test
