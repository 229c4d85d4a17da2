// File names from a printf-style pattern such as "frame-%03d.bmp". The
// pattern comes from the user, so it is taken apart and checked rather than
// handed to printf: it must hold exactly one integer conversion.
#ifndef CAMCTL_NAME_PATTERN_H
#define CAMCTL_NAME_PATTERN_H

#include <string>

struct NamePattern {
    std::string prefix;      // literal text, "%%" already made "%"
    std::string conversion;  // "%[flags][width][.precision]d|i|u|o|x|X"
    std::string suffix;
};

// False with the reason in *why for anything but literal text, "%%" and one
// integer conversion with flags from "-+ #0", a width and a precision of at
// most two digits each; no length modifiers, no '*', no positional '$'.
bool parse_name_pattern(const char* text, NamePattern* pattern, std::string* why);

// The name for number n.
std::string format_name(const NamePattern& pattern, unsigned n);

#endif  // CAMCTL_NAME_PATTERN_H
