// The page writer against a scripted keyboard: which blocks go out, in what
// order and under which page, the progress it shows, and how it gives up.

#include <gtest/gtest.h>


#include "link/commands.h"
#include "link/link.h"
#include "mini_keyboard.h"
#include "support/fake_window.h"
#include "support/temp_dir.h"
#include "update/page_writer.h"
#include "update_fixture.h"

namespace vantel::test {
namespace {

class PageWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLinkBackend(&kb);
        DeviceEntry entry;
        entry.path = kb.interfaces[0].path;
        entry.reportLength = 8;
        ASSERT_TRUE(openLink(entry.path, Access::ReadWrite, &entry));
    }
    void TearDown() override {
        closeLink();
        EXPECT_TRUE(waitForReadersToEnd(5000));
        setLinkBackend(nullptr);
    }

    std::string file(const Bytes& bytes) { return dir.write("fw.bin", bytes); }

    // Every byte of the file at its flash offset; bytes of skipped segments never written.
    void expectFlashMatches(const Bytes& bytes) {
        const auto flash = kb.flash();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            auto it = flash.find(static_cast<std::uint32_t>(i));
            if (it == flash.end()) {
                ASSERT_EQ(bytes[i], 0) << "byte " << i << " was not written";
            } else {
                ASSERT_EQ(it->second, bytes[i]) << "byte " << i;
            }
        }
    }

    std::vector<Request> writesAt(std::uint32_t hi, std::uint32_t lo) {
        std::vector<Request> out;
        for (const auto& r : kb.requests()) {
            if (r.code == opcode::WRITE_BLOCK && r.args.size() >= 2 && r.args[0] == hi && r.args[1] == lo) {
                out.push_back(r);
            }
        }
        return out;
    }

    TimingGuard timingGuard{shortTiming()};
    MiniKeyboard kb;
    FakeWindow window;
    DownloadState state;
    TestHost host{window};
    TempDir dir;
};

TEST_F(PageWriterTest, HeadAloneWhenTheBodyIsAllZero) {
    Bytes bytes(4096, 0);
    for (std::size_t i = 0; i < 256; ++i) bytes[i] = busyByte(i);
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    EXPECT_EQ(kb.writeOffsets(), (std::vector<std::uint32_t>{0, 64, 128, 192}));
    EXPECT_EQ(window.posHistory, (std::vector<int>{0, 25, 50, 75}));
    EXPECT_EQ(window.rangeHistory, (std::vector<std::pair<int, int>>{{0, 100}}));
    expectFlashMatches(bytes);
}

TEST_F(PageWriterTest, EverySegmentInUse) {
    Bytes bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t o = 0; o < 4096; o += 64) expected.push_back(o);
    EXPECT_EQ(kb.writeOffsets(), expected);
    ASSERT_EQ(window.posHistory.size(), 64u);
    EXPECT_EQ(window.posHistory.back(), 98);
    expectFlashMatches(bytes);
}

TEST_F(PageWriterTest, ProgressCountsOnlyTheBlocksToWrite) {
    // Only body segment 0 in use: F = 1.
    Bytes first(8192, 0);
    for (std::size_t i = 0; i < 512; ++i) first[i] = busyByte(i);
    EXPECT_EQ(writeImage(window, host, state, file(first)), 0);
    EXPECT_EQ(window.posHistory, (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87}));
    EXPECT_EQ(kb.writeOffsets(), (std::vector<std::uint32_t>{0, 64, 128, 192, 256, 320, 384, 448}));
}

TEST_F(PageWriterTest, SkippedSegmentsStillCountInTheNumerator) {
    // Only the last body segment (30) in use: positions beyond 100 are sent as computed.
    Bytes last(8192, 0);
    for (std::size_t i = 0; i < 256; ++i) last[i] = busyByte(i);
    for (std::size_t i = 7936; i < 8192; ++i) last[i] = busyByte(i);
    EXPECT_EQ(writeImage(window, host, state, file(last)), 0);
    EXPECT_EQ(window.posHistory, (std::vector<int>{0, 12, 25, 37, 1550, 1562, 1575, 1587}));
    expectFlashMatches(last);
}

