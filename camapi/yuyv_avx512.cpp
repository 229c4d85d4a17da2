// YUYV to RGB with AVX-512 (BW and VBMI), 32 pixel pairs per step (see
// yuyv_fixed_point.h). Byte permutes across the whole register sort the input
// and pack the 3-byte pixels, two per 64 output bytes.
// Built with AVX-512 enabled and only called when the CPU and the OS have it.
#include "convert_kernels.h"

#if defined(__AVX512BW__) && defined(__AVX512VBMI__)
#include <immintrin.h>

#include <array>
#include <cstdint>

#include "yuyv_fixed_point.h"

namespace camkit {
namespace convert {
namespace {

using Index = std::array<std::uint8_t, 64>;

// From 32 pairs (128 bytes, two registers): byte `at` of each pair into the
// low byte of word i (`wide`: the high byte is cleared by the mask), or for
// the chroma, U and V of pair i into word i.
constexpr Index pick_index(int at) {
    Index m{};
    for (int i = 0; i < 32; ++i) {
        m[2 * i] = static_cast<std::uint8_t>(4 * i + at);
        m[2 * i + 1] = static_cast<std::uint8_t>(4 * i + at + 2);
    }
    return m;
}
constexpr Index kPickEvenY = pick_index(0);
constexpr Index kPickChroma = pick_index(1);
constexpr Index kPickOddY = pick_index(2);

// After the saturating packs, 128-bit lane l of a channel holds the even
// pixels of pairs 8l..8l+7 in bytes 0..7 and their odd pixels in bytes 8..15.
// kPack[j]: for each byte of output block j (64 bytes), where its channel
// byte lies; bit 6 picks green over red. The blue bytes take the same index
// from the blue register.
constexpr std::array<Index, 3> make_pack() {
    std::array<Index, 3> m{};
    for (int j = 0; j < 3; ++j)
        for (int t = 0; t < 64; ++t) {
            const int k = 64 * j + t;
            const int pixel = k / 3;
            const int pair = pixel / 2;
            const int at = 16 * (pair / 8) + pair % 8 + (pixel % 2) * 8;
            m[j][t] = static_cast<std::uint8_t>(at | (k % 3 == 1 ? 64 : 0));
        }
    return m;
}
constexpr auto kPack = make_pack();

constexpr std::uint64_t blue_mask(int j) {
    std::uint64_t m = 0;
    for (int t = 0; t < 64; ++t)
        if ((64 * j + t) % 3 == 2) m |= std::uint64_t{1} << t;
    return m;
}

inline __m512i load(const Index& m) {
    return _mm512_loadu_si512(m.data());
}

inline __m512i splat(short x) {
    return _mm512_set1_epi16(x);
}

inline __m512i channel(__m512i luma149, __m512i q, __m512i half_r) {
    return _mm512_add_epi16(q, _mm512_srli_epi16(_mm512_add_epi16(luma149, half_r), 7));
}

void yuyv_avx512(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __mmask64 low_bytes = 0x5555555555555555ULL;
    const __m512i pick_even = load(kPickEvenY);
    const __m512i pick_odd = load(kPickOddY);
    const __m512i pick_chroma = load(kPickChroma);
    const __m512i pack[3] = {load(kPack[0]), load(kPack[1]), load(kPack[2])};
    const __mmask64 blue[3] = {blue_mask(0), blue_mask(1), blue_mask(2)};
    const __m512i low_byte = splat(0x00FF);
    const __m512i low7 = splat(0x007F);
    const __m512i bias = splat(fixed::kBias);
    const __m512i green_uv =
        _mm512_set1_epi16(static_cast<short>((fixed::kGreenV << 8) | (fixed::kGreenU & 0xFF)));
    const __m512i green_bias = splat(fixed::kBias - 128 * (fixed::kGreenU + fixed::kGreenV));
    for (; pairs >= 32; pairs -= 32, src += 128, dst += 192) {
        const __m512i a = _mm512_loadu_si512(src);
        const __m512i b = _mm512_loadu_si512(src + 64);
        const __m512i y_even = _mm512_maskz_permutex2var_epi8(low_bytes, a, pick_even, b);
        const __m512i y_odd = _mm512_maskz_permutex2var_epi8(low_bytes, a, pick_odd, b);
        const __m512i chroma = _mm512_permutex2var_epi8(a, pick_chroma, b);  // (U, V) x32
        const __m512i y149_even = _mm512_mullo_epi16(y_even, splat(fixed::kHalfLuma));
        const __m512i y149_odd = _mm512_mullo_epi16(y_odd, splat(fixed::kHalfLuma));
        const __m512i u = _mm512_sub_epi16(_mm512_and_si512(chroma, low_byte), splat(128));
        const __m512i v = _mm512_sub_epi16(_mm512_srli_epi16(chroma, 8), splat(128));

        const __m512i in_r = _mm512_srai_epi16(
            _mm512_add_epi16(_mm512_mullo_epi16(v, splat(fixed::kRedV)), bias), 1);
        const __m512i in_g = _mm512_srai_epi16(
            _mm512_add_epi16(_mm512_maddubs_epi16(chroma, green_uv), green_bias), 1);
        const __m512i in_b = _mm512_srai_epi16(_mm512_add_epi16(_mm512_slli_epi16(u, 2), bias), 1);
        const __m512i q_r = _mm512_add_epi16(_mm512_srai_epi16(in_r, 7), v);
        const __m512i q_g = _mm512_sub_epi16(_mm512_srai_epi16(in_g, 7), v);
        const __m512i q_b = _mm512_add_epi16(_mm512_srai_epi16(in_b, 7), _mm512_slli_epi16(u, 1));
        const __m512i r_r = _mm512_and_si512(in_r, low7);
        const __m512i r_g = _mm512_and_si512(in_g, low7);
        const __m512i r_b = _mm512_and_si512(in_b, low7);

        const __m512i red =
            _mm512_packus_epi16(channel(y149_even, q_r, r_r), channel(y149_odd, q_r, r_r));
        const __m512i green =
            _mm512_packus_epi16(channel(y149_even, q_g, r_g), channel(y149_odd, q_g, r_g));
        const __m512i blu =
            _mm512_packus_epi16(channel(y149_even, q_b, r_b), channel(y149_odd, q_b, r_b));
        for (int j = 0; j < 3; ++j) {
            const __m512i rg = _mm512_permutex2var_epi8(red, pack[j], green);
            _mm512_storeu_si512(dst + 64 * j,
                                _mm512_mask_permutexvar_epi8(rg, blue[j], pack[j], blu));
        }
    }
    yuyv_scalar(src, dst, pairs);
}

}  // namespace

YuyvFn yuyv_avx512_kernel() {
    return &yuyv_avx512;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::YuyvFn camkit::convert::yuyv_avx512_kernel() {
    return nullptr;
}

#endif
