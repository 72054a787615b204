#pragma once
// The process exit code of Vantel.exe: in host-driven runs it tells the
// outcome in the classes vantel-cli documents (0 only for "Update
// successfully!"); interactive runs end with 0.

#include <mutex>
#include <string>
#include <vector>

#include "app/vantel_dlg.h"

namespace vantel::win32 {

// What a run reported, in order, as the window logic reported it.
struct ReportedOutcome {
    struct Text {
        std::string text;
        bool final = false;
        bool workerStarted = false;  // the programming worker had started by then
    };
    std::vector<Text> texts;
    bool ispWaitExpired = false;  // the wait for the ISP device ran out
};

// The one place that maps a run's outcome to the exit code.
int exitCodeOf(RunMode mode, const ReportedOutcome& outcome);

// The window logic with its outcome recorded on the way (the reports come
// from the user-interface thread and the programming worker).
class RecordingDlg final : public CVantelDlg {
public:
    using CVantelDlg::CVantelDlg;

    void reportResult(const std::string& message, bool final) override;
    void onTimer(int id) override;
    ReportedOutcome outcome() const;

private:
    mutable std::mutex mutex_;
    ReportedOutcome outcome_;
    bool workerSeen_ = false;
};

}  // namespace vantel::win32
