// Fault injection on the command path and the transport, late replies,
// transfer pacing, the trace, and concurrent callers.

#include <atomic>
#include <thread>

#include "host.h"

using namespace simtest;

namespace {

// A keyboard already in its boot loader with erased flash, opened by `host`.
SimKeyboard& bootLoader(SimBackend& sim) {
    KeyboardSpec k;
    k.isp = IspStyle::SamePath;
    auto& kb = sim.addKeyboard(k);
    return kb;
}

void enterAndErase(Host& host) {
    ASSERT_EQ(host.status(0xA0), 0);
    ASSERT_EQ(host.status(0xA4), 0);
}

}  // namespace

TEST(SimCommandFaults, WriteStatusAtAnOffsetThenNormal) {
    SimBackend sim;
    auto& kb = bootLoader(sim);
    Host host(sim);
    enterAndErase(host);
    kb.failWriteAt(0x1200, 242, 3);
    EXPECT_EQ(host.write(0x1100, pattern(64, 1)), 0);  // other offsets are untouched
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.write(0x1200, pattern(64, 2)), 242) << i;
    EXPECT_EQ(host.write(0x1200, pattern(64, 2)), 0);
    EXPECT_EQ(kb.blockWrites().at(0x1200), 1);  // refused attempts wrote nothing
    EXPECT_EQ(kb.flash()[0x1200], pattern(64, 2)[0]);
}

TEST(SimCommandFaults, NthOccurrenceOfACommand) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    kb.failCommand(0xB4, 0x33, 2, 2);  // the second and third 0xB4
    Host host(sim);
    EXPECT_EQ(host.status(0xB4, text("GF")), 0);
    EXPECT_EQ(host.status(0xB4, text("GF")), 0x33);
    EXPECT_EQ(host.status(0xB4, text("GF")), 0x33);
    EXPECT_EQ(host.status(0xB4, text("GF")), 0);
}

TEST(SimCommandFaults, StatusOnIspEntryMeansNoEntry) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    kb.failCommand(0xA0, 241, 1);
    Host host(sim);
    EXPECT_EQ(host.status(0xA0), 241);
    EXPECT_TRUE(kb.present());
    EXPECT_FALSE(kb.inIsp());
}

TEST(SimCommandFaults, BadReplyChecksumStillExecutes) {
    SimBackend sim;
    auto& kb = bootLoader(sim);
    Host host(sim);
    enterAndErase(host);
    kb.corruptReply(0xA1, 1);
    EXPECT_EQ(host.write(0x0040, pattern(64, 4)), -2);
    EXPECT_EQ(host.write(0x0040, pattern(64, 4)), 0);
    EXPECT_EQ(kb.blockWrites().at(0x0040), 2);  // the resend is visible
}

TEST(SimCommandFaults, NoAnswerIsFillerUntilTheNextRequest) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    kb.noAnswer(0xB0, 1);
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);
    for (int i = 0; i < 50; ++i) ASSERT_NE(host.get()[0], 0xED);
    EXPECT_EQ(host.status(0xB0), 0);
    kb.noAnswer(0xF0);  // every one from now on
    EXPECT_EQ(host.status(0xF0, {1}), -1);
    EXPECT_EQ(host.status(0xF0, {1}), -1);
    EXPECT_EQ(kb.testModeCount(), 0);
}

TEST(SimCommandFaults, RemovalMidWriteAndReturn) {
    SimBackend sim;
    auto& kb = bootLoader(sim);
    EventLog log;
    sim.setDeviceEventSink(&log);
    Host host(sim);
    enterAndErase(host);
    kb.removeAtWrite(0x0080, 0);
    EXPECT_EQ(host.write(0x0000, pattern(64, 1)), 0);
    EXPECT_EQ(host.write(0x0040, pattern(64, 1)), 0);
    Bytes args{0x00, 0x80};
    args.resize(66, 0x5A);
    EXPECT_EQ(host.send(frame(0xA1, args)), HidStatus::Ok);  // gone once the request is whole
    HidStatus s;
    host.get(&s);
    EXPECT_EQ(s, HidStatus::Failed);
    ASSERT_TRUE(sim.flushScheduled(2000));
    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(events[1].event, DBT_DEVICEARRIVAL);
    EXPECT_TRUE(kb.present());
    EXPECT_EQ(kb.blockWrites().count(0x0080), 0u);
    sim.setDeviceEventSink(nullptr);
}

