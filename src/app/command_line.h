#pragma once
// The command line: which run mode the arguments select and the start-up
// values they carry. Parsing is pure; CVantelDlg applies the result to the
// window (boxes, timers, the tray icon, the compact layout).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantel {

enum class CommandLineForm {
    None,        // no arguments, or five and more (ignored): an interactive run
    Keyword,     // one argument containing "zentrix" in any letter case
    Path,        // one firmware path: the Download command starts by itself
    HostDriven,  // path, result destination, and optionally the target keyboard
};

struct CommandLine {
    CommandLineForm form = CommandLineForm::None;
    int keywordMode = 0;            // Keyword: 1 "zentrix_us", 2 "zentrix_eu", else 0
    std::string argumentPath;       // Path and HostDriven, letter case kept
    std::string resultArgument;     // HostDriven
    std::int32_t hostVid = 0;       // HostDriven with four arguments
    std::int32_t hostPid = 0;       // HostDriven with three or four arguments
    bool resultFileRun = false;     // HostDriven whose destination is a file
};

// `arguments` are those after the executable's path, already in the ANSI code
// page; `lowerCase` lower-cases such text (multi-byte aware).
CommandLine parseCommandLine(const std::vector<std::string>& arguments,
                             const std::function<std::string(const std::string&)>& lowerCase);

// A hexadecimal number read the way strtol(text, nullptr, 16) reads it with a
// 32-bit long: leading white space, an optional sign, an optional 0x or 0X,
// then digits up to the first other character. No digits give 0; a value
// beyond the 32-bit signed range gives the nearest limit.
std::int32_t parseHexArgument(const std::string& text);

// The product ID that a model keyword of the three-argument form names:
// "RX-439" 0x0673, "RX-440" 0x0672, "RX-441" 0x0661, "RX-442" 0x0953, any
// other text 0xFFFF. Exact comparison.
std::int32_t modelKeywordPid(const std::string& keyword);

// True for the destinations that are not a result file ("EVENTVIEWER" and
// "SHOWMSGBOX", exact letter case).
bool isNamedResultDestination(const std::string& resultArgument);

}  // namespace vantel
