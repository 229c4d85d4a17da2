// What camctl serve accepts from a request before it reaches the camera: the
// first byte picks the check (camera query, DSP, sensor, control body), the
// rest is the query text or JSON body. Whatever is accepted must be within
// what the camera calls allow; nothing may throw or read out of bounds.
#include <cstdint>
#include <string>

#include "check.h"
#include "values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    const int which = data[0] % 5;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string why;
    int cam = -1;
    if (which == 0) {
        if (serve::cam_index(text.c_str(), &cam, &why))
            FUZZ_CHECK(cam == 0 || cam == 1);
        else
            FUZZ_CHECK(!why.empty());
        return 0;
    }
    nlohmann::json body;
    if (!serve::parse_object(text, &body, &why)) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    if (which == 1 || which == 2) {
        serve::RegisterRequest r;
        bool ok =
            which == 1 ? serve::dsp_request(body, &r, &why) : serve::sensor_request(body, &r, &why);
        if (!ok) {
            FUZZ_CHECK(!why.empty());
            return 0;
        }
        FUZZ_CHECK(r.cam == 0 || r.cam == 1);
        if (which == 1) {
            FUZZ_CHECK(r.count >= 1 && r.count <= 8);
            FUZZ_CHECK(!r.write || r.data.size() == r.count);
        } else {
            FUZZ_CHECK(r.bits == 8 || r.bits == 16);
            FUZZ_CHECK(r.value <= (r.bits == 8 ? 0xFFu : 0xFFFFu));
        }
        return 0;
    }
    if (which == 3) {
        serve::ControlRequest r;
        if (serve::control_request(body, &r, &why))
            FUZZ_CHECK((r.cam == 0 || r.cam == 1) && r.name.size() <= 64);
        else
            FUZZ_CHECK(!why.empty());
        return 0;
    }
    // A number accepted from a string reads back the same from its hex form.
    for (auto& item : body.items()) {
        uint32_t v = 0, again = 0;
        if (!serve::number_value(item.value(), 0xFFFFFFFF, &v, &why)) continue;
        FUZZ_CHECK(serve::number_value(serve::hex(v, 0), 0xFFFFFFFF, &again, &why));
        FUZZ_CHECK(again == v);
    }
    return 0;
}
