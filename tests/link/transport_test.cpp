#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "link_fixture.h"

namespace vantel::test {
namespace {

using Transport = LinkTest;

TEST_F(Transport, SplitsFramesIntoReportsOfSevenFrameBytes) {
    open();
    EXPECT_TRUE(sendFrame(nullptr, 0));
    EXPECT_TRUE(hid.sentReports().empty());

    Bytes frame(15);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(0x10 + i);
    ASSERT_TRUE(sendFrame(frame.data(), 7));
    ASSERT_TRUE(sendFrame(frame.data(), 14));
    ASSERT_TRUE(sendFrame(frame.data(), 15));
    auto sent = hid.sentReports();
    ASSERT_EQ(sent.size(), 1u + 2u + 3u);
    EXPECT_EQ(sent[0], (Bytes{0x01, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}));
    EXPECT_EQ(sent[2], (Bytes{0x01, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D}));
    // The last of three reports carries one frame byte and six zero bytes.
    EXPECT_EQ(sent[5], (Bytes{0x01, 0x1E, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Transport, TestModeRequestTravelsAsOneReport) {
    open();
    const Bytes frame{0xEA, 0x03, 0xF0, 0x01, 0x18};
    ASSERT_TRUE(sendFrame(frame.data(), frame.size()));
    EXPECT_EQ(hid.sentReports().at(0), (Bytes{0x01, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0x00, 0x00}));
}

TEST_F(Transport, FailedReportStopsTheSend) {
    open();
    hid.failSetCall = 1;
    Bytes frame(20, 0xAA);
    EXPECT_FALSE(sendFrame(frame.data(), frame.size()));
    EXPECT_EQ(hid.setCalls, 2);  // the third report is never sent
    hid.failSetCall = hid.setCalls;
    EXPECT_EQ(CMD_TEST_MODE(), 226u);
}

TEST_F(Transport, MissingSetFeatureIsASendFailure) {
    open();
    hid.setMissing = true;
    EXPECT_EQ(CMD_RESET(), LINK_SEND_FAILED);
}

TEST_F(Transport, ShortReplyComesFromTheFirstBlockAlone) {
    open();
    // L = 6: CMD_ENTER_ISP with three data bytes.
    hid.queue(replyBlocks(0xA0, 0x00, {0x40, 0x34, 0x12}));
    std::uint8_t kib = 0;
    std::uint16_t value = 0;
    EXPECT_EQ(CMD_ENTER_ISP(kib, value), 0u);
    EXPECT_EQ(kib, 0x40);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(hid.gets(), 1u);
}

TEST_F(Transport, ReadBuffersAskForReportIdOneInNineBytes) {
    open();
    hid.queue({Bytes(9, 0x01)});  // a busy poll first
    hid.queue(replyBlocks(0xAF, 0x00, {}));
    EXPECT_EQ(CMD_RESET(), 0u);
    for (std::uint8_t first : hid.getFirstBytes) EXPECT_EQ(first, 0x01);
}

TEST_F(Transport, LengthSevenAndElevenMakeTwoContinuationReadsAndKeepOne) {
    for (std::size_t textLength : {4u, 8u}) {  // L = 7 and L = 11
        open();
        Bytes text(textLength);
        for (std::size_t i = 0; i < textLength; ++i) text[i] = static_cast<std::uint8_t>('A' + i);
        const std::size_t before = hid.gets();
        hid.queue(replyBlocks(0xB0, 0x00, text));
        hid.queue({Bytes(9, 0x77)});  // the discarded extra read
        std::string version;
        EXPECT_EQ(CMD_GET_VERSION(false, version), 0u);
        EXPECT_EQ(version, std::string(text.begin(), text.end()));
        EXPECT_EQ(hid.gets() - before, 3u);
        closeLink();
    }
}

TEST_F(Transport, BadChecksumFillsTheRecordWith240) {
    open();
    hid.queue(replyBlocks(0xB0, 0x00, {'S', '1'}, 8, true));
    ReplyRecord record{};
    const Bytes frame = buildRequest(0xB0, nullptr, 0);
    ASSERT_TRUE(sendFrame(frame.data(), frame.size()));
    EXPECT_EQ(awaitReply(record.data()), LINK_BAD_CHECKSUM);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(record[static_cast<std::size_t>(i)], 0xF0);

    std::string version = "untouched";
    hid.queue(replyBlocks(0xB0, 0x00, {'S', '1'}, 8, true));
    EXPECT_EQ(CMD_GET_VERSION(false, version), 240u);
    EXPECT_EQ(version, "untouched");
}

TEST_F(Transport, ElevenFailedReadsGive228) {
    open();
    hid.failGets = 11;
    ReplyRecord record{};
    EXPECT_EQ(awaitReply(record.data()), LINK_READ_FAILED);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(record[static_cast<std::size_t>(i)], 0xE4);
    EXPECT_EQ(hid.gets(), 11u);
    EXPECT_FALSE(linkState().busy);
}

TEST_F(Transport, TenFailedReadsAreRetriedToSuccess) {
    open();
    hid.failGets = 10;
    hid.queue(replyBlocks(0xAF, 0x00, {}));
    EXPECT_EQ(CMD_RESET(), 0u);
}

TEST_F(Transport, FailedContinuationReadIs228NotReserved229) {
    open();
    auto blocks = replyBlocks(0xB0, 0x00, {'S', '5', '3', '0', '1', 'V', '1', '0'});
    hid.queue({blocks[0]});
    hid.beforeGet = [this](std::size_t index) {
        if (index == 1) hid.failGets = 11;
    };
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), LINK_READ_FAILED);
}

TEST_F(Transport, MissingGetFeatureIs228) {
    open();
    hid.getMissing = true;
    EXPECT_EQ(CMD_RESET(), LINK_READ_FAILED);
}

TEST_F(Transport, ReplyWithoutDataCodeLeavesTheDataBytes) {
    open();
    hid.queue(replyBlocks(0xA4, 0x00, {0x99, 0x98}));
    ReplyRecord record;
    record.fill(0x5A);
    const Bytes frame = buildRequest(0xA4, nullptr, 0);
    ASSERT_TRUE(sendFrame(frame.data(), frame.size()));
    EXPECT_EQ(awaitReply(record.data()), 0u);
    EXPECT_EQ(record[0], 0x00);
    EXPECT_EQ(record[1], 2);
    EXPECT_EQ(record[2], 0xA4);
    EXPECT_EQ(record[3], 0x5A);
    EXPECT_EQ(record[4], 0x5A);
}

TEST_F(Transport, OverlongOrTooShortLengthIsAReadFailureWithoutCopying) {
    for (std::uint8_t length : {std::uint8_t{62}, std::uint8_t{2}, std::uint8_t{0}}) {
        open();
        Bytes block(9, 0);
        block[0] = REPLY_START;
        block[1] = length;
        hid.queue({block});
        ReplyRecord record;
        record.fill(0x33);
        EXPECT_EQ(awaitReply(record.data()), LINK_READ_FAILED) << int(length);
        EXPECT_EQ(record[5], 0x33);
        closeLink();
    }
}

TEST_F(Transport, BusyLinkRefusesASecondExchangeWithoutAReader) {
    open();
    timing().replyWaitMs = 600000;  // the first exchange stays outstanding until it is run out below
    std::mutex m;
    std::condition_variable cv;
    bool polling = false;
    hid.beforeGet = [&](std::size_t) {
        std::lock_guard<std::mutex> l(m);
        polling = true;
        cv.notify_all();
    };
    std::thread first([] {
        ReplyRecord record{};
        EXPECT_EQ(awaitReply(record.data()), LINK_TIMEOUT);
    });
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return polling; });
    }
    const auto started = linkCounters().readersStarted;
    ReplyRecord second{};
    EXPECT_EQ(awaitReply(second.data()), LINK_BUSY);
    EXPECT_EQ(linkCounters().readersStarted, started);
    // A framed command sends its request first and only then finds the link busy.
    const std::size_t sentBefore = hid.sentReports().size();
    EXPECT_EQ(CMD_TEST_MODE(), LINK_BUSY);
    EXPECT_EQ(hid.sentReports().size(), sentBefore + 1);
    EXPECT_TRUE(vantel::testing::runOutReplyWait());
    first.join();
    EXPECT_FALSE(linkState().busy);
    // The given-up reader may still be inside the hook that uses this test's locals.
    EXPECT_TRUE(waitForReadersToEnd(5000));
}

