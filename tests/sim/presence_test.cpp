// Presence on the bus: enumeration, paths, re-enumeration into and out of the
// boot loader with its events, legacy keyboards, discovery faults, libraries.

#include <thread>

#include "host.h"

using namespace simtest;

namespace {

struct Listing {
    std::string path;
    HidAttributes attrs;
    HidCaps caps;
};

std::vector<Listing> enumerate(SimBackend& sim) {
    std::vector<Listing> out;
    Guid g;
    EXPECT_EQ(sim.hidGuid(g), HidStatus::Ok);
    InterfaceSet set = 0;
    if (sim.getClassDevs(g, set) != HidStatus::Ok || set == 0) return out;
    for (int i = 0; i < 50; ++i) {
        if (sim.enumInterface(set, g, i) != HidStatus::Ok) continue;
        Listing l;
        if (sim.interfaceDetail(set, g, i, l.path) != HidStatus::Ok) break;
        HidHandle h;
        if (sim.open(l.path, Access::Write, h) != HidStatus::Ok) continue;
        sim.attributes(h, l.attrs);
        sim.capabilities(h, l.caps);
        sim.close(h);
        out.push_back(l);
    }
    sim.destroyClassDevs(set);
    return out;
}

bool contains(const std::string& s, const char* t) { return s.find(t) != std::string::npos; }

}  // namespace

TEST(SimPaths, WindowsStyleAndNoIspMarkerInAKeyboardPath) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    std::string p = kb.path();
    EXPECT_EQ(p, "\\\\?\\hid#vid_0f39&pid_0641&mi_01#7&2a1c3e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_FALSE(contains(p, "_0000"));
    EXPECT_FALSE(contains(p, "_0001"));
    EXPECT_TRUE(contains(ispPath(0x0F39, 0x0001, 0), "pid_0001"));
    EXPECT_TRUE(contains(ispPath(0x0F39, 0x0000, 0), "_0000"));
    // Each keyboard gets an instance of its own.
    auto& second = sim.addKeyboard({});
    EXPECT_NE(second.path(), p);
}

// Interfaces sharing an interface number are the collections of one USB
// interface: each gets a path of its own and answers with its own caps.
TEST(SimPaths, CollectionsOfOneInterfaceAreNumbered) {
    std::string error;
    auto scenario = parseScenario(
        "keyboard\npid 0x0875\n"
        "interface mi 1 usage-page 0x000C usage 1 length 3 passive\n"
        "interface mi 1 usage 0x0080 length 8\n"
        "interface mi 2 usage 0x0006 length 0 passive\n", error);
    ASSERT_TRUE(scenario) << error;
    SimBackend sim(*scenario);
    auto list = enumerate(sim);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(contains(list[0].path, "&mi_01&col01#"));
    EXPECT_TRUE(contains(list[1].path, "&mi_01&col02#"));
    EXPECT_FALSE(contains(list[2].path, "&col"));
    EXPECT_EQ(list[0].caps.usage, 0x0001);
    EXPECT_EQ(list[1].caps.usage, 0x0080);
    EXPECT_EQ(list[1].caps.featureReportByteLength, 8);
}

TEST(SimEnumeration, TwoKeyboardsBuiltin) {
    auto scenario = builtinScenario("two-keyboards");
    ASSERT_TRUE(scenario);
    SimBackend sim(*scenario);
    auto list = enumerate(sim);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].attrs.pid, 0x0641);
    EXPECT_EQ(list[1].attrs.pid, 0x0001);
    EXPECT_TRUE(contains(list[1].path, "_0001"));
    for (auto& l : list) {
        EXPECT_EQ(l.caps.usage, 0x0080);
        EXPECT_EQ(l.caps.featureReportByteLength, 8);
    }
    EXPECT_TRUE(sim.keyboard(1).inIsp());
}

