#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "link/discovery.h"

namespace vantel {
namespace {

using testing_linux::FakeHidrawIo;
using testing_linux::FakeSysfs;
using Bytes = std::vector<std::uint8_t>;

const std::string kGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

// Keyboard collection (input ID 2) and the vendor collection 0x0080 with an
// 8-byte feature report of ID 1.
const Bytes kTwoCollections = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x07, 0xB1, 0x02, 0xC0,
};
// One vendor collection, no report IDs: 8-byte feature reports with ID 0.
const Bytes kOneCollection = {
    0x06, 0x00, 0xFF, 0x09, 0x80, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x07, 0xB1, 0x02, 0xC0,
};

class RecordingSink final : public DeviceEventSink {
public:
    void deviceChanged(const DeviceBroadcast& b) override { received.push_back(b); }
    std::vector<std::string> names(std::uint32_t event) const {
        std::vector<std::string> out;
        for (const auto& b : received) {
            if (b.event != event) continue;
            std::string n(b.name.begin(), b.name.end());
            EXPECT_EQ(n.back(), '\0');
            n.pop_back();
            out.push_back(n);
        }
        return out;
    }
    std::vector<DeviceBroadcast> received;
};

class HidrawBackendTest : public ::testing::Test {
protected:
    HidrawBackend& backend() {
        if (!backend_) {
            backend_ = std::make_unique<HidrawBackend>(testing_linux::fakeConfig(sysfs, io));
            EXPECT_TRUE(backend_->loadHidLibrary());
            EXPECT_TRUE(backend_->loadSetupLibrary());
        }
        return *backend_;
    }

    std::vector<std::string> listPaths() {
        std::vector<std::string> paths;
        InterfaceSet set = 0;
        EXPECT_EQ(backend().getClassDevs(kHidInterfaceClass, set), HidStatus::Ok);
        EXPECT_NE(set, 0);
        for (int i = 0; i < MAX_INTERFACES; ++i) {
            std::string path;
            if (backend().enumInterface(set, kHidInterfaceClass, i) != HidStatus::Ok) {
                EXPECT_EQ(backend().interfaceDetail(set, kHidInterfaceClass, i, path), HidStatus::Failed);
                continue;
            }
            EXPECT_EQ(backend().interfaceDetail(set, kHidInterfaceClass, i, path), HidStatus::Ok);
            paths.push_back(path);
        }
        EXPECT_EQ(backend().destroyClassDevs(set), HidStatus::Ok);
        return paths;
    }

    // A node in sysfs and behind the fake I/O, with matching identity.
    void plugUsb(unsigned n, std::uint16_t vid, std::uint16_t pid, int mi, const Bytes& d) {
        testing_linux::plugUsb(sysfs, io, n, vid, pid, mi, d);
    }

    HidHandle openOk(const std::string& path, Access access = Access::ReadWrite) {
        HidHandle h = kNoHandle;
        EXPECT_EQ(backend().open(path, access, h), HidStatus::Ok) << path;
        return h;
    }

    FakeSysfs sysfs;
    FakeHidrawIo io;
    std::unique_ptr<HidrawBackend> backend_;
};

TEST_F(HidrawBackendTest, InterfacesArePathsShapedAsOnWindows) {
    sysfs.addUsb(10, 0x0F39, 0x0641, 1, kTwoCollections);
    sysfs.addUsb(2, 0x0404, 0x0322, 0, kOneCollection);
    sysfs.addVirtual(3, 0x0F39, 0x0001, kOneCollection);
    sysfs.addUsb(4, 0x24F0, 0x0140, 0, {0x09, 0x80, 0xA1, 0x01});  // unparsable: no interface

    const auto paths = listPaths();
    // By hidraw number; one interface per top-level collection.
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], "\\\\?\\hid#vid_0404&pid_0322&mi_00#hidraw2#" + kGuid);
    EXPECT_EQ(paths[1], "\\\\?\\hid#vid_0f39&pid_0001#hidraw3#" + kGuid);
    EXPECT_EQ(paths[2], "\\\\?\\hid#vid_0f39&pid_0641&mi_01&col01#hidraw10#" + kGuid);
    EXPECT_EQ(paths[3], "\\\\?\\hid#vid_0f39&pid_0641&mi_01&col02#hidraw10#" + kGuid);
    // What discovery and the arrival handler look for.
    EXPECT_NE(paths[0].find("mi_00"), std::string::npos);
    EXPECT_NE(paths[1].find("_0001"), std::string::npos);
    for (const auto& p : {paths[0], paths[2], paths[3]}) {
        EXPECT_EQ(p.find("_0000"), std::string::npos) << p;
        EXPECT_EQ(p.find("_0001"), std::string::npos) << p;
    }
}

