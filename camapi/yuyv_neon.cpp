// YUYV to RGB with NEON, 8 pixel pairs per step (see yuyv_fixed_point.h).
#include "convert_kernels.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>

#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

// One channel of the 8 even or 8 odd pixels, clamped to 0..255:
// q + ((149 * Y + (r >> 1)) >> 7), the shift and add in one step.
inline uint8x8_t channel(uint16x8_t y149, int16x8_t q, uint16x8_t half_r) {
    return vqmovun_s16(
        vreinterpretq_s16_u16(vsraq_n_u16(vreinterpretq_u16_s16(q), vaddq_u16(y149, half_r), 7)));
}

inline uint8x16_t interleave(uint8x8_t even, uint8x8_t odd) {
    const uint8x8x2_t z = vzip_u8(even, odd);
    return vcombine_u8(z.val[0], z.val[1]);
}

void yuyv_neon(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const int16x8_t bias = vdupq_n_s16(fixed::kBias);
    const uint16x8_t low7 = vdupq_n_u16(0x7F);
    const uint8x8_t half = vdup_n_u8(128);
    for (; pairs >= 8; pairs -= 8, src += 32, dst += 48) {
        // val[0]: Y of even pixels, val[1]: U, val[2]: Y of odd pixels, val[3]: V.
        const uint8x8x4_t in = vld4_u8(src);
        const int16x8_t u = vreinterpretq_s16_u16(vsubl_u8(in.val[1], half));
        const int16x8_t v = vreinterpretq_s16_u16(vsubl_u8(in.val[3], half));
        // Chroma terms once per pair, halved as the luma term is.
        const int16x8_t h_r = vshrq_n_s16(vmlaq_n_s16(bias, v, fixed::kRedV), 1);
        const int16x8_t h_g =
            vshrq_n_s16(vmlaq_n_s16(vmlaq_n_s16(bias, u, fixed::kGreenU), v, fixed::kGreenV), 1);
        const int16x8_t h_b = vshrq_n_s16(vaddq_s16(vshlq_n_s16(u, 2), bias), 1);
        const int16x8_t q_r = vaddq_s16(vshrq_n_s16(h_r, 7), v);
        const int16x8_t q_g = vsubq_s16(vshrq_n_s16(h_g, 7), v);
        const int16x8_t q_b = vaddq_s16(vshrq_n_s16(h_b, 7), vshlq_n_s16(u, 1));
        const uint16x8_t r_r = vandq_u16(vreinterpretq_u16_s16(h_r), low7);
        const uint16x8_t r_g = vandq_u16(vreinterpretq_u16_s16(h_g), low7);
        const uint16x8_t r_b = vandq_u16(vreinterpretq_u16_s16(h_b), low7);

        const uint16x8_t y0 = vmulq_n_u16(vmovl_u8(in.val[0]), fixed::kHalfLuma);
        const uint16x8_t y1 = vmulq_n_u16(vmovl_u8(in.val[2]), fixed::kHalfLuma);
        uint8x16x3_t out;
        out.val[0] = interleave(channel(y0, q_r, r_r), channel(y1, q_r, r_r));
        out.val[1] = interleave(channel(y0, q_g, r_g), channel(y1, q_g, r_g));
        out.val[2] = interleave(channel(y0, q_b, r_b), channel(y1, q_b, r_b));
        vst3q_u8(dst, out);
    }
    yuyv_scalar(src, dst, pairs);
}

}  // namespace

YuyvFn yuyv_neon_kernel() {
    return &yuyv_neon;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::YuyvFn camkit::convert::yuyv_neon_kernel() {
    return nullptr;
}

#endif
