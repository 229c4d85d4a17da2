#include "file_name.h"

#include <stdio.h>
#include <string.h>

namespace record {
namespace {

const char kTimeConversions[] = "YmdHMSjy";

// Walks the pattern: literal text to `text`, each conversion to `conv`
// (its letter and width). False at the first unknown conversion.
template <typename Text, typename Conv>
bool walk(const char* p, Text text, Conv conv, std::string* why) {
    while (*p) {
        if (*p != '%') {
            text(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            text(*p++);
            continue;
        }
        int width = 0;
        while (*p >= '0' && *p <= '9' && width < 100) width = width * 10 + (*p++ - '0');
        if (*p == 'N' && width < 100) {
            conv('N', width);
        } else if (*p && strchr(kTimeConversions, *p) && p == start + 1) {
            conv(*p, 0);
        } else {
            if (why)
                *why = std::string("'") + std::string(start, *p ? p + 1 : p) +
                       "' is not one of %Y %m %d %H %M %S %j %y, %N or %0<width>N, %%";
            return false;
        }
        ++p;
    }
    return true;
}

}  // namespace

bool parse_file_name(const char* text, FileNamePattern* pattern, std::string* why) {
    FileNamePattern out;
    out.text = text;
    bool ok = walk(
        text, [](char) {},
        [&](char c, int) {
            if (c == 'N') out.has_number = true;
            if (c == 'S') out.has_time = true;
        },
        why);
    if (ok) *pattern = out;
    return ok;
}

std::string file_name(const FileNamePattern& pattern, unsigned number, time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    std::string out;
    walk(
        pattern.text.c_str(), [&](char c) { out += c; },
        [&](char c, int width) {
            char piece[128];
            if (c == 'N') {
                snprintf(piece, sizeof piece, "%0*u", width, number);
            } else {
                const char conv[] = {'%', c, '\0'};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
                if (strftime(piece, sizeof piece, conv, &local) == 0) piece[0] = '\0';
#pragma GCC diagnostic pop
            }
            out += piece;
        },
        nullptr);
    return out;
}

}  // namespace record
