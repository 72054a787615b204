#include "platform/win32/exit_code.h"

#include "cli/output.h"
#include "update/window.h"

namespace vantel::win32 {

int exitCodeOf(RunMode mode, const ReportedOutcome& outcome) {
    if (mode != RunMode::HostDriven) return 0;
    cli::RunRecord run;
    for (const ReportedOutcome::Text& t : outcome.texts) {
        run.texts.push_back({t.text, true, t.final, t.workerStarted});
        run.workerStarted = run.workerStarted || t.workerStarted;
    }
    run.ispWaitArmed = outcome.ispWaitExpired;
    return cli::flashExitCode(run);
}

void RecordingDlg::reportResult(const std::string& message, bool final) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workerSeen_ = workerSeen_ || workerRunning().load();
        outcome_.texts.push_back({message, final, workerSeen_});
    }
    CVantelDlg::reportResult(message, final);
}

void RecordingDlg::onTimer(int id) {
    if (id == TIMER_ISP_TIMEOUT) {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_.ispWaitExpired = true;
    }
    CVantelDlg::onTimer(id);
}

ReportedOutcome RecordingDlg::outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcome_;
}

}  // namespace vantel::win32
