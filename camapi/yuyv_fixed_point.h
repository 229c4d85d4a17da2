// How the vector YUYV kernels reproduce the 8-bit fixed-point conversion
//   out = clamp((298 * (Y - 16) + C + 128) >> 8)
// exactly in 16-bit lanes, where C is 409v (red), -100u - 208v (green) or
// 516u (blue), u = U - 128, v = V - 128:
//   298 * (Y - 16) + 128 + C = 298 * Y + C'   with C' = C - 4640.
// With C' = 256 * q + r, 0 <= r < 256 (once per pixel pair):
//   out = clamp(q + ((298 * Y + r) >> 8)) = clamp(q + ((149 * Y + (r >> 1)) >> 7)),
// and 149 * Y + (r >> 1) <= 38122 fits an unsigned 16-bit lane.
// C' itself needs 18 bits; it is taken as a multiple of 256 plus a remainder
// m that fits 16 bits:
//   red:   C' =  256 * v + m,  m = 153 * v - 4640
//   green: C' = -256 * v + m,  m = -100 * u + 48 * v - 4640
//   blue:  C' =  512 * u + m,  m = 4 * u - 4640
// With h = m >> 1 (arithmetic): q = that multiple / 256 + (h >> 7) and
// r >> 1 = h & 127.
//
// A shorter way for the kernels with saturating 16-bit adds: with the halved
// chroma term k = floor(C' / 2), out = clamp((149 * Y + k) >> 7), and the sum
// only has to be exact in [0, 32767]: below it the result is negative (0 after
// the unsigned pack), above it a signed saturating add gives 32767, that is 255.
// 149 * Y (up to 37995) and k (-28496 .. 23651) do not fit a signed lane, but
// 149 * Y - 8192 and k + 8192 do, and their sum is unchanged. So:
//   luma:  (Y + 96 * 256) * 149 = 149 * Y - 8192 (mod 2^16), that is Y
//          widened with the high byte 96 instead of zero before the multiply;
//   red:   k + 8192 = 256 * v + ((11744 - 103 * v) >> 1)      (409 = 512 - 103)
//   green: k + 8192 = -128 * v + ((-100 * u + 48 * v + 11744) >> 1)
//   blue:  k itself runs to -35344, so blue keeps its 2u apart:
//          out = 2u - 21 + ((149 * Y - 8192 + 2U + 8304) >> 7), with U the
//          unsigned byte; the inner sum is 149 * Y + 2u + 368, 0 .. 38617
//          unsigned, and 21 = 2688 / 128 is the offset that keeps it so.
#ifndef CAMAPI_YUYV_FIXED_POINT_H
#define CAMAPI_YUYV_FIXED_POINT_H

namespace camkit {
namespace convert {
namespace fixed {

constexpr short kHalfLuma = 149;  // 298 / 2
constexpr short kBias = -4640;    // 128 - 298 * 16
constexpr short kRedV = 153;      // 409 - 256
constexpr short kGreenU = -100;
constexpr short kGreenV = 48;  // -208 + 256

// The saturating form above.
constexpr unsigned char kLumaHighByte = 96;  // 149 * 96 * 256 = -8192 (mod 2^16)
constexpr short kSplitOffset = 8192;
constexpr short kRedSplitV = 103;  // 512 - 409
constexpr short kRedSplitBias = 2 * kSplitOffset + kBias;
constexpr short kGreenSplitBias =
    2 * kSplitOffset + kBias - 128 * (kGreenU + kGreenV);            // from unsigned U, V
constexpr short kBlueInner = kSplitOffset - 256 + kBias / 2 + 2688;  // 2U + this = 2u + 368 + 8192
constexpr short kBlueOuter = -256 - 2688 / 128;                      // 2U + this = 2u - 21

static_assert(static_cast<unsigned short>(149 * kLumaHighByte * 256) ==
                  static_cast<unsigned short>(-kSplitOffset),
              "the luma high byte must make the multiply subtract the offset");

}  // namespace fixed
}  // namespace convert
}  // namespace camkit

#endif  // CAMAPI_YUYV_FIXED_POINT_H
