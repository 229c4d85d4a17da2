// YUYV to RGB with AVX-512, 32 pixel pairs per step (see yuyv_fixed_point.h).
// With VBMI, byte permutes across the whole register sort the input and pack
// the 3-byte pixels, two per 64 output bytes; with BW alone, the bytes move
// within 128-bit lanes as in the AVX2 kernel and the lanes are put in order
// by 64-bit permutes.
// Built with AVX512F and AVX512BW; only called when the CPU and the OS have
// them (and VBMI for the VBMI kernel).
#include "convert_kernels.h"

#if defined(__AVX512BW__)
#include <immintrin.h>

#include <array>
#include <cstdint>

#include "rgb_shuffle.h"
#include "yuyv_fixed_point.h"

// GCC 12's AVX-512 intrinsics start some results from an undefined register
// and then warn of it where they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace camkit {
namespace convert {
namespace {

using Index = std::array<std::uint8_t, 64>;

// From 32 pairs (128 bytes, two registers): byte `at` of each pair into the
// low byte of word i (for Y, the high byte is the index's own, passed through
// by the mask: kLumaHighByte), or for the chroma, U and V of pair i into word i.
constexpr Index pick_index(int at) {
    Index m{};
    for (int i = 0; i < 32; ++i) {
        m[2 * i] = static_cast<std::uint8_t>(4 * i + at);
        m[2 * i + 1] = at == 1 ? static_cast<std::uint8_t>(4 * i + at + 2) : fixed::kLumaHighByte;
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

struct Rgb {
    __m512i red, green, blue;
};

// The three channels, clamped to bytes: per 128-bit lane the even pixels of
// its 8 pairs in bytes 0..7 and their odd pixels in bytes 8..15, from the even
// and odd Y (widened with the high byte kLumaHighByte) and the (U, V) of those
// pairs in 16-bit lanes.
inline Rgb convert(__m512i y_even, __m512i y_odd, __m512i chroma) {
    const __m512i red_v = splat(fixed::kRedSplitV << 8);
    const __m512i green_uv =
        _mm512_set1_epi16(static_cast<short>((fixed::kGreenV << 8) | (fixed::kGreenU & 0xFF)));
    // 149 * Y - 8192
    const __m512i ys_even = _mm512_mullo_epi16(y_even, splat(fixed::kHalfLuma));
    const __m512i ys_odd = _mm512_mullo_epi16(y_odd, splat(fixed::kHalfLuma));

    const __m512i signed_uv = _mm512_xor_si512(chroma, splat(static_cast<short>(0x8080)));
    const __m512i v256 = _mm512_and_si512(signed_uv, splat(static_cast<short>(0xFF00)));
    const __m512i k_r = _mm512_add_epi16(
        _mm512_srai_epi16(
            _mm512_sub_epi16(splat(fixed::kRedSplitBias), _mm512_maddubs_epi16(red_v, signed_uv)),
            1),
        v256);
    const __m512i k_g = _mm512_sub_epi16(
        _mm512_srai_epi16(
            _mm512_add_epi16(_mm512_maddubs_epi16(chroma, green_uv), splat(fixed::kGreenSplitBias)),
            1),
        _mm512_srai_epi16(v256, 1));
    const __m512i u2 = _mm512_maddubs_epi16(chroma, splat(2));  // 2 * U
    const __m512i k_b = _mm512_add_epi16(u2, splat(fixed::kBlueInner));
    const __m512i q_b = _mm512_add_epi16(u2, splat(fixed::kBlueOuter));
    const auto near = [](__m512i ys, __m512i k) {
        return _mm512_srai_epi16(_mm512_adds_epi16(ys, k), 7);
    };
    const auto blue = [&](__m512i ys) {
        return _mm512_add_epi16(_mm512_srli_epi16(_mm512_add_epi16(ys, k_b), 7), q_b);
    };
    return {_mm512_packus_epi16(near(ys_even, k_r), near(ys_odd, k_r)),
            _mm512_packus_epi16(near(ys_even, k_g), near(ys_odd, k_g)),
            _mm512_packus_epi16(blue(ys_even), blue(ys_odd))};
}

__attribute__((target("avx512vbmi"))) void yuyv_avx512_vbmi(const unsigned char* src,
                                                            unsigned char* dst, std::size_t pairs) {
    const __mmask64 low_bytes = 0x5555555555555555ULL;
    const __m512i pick_even = load(kPickEvenY);
    const __m512i pick_odd = load(kPickOddY);
    const __m512i pick_chroma = load(kPickChroma);
    const __m512i pack[3] = {load(kPack[0]), load(kPack[1]), load(kPack[2])};
    const __mmask64 blue[3] = {blue_mask(0), blue_mask(1), blue_mask(2)};
    for (; pairs >= 32; pairs -= 32, src += 128, dst += 192) {
        const __m512i a = _mm512_loadu_si512(src);
        const __m512i b = _mm512_loadu_si512(src + 64);
        // Pairs 8l..8l+7 into lane l, as the packing below expects.
        const Rgb p = convert(_mm512_mask2_permutex2var_epi8(a, pick_even, low_bytes, b),
                              _mm512_mask2_permutex2var_epi8(a, pick_odd, low_bytes, b),
                              _mm512_permutex2var_epi8(a, pick_chroma, b));
        for (int j = 0; j < 3; ++j) {
            const __m512i rg = _mm512_permutex2var_epi8(p.red, pack[j], p.green);
            _mm512_storeu_si512(dst + 64 * j,
                                _mm512_mask_permutexvar_epi8(rg, blue[j], pack[j], p.blue));
        }
    }
    yuyv_scalar(src, dst, pairs);
}

inline __m512i mask(const Shuffle& m) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data())));
}

