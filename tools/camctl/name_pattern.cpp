#include "name_pattern.h"

#include <stdio.h>
#include <string.h>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Up to two digits; false for more.
bool skip_digits(const char** p) {
    int n = 0;
    while (is_digit(**p)) ++*p, ++n;
    return n <= 2;
}

}  // namespace

bool parse_name_pattern(const char* text, NamePattern* pattern, std::string* why) {
    NamePattern out;
    std::string* literal = &out.prefix;
    bool seen = false;
    for (const char* p = text; *p; ++p) {
        if (*p != '%') {
            *literal += *p;
            continue;
        }
        if (p[1] == '%') {
            *literal += '%';
            ++p;
            continue;
        }
        const char* start = p++;
        while (*p && strchr("-+ #0", *p)) ++p;
        bool ok = skip_digits(&p);
        if (*p == '.') {
            ++p;
            ok = ok && skip_digits(&p);
        }
        if (!ok) {
            *why = "a width or precision of more than two digits";
            return false;
        }
        if (!*p || !strchr("diuoxX", *p)) {
            *why = std::string("'") + std::string(start, p + (*p ? 1 : 0)) +
                   "' is not an integer conversion (d, i, u, o, x or X)";
            return false;
        }
        if (seen) {
            *why = "more than one conversion";
            return false;
        }
        seen = true;
        out.conversion.assign(start, p + 1);
        literal = &out.suffix;
    }
    if (!seen) {
        *why = "no conversion for the frame number (such as %03d)";
        return false;
    }
    *pattern = out;
    return true;
}

std::string format_name(const NamePattern& pattern, unsigned n) {
    // The conversion is checked: one integer, at most 99 wide.
    char number[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(number, sizeof number, pattern.conversion.c_str(), n);
#pragma GCC diagnostic pop
    return pattern.prefix + number + pattern.suffix;
}