TEST(SimEnumeration, FilteringDevicesAreListedButSilent) {
    auto scenario = builtinScenario("filtering");
    ASSERT_TRUE(scenario);
    SimBackend sim(*scenario);
    auto list = enumerate(sim);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[1].attrs.vid, 0x1234);
    EXPECT_EQ(list[2].caps.usage, 0x0006);
    EXPECT_EQ(list[3].caps.featureReportByteLength, 9);
    EXPECT_EQ(list[4].attrs.vid, 0x1130);
    Host host(sim, 4);
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);  // a passive device answers nothing
}

TEST(SimReenumeration, SeparateBootLoaderComesAndGoes) {
    auto scenario = builtinScenario("default");
    ASSERT_TRUE(scenario);
    SimBackend sim(*scenario);
    EventLog log;
    sim.setDeviceEventSink(&log);
    auto& kb = sim.keyboard();
    std::string appPath = kb.path();
    Host host(sim);

    ASSERT_EQ(host.status(0xA0), 0);
    // The reply has been read: the keyboard left at once, its handle is dead.
    EXPECT_FALSE(kb.present());
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);
    HidAttributes a;
    EXPECT_EQ(sim.attributes(host.h, a), HidStatus::Failed);
    EXPECT_TRUE(enumerate(sim).empty());

    ASSERT_TRUE(sim.flushScheduled(2000));
    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(EventLog::name(events[0]), appPath);
    EXPECT_EQ(events[1].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(events[1].classGuid, kHidInterfaceClass);
    EXPECT_EQ(events[1].deviceType, DBT_DEVTYP_DEVICEINTERFACE);
    std::string isp = EventLog::name(events[1]);
    EXPECT_TRUE(contains(isp, "vid_0f39&pid_0001"));
    EXPECT_EQ(isp, kb.path());
    EXPECT_TRUE(kb.inIsp());
    EXPECT_EQ(kb.pid(), 0x0001);

    auto list = enumerate(sim);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].attrs.pid, 0x0001);
    EXPECT_EQ(list[0].caps.featureReportByteLength, 8);

    host.openPath(isp);
    EXPECT_EQ(host.status(0xA4), 0);
    EXPECT_EQ(host.status(0xAF), 0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    events = log.snapshot();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(EventLog::name(events[2]), isp);
    EXPECT_EQ(events[3].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(EventLog::name(events[3]), appPath);
    EXPECT_FALSE(kb.inIsp());
    EXPECT_EQ(kb.pid(), 0x0641);
    sim.setDeviceEventSink(nullptr);
}

TEST(SimReenumeration, ModeFlagKeepsTheBootLoaderOnThePath) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    Host host(sim);
    ASSERT_EQ(host.status(0xA9, {1}), 0);
    ASSERT_EQ(host.status(0xA0), 0);
    EXPECT_TRUE(kb.present());
    EXPECT_TRUE(kb.inIsp());
    EXPECT_EQ(sim.pendingEvents(), 0u);
    EXPECT_EQ(host.status(0xA4), 0);
}

TEST(SimReenumeration, WideNamesAndADifferentDevice) {
    SimBackend sim;
    Options o;
    o.wideNames = true;
    sim.setOptions(o);
    KeyboardSpec k;
    k.ispVid = 0x1188;
    k.ispPid = 0x0000;
    auto& kb = sim.addKeyboard(k);
    EventLog log;
    sim.setDeviceEventSink(&log);
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 2u);
    const auto& name = events[1].name;
    ASSERT_GE(name.size(), 4u);
    EXPECT_EQ(name[0], '\\');
    EXPECT_EQ(name[1], 0);  // 16-bit text
    EXPECT_EQ(name[name.size() - 1], 0);
    EXPECT_EQ(name[name.size() - 2], 0);
    EXPECT_EQ(kb.vid(), 0x1188);
    EXPECT_EQ(kb.pid(), 0x0000);
    EXPECT_TRUE(contains(kb.path(), "vid_1188&pid_0000"));
    sim.setDeviceEventSink(nullptr);
}

