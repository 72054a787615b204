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

namespace {

// The conversion, when it loses nothing (no default character, no best fit).
bool exactAnsi(const std::wstring& text, std::string& out) {
    if (text.empty()) {
        out.clear();
        return true;
    }
    const int wide = static_cast<int>(text.size());
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wide, nullptr, 0,
                                      nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    std::string converted(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wide, converted.data(), n, nullptr,
                        &lossy);
    if (lossy) return false;
    out = std::move(converted);
    return true;
}

bool shortForm(const std::wstring& path, std::wstring& out) {
    const DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return false;
    std::wstring buffer(n, L'\0');
    const DWORD got = GetShortPathNameW(path.c_str(), buffer.data(), n);
    if (got == 0 || got >= n) return false;
    buffer.resize(got);
    out = std::move(buffer);
    return true;
}

}  // namespace

std::string ansiPath(const std::wstring& path) {
    std::string out;
    if (exactAnsi(path, out)) return out;
    std::wstring shortened;
    if (shortForm(path, shortened) && exactAnsi(shortened, out)) return out;
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && shortForm(path.substr(0, slash), shortened) &&
        exactAnsi(shortened + path.substr(slash), out)) {
        return out;
    }
    return toAnsi(path);
}

std::vector<std::string> ansiArguments(const wchar_t* commandLine) {
    std::vector<std::string> out;
    if (commandLine == nullptr) return out;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (argv == nullptr) return out;
    for (int i = 1; i < count; ++i) out.push_back(ansiPath(argv[i]));
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
