// Portable YUYV to RGB conversion, also used for the tails the vector
// variants leave over.
#include "convert_kernels.h"

namespace camkit {
namespace convert {
namespace {

inline unsigned char clamp255(int x) {
    return static_cast<unsigned char>(x < 0 ? 0 : (x > 255 ? 255 : x));
}

// Studio-range BT.601 in 8-bit fixed point; the +128 rounds to nearest.
inline void put_pixel(int y, int u, int v, unsigned char* rgb) {
    const int luma = 298 * y + 128;
    rgb[0] = clamp255((luma + 409 * v) >> 8);
    rgb[1] = clamp255((luma - 100 * u - 208 * v) >> 8);
    rgb[2] = clamp255((luma + 516 * u) >> 8);
}

}  // namespace

void yuyv_scalar(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    for (std::size_t i = 0; i < pairs; ++i) {
        const int u = src[1] - 128;
        const int v = src[3] - 128;
        put_pixel(src[0] - 16, u, v, dst);
        put_pixel(src[2] - 16, u, v, dst + 3);
        src += 4;
        dst += 6;
    }
}

}  // namespace convert
}  // namespace camkit
