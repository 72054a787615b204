#pragma once
// The About box (dialog template 100) with its concealed message: Ctrl+H arms
// the entry field, Ctrl+Y shows it, and OK checks what was typed.

#include <string>

#include <windows.h>

namespace vantel::win32 {

class CAboutDlg {
public:
    CAboutDlg(HINSTANCE instance, std::string applicationName)
        : instance_(instance), applicationName_(std::move(applicationName)) {}

    // Shows the box modally over `owner`.
    INT_PTR DoModal(HWND owner);

    // The About box's hotkeys (Ctrl+H, Ctrl+Y).
    enum HotKey { kArm = 1, kShowEntry = 2 };

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
    void onOk();

    HINSTANCE instance_;
    std::string applicationName_;
    HWND hwnd_ = nullptr;
    bool unlockArmed_ = false;
};

}  // namespace vantel::win32
