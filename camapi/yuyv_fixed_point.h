// How the vector YUYV kernels reproduce the 8-bit fixed-point conversion
//   out = clamp((298 * (Y - 16) + C + 128) >> 8)
// exactly with 16-bit lanes, where C is 409v (red), -100u - 208v (green) or
// 516u (blue), u = U - 128, v = V - 128:
//   298 * (Y - 16) + 128 + C = 256 * Y + 42 * Y + C'   with C' = C - 4640.
// Split C' = 256 * q + r with 0 <= r < 256 (per pixel pair); then
//   out = clamp(Y + q + ((42 * Y + r) >> 8)),
// where 42 * Y + r <= 10965 and every term fits a signed 16-bit lane.
// q and r come from a remainder small enough for 16 bits:
//   red:   C' = 256 * v + (153 * v - 4640)
//   green: C' = -256 * v + (-100 * u + 48 * v - 4640)
//   blue:  C' = 512 * u + (4 * u - 4640)
// so q = that multiple of 256 + (remainder >> 8), r = remainder & 255.
#ifndef CAMAPI_YUYV_FIXED_POINT_H
#define CAMAPI_YUYV_FIXED_POINT_H

namespace camkit {
namespace convert {
namespace fixed {

constexpr short kLumaExtra = 42;  // 298 - 256
constexpr short kBias = -4640;    // 128 - 298 * 16
constexpr short kRedV = 153;      // 409 - 256
constexpr short kGreenU = -100;
constexpr short kGreenV = 48;  // -208 + 256

}  // namespace fixed
}  // namespace convert
}  // namespace camkit

#endif  // CAMAPI_YUYV_FIXED_POINT_H
