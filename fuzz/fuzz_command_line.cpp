// The command line as a host tool or a user may type it: the input is split
// at line feeds into up to seven arguments and interpreted.
//
// Checked: no argument count outside one to four selects a run mode, the
// values a form does not carry stay at their defaults, and the multi-byte
// aware lower-casing keeps the length and every byte that is not A-Z.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#if __has_include("app/command_line.h")
#include "app/command_line.h"
#include "app/shell.h"
#define VANTEL_FUZZ_HAVE_COMMAND_LINE 1
#endif

#ifdef VANTEL_FUZZ_HAVE_COMMAND_LINE
namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// A double-byte code page: lead bytes 0x81-0x9F and 0xE0-0xFC.
bool leadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string lowerCase(const std::string& text) {
    std::string out = vantel::lowerCaseMultiByte(text, leadByte);
    check(out.size() == text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c < 'A' || c > 'Z') check(out[i] == c);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    std::string current;
    for (std::size_t i = 0; i < size && arguments.size() < 7; ++i) {
        if (data[i] == '\n') {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0 && arguments.size() < 7) arguments.push_back(current);

    const vantel::CommandLine line = vantel::parseCommandLine(arguments, lowerCase);
    if (arguments.empty() || arguments.size() >= 5) check(line.form == vantel::CommandLineForm::None);
    if (line.form != vantel::CommandLineForm::HostDriven) {
        check(line.resultArgument.empty());
        check(line.hostVid == 0 && line.hostPid == 0);
        check(!line.resultFileRun);
    } else {
        check(line.resultFileRun == !vantel::isNamedResultDestination(line.resultArgument));
    }
    if (line.form != vantel::CommandLineForm::Keyword) check(line.keywordMode == 0);

    for (const std::string& a : arguments) {
        (void)vantel::parseHexArgument(a);
        const std::int32_t pid = vantel::modelKeywordPid(a);
        check(pid == 0x0673 || pid == 0x0672 || pid == 0x0661 || pid == 0x0953 || pid == 0xFFFF);
    }
    return 0;
}
#else
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
#endif
