// Red/blue exchange with NEON, 16 pixels per step.
#include "convert_kernels.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>

namespace camkit {
namespace convert {
namespace {

void swap_rb_neon(const unsigned char* src, unsigned char* dst, std::size_t pixels) {
    for (; pixels >= 16; pixels -= 16, src += 48, dst += 48) {
        uint8x16x3_t px = vld3q_u8(src);
        const uint8x16_t first = px.val[0];
        px.val[0] = px.val[2];
        px.val[2] = first;
        vst3q_u8(dst, px);
    }
    swap_rb_scalar(src, dst, pixels);
}

}  // namespace

SwapFn swap_rb_neon_kernel() {
    return &swap_rb_neon;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::SwapFn camkit::convert::swap_rb_neon_kernel() {
    return nullptr;
}

#endif
