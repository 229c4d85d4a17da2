#include "control_names.h"

#include <ctype.h>
#include <string.h>

// The controls a UVC camera commonly offers, by their V4L2 names.
const NamedControl kControls[] = {
    {"brightness", V4L2_CID_BRIGHTNESS},
    {"contrast", V4L2_CID_CONTRAST},
    {"saturation", V4L2_CID_SATURATION},
    {"hue", V4L2_CID_HUE},
    {"white_balance_automatic", V4L2_CID_AUTO_WHITE_BALANCE},
    {"gamma", V4L2_CID_GAMMA},
    {"gain", V4L2_CID_GAIN},
    {"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY},
    {"white_balance_temperature", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
    {"sharpness", V4L2_CID_SHARPNESS},
    {"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION},
    {"auto_exposure", V4L2_CID_EXPOSURE_AUTO},
    {"exposure_time_absolute", V4L2_CID_EXPOSURE_ABSOLUTE},
    {"exposure_dynamic_framerate", V4L2_CID_EXPOSURE_AUTO_PRIORITY},
    {"focus_absolute", V4L2_CID_FOCUS_ABSOLUTE},
    {"focus_automatic_continuous", V4L2_CID_FOCUS_AUTO},
    {"zoom_absolute", V4L2_CID_ZOOM_ABSOLUTE},
};

const size_t kControlCount = sizeof kControls / sizeof kControls[0];

std::string control_key(const char* text) {
    std::string key;
    bool gap = false;
    for (const char* p = text; *p; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (!isalnum(ch)) {
            gap = !key.empty();
            continue;
        }
        if (gap) key += '_';
        gap = false;
        key += static_cast<char>(tolower(ch));
    }
    return key;
}

bool control_id(const char* name, uint32_t* id) {
    const std::string key = control_key(name);
    for (const NamedControl& c : kControls)
        if (key == c.name) return *id = c.id, true;
    return false;
}

const char* control_name(uint32_t id) {
    for (const NamedControl& c : kControls)
        if (c.id == id) return c.name;
    return "control";
}