TEST_F(Transport, SilentKeyboardTimesOutAndLeavesTheLinkFree) {
    open();
    timing().replyWaitMs = 30;
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), LINK_TIMEOUT);
    EXPECT_FALSE(linkState().busy);
    ASSERT_TRUE(waitForReadersToEnd(2000));
    timing().replyWaitMs = 2000;
    hid.queue(replyBlocks(0xF0, 0x00, {}));
    EXPECT_EQ(CMD_TEST_MODE(), 0u);
}

TEST_F(Transport, CountedWaitEndsAfterItsFillerBlocksNotBefore) {
    open();
    timing().replyWaitMs = 600000;  // only the count can end these waits
    timing().replyWaitPolls = 5;
    // Four filler blocks and then the reply: within the count.
    for (int i = 0; i < 4; ++i) hid.queue({Bytes(9, 0x01)});
    hid.queue(replyBlocks(0xF0, 0x00, {}));
    EXPECT_EQ(CMD_TEST_MODE(), 0u);
    // A keyboard that never answers: the fifth filler block of this exchange ends it.
    const std::size_t before = hid.gets();
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), LINK_TIMEOUT);
    EXPECT_EQ(hid.gets() - before, 5u);
    EXPECT_FALSE(linkState().busy);
    ASSERT_TRUE(waitForReadersToEnd(5000));
    // The count starts again with every exchange.
    for (int i = 0; i < 4; ++i) hid.queue({Bytes(9, 0x01)});
    hid.queue(replyBlocks(0xF0, 0x00, {}));
    EXPECT_EQ(CMD_TEST_MODE(), 0u);
}

