// Pixel format facts: line length and buffer size per format.
#include <linux/videodev2.h>

#include "internal.h"

namespace simcam {
namespace detail {

bool compressed(uint32_t fourcc) {
    return fourcc != V4L2_PIX_FMT_YUYV;
}

uint32_t bytesperline(uint32_t fourcc, uint32_t w) {
    return compressed(fourcc) ? 0 : w * 2;
}

// Compressed formats get what the camera announces as its largest frame
// (dwMaxVideoFrameSize), which cameras commonly set to the raw size.
uint32_t sizeimage(uint32_t, uint32_t w, uint32_t h) {
    return w * h * 2;
}

}  // namespace detail
}  // namespace simcam
