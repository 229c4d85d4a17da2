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

// R, G or B of 16 pixels as signed 16-bit values, not yet clamped.
inline __m256i channel(__m256i y, __m256i luma42, __m256i q, __m256i r) {
    return _mm256_add_epi16(_mm256_add_epi16(y, q),
                            _mm256_srli_epi16(_mm256_add_epi16(luma42, r), 8));
}

void yuyv_avx2(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __m256i low_byte = _mm256_set1_epi16(0x00FF);
    const __m256i byte0 = _mm256_set1_epi32(0xFF);
    const __m256i bias = splat(fixed::kBias);
    const __m256i m[3][3] = {
        {mask(kInterleave[0][0]), mask(kInterleave[0][1]), mask(kInterleave[0][2])},
        {mask(kInterleave[1][0]), mask(kInterleave[1][1]), mask(kInterleave[1][2])},
        {mask(kInterleave[2][0]), mask(kInterleave[2][1]), mask(kInterleave[2][2])}};
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 96) {
        // Lanes hold pixels 0..7 | 16..23 and 8..15 | 24..31, so that the
        // in-lane packs below come out in pixel order.
        const __m256i a = load2x128(src, src + 32);
        const __m256i b = load2x128(src + 16, src + 48);

        // Chroma once per pair: lanes hold pairs 0..3, 4..7 | 8..11, 12..15.
        const __m256i u =
            _mm256_sub_epi16(_mm256_packs_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 8), byte0),
                                                _mm256_and_si256(_mm256_srli_epi32(b, 8), byte0)),
                             splat(128));
        const __m256i v = _mm256_sub_epi16(
            _mm256_packs_epi32(_mm256_srli_epi32(a, 24), _mm256_srli_epi32(b, 24)), splat(128));
        const __m256i in_r = _mm256_add_epi16(_mm256_mullo_epi16(v, splat(fixed::kRedV)), bias);
        const __m256i in_g =
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, splat(fixed::kGreenU)),
                                              _mm256_mullo_epi16(v, splat(fixed::kGreenV))),
                             bias);
        const __m256i in_b = _mm256_add_epi16(_mm256_slli_epi16(u, 2), bias);
        const __m256i q_r = _mm256_add_epi16(_mm256_srai_epi16(in_r, 8), v);
        const __m256i q_g = _mm256_sub_epi16(_mm256_srai_epi16(in_g, 8), v);
        const __m256i q_b = _mm256_add_epi16(_mm256_srai_epi16(in_b, 8), _mm256_slli_epi16(u, 1));
        const __m256i r_r = _mm256_and_si256(in_r, low_byte);
        const __m256i r_g = _mm256_and_si256(in_g, low_byte);
        const __m256i r_b = _mm256_and_si256(in_b, low_byte);

        const __m256i ya = _mm256_and_si256(a, low_byte);
        const __m256i yb = _mm256_and_si256(b, low_byte);
        const __m256i la = _mm256_mullo_epi16(ya, splat(fixed::kLumaExtra));
        const __m256i lb = _mm256_mullo_epi16(yb, splat(fixed::kLumaExtra));
        // Lanes of each plane: pixels 0..15 | 16..31.
        const __m256i red = _mm256_packus_epi16(
            channel(ya, la, _mm256_unpacklo_epi16(q_r, q_r), _mm256_unpacklo_epi16(r_r, r_r)),
            channel(yb, lb, _mm256_unpackhi_epi16(q_r, q_r), _mm256_unpackhi_epi16(r_r, r_r)));
        const __m256i green = _mm256_packus_epi16(
            channel(ya, la, _mm256_unpacklo_epi16(q_g, q_g), _mm256_unpacklo_epi16(r_g, r_g)),
            channel(yb, lb, _mm256_unpackhi_epi16(q_g, q_g), _mm256_unpackhi_epi16(r_g, r_g)));
        const __m256i blue = _mm256_packus_epi16(
            channel(ya, la, _mm256_unpacklo_epi16(q_b, q_b), _mm256_unpacklo_epi16(r_b, r_b)),
            channel(yb, lb, _mm256_unpackhi_epi16(q_b, q_b), _mm256_unpackhi_epi16(r_b, r_b)));

        __m256i out[3];
        for (int j = 0; j < 3; ++j) {
            out[j] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(red, m[j][0]),
                                                     _mm256_shuffle_epi8(green, m[j][1])),
                                     _mm256_shuffle_epi8(blue, m[j][2]));
        }
        auto* o = reinterpret_cast<__m128i*>(dst);
        for (int j = 0; j < 3; ++j) {
            _mm_storeu_si128(o + j, _mm256_castsi256_si128(out[j]));
            _mm_storeu_si128(o + 3 + j, _mm256_extracti128_si256(out[j], 1));
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
