// The main window's plumbing: calls from another thread, timers, device
// notifications, the key rule, closing, paint hiding and the tray commands.
#include <gtest/gtest.h>

#include "platform/win32/device_broadcast.h"
#include "window_harness.h"

#include <commctrl.h>

namespace vantel::win32::test {
namespace {

void postKey(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_CHAR, key, 1);
    PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

TEST(Win32Window, CallsFromAnotherThreadRunOnTheUserInterfaceThread) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    EXPECT_FALSE(h.window.onUiThread());

    std::thread::id ranOn;
    bool onUi = false;
    h.window.invoke([&] {
        ranOn = std::this_thread::get_id();
        onUi = h.window.onUiThread();
    });
    // invoke has waited: the results are there.
    EXPECT_EQ(ranOn, h.uiThread());
    EXPECT_TRUE(onUi);

    std::atomic<bool> posted{false};
    std::thread::id postedOn;
    h.window.post([&] {
        postedOn = std::this_thread::get_id();
        posted = true;
    });
    h.settle();
    EXPECT_TRUE(posted);
    EXPECT_EQ(postedOn, h.uiThread());
}

TEST(Win32Window, ControlsAnswerFromTheWorkerThread) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    h.window.setControlText(IDC_STATUS, "Erasing the flash");
    EXPECT_EQ(h.window.controlText(IDC_STATUS), "Erasing the flash");
    h.window.setControlText(IDC_FIRMWARE_PATH, "");
    EXPECT_EQ(h.window.controlText(IDC_FIRMWARE_PATH), "");

    h.window.enableControl(IDC_DOWNLOAD, false);
    EXPECT_FALSE(h.window.isControlEnabled(IDC_DOWNLOAD));
    EXPECT_TRUE(h.window.isControlEnabled(IDC_GET_FW_VERSION));
    h.window.enableControl(IDC_DOWNLOAD, true);
    EXPECT_TRUE(h.window.isControlEnabled(IDC_DOWNLOAD));
    // The hidden Refresh button is enabled and disabled like the others.
    h.window.enableControl(IDC_REFRESH, false);
    EXPECT_FALSE(h.window.isControlEnabled(IDC_REFRESH));

    h.window.setProgressRange(0, 256);
    h.window.setProgressPos(128);
    HWND bar = GetDlgItem(h.hwnd, IDC_PROGRESS);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 128);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 256);
}

TEST(Win32Window, TheDeviceListKeepsAppendOrderAndSelection) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    std::vector<std::string> items;
    int before = 0, selected = 0, after = 0;
    h.window.invoke([&] {
        DeviceList& list = h.window.deviceList();
        list.resetContent();
        before = list.getCurSel();
        list.addString("RX-431");
        list.addString("ISP Mode");
        list.addString("VID: 0x1130, PID: 0x0001");
        list.setCurSel(1);
        selected = list.getCurSel();
        for (int i = 0; i < list.getCount(); ++i) items.push_back(list.getItemText(i));
        items.push_back(list.getItemText(7));  // no such item
        list.resetContent();
        after = list.getCurSel();
    });
    EXPECT_EQ(before, -1);
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(items, (std::vector<std::string>{"RX-431", "ISP Mode", "VID: 0x1130, PID: 0x0001", ""}));
    EXPECT_EQ(after, -1);
}

TEST(Win32Window, TimersSetFromTheWorkerFireOnTheUserInterfaceThread) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    h.window.setTimer(TIMER_DEFERRED_START, 1);
    ASSERT_TRUE(h.events.waitFor("timer 3"));
    EXPECT_EQ(h.events.threadOf("timer 3"), h.uiThread());
    h.window.killTimer(TIMER_DEFERRED_START);
    h.settle();
    const int fired = h.events.count("timer 3");
    // A killed timer posts nothing more; a timer that is set again does.
    h.window.setTimer(TIMER_ISP_TIMEOUT, 1);
    ASSERT_TRUE(h.events.waitFor("timer 4"));
    h.window.killTimer(TIMER_ISP_TIMEOUT);
    EXPECT_EQ(h.events.count("timer 3"), fired);
}