TEST_F(PageWriterTest, SegmentWithOnlyItsLastByteSetAndAShortLastBlock) {
    Bytes bytes(256 + 256 + 100, 0);
    bytes[511] = 0x5A;           // segment 0: only its last byte
    bytes[600] = 0x01;           // segment 1: 100 bytes, a full block and one of 36
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    EXPECT_EQ(kb.writeOffsets(),
              (std::vector<std::uint32_t>{0, 64, 128, 192, 256, 320, 384, 448, 512, 576}));
    const auto writes = kb.requests();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().args.size(), 2u + 36u);  // the frame's length byte is then 36 + 4
    expectFlashMatches(bytes);
}

TEST_F(PageWriterTest, PagedImageSelectsPageOneOnceAndRestartsTheAddress) {
    Bytes bytes(131072);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    state.needsPageSelect = 1;
    state.currentPage = 0;
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    const auto reqs = kb.requests();
    std::vector<std::size_t> gotos;
    for (std::size_t i = 0; i < reqs.size(); ++i) {
        if (reqs[i].code == opcode::GOTO_PAGE) gotos.push_back(i);
    }
    ASSERT_EQ(gotos.size(), 1u);
    EXPECT_EQ(reqs[gotos[0]].args, (Bytes{1}));
    EXPECT_EQ(gotos[0], 1024u);  // after the 1024 blocks of page 0
    ASSERT_GT(reqs.size(), gotos[0] + 1);
    EXPECT_EQ(reqs[gotos[0] + 1].args[0], 0x00);
    EXPECT_EQ(reqs[gotos[0] + 1].args[1], 0x00);
    EXPECT_EQ(state.currentPage, 1);
    expectFlashMatches(bytes);
}

TEST_F(PageWriterTest, ZeroPageIsSkippedButPagesAreSelectedInTurn) {
    Bytes bytes(196608, 0);
    for (std::size_t i = 0; i < 65536; ++i) bytes[i] = busyByte(i);
    for (std::size_t i = 131072; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    state.needsPageSelect = 1;
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    const auto reqs = kb.requests();
    std::vector<Bytes> gotoArgs;
    std::size_t firstGoto = 0;
    for (std::size_t i = 0; i < reqs.size(); ++i) {
        if (reqs[i].code != opcode::GOTO_PAGE) continue;
        if (gotoArgs.empty()) firstGoto = i;
        gotoArgs.push_back(reqs[i].args);
    }
    EXPECT_EQ(gotoArgs, (std::vector<Bytes>{{1}, {2}}));
    EXPECT_EQ(firstGoto, 1024u);
    EXPECT_EQ(reqs[firstGoto + 1].code, opcode::GOTO_PAGE);
    expectFlashMatches(bytes);
}

TEST_F(PageWriterTest, Status242IsResentThreeTimesThenAccepted) {
    Bytes bytes(8192);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x1200, {st(242), st(242), st(242), st(0)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 0);
    EXPECT_EQ(writesAt(0x12, 0x00).size(), 4u);
    expectFlashMatches(bytes);
    EXPECT_TRUE(host.intermediates().empty());
}

TEST_F(PageWriterTest, FourthRefusalEndsTheWriteWithTheBodyText) {
    Bytes bytes(8192);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x1200, {st(242), st(242), st(242), st(242)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 242);
    const std::string text = "1. Retried 3 times, Update fail at 0x1200, Error: 0xF2";
    EXPECT_EQ(window.status(), text);
    EXPECT_EQ(host.intermediates(), (std::vector<std::string>{text}));
    EXPECT_EQ(kb.writeOffsets().back(), 0x11C0u);  // nothing after the failed block
}

TEST_F(PageWriterTest, BadChecksumIsResentLikeStatus242) {
    Bytes bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x100, {corrupt(), corrupt(), corrupt(), corrupt()});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), static_cast<int>(LINK_BAD_CHECKSUM));
    EXPECT_EQ(writesAt(0x01, 0x00).size(), 4u);
    EXPECT_EQ(window.status(), "1. Retried 3 times, Update fail at 0x0100, Error: 0xF0");
}

