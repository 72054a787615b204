#include "platform/win32/exit_code.h"

namespace vantel::win32 {

int exitCodeOf(RunMode mode, const std::vector<ReportedOutcome>& outcomes) {
    if (mode != RunMode::HostDriven) return 0;
    return downloadExitCode(outcomes);
}

void RecordingDlg::reportResult(const std::string& message, Outcome outcome, bool final) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcomes_.push_back({outcome, final});
    }
    CVantelDlg::reportResult(message, outcome, final);
}

void RecordingDlg::reportOutcome(Outcome outcome) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcomes_.push_back({outcome, false});
    }
    CVantelDlg::reportOutcome(outcome);
}

std::vector<ReportedOutcome> RecordingDlg::outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
}

}  // namespace vantel::win32
