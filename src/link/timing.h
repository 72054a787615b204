#pragma once
// Every delay, timeout and retry count of Vantel comes from this one table.
// The defaults are the real values; tests and the simulator shorten them so
// that the real code paths run in milliseconds.

namespace vantel {

struct Timing {
    // Transport: the caller's wait for a reply and the feature-report read.
    int replyWaitMs = 5000;
    // When above 0, the reply wait also ends after this many reads that do not
    // start a reply: a keyboard that never answers is given up after a count of
    // its own answers, which a loaded machine cannot run out early the way it
    // can run out a short time. 0, the real setting, waits by time alone.
    int replyWaitPolls = 0;
    int readAttempts = 11;
    int readRetryPauseMs = 40;

    // Command set: the boot-loader entry re-sends a refused request.
    int bootSendAttempts = 11;
    int bootSendPauseMs = 100;

    // Download command: a retried command is sent at most 1 + commandRetries times.
    int commandRetries = 10;
    int commandRetryPauseMs = 500;

    // Programming worker.
    int workerStepPauseMs = 300;     // after the profile check, the erase and the recovery reset
    int versionReadDelayMs = 2000;   // before the ISP version is read after the reset
    int recoveryTailMs = 2000;       // at the end of the recovery reset
    int finalProgressPauseMs = 20;   // after the progress bar is set to 100

    // Window timers.
    int autoStartMs = 100;           // timer 1, first tick
    int autoStartRetryMs = 1000;     // timer 1, re-armed while an event-log run waits for a selection
    int autoStartMaxTicks = 10;      // the tick that runs the Download command at the latest
    int deferredStartMs = 5000;      // timer 3
    int ispArrivalTimeoutMs = 120000;  // timer 4

    // Command-line front end.
    int commandEndPollMs = 20;   // how often it looks whether a command has ended (each look
                                 // wakes two threads: a station runs eight of these at once)
    int arrivalPollMs = 250;     // how often it lists the devices while waiting for the ISP
                                 // device, where the back end announces no arrivals
    int stationScanMs = 200;     // how often the station lists what is plugged in
    int stationSettleMs = 5000;  // how long a flashed keyboard may take to come back from its
                                 // restart; with --once-per-port also how long a port must
                                 // stay empty before its next keyboard is written
};

// The process-wide table. Set it before any thread of Vantel runs.
Timing& timing();

// What scaledTiming bounds a reply wait by: more filler than any simulated
// keyboard's busy spell gives (a busy read takes half a millisecond there).
inline constexpr int kScaledReplyWaitPolls = 5000;

// Scales every delay of a table by num/den (at least 1 ms each where non-zero);
// counts are kept. Used by the demo, the benchmarks and tests, against the
// simulated keyboard. The reply wait keeps its length: a shortened one is
// raced by the reply reader's thread, which a busy machine may not run in
// time. Instead a never-answered request ends after kScaledReplyWaitPolls
// reads (unless the table counts its own).
Timing scaledTiming(const Timing& base, int num, int den);

// Sleeps the calling thread; 0 or less returns at once.
void sleepMs(int ms);

}  // namespace vantel