TEST_F(HidrawBackendTest, EachInterfaceKnowsItsNodeUsbPortAndInterface) {
    plugUsb(3, 0x0F39, 0x0641, 1, kTwoCollections);
    sysfs.addUsb(4, 0x0F39, 0x0001, 0, kOneCollection, true, "3-1.4.2");
    sysfs.addVirtual(5, 0x0F39, 0x0641, kOneCollection);
    const auto paths = listPaths();
    ASSERT_EQ(paths.size(), 4u);
    struct Row {
        std::string node, port;
        int mi;
    };
    const Row rows[] = {{"hidraw3", "1-3", 1}, {"hidraw3", "1-3", 1}, {"hidraw4", "3-1.4.2", 0}, {"hidraw5", "", -1}};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto record = backend().describe(paths[i]);
        ASSERT_TRUE(record) << paths[i];
        EXPECT_EQ(record->devnode, sysfs.devRoot() + "/" + rows[i].node);
        EXPECT_EQ(record->port, rows[i].port) << paths[i];
        EXPECT_EQ(record->interfaceNumber, rows[i].mi);
    }
    EXPECT_FALSE(backend().describe(sysfs.devRoot() + "/hidraw3"));

    for (const char* name : {"1-2", "1-2.3", "12-10.4.1"}) EXPECT_TRUE(linuxhid::isUsbPortName(name)) << name;
    for (const char* name : {"usb1", "1-", "-2", "1-2.", "1-.2", "1-2..3", "1-2:1.0", "a-1"})
        EXPECT_FALSE(linuxhid::isUsbPortName(name)) << name;
}

TEST_F(HidrawBackendTest, OpensRefusedByTheSystemAreRememberedUntilTheNextListing) {
    plugUsb(2, 0x0F39, 0x0641, 1, kOneCollection);
    plugUsb(6, 0x0F39, 0x0825, 0, kOneCollection);
    io.node(sysfs.devRoot() + "/hidraw2").openError = EACCES;
    const auto paths = listPaths();
    HidHandle h = kNoHandle;
    EXPECT_EQ(backend().open(paths[0], Access::Write, h), HidStatus::Failed);
    openOk(paths[1]);
    auto failures = backend().openFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].error, EACCES);
    EXPECT_EQ(failures[0].record.port, "1-2");
    EXPECT_EQ(failures[0].record.pid, 0x0641);

    io.node(sysfs.devRoot() + "/hidraw2").openError = 0;
    listPaths();
    EXPECT_TRUE(backend().openFailures().empty());
}

TEST_F(HidrawBackendTest, IdentityComesFromTheHidDeviceOrTheUsbDevice) {
    sysfs.addUsb(0, 0x0D22, 0x0B70, 2, kOneCollection, /*hidId=*/false);
    sysfs.addUsb(1, 0x8087, 0xFFFE, 0, kOneCollection);
    const auto paths = listPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0].find("vid_0d22&pid_0b70&mi_02#"), std::string::npos) << paths[0];
    EXPECT_NE(paths[1].find("vid_8087&pid_fffe&mi_00#"), std::string::npos) << paths[1];
}

