// The black-box driver of Vantel.exe under Wine: it plays the host tool (a
// window titled "Brenmoor" that records message 2024) and inspects and drives
// the running application from outside, the way a user or a host tool would.
//
//   probe host <ms> <exe> [args...]   start exe beside a "Brenmoor" window; print
//                                     every 2024 and the exit code
//   probe compact <ms>                check the compact progress window
//   probe layout <ms>                 check the interactive main window
//   probe keys <ms>                   Enter and Escape never press a button or close
//   probe tray <ms>                   the result-file run's tray commands; ends with quit
//   probe about <ms>                  the About box: unlock hotkeys and the concealed message
//   probe close <ms> [code]           post WM_CLOSE, wait for the process to end with
//                                     [code] (default 0)
//   probe list <ms> <count>           wait for <count> listed devices; print each
//   probe devices <ms> <vid&pid>...  wait until the system lists HID devices whose
//                                     paths hold each "vid_XXXX&pid_XXXX"
//   probe box <ms> <index> version|hotkey <id>
//                                     select device <index>, press Get FW Version or
//                                     send service hotkey <id>; print the message box
//   probe make-image <ms> <path> <KB> write an application image of <KB> KB for an RX-431
//
// Every wait is bounded by <ms>. Checks print "ok <what>" or "FAIL <what>: <why>";
// the exit code is 0 when every check passed, 1 when one failed, 3 on a timeout
// or a usage error.
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>

#include "app/about.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kMainTitle = "USB Firmware Downloader Version 2.0.6.0";
constexpr UINT kHostResultMessage = 2024;
constexpr UINT kTrayCallback = WM_USER + 1;
constexpr WPARAM kTrayIconId = 128;

int gFailures = 0;
DWORD gDeadline = 0;

void check(bool ok, const std::string& what, const std::string& why = {}) {
    if (ok) {
        std::printf("ok %s\n", what.c_str());
    } else {
        std::printf("FAIL %s%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
        ++gFailures;
    }
    std::fflush(stdout);
}

bool expired() { return static_cast<LONG>(GetTickCount() - gDeadline) >= 0; }

[[noreturn]] void timeout(const std::string& what) {
    std::printf("TIMEOUT %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(3);
}

HWND gMain = nullptr;

// Waits (bounded) until the main window exists.
HWND waitForMainWindow() {
    for (;;) {
        if (HWND w = FindWindowA(nullptr, kMainTitle)) return gMain = w;
        if (expired()) timeout("waiting for the main window");
        Sleep(20);
    }
}

// Waits until the application's user-interface thread has handled every
// message posted to it before this call, then lets `w` paint what is invalid.
// A posted marker does the first part: the progress bar's step size, which
// the application never uses, is set by a posted message (the thread's
// posted messages are handled in order) and read back until it has arrived.
bool settle(HWND w) {
    static WPARAM marker = 1000;
    HWND bar = gMain ? GetDlgItem(gMain, 1019) : nullptr;
    DWORD_PTR r = 0;
    if (bar != nullptr) {
        ++marker;
        PostMessageA(bar, PBM_SETSTEP, marker, 0);
        for (;;) {
            r = 0;
            SendMessageTimeoutA(bar, PBM_GETSTEP, 0, 0, SMTO_NORMAL, 1000, &r);
            if (r == marker) break;
            if (expired() || !IsWindow(bar)) return false;
            Sleep(5);
        }
    }
    if (!IsWindow(w)) return false;
    UpdateWindow(w);
    return SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r) != 0;
}

std::string textOf(HWND w) {
    char buffer[512] = {};
    DWORD_PTR r = 0;
    SendMessageTimeoutA(w, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL,
                        5000, &r);
    return buffer;
}

std::string classOf(HWND w) {
    char buffer[128] = {};
    GetClassNameA(w, buffer, sizeof buffer);
    return buffer;
}

// A child's rectangle in the parent's client coordinates.
RECT clientRectOf(HWND parent, HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string rectText(const RECT& r) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "(%ld,%ld %ldx%ld)", r.left, r.top, r.right - r.left,
                  r.bottom - r.top);
    return buffer;
}

std::vector<HWND> children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

