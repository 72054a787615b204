// The Windows shell: records and registrations built as the system expects
// them, the host tool's message, the compact progress window.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/device_broadcast.h"
#include "platform/win32/win32_hid.h"
#include "platform/win32/win32_shell.h"
#include "window_harness.h"

namespace vantel::win32::test {
namespace {

TEST(Win32Shell, TheTrayRecordIsTheOneOfResultFileRuns) {
    HICON icon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));
    const NOTIFYICONDATAA r = trayIconRecord(reinterpret_cast<HWND>(0x1234), icon);
    EXPECT_EQ(r.cbSize, 504u);
    EXPECT_EQ(r.hWnd, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(r.uID, 128u);
    EXPECT_EQ(r.uFlags, 7u);
    EXPECT_EQ(r.uCallbackMessage, 1025u);
    EXPECT_EQ(r.hIcon, icon);
    EXPECT_STREQ(r.szTip, "USB Firmware Downloader");
}

TEST(Win32Shell, NotificationFiltersAreThirtyTwoBytesPerClass) {
    const DEV_BROADCAST_DEVICEINTERFACE_A f = notificationFilter(kDiskClass);
    EXPECT_EQ(f.dbcc_size, 32u);
    EXPECT_EQ(f.dbcc_devicetype, 5u);
    EXPECT_EQ(f.dbcc_reserved, 0u);
    EXPECT_EQ(fromGuid(f.dbcc_classguid), kDiskClass);
    EXPECT_EQ(f.dbcc_name[0], '\0');
}

TEST(Win32Shell, TheBrowseFilterHasTwoEntries) {
    const std::string filter(kBrowseFilter, sizeof kBrowseFilter);
    EXPECT_EQ(filter, std::string("Bin Files (*.bin)\0*.bin\0All Files (*.*)\0*.*\0\0", 45));
    EXPECT_EQ(kBrowseBufferChars, 2562u);
}

TEST(Win32Shell, TheApplicationNameIsTheExecutablesBaseName) {
    EXPECT_EQ(baseNameOf("C:\\Program Files\\Corvane\\Vantel.exe"), "Vantel");
    EXPECT_EQ(baseNameOf("Z:/work/build/my.tool.exe"), "my.tool");
    EXPECT_EQ(baseNameOf("Vantel"), "Vantel");
    EXPECT_EQ(baseNameOf("C:\\dir.d\\prog"), "prog");
    Win32MainWindow window(GetModuleHandleA(nullptr));
    Win32Shell shell(window);
    EXPECT_EQ(shell.applicationName(), "test_win32");
}

TEST(Win32Shell, LowerCasingLeavesBytesAboveAsciiAlone) {
    Win32MainWindow window(GetModuleHandleA(nullptr));
    Win32Shell shell(window);
    EXPECT_EQ(shell.lowerCaseAnsi("ZENTRIX_US"), "zentrix_us");
    EXPECT_EQ(shell.lowerCaseAnsi("C:\\Fw\\\xC4Zentrix.BIN"), "c:\\fw\\\xC4zentrix.bin");
}

TEST(Win32Shell, TheVersionTestAndTheEventLogRun) {
    Win32MainWindow window(GetModuleHandleA(nullptr));
    Win32Shell shell(window);
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&v);
#pragma GCC diagnostic pop
    const bool expected = v.dwMajorVersion > 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion >= 2);
    EXPECT_EQ(shell.windows8OrLater(), expected);

    EventLogEntry entry;
    entry.text = "Result of updating fw.bin:\r\nUpdate successfully!";
    EXPECT_EQ(shell.writeEvent(entry), EventLogResult::Ok);
}

LRESULT CALLBACK recordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

TEST(Win32Shell, TheHostToolIsFoundByTitleAndPosted) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = recordingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VantelShellTestHost";
    RegisterClassA(&wc);
    const std::string title = "Brenmoor test " + std::to_string(GetCurrentProcessId());
    HWND host = CreateWindowExA(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPED, 0, 0, 10, 10,
                                nullptr, nullptr, wc.hInstance, nullptr);
    if (host == nullptr) GTEST_SKIP() << "no display: no window";

    Win32MainWindow window(GetModuleHandleA(nullptr));
    Win32Shell shell(window);
    shell.postToWindow(title, 2024, 1, 0);
    shell.postToWindow(title + " (not there)", 2024, 0, 1);
    MSG msg;
    std::vector<std::pair<WPARAM, LPARAM>> got;
    while (PeekMessageA(&msg, host, 2024, 2024, PM_REMOVE)) got.emplace_back(msg.wParam, msg.lParam);
    EXPECT_EQ(got, (std::vector<std::pair<WPARAM, LPARAM>>{{1, 0}}));
    DestroyWindow(host);
}

TEST(Win32Shell, TheCompactProgressWindow) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    Win32Shell shell(h.window);
    h.window.invoke([&] { shell.layoutCompactProgressWindow(); });
    h.settle();

    RECT r;
    GetWindowRect(h.hwnd, &r);
    EXPECT_EQ(r.right - r.left, 600);
    EXPECT_EQ(r.bottom - r.top, 150);
    EXPECT_TRUE(GetWindowLongPtrA(h.hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_FALSE(GetWindowLongPtrA(h.hwnd, GWL_STYLE) & WS_MINIMIZEBOX);
    std::vector<int> visible;
    for (HWND c = GetWindow(h.hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (IsWindowVisible(c)) visible.push_back(GetDlgCtrlID(c));
    }
    std::sort(visible.begin(), visible.end());
    EXPECT_EQ(visible, (std::vector<int>{IDC_PROGRESS, IDC_NOTICE}));
    EXPECT_EQ(h.window.controlText(IDC_NOTICE), "Keyboard firmware download in-process, please wait.");

    UINT closeState = 0, minimiseState = 0;
    h.window.invoke([&] {
        HMENU menu = GetSystemMenu(h.hwnd, FALSE);
        closeState = GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND);
        minimiseState = GetMenuState(menu, SC_MINIMIZE, MF_BYCOMMAND);
    });
    EXPECT_TRUE(closeState & MF_GRAYED);
    EXPECT_TRUE(minimiseState & MF_GRAYED);

    // Alt+F4 and the system menu's Close arrive as SC_CLOSE: refused, the
    // window stays and is never asked to close.
    SendMessageA(h.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    h.settle();
    EXPECT_FALSE(h.ended());
    EXPECT_EQ(h.events.count("close-request"), 0);

    // The final result's close still ends it.
    PostMessageA(h.hwnd, WM_CLOSE, 0, 0);
    EXPECT_TRUE(h.waitEnded());
}

TEST(Win32Shell, TheTrayIconIsRemovedOnlyWhenShown) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    Win32Shell shell(h.window);
    shell.removeTrayIcon();
    EXPECT_FALSE(shell.trayIconShown());
    h.window.invoke([&] { shell.addTrayIcon(); });
    EXPECT_TRUE(shell.trayIconShown());
    h.window.invoke([&] { shell.removeTrayIcon(); });
    EXPECT_FALSE(shell.trayIconShown());
}

}  // namespace
}  // namespace vantel::win32::test