TEST_F(PageWriterTest, OtherFailuresAreNotResent) {
    Bytes bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x200, {st(5)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 5);
    EXPECT_EQ(writesAt(0x02, 0x00).size(), 1u);
    EXPECT_EQ(window.status(), "1. Retried 0 times, Update fail at 0x0200, Error: 0x05");
}

TEST_F(PageWriterTest, TimeoutOnABodyBlockIsNotResent) {
    Bytes bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x200, {silent()});
    // Only the wait for the silent block is short; every earlier reply has all the time it needs.
    kb.onRequest = [](const Request& r) {
        if (r.code == opcode::WRITE_BLOCK && r.args[0] == 0x02 && r.args[1] == 0x00) timing().replyWaitMs = 30;
    };
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), static_cast<int>(LINK_TIMEOUT));
    EXPECT_EQ(writesAt(0x02, 0x00).size(), 1u);
    EXPECT_EQ(window.status(), "1. Retried 0 times, Update fail at 0x0200, Error: 0xE3");
}

TEST_F(PageWriterTest, HeadFailureUsesTheHeadText) {
    Bytes bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    kb.scriptWrite(0x40, {st(7)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), WRITE_HEAD_FAILED);
    const std::string text = "2. Retried 0 times, Update fail at 0x0040!";
    EXPECT_EQ(window.status(), text);
    EXPECT_EQ(host.intermediates(), (std::vector<std::string>{text}));
    EXPECT_EQ(kb.writeOffsets(), (std::vector<std::uint32_t>{0}));
}

TEST_F(PageWriterTest, FileThatCannotBeOpenedSendsNothing) {
    EXPECT_EQ(writeImage(window, host, state, ""), WRITE_OPEN_FAILED);
    EXPECT_EQ(writeImage(window, host, state, dir.file("missing.bin")), WRITE_OPEN_FAILED);
    EXPECT_TRUE(kb.requests().empty());
    EXPECT_TRUE(window.statusHistory.empty());
    EXPECT_TRUE(host.intermediates().empty());
}

TEST_F(PageWriterTest, RefusedPageSelectionEndsWithoutText) {
    Bytes bytes(131072);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    state.needsPageSelect = 1;
    kb.script(opcode::GOTO_PAGE, {st(1)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), WRITE_PAGE_FAILED);
    EXPECT_TRUE(window.statusHistory.empty());
    EXPECT_TRUE(host.intermediates().empty());
    EXPECT_EQ(kb.writeOffsets().size(), 1024u);
}

TEST_F(PageWriterTest, FailureInAPagePrintsTheInPageAddress) {
    Bytes bytes(131072);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    state.needsPageSelect = 1;
    kb.scriptWrite(0x11200, {st(9)});
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), 9);
    EXPECT_EQ(window.status(), "1. Retried 0 times, Update fail at 0x1200, Error: 0x09");
}

TEST_F(PageWriterTest, PageNumberBeyondOneByteIsRefusedNotWrapped) {
    // 256 pages and one segment more: the last segment would need page 256.
    Bytes bytes(256 * 65536 + 256, 0);
    for (std::size_t i = 0; i < 256; ++i) bytes[i] = busyByte(i);
    for (std::size_t i = bytes.size() - 256; i < bytes.size(); ++i) bytes[i] = busyByte(i);
    state.needsPageSelect = 1;
    EXPECT_EQ(writeImage(window, host, state, file(bytes)), WRITE_PAGE_FAILED);
    std::vector<int> pages;
    for (const auto& r : kb.requests()) {
        if (r.code == opcode::GOTO_PAGE) pages.push_back(r.args[0]);
    }
    ASSERT_EQ(pages.size(), 255u);
    EXPECT_EQ(pages.front(), 1);
    EXPECT_EQ(pages.back(), 255);
    EXPECT_EQ(kb.writeOffsets().size(), 4u);  // the head only
}

}  // namespace
}  // namespace vantel::test
