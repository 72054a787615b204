#pragma once
// What Vantel.exe takes from its process: the command line in the ANSI code
// page, and the settings of test runs from the environment.

#include <string>
#include <vector>

namespace vantel::win32 {

// The arguments after the executable's path, split the way CommandLineToArgvW
// splits them and each converted by ansiPath.
std::vector<std::string> ansiArguments(const wchar_t* commandLine);

// UTF-16 text in the thread's ANSI code page.
std::string toAnsi(const std::wstring& text);

// A path in the thread's ANSI code page. Where the code page cannot hold it,
// its short (8.3) form, which can, names the same file: the whole path's when
// it exists, else its folder's with the file name as it is (a result file yet
// to be written). Without a short form the lossy conversion is all there is.
std::string ansiPath(const std::wstring& path);

// VANTEL_TIMING_SCALE: "num/den" (for example "1/50") or a plain divisor
// ("50"), both positive. False for anything else, leaving the outputs alone.
bool parseTimingScale(const std::string& text, int& num, int& den);

// An environment variable; empty when unset.
std::string environmentValue(const char* name);

}  // namespace vantel::win32
