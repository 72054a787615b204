#include "cli/output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vantel::cli {

// ---- JSON ---------------------------------------------------------------

namespace {

// The length of the well-formed UTF-8 sequence at `i`, or 0.
std::size_t utf8Sequence(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;        // no overlong forms
        if (c == 0xED) high = 0x9F;       // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;       // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x80) {
                    if (const std::size_t n = utf8Sequence(text, i)) {
                        out.append(text, i, n);
                        i += n - 1;
                        break;
                    }
                }
                if (c < 0x20 || c >= 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string hexBytes(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

std::string devicesJson(const std::vector<ListedDevice>& devices) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto& d = devices[i];
        if (i) out += ",";
        out += "\n  {\"index\":" + (d.index >= 0 ? std::to_string(d.index) : std::string("null")) +
               ",\"name\":" + jsonString(d.name) +
               ",\"vid\":" + std::to_string(d.vid) + ",\"pid\":" + std::to_string(d.pid) +
               ",\"path\":" + jsonString(d.path) +
               ",\"reportLength\":" + std::to_string(d.reportLength) +
               ",\"legacy\":" + (d.legacy ? "true" : "false") +
               ",\"node\":" + (d.node.empty() ? std::string("null") : jsonString(d.node)) +
               ",\"port\":" + (d.port.empty() ? std::string("null") : jsonString(d.port)) +
               ",\"interface\":" + (d.interfaceNumber >= 0 ? std::to_string(d.interfaceNumber) : std::string("null")) +
               ",\"accessible\":" + (d.accessible ? "true" : "false") +
               (d.accessible ? std::string() : ",\"error\":" + jsonString(d.error)) + "}";
    }
    out += devices.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string devicesText(const std::vector<ListedDevice>& devices) {
    std::size_t nameWidth = 4;
    bool any = false;
    for (const auto& d : devices) {
        if (!d.accessible) continue;
        any = true;
        nameWidth = std::max(nameWidth, d.name.size());
    }
    if (!any) return "No keyboard found.\n";
    std::string out;
    char ids[32];
    for (const auto& d : devices) {
        if (!d.accessible) continue;
        std::snprintf(ids, sizeof ids, "%04X:%04X", static_cast<unsigned>(d.vid & 0xFFFF),
                      static_cast<unsigned>(d.pid & 0xFFFF));
        std::string name = d.name;
        name.resize(nameWidth, ' ');
        std::string where;
        if (!d.port.empty()) {
            where = "  port " + d.port;
            if (d.interfaceNumber >= 0) where += " interface " + std::to_string(d.interfaceNumber);
        }
        out += std::to_string(d.index) + "  " + name + "  " + ids + "  report " +
               std::to_string(d.reportLength) + (d.legacy ? "  legacy" : "") + "  " +
               (d.node.empty() ? d.path : d.node) + where + "\n";
    }
    return out;
}

// ---- Event stream -------------------------------------------------------

void JsonEvents::line(const std::string& object) {
    out_ << object << "\n";
    out_.flush();
}

void JsonEvents::status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    line("{\"event\":\"status\",\"text\":" + jsonString(text) + "}");
}

void JsonEvents::progress(int percent) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    line("{\"event\":\"progress\",\"percent\":" + std::to_string(percent) + "}");
}

void JsonEvents::message(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    line("{\"event\":\"message\",\"text\":" + jsonString(text) + "}");
}

void JsonEvents::result(const std::string& text, int exitCode, const char* keyboardState) {
    std::lock_guard<std::mutex> lock(mutex_);
    line("{\"event\":\"result\",\"text\":" + jsonString(text) + ",\"exit\":" + std::to_string(exitCode) +
         ",\"keyboard_state\":" + (keyboardState ? jsonString(keyboardState) : std::string("null")) + "}");
}

// ---- Progress and status ------------------------------------------------

std::string progressBar(int percent, int cells) {
    percent = std::clamp(percent, 0, 100);
    const int filled = percent * cells / 100;
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    std::string bar;
    bar.reserve(static_cast<std::size_t>(cells) + 8);
    bar += '[';
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(cells - filled), '.');
    bar += "] ";
    bar += pct;
    return bar;
}

ProgressDisplay::ProgressDisplay(std::ostream& progress, std::ostream& results, bool terminal,
                                 int width, bool ansi)
    : progress_(progress),
      results_(results),
      terminal_(terminal),
      ansi_(ansi),
      width_(std::max(width, 20)) {}

