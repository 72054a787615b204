#pragma once
// What vantel-cli prints: the device list (text and JSON), the progress display
// (a redrawn bar on a terminal, plain lines otherwise) and the exit code that an
// outcome maps to.

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "update/outcome.h"

namespace vantel::cli {

// ---- JSON ---------------------------------------------------------------

// A JSON string literal, quotes included. Bytes of 0x80 and above pass as they
// are (device paths and names are 8-bit text).
std::string jsonString(const std::string& text);

struct ListedDevice {
    int index = 0;
    std::string name;  // the device-list text
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    std::string path;
    std::uint32_t reportLength = 0;
    bool legacy = false;
};

// [{"index":0,"name":"RX-431","vid":3897,"pid":1601,"path":"...","reportLength":8,"legacy":false}, ...]
std::string devicesJson(const std::vector<ListedDevice>& devices);
// One line per device: "0  RX-431  0F39:0641  report 8  /dev/hidraw3".
std::string devicesText(const std::vector<ListedDevice>& devices);

// ---- Progress and status ------------------------------------------------

// Draws the status line and the progress bar of a running command. On a
// terminal the bar and the status line are redrawn in place on one line; on
// anything else each new status text is printed once and the progress at
// every 10% step. Message boxes and results go to `results` as plain lines.
// Thread-safe: the loop thread and the worker both call it.
class ProgressDisplay {
public:
    // `ansi`: the terminal understands the erase-line sequence (consoles
    // that do not get the old line overwritten with blanks instead).
    ProgressDisplay(std::ostream& progress, std::ostream& results, bool terminal, int width = 80,
                    bool ansi = true);

    void status(const std::string& text);
    void progressRange(int low, int high);
    void progress(int pos);
    // A message-box text or a result text, printed as it stands.
    void message(const std::string& text);
    // A line of its own on the progress stream (the trace), below which the bar is redrawn.
    void note(const std::string& line);
    // Ends the redrawn line (terminal) before the program exits.
    void finish();
    // Commands without a download show the status line alone on a terminal.
    void setShowBar(bool show);

private:
    void redraw();           // terminal
    void clearLine();        // terminal
    int percent() const;

    std::mutex mutex_;
    std::ostream& progress_;
    std::ostream& results_;
    bool terminal_;
    bool ansi_;
    int width_;
    std::string status_;
    std::string printedStatus_;  // plain mode: the last status printed
    bool anyStatus_ = false;
    int low_ = 0, high_ = 100, pos_ = 0;
    int printedStep_ = -1;       // plain mode: the last 10% step printed
    bool lineOpen_ = false;      // terminal: a bar is drawn on the current line
    std::string drawn_;          // terminal: what the current line shows
    bool showBar_ = true;
};

// The bar of a terminal line: "[#####.....]  50%".
std::string progressBar(int percent, int cells);

// ---- Outcomes -----------------------------------------------------------

// One text the run produced: a reported result, a message box, in order.
struct OutcomeText {
    std::string text;
    bool isResult = false;        // came through reportResult
    bool final = false;           // reportResult's final flag
};

// One outcome class the core reported, with a result or without one.
struct ReportedOutcome {
    Outcome outcome = Outcome::Success;
    bool finalResult = false;     // came with a final result
};

struct RunRecord {
    std::vector<OutcomeText> texts;
    std::vector<ReportedOutcome> outcomes;  // in the order reported
    std::vector<std::string> statuses;  // every status-line text, in order
    bool workerStarted = false;         // the programming worker ran
    bool windowEnded = false;
};

// The exit code of an outcome class.
int exitCodeFor(Outcome outcome);

// A download succeeds only on a final result of success; otherwise its first
// failure decides, and the failures after it (the recovery reset's) only follow from it.
int flashExitCode(const RunRecord& run);
int versionExitCode(const RunRecord& run, std::string& versionText);
int testModeExitCode(const RunRecord& run);
int factoryResetExitCode(const RunRecord& run);

}  // namespace vantel::cli