// kLanes[q]: the 64-bit halves of 128-bit blocks that make up output register
// q (64 bytes) from the registers O0, O1, O2 that hold block j of lane l in
// their lane l; bit 3 picks O1 over O0, and O2's blocks take the same index.
constexpr std::array<std::array<long long, 8>, 3> make_lanes() {
    std::array<std::array<long long, 8>, 3> m{};
    for (int q = 0; q < 3; ++q)
        for (int i = 0; i < 8; ++i) {
            const int block = 4 * q + i / 2;
            m[q][i] = 2 * (block / 3) + i % 2 + (block % 3 == 1 ? 8 : 0);
        }
    return m;
}
constexpr auto kLanes = make_lanes();

constexpr __mmask8 third_block(int q) {
    __mmask8 m = 0;
    for (int i = 0; i < 8; ++i)
        if ((4 * q + i / 2) % 3 == 2) m = static_cast<__mmask8>(m | (1 << i));
    return m;
}

void yuyv_avx512_bw(const unsigned char* src, unsigned char* dst, std::size_t pairs) {
    const __m512i luma_high = _mm512_set1_epi8(static_cast<char>(fixed::kLumaHighByte));
    const __m512i sort = mask(kSortYuyv);
    const __m512i m[3][3] = {{mask(kInterleaveEvenOdd[0][0]), mask(kInterleaveEvenOdd[0][1]),
                              mask(kInterleaveEvenOdd[0][2])},
                             {mask(kInterleaveEvenOdd[1][0]), mask(kInterleaveEvenOdd[1][1]),
                              mask(kInterleaveEvenOdd[1][2])},
                             {mask(kInterleaveEvenOdd[2][0]), mask(kInterleaveEvenOdd[2][1]),
                              mask(kInterleaveEvenOdd[2][2])}};
    const __m512i lanes[3] = {_mm512_loadu_si512(kLanes[0].data()),
                              _mm512_loadu_si512(kLanes[1].data()),
                              _mm512_loadu_si512(kLanes[2].data())};
    for (; pairs >= 32; pairs -= 32, src += 128, dst += 192) {
        const __m512i lo = _mm512_loadu_si512(src);
        const __m512i hi = _mm512_loadu_si512(src + 64);
        // Lane l: pairs 8l..8l+3 in a, 8l+4..8l+7 in b.
        const __m512i a =
            _mm512_shuffle_epi8(_mm512_shuffle_i64x2(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)), sort);
        const __m512i b =
            _mm512_shuffle_epi8(_mm512_shuffle_i64x2(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)), sort);
        const __m512i luma = _mm512_unpacklo_epi32(a, b);  // even Y x8, odd Y x8
        const Rgb p = convert(_mm512_unpacklo_epi8(luma, luma_high),
                              _mm512_unpackhi_epi8(luma, luma_high), _mm512_unpackhi_epi64(a, b));
        __m512i o[3];
        for (int j = 0; j < 3; ++j)
            o[j] = _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(p.red, m[j][0]),
                                             _mm512_shuffle_epi8(p.green, m[j][1]),
                                             _mm512_shuffle_epi8(p.blue, m[j][2]), 0xFE);
        for (int q = 0; q < 3; ++q) {
            const __m512i two = _mm512_permutex2var_epi64(o[0], lanes[q], o[1]);
            _mm512_storeu_si512(dst + 64 * q,
                                _mm512_mask_permutexvar_epi64(two, third_block(q), lanes[q], o[2]));
        }
    }
    yuyv_scalar(src, dst, pairs);
}

}  // namespace

YuyvFn yuyv_avx512_kernel() {
    return &yuyv_avx512_vbmi;
}

YuyvFn yuyv_avx512bw_kernel() {
    return &yuyv_avx512_bw;
}

}  // namespace convert
}  // namespace camkit

#else

camkit::convert::YuyvFn camkit::convert::yuyv_avx512_kernel() {
    return nullptr;
}

camkit::convert::YuyvFn camkit::convert::yuyv_avx512bw_kernel() {
    return nullptr;
}

#endif
