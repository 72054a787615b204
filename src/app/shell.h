#pragma once
// Platform effects of the application layer, implemented by each shell
// (Win32, the headless window of tests, the command line).

#include <cstdint>
#include <string>

namespace vantel {

enum class EventLogResult { Ok, RegisterFailed, ReportFailed };

struct EventLogEntry {
    std::string source = "Brenmoor";
    std::uint16_t type = 4;  // EVENTLOG_INFORMATION_TYPE
    std::uint16_t category = 1;
    std::uint32_t eventId = 0x40020105;
    std::string text;        // the single insertion string
};

class Shell {
public:
    virtual ~Shell() = default;

    // RegisterEventSourceA + ReportEventA + DeregisterEventSource, or the
    // system log of another platform.
    virtual EventLogResult writeEvent(const EventLogEntry& entry) = 0;

    // FindWindowA(nullptr, title), then PostMessageA(message, wparam, lparam);
    // nothing when no such window exists (or the platform has none).
    virtual void postToWindow(const std::string& title, std::uint32_t message,
                              std::uintptr_t wparam, std::intptr_t lparam) = 0;

    // VerifyVersionInfoA for 6.2 or later; false on other platforms.
    virtual bool windows8OrLater() = 0;

    // Caption of message boxes that have none of their own: the executable's base name.
    virtual std::string applicationName() = 0;

    // The notification-area icon of result-file runs. Removing an icon that is
    // not shown does nothing.
    virtual void addTrayIcon() = 0;
    virtual void removeTrayIcon() = 0;

    // The small topmost window of event-log and message-box host runs.
    virtual void layoutCompactProgressWindow() = 0;

    // Window initialisation steps that only a real window has. Defaults do nothing.
    virtual void setTitle(const std::string& title) { (void)title; }
    virtual void registerDeviceNotifications() {}  // the five interface classes
    virtual void registerHotKeys() {}              // Ctrl+Alt+T, Ctrl+Alt+F, Ctrl+Alt+R

    // The file-open dialog of Browse. True with the full path when confirmed.
    virtual bool browseForFile(std::string& path) = 0;

    // Lower-cases 8-bit text of the system's code page, leaving the trail bytes
    // of multi-byte characters alone.
    virtual std::string lowerCaseAnsi(const std::string& text);
};

// Lower-cases A-Z outside multi-byte characters; `isLeadByte` tells which bytes
// open a two-byte character in the code page (none in UTF-8 terms: bytes of
// 0x80 and above are never changed).
std::string lowerCaseMultiByte(const std::string& text, bool (*isLeadByte)(unsigned char));

}  // namespace vantel
