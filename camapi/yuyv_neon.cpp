// YUYV to RGB with NEON, 8 pixel pairs per step (see yuyv_fixed_point.h).
#include "convert_kernels.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>

#include <cstdint>

#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

// Red or green of the 8 even or 8 odd pixels, clamped to 0..255: the
// saturating sum of the offset luma and chroma terms, shifted and narrowed.
inline uint8x8_t near(int16x8_t y, int16x8_t k) {
    return vqshrun_n_s16(vqaddq_s16(y, k), 7);
}

// Blue: 2u - 21 + ((149 * Y + 2u + 368) >> 7), the shift and add in one step.
inline uint8x8_t blue(int16x8_t y, uint16x8_t k, uint16x8_t q) {
    return vqmovun_s16(
        vreinterpretq_s16_u16(vsraq_n_u16(q, vaddq_u16(vreinterpretq_u16_s16(y), k), 7)));
}

inline uint8x16_t interleave(uint8x8_t even, uint8x8_t odd) {
    const uint8x8x2_t z = vzip_u8(even, odd);
    return vcombine_u8(z.val[0], z.val[1]);
}

void yuyv_neon(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    // 149 * Y - 8192 in one multiply-accumulate.
    const uint16x8_t luma_offset = vdupq_n_u16(static_cast<std::uint16_t>(-fixed::kSplitOffset));
    const uint8x8_t half_luma = vdup_n_u8(fixed::kHalfLuma);
    const uint8x8_t half = vdup_n_u8(128);
    // 2 * 8192 - 4640: red's and green's bias alike, with signed u and v.
    const int16x8_t bias = vdupq_n_s16(2 * fixed::kSplitOffset + fixed::kBias);
    for (; pairs >= 8; pairs -= 8, src += 32, dst += 48) {
        // val[0]: Y of even pixels, val[1]: U, val[2]: Y of odd pixels, val[3]: V.
        const uint8x8x4_t in = vld4_u8(src);
        const int16x8_t u = vreinterpretq_s16_u16(vsubl_u8(in.val[1], half));
        const int16x8_t v = vreinterpretq_s16_u16(vsubl_u8(in.val[3], half));
        // Chroma terms once per pair (yuyv_fixed_point.h, the saturating form).
        const int16x8_t k_r =
            vsraq_n_s16(vshlq_n_s16(v, 8), vmlsq_n_s16(bias, v, fixed::kRedSplitV), 1);
        const int16x8_t k_g =
            vsraq_n_s16(vmulq_n_s16(v, -128),
                        vmlaq_n_s16(vmlaq_n_s16(bias, u, fixed::kGreenU), v, fixed::kGreenV), 1);
        const uint16x8_t u2 = vaddl_u8(in.val[1], in.val[1]);  // 2 * U
        const uint16x8_t k_b = vaddq_u16(u2, vdupq_n_u16(fixed::kBlueInner));
        const uint16x8_t q_b =
            vaddq_u16(u2, vdupq_n_u16(static_cast<std::uint16_t>(fixed::kBlueOuter)));

        const int16x8_t y0 = vreinterpretq_s16_u16(vmlal_u8(luma_offset, in.val[0], half_luma));
        const int16x8_t y1 = vreinterpretq_s16_u16(vmlal_u8(luma_offset, in.val[2], half_luma));
        uint8x16x3_t out;
        out.val[0] = interleave(near(y0, k_r), near(y1, k_r));
        out.val[1] = interleave(near(y0, k_g), near(y1, k_g));
        out.val[2] = interleave(blue(y0, k_b, q_b), blue(y1, k_b, q_b));
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
