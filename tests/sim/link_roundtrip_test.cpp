// The simulated keyboard against the real link: discovery, the framed
// exchange and the command set talk to it as they would to a keyboard, and a
// hand-driven download leaves the file in its flash.

#include <atomic>

#include "host.h"
#include "link/commands.h"
#include "link/discovery.h"
#include "link/link.h"
#include "link/timing.h"

using namespace simtest;

namespace {

class ListStub : public DeviceList {
public:
    std::vector<std::string> items;
    int sel = -1;
    void resetContent() override { items.clear(); sel = -1; }
    void addString(const std::string& t) override { items.push_back(t); }
    void setCurSel(int i) override { sel = i; }
    int getCurSel() const override { return sel; }
    int getCount() const override { return static_cast<int>(items.size()); }
    std::string getItemText(int i) const override { return items.at(static_cast<std::size_t>(i)); }
};

// Waits for the next arrival of a HID interface and returns its name.
struct ArrivalWaiter : EventLog {
    std::string next(std::size_t index, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            std::size_t n = 0;
            for (auto& e : events) n += e.event == DBT_DEVICEARRIVAL;
            return n > index;
        });
        std::size_t n = 0;
        for (auto& e : events) {
            if (e.event != DBT_DEVICEARRIVAL) continue;
            if (n++ == index) return name(e);
        }
        return {};
    }
};

class SimLink : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = timing();
        // Real time for a good reply, a count of filler blocks for a missing one.
        timing().replyWaitPolls = kScaledReplyWaitPolls;
        timing().readRetryPauseMs = 1;
        timing().bootSendPauseMs = 1;
    }
    void TearDown() override {
        closeLink();
        waitForReadersToEnd(2000);
        setLinkBackend(nullptr);
        if (sim_) sim_->setDeviceEventSink(nullptr);
        sim_.reset();
        timing() = saved_;
    }
    // The simulator outlives the link's use of it: the fixture owns it.
    SimBackend& make(const Scenario& scenario = {}) {
        sim_ = std::make_unique<SimBackend>(scenario);
        sim_->loadHidLibrary();
        sim_->loadSetupLibrary();
        setLinkBackend(sim_.get());
        return *sim_;
    }
    std::unique_ptr<SimBackend> sim_;
    DeviceTable table;
    ListStub list;
    ArrivalWaiter events;
    std::atomic<bool> workerRunning{false};
    Timing saved_;
};

}  // namespace

TEST_F(SimLink, DiscoveryListsKeyboardsAndIspMode) {
    auto scenario = builtinScenario("two-keyboards");
    make(*scenario);
    discoverDevices(table, list, -1, workerRunning);
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-431", kIspModeName}));
    EXPECT_EQ(table.entries[1].reportLength, 8u);
    discoverDevices(table, list, 1, workerRunning);
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.entries[0].pid, 1u);
}

TEST_F(SimLink, DiscoveryFiltersNonKeyboards) {
    auto scenario = builtinScenario("filtering");
    make(*scenario);
    discoverDevices(table, list, -1, workerRunning);
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-431", "VID: 0x1130, PID: 0x0001"}));
}

TEST_F(SimLink, RepliesOfEveryLength) {
    SimBackend& sim = make();
    KeyboardSpec k;
    k.appVersion = "V1.0";  // L = 7
    sim.addKeyboard(k);
    discoverDevices(table, list, -1, workerRunning);
    ASSERT_TRUE(openLink(table.entries[0].path, Access::Write, &table.entries[0]));
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), 0u);
    EXPECT_EQ(version, "V1.0");
    EXPECT_EQ(CMD_GET_VERSION(true, version), 0u);  // L = 17
    EXPECT_EQ(version, "B0301/S5301V11");
    EXPECT_EQ(CMD_CHECK_PROFILE("GF"), 0u);
    EXPECT_EQ(CMD_CHECK_PROFILE("XX"), kStatusRefused);
    EXPECT_EQ(CMD_TEST_MODE(), 0u);
    EXPECT_EQ(sim.keyboard().testModeCount(), 1);
    sim.keyboard().corruptReply(0xB0);
    EXPECT_EQ(CMD_GET_VERSION(false, version), static_cast<std::uint32_t>(LINK_BAD_CHECKSUM));
    sim.keyboard().noAnswer(0xB0, 1);
    EXPECT_EQ(CMD_GET_VERSION(false, version), static_cast<std::uint32_t>(LINK_TIMEOUT));
    sim.failGetFeature(1, 11);
    EXPECT_EQ(CMD_GET_VERSION(false, version), static_cast<std::uint32_t>(LINK_READ_FAILED));
    sim.failSetFeature(1, 1);
    EXPECT_EQ(CMD_TEST_MODE(), static_cast<std::uint32_t>(LINK_SEND_FAILED));
    std::uint8_t kib = 0;
    std::uint16_t value = 0;
    EXPECT_EQ(CMD_ENTER_ISP_BOOT(kib, value), 0u);
    EXPECT_EQ(kib, 4);
    EXPECT_EQ(value, 0x1234);
}

