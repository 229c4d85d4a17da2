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

void yuyv_avx2(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __m256i luma_high = _mm256_set1_epi8(static_cast<char>(fixed::kLumaHighByte));
    const __m256i sign_bytes = _mm256_set1_epi16(static_cast<short>(0x8080));
    const __m256i high_byte = _mm256_set1_epi16(static_cast<short>(0xFF00));
    const __m256i red_v = _mm256_set1_epi16(fixed::kRedSplitV << 8);
    const __m256i green_uv =
        _mm256_set1_epi16(static_cast<short>((fixed::kGreenV << 8) | (fixed::kGreenU & 0xFF)));
    const __m256i twice_u = _mm256_set1_epi16(2);
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
        // 149 * Y - 8192: the high byte makes the multiply subtract the offset.
        const __m256i y_even =
            _mm256_mullo_epi16(_mm256_unpacklo_epi8(luma, luma_high), splat(fixed::kHalfLuma));
        const __m256i y_odd =
            _mm256_mullo_epi16(_mm256_unpackhi_epi8(luma, luma_high), splat(fixed::kHalfLuma));

        // Chroma terms once per pair, in the lanes of that pair's two pixels.
        const __m256i signed_uv = _mm256_xor_si256(chroma, sign_bytes);  // (u, v) as int8
        const __m256i v256 = _mm256_and_si256(signed_uv, high_byte);
        const __m256i k_r = _mm256_add_epi16(
            _mm256_srai_epi16(_mm256_sub_epi16(splat(fixed::kRedSplitBias),
                                               _mm256_maddubs_epi16(red_v, signed_uv)),
                              1),
            v256);
        const __m256i k_g = _mm256_sub_epi16(
            _mm256_srai_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(chroma, green_uv),
                                               splat(fixed::kGreenSplitBias)),
                              1),
            _mm256_srai_epi16(v256, 1));
        const __m256i u2 = _mm256_maddubs_epi16(chroma, twice_u);  // 2 * U
        const __m256i k_b = _mm256_add_epi16(u2, splat(fixed::kBlueInner));
        const __m256i q_b = _mm256_add_epi16(u2, splat(fixed::kBlueOuter));

        // Per lane: the 8 even pixels, then the 8 odd ones.
        const __m256i red =
            _mm256_packus_epi16(_mm256_srai_epi16(_mm256_adds_epi16(y_even, k_r), 7),
                                _mm256_srai_epi16(_mm256_adds_epi16(y_odd, k_r), 7));
        const __m256i green =
            _mm256_packus_epi16(_mm256_srai_epi16(_mm256_adds_epi16(y_even, k_g), 7),
                                _mm256_srai_epi16(_mm256_adds_epi16(y_odd, k_g), 7));
        const __m256i blue = _mm256_packus_epi16(
            _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(y_even, k_b), 7), q_b),
            _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(y_odd, k_b), 7), q_b));

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
