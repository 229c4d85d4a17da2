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

}  // namespace fixed
}  // namespace convert
}  // namespace camkit

#endif  // CAMAPI_YUYV_FIXED_POINT_H