TEST(SimReenumeration, StartsInIspAndResetsIntoTheApplication) {
    SimBackend sim;
    KeyboardSpec k;
    k.startsInIsp = true;
    auto& kb = sim.addKeyboard(k);
    EXPECT_EQ(kb.pid(), 0x0001);
    Host host(sim);
    // The boot loader answers the ISP entry with the flash size and stays.
    EXPECT_EQ(host.status(0xA0), 0);
    EXPECT_TRUE(kb.present());
    EXPECT_EQ(host.status(0xAF), 0);
    EXPECT_FALSE(kb.present());
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(kb.pid(), 0x0641);
    EXPECT_FALSE(kb.inIsp());
}

TEST(SimReenumeration, SinkMayCallBackIntoTheBackend) {
    SimBackend sim;
    sim.addKeyboard({});
    EventLog log;
    std::size_t seen = 99;
    log.onEvent = [&](const DeviceBroadcast&) { seen = enumerate(sim).size(); };
    sim.setDeviceEventSink(&log);
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(seen, 1u);  // rediscovery from inside the arrival sees the ISP device
    sim.setDeviceEventSink(nullptr);
}

TEST(SimReenumeration, RaisedEventsOfOtherClasses) {
    SimBackend sim;
    EventLog log;
    sim.setDeviceEventSink(&log);
    sim.raiseEvent(DBT_DEVICEARRIVAL, kFailureSignalClass, "\\\\?\\signal", 0);
    sim.raiseEvent(DBT_DEVICEARRIVAL, kUsbDeviceClass, "\\\\?\\usb", 0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    auto events = log.snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].classGuid, kFailureSignalClass);
    EXPECT_EQ(EventLog::name(events[0]), "\\\\?\\signal");
    EXPECT_EQ(events[1].classGuid, kUsbDeviceClass);
    sim.setDeviceEventSink(nullptr);
}

TEST(SimReenumeration, UnplugAndPlugIn) {
    SimBackend sim;
    auto& kb = sim.addKeyboard({});
    Host host(sim);
    kb.unplug();
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);
    kb.plugIn(0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(host.send(frame(0xB0)), HidStatus::Failed);  // an old handle stays dead
    Host again(sim);
    EXPECT_EQ(again.status(0xB0), 0);
}

// Pulling the cable while the keyboard re-enumerates: it does not come back by
// itself, and when plugged in it is the boot loader it was becoming.
TEST(SimReenumeration, UnplugDuringReenumerationCancelsTheReturn) {
    SimBackend sim;
    KeyboardSpec spec;
    spec.reenumerateMs = 600000;
    auto& kb = sim.addKeyboard(spec);
    Host host(sim);
    ASSERT_EQ(host.status(0xA0), 0);
    kb.unplug();
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_FALSE(kb.present());
    kb.plugIn();
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_TRUE(kb.present());
    EXPECT_TRUE(kb.inIsp());
    EXPECT_EQ(kb.pid(), 0x0001);
}

