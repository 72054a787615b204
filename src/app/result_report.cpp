#include "app/result_report.h"

#include <cstdio>
#include <mutex>

#include "update/update_host.h"

namespace vantel {

namespace {

const char* const kEventViewer = "EVENTVIEWER";
const char* const kShowMessageBox = "SHOWMSGBOX";
const char* const kSuccessPhrase = "Update successfully!";

// Line feeds as a text-mode stream on Windows writes them, so that the file
// has the same bytes whatever the platform.
std::string withCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// The user-interface thread and the worker may both report; the file is
// rewritten whole by one of them at a time.
std::mutex& resultFileMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

ResultChannel resultChannel(RunMode mode, const std::string& resultArgument) {
    if (mode != RunMode::HostDriven) return ResultChannel::ShowMessage;
    if (resultArgument == kEventViewer) return ResultChannel::EventLog;
    if (resultArgument == kShowMessageBox) return ResultChannel::ShowMessage;
    return ResultChannel::ResultFile;
}

std::string finalResultText(const std::string& argumentPath, const std::string& message) {
    return "Result of updating " + argumentPath + ":\r\n" + message;
}

std::string intermediateResultText(const std::string& argumentPath, const std::string& message) {
    return "Intermediate Result of updating " + argumentPath + ":\r\n" + message;
}

std::string resultFileBytes(const std::string& argumentPath, const std::string& message) {
    return withCrLf(finalResultText(argumentPath, message));
}

bool writeResultFile(const std::string& path, const std::string& bytes) {
    if (path.empty()) return false;
    std::lock_guard<std::mutex> lock(resultFileMutex());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

std::uint32_t hostResultWparam(bool ispImage) { return ispImage ? 0u : 1u; }

std::uint32_t hostResultLparam(const std::string& message) {
    return message.find(kSuccessPhrase) != std::string::npos ? 0u : 1u;
}

ResultReporter::ResultReporter(MainWindow& window, Shell& shell, const StartupValues& values,
                               const DownloadState& state)
    : window_(window), shell_(shell), values_(values), state_(state) {}

void ResultReporter::reportResult(const std::string& message, bool final) {
    if (values_.runMode != RunMode::HostDriven) {
        // Outside host-driven runs nobody waits for the outcome: the user reads
        // it and the window stays open.
        window_.messageBox(message, kBoxCaption, BoxIcon::None);
        return;
    }
    // The run has ended already; a final result claims the end before its
    // text goes out, so that a concurrent report cannot follow it.
    if (final ? runEnded_.exchange(true) : runEnded_.load()) return;

    switch (resultChannel(values_.runMode, values_.resultArgument)) {
    case ResultChannel::EventLog:
        writeEventLog(finalResultText(values_.argumentPath, message));
        break;
    case ResultChannel::ShowMessage:
        window_.messageBox(message, kBoxCaption, BoxIcon::None);
        break;
    case ResultChannel::ResultFile:
        // A file that cannot be created is passed over in silence: the host
        // still learns the outcome from the message below.
        (void)writeResultFile(values_.resultArgument,
                              resultFileBytes(values_.argumentPath, message));
        break;
    }

    if (!final) return;
    notifyHost(hostResultWparam(state_.ispImage != 0), hostResultLparam(message));
    window_.postClose();
}

void ResultReporter::reportIntermediate(const std::string& message) {
    if (values_.resultArgument != kEventViewer) return;
    writeEventLog(intermediateResultText(values_.argumentPath, message));
}

void ResultReporter::writeEventLog(const std::string& text) {
    EventLogEntry entry;
    entry.text = text;
    switch (shell_.writeEvent(entry)) {
    case EventLogResult::Ok:
        break;
    case EventLogResult::RegisterFailed:
        window_.messageBox("RegisterEventSource Failed", shell_.applicationName(), BoxIcon::Warning);
        break;
    case EventLogResult::ReportFailed:
        window_.messageBox("ReportEvent Failed", shell_.applicationName(), BoxIcon::Warning);
        break;
    }
}

void ResultReporter::postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam) {
    if (values_.runMode == RunMode::HostDriven && runEnded_.exchange(true)) return;
    notifyHost(wparam, lparam);
}

void ResultReporter::notifyHost(std::uint32_t wparam, std::uint32_t lparam) {
    shell_.postToWindow(kHostWindowTitle, kHostResultMessage, wparam, lparam);
}

}  // namespace vantel
