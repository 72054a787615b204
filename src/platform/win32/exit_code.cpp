#include "platform/win32/exit_code.h"

namespace vantel::win32 {

int exitCodeOf(RunMode mode, const cli::RunRecord& run) {
    if (mode != RunMode::HostDriven) return 0;
    return cli::flashExitCode(run);
}

void RecordingDlg::reportResult(const std::string& message, Outcome outcome, bool final) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        run_.outcomes.push_back({outcome, final});
    }
    CVantelDlg::reportResult(message, outcome, final);
}

void RecordingDlg::reportOutcome(Outcome outcome) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        run_.outcomes.push_back({outcome, false});
    }
    CVantelDlg::reportOutcome(outcome);
}

cli::RunRecord RecordingDlg::outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run_;
}

}  // namespace vantel::win32