TEST_F(SimLink, LegacyVersionThroughTheLink) {
    auto scenario = builtinScenario("legacy");
    scenario->keyboards[0].appVersion = "V3.07";
    SimBackend& sim = make(*scenario);
    discoverDevices(table, list, -1, workerRunning);
    ASSERT_EQ(table.count, 1u);  // the mi_01 interface fails the capability test
    EXPECT_EQ(table.entries[0].legacy, 1u);
    EXPECT_EQ(table.entries[0].reportLength, 9u);
    ASSERT_TRUE(openLink(table.entries[0].path, Access::Write, &table.entries[0]));
    std::string version;
    EXPECT_EQ(LEGACY_GET_VERSION(version), 0u);
    EXPECT_EQ(version, "V3.07");
    EXPECT_EQ(LEGACY_TEST_MODE(), 0u);
    EXPECT_EQ(sim.keyboard().testModeCount(), 1);
}

TEST_F(SimLink, HandDrivenDownloadLeavesTheFileInFlash) {
    auto scenario = builtinScenario("paged");
    SimBackend& sim = make(*scenario);
    sim.setDeviceEventSink(&events);
    auto& kb = sim.keyboard();
    kb.failWriteAt(0x10100, 242, 2);  // resent twice, then accepted

    // A 128 KiB image with a zero segment at 0x0200 and page 1 mostly empty.
    Bytes image(128 * 1024, 0);
    for (std::size_t i = 0; i < 0x200; ++i) image[i] = static_cast<std::uint8_t>(i * 3 + 1);
    for (std::size_t i = 0x300; i < 0x8000; ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    for (std::size_t i = 0x10100; i < 0x10200; ++i) image[i] = 0xC3;

    discoverDevices(table, list, -1, workerRunning);
    ASSERT_TRUE(openLink(table.entries[0].path, Access::Write, &table.entries[0]));
    ASSERT_EQ(CMD_CHECK_PROFILE("GF"), 0u);
    ASSERT_EQ(CMD_SET_MODE_FLAG(false), 0u);
    ASSERT_EQ(CMD_GOTO_PAGE(0), 241u);
    std::uint8_t kib = 0;
    std::uint16_t value = 0;
    ASSERT_EQ(CMD_ENTER_ISP(kib, value), 0u);
    ASSERT_EQ(kib * 1024u, image.size());
    closeLink();

    std::string isp = events.next(0, 5000);
    ASSERT_NE(isp.find("_0001"), std::string::npos) << isp;
    discoverDevices(table, list, 1, workerRunning);
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.entries[0].path, isp);
    setLinkReportLength(table.entries[0].reportLength);
    ASSERT_TRUE(openLink(isp, Access::ReadWrite, nullptr));
    std::uint8_t record[10] = {};
    ASSERT_EQ(CMD_ISP_CHECK_PROFILE(record), 0u);
    ASSERT_EQ(CMD_CHIP_ERASE(), 0u);
    ASSERT_EQ(CMD_GOTO_PAGE(0), 0u);

    int page = 0;
    for (std::size_t seg = 0; seg < image.size(); seg += 256) {
        bool used = seg < 256 || std::any_of(image.begin() + static_cast<std::ptrdiff_t>(seg),
                                             image.begin() + static_cast<std::ptrdiff_t>(seg + 256),
                                             [](std::uint8_t b) { return b != 0; });
        if (!used) continue;
        while (seg >= static_cast<std::size_t>(page + 1) * 65536) ASSERT_EQ(CMD_GOTO_PAGE(static_cast<std::uint8_t>(++page)), 0u);
        for (std::size_t off = seg; off < seg + 256; off += 64) {
            std::uint32_t r;
            int tries = 0;
            do {
                r = CMD_WRITE_BLOCK(static_cast<std::uint8_t>((off >> 8) & 0xFF), static_cast<std::uint8_t>(off & 0xFF),
                                    image.data() + off, 64);
            } while ((r == 242 || r == LINK_BAD_CHECKSUM) && ++tries <= 3);
            ASSERT_EQ(r, 0u) << off;
        }
    }
    ASSERT_EQ(CMD_RESET(), 0u);
    closeLink();
    ASSERT_TRUE(sim.flushScheduled(5000));
    EXPECT_EQ(events.next(1, 5000), kb.path());  // the application came back

    EXPECT_EQ(kb.flash(), image);
    auto written = kb.written();
    EXPECT_FALSE(written[0x200]);
    EXPECT_FALSE(written[0x8000]);
    EXPECT_TRUE(written[0x10100]);
    EXPECT_EQ(kb.blockWrites().at(0x10100), 1);  // refusals write nothing
    EXPECT_FALSE(kb.inIsp());
    EXPECT_EQ(kb.modeFlagHistory(), std::vector<bool>{false});
    sim.setDeviceEventSink(nullptr);
}
