// Pixel kernels behind the image converters. Each instruction-set variant
// lives in a file of its own and is handed out through a getter that returns
// null when the variant was not compiled in; the converters pick one variant
// once per process.
#ifndef CAMAPI_CONVERT_KERNELS_H
#define CAMAPI_CONVERT_KERNELS_H

#include <cstddef>

namespace camkit {
namespace convert {

// Converts `pairs` YUYV pixel pairs (4 bytes each) into 2 * `pairs` packed RGB
// pixels (6 bytes per pair). Source and destination do not overlap.
using YuyvFn = void (*)(const unsigned char* src, unsigned char* dst, std::size_t pairs);

// Copies `pixels` 3-byte pixels with the first and third byte exchanged.
// Source and destination do not overlap.
using SwapFn = void (*)(const unsigned char* src, unsigned char* dst, std::size_t pixels);

void yuyv_scalar(const unsigned char* src, unsigned char* dst, std::size_t pairs);
YuyvFn yuyv_sse2_kernel();
YuyvFn yuyv_avx2_kernel();
YuyvFn yuyv_avx512_kernel();    // AVX512BW and AVX512VBMI
YuyvFn yuyv_avx512bw_kernel();  // AVX512BW alone
YuyvFn yuyv_neon_kernel();

void swap_rb_scalar(const unsigned char* src, unsigned char* dst, std::size_t pixels);
SwapFn swap_rb_avx2_kernel();
SwapFn swap_rb_neon_kernel();

// Instruction-set extensions the CPU has and the OS saves the registers of.
bool cpu_has_sse2();
bool cpu_has_avx2();
bool cpu_has_avx512_bw();    // AVX512F and AVX512BW
bool cpu_has_avx512_vbmi();  // and AVX512VBMI
bool cpu_has_neon();

// The fastest variant this CPU runs; chosen on first use, thread-safe.
YuyvFn yuyv_kernel();
SwapFn swap_rb_kernel();

}  // namespace convert
}  // namespace camkit

#endif  // CAMAPI_CONVERT_KERNELS_H
