#include <vector>

#include "link/interface_sets.h"
#include "link_fixture.h"

namespace vantel::test {
namespace {

class ListStub : public DeviceList {
public:
    void resetContent() override {
        items.clear();
        selection = -1;
        ++resets;
    }
    void addString(const std::string& text) override { items.push_back(text); }
    void setCurSel(int index) override { selection = index; }
    int getCurSel() const override { return selection; }
    int getCount() const override { return static_cast<int>(items.size()); }
    std::string getItemText(int index) const override { return items.at(static_cast<std::size_t>(index)); }

    std::vector<std::string> items;
    int selection = -1;
    int resets = 0;
};

std::string hidPath(std::uint16_t vid, std::uint16_t pid, const char* mi = "mi_01") {
    char text[128];
    std::snprintf(text, sizeof text, "\\\\?\\hid#vid_%04x&pid_%04x&%s#7&1f2e&0&0000#{4d1e55b2}", vid, pid, mi);
    return text;
}

class Discovery : public LinkTest {
protected:
    void add(std::uint16_t vid, std::uint16_t pid, std::uint16_t usage = 0x80, std::uint16_t length = 8,
             const char* mi = "mi_01") {
        ScriptedInterface i;
        i.vid = vid;
        i.pid = pid;
        i.usage = usage;
        i.featureLength = length;
        i.path = hidPath(vid, pid, mi) + std::to_string(hid.interfaces.size());
        hid.interfaces.push_back(i);
    }
    void discover(std::int32_t filter = -1) { discoverDevices(table, list, filter, workerRunning); }

    DeviceTable table;
    ListStub list;
    std::atomic<bool> workerRunning{false};
};

TEST_F(Discovery, ListsKeyboardsByModelNameInInterfaceOrder) {
    add(0x0F39, 0x0641);
    add(0x0F39, 0x0001);
    discover();
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-431", "ISP Mode"}));
    EXPECT_EQ(list.selection, 0);
    ASSERT_EQ(table.count, 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(table.entries[static_cast<std::size_t>(i)].reportLength, 8u);
        EXPECT_EQ(table.entries[static_cast<std::size_t>(i)].legacy, 0u);
    }
    EXPECT_EQ(table.entries[0].path, hid.interfaces[0].path);
    EXPECT_EQ(table.entries[1].pid, 1u);
    EXPECT_EQ(hid.openCount(), 0u);  // every interface opened is closed again
    EXPECT_TRUE(hid.destroyed);
}

TEST_F(Discovery, LegacyInterfaceZeroIsListedWhateverItsCaps) {
    add(0x0404, 0x0322, 0x0001, 9, "mi_00");
    add(0x0404, 0x0322, 0x0002, 8, "mi_01");  // no "mi_00" and no protocol usage: skipped
    add(0x0404, 0x0322, 0x0080, 8, "mi_02");  // passes the capability test
    discover();
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(table.entries[0].legacy, 1u);
    EXPECT_EQ(table.entries[0].reportLength, 9u);
    EXPECT_EQ(table.entries[1].reportLength, 8u);
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-401", "RX-401"}));
}

TEST_F(Discovery, FilteringAndFallbackNames) {
    add(0x1130, 0x0001);
    add(0x0D22, 0x1234);
    add(0x046D, 0xC52B);              // unsupported vendor
    add(0x0F39, 0x0641, 0x0080, 9);   // protocol usage but a 9-byte report
    add(0x0F39, 0x0641, 0x0006, 8);   // 8 bytes but another usage
    discover();
    EXPECT_EQ(list.items, (std::vector<std::string>{"VID: 0x1130, PID: 0x0001", "VID: 0x0D22, PID: 0x1234"}));
}

TEST_F(Discovery, ProductFilterKeepsTheFirstMatchAndStops) {
    add(0x0F39, 0x0641);
    add(0x0F39, 0x0001);
    add(0x0F39, 0x0001);
    discover(1);
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.entries[0].path, hid.interfaces[1].path);
    EXPECT_EQ(hid.enumCalls, 2);

