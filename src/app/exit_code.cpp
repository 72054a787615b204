#include "app/exit_code.h"

namespace vantel {

int exitCodeFor(Outcome outcome) {
    switch (outcome) {
    case Outcome::Success: return EXIT_OK;
    case Outcome::Unconfirmed: return EXIT_VERSION_UNCONFIRMED;
    case Outcome::FileRejected: return EXIT_FILE_REJECTED;
    case Outcome::NoDevice: return EXIT_NO_DEVICE;
    case Outcome::KeyboardRefused: return EXIT_KEYBOARD_REFUSED;
    case Outcome::WriteFailed: return EXIT_WRITE_FAILED;
    case Outcome::IspNeverArrived: return EXIT_ISP_TIMEOUT;
    }
    return EXIT_INTERNAL;
}

namespace {

// The first failure of the run; EXIT_OK when there was none.
int firstFailure(const std::vector<ReportedOutcome>& outcomes) {
    for (const auto& o : outcomes) {
        if (o.outcome != Outcome::Success) return exitCodeFor(o.outcome);
    }
    return EXIT_OK;
}

}  // namespace

int downloadExitCode(const std::vector<ReportedOutcome>& outcomes) {
    const ReportedOutcome* lastFinal = nullptr;
    for (const auto& o : outcomes) {
        if (o.finalResult) lastFinal = &o;
    }
    // A reopen that failed on the way does not spoil a download that succeeded.
    if (lastFinal && lastFinal->outcome == Outcome::Success) return EXIT_OK;
    const int failure = firstFailure(outcomes);
    return failure != EXIT_OK ? failure : EXIT_INTERNAL;
}

int commandExitCode(const std::vector<ReportedOutcome>& outcomes) {
    const int failure = firstFailure(outcomes);
    if (failure != EXIT_OK) return failure;
    return outcomes.empty() ? EXIT_INTERNAL : EXIT_OK;
}

}  // namespace vantel