TEST(SimCommandFaults, RemovalAtACommandForGood) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    kb.removeAt(0xA4 /* not in the application */, 0, -1);
    kb.removeAt(0xB0, 2);
    Host host(sim);
    EXPECT_EQ(host.status(0xB0), 0);
    EXPECT_EQ(host.status(0xB0), -1);
    EXPECT_FALSE(kb.present());
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_FALSE(kb.present());
}

TEST(SimTransportFaults, NthSetFailsKTimes) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    sim.failSetFeature(2, 2);
    std::vector<HidStatus> results;
    for (std::size_t i = 0; i < 4; ++i) {
        Bytes r(8, 0);
        r[0] = 1;
        results.push_back(sim.setFeature(host.h, r.data(), r.size()));
    }
    EXPECT_EQ(results, (std::vector<HidStatus>{HidStatus::Ok, HidStatus::Failed, HidStatus::Failed, HidStatus::Ok}));
    sim.failSetFeature(1, kAlways);
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);
    sim.clearFaults();
    EXPECT_EQ(host.status(0xB0), 0);
}

TEST(SimTransportFaults, GetFailsKTimesWithoutLosingTheReply) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);
    sim.failGetFeature(1, 3);
    HidStatus s;
    for (int i = 0; i < 3; ++i) {
        host.get(&s);
        EXPECT_EQ(s, HidStatus::Failed);
    }
    EXPECT_EQ(host.get(&s)[0], 0xED);
    EXPECT_EQ(s, HidStatus::Ok);
}

TEST(SimTransportFaults, ScenarioFaultsAreArmed) {
    std::string error;
    auto scenario = parseScenario(
        "keyboard\n"
        "isp same-path\n"
        "fault status write-block 242 offset 0x40 times 2\n"
        "fault set-fails at 3\n",
        error);
    ASSERT_TRUE(scenario) << error;
    SimBackend sim(*scenario);
    Host host(sim);
    ASSERT_EQ(host.send(frame(0xB0)), HidStatus::Ok);  // set 1 (one report)
    host.reply();
    ASSERT_EQ(host.send(frame(0xF0, {1})), HidStatus::Ok);  // set 2
    host.reply();
    EXPECT_EQ(host.send(frame(0xF0, {1})), HidStatus::Failed);  // set 3
    enterAndErase(host);
    EXPECT_EQ(host.write(0x40, pattern(64, 0)), 242);
    EXPECT_EQ(host.write(0x40, pattern(64, 0)), 242);
    EXPECT_EQ(host.write(0x40, pattern(64, 0)), 0);
}

TEST(SimLateReply, HeldFirstBlockArrivesAfterRelease) {
    SimBackend sim;
    sim.addKeyboard({});
    Host host(sim);
    sim.holdNextReply();
    ASSERT_EQ(host.send(frame(0xA6)), HidStatus::Ok);
    Bytes lateBlock;
    std::thread reader([&] {
        Bytes b(9, 0);
        b[0] = 1;
        HidHandle h2;
        sim.open(sim.keyboard().path(), Access::Write, h2);
        // Filler is not held; the first block of the reply is.
        while (true) {
            std::fill(b.begin(), b.end(), 0);
            b[0] = 1;
            if (sim.getFeature(h2, b.data(), b.size()) != HidStatus::Ok) break;
            if (b[0] == 0xED) break;
        }
        lateBlock = b;
        sim.close(h2);
    });
    ASSERT_TRUE(sim.waitUntilHeld(5000));
    // Meanwhile a new exchange goes through untouched.
    EXPECT_EQ(host.status(0xF0, {1}), 0);
    sim.releaseHeld();
    reader.join();
    EXPECT_EQ(lateBlock[0], 0xED);
    EXPECT_EQ(lateBlock[2], 0xA6);  // the late block is the old reply's
}