// Two keyboards of one model at two ports, both in their boot loaders at the
// same moment: each boot loader has its own path at its keyboard's port, and
// what is written through it lands in that keyboard only.
TEST(SimPorts, SameModelBootLoadersStayApart) {
    std::string error;
    auto scenario = parseScenario("keyboard a\nport 1-2\nkeyboard b\nport 2-1.4\n", error);
    ASSERT_TRUE(scenario) << error;
    SimBackend sim(*scenario);
    SimKeyboard& a = sim.keyboard(0);
    SimKeyboard& b = sim.keyboard(1);
    const std::string appA = a.path(), appB = b.path();
    EXPECT_NE(appA, appB);
    EXPECT_EQ(sim.portOf(appA), "1-2");
    EXPECT_EQ(sim.portOf(appB), "2-1.4");

    Host hostA(sim, 0), hostB(sim, 1);
    ASSERT_EQ(hostA.status(0xA0), 0);
    ASSERT_EQ(hostB.status(0xA0), 0);
    ASSERT_TRUE(sim.flushScheduled(2000));
    ASSERT_TRUE(a.inIsp() && b.inIsp());
    const std::string ispA = a.path(), ispB = b.path();
    EXPECT_NE(ispA, ispB);
    EXPECT_TRUE(contains(ispA, "pid_0001") && contains(ispB, "pid_0001"));
    EXPECT_EQ(sim.portOf(ispA), "1-2");
    EXPECT_EQ(sim.portOf(ispB), "2-1.4");
    EXPECT_EQ(sim.portOf(appA), "") << "a path that has left has no port";

    hostA.openPath(ispA);
    hostB.openPath(ispB);
    ASSERT_EQ(hostA.status(0xA4), 0);
    ASSERT_EQ(hostB.status(0xA4), 0);
    ASSERT_EQ(hostA.write(0x0000, pattern(32, 1)), 0);
    ASSERT_EQ(hostB.write(0x0000, pattern(32, 2)), 0);
    const Bytes flashA = a.flash(), flashB = b.flash();
    EXPECT_EQ(Bytes(flashA.begin(), flashA.begin() + 32), pattern(32, 1));
    EXPECT_EQ(Bytes(flashB.begin(), flashB.begin() + 32), pattern(32, 2));

    // Re-plugged elsewhere, a comes back as its boot loader with its own path.
    a.unplug();
    a.plugInAt("3-1");
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(a.path(), ispA);
    EXPECT_EQ(sim.portOf(ispA), "3-1");
    EXPECT_EQ(sim.portOf(ispB), "2-1.4");
    EXPECT_EQ(a.port(), "3-1");
}

// A forgotten keyboard's slot serves the next keyboard added: the old one's
// handles stay dead and what it had scheduled never reaches the new one.
TEST(SimPorts, ForgottenSlotIsReusedCleanly) {
    SimBackend sim;
    sim.addKeyboard({});
    KeyboardSpec spec;
    spec.port = "1-5";
    auto& old = sim.addKeyboard(spec);
    Host stale(sim, 1);
    EXPECT_FALSE(sim.forget(1)) << "a present keyboard cannot be forgotten";
    old.unplug();
    old.plugIn(600000);
    ASSERT_TRUE(sim.forget(1));
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(enumerate(sim).size(), 1u) << "the forgotten keyboard came back";

    spec.port = "1-6";
    spec.plugged = false;
    auto& next = sim.addKeyboard(spec, true);
    EXPECT_EQ(next.index(), 1u);
    EXPECT_EQ(sim.keyboardCount(), 2u);
    next.plugIn();
    ASSERT_TRUE(sim.flushScheduled(2000));
    ASSERT_TRUE(next.present());
    EXPECT_EQ(stale.send(frame(0xF0, {1})), HidStatus::Failed);
    EXPECT_EQ(next.testModeCount(), 0);
    EXPECT_EQ(sim.portOf(next.path()), "1-6");
}