TEST_F(HidrawBackendTest, TheWalkFailsPastTheEndAndEverythingIsMissingAfterRelease) {
    plugUsb(0, 0x0F39, 0x0641, 0, kTwoCollections);
    InterfaceSet set = 0;
    ASSERT_EQ(backend().getClassDevs(kHidInterfaceClass, set), HidStatus::Ok);
    EXPECT_EQ(backend().enumInterface(set, kHidInterfaceClass, 1), HidStatus::Ok);
    EXPECT_EQ(backend().enumInterface(set, kHidInterfaceClass, 2), HidStatus::Failed);
    EXPECT_EQ(backend().enumInterface(set, kHidInterfaceClass, -1), HidStatus::Failed);
    EXPECT_EQ(backend().enumInterface(set + 1, kHidInterfaceClass, 0), HidStatus::Failed);

    // The snapshot does not change when the device leaves.
    sysfs.remove(0);
    std::string path;
    EXPECT_EQ(backend().interfaceDetail(set, kHidInterfaceClass, 1, path), HidStatus::Ok);

    // Another class lists nothing.
    InterfaceSet other = 0;
    ASSERT_EQ(backend().getClassDevs(kUsbDeviceClass, other), HidStatus::Ok);
    EXPECT_EQ(backend().enumInterface(other, kUsbDeviceClass, 0), HidStatus::Failed);

    const HidHandle h = openOk(path);  // the node is still behind the fake I/O
    backend().releaseLibraries();
    backend().releaseLibraries();
    Guid g;
    HidAttributes a;
    HidCaps c;
    std::uint8_t r[9] = {1};
    EXPECT_FALSE(backend().hidLibraryLoaded());
    EXPECT_FALSE(backend().setupLibraryLoaded());
    EXPECT_EQ(backend().hidGuid(g), HidStatus::Missing);
    EXPECT_EQ(backend().getClassDevs(kHidInterfaceClass, set), HidStatus::Missing);
    EXPECT_EQ(backend().enumInterface(set, kHidInterfaceClass, 0), HidStatus::Missing);
    EXPECT_EQ(backend().interfaceDetail(set, kHidInterfaceClass, 0, path), HidStatus::Missing);
    EXPECT_EQ(backend().destroyClassDevs(set), HidStatus::Missing);
    EXPECT_EQ(backend().attributes(h, a), HidStatus::Missing);
    EXPECT_EQ(backend().capabilities(h, c), HidStatus::Missing);
    EXPECT_EQ(backend().setFeature(h, r, 8), HidStatus::Missing);
    EXPECT_EQ(backend().getFeature(h, r, 9), HidStatus::Missing);
    EXPECT_TRUE(io.transfers().empty());
    backend().close(h);
    EXPECT_EQ(io.openCount(), 0u);
}