bool isFailureDetail(const std::string& status) {
    if (status.find("fail") != std::string::npos || status.find("Fail") != std::string::npos) return true;
    // The page writer's "1. Retried ..." and "2. Retried ...".
    return status.size() > 3 && status[0] >= '0' && status[0] <= '9' && status.compare(1, 2, ". ") == 0;
}

void ProgressDisplay::setDetail(Detail detail, Clock clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    detail_ = detail;
    clock_ = clock ? std::move(clock) : Clock([] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    });
    origin_ = clock_();
}

void ProgressDisplay::setEvents(JsonEvents* events) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_ = events;
}

int ProgressDisplay::percent() const {
    if (high_ <= low_) return 0;
    const long long pos = std::clamp(pos_, low_, high_);
    return static_cast<int>((pos - low_) * 100 / (high_ - low_));
}

void ProgressDisplay::clearLine() {
    if (lineOpen_) {
        if (ansi_) {
            progress_ << "\r\x1b[K";
        } else {
            progress_ << "\r" << std::string(drawn_.size(), ' ') << "\r";
        }
        progress_.flush();
        lineOpen_ = false;
    }
}

void ProgressDisplay::redraw() {
    if (detail_ == Detail::Quiet) return;
    std::string text = status_;
    if (secondsLeft_ >= 0) text += " (" + std::to_string(secondsLeft_) + " s left)";
    // The bar takes a third of the width, 5 to 20 cells.
    const int cells = std::clamp(width_ / 3, 5, 20);
    std::string line = showBar_ ? progressBar(percent(), cells) + "  " + text : text;
    if (line.size() >= static_cast<std::size_t>(width_)) line.resize(static_cast<std::size_t>(width_ - 1));
    if (lineOpen_ && line == drawn_) return;  // nothing changed on screen
    if (ansi_) {
        progress_ << "\r" << line << "\x1b[K";
    } else {
        // Without escape sequences a shorter line overwrites the longer one with blanks.
        std::string padded = line;
        if (lineOpen_ && padded.size() < drawn_.size()) padded.resize(drawn_.size(), ' ');
        progress_ << "\r" << padded;
    }
    drawn_ = line;
    progress_.flush();
    lineOpen_ = true;
}

void ProgressDisplay::keptLine(const std::string& line) {
    const bool redrawAfter = terminal_ && lineOpen_;
    clearLine();
    progress_ << line << "\n";
    progress_.flush();
    if (redrawAfter) redraw();
}

void ProgressDisplay::status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_ && !text.empty()) events_->status(text);
    const bool repeated = anyStatus_ && text == printedStatus_;
    status_ = text;
    if (detail_ == Detail::Quiet) return;
    if (detail_ == Detail::Verbose) {
        // Every text, with the time since the start.
        if (!text.empty()) {
            const std::int64_t ms = std::max<std::int64_t>(clock_() - origin_, 0);
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "[%4lld.%03lld] ", static_cast<long long>(ms / 1000),
                          static_cast<long long>(ms % 1000));
            keptLine(stamp + text);
        }
        if (terminal_) redraw();
        printedStatus_ = text;
        anyStatus_ = true;
        return;
    }
    if (terminal_) {
        // A failure stays on screen; the next status would overwrite it.
        if (!repeated && isFailureDetail(text)) keptLine(text);
        redraw();
    } else if (!text.empty() && !repeated) {
        progress_ << text << "\n";
        progress_.flush();
    }
    if (!text.empty()) {
        printedStatus_ = text;
        anyStatus_ = true;
    }
}

void ProgressDisplay::progressRange(int low, int high) {
    std::lock_guard<std::mutex> lock(mutex_);
    low_ = low;
    high_ = high;
    if (terminal_ && lineOpen_) redraw();
}

void ProgressDisplay::progress(int pos) {
    std::lock_guard<std::mutex> lock(mutex_);
    pos_ = pos;
    if (events_ && high_ > low_) events_->progress(percent());
    if (detail_ == Detail::Quiet) return;
    if (terminal_) {
        redraw();
        return;
    }
    const int step = percent() / 10;
    if (step < printedStep_) printedStep_ = step;  // a new run starts from the beginning
    if (step > printedStep_) {
        printedStep_ = step;
        if (step > 0) {
            progress_ << "progress " << step * 10 << "%\n";
            progress_.flush();
        }
    }
}

void ProgressDisplay::message(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_) events_->message(text);
    const bool redrawAfter = terminal_ && lineOpen_;
    clearLine();
    progress_.flush();
    results_ << text << "\n";
    results_.flush();
    if (redrawAfter) redraw();
}

