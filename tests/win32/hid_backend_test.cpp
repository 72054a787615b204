// The HID back end over hid.dll and Setupapi.dll as Wine provides them.
#include <gtest/gtest.h>

#include "link/discovery.h"
#include "link/link.h"
#include "platform/win32/win32_hid.h"
#include "support/fake_window.h"

namespace vantel::win32::test {
namespace {

TEST(Win32Hid, SizeFieldsFollowTheBuild) {
#ifdef _WIN64
    EXPECT_EQ(Win32HidBackend::interfaceDataSize(), 32u);
    EXPECT_EQ(Win32HidBackend::interfaceDetailSize(), 8u);
#else
    EXPECT_EQ(Win32HidBackend::interfaceDataSize(), 28u);
    EXPECT_EQ(Win32HidBackend::interfaceDetailSize(), 5u);
#endif
}

TEST(Win32Hid, GuidsConvertBothWays) {
    const GUID g = toGuid(kHidInterfaceClass);
    EXPECT_EQ(g.Data1, 0x4D1E55B2u);
    EXPECT_EQ(g.Data2, 0xF16F);
    EXPECT_EQ(g.Data3, 0x11CF);
    EXPECT_EQ(g.Data4[0], 0x88);
    EXPECT_EQ(g.Data4[7], 0x30);
    EXPECT_EQ(fromGuid(g), kHidInterfaceClass);
}

TEST(Win32Hid, NothingWorksBeforeTheLibrariesAreLoadedOrAfterTheyAreReleased) {
    Win32HidBackend hid;
    Guid g;
    InterfaceSet set = 0;
    HidAttributes a;
    HidCaps c;
    std::uint8_t report[9] = {1};
    EXPECT_FALSE(hid.hidLibraryLoaded());
    EXPECT_EQ(hid.hidGuid(g), HidStatus::Missing);
    EXPECT_EQ(hid.getClassDevs(kHidInterfaceClass, set), HidStatus::Missing);
    EXPECT_EQ(hid.attributes(kNoHandle, a), HidStatus::Missing);
    EXPECT_EQ(hid.getFeature(kNoHandle, report, sizeof report), HidStatus::Missing);

    ASSERT_TRUE(hid.loadHidLibrary());
    ASSERT_TRUE(hid.loadSetupLibrary());
    EXPECT_TRUE(hid.hidLibraryLoaded());
    EXPECT_TRUE(hid.setupLibraryLoaded());
    hid.releaseLibraries();
    hid.releaseLibraries();  // once only
    EXPECT_FALSE(hid.hidLibraryLoaded());
    EXPECT_FALSE(hid.setupLibraryLoaded());
    EXPECT_EQ(hid.hidGuid(g), HidStatus::Missing);
    EXPECT_EQ(hid.capabilities(kNoHandle, c), HidStatus::Missing);
    EXPECT_EQ(hid.setFeature(kNoHandle, report, sizeof report), HidStatus::Missing);
    EXPECT_EQ(hid.enumInterface(set, kHidInterfaceClass, 0), HidStatus::Missing);
    std::string path;
    EXPECT_EQ(hid.interfaceDetail(set, kHidInterfaceClass, 0, path), HidStatus::Missing);
    EXPECT_EQ(hid.destroyClassDevs(set), HidStatus::Missing);
}

TEST(Win32Hid, TheHidClassWalkYieldsOpenableDevicePaths) {
    Win32HidBackend hid;
    ASSERT_TRUE(hid.loadHidLibrary());
    ASSERT_TRUE(hid.loadSetupLibrary());
    Guid cls;
    ASSERT_EQ(hid.hidGuid(cls), HidStatus::Ok);
    EXPECT_EQ(cls, kHidInterfaceClass);

    InterfaceSet set = 0;
    ASSERT_EQ(hid.getClassDevs(cls, set), HidStatus::Ok);
    EXPECT_NE(set, 0);
    // Wine lists a few virtual HID devices, or none; whatever it lists must
    // come with a path that opens and answers the attribute query.
    for (int index = 0; index < 50; ++index) {
        if (hid.enumInterface(set, cls, index) != HidStatus::Ok) continue;
        std::string path;
        ASSERT_EQ(hid.interfaceDetail(set, cls, index, path), HidStatus::Ok) << index;
        EXPECT_FALSE(path.empty());
        HidHandle h = kNoHandle;
        if (hid.open(path, Access::Write, h) != HidStatus::Ok) continue;
        HidAttributes a;
        EXPECT_EQ(hid.attributes(h, a), HidStatus::Ok) << path;
        HidCaps caps;
        EXPECT_NE(hid.capabilities(h, caps), HidStatus::Missing);
        hid.close(h);
    }
    std::string none;
    EXPECT_EQ(hid.interfaceDetail(set, cls, 10000, none), HidStatus::Failed);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(hid.destroyClassDevs(set), HidStatus::Ok);
}

TEST(Win32Hid, DiscoveryOverTheSystemsHidStackListsOnlySupportedKeyboards) {
    Win32HidBackend hid;
    ASSERT_TRUE(hid.loadHidLibrary());
    ASSERT_TRUE(hid.loadSetupLibrary());
    setLinkBackend(&hid);
    DeviceTable table;
    FakeDeviceList list;
    std::atomic<bool> workerRunning{false};
    discoverDevices(table, list, -1, workerRunning);
    // Wine's own virtual HID devices belong to no supported vendor.
    EXPECT_EQ(list.getCount(), static_cast<int>(table.count));
    for (std::uint32_t i = 0; i < table.count; ++i) {
        EXPECT_TRUE(isSupportedVendor(table.entries[i].vid)) << table.entries[i].path;
    }
    EXPECT_FALSE(linkOpen());
    setLinkBackend(nullptr);
}

TEST(Win32Hid, APathThatDoesNotExistDoesNotOpen) {
    Win32HidBackend hid;
    HidHandle h = 7;
    EXPECT_EQ(hid.open("\\\\?\\hid#vid_0f39&pid_0641#nowhere#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                       Access::ReadWrite, h),
              HidStatus::Failed);
    EXPECT_EQ(h, 7);  // written only on success
    hid.close(kNoHandle);
}

}  // namespace
}  // namespace vantel::win32::test
