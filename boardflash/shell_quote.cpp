#include "shell_quote.h"

namespace boardflash {

namespace {

// A whitelist rather than a list of special characters: anything not known to be inert (blanks,
// control characters, bytes above 0x7f, and every character some shell gives a meaning) gets
// quoted, which costs nothing when pasted.
bool is_plain_char(char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= '0' && c <= '9') return true;
    switch (c) {
        case '/':
        case '.':
        case '_':
        case '-':
        case '+':
        case ',':
        case ':':
        case '@':
        case '%':
        case '=':
            return true;
        default:
            return false;
    }
}

}  // namespace

bool is_shell_plain(const std::string& text) {
    for (char c : text) {
        if (!is_plain_char(c)) return false;
    }
    return true;
}

std::string shell_quote(const std::string& text) {
    if (is_shell_plain(text)) return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace boardflash
