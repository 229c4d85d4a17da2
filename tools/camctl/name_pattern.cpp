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

void add_literal(NamePattern* out, char c) {
    if (out->pieces.empty() || out->pieces.back().kind != NamePattern::Literal)
        out->pieces.push_back({NamePattern::Literal, ""});
    out->pieces.back().text += c;
}

}  // namespace

bool parse_name_pattern(const char* text, NamePattern* pattern, std::string* why,
                        bool need_number) {
    NamePattern out;
    for (const char* p = text; *p; ++p) {
        if (*p != '%' || p[1] == '%') {
            add_literal(&out, *p);
            p += *p == '%';
            continue;
        }
        if (p[1] == 't') {
            out.pieces.push_back({NamePattern::Time, ""});
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
                   "' is not an integer conversion (d, i, u, o, x or X) nor %t";
            return false;
        }
        if (out.numbered) {
            *why = "more than one conversion";
            return false;
        }
        out.numbered = true;
        out.pieces.push_back({NamePattern::Number, std::string(start, p + 1)});
    }
    if (need_number && !out.numbered) {
        *why = "no conversion for the frame number (such as %03d)";
        return false;
    }
    *pattern = out;
    return true;
}

std::string format_name(const NamePattern& pattern, unsigned n, time_t when) {
    std::string name;
    for (const NamePattern::Piece& piece : pattern.pieces) {
        // The conversion is checked: one integer, at most 99 wide.
        char text[128] = "";
        if (piece.kind == NamePattern::Literal) {
            name += piece.text;
            continue;
        }
        if (piece.kind == NamePattern::Number) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            snprintf(text, sizeof text, piece.text.c_str(), n);
#pragma GCC diagnostic pop
        } else {
            struct tm local;
            if (localtime_r(&when, &local)) strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
        }
        name += text;
    }
    return name;
}
