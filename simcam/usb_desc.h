// USB descriptors of a camera and its stream negotiation (probe/commit),
// derived from the camera description.
#ifndef SIMCAM_USB_DESC_H
#define SIMCAM_USB_DESC_H

#include <stdint.h>

#include <vector>

#include "internal.h"

namespace simcam {
namespace detail {

// Entity ids of the video function: camera -> processing -> extension -> output.
constexpr uint8_t kCtId = 1, kPuId = 2, kOtId = 3, kXuId = 4;
constexpr uint8_t kXuRequestSelector = 10, kXuDataSelector = 11;
constexpr uint8_t kBulkEp = 0x81;
constexpr uint32_t kProbeSize = 26;  // UVC 1.0 probe/commit block
// One payload per bulk transfer: the driver sizes its transfers from this.
constexpr uint32_t kMaxPayload = 16384;

// The UVC control behind each V4L2 control simcam keeps.
struct UvcControl {
    uint32_t id;
    uint8_t unit, selector, size;
    uint8_t bit;  // in the unit's bmControls
};
extern const UvcControl kUvcControls[12];

struct UsbFrame {
    uint32_t fourcc, width, height;
    uint32_t default_interval;        // 100 ns units
    std::vector<uint32_t> intervals;  // discrete, or min, max, step for a range
    bool range = false;
};

struct UsbFormat {
    uint32_t fourcc;
    std::vector<UsbFrame> frames;
};

// The stream parameters of a probe or commit: 1-based indices as on the wire.
struct Negotiation {
    uint8_t format = 1, frame = 1;
    uint32_t interval = 0;
};

struct UsbDescriptors {
    std::vector<uint8_t> device, qualifier, config;
    std::vector<std::vector<uint8_t>> strings;  // index 0: languages
    std::vector<UsbFormat> formats;

    // Descriptor of a GET_DESCRIPTOR request, null if there is none.
    const std::vector<uint8_t>* get(uint8_t type, uint8_t index) const;
    // The parameters the camera grants for a probe block (null: its defaults).
    Negotiation negotiate(const uint8_t* probe) const;
    void write_probe(const Negotiation& n, uint8_t* out) const;
    const UsbFrame& frame(const Negotiation& n) const;
};

// Formats the USB face offers: MJPEG and YUYV (H264 has no descriptor here);
// a size range offers its smallest and largest size.
UsbDescriptors build_descriptors(const Camera& cfg, const std::vector<Control>& controls);

}  // namespace detail
}  // namespace simcam

#endif  // SIMCAM_USB_DESC_H
