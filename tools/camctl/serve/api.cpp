#include "api.h"

#include <errno.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "camapi.h"
#include "choose.h"
#include "control_info.h"
#include "control_names.h"
#include "recording.h"
#include "values.h"

namespace serve {

namespace {

using nlohmann::json;

Reply camera_error(const char* what, int err) {
    return error_reply(502, std::string(what) + ": " + strerror(err));
}

// The extension unit stalls (EILSEQ) or the transfer fails (EIO, EPIPE) when
// the camera's firmware will not take an address or a length: strerror's
// "Invalid or incomplete multibyte or wide character" would only puzzle.
Reply register_error(const char* what, int err) {
    if (err == EILSEQ || err == EIO || err == EPIPE)
        return error_reply(502, std::string(what) + ": the camera refused the register access");
    return camera_error(what, err);
}

// Only the ids the controls list offers: others, such as ids carrying the
// driver's "next control" flag, would make it answer for another control.
bool listed(uint32_t id) {
    for (size_t i = 0; i < kControlCount; ++i)
        if (kControls[i].id == id) return true;
    return false;
}

// The feed of the camera, or a 404 reply in *r.
Feed* feed_of(Feed* const feeds[2], int cam, Reply* r) {
    if (!feeds[cam]) *r = error_reply(404, "no camera " + std::to_string(cam) + " is served");
    return feeds[cam];
}

}  // namespace

Reply json_reply(const json& j) {
    Reply r;
    // Names from the catalogue may hold invalid UTF-8; replace, never throw.
    r.body = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return r;
}

Reply error_reply(int status, const std::string& why) {
    Reply r = json_reply(json{{"error", why}});
    r.status = status;
    return r;
}

Reply get_state(Feed* const feeds[2]) {
    json cams = json::array();
    for (int cam = 0; cam < 2; ++cam) {
        if (!feeds[cam]) continue;
        FeedStatus s = feed_status(feeds[cam]);
        const Capture& c = s.capture;
        double fps = c.numerator ? static_cast<double>(c.denominator) / c.numerator : 0;
        cams.push_back(
            {{"cam", cam},
             {"device", c.device},
             {"card", c.name},
             {"format", fourcc_text(c.fourcc)},
             {"width", c.width},
             {"height", c.height},
             {"fps", fps},
             {"measured_fps", static_cast<double>(static_cast<int>(s.measured_fps * 100)) / 100},
             {"signal", s.signal},
             {"capturing", s.capturing},
             {"frames", s.frames},
             {"damaged", s.damaged},
             {"clients", s.clients},
             {"recording", recording_state(feeds[cam])}});
    }
    return json_reply(json{{"version", CAMKIT_VERSION}, {"cameras", cams}});
}

Reply snapshot_reply(const Picture& p) {
    Reply r;
    // The picture is shared with the streams; the answer keeps its own copy.
    r.body.assign(p.jpeg->begin(), p.jpeg->end());
    r.type = "image/jpeg";
    if (!p.signal) {
        r.status = 503;
        r.headers = {{"X-No-Signal", "1"}, {"Retry-After", "1"}};
    }
    return r;
}

Reply get_devices() {
    json devices = json::array();
    // The catalogue is global in camapi; one caller at a time.
    static std::mutex catalogue;
    std::lock_guard<std::mutex> lock(catalogue);
    int n = cam_enum_devices();
    const CamDevice* list = cam_get_device_list();
    for (int d = 0; list && d < n; ++d) {
        const CamDevice& dev = list[d];
        json formats = json::array();
        for (int f = 0; dev.fmtList && f < dev.fmtNum; ++f) {
            const CamFormat& fmt = dev.fmtList[f];
            json resolutions = json::array();
            for (int r = 0; r < fmt.resNum; ++r) {
                const CamResolution& res = fmt.resList[r];
                json rates = json::array();
                for (int i = 0; i < res.rateNum; ++i) {
                    const CamFrameRate& rate = res.rateList[i];
                    json fps = nullptr;
                    if (rate.numerator)
                        fps = static_cast<double>(rate.denominator) / rate.numerator;
                    rates.push_back({{"denominator", rate.denominator},
                                     {"numerator", rate.numerator},
                                     {"fps", fps}});
                }
                resolutions.push_back(
                    {{"width", res.width}, {"height", res.height}, {"frameIntervals", rates}});
            }
            formats.push_back({{"fmtName", fmt.fmtName},
                               {"pixelFormat", fmt.pixelFormat},
                               {"resolutions", resolutions}});
        }
        devices.push_back({{"devNode", dev.devNode},
                           {"devName", dev.devName},
                           {"manufacturer", dev.manufacturer},
                           {"product", dev.product},
                           {"serial", dev.serial},
                           {"idVendor", dev.idVendor},
                           {"idProduct", dev.idProduct},
                           {"opened", dev.fmtList != nullptr},
                           {"formats", formats}});
    }
    cam_free_devices();
    return json_reply(json{{"devices", devices}});
}

Reply get_controls(Feed* const feeds[2], const char* cam_query) {
    int cam = 0;
    std::string why;
    if (!cam_index(cam_query, &cam, &why)) return error_reply(400, why);
    Reply r;
    Feed* f = feed_of(feeds, cam, &r);
    if (!f) return r;
    std::lock_guard<std::mutex> lock(f->device);
    if (!f->open) return camera_error("reading the controls", ENODEV);
    json controls = json::array();
    for (size_t i = 0; i < kControlCount; ++i) {
        ControlInfo c;
        if (query_control(f->slot, kControls[i].id, &c))
            controls.push_back(control_json(f->slot, c));
    }
    return json_reply(json{{"cam", cam}, {"controls", controls}});
}

Reply post_controls(Feed* const feeds[2], const std::string& body) {
    json j;
    std::string why;
    ControlRequest req;
    if (!parse_object(body, &j, &why) || !control_request(j, &req, &why))
        return error_reply(400, why);
    if (!req.name.empty() && !control_id(req.name.c_str(), &req.id))
        return error_reply(400, "unknown control \"" + req.name + "\"");
    if (!listed(req.id))
        return error_reply(400, "unknown control " + hex(req.id, 8) +
                                    "; the ids are those GET /api/controls lists");
    Reply r;
    Feed* f = feed_of(feeds, req.cam, &r);
    if (!f) return r;
    std::lock_guard<std::mutex> lock(f->device);
    if (!f->open) return camera_error("setting the control", ENODEV);
    ControlInfo c;
    if (!query_control(f->slot, req.id, &c))
        return error_reply(400, "unknown control " + hex(req.id, 8));
    const std::string refusal = check_value(c, req.value);
    if (!refusal.empty())
        return error_reply(400, "\"value\": " + std::to_string(req.value) + " " + refusal);
    if (cam_control_set(f->slot, req.id, static_cast<uint32_t>(req.value)) != 0)
        return camera_error("setting the control", errno);
    unsigned int now = static_cast<uint32_t>(req.value);
    if (c.q.type != V4L2_CTRL_TYPE_BUTTON && cam_control_get(f->slot, req.id, &now) != 0)
        return camera_error("reading the control back", errno);
    return json_reply(json{{"cam", req.cam},
                           {"id", req.id},
                           {"name", control_name(req.id)},
                           {"value", static_cast<int32_t>(now)}});
}

Reply post_dsp(Feed* const feeds[2], const std::string& body) {
    json j;
    std::string why;
    RegisterRequest req;
    if (!parse_object(body, &j, &why) || !dsp_request(j, &req, &why)) return error_reply(400, why);
    Reply r;
    Feed* f = feed_of(feeds, req.cam, &r);
    if (!f) return r;
    std::lock_guard<std::mutex> lock(f->device);
    if (!f->open) return camera_error("DSP access", ENODEV);
    unsigned char data[8] = {};
    if (req.write) {
        memcpy(data, req.data.data(), req.count);
        if (cam_dsp_write_buf(f->slot, req.addr, data, static_cast<int>(req.count)) != 0)
            return register_error("writing the DSP", errno);
    } else if (cam_dsp_read_buf(f->slot, req.addr, data, static_cast<int>(req.count)) != 0) {
        return register_error("reading the DSP", errno);
    }
    json bytes = json::array();
    for (unsigned i = 0; i < req.count; ++i) bytes.push_back(hex(data[i], 2));
    return json_reply(json{{"cam", req.cam}, {"addr", hex(req.addr, 4)}, {"data", bytes}});
}

Reply post_sensor(Feed* const feeds[2], const std::string& body) {
    json j;
    std::string why;
    RegisterRequest req;
    if (!parse_object(body, &j, &why) || !sensor_request(j, &req, &why))
        return error_reply(400, why);
    Reply r;
    Feed* f = feed_of(feeds, req.cam, &r);
    if (!f) return r;
    std::lock_guard<std::mutex> lock(f->device);
    if (!f->open) return camera_error("sensor access", ENODEV);
    uint32_t value = req.value;
    int rc;
    if (req.bits == 16 && req.write) {
        rc = cam_sensor_write16(f->slot, req.addr, static_cast<unsigned short>(value));
    } else if (req.write) {
        rc = cam_sensor_write8(f->slot, req.addr, static_cast<unsigned char>(value));
    } else if (req.bits == 16) {
        unsigned short v = 0;
        rc = cam_sensor_read16(f->slot, req.addr, &v);
        value = v;
    } else {
        unsigned char v = 0;
        rc = cam_sensor_read8(f->slot, req.addr, &v);
        value = v;
    }
    if (rc != 0)
        return register_error(req.write ? "writing the sensor" : "reading the sensor", errno);
    return json_reply(json{{"cam", req.cam},
                           {"addr", hex(req.addr, 4)},
                           {"bits", req.bits},
                           {"value", hex(value, req.bits / 4)}});
}

}  // namespace serve
