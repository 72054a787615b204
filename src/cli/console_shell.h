#pragma once
// The platform effects of the command-line front end: event-log entries go to
// the system log (or stderr where there is none), nothing is posted to a host
// window, and the tray icon, the compact window and Browse do not exist.

#include <functional>
#include <ostream>
#include <string>

#include "app/shell.h"

namespace vantel::cli {

class ConsoleShell : public Shell {
public:
    // `errors` receives the entries when the platform has no system log.
    explicit ConsoleShell(std::ostream& errors);

    EventLogResult writeEvent(const EventLogEntry& entry) override;
    void postToWindow(const std::string& title, std::uint32_t message, std::uintptr_t wparam,
                      std::intptr_t lparam) override;
    // The worker starts at the first arrival of the ISP device: the platforms
    // the command line runs on announce a device once it can be opened.
    bool windows8OrLater() override { return true; }
    std::string applicationName() override { return "vantel-cli"; }
    void addTrayIcon() override {}
    void removeTrayIcon() override {}
    void layoutCompactProgressWindow() override {}
    bool browseForFile(std::string& path) override {
        (void)path;
        return false;
    }

    // Where entries go instead of the platform's log (tests).
    void setEventSink(std::function<void(const EventLogEntry&)> sink) { sink_ = std::move(sink); }

private:
    std::ostream& errors_;
    std::function<void(const EventLogEntry&)> sink_;
};

}  // namespace vantel::cli
