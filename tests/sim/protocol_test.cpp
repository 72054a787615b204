// The framed protocol as the keyboard speaks it: request assembly, reply
// blocks, filler, busy polls, the application and boot-loader command sets.

#include <random>

#include "host.h"

using namespace simtest;

namespace {

KeyboardSpec samePathKeyboard() {
    KeyboardSpec k;
    k.isp = IspStyle::SamePath;
    return k;
}

Bytes expectedReply(std::uint8_t code, std::uint8_t status, const Bytes& data) {
    Bytes f{0xED, static_cast<std::uint8_t>(data.size() + 3), code, status};
    f.insert(f.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto b : f) sum ^= b;
    f.push_back(sum);
    return f;
}

}  // namespace

TEST(SimFraming, RequestAssembledAcrossTenReports) {
    SimBackend sim;
    sim.addKeyboard(samePathKeyboard());
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);  // into the boot loader on the same path
    ASSERT_EQ(host.status(0xA4), 0);
    Bytes data = pattern(64, 3);
    sim.clearTrace();
    ASSERT_EQ(host.write(0x1240, data), 0);
    auto trace = sim.trace();
    int sets = 0;
    for (auto& e : trace) sets += e.kind == TraceKind::Set;
    EXPECT_EQ(sets, 10);  // a 70-byte frame in reports of 7 frame bytes
    auto flash = sim.keyboard().flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1240));
    auto cmds = sim.keyboard().commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back().code, 0xA1);
    EXPECT_EQ(cmds.back().args.size(), 66u);
    EXPECT_TRUE(cmds.back().inIsp);
}

TEST(SimFraming, ReportsThatStartNoFrameAreIgnored) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    Bytes junk{0x01, 0x55, 0x02, 0xB0, 0x00, 0, 0, 0};
    ASSERT_EQ(sim.setFeature(host.h, junk.data(), junk.size()), HidStatus::Ok);
    EXPECT_TRUE(sim.keyboard().commands().empty());
    EXPECT_NE(host.get()[0], 0xED);
    // A length byte below 2 cannot hold a command: dropped, the next frame is clean.
    Bytes shortFrame{0x01, 0xEA, 0x01, 0x00, 0, 0, 0, 0};
    ASSERT_EQ(sim.setFeature(host.h, shortFrame.data(), shortFrame.size()), HidStatus::Ok);
    EXPECT_EQ(host.status(0xF0, {0x01}), 0);
    EXPECT_EQ(sim.keyboard().testModeCount(), 1);
}

TEST(SimFraming, WrongReportIdOrLengthFails) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    Bytes report{0x02, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0, 0};
    EXPECT_EQ(sim.setFeature(host.h, report.data(), report.size()), HidStatus::Failed);
    report[0] = 0x01;
    EXPECT_EQ(sim.setFeature(host.h, report.data(), 7), HidStatus::Failed);
    Bytes block(8, 0);
    block[0] = 0x01;
    EXPECT_EQ(sim.getFeature(host.h, block.data(), block.size()), HidStatus::Failed);  // reads are R+1
    Bytes wrongId(9, 0);
    EXPECT_EQ(sim.getFeature(host.h, wrongId.data(), wrongId.size()), HidStatus::Failed);
}

TEST(SimFraming, BadRequestChecksumGetsNonzeroStatus) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    Bytes f = frame(0xF0, {0x01});
    f.back() ^= 0x10;
    ASSERT_EQ(host.send(f), HidStatus::Ok);
    Bytes r = host.reply();
    EXPECT_EQ(r, expectedReply(0xF0, kStatusBadChecksum, {}));
    EXPECT_EQ(sim.keyboard().testModeCount(), 0);
    ASSERT_EQ(sim.keyboard().commands().size(), 1u);
    EXPECT_FALSE(sim.keyboard().commands()[0].checksumOk);
}

TEST(SimReplyBlocks, LengthSixFitsTheFirstBlock) {
    SimBackend sim;
    KeyboardSpec k;
    k.ispValue = 0x1234;
    sim.addKeyboard(k);
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xA0)), HidStatus::Ok);
    Bytes first = host.get();
    Bytes want = expectedReply(0xA0, 0, {0x40, 0x34, 0x12});
    ASSERT_EQ(want.size(), 8u);
    want.push_back(0);  // the block is R+1 bytes, padded
    EXPECT_EQ(first, want);
}