// Other top-level dialogs (message boxes, the About box) of the window's thread.
std::vector<HWND> boxesOf(HWND main) {
    struct Search {
        DWORD thread;
        HWND main;
        std::vector<HWND> found;
    } search{GetWindowThreadProcessId(main, nullptr), main, {}};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (w != s->main && GetWindowThreadProcessId(w, nullptr) == s->thread &&
                IsWindowVisible(w) && classOf(w) == "#32770") {
                s->found.push_back(w);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The static text of a message box.
std::string boxText(HWND box) {
    std::string out;
    for (HWND c : children(box)) {
        if (classOf(c) == "Static" && !textOf(c).empty()) out = textOf(c);
    }
    return out;
}

bool waitUntil(HWND w, bool visible) {
    for (;;) {
        settle(w);
        if ((IsWindowVisible(w) != FALSE) == visible) return true;
        if (expired()) return false;
        Sleep(20);
    }
}

DWORD processOf(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

// Waits for the process to end; its exit code, or -1 on timeout.
long waitForExit(HANDLE process) {
    const DWORD left = gDeadline - GetTickCount();
    if (WaitForSingleObject(process, static_cast<LONG>(left) > 0 ? left : 0) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return static_cast<long>(code);
}

// --- host ------------------------------------------------------------------------

std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    int slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
        } else if (c == L'"') {
            out.append(static_cast<std::size_t>(slashes * 2 + 1), L'\\');
            slashes = 0;
        } else {
            slashes = 0;
        }
        out += c;
    }
    out.append(static_cast<std::size_t>(slashes), L'\\');
    return out + L"\"";
}

LRESULT CALLBACK hostProc(HWND w, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kHostResultMessage) {
        std::printf("message 2024 wparam=%llu lparam=%lld\n", static_cast<unsigned long long>(wparam),
                    static_cast<long long>(lparam));
        std::fflush(stdout);
        return 0;
    }
    return DefWindowProcA(w, message, wparam, lparam);
}

int host(int argc, wchar_t** argv) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = hostProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VantelTestHost";
    RegisterClassA(&wc);
    // Never shown: FindWindowA finds hidden top-level windows too.
    HWND w = CreateWindowExA(0, wc.lpszClassName, "Brenmoor", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                             nullptr, wc.hInstance, nullptr);
    if (w == nullptr) timeout("creating the host window");

    std::wstring line = quoted(argv[0]);
    for (int i = 1; i < argc; ++i) line += L" " + quoted(argv[i]);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("FAIL start: error %lu\n", GetLastError());
        return 3;
    }
    CloseHandle(pi.hThread);
    for (;;) {
        const DWORD left = gDeadline - GetTickCount();
        if (static_cast<LONG>(left) <= 0) break;
        const DWORD r = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, left, QS_ALLINPUT);
        MSG msg;
        // The application posts 2024 before it ends, so it is queued by now.
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (r == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            std::printf("exit %lu\n", code);
            std::fflush(stdout);
            return 0;
        }
        if (r == WAIT_TIMEOUT) break;
    }
    TerminateProcess(pi.hProcess, 99);
    timeout("waiting for the application to end");
}

// --- compact ---------------------------------------------------------------------

int compact() {
    HWND main = waitForMainWindow();
    if (!settle(main)) timeout("settling");
    RECT r;
    GetWindowRect(main, &r);
    check(r.right - r.left == 600 && r.bottom - r.top == 150, "compact window is 600 x 150",
          rectText(r));
    const LONG_PTR ex = GetWindowLongPtrA(main, GWL_EXSTYLE);
    const LONG_PTR style = GetWindowLongPtrA(main, GWL_STYLE);
    check((ex & WS_EX_TOPMOST) != 0, "compact window is topmost");
    check((style & WS_MINIMIZEBOX) == 0, "compact window has no minimize box");
    check(IsWindowVisible(main) != FALSE, "compact window is shown");

    std::vector<int> visible;
    for (HWND c : children(main)) {
        if (IsWindowVisible(c)) visible.push_back(GetDlgCtrlID(c));
    }
    check(visible.size() == 2 &&
              ((visible[0] == 1036 && visible[1] == 1019) || (visible[0] == 1019 && visible[1] == 1036)),
          "only the notice and the progress bar are visible",
          std::to_string(visible.size()) + " visible controls");
    HWND notice = GetDlgItem(main, 1036);
    HWND progress = GetDlgItem(main, 1019);
    check(textOf(notice) == "Keyboard firmware download in-process, please wait.", "notice text",
          textOf(notice));
    const RECT n = clientRectOf(main, notice), p = clientRectOf(main, progress);
    check(n.left == 30 && n.top == 20 && n.right - n.left == 560 && n.bottom - n.top == 30,
          "notice at (30,20) 560 x 30", rectText(n));
    check(p.left == 30 && p.top == 50 && p.right - p.left == 540 && p.bottom - p.top == 30,
          "progress bar at (30,50) 540 x 30", rectText(p));

    // Alt+F4 and the system menu's Close reach the window as SC_CLOSE.
    PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    settle(main);
    check(IsWindow(main) && IsWindowVisible(main), "the user cannot close the compact window");
    return gFailures == 0 ? 0 : 1;
}

