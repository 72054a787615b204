#include "platform/win32/environment.h"

#include <windows.h>
#include <shellapi.h>

#include <charconv>

namespace vantel::win32 {

std::string toAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    const int wide = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide, out.data(), n, nullptr, nullptr);
    return out;
}

std::vector<std::string> ansiArguments(const wchar_t* commandLine) {
    std::vector<std::string> out;
    if (commandLine == nullptr) return out;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (argv == nullptr) return out;
    for (int i = 1; i < count; ++i) out.push_back(toAnsi(argv[i]));
    LocalFree(argv);
    return out;
}

namespace {

bool positive(const std::string& text, int& value) {
    if (text.empty()) return false;
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v <= 0) return false;
    value = v;
    return true;
}

}  // namespace

bool parseTimingScale(const std::string& text, int& num, int& den) {
    int n = 1, d = 1;
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) {
        if (!positive(text, d)) return false;
    } else if (!positive(text.substr(0, slash), n) || !positive(text.substr(slash + 1), d)) {
        return false;
    }
    num = n;
    den = d;
    return true;
}

std::string environmentValue(const char* name) {
    const DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
    if (n == 0) return {};
    std::string value(n, '\0');
    const DWORD got = GetEnvironmentVariableA(name, value.data(), n);
    value.resize(got < n ? got : 0);
    return value;
}

}  // namespace vantel::win32