TEST(SimPacing, LatencyCountsTransfers) {
    SimBackend sim;
    sim.addKeyboard({});
    sim.setLatencyUs(20);
    Host host(sim);
    EXPECT_EQ(host.status(0xB0), 0);  // one report out, two blocks in
    EXPECT_EQ(sim.setTransfers(), 1u);
    EXPECT_EQ(sim.getTransfers(), 2u);
}

// Each bus has its own deadline chain. The latency is so long that no machine
// gets anywhere near a deadline between two calls, and the wait is replaced,
// so the deadlines tell the chains apart without any real waiting. The wait
// calls back into the simulator: it must run without the simulator's lock.
TEST(SimPacing, EachBusHasItsOwnDeadlineChain) {
    std::string error;
    auto scenario = parseScenario(
        "keyboard a\nport 1-1\nkeyboard b\nport 1-2.3\nkeyboard c\nport 2-1\nkeyboard d\nkeyboard e\n", error);
    ASSERT_TRUE(scenario) << error;
    SimBackend sim(*scenario);
    const auto L = std::chrono::seconds(1000);
    sim.setLatencyUs(1000 * 1000 * 1000);
    std::vector<std::chrono::steady_clock::time_point> ends;
    sim.setPaceWait([&](std::chrono::steady_clock::time_point deadline) {
        ends.push_back(deadline);
        (void)sim.pendingEvents();
    });
    Host a(sim, 0), b(sim, 1), c(sim, 2), d(sim, 3), e(sim, 4);
    for (Host* h : {&a, &b, &c, &d, &e, &d}) ASSERT_EQ(h->send(frame(0xF0, {1})), HidStatus::Ok);
    ASSERT_EQ(ends.size(), 6u);
    EXPECT_EQ(ends[1] - ends[0], L) << "b queues behind a on bus 1";
    EXPECT_LT(ends[2] - ends[0], L) << "bus 2 does not wait for bus 1";
    EXPECT_LT(ends[3] - ends[0], L) << "a keyboard without a port is a bus of its own";
    EXPECT_LT(ends[4] - ends[3], L);
    EXPECT_EQ(ends[5] - ends[3], L) << "d's second transfer queues behind its first";
}

TEST(SimTrace, RecordsEveryReportAndStreams) {
    SimBackend sim;
    sim.addKeyboard({});
    std::atomic<int> streamed{0};
    sim.setTraceCallback([&](const TraceEntry&) { ++streamed; });
    Host host(sim);
    ASSERT_EQ(host.status(0xF0, {1}), 0);
    auto t = sim.trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, TraceKind::Set);
    EXPECT_EQ(t[0].bytes, Bytes({0x01, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0, 0}));
    EXPECT_EQ(t[0].path, sim.keyboard().path());
    EXPECT_EQ(t[1].kind, TraceKind::Get);
    EXPECT_EQ(t[1].bytes[0], 0xED);
    EXPECT_LE(t[0].when, t[1].when);
    EXPECT_EQ(streamed.load(), 2);

    Options o = sim.options();
    o.traceLimit = 1;
    sim.setOptions(o);
    sim.clearTrace();
    ASSERT_EQ(host.status(0xF0, {1}), 0);
    ASSERT_EQ(sim.trace().size(), 1u);
    EXPECT_EQ(sim.trace()[0].kind, TraceKind::Get);  // the most recent one is kept
    EXPECT_EQ(sim.traceDropped(), 1u);
}

TEST(SimConcurrency, ParallelCallersKeepTheModelConsistent) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    Host host(sim);
    std::atomic<bool> stop{false};
    // Stray pollers on their own handles, like readers of given-up exchanges.
    std::vector<std::thread> pollers;
    for (int t = 0; t < 2; ++t) {
        pollers.emplace_back([&] {
            HidHandle h;
            sim.open(kb.path(), Access::Write, h);
            while (!stop) {
                Bytes b(9, 0);
                b[0] = 1;
                sim.getFeature(h, b.data(), b.size());
                std::vector<std::string> p = kb.paths();
                (void)p;
            }
            sim.close(h);
        });
    }
    for (int i = 0; i < 200; ++i) host.send(frame(0xF0, {1}));
    stop = true;
    for (auto& p : pollers) p.join();
    EXPECT_EQ(kb.testModeCount(), 200);  // every request was assembled whole
}
