// Picks the fastest kernel variant the running CPU supports, once.
#include "convert_kernels.h"

#if defined(__arm__) && !defined(__ARM_NEON)
#include <sys/auxv.h>
#endif

namespace camkit {
namespace convert {
namespace {

#if defined(__x86_64__) || defined(__i386__)
bool cpu_has(bool avx2) {
    __builtin_cpu_init();
    return avx2 ? __builtin_cpu_supports("avx2") : __builtin_cpu_supports("sse2");
}
bool cpu_has_avx2() {
    return cpu_has(true);
}
bool cpu_has_sse2() {
    return cpu_has(false);
}
#else
bool cpu_has_avx2() {
    return false;
}
bool cpu_has_sse2() {
    return false;
}
#endif

#if defined(__arm__) && !defined(__ARM_NEON)
// The NEON kernels are built for NEON on their own; not every 32-bit ARM CPU
// has it.
bool cpu_has_neon() {
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
}
#else
// The whole build targets NEON, or the NEON kernels are left out.
bool cpu_has_neon() {
    return true;
}
#endif

YuyvFn pick_yuyv() {
    YuyvFn f = nullptr;
    if (cpu_has_avx2()) f = yuyv_avx2_kernel();
    if (!f && cpu_has_sse2()) f = yuyv_sse2_kernel();
    if (!f && cpu_has_neon()) f = yuyv_neon_kernel();
    return f ? f : &yuyv_scalar;
}

SwapFn pick_swap() {
    SwapFn f = nullptr;
    if (cpu_has_avx2()) f = swap_rb_avx2_kernel();
    if (!f && cpu_has_neon()) f = swap_rb_neon_kernel();
    return f ? f : &swap_rb_scalar;
}

}  // namespace

// Function-local statics are initialised once, even under concurrent calls.
YuyvFn yuyv_kernel() {
    static const YuyvFn f = pick_yuyv();
    return f;
}

SwapFn swap_rb_kernel() {
    static const SwapFn f = pick_swap();
    return f;
}

}  // namespace convert
}  // namespace camkit
