#include "cli/output.h"

#include <algorithm>
#include <cstdio>

namespace vantel::cli {

// ---- JSON ---------------------------------------------------------------

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
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

std::string devicesJson(const std::vector<ListedDevice>& devices) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto& d = devices[i];
        if (i) out += ",";
        out += "\n  {\"index\":" + std::to_string(d.index) + ",\"name\":" + jsonString(d.name) +
               ",\"vid\":" + std::to_string(d.vid) + ",\"pid\":" + std::to_string(d.pid) +
               ",\"path\":" + jsonString(d.path) +
               ",\"reportLength\":" + std::to_string(d.reportLength) +
               ",\"legacy\":" + (d.legacy ? "true" : "false") + "}";
    }
    out += devices.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string devicesText(const std::vector<ListedDevice>& devices) {
    if (devices.empty()) return "No keyboard found.\n";
    std::size_t nameWidth = 4;
    for (const auto& d : devices) nameWidth = std::max(nameWidth, d.name.size());
    std::string out;
    char ids[32];
    for (const auto& d : devices) {
        std::snprintf(ids, sizeof ids, "%04X:%04X", static_cast<unsigned>(d.vid & 0xFFFF),
                      static_cast<unsigned>(d.pid & 0xFFFF));
        std::string name = d.name;
        name.resize(nameWidth, ' ');
        out += std::to_string(d.index) + "  " + name + "  " + ids + "  report " +
               std::to_string(d.reportLength) + (d.legacy ? "  legacy" : "") + "  " + d.path + "\n";
    }
    return out;
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
    std::string line = showBar_ ? progressBar(percent(), 20) + "  " + status_ : status_;
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

void ProgressDisplay::status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = text;
    if (terminal_) {
        redraw();
        return;
    }
    if (text.empty() || (anyStatus_ && text == printedStatus_)) return;
    progress_ << text << "\n";
    progress_.flush();
    printedStatus_ = text;
    anyStatus_ = true;
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
    const bool redrawAfter = terminal_ && lineOpen_;
    clearLine();
    progress_.flush();
    results_ << text << "\n";
    results_.flush();
    if (redrawAfter) redraw();
}

void ProgressDisplay::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool redrawAfter = terminal_ && lineOpen_;
    clearLine();
    progress_ << line << "\n";
    progress_.flush();
    if (redrawAfter) redraw();
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
}

// ---- Outcomes -----------------------------------------------------------

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
int firstFailure(const RunRecord& run) {
    for (const auto& o : run.outcomes) {
        if (o.outcome != Outcome::Success) return exitCodeFor(o.outcome);
    }
    return EXIT_OK;
}

// The commands without a download: the first failure decides, else a success.
int commandExitCode(const RunRecord& run) {
    const int failure = firstFailure(run);
    if (failure != EXIT_OK) return failure;
    return run.outcomes.empty() ? EXIT_INTERNAL : EXIT_OK;
}

}  // namespace

int flashExitCode(const RunRecord& run) {
    const ReportedOutcome* lastFinal = nullptr;
    for (const auto& o : run.outcomes) {
        if (o.finalResult) lastFinal = &o;
    }
    // A reopen that failed on the way does not spoil a download that succeeded.
    if (lastFinal && lastFinal->outcome == Outcome::Success) return EXIT_OK;
    const int failure = firstFailure(run);
    return failure != EXIT_OK ? failure : EXIT_INTERNAL;
}

int versionExitCode(const RunRecord& run, std::string& versionText) {
    const int code = commandExitCode(run);
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

int testModeExitCode(const RunRecord& run) { return commandExitCode(run); }

int factoryResetExitCode(const RunRecord& run) { return commandExitCode(run); }

}  // namespace vantel::cli