TEST(Win32Window, ASimulatedArrivalTakesTheDeviceChangePath) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    const std::string path = "\\\\?\\hid#vid_0f39&pid_0001#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    h.window.deviceChanged(makeInterfaceBroadcast(DBT_DEVICEARRIVAL, kHidInterfaceClass, path, false));
    h.window.deviceChanged(makeInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, kUsbDeviceClass, path, true));
    ASSERT_TRUE(h.events.waitFor("device", 2));
    EXPECT_EQ(h.events.threadOf("device"), h.uiThread());

    const auto got = h.events.broadcasts();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(got[0].deviceType, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_EQ(got[0].classGuid, kHidInterfaceClass);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got[0].name.data())), path);
    EXPECT_EQ(got[1].event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(got[1].classGuid, kUsbDeviceClass);
    // The 16-bit name arrives byte for byte.
    const auto wide = makeInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, kUsbDeviceClass, path, true);
    ASSERT_GE(got[1].name.size(), wide.name.size());
    EXPECT_TRUE(std::equal(wide.name.begin(), wide.name.end(), got[1].name.begin()));
}

TEST(Win32Window, OtherDeviceEventsAreNotHandedOn) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    // DBT_DEVNODES_CHANGED and a query carry no interface record.
    SendMessageA(h.hwnd, WM_DEVICECHANGE, 0x0007, 0);
    SendMessageA(h.hwnd, WM_DEVICECHANGE, 0x8001, 0);
    h.settle();
    EXPECT_EQ(h.events.count("device"), 0);
}

TEST(Win32Window, EnterAndEscapeGoToTheControlNotToTheDialog) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    HWND download = GetDlgItem(h.hwnd, IDC_DOWNLOAD);
    HWND path = GetDlgItem(h.hwnd, IDC_FIRMWARE_PATH);

    // A focused push button is what the dialog manager would press on Enter.
    PostMessageA(h.hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(download), TRUE);
    h.settle();
    postKey(download, VK_RETURN);
    postKey(download, VK_ESCAPE);
    postKey(path, VK_RETURN);
    postKey(path, VK_ESCAPE);
    h.settle();
    EXPECT_EQ(h.events.count("command 1003"), 0);
    EXPECT_EQ(h.events.count("close-request"), 0);
    EXPECT_FALSE(h.ended());

    // The control case: the button's click does reach the logic.
    PostMessageA(h.hwnd, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), reinterpret_cast<LPARAM>(download));
    h.settle();
    EXPECT_EQ(h.events.count("command 1003"), 1);
    // The dialog manager's OK and Cancel, which Enter and Escape would produce, do nothing.
    PostMessageA(h.hwnd, WM_COMMAND, IDOK, 0);
    PostMessageA(h.hwnd, WM_COMMAND, IDCANCEL, 0);
    h.settle();
    EXPECT_FALSE(h.ended());
    EXPECT_EQ(h.events.count("close-request"), 0);
}

TEST(Win32Window, ADeferredCloseKeepsTheWindowUntilItIsEnded) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    h.events.allowClose = false;
    PostMessageA(h.hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(h.events.waitFor("close-request"));
    h.settle();
    EXPECT_FALSE(h.ended());
    EXPECT_EQ(h.events.count("destroy"), 0);

    // What the worker's end does: end the window without asking again.
    h.window.invoke([&] { h.window.endWindow(); });
    ASSERT_TRUE(h.waitEnded());
    EXPECT_EQ(h.events.count("close-request"), 1);
    EXPECT_EQ(h.events.count("destroy"), 1);
}

TEST(Win32Window, PaintHidingHidesTheWindowOnItsNextPaints) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    h.settle();
    ASSERT_TRUE(IsWindowVisible(h.hwnd));
    // UpdateWindow paints at once on the window's own thread.
    const auto paint = [&] {
        h.window.invoke([&] {
            InvalidateRect(h.hwnd, nullptr, TRUE);
            UpdateWindow(h.hwnd);
        });
        h.settle();
    };
    paint();
    EXPECT_TRUE(IsWindowVisible(h.hwnd)) << "no countdown: the paint leaves the window alone";

    h.events.paintHides = 1;
    paint();
    EXPECT_FALSE(IsWindowVisible(h.hwnd));
    EXPECT_EQ(h.events.paintHides.load(), 0);
}

