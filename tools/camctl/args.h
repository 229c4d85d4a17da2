// Parsing of command-line values shared by the camctl sub-commands. Each
// parser returns false, leaving the output alone, on anything malformed.
#ifndef CAMCTL_ARGS_H
#define CAMCTL_ARGS_H

#include <stdint.h>

// A decimal number in [min, max].
bool parse_uint(const char* text, unsigned min, unsigned max, unsigned* out);
// "WIDTHxHEIGHT", both in 1..65535.
bool parse_size(const char* text, unsigned* width, unsigned* height);
// "MJPG" or "YUY2" (the catalogue's labels), "MJPEG" or "YUYV", in any
// case, to the V4L2 fourcc.
bool parse_fourcc(const char* text, uint32_t* fourcc);
// The names parse_fourcc takes, for messages.
extern const char kFourccChoices[];
// Seconds, fractions allowed, above 0 and at most a day; as milliseconds.
bool parse_seconds(const char* text, int* millis);

#endif  // CAMCTL_ARGS_H
