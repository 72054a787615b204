#pragma once
// The platform effects of the application layer on Windows: the event log,
// the host tool's window message, the version test, the notification-area
// icon, the compact progress window, the registrations of the main window and
// the file-open dialog.

#include <string>

#include "app/shell.h"

#include <windows.h>
#include <shellapi.h>

namespace vantel::win32 {

class Win32MainWindow;

// The notification-area icon record of result-file runs: size 504 (the record
// up to the balloon members it does not use), the main window, id 128, flags
// NIF_MESSAGE | NIF_ICON | NIF_TIP, callback 1025, the window icon and the tip.
NOTIFYICONDATAA trayIconRecord(HWND window, HICON icon);

// The file-open dialog's filter: "Bin Files (*.bin)" and "All Files (*.*)".
inline constexpr char kBrowseFilter[] = "Bin Files (*.bin)\0*.bin\0All Files (*.*)\0*.*\0";
inline constexpr DWORD kBrowseBufferChars = 2562;

// The executable's base name without extension, from its full path.
std::string baseNameOf(const std::string& modulePath);

class Win32Shell : public Shell {
public:
    explicit Win32Shell(Win32MainWindow& window) : window_(window) {}

    EventLogResult writeEvent(const EventLogEntry& entry) override;
    void postToWindow(const std::string& title, std::uint32_t message, std::uintptr_t wparam,
                      std::intptr_t lparam) override;
    bool windows8OrLater() override;
    std::string applicationName() override;
    void addTrayIcon() override;
    void removeTrayIcon() override;
    void layoutCompactProgressWindow() override;
    void setTitle(const std::string& title) override;
    void registerDeviceNotifications() override;
    void registerHotKeys() override;
    bool browseForFile(std::string& path) override;
    std::string lowerCaseAnsi(const std::string& text) override;

    bool trayIconShown() const { return trayShown_; }

private:
    Win32MainWindow& window_;
    bool trayShown_ = false;
};

}  // namespace vantel::win32