TEST(SimReplyBlocks, LengthSevenIsOneFullBlockThenFiller) {
    SimBackend sim;
    KeyboardSpec k;
    k.appVersion = "V1.0";
    sim.addKeyboard(k);
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);
    Bytes first = host.get();
    EXPECT_EQ(first, expectedReply(0xB0, 0, text("V1.0")));  // exactly 9 bytes
    // The host's two continuation reads both see filler, never 0xED.
    for (int i = 0; i < 2; ++i) {
        Bytes next = host.get();
        EXPECT_EQ(next, Bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(SimReplyBlocks, LengthElevenSpansTwoBlocks) {
    SimBackend sim;
    sim.addKeyboard({});  // version S5301V10: eight text bytes
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);
    Bytes want = expectedReply(0xB0, 0, text("S5301V10"));
    ASSERT_EQ(want.size(), 13u);
    Bytes b0 = host.get(), b1 = host.get(), b2 = host.get();
    EXPECT_EQ(b0, Bytes(want.begin(), want.begin() + 9));
    Bytes tail(want.begin() + 9, want.end());
    tail.resize(9, 0);
    EXPECT_EQ(b1, tail);
    EXPECT_NE(b2[0], 0xED);
}

TEST(SimReplyBlocks, NothingToSayIsFiller) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    EXPECT_EQ(host.get(), Bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SimReplyBlocks, BusyPollsPrecedeTheReply) {
    SimBackend sim;
    KeyboardSpec k = samePathKeyboard();
    k.busy[0xA4] = BusySpec{3, 0};
    sim.addKeyboard(k);
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);
    ASSERT_EQ(host.send(frame(0xA4)), HidStatus::Ok);
    for (int i = 0; i < 3; ++i) EXPECT_NE(host.get()[0], 0xED) << i;
    EXPECT_EQ(host.get()[0], 0xED);
    EXPECT_EQ(sim.keyboard().eraseCount(), 1);
}

TEST(SimReplyBlocks, NewRequestReplacesAnUnreadReply) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);
    EXPECT_EQ(host.status(0xF1, {0, 0, 0}), 0);
    EXPECT_NE(host.get()[0], 0xED);
}

TEST(SimApplication, CommandsAndTheirEffects) {
    SimBackend sim;
    KeyboardSpec k;
    k.ispVersion = "B0301/S5301V11";
    k.profiles = {"GF", "GL"};
    sim.addKeyboard(k);
    Host host(sim);
    EXPECT_EQ(host.exchange(0xA6), expectedReply(0xA6, 0, text("B0301/S5301V11")));
    EXPECT_EQ(host.status(0xB4, text("GF")), 0);
    EXPECT_EQ(host.status(0xB4, text("CL")), kStatusRefused);
    EXPECT_EQ(host.status(0xB4, Bytes(10, 0x42)), 0);  // any record when none is set
    EXPECT_EQ(host.status(0xA9, {1}), 0);
    EXPECT_EQ(host.status(0xA9, {0}), 0);
    EXPECT_EQ(sim.keyboard().modeFlagHistory(), std::vector<bool>({true, false}));
    EXPECT_EQ(host.status(0xF0, {1}), 0);
    EXPECT_EQ(host.status(0xF1, {0, 0, 0}), 0);
    EXPECT_EQ(host.status(0xAF), 0);
    EXPECT_EQ(sim.keyboard().testModeCount(), 1);
    EXPECT_EQ(sim.keyboard().factoryDefaultsCount(), 1);
    EXPECT_EQ(sim.keyboard().resetCount(), 1);
    EXPECT_EQ(host.status(0xA1, {0, 0, 1}), kStatusWrongMode);
    EXPECT_EQ(host.status(0xA4), kStatusWrongMode);
    EXPECT_EQ(host.status(0xD7), kStatusUnknownCommand);
    EXPECT_FALSE(sim.keyboard().inIsp());
}

TEST(SimApplication, ModeFlagRefusalAndProfileRecord) {
    SimBackend sim;
    KeyboardSpec k;
    k.modeFlagStatus = 9;
    k.profileRecord = Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    sim.addKeyboard(k);
    Host host(sim);
    EXPECT_EQ(host.status(0xA9, {1}), 9);
    EXPECT_FALSE(sim.keyboard().modeFlag());
    EXPECT_EQ(host.status(0xB4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 0);
    EXPECT_EQ(host.status(0xB4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11}), kStatusRefused);
}

