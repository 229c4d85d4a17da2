// YUYV to RGB with NEON, 8 pixel pairs per step (see yuyv_fixed_point.h).
#include "convert_kernels.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>

#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

// One channel of the 8 even or 8 odd pixels, clamped to 0..255.
inline uint8x8_t channel(int16x8_t y, int16x8_t luma42, int16x8_t q, int16x8_t r) {
    return vqmovun_s16(vaddq_s16(vaddq_s16(y, q), vshrq_n_s16(vaddq_s16(luma42, r), 8)));
}

inline uint8x16_t interleave(uint8x8_t even, uint8x8_t odd) {
    const uint8x8x2_t z = vzip_u8(even, odd);
    return vcombine_u8(z.val[0], z.val[1]);
}

void yuyv_neon(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const int16x8_t bias = vdupq_n_s16(fixed::kBias);
    const int16x8_t low_byte = vdupq_n_s16(0xFF);
    const uint8x8_t half = vdup_n_u8(128);
    for (; pairs >= 8; pairs -= 8, src += 32, dst += 48) {
        // val[0]: Y of even pixels, val[1]: U, val[2]: Y of odd pixels, val[3]: V.
        const uint8x8x4_t in = vld4_u8(src);
        const int16x8_t u = vreinterpretq_s16_u16(vsubl_u8(in.val[1], half));
        const int16x8_t v = vreinterpretq_s16_u16(vsubl_u8(in.val[3], half));
        const int16x8_t in_r = vmlaq_n_s16(bias, v, fixed::kRedV);
        const int16x8_t in_g = vmlaq_n_s16(vmlaq_n_s16(bias, u, fixed::kGreenU), v, fixed::kGreenV);
        const int16x8_t in_b = vaddq_s16(vshlq_n_s16(u, 2), bias);
        const int16x8_t q_r = vaddq_s16(vshrq_n_s16(in_r, 8), v);
        const int16x8_t q_g = vsubq_s16(vshrq_n_s16(in_g, 8), v);
        const int16x8_t q_b = vaddq_s16(vshrq_n_s16(in_b, 8), vshlq_n_s16(u, 1));
        const int16x8_t r_r = vandq_s16(in_r, low_byte);
        const int16x8_t r_g = vandq_s16(in_g, low_byte);
        const int16x8_t r_b = vandq_s16(in_b, low_byte);

        const int16x8_t y0 = vreinterpretq_s16_u16(vmovl_u8(in.val[0]));
        const int16x8_t y1 = vreinterpretq_s16_u16(vmovl_u8(in.val[2]));
        const int16x8_t l0 = vmulq_n_s16(y0, fixed::kLumaExtra);
        const int16x8_t l1 = vmulq_n_s16(y1, fixed::kLumaExtra);
        uint8x16x3_t out;
        out.val[0] = interleave(channel(y0, l0, q_r, r_r), channel(y1, l1, q_r, r_r));
        out.val[1] = interleave(channel(y0, l0, q_g, r_g), channel(y1, l1, q_g, r_g));
        out.val[2] = interleave(channel(y0, l0, q_b, r_b), channel(y1, l1, q_b, r_b));
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
