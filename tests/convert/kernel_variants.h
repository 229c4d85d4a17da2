// The kernel variants the running CPU can execute, by name.
#ifndef TESTS_CONVERT_KERNEL_VARIANTS_H
#define TESTS_CONVERT_KERNEL_VARIANTS_H

#include <string>
#include <utility>
#include <vector>

#include "convert_kernels.h"

namespace convert_test {

template <typename Fn>
void add_if(std::vector<std::pair<std::string, Fn>>& list, bool cpu_has, const char* name, Fn f) {
    if (cpu_has && f) list.emplace_back(name, f);
}

inline std::vector<std::pair<std::string, camkit::convert::YuyvFn>> yuyv_variants() {
    using namespace camkit::convert;
    std::vector<std::pair<std::string, YuyvFn>> list{{"scalar", &yuyv_scalar}};
    add_if(list, cpu_has_sse2(), "sse2", yuyv_sse2_kernel());
    add_if(list, cpu_has_avx2(), "avx2", yuyv_avx2_kernel());
    add_if(list, cpu_has_avx512_bw(), "avx512bw", yuyv_avx512bw_kernel());
    add_if(list, cpu_has_avx512_vbmi(), "avx512", yuyv_avx512_kernel());
    add_if(list, cpu_has_neon(), "neon", yuyv_neon_kernel());
    return list;
}

inline std::vector<std::pair<std::string, camkit::convert::SwapFn>> swap_variants() {
    using namespace camkit::convert;
    std::vector<std::pair<std::string, SwapFn>> list{{"scalar", &swap_rb_scalar}};
    add_if(list, cpu_has_avx2(), "avx2", swap_rb_avx2_kernel());
    add_if(list, cpu_has_neon(), "neon", swap_rb_neon_kernel());
    return list;
}

}  // namespace convert_test

#endif  // TESTS_CONVERT_KERNEL_VARIANTS_H
