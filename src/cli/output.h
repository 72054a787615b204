#pragma once
// What vantel-cli prints: the device list (text and JSON), the progress display
// (a redrawn bar on a terminal, plain lines otherwise) and the exit code that an
// outcome maps to.

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "update/outcome.h"

namespace vantel::cli {

// ---- JSON ---------------------------------------------------------------

// A JSON string literal, quotes included, and always valid UTF-8: well-formed
// UTF-8 sequences pass, any other byte of 0x80 and above is taken as Latin-1
// (device names and paths are 8-bit text).
std::string jsonString(const std::string& text);
// Bytes as upper-case hex pairs separated by spaces ("7B 6A"), for JSON.
std::string hexBytes(const std::string& bytes);

struct ListedDevice {
    int index = 0;     // -1: not openable, so not in the device list
    std::string name;  // the device-list text
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    std::string path;  // the core's path
    std::uint32_t reportLength = 0;
    bool legacy = false;
    std::string node;  // "/dev/hidraw3", empty when unknown
    std::string port;  // "1-2.3", empty when unknown
    int interfaceNumber = -1;
    bool accessible = true;
    std::string error;  // why it cannot be opened
};

// [{"index":0,"name":"RX-431","vid":3897,"pid":1601,"path":"...","reportLength":8,"legacy":false,
//   "node":"/dev/hidraw3","port":"1-2","interface":1,"accessible":true}, ...]
std::string devicesJson(const std::vector<ListedDevice>& devices);
// One line per openable device: "0  RX-431  0F39:0641  report 8  /dev/hidraw3  port 1-2 interface 1"
// (the path where the device has no node of its own).
std::string devicesText(const std::vector<ListedDevice>& devices);

// ---- Event stream -------------------------------------------------------

// JSON Lines on a stream, one object per event, each flushed at once.
// Thread-safe.
class JsonEvents {
public:
    explicit JsonEvents(std::ostream& out) : out_(out) {}
    void status(const std::string& text);
    void progress(int percent);  // only when it changed
    void message(const std::string& text);
    // The last event: the outcome, the exit code and (flash) the keyboard's state.
    void result(const std::string& text, int exitCode, const char* keyboardState);

private:
    void line(const std::string& object);
    std::mutex mutex_;
    std::ostream& out_;
    int lastPercent_ = -1;
};

// ---- Progress and status ------------------------------------------------

// Draws the status line and the progress bar of a running command. On a
// terminal the bar and the status line are redrawn in place on one line; on
// anything else each new status text is printed once and the progress at
// every 10% step. Message boxes and results go to `results` as plain lines.
// Thread-safe: the loop thread and the worker both call it.
//
// Failure details (status texts that say something failed, the page writer's
// intermediate results) stay on lines of their own; result texts are held
// back and printed by finish(), after everything else, so that the outcome is
// the last line.
class ProgressDisplay {
public:
    enum class Detail { Quiet, Normal, Verbose };
    using Clock = std::function<std::int64_t()>;  // milliseconds, any origin

    // `ansi`: the terminal understands the erase-line sequence (consoles
    // that do not get the old line overwritten with blanks instead).
    ProgressDisplay(std::ostream& progress, std::ostream& results, bool terminal, int width = 80,
                    bool ansi = true);

    void status(const std::string& text);
    void progressRange(int low, int high);
    void progress(int pos);
    // A message-box text, printed as it stands.
    void message(const std::string& text);
    // A result text: held back until finish().
    void result(const std::string& text);
    // A failure detail: a line of its own on the progress stream.
    void detail(const std::string& text);
    // A line of its own on the progress stream (the trace), below which the bar is redrawn.
    void note(const std::string& line);
    // A line on the progress stream that finish() prints after the bar, before the results.
    void closingNote(const std::string& line);
    // Seconds left of a wait, shown beside the status on a terminal; -1: none.
    void countdown(int secondsLeft);
    // Ends the redrawn line (terminal) and prints the held results last.
    void finish();
    // Commands without a download show the status line alone on a terminal.
    void setShowBar(bool show);
    void setDetail(Detail detail, Clock clock = {});
    // Every status, progress step and text also goes to `events`.
    void setEvents(JsonEvents* events);

private:
    void redraw();           // terminal
    void clearLine();        // terminal
    void keptLine(const std::string& line);  // a line of its own, the bar redrawn below it
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
    Detail detail_ = Detail::Normal;
    Clock clock_;
    std::int64_t origin_ = 0;
    int secondsLeft_ = -1;
    std::vector<std::string> held_;  // result texts, printed by finish()
    std::vector<std::string> closing_;  // closing notes, printed by finish()
    JsonEvents* events_ = nullptr;
};

// A status text that reports a failure ("Chip Erase fail", "1. Retried ...").
bool isFailureDetail(const std::string& status);

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
using vantel::ReportedOutcome;

struct RunRecord {
    std::vector<OutcomeText> texts;
    std::vector<ReportedOutcome> outcomes;  // in the order reported
    std::vector<std::string> statuses;  // every status-line text, in order
    bool ispWaitArmed = false;          // the download waited for the ISP device
    bool startedInIsp = false;          // the chosen keyboard was in its boot loader already
    bool workerStarted = false;         // the programming worker ran
    bool windowEnded = false;
    bool ispImage = false;              // the download's file was an ISP image (known once it has ended)
};

// A download succeeds only on a final result of success; otherwise its first
// failure decides, and the failures after it (the recovery reset's) only follow from it.
int flashExitCode(const RunRecord& run);

// What a flash left the keyboard as, from the steps the run went through.
// Where the steps cannot tell (a command whose reply was lost may or may not
// have been carried out), the state that asks more of the user is said.
enum class KeyboardState {
    Untouched,           // never left its firmware, or was reset into it before anything was erased
    BootLoaderIntact,    // in its boot loader, the firmware not erased
    BootLoaderErased,    // in its boot loader, the firmware erased or partly written
    WrittenUnconfirmed,  // the whole image written, the reset or version not confirmed
    Updated,
};
KeyboardState keyboardState(const RunRecord& run, int exitCode);
const char* keyboardStateKey(KeyboardState state);   // "untouched", "bootloader-intact", ...
const char* keyboardStateText(KeyboardState state);  // the words on stderr
int versionExitCode(const RunRecord& run, std::string& versionText);
int testModeExitCode(const RunRecord& run);
int factoryResetExitCode(const RunRecord& run);

}  // namespace vantel::cli
