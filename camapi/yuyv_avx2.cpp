// YUYV to RGB with AVX2, 16 pixel pairs per step (see yuyv_fixed_point.h).
// Built with -mavx2 and only called when the CPU has AVX2.
#include "convert_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>

#include "rgb_shuffle.h"
#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

inline __m256i splat(short x) {
    return _mm256_set1_epi16(x);
}

inline __m256i load2x128(const unsigned char* lo, const unsigned char* hi) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

inline __m256i mask(const Shuffle& m) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data())));
}

// One channel of 8 pixels per lane as signed 16-bit values, not yet clamped:
// q + ((298 * Y + r) >> 8), taken as q + ((149 * Y + (r >> 1)) >> 7) so that
// the sum stays below 2^16.
inline __m256i channel(__m256i luma149, __m256i q, __m256i half_r) {
    return _mm256_add_epi16(q, _mm256_srli_epi16(_mm256_add_epi16(luma149, half_r), 7));
}

void yuyv_avx2(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i low_byte = _mm256_set1_epi16(0x00FF);
    const __m256i low7 = _mm256_set1_epi16(0x007F);
    const __m256i bias = splat(fixed::kBias);
    // -100 * u + 48 * v - 4640 from the unsigned U, V bytes.
    const __m256i green_uv =
        _mm256_set1_epi16(static_cast<short>((fixed::kGreenV << 8) | (fixed::kGreenU & 0xFF)));
    const __m256i green_bias = splat(fixed::kBias - 128 * (fixed::kGreenU + fixed::kGreenV));
    const __m256i sort = mask(kSortYuyv);
    const __m256i m[3][3] = {{mask(kInterleaveEvenOdd[0][0]), mask(kInterleaveEvenOdd[0][1]),
                              mask(kInterleaveEvenOdd[0][2])},
                             {mask(kInterleaveEvenOdd[1][0]), mask(kInterleaveEvenOdd[1][1]),
                              mask(kInterleaveEvenOdd[1][2])},
                             {mask(kInterleaveEvenOdd[2][0]), mask(kInterleaveEvenOdd[2][1]),
                              mask(kInterleaveEvenOdd[2][2])}};
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 96) {
        // Lanes: pairs 0..3 | 8..11 and 4..7 | 12..15, so that each lane ends
        // up with 8 consecutive pairs, 48 consecutive output bytes.
        const __m256i a = _mm256_shuffle_epi8(load2x128(src, src + 32), sort);
        const __m256i b = _mm256_shuffle_epi8(load2x128(src + 16, src + 48), sort);
        const __m256i luma = _mm256_unpacklo_epi32(a, b);    // even Y x8, odd Y x8
        const __m256i chroma = _mm256_unpackhi_epi64(a, b);  // (U, V) x8
        const __m256i y149_even =
            _mm256_mullo_epi16(_mm256_unpacklo_epi8(luma, zero), splat(fixed::kHalfLuma));
        const __m256i y149_odd =
            _mm256_mullo_epi16(_mm256_unpackhi_epi8(luma, zero), splat(fixed::kHalfLuma));
        const __m256i u = _mm256_sub_epi16(_mm256_and_si256(chroma, low_byte), splat(128));
        const __m256i v = _mm256_sub_epi16(_mm256_srli_epi16(chroma, 8), splat(128));

        // Chroma terms once per pair, in the lanes of that pair's two pixels;
        // halved, as the luma term is.
        const __m256i in_r = _mm256_srai_epi16(
            _mm256_add_epi16(_mm256_mullo_epi16(v, splat(fixed::kRedV)), bias), 1);
        const __m256i in_g = _mm256_srai_epi16(
            _mm256_add_epi16(_mm256_maddubs_epi16(chroma, green_uv), green_bias), 1);
        const __m256i in_b = _mm256_srai_epi16(_mm256_add_epi16(_mm256_slli_epi16(u, 2), bias), 1);
        const __m256i q_r = _mm256_add_epi16(_mm256_srai_epi16(in_r, 7), v);
        const __m256i q_g = _mm256_sub_epi16(_mm256_srai_epi16(in_g, 7), v);
        const __m256i q_b = _mm256_add_epi16(_mm256_srai_epi16(in_b, 7), _mm256_slli_epi16(u, 1));
        const __m256i r_r = _mm256_and_si256(in_r, low7);
        const __m256i r_g = _mm256_and_si256(in_g, low7);
        const __m256i r_b = _mm256_and_si256(in_b, low7);

        // Per lane: the 8 even pixels, then the 8 odd ones.
        const __m256i red =
            _mm256_packus_epi16(channel(y149_even, q_r, r_r), channel(y149_odd, q_r, r_r));
        const __m256i green =
            _mm256_packus_epi16(channel(y149_even, q_g, r_g), channel(y149_odd, q_g, r_g));
        const __m256i blue =
            _mm256_packus_epi16(channel(y149_even, q_b, r_b), channel(y149_odd, q_b, r_b));

        auto* o = reinterpret_cast<__m128i*>(dst);
        for (int j = 0; j < 3; ++j) {
            const __m256i out =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(red, m[j][0]),
                                                _mm256_shuffle_epi8(green, m[j][1])),
                                _mm256_shuffle_epi8(blue, m[j][2]));
            _mm_storeu_si128(o + j, _mm256_castsi256_si128(out));
            _mm_storeu_si128(o + 3 + j, _mm256_extracti128_si256(out, 1));
        }
    }
    yuyv_scalar(src, dst, pairs);
}

}  // namespace

YuyvFn yuyv_avx2_kernel() {
    return &yuyv_avx2;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::YuyvFn camkit::convert::yuyv_avx2_kernel() {
    return nullptr;
}

#endif
