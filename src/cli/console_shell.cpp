#include "cli/console_shell.h"

#if defined(VANTEL_HAVE_HIDRAW) && __has_include("platform/linux/syslog_log.h")
#include "platform/linux/syslog_log.h"
#define VANTEL_CLI_SYSLOG 1
#endif

namespace vantel::cli {

ConsoleShell::ConsoleShell(std::ostream& errors) : errors_(errors) {}

EventLogResult ConsoleShell::writeEvent(const EventLogEntry& entry) {
    if (sink_) {
        sink_(entry);
        return EventLogResult::Ok;
    }
#ifdef VANTEL_CLI_SYSLOG
    return writeSystemLog(entry) ? EventLogResult::Ok : EventLogResult::ReportFailed;
#else
    errors_ << entry.source << ": " << entry.text << "\n";
    errors_.flush();
    return EventLogResult::Ok;
#endif
}

void ConsoleShell::postToWindow(const std::string& title, std::uint32_t message,
                                std::uintptr_t wparam, std::intptr_t lparam) {
    // There is no host window to find; the exit code carries the outcome.
    (void)title;
    (void)message;
    (void)wparam;
    (void)lparam;
}

}  // namespace vantel::cli
