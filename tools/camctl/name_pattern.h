// File names from a printf-style pattern such as "frame-%03d.bmp". The
// pattern comes from the user, so it is taken apart and checked rather than
// handed to printf: it holds at most one integer conversion, for the frame's
// number, and any number of %t, for the time.
#ifndef CAMCTL_NAME_PATTERN_H
#define CAMCTL_NAME_PATTERN_H

#include <time.h>

#include <string>
#include <vector>

struct NamePattern {
    enum Kind { Literal, Number, Time };
    struct Piece {
        Kind kind;
        // Literal: the text, "%%" already made "%"; Number: the conversion
        // "%[flags][width][.precision]d|i|u|o|x|X".
        std::string text;
    };
    std::vector<Piece> pieces;
    bool numbered = false;
};

// False with the reason in *why for anything but literal text, "%%", "%t"
// and one integer conversion with flags from "-+ #0", a width and a
// precision of at most two digits each; no length modifiers, no '*', no
// positional '$'. The conversion may be left out only if !need_number.
bool parse_name_pattern(const char* text, NamePattern* pattern, std::string* why,
                        bool need_number = true);

// The name for number n, taken at `when` (local time, YYYYMMDD-HHMMSS).
std::string format_name(const NamePattern& pattern, unsigned n, time_t when = 0);

#endif  // CAMCTL_NAME_PATTERN_H
