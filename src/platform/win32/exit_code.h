#pragma once
// The process exit code of Vantel.exe: in host-driven runs it tells the
// outcome in the classes vantel-cli documents (0 only for "Update
// successfully!"); interactive runs end with 0.

#include <mutex>
#include <string>
#include <vector>

#include "app/exit_code.h"
#include "app/vantel_dlg.h"

namespace vantel::win32 {

// A host-driven run that ended without any outcome gives "no outcome", never 0.
int exitCodeOf(RunMode mode, const std::vector<ReportedOutcome>& outcomes);

// The window logic with every outcome class recorded on its way to the
// result channel (the reports come from the user-interface thread and the
// programming worker); message 2024 and the result channel are untouched.
class RecordingDlg final : public CVantelDlg {
public:
    using CVantelDlg::CVantelDlg;

    void reportResult(const std::string& message, Outcome outcome, bool final) override;
    void reportOutcome(Outcome outcome) override;
    std::vector<ReportedOutcome> outcomes() const;

private:
    mutable std::mutex mutex_;
    std::vector<ReportedOutcome> outcomes_;
};

}  // namespace vantel::win32
