// Byte-shuffle masks (pshufb / vpshufb within 16 bytes) for 16 pixels of
// 3 bytes, that is 48 bytes seen as three 16-byte blocks.
#ifndef CAMAPI_RGB_SHUFFLE_H
#define CAMAPI_RGB_SHUFFLE_H

#include <array>

namespace camkit {
namespace convert {

using Shuffle = std::array<signed char, 16>;
constexpr signed char kZeroByte = -128;  // high bit set: the shuffle writes 0

// kInterleave[j][c]: picks from plane c (16 bytes of R, G or B) the bytes that
// land in output block j of the packed pixels.
constexpr std::array<std::array<Shuffle, 3>, 3> make_interleave() {
    std::array<std::array<Shuffle, 3>, 3> m{};
    for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 16; ++i) {
                const int k = 16 * j + i;
                m[j][c][i] = k % 3 == c ? static_cast<signed char>(k / 3) : kZeroByte;
            }
    return m;
}
constexpr auto kInterleave = make_interleave();

// kInterleaveEvenOdd[j][c]: the same, from planes that hold the even pixels
// 0, 2, .., 14 in bytes 0..7 and the odd pixels 1, 3, .., 15 in bytes 8..15.
constexpr std::array<std::array<Shuffle, 3>, 3> make_interleave_even_odd() {
    std::array<std::array<Shuffle, 3>, 3> m{};
    for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 16; ++i) {
                const int k = 16 * j + i;
                const int pixel = k / 3;
                const int at = pixel / 2 + (pixel % 2 ? 8 : 0);
                m[j][c][i] = k % 3 == c ? static_cast<signed char>(at) : kZeroByte;
            }
    return m;
}
constexpr auto kInterleaveEvenOdd = make_interleave_even_odd();

// Sorts the 16 bytes of 4 YUYV pairs into the 4 Y of the even pixels, the 4 Y
// of the odd pixels, then U, V of each pair.
constexpr Shuffle kSortYuyv = {0, 4, 8, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15};

// kSwap[j][s]: picks from input block s the bytes that land in output block j
// when the first and third byte of every pixel change places.
constexpr std::array<std::array<Shuffle, 3>, 3> make_swap() {
    std::array<std::array<Shuffle, 3>, 3> m{};
    for (int j = 0; j < 3; ++j)
        for (int s = 0; s < 3; ++s)
            for (int i = 0; i < 16; ++i) {
                const int k = 16 * j + i;
                const int from = k + (k % 3 == 0 ? 2 : (k % 3 == 2 ? -2 : 0));
                m[j][s][i] = from / 16 == s ? static_cast<signed char>(from % 16) : kZeroByte;
            }
    return m;
}
constexpr auto kSwap = make_swap();

}  // namespace convert
}  // namespace camkit

#endif  // CAMAPI_RGB_SHUFFLE_H