TEST_F(HidrawBackendTest, OpenMapsThePathToItsNodeWithTheAccessAsked) {
    plugUsb(7, 0x0F39, 0x0641, 1, kTwoCollections);
    const auto paths = listPaths();
    ASSERT_EQ(paths.size(), 2u);

    HidHandle keyboard = openOk(paths[0], Access::Write);
    HidHandle vendor = openOk(paths[1], Access::ReadWrite);
    const auto flags = io.openFlags();
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(flags[0] & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(flags[1] & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(flags[0] & O_CLOEXEC);
    EXPECT_NE(keyboard, vendor);

    HidCaps caps;
    ASSERT_EQ(backend().capabilities(keyboard, caps), HidStatus::Ok);
    EXPECT_EQ(caps.usage, 0x0006);
    EXPECT_EQ(caps.featureReportByteLength, 0);
    ASSERT_EQ(backend().capabilities(vendor, caps), HidStatus::Ok);
    EXPECT_EQ(caps.usagePage, 0xFF00);
    EXPECT_EQ(caps.usage, 0x0080);
    EXPECT_EQ(caps.featureReportByteLength, 8);
    EXPECT_EQ(caps.inputReportByteLength, 0);

    HidAttributes attributes;
    ASSERT_EQ(backend().attributes(vendor, attributes), HidStatus::Ok);
    EXPECT_EQ(attributes.vid, 0x0F39);
    EXPECT_EQ(attributes.pid, 0x0641);

    backend().close(keyboard);
    backend().close(vendor);
    backend().close(vendor);  // twice: nothing
    EXPECT_EQ(io.openCount(), 0u);
    // A closed handle stays dead; it is never handed out again.
    EXPECT_EQ(backend().capabilities(vendor, caps), HidStatus::Failed);
    EXPECT_NE(openOk(paths[1]), vendor);
}

TEST_F(HidrawBackendTest, OpenRefusesPathsThatNoLongerNameTheirDevice) {
    plugUsb(1, 0x0F39, 0x0641, 0, kOneCollection);
    const auto paths = listPaths();
    ASSERT_EQ(paths.size(), 1u);
    HidHandle h = kNoHandle;

    // hidraw1 now belongs to another device: the recorded path is stale.
    io.node(sysfs.devRoot() + "/hidraw1").product = 0x0001;
    EXPECT_EQ(backend().open(paths[0], Access::Write, h), HidStatus::Failed);
    EXPECT_EQ(io.openCount(), 0u);

    // Unknown paths and paths of nodes that never existed.
    EXPECT_EQ(backend().open("\\\\?\\hid#vid_0f39&pid_0641#hidraw9#" + kGuid, Access::Write, h),
              HidStatus::Failed);
    EXPECT_EQ(backend().open("\\\\?\\hid#garbage", Access::Write, h), HidStatus::Failed);
    EXPECT_EQ(backend().open(sysfs.devRoot() + "/hidraw5", Access::Write, h), HidStatus::Failed);
}

TEST_F(HidrawBackendTest, APathOfADeviceThatLeftStopsOpening) {
    plugUsb(1, 0x0F39, 0x0641, 0, kOneCollection);
    const auto paths = listPaths();
    ASSERT_EQ(paths.size(), 1u);
    sysfs.remove(1);  // the fake node stays openable: only the listing knows it left
    EXPECT_TRUE(listPaths().empty());
    HidHandle h = kNoHandle;
    EXPECT_EQ(backend().open(paths[0], Access::Write, h), HidStatus::Failed);
}

TEST_F(HidrawBackendTest, PathsNotYetListedResolveThroughSysfs) {
    // The worker may reopen an arrival's path that this instance never listed.
    plugUsb(4, 0x0F39, 0x0001, 0, kTwoCollections);
    HidHandle h = openOk("\\\\?\\hid#vid_0f39&pid_0001&mi_00&col02#hidraw4#" + kGuid);
    HidCaps caps;
    ASSERT_EQ(backend().capabilities(h, caps), HidStatus::Ok);
    EXPECT_EQ(caps.featureReportByteLength, 8);
}

TEST_F(HidrawBackendTest, APlainDeviceNodeTakesItsFirstCollectionFromTheKernel) {
    plugUsb(3, 0x0404, 0x0322, 0, kOneCollection);
    HidHandle h = openOk(sysfs.devRoot() + "/hidraw3");
    HidCaps caps;
    ASSERT_EQ(backend().capabilities(h, caps), HidStatus::Ok);
    EXPECT_EQ(caps.usage, 0x0080);
    EXPECT_EQ(caps.featureReportByteLength, 8);
}

TEST_F(HidrawBackendTest, FeatureReportsAreCheckedAsWindowsChecksThem) {
    plugUsb(0, 0x0F39, 0x0641, 0, kTwoCollections);
    const auto paths = listPaths();
    HidHandle keyboard = openOk(paths[0]);
    HidHandle vendor = openOk(paths[1]);

    std::uint8_t report[12] = {1, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(backend().setFeature(vendor, report, 8), HidStatus::Ok);
    // Longer: cut to the report length. Shorter, another ID, another collection: refused.
    EXPECT_EQ(backend().setFeature(vendor, report, sizeof report), HidStatus::Ok);
    EXPECT_EQ(backend().setFeature(vendor, report, 7), HidStatus::Failed);
    report[0] = 2;
    EXPECT_EQ(backend().setFeature(vendor, report, 8), HidStatus::Failed);
    report[0] = 1;
    EXPECT_EQ(backend().setFeature(keyboard, report, 8), HidStatus::Failed);
    EXPECT_EQ(backend().setFeature(vendor, nullptr, 8), HidStatus::Failed);

    auto sent = io.transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].set);
    EXPECT_EQ(sent[0].length, 8u);
    EXPECT_EQ(sent[0].bytes, (Bytes{1, 0xEA, 0x03, 0xF0, 0x01, 0x18, 0, 0}));
    EXPECT_EQ(sent[1].length, 8u);

    // A read of R+1 bytes goes through whole; the bytes not returned stay as they were.
    io.node(sysfs.devRoot() + "/hidraw0").featureReply = {0xED, 0x03, 0xF0, 0x00, 0x1E, 0, 0, 0};
    std::uint8_t block[9] = {1, 0, 0, 0, 0, 0, 0, 0, 0x77};
    EXPECT_EQ(backend().getFeature(vendor, block, 9), HidStatus::Ok);
    sent = io.transfers();
    EXPECT_FALSE(sent.back().set);
    EXPECT_EQ(sent.back().length, 9u);
    EXPECT_EQ(Bytes(block, block + 9), (Bytes{0xED, 0x03, 0xF0, 0x00, 0x1E, 0, 0, 0, 0x77}));
    std::uint8_t shortBlock[7] = {1};
    EXPECT_EQ(backend().getFeature(vendor, shortBlock, 7), HidStatus::Failed);
    block[0] = 3;
    EXPECT_EQ(backend().getFeature(vendor, block, 9), HidStatus::Failed);
    EXPECT_EQ(io.transfers().size(), 3u);
}

TEST_F(HidrawBackendTest, InterruptedTransfersAreRetriedAndOtherErrorsFailTheCall) {
    plugUsb(0, 0x0404, 0x0322, 0, kOneCollection);
    HidHandle h = openOk(listPaths().at(0));
    auto& node = io.node(sysfs.devRoot() + "/hidraw0");
    node.featureReply = {0, 0xA0, 'V', '1', 0, 0, 0, 0};

    std::uint8_t buffer[8] = {0};
    node.failures = {EINTR, EINTR, 0};
    EXPECT_EQ(backend().getFeature(h, buffer, 8), HidStatus::Ok);
    EXPECT_EQ(io.transfers().size(), 3u);
    EXPECT_EQ(buffer[1], 0xA0);

    for (int error : {ENODEV, EPIPE, ETIMEDOUT, EIO, EPROTO}) {
        node.failures = {error};
        EXPECT_EQ(backend().getFeature(h, buffer, 8), HidStatus::Failed) << error;
        node.failures = {EINTR, error};
        EXPECT_EQ(backend().setFeature(h, buffer, 8), HidStatus::Failed) << error;
    }
    // The call after a failure is a call of its own.
    EXPECT_EQ(backend().setFeature(h, buffer, 8), HidStatus::Ok);
}

TEST_F(HidrawBackendTest, ArrivalsAndRemovalsCarryTheInterfacePaths) {
    RecordingSink sink;
    backend().setDeviceEventSink(&sink);
    EXPECT_EQ(backend().activeHotplugSource(), HotplugSource::None);

    plugUsb(5, 0x0F39, 0x0001, 0, kTwoCollections);
    backend().handleUevent({"add", "hidraw5"});
    const auto arrived = sink.names(DBT_DEVICEARRIVAL);
    ASSERT_EQ(arrived.size(), 2u);
    EXPECT_EQ(arrived[0], "\\\\?\\hid#vid_0f39&pid_0001&mi_00&col01#hidraw5#" + kGuid);
    EXPECT_EQ(arrived[1], "\\\\?\\hid#vid_0f39&pid_0001&mi_00&col02#hidraw5#" + kGuid);
    for (const auto& b : sink.received) {
        EXPECT_EQ(b.deviceType, DBT_DEVTYP_DEVICEINTERFACE);
        EXPECT_EQ(b.classGuid, kHidInterfaceClass);
    }
    // The announced path opens at once.
    HidHandle h = openOk(arrived[1]);
    backend().close(h);

    // At removal sysfs has nothing left to read: the names come from the arrival.
    sysfs.remove(5);
    backend().handleUevent({"remove", "hidraw5"});
    EXPECT_EQ(sink.names(DBT_DEVICEREMOVECOMPLETE), arrived);

    // The number comes back with another device: its own identity is announced.
    plugUsb(5, 0x0F39, 0x0641, 0, kOneCollection);
    backend().handleUevent({"change", "hidraw5"});
    backend().handleUevent({"add", "hidraw5"});
    backend().handleUevent({"add", "hidraw6"});  // gone before it could be read
    ASSERT_EQ(sink.names(DBT_DEVICEARRIVAL).size(), 3u);
    EXPECT_EQ(sink.names(DBT_DEVICEARRIVAL)[2], "\\\\?\\hid#vid_0f39&pid_0641&mi_00#hidraw5#" + kGuid);
}

TEST_F(HidrawBackendTest, RemovalOfANodeListedBeforeTheMonitorStarted) {
    plugUsb(2, 0x0F39, 0x0641, 1, kTwoCollections);
    const auto paths = listPaths();
    RecordingSink sink;
    backend().setDeviceEventSink(&sink);
    sysfs.remove(2);
    backend().handleUevent({"remove", "hidraw2"});
    EXPECT_EQ(sink.names(DBT_DEVICEREMOVECOMPLETE), paths);

    // A node never seen at all still announces that something left.
    backend().handleUevent({"remove", "hidraw9"});
    ASSERT_EQ(sink.names(DBT_DEVICEREMOVECOMPLETE).size(), 3u);
    EXPECT_EQ(sink.names(DBT_DEVICEREMOVECOMPLETE)[2], "\\\\?\\hid#hidraw9#" + kGuid);

    backend().setDeviceEventSink(nullptr);
    backend().handleUevent({"remove", "hidraw2"});
    EXPECT_EQ(sink.received.size(), 3u);
}

}  // namespace
}  // namespace vantel

