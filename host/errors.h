// errors.h - the error type and warnings every host layer shares.
#ifndef TARVOCOIL_HOST_ERRORS_H
#define TARVOCOIL_HOST_ERRORS_H

#include <cstdio>
#include <stdexcept>
#include <string>

namespace tarvotool {

// A failure the user can act on. main() prints the message once, after
// "tarvocoil: ", and exits non-zero.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace terminal_detail {

// Length of the valid UTF-8 sequence at text[i], 0 when it is none.
inline std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    const unsigned char d = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90))
        return 0;  // overlong, a surrogate, or beyond U+10FFFF
    return n;
}

inline void AppendHex(std::string& out, const char* prefix, unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%02x", prefix, value);
    out += buf;
}

}  // namespace terminal_detail

// Text as it may go to a terminal: control characters (C0, DEL and the C1
// range, which some terminals obey as escape sequences) and bytes that are
// no UTF-8 become visible \xHH or \u00HH; tabs and valid UTF-8 stay. Names,
// paths and file contents reach messages from anyone's files.
inline std::string TerminalText(const std::string& text) {
    using namespace terminal_detail;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7F) AppendHex(out, "\\x", c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = Utf8Length(text, i);
        const unsigned char d = n == 2 ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (n == 0) AppendHex(out, "\\x", c);
        else if (c == 0xC2 && d < 0xA0) AppendHex(out, "\\u00", d);
        else out.append(text, i, n);
        i += n == 0 ? 1 : n;
    }
    return out;
}

inline void Warn(const std::string& message) {
    std::fprintf(stderr, "tarvocoil: warning: %s\n", TerminalText(message).c_str());
}

}  // namespace tarvotool

#endif