TEST(SimLegacy, UnframedReportsAndIspEntry) {
    auto scenario = builtinScenario("legacy");
    ASSERT_TRUE(scenario);
    scenario->keyboards[0].appVersion = "V3.07";
    SimBackend sim(*scenario);
    auto& kb = sim.keyboard();
    auto list = enumerate(sim);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(contains(list[0].path, "mi_00"));
    EXPECT_EQ(list[0].attrs.vid, 0x0404);
    EXPECT_NE(list[0].caps.usage, 0x0080);
    EXPECT_EQ(list[0].caps.featureReportByteLength, 9);
    EXPECT_TRUE(contains(list[1].path, "mi_01"));

    HidHandle h;
    ASSERT_EQ(sim.open(list[0].path, Access::Write, h), HidStatus::Ok);
    auto send = [&](Bytes cmd) {
        Bytes r(9, 0);
        for (std::size_t i = 0; i < cmd.size(); ++i) r[1 + i] = cmd[i];
        return sim.setFeature(h, r.data(), r.size());
    };
    auto read = [&] {
        Bytes b(9, 0);
        EXPECT_EQ(sim.getFeature(h, b.data(), b.size()), HidStatus::Ok);
        return b;
    };
    ASSERT_EQ(send({0xA0, 'V', 'E', 'R'}), HidStatus::Ok);
    EXPECT_EQ(read(), Bytes({0x00, 0xA0, 'V', '3', '.', '0', '7', 0, 0}));
    ASSERT_EQ(send({0xA0, 'T', 'S', 'T'}), HidStatus::Ok);
    ASSERT_EQ(send({0xFF, 0, 0, 0}), HidStatus::Ok);
    ASSERT_EQ(send({0xA0, 'R', 'S', 'T'}), HidStatus::Ok);
    EXPECT_EQ(kb.testModeCount(), 1);
    EXPECT_EQ(kb.factoryDefaultsCount(), 1);
    EXPECT_EQ(kb.resetCount(), 1);
    EXPECT_EQ(read()[1], 0);  // no version after another command
    Bytes framed(9, 0);
    framed[0] = 0x01;
    EXPECT_EQ(sim.setFeature(h, framed.data(), framed.size()), HidStatus::Failed);

    ASSERT_EQ(send({0xA0, 'I', 'S', 'P'}), HidStatus::Ok);
    EXPECT_FALSE(kb.present());
    ASSERT_TRUE(sim.flushScheduled(2000));
    EXPECT_EQ(kb.vid(), 0x0404);
    EXPECT_EQ(kb.pid(), 0x0001);
    list = enumerate(sim);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].caps.featureReportByteLength, 8);
    EXPECT_EQ(list[0].caps.usage, 0x0080);
    Host boot(sim);
    EXPECT_EQ(boot.status(0xA4), 0);  // the boot loader is framed
}

TEST(SimLegacy, MalformedVersionForms) {
    for (auto form : {LegacyVersionForm::Unterminated, LegacyVersionForm::WrongMarker}) {
        auto scenario = builtinScenario("legacy");
        ASSERT_TRUE(scenario);
        scenario->keyboards[0].legacyVersion = form;
        scenario->keyboards[0].appVersion = "AB";
        SimBackend sim(*scenario);
        HidHandle h;
        ASSERT_EQ(sim.open(sim.keyboard().path(), Access::Write, h), HidStatus::Ok);
        Bytes r{0x00, 0xA0, 'V', 'E', 'R', 0, 0, 0, 0};
        ASSERT_EQ(sim.setFeature(h, r.data(), r.size()), HidStatus::Ok);
        Bytes b(9, 0);
        ASSERT_EQ(sim.getFeature(h, b.data(), b.size()), HidStatus::Ok);
        if (form == LegacyVersionForm::WrongMarker) {
            EXPECT_NE(b[1], 0xA0);
        } else {
            EXPECT_EQ(b[1], 0xA0);
            EXPECT_EQ(std::count(b.begin() + 2, b.end(), 0), 0);
        }
    }
}

TEST(SimDiscoveryFaults, GapsDetailOpenAttributesCaps) {
    SimBackend sim;
    for (int i = 0; i < 4; ++i) {
        KeyboardSpec k;
        k.pid = static_cast<std::uint16_t>(0x0700 + i);
        sim.addKeyboard(k);
    }
    FaultSpec f;
    f.kind = FaultSpec::Kind::EnumFails;
    f.index = 1;
    f.times = kAlways;
    ASSERT_TRUE(sim.addFault(f));
    f.kind = FaultSpec::Kind::AttributesFail;
    f.text = "pid_0702";
    ASSERT_TRUE(sim.addFault(f));
    auto list = enumerate(sim);  // the gap at 1 is skipped, not the end
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].attrs.pid, 0x0700);
    EXPECT_EQ(list[1].attrs.pid, 0);  // attributes failed
    EXPECT_EQ(list[2].attrs.pid, 0x0703);

    sim.clearFaults();
    f.kind = FaultSpec::Kind::DetailFails;
    f.index = 2;
    ASSERT_TRUE(sim.addFault(f));
    EXPECT_EQ(enumerate(sim).size(), 2u);

    sim.clearFaults();
    f.kind = FaultSpec::Kind::OpenFails;
    f.text = "pid_0700";
    f.times = 1;
    ASSERT_TRUE(sim.addFault(f));
    f.kind = FaultSpec::Kind::CapsFail;
    f.text = "pid_0701";
    f.times = kAlways;
    ASSERT_TRUE(sim.addFault(f));
    list = enumerate(sim);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].attrs.pid, 0x0701);
    EXPECT_EQ(list[0].caps.featureReportByteLength, 0);
    EXPECT_EQ(enumerate(sim).size(), 4u);  // the open failed once only
}

