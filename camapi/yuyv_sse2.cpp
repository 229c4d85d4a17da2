// YUYV to RGB with SSE2, 8 pixel pairs per step (see yuyv_fixed_point.h).
#include "convert_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

inline __m128i splat(short x) {
    return _mm_set1_epi16(x);
}

// Byte `at` of each 4-byte pair of a and b, as 8 signed 16-bit values.
template <int at>
inline __m128i pick(__m128i a, __m128i b) {
    const __m128i byte0 = _mm_set1_epi32(0xFF);
    if (at == 3) return _mm_packs_epi32(_mm_srli_epi32(a, 24), _mm_srli_epi32(b, 24));
    return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8 * at), byte0),
                           _mm_and_si128(_mm_srli_epi32(b, 8 * at), byte0));
}

// One channel of the even and of the odd pixels of 8 pairs, clamped, as 16
// bytes in pixel order.
inline __m128i channel(__m128i y149_even, __m128i y149_odd, __m128i q, __m128i half_r) {
    const __m128i even = _mm_add_epi16(q, _mm_srli_epi16(_mm_add_epi16(y149_even, half_r), 7));
    const __m128i odd = _mm_add_epi16(q, _mm_srli_epi16(_mm_add_epi16(y149_odd, half_r), 7));
    return _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd));
}

// Four R,G,B,0 pixels in 32-bit lanes -> 12 packed bytes, upper 4 bytes zero.
inline __m128i pack12(__m128i p) {
    const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i x =
        _mm_or_si128(_mm_and_si128(p, low3), _mm_srli_epi64(_mm_andnot_si128(low3, p), 8));
    const __m128i hi = _mm_unpackhi_epi64(x, _mm_setzero_si128());
    return _mm_or_si128(_mm_move_epi64(x), _mm_slli_si128(hi, 6));
}

// 16 pixels of R, G and B bytes -> 48 bytes of packed RGB.
inline void store_rgb(unsigned char* dst, __m128i r, __m128i g, __m128i b) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i rg_lo = _mm_unpacklo_epi8(r, g);
    const __m128i rg_hi = _mm_unpackhi_epi8(r, g);
    const __m128i b_lo = _mm_unpacklo_epi8(b, zero);
    const __m128i b_hi = _mm_unpackhi_epi8(b, zero);
    const __m128i c0 = pack12(_mm_unpacklo_epi16(rg_lo, b_lo));
    const __m128i c1 = pack12(_mm_unpackhi_epi16(rg_lo, b_lo));
    const __m128i c2 = pack12(_mm_unpacklo_epi16(rg_hi, b_hi));
    const __m128i c3 = pack12(_mm_unpackhi_epi16(rg_hi, b_hi));
    auto* out = reinterpret_cast<__m128i*>(dst);
    _mm_storeu_si128(out, _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
    _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
    _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
}

void yuyv_sse2(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __m128i low7 = _mm_set1_epi16(0x007F);
    const __m128i bias = splat(fixed::kBias);
    for (; pairs >= 8; pairs -= 8, src += 32, dst += 48) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i y149_even = _mm_mullo_epi16(pick<0>(a, b), splat(fixed::kHalfLuma));
        const __m128i y149_odd = _mm_mullo_epi16(pick<2>(a, b), splat(fixed::kHalfLuma));
        const __m128i u = _mm_sub_epi16(pick<1>(a, b), splat(128));
        const __m128i v = _mm_sub_epi16(pick<3>(a, b), splat(128));

        // Chroma terms once per pair, halved as the luma term is.
        const __m128i h_r =
            _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(v, splat(fixed::kRedV)), bias), 1);
        const __m128i h_g =
            _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(u, splat(fixed::kGreenU)),
                                                       _mm_mullo_epi16(v, splat(fixed::kGreenV))),
                                         bias),
                           1);
        const __m128i h_b = _mm_srai_epi16(_mm_add_epi16(_mm_slli_epi16(u, 2), bias), 1);
        const __m128i q_r = _mm_add_epi16(_mm_srai_epi16(h_r, 7), v);
        const __m128i q_g = _mm_sub_epi16(_mm_srai_epi16(h_g, 7), v);
        const __m128i q_b = _mm_add_epi16(_mm_srai_epi16(h_b, 7), _mm_slli_epi16(u, 1));

        store_rgb(dst, channel(y149_even, y149_odd, q_r, _mm_and_si128(h_r, low7)),
                  channel(y149_even, y149_odd, q_g, _mm_and_si128(h_g, low7)),
                  channel(y149_even, y149_odd, q_b, _mm_and_si128(h_b, low7)));
    }
    yuyv_scalar(src, dst, pairs);
}

}  // namespace

YuyvFn yuyv_sse2_kernel() {
    return &yuyv_sse2;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::YuyvFn camkit::convert::yuyv_sse2_kernel() {
    return nullptr;
}

#endif
