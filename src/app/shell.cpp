#include "app/shell.h"

namespace vantel {

namespace {

bool noLeadBytes(unsigned char) { return false; }

}  // namespace

std::string lowerCaseMultiByte(const std::string& text, bool (*isLeadByte)(unsigned char)) {
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (isLeadByte != nullptr && isLeadByte(c)) {
            // The next byte belongs to the same character; in double-byte code
            // pages it can look like an ASCII capital, so it is left alone.
            ++i;
            continue;
        }
        if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string Shell::lowerCaseAnsi(const std::string& text) {
    return lowerCaseMultiByte(text, noLeadBytes);
}

}  // namespace vantel
