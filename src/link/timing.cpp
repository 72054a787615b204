#include "link/timing.h"

#include <chrono>
#include <thread>

namespace vantel {

Timing& timing() {
    static Timing table;
    return table;
}

Timing scaledTiming(const Timing& base, int num, int den) {
    auto scale = [num, den](int ms) {
        if (ms <= 0) return ms;
        long long scaled = static_cast<long long>(ms) * num / den;
        return scaled < 1 ? 1 : static_cast<int>(scaled);
    };
    Timing t = base;
    if (t.replyWaitPolls <= 0) t.replyWaitPolls = kScaledReplyWaitPolls;
    t.readRetryPauseMs = scale(base.readRetryPauseMs);
    t.bootSendPauseMs = scale(base.bootSendPauseMs);
    t.commandRetryPauseMs = scale(base.commandRetryPauseMs);
    t.workerStepPauseMs = scale(base.workerStepPauseMs);
    t.versionReadDelayMs = scale(base.versionReadDelayMs);
    t.recoveryTailMs = scale(base.recoveryTailMs);
    t.finalProgressPauseMs = scale(base.finalProgressPauseMs);
    t.autoStartMs = scale(base.autoStartMs);
    t.autoStartRetryMs = scale(base.autoStartRetryMs);
    t.deferredStartMs = scale(base.deferredStartMs);
    t.ispArrivalTimeoutMs = scale(base.ispArrivalTimeoutMs);
    t.commandEndPollMs = scale(base.commandEndPollMs);
    t.arrivalPollMs = scale(base.arrivalPollMs);
    t.stationScanMs = scale(base.stationScanMs);
    t.stationSettleMs = scale(base.stationSettleMs);
    return t;
}

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace vantel