namespace vantel {
namespace {

// The monitor thread itself: started by a sink once the setup library is
// loaded, stopped by taking the sink away or by releasing the libraries.
TEST(HidrawMonitor, StartsWithASinkAndStopsOnReleaseOrWithoutOne) {
    testing_linux::FakeSysfs sysfs;
    HidrawConfig config;
    config.sysfsRoot = sysfs.root();
    config.devRoot = sysfs.devRoot();
    config.hotplug = HotplugSource::Kernel;
    HidrawBackend backend(config);
    RecordingSink sink;

    backend.setDeviceEventSink(&sink);
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::None);  // nothing loaded yet
    ASSERT_TRUE(backend.loadSetupLibrary());
    if (backend.activeHotplugSource() == HotplugSource::None)
        GTEST_SKIP() << "no uevent socket in this sandbox";
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::Kernel);

    backend.setDeviceEventSink(nullptr);
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::None);
    backend.setDeviceEventSink(&sink);
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::Kernel);
    backend.releaseLibraries();
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::None);
    ASSERT_TRUE(backend.loadSetupLibrary());
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::Kernel);
    // The destructor stops the thread that still runs.
}

TEST(HidrawMonitor, NoMonitorWhenHotplugIsOff) {
    HidrawConfig config;
    config.hotplug = HotplugSource::None;
    HidrawBackend backend(config);
    RecordingSink sink;
    ASSERT_TRUE(backend.loadSetupLibrary());
    backend.setDeviceEventSink(&sink);
    EXPECT_EQ(backend.activeHotplugSource(), HotplugSource::None);
}

}  // namespace
}  // namespace vantel