// --- layout ----------------------------------------------------------------------

struct Expected {
    int id;              // 0: found by its text
    const char* text;    // template text (checked for id 0 and for labels/buttons)
    int x, y, w, h;      // dialog units
    bool visible;
};

const Expected kLayout[] = {
    {0, "USB Devices", 31, 7, 237, 33, true},
    {0, "Firmware Download", 31, 47, 239, 97, true},
    {1036, "Devices:", 41, 20, 28, 8, true},
    {0, "Firmware:", 41, 66, 33, 8, true},
    {1001, nullptr, 77, 64, 143, 12, true},
    {1002, "...", 223, 63, 32, 14, true},
    {1003, "Download", 55, 86, 60, 14, true},
    {1005, "Status", 55, 104, 213, 8, true},
    {1019, nullptr, 54, 115, 189, 12, true},
    {1007, "Get FW Version", 182, 84, 60, 14, true},
    {1028, "Refresh", 223, 17, 32, 14, false},
    {0, "It will take a few more seconds to detect the device or download the firmware", 15, 147, 250, 8, true},
    {0, "if it is the first time to plug it to this PC.", 15, 156, 126, 8, true},
};

HWND findByText(HWND main, const char* text) {
    for (HWND c : children(main)) {
        if (textOf(c) == text) return c;
    }
    return nullptr;
}

int layout() {
    HWND main = waitForMainWindow();
    if (!settle(main)) timeout("settling");
    const LONG_PTR style = GetWindowLongPtrA(main, GWL_STYLE);
    const LONG_PTR ex = GetWindowLongPtrA(main, GWL_EXSTYLE);
    check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX) &&
              !(style & WS_MAXIMIZEBOX) && !(style & WS_THICKFRAME),
          "caption, system menu and minimize box; no maximize box; fixed frame");
    check((ex & WS_EX_APPWINDOW) != 0, "own taskbar button");
    check(IsWindowVisible(main) != FALSE, "main window is shown");
    RECT frame;
    GetWindowRect(main, &frame);
    std::printf("window %ldx%ld+%ld+%ld\n", frame.right - frame.left, frame.bottom - frame.top,
                frame.left, frame.top);

    // The template is 308 x 202 dialog units; the client area gives the units' size.
    RECT client;
    GetClientRect(main, &client);
    const double ux = client.right / 308.0, uy = client.bottom / 202.0;
    for (const Expected& e : kLayout) {
        const std::string name = e.id ? std::to_string(e.id) : std::string("\"") + e.text + "\"";
        HWND c = e.id ? GetDlgItem(main, e.id) : findByText(main, e.text);
        if (c == nullptr) {
            check(false, "control " + name + " exists");
            continue;
        }
        const RECT r = clientRectOf(main, c);
        const auto closeTo = [](double a, long b) { return a - b < 2.5 && b - a < 2.5; };
        const bool placed = closeTo(e.x * ux, r.left) && closeTo(e.y * uy, r.top) &&
                            closeTo(e.w * ux, r.right - r.left) && closeTo(e.h * uy, r.bottom - r.top);
        check(placed, "control " + name + " placed as the template says", rectText(r));
        check((IsWindowVisible(c) != FALSE) == e.visible,
              "control " + name + (e.visible ? " visible" : " hidden"));
        if (e.id && e.text) check(textOf(c) == e.text, "control " + name + " text", textOf(c));
    }
    HWND list = GetDlgItem(main, 1000);
    check(list != nullptr && classOf(list) == "ComboBox", "device list is a combo box");
    if (list != nullptr) {
        const LONG_PTR ls = GetWindowLongPtrA(list, GWL_STYLE);
        check((ls & 0x3) == CBS_DROPDOWNLIST, "device list is a drop-down list");
        check(textOf(list) == "RX-431", "the simulated keyboard is listed and selected", textOf(list));
    }
    check(GetWindowLongPtrA(GetDlgItem(main, 1003), GWL_STYLE) & BS_DEFPUSHBUTTON ? false : true,
          "Download is not a default button");
    return gFailures == 0 ? 0 : 1;
}

