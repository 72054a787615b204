#include "platform/win32/about_dlg.h"

#include <vector>

#include "app/about.h"
#include "app/vantel_dlg.h"
#include "resource.h"

namespace vantel::win32 {

INT_PTR CAboutDlg::DoModal(HWND owner) {
    unlockArmed_ = false;
    return DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CAboutDlg::dialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    CAboutDlg* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CAboutDlg*>(lparam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
        self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<CAboutDlg*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    return self == nullptr ? FALSE : self->handle(message, wparam, lparam);
}

INT_PTR CAboutDlg::handle(UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        unlockArmed_ = false;
        // Failures are ignored: the box works without its hotkeys.
        RegisterHotKey(hwnd_, kArm, MOD_CONTROL, 'H');
        RegisterHotKey(hwnd_, kShowEntry, MOD_CONTROL, 'Y');
        SetDlgItemTextA(hwnd_, IDC_ABOUT_VERSION, kVersionText);
        return TRUE;

    case WM_HOTKEY:
        if (wparam == kArm) {
            unlockArmed_ = true;
        } else if (wparam == kShowEntry && unlockArmed_) {
            HWND entry = GetDlgItem(hwnd_, IDC_ABOUT_CODE);
            ShowWindow(entry, SW_SHOW);
            SetFocus(entry);
        }
        return TRUE;

    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            onOk();
            return TRUE;
        }
        if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(hwnd_, IDCANCEL);
            return TRUE;
        }
        return FALSE;

    case WM_DESTROY:
        UnregisterHotKey(hwnd_, kArm);
        UnregisterHotKey(hwnd_, kShowEntry);
        return FALSE;

    default:
        return FALSE;
    }
}

void CAboutDlg::onOk() {
    HWND entry = GetDlgItem(hwnd_, IDC_ABOUT_CODE);
    const int length = GetWindowTextLengthA(entry);
    std::vector<char> buffer(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
    GetWindowTextA(entry, buffer.data(), static_cast<int>(buffer.size()));
    if (aboutCodeMatches(std::string(buffer.data()))) {
        MessageBoxA(hwnd_, aboutHiddenMessage().c_str(), applicationName_.c_str(), MB_OK);
    }
    EndDialog(hwnd_, IDOK);
}

}  // namespace vantel::win32