    discover(0);
    EXPECT_EQ(table.count, 0u);
    EXPECT_TRUE(list.items.empty());
    EXPECT_EQ(list.selection, -1);
}

TEST_F(Discovery, NothingChangesWhileTheWorkerRuns) {
    add(0x0F39, 0x0641);
    discover();
    open();
    hid.interfaces.clear();
    workerRunning = true;
    discover();
    EXPECT_EQ(table.count, 1u);
    EXPECT_EQ(list.items.size(), 1u);
    EXPECT_EQ(list.selection, 0);
    EXPECT_NE(linkState().handle, LINK_CLOSED);  // the worker's link stays open
}

TEST_F(Discovery, DiscoveryClosesAnOpenLink) {
    add(0x0F39, 0x0641);
    open();
    discover();
    EXPECT_EQ(linkState().handle, LINK_CLOSED);
}

TEST_F(Discovery, GapsAreSkippedButADetailFailureEndsTheWalk) {
    add(0x0F39, 0x0641);
    add(0x0F39, 0x0605);
    add(0x0F39, 0x0611);
    add(0x0F39, 0x0301);
    hid.interfaces[1].enumFails = true;
    hid.interfaces[3].detailFails = true;
    discover();
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-431", "RX-433"}));
    EXPECT_TRUE(hid.destroyed);
}

TEST_F(Discovery, UnreadableInterfacesAreSkipped) {
    add(0x0F39, 0x0641);
    add(0x0F39, 0x0605);
    add(0x0F39, 0x0611);
    add(0x0F39, 0x0301);
    hid.interfaces[0].openFails = true;
    hid.interfaces[1].attributesFail = true;
    hid.interfaces[2].capsFail = true;
    discover();
    EXPECT_EQ(list.items, (std::vector<std::string>{"RX-434"}));
    EXPECT_EQ(hid.openCount(), 0u);
}

TEST_F(Discovery, MissingEntryPointsEndTheWalkQuietly) {
    add(0x0F39, 0x0641);
    add(0x0F39, 0x0605);
    hid.capsMissing = true;
    discover();
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(hid.openCount(), 0u);
    hid.capsMissing = false;

    for (auto breakIt : {+[](ScriptedHid& h) { h.enumMissing = true; },
                         +[](ScriptedHid& h) { h.detailMissing = true; },
                         +[](ScriptedHid& h) { h.guidStatus = HidStatus::Missing; },
                         +[](ScriptedHid& h) { h.classDevsStatus = HidStatus::Missing; },
                         +[](ScriptedHid& h) { h.nullSet = true; },
                         +[](ScriptedHid& h) { h.hidLoaded = false; },
                         +[](ScriptedHid& h) { h.setupLoaded = false; }}) {
        ScriptedHid fresh;
        fresh.interfaces = hid.interfaces;
        breakIt(fresh);
        setLinkBackend(&fresh);
        discover();
        EXPECT_EQ(table.count, 0u);
        EXPECT_TRUE(list.items.empty());
        setLinkBackend(&hid);
    }
}

TEST_F(Discovery, SeventeenKeyboardsKeepTableAndListConsistent) {
    for (int i = 0; i < 17; ++i) add(0x0F39, 0x0641);
    discover();
    EXPECT_EQ(table.count, 16u);
    EXPECT_EQ(list.items.size(), 16u);
    EXPECT_EQ(hid.openCount(), 0u);
}

TEST_F(Discovery, AcceptedInterfaceSetsTheLinkReportLength) {
    add(0x0404, 0x0322, 0x0001, 9, "mi_00");
    discover();
    EXPECT_EQ(linkState().reportLength, 9u);
}

TEST(ModelName, TableAndRules) {
    EXPECT_EQ(modelName(0x0F39, 0x0641), "RX-431");
    EXPECT_EQ(modelName(0x0404, 0x0343), "RX-402");
    EXPECT_EQ(modelName(0x24F0, 0x0140), "RX-438");
    EXPECT_EQ(modelName(0x1188, 0x0000), "ISP Mode");
    EXPECT_EQ(modelName(0x046A, 0x0001), "ISP Mode");
    EXPECT_EQ(modelName(0x1130, 0x0000), "VID: 0x1130, PID: 0x0000");
    EXPECT_EQ(modelName(0x1130, 0x9177), "RX-436");
    EXPECT_EQ(modelName(0x058F, 0xABCD), "VID: 0x058F, PID: 0xABCD");
    EXPECT_EQ(modelName(0x046D, 0x0001), "");
}

// A set is a snapshot that outlives other sets and answers nothing once destroyed.
TEST(InterfaceSetTable, LookupsOutsideASetFailAndDestroyIsOnce) {
    InterfaceSets sets;
    const InterfaceSet a = sets.create({"p0", "p1"});
    const InterfaceSet b = sets.create({});
    EXPECT_NE(a, 0);
    EXPECT_NE(b, 0);
    EXPECT_NE(a, b);
    ASSERT_NE(sets.path(a, 1), nullptr);
    EXPECT_EQ(*sets.path(a, 1), "p1");
    EXPECT_EQ(sets.path(a, 2), nullptr);
    EXPECT_EQ(sets.path(a, -1), nullptr);
    EXPECT_EQ(sets.path(b, 0), nullptr);
    EXPECT_EQ(sets.path(0, 0), nullptr);

    EXPECT_TRUE(sets.destroy(b));
    EXPECT_FALSE(sets.destroy(b));
    EXPECT_FALSE(sets.destroy(0));
    ASSERT_NE(sets.path(a, 0), nullptr);
    EXPECT_EQ(*sets.path(a, 0), "p0");
    EXPECT_NE(sets.create({"p2"}), b);  // an id is never handed out twice
    sets.clear();
    EXPECT_EQ(sets.path(a, 0), nullptr);
}

}  // namespace
}  // namespace vantel::test
