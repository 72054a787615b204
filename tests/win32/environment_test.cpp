// The command line in the ANSI code page, device records, the timing setting.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/device_broadcast.h"
#include "platform/win32/environment.h"

namespace vantel::win32::test {
namespace {

TEST(Win32CommandLine, ArgumentsAreSplitAsTheSystemSplitsThem) {
    EXPECT_TRUE(ansiArguments(L"Vantel.exe").empty());
    EXPECT_EQ(ansiArguments(L"\"C:\\Program Files\\Vantel.exe\" \"C:\\fw dir\\RX431.bin\" EVENTVIEWER"),
              (std::vector<std::string>{"C:\\fw dir\\RX431.bin", "EVENTVIEWER"}));
    EXPECT_EQ(ansiArguments(L"v.exe a\\\\\"b c\" \"d\\\"e\" 0x0F39  0641"),
              (std::vector<std::string>{"a\\b c", "d\"e", "0x0F39", "0641"}));
    EXPECT_EQ(ansiArguments(L"v.exe \"\""), (std::vector<std::string>{""}));
}

TEST(Win32CommandLine, WideArgumentsBecomeAnsiText) {
    const auto args = ansiArguments(L"v.exe C:\\Fw\\Tast\u00e9.bin");
    ASSERT_EQ(args.size(), 1u);
    // Back through the same code page gives the text again where it can hold it.
    wchar_t back[64] = {};
    MultiByteToWideChar(CP_THREAD_ACP, 0, args[0].c_str(), -1, back, 64);
    if (GetACP() == 1252) {
        EXPECT_EQ(args[0], "C:\\Fw\\Tast\xE9.bin");
        EXPECT_STREQ(back, L"C:\\Fw\\Tast\u00e9.bin");
    } else {
        EXPECT_EQ(args[0].substr(0, 10), "C:\\Fw\\Tast");
    }
}

// A folder the ANSI code page cannot name: the firmware file opens by its
// short form, and a result file yet to be written lands in that folder.
TEST(Win32CommandLine, PathsTheCodePageCannotHoldUseTheirShortForm) {
    if (GetACP() == 1251 || GetACP() == 65001) GTEST_SKIP() << "the code page holds Cyrillic";
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring dir = std::wstring(temp) + L"\u041f\u0440\u043e\u0448\u0438\u0432\u043a\u0430";
    const std::wstring firmware = dir + L"\\\u041a\u043b\u0430\u0432\u0438\u0430\u0442\u0443\u0440\u0430.bin";
    const std::wstring result = dir + L"\\result.txt";
    CreateDirectoryW(dir.c_str(), nullptr);
    FILE* f = _wfopen(firmware.c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fputs("image", f);
    std::fclose(f);
    DeleteFileW(result.c_str());

    const auto args = ansiArguments((L"v.exe \"" + firmware + L"\" \"" + result + L"\"").c_str());
    ASSERT_EQ(args.size(), 2u);
    char read[8] = {};
    f = std::fopen(args[0].c_str(), "rb");
    ASSERT_NE(f, nullptr) << args[0];
    EXPECT_EQ(std::fread(read, 1, sizeof read, f), 5u);
    std::fclose(f);
    EXPECT_STREQ(read, "image");
    f = std::fopen(args[1].c_str(), "wb");
    ASSERT_NE(f, nullptr) << args[1];
    std::fclose(f);
    EXPECT_NE(GetFileAttributesW(result.c_str()), INVALID_FILE_ATTRIBUTES);

    // A name that exists nowhere keeps today's conversion.
    EXPECT_EQ(ansiArguments(L"v.exe C:\\none\\\u0444.bin")[0].substr(0, 8), "C:\\none\\");
    DeleteFileW(result.c_str());
    DeleteFileW(firmware.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(Win32Environment, TimingScale) {
    int num = 0, den = 0;
    EXPECT_TRUE(parseTimingScale("1/50", num, den));
    EXPECT_EQ(num, 1);
    EXPECT_EQ(den, 50);
    EXPECT_TRUE(parseTimingScale("20", num, den));
    EXPECT_EQ(num, 1);
    EXPECT_EQ(den, 20);
    num = den = 9;
    for (const char* bad : {"", "/", "1/", "/5", "0/5", "1/0", "-1/5", "x", "1/5x", "1/5/2", " 1/5"}) {
        EXPECT_FALSE(parseTimingScale(bad, num, den)) << bad;
    }
    EXPECT_EQ(num, 9);
    EXPECT_EQ(den, 9);
}

TEST(Win32DeviceRecord, NarrowAndWideRecordsKeepTheirNameBytes) {
    const std::string path = "\\\\?\\HID#VID_0F39&PID_0000#1&2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    for (bool wide : {false, true}) {
        const DeviceBroadcast in = makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kFailureSignalClass, path, wide);
        const std::vector<DWORD> record = makeInterfaceRecord(in);
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record.data());
        EXPECT_EQ(header->dbch_devicetype, 5u);
        EXPECT_EQ(header->dbch_size, 28u + in.name.size());
        const DeviceBroadcast out = toDeviceBroadcast(DBT_DEVICEARRIVAL, record.data());
        EXPECT_EQ(out.event, DBT_DEVICEARRIVAL);
        EXPECT_EQ(out.deviceType, 5u);
        EXPECT_EQ(out.classGuid, kFailureSignalClass);
        ASSERT_GE(out.name.size(), in.name.size());
        EXPECT_TRUE(std::equal(in.name.begin(), in.name.end(), out.name.begin())) << wide;
    }
}

TEST(Win32DeviceRecord, ShortOrForeignRecordsAreReadSafely) {
    EXPECT_TRUE(toDeviceBroadcast(DBT_DEVICEARRIVAL, nullptr).name.empty());

    // A volume record: only its type is passed on.
    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof(DEV_BROADCAST_VOLUME);
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    std::vector<DWORD> storage(8, 0);
    std::memcpy(storage.data(), &volume, sizeof volume);
    const DeviceBroadcast v = toDeviceBroadcast(DBT_DEVICEREMOVECOMPLETE, storage.data());
    EXPECT_EQ(v.deviceType, static_cast<std::uint32_t>(DBT_DEVTYP_VOLUME));
    EXPECT_TRUE(v.name.empty());

    // An interface record whose name is not terminated within its size.
    DeviceBroadcast in = makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kHidInterfaceClass, "abc_0001", false);
    in.name.pop_back();
    const std::vector<DWORD> record = makeInterfaceRecord(in);
    const DeviceBroadcast out = toDeviceBroadcast(DBT_DEVICEARRIVAL, record.data());
    ASSERT_GE(out.name.size(), 2u);
    EXPECT_EQ(out.name[out.name.size() - 1], 0);
    EXPECT_EQ(out.name[out.name.size() - 2], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.name.data())), "abc_0001");

    // A size field that claims more than any record holds.
    DEV_BROADCAST_HDR huge{};
    huge.dbch_size = 0x7FFFFFFF;
    huge.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_TRUE(toDeviceBroadcast(DBT_DEVICEARRIVAL, &huge).name.empty());
}

}  // namespace
}  // namespace vantel::win32::test