TEST(Win32Window, MinimiseGoesToTheTrayOnlyWhenTheRunSaysSo) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    // The platform's own minimise (checked from outside by the black-box run):
    // no icon, and the window is not hidden.
    PostMessageA(h.hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    h.settle();
    EXPECT_TRUE(IsWindowVisible(h.hwnd));
    EXPECT_EQ(h.events.count("tray-add"), 0);
    ShowWindow(h.hwnd, SW_RESTORE);

    h.events.toTray = true;
    SendMessageA(h.hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    h.settle();
    EXPECT_FALSE(IsIconic(h.hwnd));
    EXPECT_FALSE(IsWindowVisible(h.hwnd));
    EXPECT_EQ(h.events.count("tray-add"), 1);
}

TEST(Win32Window, TrayDoubleClickRestoresAndRightClickQuits) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    ShowWindow(h.hwnd, SW_HIDE);
    EXPECT_EQ(SendMessageA(h.hwnd, WM_VANTEL_TRAY, 128, WM_LBUTTONDBLCLK), 1);
    EXPECT_TRUE(IsWindowVisible(h.hwnd));
    EXPECT_EQ(h.events.count("restored"), 1);
    EXPECT_EQ(h.events.count("tray-remove"), 1);

    // Other mouse messages do nothing; the callback still answers 1.
    EXPECT_EQ(SendMessageA(h.hwnd, WM_VANTEL_TRAY, 128, WM_MOUSEMOVE), 1);

    // While a worker runs the quit waits like a close.
    h.events.allowClose = false;
    SendMessageA(h.hwnd, WM_VANTEL_TRAY, 128, WM_RBUTTONUP);
    h.settle();
    EXPECT_FALSE(h.ended());
    EXPECT_EQ(h.events.count("destroy"), 0);

    h.events.allowClose = true;
    PostMessageA(h.hwnd, WM_VANTEL_TRAY, 128, WM_RBUTTONUP);
    ASSERT_TRUE(h.waitEnded());
    // The clean-up ran once, before the window went; its destruction did not repeat it.
    EXPECT_EQ(h.events.count("destroy"), 1);
}

TEST(Win32Window, TheSystemMenuCarriesTheAboutItem) {
    WindowHarness h;
    START_WINDOW_OR_SKIP(h);
    std::string text;
    h.window.invoke([&] {
        HMENU menu = GetSystemMenu(h.hwnd, FALSE);
        char buffer[64] = {};
        GetMenuStringA(menu, 16, buffer, sizeof buffer, MF_BYCOMMAND);
        text = buffer;
    });
    EXPECT_EQ(text, "&About");
    PostMessageA(h.hwnd, WM_SYSCOMMAND, 16, 0);
    EXPECT_TRUE(h.events.waitFor("about"));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(h.hwnd, WM_QUERYDRAGICON, 0, 0)), h.window.icon());
    EXPECT_NE(h.window.icon(), nullptr);
}

}  // namespace
}  // namespace vantel::win32::test

namespace vantel::win32::test {
namespace {

INT_PTR CALLBACK plainDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Every static text of the About box, at the template's size and in the
// dialog's font, is no wider than its control (a wider one is cut).
TEST(Win32Resources, TheAboutBoxTextsFitTheirControls) {
    for (int id : {IDD_ABOUTBOX}) {
        HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), nullptr, plainDialog, 0);
        if (dialog == nullptr) GTEST_SKIP() << "no display: the dialog cannot be created";
        int measured = 0;
        for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
            char cls[32] = {};
            GetClassNameA(c, cls, sizeof cls);
            if (lstrcmpiA(cls, "Static") != 0 || (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
            char text[256] = {};
            GetWindowTextA(c, text, sizeof text);
            HDC dc = GetDC(c);
            HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(c, WM_GETFONT, 0, 0)));
            SIZE extent{};
            GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
            SelectObject(dc, old);
            ReleaseDC(c, dc);
            RECT r;
            GetClientRect(c, &r);
            EXPECT_LE(extent.cx, r.right - r.left) << "template " << id << ": \"" << text << "\"";
            EXPECT_LE(extent.cy, r.bottom - r.top) << "template " << id << ": \"" << text << "\"";
            ++measured;
        }
        EXPECT_GE(measured, 2) << "template " << id;
        DestroyWindow(dialog);
    }
}

}  // namespace
}  // namespace vantel::win32::test
