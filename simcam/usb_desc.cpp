// Descriptors of the camera as a high-speed USB video function, generated
// from the camera description.
#include "usb_desc.h"

#include <linux/usb/video.h>
#include <linux/videodev2.h>
#include <stdlib.h>
#include <string.h>

namespace simcam {
namespace detail {

const UvcControl kUvcControls[12] = {
    {V4L2_CID_BRIGHTNESS, kPuId, UVC_PU_BRIGHTNESS_CONTROL, 2, 0},
    {V4L2_CID_CONTRAST, kPuId, UVC_PU_CONTRAST_CONTROL, 2, 1},
    {V4L2_CID_HUE, kPuId, UVC_PU_HUE_CONTROL, 2, 2},
    {V4L2_CID_SATURATION, kPuId, UVC_PU_SATURATION_CONTROL, 2, 3},
    {V4L2_CID_SHARPNESS, kPuId, UVC_PU_SHARPNESS_CONTROL, 2, 4},
    {V4L2_CID_GAMMA, kPuId, UVC_PU_GAMMA_CONTROL, 2, 5},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, kPuId, UVC_PU_WHITE_BALANCE_TEMPERATURE_CONTROL, 2, 6},
    {V4L2_CID_GAIN, kPuId, UVC_PU_GAIN_CONTROL, 2, 9},
    {V4L2_CID_POWER_LINE_FREQUENCY, kPuId, UVC_PU_POWER_LINE_FREQUENCY_CONTROL, 1, 10},
    {V4L2_CID_AUTO_WHITE_BALANCE, kPuId, UVC_PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL, 1, 12},
    {V4L2_CID_EXPOSURE_AUTO, kCtId, UVC_CT_AE_MODE_CONTROL, 1, 1},
    {V4L2_CID_EXPOSURE_ABSOLUTE, kCtId, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4, 3},
};

namespace {

// The extension unit's GUID, as the camera's firmware announces it.
constexpr uint8_t kXuGuid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                                 0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
constexpr uint8_t kYuy2Guid[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                                   0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint16_t kUvcVersion = 0x0100;

struct Out {
    std::vector<uint8_t>& v;
    explicit Out(std::vector<uint8_t>& x) : v(x) {}
    Out& b(uint32_t x) {
        v.push_back(uint8_t(x));
        return *this;
    }
    Out& w(uint32_t x) { return b(x).b(x >> 8); }
    Out& d(uint32_t x) { return w(x).w(x >> 16); }
    Out& bytes(const uint8_t* p, size_t n) {
        v.insert(v.end(), p, p + n);
        return *this;
    }
};

uint32_t hundred_ns(const Interval& iv) {
    return iv.denominator ? uint32_t(uint64_t(iv.numerator) * 10000000 / iv.denominator) : 0;
}

std::vector<uint8_t> string_desc(const std::string& s) {
    std::vector<uint8_t> v{uint8_t(2 + 2 * std::min<size_t>(s.size(), 126)), 3};
    for (size_t i = 0; i < s.size() && i < 126; ++i) {
        v.push_back(uint8_t(s[i]));
        v.push_back(0);
    }
    return v;
}

uint16_t hex16(const std::string& s) {
    return uint16_t(strtoul(s.c_str(), nullptr, 16));
}

UsbFrame usb_frame(uint32_t fourcc, const FrameSize& fs) {
    UsbFrame f{fourcc, fs.width, fs.height, 0, {}, false};
    if (fs.interval_kind == RangeKind::Discrete) {
        for (const Interval& iv : fs.intervals) f.intervals.push_back(hundred_ns(iv));
    } else {
        f.range = true;
        uint32_t step = fs.interval_kind == RangeKind::Stepwise ? hundred_ns(fs.interval_step) : 1;
        f.intervals = {hundred_ns(fs.interval_min), hundred_ns(fs.interval_max), step ? step : 1};
    }
    f.default_interval = f.intervals.empty() ? 333333 : f.intervals[0];
    return f;
}

void frame_desc(Out o, const UsbFormat& fmt, size_t i) {
    const UsbFrame& f = fmt.frames[i];
    uint32_t size = f.width * f.height * 2;
    uint32_t fastest = f.intervals.empty() ? 333333 : f.intervals[0];
    if (fastest == 0) fastest = 1;
    uint32_t bits = uint32_t(std::min<uint64_t>(uint64_t(size) * 8 * 10000000 / fastest, ~0u));
    size_t n = f.intervals.size();
    o.b(uint32_t(26 + 4 * n))
        .b(0x24)
        .b(fmt.fourcc == V4L2_PIX_FMT_MJPEG ? UVC_VS_FRAME_MJPEG : UVC_VS_FRAME_UNCOMPRESSED)
        .b(uint32_t(i + 1))
        .b(0)
        .w(f.width)
        .w(f.height)
        .d(bits / 8)
        .d(bits)
        .d(size)
        .d(f.default_interval)
        .b(f.range ? 0 : uint32_t(n));
    for (uint32_t iv : f.intervals) o.d(iv);
}

}  // namespace

UsbDescriptors build_descriptors(const Camera& cfg, const std::vector<Control>& controls) {
    UsbDescriptors u;
    for (const Format& f : cfg.formats) {
        if (f.fourcc != V4L2_PIX_FMT_MJPEG && f.fourcc != V4L2_PIX_FMT_YUYV) continue;
        UsbFormat uf{f.fourcc, {}};
        if (f.size_kind == RangeKind::Discrete || f.sizes.size() < 2) {
            for (const FrameSize& fs : f.sizes) uf.frames.push_back(usb_frame(f.fourcc, fs));
        } else {
            uf.frames.push_back(usb_frame(f.fourcc, f.sizes.front()));
            uf.frames.push_back(usb_frame(f.fourcc, f.sizes.back()));
        }
        if (!uf.frames.empty()) u.formats.push_back(uf);
    }

    Out(u.device)
        .b(18)
        .b(1)
        .w(0x0200)
        .b(0xEF)  // miscellaneous, interface association
        .b(0x02)
        .b(0x01)
        .b(64)
        .w(hex16(cfg.usb_vendor))
        .w(hex16(cfg.usb_product))
        .w(0x0100)
        .b(1)
        .b(2)
        .b(3)
        .b(1);
    Out(u.qualifier).b(10).b(6).w(0x0200).b(0xEF).b(0x02).b(0x01).b(64).b(1).b(0);
    u.strings = {{4, 3, 0x09, 0x04},
                 string_desc(cfg.manufacturer),
                 string_desc(cfg.product),
                 string_desc(cfg.serial)};

    uint32_t pu = 0, ct = 0;
    for (const UvcControl& c : kUvcControls) {
        bool have = false;
        for (const Control& x : controls) have |= x.id == c.id;
        if (have) (c.unit == kPuId ? pu : ct) |= 1u << c.bit;
    }

    std::vector<uint8_t> vc;
    Out o(vc);
    o.b(18).b(0x24).b(UVC_VC_INPUT_TERMINAL).b(kCtId).w(UVC_ITT_CAMERA).b(0).b(0);
    o.w(0).w(0).w(0).b(3).b(ct).b(ct >> 8).b(ct >> 16);
    o.b(11).b(0x24).b(UVC_VC_PROCESSING_UNIT).b(kPuId).b(kCtId).w(0).b(2).w(pu).b(0);
    uint32_t xu = 1u << (kXuRequestSelector - 1) | 1u << (kXuDataSelector - 1);
    o.b(27).b(0x24).b(UVC_VC_EXTENSION_UNIT).b(kXuId).bytes(kXuGuid, 16).b(2).b(1).b(kPuId);
    o.b(2).w(xu).b(0);
    o.b(9).b(0x24).b(UVC_VC_OUTPUT_TERMINAL).b(kOtId).w(UVC_TT_STREAMING).b(0).b(kXuId).b(0);

    std::vector<uint8_t> vs;
    Out s(vs);
    for (size_t i = 0; i < u.formats.size(); ++i) {
        const UsbFormat& f = u.formats[i];
        uint32_t n = uint32_t(f.frames.size());
        if (f.fourcc == V4L2_PIX_FMT_MJPEG)
            s.b(11).b(0x24).b(UVC_VS_FORMAT_MJPEG).b(uint32_t(i + 1)).b(n).b(1).b(1);
        else
            s.b(27)
                .b(0x24)
                .b(UVC_VS_FORMAT_UNCOMPRESSED)
                .b(uint32_t(i + 1))
                .b(n)
                .bytes(kYuy2Guid, 16)
                .b(16)
                .b(1);
        s.b(0).b(0).b(0).b(0);
        for (size_t k = 0; k < f.frames.size(); ++k) frame_desc(s, f, k);
    }

    uint32_t nfmt = uint32_t(u.formats.size());
    uint32_t vc_total = 13 + uint32_t(vc.size());
    uint32_t vs_total = 13 + nfmt + uint32_t(vs.size());
    uint32_t total = 9 + 8 + 9 + vc_total + 9 + vs_total + 7;
    Out c(u.config);
    c.b(9).b(2).w(total).b(2).b(1).b(0).b(0x80).b(250);
    c.b(8).b(0x0B).b(0).b(2).b(0x0E).b(0x03).b(0).b(2);  // interface association
    c.b(9).b(4).b(0).b(0).b(0).b(0x0E).b(UVC_SC_VIDEOCONTROL).b(0).b(2);
    c.b(13).b(0x24).b(UVC_VC_HEADER).w(kUvcVersion).w(vc_total).d(48000000).b(1).b(1);
    c.bytes(vc.data(), vc.size());
    c.b(9).b(4).b(1).b(0).b(1).b(0x0E).b(UVC_SC_VIDEOSTREAMING).b(0).b(0);
    c.b(13 + nfmt).b(0x24).b(UVC_VS_INPUT_HEADER).b(nfmt).w(vs_total).b(kBulkEp).b(0);
    c.b(kOtId).b(0).b(0).b(0).b(1);
    for (uint32_t i = 0; i < nfmt; ++i) c.b(0);
    c.bytes(vs.data(), vs.size());
    c.b(7).b(5).b(kBulkEp).b(2).w(512).b(0);
    return u;
}

const std::vector<uint8_t>* UsbDescriptors::get(uint8_t type, uint8_t index) const {
    switch (type) {
        case 1:
            return &device;
        case 2:
            return &config;
        case 3:
            return index < strings.size() ? &strings[index] : nullptr;
        case 6:
            return &qualifier;
    }
    return nullptr;
}

const UsbFrame& UsbDescriptors::frame(const Negotiation& n) const {
    return formats[n.format - 1].frames[n.frame - 1];
}

Negotiation UsbDescriptors::negotiate(const uint8_t* p) const {
    Negotiation n;
    if (formats.empty()) return n;
    if (p) {
        n.format = p[2] >= 1 && p[2] <= formats.size() ? p[2] : 1;
        const UsbFormat& f = formats[n.format - 1];
        n.frame = p[3] >= 1 && p[3] <= f.frames.size() ? p[3] : 1;
        n.interval = uint32_t(p[4] | p[5] << 8 | p[6] << 16 | uint32_t(p[7]) << 24);
    }
    const UsbFrame& f = frame(n);
    if (f.intervals.empty()) {
        n.interval = f.default_interval;
    } else if (f.range) {
        n.interval = std::max(f.intervals[0], std::min(f.intervals[1], n.interval));
    } else {
        // The closest interval the frame offers (0 asks for the default).
        uint32_t best = f.default_interval;
        if (n.interval)
            for (uint32_t iv : f.intervals)
                if (llabs(int64_t(iv) - n.interval) < llabs(int64_t(best) - n.interval)) best = iv;
        n.interval = best;
    }
    return n;
}

void UsbDescriptors::write_probe(const Negotiation& n, uint8_t* out) const {
    memset(out, 0, kProbeSize);
    if (formats.empty()) return;
    const UsbFrame& f = frame(n);
    std::vector<uint8_t> v;
    Out o(v);
    o.w(1).b(n.format).b(n.frame).d(n.interval).w(0).w(0).w(0).w(0).w(0);
    o.d(f.width * f.height * 2).d(kMaxPayload);
    memcpy(out, v.data(), kProbeSize);
}

}  // namespace detail
}  // namespace simcam