TEST(SimBootLoader, EraseWriteAndPages) {
    SimBackend sim;
    KeyboardSpec k = samePathKeyboard();
    k.flashKiB = 128;
    k.erasedValue = 0x00;
    sim.addKeyboard(k);
    auto& kb = sim.keyboard();
    kb.setFlash(Bytes(128 * 1024, 0x77));
    Host host(sim);
    ASSERT_EQ(host.exchange(0xA0), expectedReply(0xA0, 0, {128, 0x34, 0x12}));
    EXPECT_TRUE(kb.inIsp());
    EXPECT_EQ(host.status(0xA5, Bytes(10, 0)), 0);
    ASSERT_EQ(host.status(0xA4), 0);
    EXPECT_EQ(kb.flash(), Bytes(128 * 1024, 0x00));
    EXPECT_EQ(host.status(0xA2, {0}), 0);
    ASSERT_EQ(host.write(0x0100, pattern(64, 1)), 0);
    ASSERT_EQ(host.status(0xA2, {1}), 0);
    EXPECT_EQ(kb.currentPage(), 1);
    ASSERT_EQ(host.write(0x0000, pattern(64, 2)), 0);  // page 1: absolute 0x10000
    ASSERT_EQ(host.write(0x0000, pattern(64, 2)), 0);  // a resend
    EXPECT_EQ(host.status(0xA2, {2}), kStatusOutOfRange);  // 128 KiB has two pages
    EXPECT_EQ(host.write(0xFFC1, pattern(64, 3)), kStatusOutOfRange);

    auto flash = kb.flash();
    auto p1 = pattern(64, 1), p2 = pattern(64, 2);
    EXPECT_TRUE(std::equal(p1.begin(), p1.end(), flash.begin() + 0x100));
    EXPECT_TRUE(std::equal(p2.begin(), p2.end(), flash.begin() + 0x10000));
    auto written = kb.written();
    EXPECT_FALSE(written[0xFF]);
    EXPECT_TRUE(written[0x100]);
    EXPECT_TRUE(written[0x13F]);
    EXPECT_FALSE(written[0x140]);
    EXPECT_TRUE(written[0x10000]);
    EXPECT_EQ(kb.blockWrites(), (std::map<std::uint32_t, int>{{0x100, 1}, {0x10000, 2}}));
}

TEST(SimBootLoader, IspImageGoesToTheBootRegion) {
    SimBackend sim;
    sim.addKeyboard({});  // separate ISP device, but the boot region is programmed in place
    Host host(sim);
    EXPECT_EQ(host.exchange(0xAA), expectedReply(0xAA, 0, {4, 0x34, 0x12}));
    auto& kb = sim.keyboard();
    EXPECT_TRUE(kb.inIsp());
    EXPECT_TRUE(kb.present());
    ASSERT_EQ(host.status(0xA4), 0);
    ASSERT_EQ(host.write(0x0FC0, pattern(64, 5)), 0);
    EXPECT_EQ(host.write(0x1000, pattern(1, 5)), kStatusOutOfRange);
    auto boot = kb.flash(Region::Boot);
    ASSERT_EQ(boot.size(), 4096u);
    EXPECT_EQ(boot[0x0FC0], pattern(64, 5)[0]);
    EXPECT_EQ(kb.eraseCount(Region::Boot), 1);
    EXPECT_EQ(kb.eraseCount(Region::Application), 0);
    // Reset on the same path: the application answers 0xA6 on the open handle.
    EXPECT_EQ(host.status(0xAF), 0);
    EXPECT_FALSE(kb.inIsp());
    EXPECT_EQ(kb.bootResetCount(), 1);
    EXPECT_EQ(host.exchange(0xA6), expectedReply(0xA6, 0, text("B0301/S5301V11")));
}

TEST(SimBootLoader, ResetStatusKeepsItInTheBootLoader) {
    SimBackend sim;
    KeyboardSpec k = samePathKeyboard();
    k.resetStatus = 27;
    k.ispProfileAccepted = false;
    sim.addKeyboard(k);
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);
    EXPECT_EQ(host.status(0xA5, Bytes(10, 1)), kStatusRefused);
    EXPECT_EQ(host.status(0xA5, Bytes(9, 1)), kStatusBadLength);
    EXPECT_EQ(host.status(0xAF), 27);
    EXPECT_TRUE(sim.keyboard().inIsp());
    EXPECT_EQ(host.status(0xB0), kStatusWrongMode);
}

TEST(SimRobustness, RandomReportsNeverBreakTheModel) {
    // A host gone wild: random reports and reads in both firmware states. The
    // keyboard must keep answering well-formed frames afterwards.
    std::mt19937 rng(777);
    SimBackend sim;
    KeyboardSpec k = samePathKeyboard();
    k.flashKiB = 128;
    sim.addKeyboard(k);
    Options o;
    o.trace = false;
    sim.setOptions(o);
    Host host(sim);
    for (int round = 0; round < 20000; ++round) {
        if (rng() % 3 == 0) {
            host.get();
            continue;
        }
        Bytes r(8);
        for (auto& b : r) b = static_cast<std::uint8_t>(rng());
        r[0] = 0x01;
        if (rng() % 4 == 0) r[1] = 0xEA;
        if (rng() % 8 == 0 && round > 0) {
            // A valid frame now and then, so that the boot loader is reached too.
            static const std::uint8_t codes[] = {0xA0, 0xA1, 0xA2, 0xA4, 0xA5, 0xAF, 0xAA};
            Bytes args(rng() % 12);
            for (auto& b : args) b = static_cast<std::uint8_t>(rng());
            host.send(frame(codes[rng() % 7], args));
            continue;
        }
        sim.setFeature(host.h, r.data(), r.size());
    }
    // Whatever state it is in, a clean frame after a full report of padding
    // completes any partial request, and the next one is answered.
    Bytes pad(8, 0);
    pad[0] = 1;
    for (int i = 0; i < 40; ++i) sim.setFeature(host.h, pad.data(), pad.size());
    host.get();
    EXPECT_EQ(host.status(0xA6), 0);
}
