// Picks the fastest kernel variant the running CPU supports, once.
#include "convert_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__arm__) && !defined(__ARM_NEON)
#include <sys/auxv.h>
#endif

namespace camkit {
namespace convert {

#if defined(__x86_64__) || defined(__i386__)
namespace {

// Register state the OS saves on a context switch (XCR0), 0 without XSAVE.
unsigned os_saved_state() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return 0;
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return lo;
}

constexpr unsigned kYmmState = 0x6;   // SSE and AVX registers
constexpr unsigned kZmmState = 0xE6;  // and the opmask and upper ZMM registers

bool os_saves(unsigned state) {
    return (os_saved_state() & state) == state;
}

}  // namespace

bool cpu_has_sse2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}
bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && os_saves(kYmmState);
}
bool cpu_has_avx512_bw() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           os_saves(kZmmState);
}
bool cpu_has_avx512_vbmi() {
    return cpu_has_avx512_bw() && __builtin_cpu_supports("avx512vbmi");
}
#else
bool cpu_has_sse2() {
    return false;
}
bool cpu_has_avx2() {
    return false;
}
bool cpu_has_avx512_bw() {
    return false;
}
bool cpu_has_avx512_vbmi() {
    return false;
}
#endif

#if defined(__arm__) && !defined(__ARM_NEON)
// The NEON kernels are built for NEON on their own; not every 32-bit ARM CPU
// has it.
bool cpu_has_neon() {
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
}
#elif defined(__ARM_NEON)
// The whole build targets NEON.
bool cpu_has_neon() {
    return true;
}
#else
bool cpu_has_neon() {
    return false;
}
#endif

namespace {

YuyvFn pick_yuyv() {
    YuyvFn f = nullptr;
    if (cpu_has_avx512_vbmi()) f = yuyv_avx512_kernel();
    if (!f && cpu_has_avx512_bw()) f = yuyv_avx512bw_kernel();
    if (!f && cpu_has_avx2()) f = yuyv_avx2_kernel();
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
