#include "app/command_line.h"

#include <limits>

namespace vantel {

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::int32_t parseHexArgument(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && isCSpace(text[i])) ++i;

    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The prefix counts only when a digit follows it; "0x" alone reads as the digit 0.
    if (i + 2 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        hexDigit(text[i + 2]) >= 0) {
        i += 2;
    }

    // The magnitude saturates just past the largest value that can matter, so
    // a long run of digits cannot overflow.
    constexpr std::int64_t kLimit = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    bool anyDigit = false;
    for (; i < n; ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0) break;
        anyDigit = true;
        magnitude = magnitude * 16 + d;
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (!anyDigit) return 0;

    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

std::int32_t modelKeywordPid(const std::string& keyword) {
    if (keyword == "RX-439") return 0x0673;
    if (keyword == "RX-440") return 0x0672;
    if (keyword == "RX-441") return 0x0661;
    if (keyword == "RX-442") return 0x0953;
    return 0xFFFF;
}

bool isNamedResultDestination(const std::string& resultArgument) {
    return resultArgument == "EVENTVIEWER" || resultArgument == "SHOWMSGBOX";
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments,
                             const std::function<std::string(const std::string&)>& lowerCase) {
    CommandLine line;
    const std::size_t n = arguments.size();

    if (n == 1) {
        const std::string lowered = lowerCase ? lowerCase(arguments[0]) : arguments[0];
        if (lowered.find("zentrix") != std::string::npos) {
            // A path that merely contains the word (in a folder name, say) is
            // still a keyword form, never a firmware path.
            line.form = CommandLineForm::Keyword;
            if (lowered == "zentrix_us") {
                line.keywordMode = 1;
            } else if (lowered == "zentrix_eu") {
                line.keywordMode = 2;
            }
            return line;
        }
        line.form = CommandLineForm::Path;
        line.argumentPath = arguments[0];
        return line;
    }

    if (n >= 2 && n <= 4) {
        line.form = CommandLineForm::HostDriven;
        line.argumentPath = arguments[0];
        line.resultArgument = arguments[1];
        if (n == 4) {
            line.hostVid = parseHexArgument(arguments[2]);
            line.hostPid = parseHexArgument(arguments[3]);
        } else if (n == 3) {
            // The model keyword names a product ID only; with no vendor ID the
            // device choice by model stays off, as the host tools expect today.
            line.hostPid = modelKeywordPid(arguments[2]);
        }
        line.resultFileRun = !isNamedResultDestination(line.resultArgument);
        return line;
    }

    return line;  // none, or five and more: ignored
}

}  // namespace vantel