// --- keys ------------------------------------------------------------------------

void postKey(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_CHAR, key, 1);
    PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

int keys() {
    HWND main = waitForMainWindow();
    HWND download = GetDlgItem(main, 1003);
    HWND path = GetDlgItem(main, 1001);
    if (!settle(main)) timeout("settling");
    check(boxesOf(main).empty(), "no message box at the start");

    // The focused push button is what the dialog manager would press on Enter.
    PostMessageA(main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(download), TRUE);
    settle(main);
    postKey(download, VK_RETURN);
    settle(main);
    check(boxesOf(main).empty(), "Enter on the focused Download button presses nothing");
    check(IsWindow(main) != FALSE, "Enter leaves the window open");

    postKey(path, VK_RETURN);
    postKey(path, VK_ESCAPE);
    settle(main);
    check(IsWindow(main) && IsWindowVisible(main), "Enter and Escape in the path field leave the window open");
    check(boxesOf(main).empty(), "Enter in the path field presses nothing");

    // The control case: a click does press the button (its outcome is a box).
    PostMessageA(download, BM_CLICK, 0, 0);
    settle(main);
    std::vector<HWND> boxes = boxesOf(main);
    for (int i = 0; boxes.empty() && i < 100 && !expired(); ++i) {
        Sleep(20);
        boxes = boxesOf(main);
    }
    check(boxes.size() == 1, "a click on Download does press it");
    if (!boxes.empty()) {
        std::printf("box \"%s\"\n", boxText(boxes[0]).c_str());
        PostMessageA(boxes[0], WM_COMMAND, IDOK, 0);
        for (int i = 0; !boxesOf(main).empty() && !expired(); ++i) Sleep(20);
    }

    // An interactive run minimises normally.
    PostMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    settle(main);
    for (int i = 0; !IsIconic(main) && i < 100 && !expired(); ++i) Sleep(20);
    check(IsIconic(main) != FALSE, "Minimize minimises an interactive run");
    PostMessageA(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    settle(main);
    check(IsWindowVisible(main) && !IsIconic(main), "and Restore brings it back");
    return gFailures == 0 ? 0 : 1;
}

// --- tray ------------------------------------------------------------------------

int tray() {
    HWND main = waitForMainWindow();
    // Once the posted marker has come through, the window has been shown and
    // its modal loop runs; from then on only paint hiding hides it.
    if (!settle(main)) timeout("settling");
    check(waitUntil(main, false), "the result-file run hides its window when painted");

    PostMessageA(main, kTrayCallback, kTrayIconId, WM_LBUTTONDBLCLK);
    check(waitUntil(main, true), "a double click on the icon shows the window");
    settle(main);
    check(IsWindowVisible(main) != FALSE, "the window stays shown once painted");
    RECT r, work;
    GetWindowRect(main, &r);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const long dx = (r.left - work.left) - (work.right - r.right);
    const long dy = (r.top - work.top) - (work.bottom - r.bottom);
    check(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, "the window is centred on the work area",
          rectText(r) + " in " + rectText(work));

    PostMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    check(waitUntil(main, false), "Minimize hides the window again");
    check(IsIconic(main) == FALSE, "hidden, not minimised");

    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processOf(main));
    PostMessageA(main, kTrayCallback, kTrayIconId, WM_RBUTTONUP);
    const long code = process ? waitForExit(process) : -2;
    // The run ended without an outcome: not a success for the host.
    check(code == 8, "a right click on the icon ends the application with 8", "exit " + std::to_string(code));
    return gFailures == 0 ? 0 : 1;
}

// --- about -----------------------------------------------------------------------

HWND openAbout(HWND main) {
    PostMessageA(main, WM_SYSCOMMAND, 16, 0);
    for (;;) {
        if (HWND about = FindWindowA("#32770", "About Corvane Vantel")) {
            if (settle(about)) return about;
        }
        if (expired()) timeout("waiting for the About box");
        Sleep(20);
    }
}

bool waitGone(HWND w) {
    while (IsWindow(w)) {
        if (expired()) return false;
        Sleep(20);
    }
    return true;
}

