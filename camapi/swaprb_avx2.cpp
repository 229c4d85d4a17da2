// Red/blue exchange with AVX2, 32 pixels per step. Built with -mavx2 and only
// called when the CPU has AVX2.
#include "convert_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>

#include "rgb_shuffle.h"

namespace camkit {
namespace convert {
namespace {

inline __m256i load2x128(const unsigned char* lo, const unsigned char* hi) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

inline __m256i mask(const Shuffle& m) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data())));
}

void swap_rb_avx2(const unsigned char* src, unsigned char* dst, std::size_t pixels) {
    // Output block 0 needs input blocks 0 and 1, block 1 all three, block 2
    // blocks 1 and 2.
    const __m256i m00 = mask(kSwap[0][0]), m01 = mask(kSwap[0][1]);
    const __m256i m10 = mask(kSwap[1][0]), m11 = mask(kSwap[1][1]), m12 = mask(kSwap[1][2]);
    const __m256i m21 = mask(kSwap[2][1]), m22 = mask(kSwap[2][2]);
    for (; pixels >= 32; pixels -= 32, src += 96, dst += 96) {
        // Each lane holds one 48-byte group of 16 pixels.
        const __m256i a = load2x128(src, src + 48);
        const __m256i b = load2x128(src + 16, src + 64);
        const __m256i c = load2x128(src + 32, src + 80);
        const __m256i o0 =
            _mm256_or_si256(_mm256_shuffle_epi8(a, m00), _mm256_shuffle_epi8(b, m01));
        const __m256i o1 = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(a, m10), _mm256_shuffle_epi8(b, m11)),
            _mm256_shuffle_epi8(c, m12));
        const __m256i o2 =
            _mm256_or_si256(_mm256_shuffle_epi8(b, m21), _mm256_shuffle_epi8(c, m22));
        auto* o = reinterpret_cast<__m128i*>(dst);
        _mm_storeu_si128(o, _mm256_castsi256_si128(o0));
        _mm_storeu_si128(o + 1, _mm256_castsi256_si128(o1));
        _mm_storeu_si128(o + 2, _mm256_castsi256_si128(o2));
        _mm_storeu_si128(o + 3, _mm256_extracti128_si256(o0, 1));
        _mm_storeu_si128(o + 4, _mm256_extracti128_si256(o1, 1));
        _mm_storeu_si128(o + 5, _mm256_extracti128_si256(o2, 1));
    }
    swap_rb_scalar(src, dst, pixels);
}

}  // namespace

SwapFn swap_rb_avx2_kernel() {
    return &swap_rb_avx2;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::SwapFn camkit::convert::swap_rb_avx2_kernel() {
    return nullptr;
}

#endif
