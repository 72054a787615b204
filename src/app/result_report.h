#pragma once
// Result reporting and host notification: where an outcome goes (message box,
// event log or result file) and how the host tool learns of it.

#include <atomic>
#include <cstdint>
#include <string>

#include "app/shell.h"
#include "update/download_state.h"
#include "update/window.h"

namespace vantel {

enum class RunMode : int { Interactive = 0, FileArgument = 1, HostDriven = 2 };

// Values fixed at start-up, mostly by the command line.
struct StartupValues {
    RunMode runMode = RunMode::Interactive;
    std::string argumentPath;
    std::string resultArgument;
    std::int32_t hostVid = 0;
    std::int32_t hostPid = 0;
    int keywordMode = 0;
    bool windows8OrLater = false;
};

enum class ResultChannel { ShowMessage, EventLog, ResultFile };

ResultChannel resultChannel(RunMode mode, const std::string& resultArgument);

// "Result of updating %s:\r\n%s" as the result file holds it: every line feed
// written as 0D 0A, so the header line ends in 0D 0D 0A.
std::string resultFileBytes(const std::string& argumentPath, const std::string& message);

// "Result of updating %s:\r\n%s" and "Intermediate Result of updating %s:\r\n%s",
// the texts of event-log entries.
std::string finalResultText(const std::string& argumentPath, const std::string& message);
std::string intermediateResultText(const std::string& argumentPath, const std::string& message);

// Creates or empties `path` and writes `bytes` to it unchanged. False when the
// file cannot be created or written.
bool writeResultFile(const std::string& path, const std::string& bytes);

// HostResultMessage parameters.
std::uint32_t hostResultWparam(bool ispImage);       // 1 application image (or none yet), 0 ISP image
std::uint32_t hostResultLparam(const std::string& message);  // 0 on "Update successfully!"

class ResultReporter {
public:
    ResultReporter(MainWindow& window, Shell& shell, const StartupValues& values,
                   const DownloadState& state);

    // A host-driven run has one outcome: its first final result, or the first
    // HostResultMessage posted without one, ends it. Nothing reported after
    // that reaches the result channel and no further message is posted.
    void reportResult(const std::string& message, bool final);
    void reportIntermediate(const std::string& message);
    void writeEventLog(const std::string& text);
    void postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam);

private:
    void notifyHost(std::uint32_t wparam, std::uint32_t lparam);

    MainWindow& window_;
    Shell& shell_;
    const StartupValues& values_;
    const DownloadState& state_;
    std::atomic<bool> runEnded_{false};  // host-driven runs only
};

}  // namespace vantel