TEST_F(Transport, ClosedLinkAndReopen) {
    EXPECT_EQ(CMD_TEST_MODE(), LINK_NOT_OPEN);
    EXPECT_TRUE(hid.sentReports().empty());
    closeLink();  // nothing open: no change
    EXPECT_EQ(linkState().handle, LINK_CLOSED);
    EXPECT_EQ(linkState().responseEvent, nullptr);
    open();
    EXPECT_NE(linkState().responseEvent, nullptr);
    closeLink();
    EXPECT_EQ(linkState().responseEvent, nullptr);
    EXPECT_FALSE(linkState().busy);
    open();
    EXPECT_NE(linkState().responseEvent, nullptr);
    EXPECT_EQ(linkState().reportLength, 8u);
}

TEST_F(Transport, OpenWithoutEntryKeepsLengthAndLegacy) {
    open(9, 1);
    closeLink();
    ASSERT_TRUE(openLink("device", Access::ReadWrite, nullptr));
    EXPECT_EQ(linkState().reportLength, 9u);
    EXPECT_EQ(linkState().legacy, 1u);
    EXPECT_EQ(hid.lastAccess, Access::ReadWrite);
    EXPECT_FALSE(openLink("no such device", Access::Write, &entry));
    EXPECT_EQ(linkState().handle, LINK_CLOSED);
}

// A reader whose exchange was given up neither writes into the caller's record
// nor signals, also while a later exchange is outstanding.
std::mutex gProbeMutex;
std::condition_variable gProbeCv;
std::uint64_t gHeldExchange = 0;
bool gStaleAtProbe = false, gReleaseStale = false;

void holdStaleReader(testing::ReaderPoint, std::uint64_t exchange) {
    std::unique_lock<std::mutex> l(gProbeMutex);
    if (exchange != gHeldExchange) return;
    gStaleAtProbe = true;
    gProbeCv.notify_all();
    gProbeCv.wait(l, [] { return gReleaseStale; });
}

TEST_F(Transport, StaleReaderNeitherDeliversNorSignals) {
    open();
    timing().replyWaitMs = 40;

    // Exchange 1: the reader holds its reply while the waiter gives up.
    std::mutex m;
    std::condition_variable cv;
    bool releaseFirstRead = false, firstReadHeld = false;
    hid.beforeGet = [&](std::size_t index) {
        if (index != 0) return;
        std::unique_lock<std::mutex> l(m);
        firstReadHeld = true;
        cv.notify_all();
        cv.wait(l, [&] { return releaseFirstRead; });
    };
    hid.queue(replyBlocks(0xB0, 0x00, {'O', 'L', 'D'}));
    {
        std::lock_guard<std::mutex> l(gProbeMutex);
        gHeldExchange = testing::currentExchange() + 1;
        gStaleAtProbe = gReleaseStale = false;
    }
    testing::setReaderProbe(holdStaleReader);

    ReplyRecord stale;
    stale.fill(0xC3);
    const Bytes request = buildRequest(0xB0, nullptr, 0);
    ASSERT_TRUE(sendFrame(request.data(), request.size()));
    EXPECT_EQ(awaitReply(stale.data()), LINK_TIMEOUT);
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(firstReadHeld);
        releaseFirstRead = true;
        cv.notify_all();
    }
    // The stale reader got its reply and now waits just before delivering.
    {
        std::unique_lock<std::mutex> l(gProbeMutex);
        gProbeCv.wait(l, [] { return gStaleAtProbe; });
    }

    // Exchange 2 is outstanding while the stale reader decides.
    timing().replyWaitMs = 5000;
    std::atomic<bool> secondPolling{false};
    hid.beforeGet = [&](std::size_t index) {
        if (index >= 1) secondPolling = true;
    };
    ReplyRecord fresh{};
    std::uint32_t freshResult = 0xFFFF;
    std::thread second([&] { freshResult = awaitReply(fresh.data()); });
    while (!secondPolling) std::this_thread::yield();  // reader 2 is polling fillers
    ASSERT_TRUE(linkState().busy);
    {
        std::lock_guard<std::mutex> l(gProbeMutex);
        gReleaseStale = true;
        gProbeCv.notify_all();
    }
    // Exchange 2 must not wake on a stale signal: it still waits for its own reply.
    hid.queue(replyBlocks(0xB0, 0x00, {'N', 'E', 'W'}));
    second.join();
    EXPECT_EQ(freshResult, 0u);
    EXPECT_EQ(fresh[2], 0xB0);
    EXPECT_EQ(std::string(fresh.begin() + 3, fresh.begin() + 6), "NEW");
    for (std::uint8_t b : stale) EXPECT_EQ(b, 0xC3);
    EXPECT_TRUE(waitForReadersToEnd(5000));  // the hooks use this test's locals
}

}  // namespace
}  // namespace vantel::test
