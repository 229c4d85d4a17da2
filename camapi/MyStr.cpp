// String helpers of the catalogue. A blank is a tab or a space, nothing else:
// line ends and other white space are kept.
#include <cstring>

#include "camapi.h"

namespace {
bool isBlank(char c) {
    return c == '\t' || c == ' ';
}
}  // namespace

void trim_l(char* s) {
    if (!s) return;
    size_t lead = 0;
    while (isBlank(s[lead])) ++lead;
    if (lead) std::memmove(s, s + lead, std::strlen(s + lead) + 1);
}

void trim_r(char* s) {
    if (!s) return;
    size_t len = std::strlen(s);
    while (len > 0 && isBlank(s[len - 1])) --len;
    s[len] = '\0';
}

void trim(char* s) {
    trim_l(s);
    trim_r(s);
}

// Unbounded on purpose: callers size the destination for the source.
void setString(char* dest, const char* src) {
    if (!dest) return;
    if (!src) {
        dest[0] = '\0';
        return;
    }
    std::strcpy(dest, src);
}
