#include "platform/win32/win32_shell.h"

#include "link/guid.h"
#include "platform/win32/device_broadcast.h"
#include "platform/win32/environment.h"
#include "platform/win32/win32_window.h"
#include "resource.h"

#include <commdlg.h>

#include <cstring>
#include <vector>

namespace vantel::win32 {

namespace {

constexpr UINT kTrayRecordSize = 504;
// 504 is the record without its balloon-icon member in 32-bit builds; in
// 64-bit builds the same number also stops before the item GUID. Either way
// the record ends after the members this icon uses, and the shell accepts it.
static_assert(kTrayRecordSize <= sizeof(NOTIFYICONDATAA));
static_assert(kTrayRecordSize >= offsetof(NOTIFYICONDATAA, szTip) + 128);

constexpr const char* kTrayTip = "USB Firmware Downloader";

}  // namespace

NOTIFYICONDATAA trayIconRecord(HWND window, HICON icon) {
    NOTIFYICONDATAA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = kTrayRecordSize;
    record.hWnd = window;
    record.uID = IDR_MAINFRAME;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_VANTEL_TRAY;
    record.hIcon = icon;
    lstrcpynA(record.szTip, kTrayTip, sizeof record.szTip);
    return record;
}

std::string baseNameOf(const std::string& modulePath) {
    const std::size_t slash = modulePath.find_last_of("\\/:");
    std::string name = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

EventLogResult Win32Shell::writeEvent(const EventLogEntry& entry) {
    HANDLE source = RegisterEventSourceA(nullptr, entry.source.c_str());
    if (source == nullptr) return EventLogResult::RegisterFailed;
    const char* strings[1] = {entry.text.c_str()};
    const BOOL ok = ReportEventA(source, entry.type, entry.category, entry.eventId, nullptr, 1, 0,
                                 strings, nullptr);
    DeregisterEventSource(source);
    return ok ? EventLogResult::Ok : EventLogResult::ReportFailed;
}

void Win32Shell::postToWindow(const std::string& title, std::uint32_t message, std::uintptr_t wparam,
                              std::intptr_t lparam) {
    if (HWND target = FindWindowA(nullptr, title.c_str())) {
        PostMessageA(target, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam));
    }
}

bool Win32Shell::windows8OrLater() {
    OSVERSIONINFOEXA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    version.wServicePackMajor = 0;
    version.wServicePackMinor = 0;
    DWORDLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&version, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
}

std::string Win32Shell::applicationName() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0) return "Vantel";
    return baseNameOf(std::string(path, n));
}

void Win32Shell::addTrayIcon() {
    NOTIFYICONDATAA record = trayIconRecord(window_.hwnd(), window_.icon());
    if (Shell_NotifyIconA(NIM_ADD, &record)) trayShown_ = true;
}

void Win32Shell::removeTrayIcon() {
    if (!trayShown_) return;
    NOTIFYICONDATAA record = trayIconRecord(window_.hwnd(), window_.icon());
    Shell_NotifyIconA(NIM_DELETE, &record);
    trayShown_ = false;
}

void Win32Shell::layoutCompactProgressWindow() {
    HWND hwnd = window_.hwnd();
    for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        ShowWindow(child, SW_HIDE);
    }
    HWND notice = GetDlgItem(hwnd, IDC_NOTICE);
    SetWindowTextA(notice, "Keyboard firmware download in-process, please wait.");
    SetWindowPos(notice, nullptr, 30, 20, 560, 30, SWP_NOZORDER);
    ShowWindow(notice, SW_SHOW);
    HWND progress = GetDlgItem(hwnd, IDC_PROGRESS);
    SetWindowPos(progress, nullptr, 30, 50, 540, 30, SWP_NOZORDER);
    ShowWindow(progress, SW_SHOW);

    // Neither closed nor minimised by the user: the result ends this window.
    // Greying the menu items does not stop Alt+F4, which the window refuses.
    window_.setUserClosable(false);
    if (HMENU menu = GetSystemMenu(hwnd, FALSE)) {
        for (UINT command : {SC_CLOSE, SC_MINIMIZE, SC_MAXIMIZE}) {
            EnableMenuItem(menu, command, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED);
        }
    }
    const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_STYLE);
    SetWindowLongPtrA(hwnd, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_MINIMIZEBOX));
    SetWindowPos(hwnd, nullptr, 0, 0, 600, 150, SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void Win32Shell::setTitle(const std::string& title) { SetWindowTextA(window_.hwnd(), title.c_str()); }

void Win32Shell::registerDeviceNotifications() {
    // Registrations are neither checked nor withdrawn: a class that cannot be
    // watched only means its arrivals go unseen.
    for (const Guid& cls : kDeviceInterfaceClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter = notificationFilter(cls);
        RegisterDeviceNotificationA(window_.hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
}

void Win32Shell::registerHotKeys() {
    // Another program may hold a combination; that hotkey then does nothing.
    const UINT modifiers = MOD_ALT | MOD_CONTROL;
    RegisterHotKey(window_.hwnd(), 1, modifiers, 'T');
    RegisterHotKey(window_.hwnd(), 2, modifiers, 'F');
    RegisterHotKey(window_.hwnd(), 3, modifiers, 'R');
}

bool Win32Shell::browseForFile(std::string& path) {
    // The wide dialog: its answer can still be shortened where the ANSI code
    // page cannot hold it.
    std::vector<wchar_t> buffer(kBrowseBufferChars, L'\0');
    std::wstring filter;
    for (const char* p = kBrowseFilter; *p != '\0'; p += std::strlen(p) + 1) {
        filter.append(p, p + std::strlen(p));
        filter.push_back(L'\0');
    }
    OPENFILENAMEW ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window_.hwnd();
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = kBrowseBufferChars;
    // The dialog appends this to a name typed without an extension; it takes
    // the extension without its dot (a pattern would append ".*.b").
    ofn.lpstrDefExt = L"bin";
    // The legacy upgrade files are looked up in the current directory, so
    // browsing must not move it.
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&ofn)) return false;
    path = ansiPath(buffer.data());
    return true;
}

namespace {
bool isLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }
}  // namespace

std::string Win32Shell::lowerCaseAnsi(const std::string& text) {
    return lowerCaseMultiByte(text, isLeadByte);
}

}  // namespace vantel::win32
