#include "platform/win32/win32_window.h"

#include <commctrl.h>

#include <memory>
#include <vector>

#include "platform/win32/device_broadcast.h"
#include "resource.h"

namespace vantel::win32 {

namespace {

thread_local Win32MainWindow* tCurrentWindow = nullptr;

// A dialog procedure returns the result of a message through DWLP_MSGRESULT.
INT_PTR result(HWND hwnd, LONG_PTR value) {
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, value);
    return TRUE;
}

constexpr LONG_PTR kInvoked = 1;

}  // namespace

Win32MainWindow* currentMainWindow() { return tCurrentWindow; }

// --- Device list ---------------------------------------------------------------

void Win32DeviceList::resetContent() { SendMessageA(combo_, CB_RESETCONTENT, 0, 0); }

void Win32DeviceList::addString(const std::string& text) {
    SendMessageA(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Win32DeviceList::setCurSel(int index) {
    SendMessageA(combo_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32DeviceList::getCurSel() const {
    const LRESULT sel = SendMessageA(combo_, CB_GETCURSEL, 0, 0);
    return sel == CB_ERR ? -1 : static_cast<int>(sel);
}

int Win32DeviceList::getCount() const {
    const LRESULT count = SendMessageA(combo_, CB_GETCOUNT, 0, 0);
    return count == CB_ERR ? 0 : static_cast<int>(count);
}

std::string Win32DeviceList::getItemText(int index) const {
    const LRESULT length = SendMessageA(combo_, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0) return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT got = SendMessageA(combo_, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(buffer.data()));
    if (got == CB_ERR) return {};
    return std::string(buffer.data());
}

// --- Main window -----------------------------------------------------------------

Win32MainWindow::Win32MainWindow(HINSTANCE instance) : instance_(instance) {
    icon_ = LoadIconA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME));
}

Win32MainWindow::~Win32MainWindow() {
    if (filter_ != nullptr) UnhookWindowsHookEx(filter_);
    if (tCurrentWindow == this) tCurrentWindow = nullptr;
}

INT_PTR Win32MainWindow::runModal(MainDialogEvents& events, int templateId) {
    events_ = &events;
    uiThread_ = GetCurrentThreadId();
    tCurrentWindow = this;
    // The dialog's modal loop calls this filter for each queued message before
    // its keyboard processing: the place for the Enter and Escape rule.
    filter_ = SetWindowsHookExA(WH_MSGFILTER, messageFilter, nullptr, uiThread_);
    const INT_PTR r = DialogBoxParamA(instance_, MAKEINTRESOURCEA(templateId), nullptr, dialogProc,
                                      reinterpret_cast<LPARAM>(this));
    if (filter_ != nullptr) UnhookWindowsHookEx(filter_);
    filter_ = nullptr;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        accepting_ = false;
        hwnd_ = nullptr;
    }
    return r;
}

LRESULT CALLBACK Win32MainWindow::messageFilter(int code, WPARAM wparam, LPARAM lparam) {
    if (code == MSGF_DIALOGBOX && tCurrentWindow != nullptr) {
        MSG* msg = reinterpret_cast<MSG*>(lparam);
        if (msg != nullptr && tCurrentWindow->preTranslate(*msg)) return TRUE;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

bool Win32MainWindow::preTranslate(MSG& msg) {
    if (hwnd_ == nullptr || msg.hwnd == nullptr) return false;
    if (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd)) return false;
    if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
    if (msg.wParam != VK_RETURN && msg.wParam != VK_ESCAPE) return false;
    // Straight to the control: Enter never presses a button and Escape never
    // closes the window; both arrive as ordinary keys.
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

INT_PTR CALLBACK Win32MainWindow::dialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    Win32MainWindow* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32MainWindow*>(lparam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
        self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (self == nullptr || self->events_ == nullptr) return FALSE;
    return self->handle(message, wparam, lparam);
}

INT_PTR Win32MainWindow::handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG: {
        list_.attach(GetDlgItem(hwnd_, IDC_DEVICE_LIST));
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            accepting_ = true;
        }
        // The About item of the system menu.
        char about[64] = {};
        if (LoadStringA(instance_, IDS_ABOUTBOX, about, sizeof about) > 0) {
            if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
                AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
                AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
            }
        }
        SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
        SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
        events_->onInitDialog();
        return TRUE;
    }

    case WM_COMMAND: {
        const int id = LOWORD(wparam);
        // The dialog manager's OK and Cancel (Enter, Escape) never end the window.
        if (id == IDOK || id == IDCANCEL) return TRUE;
        if (HIWORD(wparam) == BN_CLICKED) events_->onCommand(id);
        return TRUE;
    }

    case WM_TIMER:
        events_->onTimer(static_cast<int>(wparam));
        return TRUE;

    case WM_HOTKEY:
        events_->onHotKey(static_cast<int>(wparam));
        return TRUE;

    case WM_DEVICECHANGE:
        if (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE) {
            const DeviceBroadcast b =
                toDeviceBroadcast(static_cast<std::uint32_t>(wparam), reinterpret_cast<const void*>(lparam));
            events_->onDeviceChange(b);
        }
        return result(hwnd_, TRUE);

    case WM_SYSCOMMAND: {
        const UINT command = static_cast<UINT>(wparam & 0xFFF0);
        if (command == IDM_ABOUTBOX) {
            events_->showAbout();
            return TRUE;
        }
        if (command == SC_CLOSE && !userClosable_) return TRUE;
        if (command == SC_MINIMIZE && events_->minimiseToTray()) {
            events_->addTrayIcon();
            ShowWindow(hwnd_, SW_HIDE);
            return TRUE;
        }
        return FALSE;
    }

    case WM_VANTEL_TRAY:
        // The number is also the dialog manager's DM_SETDEFID; the icon's id tells them apart.
        if (wparam != IDR_MAINFRAME) return FALSE;
        switch (LOWORD(lparam)) {
        case WM_LBUTTONDBLCLK:
            events_->restoredFromTray();
            centre();
            ShowWindow(hwnd_, SW_RESTORE);
            events_->removeTrayIcon();
            break;
        case WM_RBUTTONUP:
            quitFromTray();
            break;
        default:
            break;
        }
        return result(hwnd_, 1);

    case WM_PAINT:
        if (IsIconic(hwnd_)) {
            paint();
            return TRUE;
        }
        if (events_->takePaintHide(false)) ShowWindow(hwnd_, SW_HIDE);
        return FALSE;  // the dialog paints itself

    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon_);

    case WM_CLOSE:
        if (events_->onCloseRequest()) EndDialog(hwnd_, IDCANCEL);
        return TRUE;

    case WM_DESTROY: {
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            accepting_ = false;
        }
        destroyOnce();
        return FALSE;
    }

    case WM_VANTEL_INVOKE:
        (*reinterpret_cast<const std::function<void()>*>(lparam))();
        return result(hwnd_, kInvoked);

    case WM_VANTEL_POST: {
        std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lparam));
        if (*fn) (*fn)();
        return TRUE;
    }

    case WM_VANTEL_DEVICE: {
        // The real handler path: the record arrives as the system delivers one.
        std::unique_ptr<std::vector<DWORD>> record(reinterpret_cast<std::vector<DWORD>*>(lparam));
        SendMessageA(hwnd_, WM_DEVICECHANGE, wparam, reinterpret_cast<LPARAM>(record->data()));
        return TRUE;
    }

    default:
        return FALSE;
    }
}

