#include "choose.h"

#include <stdio.h>
#include <string.h>

#include "camapi.h"
#include "ui.h"

namespace {

const char kFallbackDevice[] = "/dev/video0";
constexpr uint32_t kFallbackFourcc = V4L2_PIX_FMT_MJPEG;
constexpr unsigned kFallbackWidth = 640, kFallbackHeight = 480, kFallbackFps = 30;

bool captures(const CamDevice& d) {
    for (int f = 0; f < d.fmtNum; ++f)
        if (d.fmtList[f].resNum > 0) return true;
    return false;
}

const CamDevice* find_device(const CamDevice* list, int count, const char* device) {
    for (int i = 0; i < count; ++i) {
        if (!captures(list[i])) continue;
        if (!device || !strcmp(list[i].devNode, device)) return &list[i];
    }
    return nullptr;
}

const CamFormat* find_format(const CamDevice* d, uint32_t fourcc) {
    if (!d) return nullptr;
    for (int f = 0; f < d->fmtNum; ++f)
        if (d->fmtList[f].resNum > 0 && (!fourcc || d->fmtList[f].pixelFormat == fourcc))
            return &d->fmtList[f];
    return nullptr;
}

const CamResolution* find_size(const CamFormat* f, unsigned width, unsigned height) {
    if (!f) return nullptr;
    const CamResolution* best = nullptr;
    for (int r = 0; r < f->resNum; ++r) {
        const CamResolution& res = f->resList[r];
        if (width) {
            if (res.width == width && res.height == height) return &res;
        } else if (!best ||
                   uint64_t{res.width} * res.height > uint64_t{best->width} * best->height) {
            best = &res;
        }
    }
    return best;
}

// The shortest interval; numerator/denominator compared without division.
const CamFrameRate* fastest(const CamResolution* res) {
    if (!res) return nullptr;
    const CamFrameRate* best = nullptr;
    for (int i = 0; i < res->rateNum; ++i) {
        const CamFrameRate& r = res->rateList[i];
        if (!r.numerator || !r.denominator) continue;
        if (!best ||
            uint64_t{r.numerator} * best->denominator < uint64_t{best->numerator} * r.denominator)
            best = &r;
    }
    return best;
}

}  // namespace

std::string fourcc_text(uint32_t fourcc) {
    if (fourcc == V4L2_PIX_FMT_YUYV) return "YUY2";
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((fourcc >> (8 * i)) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return s;
}

std::string rate_text(uint32_t denominator, uint32_t numerator) {
    if (!numerator) return "? fps";
    char text[32];
    snprintf(text, sizeof text, "%.3g fps", double(denominator) / numerator);
    return text;
}

Capture choose_capture(const char* prog, const char* device, uint32_t fourcc, unsigned width,
                       unsigned height, unsigned fps) {
    const bool listed = cam_enum_devices() >= 0;
    const CamDevice* dev =
        listed ? find_device(cam_get_device_list(), cam_get_device_num(), device) : nullptr;
    const CamFormat* fmt = find_format(dev, fourcc);
    const CamResolution* res = find_size(fmt, width, height);
    const CamFrameRate* rate = fastest(res);

    Capture c;
    c.device = device ? device : dev ? dev->devNode : kFallbackDevice;
    if (dev) c.name = dev->devName;
    c.fourcc = fourcc ? fourcc : fmt ? fmt->pixelFormat : kFallbackFourcc;
    c.width = width ? width : res ? res->width : kFallbackWidth;
    c.height = width ? height : res ? res->height : kFallbackHeight;
    if (fps) {
        c.denominator = fps;
    } else if (rate) {
        c.denominator = rate->denominator;
        c.numerator = rate->numerator;
    } else {
        c.denominator = kFallbackFps;
    }

    if (!listed)
        ui::note("%s: the camera catalogue is unavailable; using the defaults for %s", prog,
                 c.device.c_str());
    else if (!dev && !device)
        ui::note("%s: no camera in the catalogue; trying %s", prog, c.device.c_str());
    else if (!dev)
        ui::note("%s: %s is not in the catalogue; using the defaults", prog, c.device.c_str());
    ui::note("%s: %s%s%s%s: %s %ux%u at %s", prog, c.device.c_str(), c.name.empty() ? "" : " (",
             c.name.c_str(), c.name.empty() ? "" : ")", fourcc_text(c.fourcc).c_str(), c.width,
             c.height, rate_text(c.denominator, c.numerator).c_str());
    if (listed) cam_free_devices();
    return c;
}

std::string choose_device(const char* prog, const char* device) {
    if (device) return device;
    const bool listed = cam_enum_devices() >= 0;
    const CamDevice* dev =
        listed ? find_device(cam_get_device_list(), cam_get_device_num(), nullptr) : nullptr;
    std::string node = dev ? dev->devNode : kFallbackDevice;
    if (dev)
        ui::note("%s: %s (%s)", prog, node.c_str(), dev->devName);
    else
        ui::note("%s: no camera in the catalogue; trying %s", prog, node.c_str());
    if (listed) cam_free_devices();
    return node;
}
