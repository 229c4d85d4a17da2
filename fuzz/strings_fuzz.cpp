// The catalogue's string handling on arbitrary text: trim_l, trim_r, trim and
// setString on buffers of exactly the text's size, and the card-name rule
// through the simulated camera with the text as its card string.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camapi.h"
#include "check.h"
#include "simcam.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& s, bool left, bool right) {
    size_t b = 0, e = s.size();
    if (left)
        while (b < e && blank(s[b])) ++b;
    if (right)
        while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The text up to its first NUL, in a heap block of exactly that size + 1.
char* c_copy(const std::string& text) {
    size_t n = std::strlen(text.c_str());
    char* s = new char[n + 1];
    std::memcpy(s, text.c_str(), n + 1);
    return s;
}

void fuzz_trim(const std::string& text, int which) {
    char* s = c_copy(text);
    std::string plain = s;
    if (which == 0) trim_l(s);
    if (which == 1) trim_r(s);
    if (which == 2) trim(s);
    FUZZ_CHECK(trimmed(plain, which != 1, which != 0) == s);
    delete[] s;
}

void fuzz_set_string(const std::string& text) {
    char* src = c_copy(text);
    char* dst = new char[std::strlen(src) + 1];
    setString(dst, src);
    FUZZ_CHECK(std::strcmp(dst, src) == 0);
    delete[] dst;
    delete[] src;
}

void fuzz_card_name(const std::string& text) {
    simcam::reset();
    simcam::Camera cam = simcam::default_camera();
    cam.card = text;
    if (!simcam::add_camera(cam)) return;

    g_devList = static_cast<CamDevice*>(std::calloc(1, sizeof(CamDevice)));
    g_devNum = 1;
    cam_get_devname_and_enumfmt("/dev/video0", 0);

    // The driver's field holds 31 characters and a terminator.
    std::string card = std::string(text.c_str()).substr(0, 31);
    size_t colon = card.find(':');
    std::string want =
        trimmed(colon == std::string::npos ? card : card.substr(colon + 1), true, true);
    FUZZ_CHECK(want == g_devList[0].devName);
    FUZZ_CHECK(g_devList[0].fmtNum == 2);
    cam_free_devices();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
        case 1:
        case 2:
            fuzz_trim(text, data[0] % 5);
            break;
        case 3:
            fuzz_set_string(text);
            break;
        default:
            fuzz_card_name(text);
            break;
    }
    return 0;
}
