// The kernel variants the running CPU can execute, by name.
#ifndef TESTS_CONVERT_KERNEL_VARIANTS_H
#define TESTS_CONVERT_KERNEL_VARIANTS_H

#include <string>
#include <utility>
#include <vector>

#include "convert_kernels.h"

#if defined(__arm__) && !defined(__ARM_NEON)
#include <sys/auxv.h>
#endif

namespace convert_test {

inline bool cpu_has(const char* feature) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (std::string(feature) == "avx2") return __builtin_cpu_supports("avx2");
    if (std::string(feature) == "sse2") return __builtin_cpu_supports("sse2");
#endif
#if defined(__arm__) && !defined(__ARM_NEON)
    if (std::string(feature) == "neon") return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#else
    if (std::string(feature) == "neon") return true;  // kernels exist only where NEON does
#endif
    return false;
}

template <typename Fn>
void add_if(std::vector<std::pair<std::string, Fn>>& list, const char* name, Fn f) {
    if (f) list.emplace_back(name, f);
}

inline std::vector<std::pair<std::string, camkit::convert::YuyvFn>> yuyv_variants() {
    using namespace camkit::convert;
    std::vector<std::pair<std::string, YuyvFn>> list{{"scalar", &yuyv_scalar}};
    if (cpu_has("sse2")) add_if(list, "sse2", yuyv_sse2_kernel());
    if (cpu_has("avx2")) add_if(list, "avx2", yuyv_avx2_kernel());
    if (cpu_has("neon")) add_if(list, "neon", yuyv_neon_kernel());
    return list;
}

inline std::vector<std::pair<std::string, camkit::convert::SwapFn>> swap_variants() {
    using namespace camkit::convert;
    std::vector<std::pair<std::string, SwapFn>> list{{"scalar", &swap_rb_scalar}};
    if (cpu_has("avx2")) add_if(list, "avx2", swap_rb_avx2_kernel());
    if (cpu_has("neon")) add_if(list, "neon", swap_rb_neon_kernel());
    return list;
}

}  // namespace convert_test

#endif  // TESTS_CONVERT_KERNEL_VARIANTS_H
