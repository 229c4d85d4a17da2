// Picks the fastest kernel variant the running CPU supports, once.
#include "convert_kernels.h"

namespace camkit {
namespace convert {
namespace {

#if defined(__x86_64__) || defined(__i386__)
bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
bool cpu_has_sse2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}
#else
bool cpu_has_avx2() {
    return false;
}
bool cpu_has_sse2() {
    return false;
}
#endif

YuyvFn pick_yuyv() {
    YuyvFn f = nullptr;
    if (cpu_has_avx2()) f = yuyv_avx2_kernel();
    if (!f && cpu_has_sse2()) f = yuyv_sse2_kernel();
    // NEON is compiled in only where the target has it.
    if (!f) f = yuyv_neon_kernel();
    return f ? f : &yuyv_scalar;
}

SwapFn pick_swap() {
    SwapFn f = nullptr;
    if (cpu_has_avx2()) f = swap_rb_avx2_kernel();
    if (!f) f = swap_rb_neon_kernel();
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