TEST(SimDiscoveryFaults, MissingEntriesNullSetAndLibraries) {
    SimBackend sim;
    sim.addKeyboard({});
    for (Entry e : {Entry::HidGuid, Entry::GetClassDevs, Entry::EnumInterface, Entry::InterfaceDetail,
                    Entry::Attributes, Entry::Capabilities, Entry::SetFeature, Entry::GetFeature}) {
        FaultSpec f;
        f.kind = FaultSpec::Kind::Missing;
        f.entry = e;
        sim.clearFaults();
        ASSERT_TRUE(sim.addFault(f));
        Guid g = kHidInterfaceClass;
        InterfaceSet set = 0;
        std::string path;
        HidHandle h = kNoHandle;
        ASSERT_EQ(sim.open(sim.keyboard().path(), Access::Write, h), HidStatus::Ok);
        HidAttributes a;
        HidCaps c;
        Bytes r(8, 0), b(9, 0);
        r[0] = b[0] = 1;
        HidStatus results[] = {
            sim.hidGuid(g), sim.getClassDevs(g, set), sim.enumInterface(set, g, 0),
            sim.interfaceDetail(set, g, 0, path), sim.attributes(h, a), sim.capabilities(h, c),
            sim.setFeature(h, r.data(), r.size()), sim.getFeature(h, b.data(), b.size())};
        int missing = 0;
        for (auto s : results) missing += s == HidStatus::Missing;
        EXPECT_EQ(missing, 1) << static_cast<int>(e);
        sim.close(h);
    }
    sim.clearFaults();
    FaultSpec n;
    n.kind = FaultSpec::Kind::NullSet;
    sim.addFault(n);
    InterfaceSet set = 7;
    EXPECT_EQ(sim.getClassDevs(kHidInterfaceClass, set), HidStatus::Ok);
    EXPECT_EQ(set, 0);

    n.kind = FaultSpec::Kind::HidLibraryFails;
    sim.addFault(n);
    EXPECT_FALSE(sim.loadHidLibrary());
    EXPECT_TRUE(sim.loadSetupLibrary());
    EXPECT_FALSE(sim.hidLibraryLoaded());
    EXPECT_TRUE(sim.setupLibraryLoaded());

    sim.releaseLibraries();
    sim.releaseLibraries();  // idempotent
    Guid g;
    EXPECT_EQ(sim.hidGuid(g), HidStatus::Missing);
    EXPECT_EQ(sim.getClassDevs(kHidInterfaceClass, set), HidStatus::Missing);
    HidHandle h;
    EXPECT_NE(sim.open(sim.keyboard().path(), Access::Write, h), HidStatus::Ok);
    EXPECT_FALSE(sim.setupLibraryLoaded());
}

TEST(SimDiscoveryFaults, StrictLibrariesWaitForTheLoad) {
    SimBackend sim;
    Options o;
    o.strictLibraries = true;
    sim.setOptions(o);
    Guid g;
    InterfaceSet set;
    EXPECT_EQ(sim.hidGuid(g), HidStatus::Missing);
    ASSERT_TRUE(sim.loadHidLibrary());
    EXPECT_EQ(sim.hidGuid(g), HidStatus::Ok);
    EXPECT_EQ(sim.getClassDevs(g, set), HidStatus::Missing);
    ASSERT_TRUE(sim.loadSetupLibrary());
    EXPECT_EQ(sim.getClassDevs(g, set), HidStatus::Ok);
}
