#include "args.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <linux/videodev2.h>

namespace {

// A whole decimal number ending at the first character not a digit.
bool parse_number(const char* text, unsigned long* out, const char** end) {
    if (!text || *text < '0' || *text > '9') return false;
    char* stop = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &stop, 10);
    if (errno != 0) return false;
    *out = value;
    *end = stop;
    return true;
}

}  // namespace

bool parse_uint(const char* text, unsigned min, unsigned max, unsigned* out) {
    unsigned long value = 0;
    const char* end = nullptr;
    if (!parse_number(text, &value, &end) || *end != '\0') return false;
    if (value < min || value > max) return false;
    *out = static_cast<unsigned>(value);
    return true;
}

bool parse_size(const char* text, unsigned* width, unsigned* height) {
    unsigned long w = 0, h = 0;
    const char* end = nullptr;
    if (!parse_number(text, &w, &end) || (*end != 'x' && *end != 'X')) return false;
    if (!parse_number(end + 1, &h, &end) || *end != '\0') return false;
    if (w < 1 || w > 65535 || h < 1 || h > 65535) return false;
    *width = static_cast<unsigned>(w);
    *height = static_cast<unsigned>(h);
    return true;
}

const char kFourccChoices[] = "MJPG, MJPEG, YUYV or YUY2";

bool parse_fourcc(const char* text, uint32_t* fourcc) {
    // The catalogue's labels, and the names V4L2 and other tools use.
    static const struct {
        const char* name;
        uint32_t fourcc;
    } kNames[] = {{"MJPG", V4L2_PIX_FMT_MJPEG},
                  {"MJPEG", V4L2_PIX_FMT_MJPEG},
                  {"YUYV", V4L2_PIX_FMT_YUYV},
                  {"YUY2", V4L2_PIX_FMT_YUYV}};
    if (!text) return false;
    for (const auto& n : kNames) {
        if (!strcasecmp(text, n.name)) {
            *fourcc = n.fourcc;
            return true;
        }
    }
    return false;
}

bool parse_seconds(const char* text, int* millis) {
    if (!text || !*text) return false;
    char* stop = nullptr;
    errno = 0;
    double seconds = strtod(text, &stop);
    if (errno != 0 || *stop != '\0' || !(seconds > 0) || seconds > 86400) return false;
    *millis = static_cast<int>(ceil(seconds * 1000));
    return true;
}
