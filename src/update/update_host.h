#pragma once
// What the update procedures need from the application layer above them:
// result reporting, the run mode and start-up values, and the platform clean-up.
// The main window's logic in the application layer implements it.

#include <cstdint>
#include <string>

#include "update/outcome.h"

namespace vantel {

inline constexpr std::uint32_t kHostResultMessage = 2024;  // WM_USER + 1000
inline const char* const kHostWindowTitle = "Brenmoor";

class UpdateHost {
public:
    virtual ~UpdateHost() = default;

    // Routes an outcome by run mode; with final set in a host-driven run it also
    // notifies the host tool and closes the window. The outcome class is for
    // front ends that act on it; the text is what the user reads. Any thread.
    virtual void reportResult(const std::string& message, Outcome outcome, bool final) = 0;
    // The class of an outcome that the user learns without a result: from a
    // message box, the status line, or the window closing when the ISP device
    // never arrived. Any thread; ignoring it changes nothing the user sees.
    virtual void reportOutcome(Outcome outcome) { (void)outcome; }
    // The programming worker has started its run. Worker thread.
    virtual void workerStarted() {}
    // Progress entries of an event-log run. Any thread.
    virtual void reportIntermediate(const std::string& message) = 0;
    // Posts HostResultMessage to the host tool's window when it exists. Any thread.
    virtual void postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam) = 0;

    virtual bool hostDriven() const = 0;           // runMode is HostDriven
    virtual bool eventLogRun() const = 0;          // resultArgument is exactly "EVENTVIEWER"
    virtual std::int32_t hostVid() const = 0;
    virtual std::int32_t hostPid() const = 0;
    virtual bool windows8OrLater() const = 0;

    // Keyword runs of the version query.
    virtual int keywordMode() const = 0;
    virtual void setKeywordMode(int mode) = 0;
    // A legacy upgrade file was chosen: argumentPath := name, runMode := FileArgument.
    virtual void legacyFileChosen(const std::string& name) = 0;

    // The worker's shutdown: release both platform libraries and remove the
    // notification-area icon. Runs on the user-interface thread; idempotent.
    virtual void releasePlatform() = 0;
};

}  // namespace vantel