void Win32MainWindow::paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(hwnd_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd_, &ps);
}

void Win32MainWindow::destroyOnce() {
    if (destroyed_) return;
    destroyed_ = true;
    events_->onDestroy();
}

void Win32MainWindow::quitFromTray() {
    // A running worker owns the link: the quit then waits for it like a close.
    if (!events_->onCloseRequest()) return;
    destroyOnce();
    PostQuitMessage(0);
}

void Win32MainWindow::centre() {
    RECT window;
    GetWindowRect(hwnd_, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;

    MONITORINFO info;
    info.cbSize = sizeof info;
    GetMonitorInfoA(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &info);
    const RECT work = info.rcWork;
    RECT area = work;
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &area);

    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    // Keep it on the work area.
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// --- MainWindow --------------------------------------------------------------------

void Win32MainWindow::setControlText(int id, const std::string& text) {
    SetDlgItemTextA(hwnd_, id, text.c_str());
}

std::string Win32MainWindow::controlText(int id) {
    HWND control = GetDlgItem(hwnd_, id);
    if (control == nullptr) return {};
    const int length = GetWindowTextLengthA(control);
    if (length <= 0) return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
    GetWindowTextA(control, buffer.data(), length + 1);
    return std::string(buffer.data());
}

void Win32MainWindow::enableControl(int id, bool enable) {
    if (HWND control = GetDlgItem(hwnd_, id)) EnableWindow(control, enable ? TRUE : FALSE);
}

bool Win32MainWindow::isControlEnabled(int id) {
    HWND control = GetDlgItem(hwnd_, id);
    return control != nullptr && IsWindowEnabled(control) != FALSE;
}

void Win32MainWindow::setProgressRange(int low, int high) {
    SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
}

void Win32MainWindow::setProgressPos(int pos) {
    SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void Win32MainWindow::setTimer(int id, int ms) {
    // A window's timers belong to its own thread.
    if (!onUiThread()) {
        invoke([this, id, ms] { setTimer(id, ms); });
        return;
    }
    SetTimer(hwnd_, static_cast<UINT_PTR>(id), static_cast<UINT>(ms < 1 ? 1 : ms), nullptr);
}

void Win32MainWindow::killTimer(int id) {
    if (!onUiThread()) {
        invoke([this, id] { killTimer(id); });
        return;
    }
    KillTimer(hwnd_, static_cast<UINT_PTR>(id));
}

void Win32MainWindow::messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    HWND owner = (hwnd_ != nullptr && IsWindow(hwnd_)) ? hwnd_ : nullptr;
    const UINT style = MB_OK | (icon == BoxIcon::Warning ? MB_ICONWARNING : 0u);
    MessageBoxA(owner, text.c_str(), caption.c_str(), style);
}

void Win32MainWindow::postClose() {
    if (hwnd_ != nullptr) PostMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void Win32MainWindow::endWindow() {
    if (hwnd_ != nullptr) EndDialog(hwnd_, IDCANCEL);
}

void Win32MainWindow::invoke(const std::function<void()>& fn) {
    if (onUiThread()) {
        fn();
        return;
    }
    HWND target = hwnd_;
    if (target != nullptr &&
        SendMessageA(target, WM_VANTEL_INVOKE, 0, reinterpret_cast<LPARAM>(&fn)) == kInvoked) {
        return;
    }
    // No window any more: nothing else runs the user-interface side now.
    fn();
}

void Win32MainWindow::post(std::function<void()> fn) {
    auto heap = std::make_unique<std::function<void()>>(std::move(fn));
    std::lock_guard<std::mutex> lock(postMutex_);
    if (!accepting_ || hwnd_ == nullptr) return;  // the window has ended: dropped
    if (PostMessageA(hwnd_, WM_VANTEL_POST, 0, reinterpret_cast<LPARAM>(heap.get()))) heap.release();
}

bool Win32MainWindow::onUiThread() const { return GetCurrentThreadId() == uiThread_; }

void Win32MainWindow::raiseWorkerPriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

void Win32MainWindow::deviceChanged(const DeviceBroadcast& broadcast) {
    auto record = std::make_unique<std::vector<DWORD>>(makeInterfaceRecord(broadcast));
    std::lock_guard<std::mutex> lock(postMutex_);
    if (!accepting_ || hwnd_ == nullptr) return;
    if (PostMessageA(hwnd_, WM_VANTEL_DEVICE, broadcast.event,
                     reinterpret_cast<LPARAM>(record.get()))) {
        record.release();
    }
}

}  // namespace vantel::win32