HWND focusOf(HWND w) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info);
    return info.hwndFocus;
}

int about() {
    HWND main = waitForMainWindow();
    if (!settle(main)) timeout("settling");

    HWND box = openAbout(main);
    HWND entry = GetDlgItem(box, 1029);
    check(textOf(GetDlgItem(box, 1031)) == "Version 2.0.6.0", "About box shows the version");
    check(entry != nullptr && !IsWindowVisible(entry), "the entry field starts hidden");
    PostMessageA(box, WM_HOTKEY, 2, 0);
    settle(box);
    check(!IsWindowVisible(entry), "Ctrl+Y alone does nothing");
    PostMessageA(box, WM_HOTKEY, 1, 0);
    PostMessageA(box, WM_HOTKEY, 2, 0);
    settle(box);
    check(IsWindowVisible(entry) != FALSE, "Ctrl+H then Ctrl+Y shows the entry field");
    check(focusOf(box) == entry, "the entry field has the focus");
    // OK with nothing typed: no message, the box closes.
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    check(waitGone(box), "OK closes the About box");
    settle(main);
    check(boxesOf(main).empty(), "an empty entry shows no message");

    // The code, typed into the shown field, unlocks the message.
    std::string code;
    for (std::uint8_t stored : vantel::aboutUnlockCode) {
        const std::uint8_t plain = vantel::aboutScrambleByte(stored);
        if (plain == 0) break;
        code.push_back(static_cast<char>(plain));
    }
    box = openAbout(main);
    entry = GetDlgItem(box, 1029);
    PostMessageA(box, WM_HOTKEY, 1, 0);
    PostMessageA(box, WM_HOTKEY, 2, 0);
    settle(box);
    DWORD_PTR r = 0;
    SendMessageTimeoutA(entry, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(code.c_str()), SMTO_NORMAL, 5000, &r);
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    HWND message = nullptr;
    while (message == nullptr && !expired()) {
        for (HWND w : boxesOf(main)) {
            if (w != box) message = w;
        }
        if (message == nullptr) Sleep(20);
    }
    check(message != nullptr, "the right code shows the concealed message");
    if (message != nullptr) {
        settle(message);
        check(boxText(message) == vantel::aboutHiddenMessage(), "the concealed message's text",
              boxText(message));
        PostMessageA(message, WM_COMMAND, IDOK, 0);
    }
    check(waitGone(box), "the About box closes after the message");
    return gFailures == 0 ? 0 : 1;
}

// --- close -----------------------------------------------------------------------

int close(long expected) {
    HWND main = waitForMainWindow();
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processOf(main));
    PostMessageA(main, WM_CLOSE, 0, 0);
    const long code = process ? waitForExit(process) : -2;
    check(code == expected, "WM_CLOSE ends the application with " + std::to_string(expected),
          "exit " + std::to_string(code));
    return gFailures == 0 ? 0 : 1;
}

// --- list and message boxes ------------------------------------------------------

std::vector<std::string> listed(HWND main) {
    std::vector<std::string> out;
    HWND list = GetDlgItem(main, 1000);
    DWORD_PTR count = 0;
    SendMessageTimeoutA(list, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 5000, &count);
    for (DWORD_PTR i = 0; i < count && static_cast<LONG_PTR>(count) > 0; ++i) {
        // The wide message: Wine converts it between the processes.
        wchar_t text[512] = {};
        char narrow[1024] = {};
        DWORD_PTR r = 0;
        SendMessageTimeoutW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, &r);
        WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
        out.push_back(narrow);
    }
    return out;
}