void ProgressDisplay::result(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_) events_->message(text);
    held_.push_back(text);
}

void ProgressDisplay::detail(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_) events_->message(text);
    if (detail_ == Detail::Quiet) return;
    // The same text came as a status a moment ago and is on screen already.
    if (printedStatus_ == text && isFailureDetail(text)) return;
    keptLine(text);
}

void ProgressDisplay::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    keptLine(line);
}

void ProgressDisplay::closingNote(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_.push_back(line);
}

void ProgressDisplay::countdown(int secondsLeft) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (secondsLeft == secondsLeft_) return;
    secondsLeft_ = secondsLeft;
    if (terminal_ && lineOpen_) redraw();
}

void ProgressDisplay::setShowBar(bool show) {
    std::lock_guard<std::mutex> lock(mutex_);
    showBar_ = show;
}

void ProgressDisplay::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminal_ && lineOpen_) {
        progress_ << "\n";
        progress_.flush();
        lineOpen_ = false;
    }
    for (const std::string& line : closing_) progress_ << line << "\n";
    progress_.flush();
    closing_.clear();
    for (const std::string& text : held_) results_ << text << "\n";
    results_.flush();
    held_.clear();
}

// ---- Outcomes -----------------------------------------------------------

int flashExitCode(const RunRecord& run) { return downloadExitCode(run.outcomes); }

KeyboardState keyboardState(const RunRecord& run, int exitCode) {
    if (exitCode == EXIT_OK) return KeyboardState::Updated;
    bool inBootLoader = run.startedInIsp;
    bool erased = false;
    bool written = false;
    bool resetBeforeErase = false;
    // A keyboard that could not be opened again after its ISP entry left the
    // bus, as it does to come back as its boot loader.
    const bool lostAfterEntry = std::any_of(run.outcomes.begin(), run.outcomes.end(), [](const ReportedOutcome& o) {
        return o.outcome == Outcome::NoDevice;
    });
    for (const std::string& s : run.statuses) {
        if (s == "Enter ISP mode fail" && (run.ispImage || lostAfterEntry)) {
            // The boot-loader entry of an ISP image keeps the interface: whether
            // the keyboard switched before its answer was lost cannot be seen.
            inBootLoader = true;
        } else if (s == "Enter ISP mode success. Waiting for the Windows to detect it." || s == "Checking Profile") {
            inBootLoader = true;
        } else if (s == "Chip Erase" || s == "Start firmware update") {
            erased = true;  // from the erase command on, the old firmware may be gone
        } else if (s == "Firmware update success") {
            written = true;
        } else if (s == "Reset success" && !erased) {
            resetBeforeErase = true;  // the recovery reset took it back into its firmware
        }
    }
    if (written) return KeyboardState::WrittenUnconfirmed;
    if (erased) return KeyboardState::BootLoaderErased;
    if (inBootLoader && !resetBeforeErase) return KeyboardState::BootLoaderIntact;
    return KeyboardState::Untouched;
}

const char* keyboardStateKey(KeyboardState state) {
    switch (state) {
    case KeyboardState::Untouched: return "untouched";
    case KeyboardState::BootLoaderIntact: return "bootloader-intact";
    case KeyboardState::BootLoaderErased: return "bootloader-erased";
    case KeyboardState::WrittenUnconfirmed: return "written-unconfirmed";
    case KeyboardState::Updated: return "updated";
    }
    return "";
}

const char* keyboardStateText(KeyboardState state) {
    switch (state) {
    case KeyboardState::Untouched: return "untouched, its firmware as it was";
    case KeyboardState::BootLoaderIntact: return "in its boot loader with its firmware intact";
    case KeyboardState::BootLoaderErased:
        return "in its boot loader, its firmware erased or partly written (flash it again)";
    case KeyboardState::WrittenUnconfirmed: return "written, but the new firmware is not confirmed";
    case KeyboardState::Updated: return "updated";
    }
    return "";
}

int versionExitCode(const RunRecord& run, std::string& versionText) {
    const int code = commandExitCode(run.outcomes);
    if (code != EXIT_OK) return code;
    // The version is the text of the box (a framed keyboard also sets the
    // status line; a legacy one only shows the box).
    for (const auto& t : run.texts) {
        if (!t.isResult) {
            versionText = t.text;
            return EXIT_OK;
        }
    }
    return EXIT_INTERNAL;
}

int testModeExitCode(const RunRecord& run) { return commandExitCode(run.outcomes); }

int factoryResetExitCode(const RunRecord& run) { return commandExitCode(run.outcomes); }

}  // namespace vantel::cli
