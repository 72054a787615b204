#include "platform/linux/syslog_log.h"

#include <syslog.h>

#include <mutex>
#include <string>

namespace vantel {
namespace {

// Windows event types: 1 error, 2 warning, 4 information.
int priorityOf(std::uint16_t type) {
    switch (type) {
    case 1: return LOG_ERR;
    case 2: return LOG_WARNING;
    default: return LOG_INFO;
    }
}

}  // namespace

bool writeSystemLog(const EventLogEntry& entry) {
    // openlog keeps the ident pointer: keep the text alive and the calls in one piece.
    static std::mutex guard;
    static std::string ident;
    std::lock_guard lock(guard);
    ident = entry.source.empty() ? std::string("Brenmoor") : entry.source;
    ::openlog(ident.c_str(), LOG_PID, LOG_USER);
    ::syslog(priorityOf(entry.type), "%s", entry.text.c_str());
    ::closelog();
    return true;
}

}  // namespace vantel
