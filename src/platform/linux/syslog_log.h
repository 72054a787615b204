#pragma once
// The system log of Linux standing in for the Windows event log: one
// informational message under the event source's name.

#include "app/shell.h"

namespace vantel {

// Writes the entry's text to syslog (ident: the entry's source, "Brenmoor";
// facility user; priority from the entry's type). True when it was handed to
// the log.
bool writeSystemLog(const EventLogEntry& entry);

}  // namespace vantel
