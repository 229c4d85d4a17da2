// The uvcvideo extension-unit requests and the camera firmware behind
// unit 4: a two-phase register protocol over selectors 10 (request block)
// and 11 (data).
#include <errno.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <string.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

constexpr uint8_t kGuid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                               0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
constexpr uint8_t kUnit = 4, kRequestSel = 10, kDataSel = 11, kSize = 8;
constexpr uint8_t kDspRead = 0xC2, kDspWrite = 0x82, kSensorRead = 0xCA, kSensorWrite = 0x8A;

int map(Cam& cam, uvc_xu_control_mapping* m) {
    if (cam.refuse_map) return errno = cam.refuse_map, -1;
    switch (m->v4l2_type) {
        case V4L2_CTRL_TYPE_INTEGER:
        case V4L2_CTRL_TYPE_BOOLEAN:
        case V4L2_CTRL_TYPE_BUTTON:
            break;
        case V4L2_CTRL_TYPE_MENU:
            if (m->menu_count == 0 || m->menu_count > 32 || !m->menu_info)
                return errno = EINVAL, -1;
            break;
        default:
            return errno = ENOTTY, -1;
    }
    if (m->id & ~V4L2_CTRL_ID_MASK) return errno = EINVAL, -1;
    if (memcmp(m->entity, kGuid, sizeof kGuid) != 0 ||
        (m->selector != kRequestSel && m->selector != kDataSel))
        return errno = ENOENT, -1;
    if (m->size > 32 || m->offset + m->size > kSize * 8) return errno = EINVAL, -1;
    std::string name(reinterpret_cast<const char*>(m->name),
                     strnlen(reinterpret_cast<const char*>(m->name), sizeof m->name));
    for (const Cam::Mapping& x : cam.mappings)
        if (x.id == m->id || x.name == name) return errno = EEXIST, -1;
    cam.mappings.push_back({m->id, name});
    return 0;
}

// Firmware: a request block on selector 10. False = the camera stalls.
bool accept_request(Cam& cam, const uint8_t* b) {
    uint8_t cmd = b[1], len = b[4];
    uint32_t addr = b[2] | uint32_t(b[3]) << 8;
    if (len > kSize) return false;
    switch (cmd) {
        case kDspRead:
        case kDspWrite:
            if (addr + len > cam.dsp.size()) return false;
            break;
        case kSensorRead:
        case kSensorWrite:
            if (len != 2) return false;
            break;
        default:
            return false;
    }
    memcpy(cam.xu_request, b, kSize);
    cam.xu_pending = cmd;
    return true;
}

bool read_data(Cam& cam, uint8_t* out) {
    uint8_t cmd = uint8_t(cam.xu_pending), len = cam.xu_request[4];
    uint16_t addr = uint16_t(cam.xu_request[2] | cam.xu_request[3] << 8);
    if (cmd != kDspRead && cmd != kSensorRead) return false;
    memset(out, 0, kSize);
    if (cmd == kDspRead) {
        memcpy(out, &cam.dsp[addr], len);
    } else {
        out[0] = uint8_t(cam.sensor[addr] >> 8);
        out[1] = uint8_t(cam.sensor[addr]);
    }
    cam.xu_pending = 0;
    return true;
}

bool write_data(Cam& cam, const uint8_t* in) {
    uint8_t cmd = uint8_t(cam.xu_pending), len = cam.xu_request[4];
    uint16_t addr = uint16_t(cam.xu_request[2] | cam.xu_request[3] << 8);
    if (cmd != kDspWrite && cmd != kSensorWrite) return false;
    if (cmd == kDspWrite)
        memcpy(&cam.dsp[addr], in, len);
    else
        cam.sensor[addr] = uint16_t(in[0] << 8 | in[1]);
    cam.xu_pending = 0;
    return true;
}

int query(Cam& cam, uvc_xu_control_query* q) {
    if (q->unit != kUnit || (q->selector != kRequestSel && q->selector != kDataSel))
        return errno = ENOENT, -1;
    uint16_t size;
    switch (q->query) {
        case UVC_GET_LEN:
            size = 2;
            break;
        case UVC_GET_INFO:
            size = 1;
            break;
        case UVC_SET_CUR:
        case UVC_GET_CUR:
        case UVC_GET_MIN:
        case UVC_GET_MAX:
        case UVC_GET_RES:
        case UVC_GET_DEF:
            size = kSize;
            break;
        default:
            return errno = EINVAL, -1;
    }
    if (q->size != size) return errno = ENOBUFS, -1;
    if (!q->data) return errno = EFAULT, -1;
    auto stall = cam.stalls.find(q->selector);
    if (stall != cam.stalls.end() && stall->second > 0) {
        --stall->second;
        return errno = EILSEQ, -1;
    }
    uint8_t* d = q->data;
    switch (q->query) {
        case UVC_GET_LEN:
            d[0] = kSize;
            d[1] = 0;
            return 0;
        case UVC_GET_INFO:
            d[0] = UVC_CONTROL_CAP_GET | UVC_CONTROL_CAP_SET;
            return 0;
        case UVC_GET_MIN:
        case UVC_GET_DEF:
            memset(d, 0, kSize);
            return 0;
        case UVC_GET_MAX:
            memset(d, 0xFF, kSize);
            return 0;
        case UVC_GET_RES:
            memset(d, 0, kSize);
            d[0] = 1;
            return 0;
    }
    bool ok;
    if (q->selector == kRequestSel) {
        if (q->query == UVC_SET_CUR) {
            ok = accept_request(cam, d);
        } else {
            memcpy(d, cam.xu_request, kSize);
            ok = true;
        }
    } else {
        ok = q->query == UVC_GET_CUR ? read_data(cam, d) : write_data(cam, d);
    }
    return ok ? 0 : (errno = EILSEQ, -1);
}

}  // namespace

void init_registers(Cam& cam) {
    cam.dsp.assign(65536, 0);
    cam.sensor.assign(65536, 0);
    // Recognisable contents (see README): chip id "SC", firmware 1.4, zoom 1x.
    cam.dsp[0x0000] = 0x53;
    cam.dsp[0x0001] = 0x43;
    cam.dsp[0x0002] = 0x01;
    cam.dsp[0x0003] = 0x04;
    cam.dsp[0x0010] = 0x10;
    cam.sensor[0x0000] = 0x5343;
    cam.sensor[0x0001] = 0x0102;
    memset(cam.xu_request, 0, sizeof cam.xu_request);
    cam.xu_pending = 0;
}

int uvc_request_locked(Cam& cam, uint32_t request, void* arg) {
    if (request == UVCIOC_CTRL_MAP) return map(cam, static_cast<uvc_xu_control_mapping*>(arg));
    return query(cam, static_cast<uvc_xu_control_query*>(arg));
}

}  // namespace detail
}  // namespace simcam