// The device paths of the present HID interfaces, in lower case.
std::vector<std::wstring> hidPaths() {
    static const GUID hid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    std::vector<std::wstring> out;
    HDEVINFO set = SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &iface); ++i) {
        std::vector<DWORD> storage(256);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, static_cast<DWORD>(storage.size() * sizeof(DWORD)), nullptr, nullptr)) {
            std::wstring path = detail->DevicePath;
            for (wchar_t& c : path) c = towlower(c);
            out.push_back(path);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

int devices(int count, wchar_t** wanted) {
    for (;;) {
        const std::vector<std::wstring> paths = hidPaths();
        int found = 0;
        for (int i = 0; i < count; ++i) {
            std::wstring id = wanted[i];
            for (wchar_t& c : id) c = towlower(c);
            for (const std::wstring& p : paths) {
                if (p.find(id) != std::wstring::npos) {
                    ++found;
                    break;
                }
            }
        }
        if (found == count) return 0;
        if (expired()) {
            for (const std::wstring& p : paths) std::printf("path %ls\n", p.c_str());
            timeout("waiting for the devices");
        }
        Sleep(50);
    }
}

int list(int count) {
    HWND main = waitForMainWindow();
    std::vector<std::string> items;
    for (;;) {
        settle(main);
        items = listed(main);
        if (static_cast<int>(items.size()) >= count) break;
        if (expired()) break;
        Sleep(50);
    }
    for (const std::string& item : items) std::printf("item %s\n", item.c_str());
    std::fflush(stdout);
    return static_cast<int>(items.size()) >= count ? 0 : 3;
}

// Selects a device, sets off a command that ends in a message box, prints
// the box's text and closes it.
int box(int index, const std::wstring& what, int hotkey) {
    HWND main = waitForMainWindow();
    settle(main);
    DWORD_PTR r = 0;
    SendMessageTimeoutA(GetDlgItem(main, 1000), CB_SETCURSEL, static_cast<WPARAM>(index), 0, SMTO_NORMAL, 5000, &r);
    if (what == L"version") {
        PostMessageA(GetDlgItem(main, 1007), BM_CLICK, 0, 0);
    } else {
        // As the system delivers a registered hotkey.
        PostMessageA(main, WM_HOTKEY, static_cast<WPARAM>(hotkey), 0);
    }
    for (;;) {
        const std::vector<HWND> boxes = boxesOf(main);
        if (!boxes.empty()) {
            settle(boxes[0]);
            std::printf("box %s\n", boxText(boxes[0]).c_str());
            std::printf("status %s\n", textOf(GetDlgItem(main, 1005)).c_str());
            std::fflush(stdout);
            PostMessageA(boxes[0], WM_COMMAND, IDOK, 0);
            return waitGone(boxes[0]) ? 0 : 3;
        }
        if (expired()) timeout("waiting for a message box");
        Sleep(20);
    }
}

// --- make-image ------------------------------------------------------------------

// An application image of the profile "GF" for the target "RX431": a
// pattern with zero segments, the image magic at L-16 and the scrambled
// trailer at L-14 (each stored byte is the plain byte nibble-swapped, inverted).
int makeImage(const wchar_t* path, int kib) {
    if (kib < 1 || kib > 1024) return 3;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(kib) * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool zeroSegment = (i / 256) % 5 == 2;
        bytes[i] = zeroSegment ? 0 : static_cast<unsigned char>((i * 7 + 3) % 251 + 1);
    }
    const std::size_t length = bytes.size();
    bytes[length - 16] = 0x7B;
    bytes[length - 15] = 0x6A;
    const unsigned char plain[10] = {'G', 'F', 'R', 'X', '4', '3', '1', 0, 0, 0};
    for (std::size_t i = 0; i < 10; ++i) {
        const unsigned swapped = ((plain[i] << 4) | (plain[i] >> 4)) & 0xFF;
        bytes[length - 14 + i] = static_cast<unsigned char>(~swapped & 0xFF);
    }
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) return 3;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok ? 0 : 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The stages tell a host that Wine never started from one that failed by this line.
    std::fputs("probe: started\n", stderr);
    std::fflush(stderr);
    if (argc < 3) {
        std::printf("usage: probe host|compact|layout|keys|tray|close <timeout-ms> [exe args...]\n");
        return 3;
    }
    const std::wstring command = argv[1];
    gDeadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[2]));
    if (command == L"host" && argc >= 4) return host(argc - 3, argv + 3);
    if (command == L"compact") return compact();
    if (command == L"layout") return layout();
    if (command == L"keys") return keys();
    if (command == L"tray") return tray();
    if (command == L"close") return close(argc >= 4 ? _wtoi(argv[3]) : 0);
    if (command == L"list" && argc >= 4) return list(_wtoi(argv[3]));
    if (command == L"devices") return devices(argc - 3, argv + 3);
    if (command == L"box" && argc >= 5) return box(_wtoi(argv[3]), argv[4], argc >= 6 ? _wtoi(argv[5]) : 0);
    if (command == L"about") return about();
    if (command == L"make-image" && argc >= 5) return makeImage(argv[3], _wtoi(argv[4]));
    std::printf("unknown command\n");
    return 3;
}
