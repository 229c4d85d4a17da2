#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "kernel_variants.h"

namespace {

using Bytes = std::vector<unsigned char>;

unsigned char clamp(int x) {
    return static_cast<unsigned char>(std::min(255, std::max(0, x)));
}

// Written from the formula, independently of the library's kernels.
Bytes reference(const Bytes& yuyv, int width, int height) {
    const int pairs = ((width - 1) >> 1) + 1;
    Bytes rgb(static_cast<std::size_t>(pairs) * height * 6);
    for (int row = 0; row < height; ++row) {
        for (int i = 0; i < pairs; ++i) {
            const unsigned char* s = &yuyv[(static_cast<std::size_t>(row) * pairs + i) * 4];
            unsigned char* d = &rgb[(static_cast<std::size_t>(row) * pairs + i) * 6];
            const int u = s[1] - 128, v = s[3] - 128;
            for (int k = 0; k < 2; ++k) {
                const int y = s[2 * k] - 16;
                d[3 * k + 0] = clamp((298 * y + 409 * v + 128) >> 8);
                d[3 * k + 1] = clamp((298 * y - 100 * u - 208 * v + 128) >> 8);
                d[3 * k + 2] = clamp((298 * y + 516 * u + 128) >> 8);
            }
        }
    }
    return rgb;
}

Bytes random_bytes(std::size_t n, std::mt19937& rng) {
    Bytes b(n);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& x : b) x = static_cast<unsigned char>(byte(rng));
    return b;
}

struct PairCase {
    unsigned char in[4];
    unsigned char out[6];
};

TEST(Yuyv2Rgb, KnownPairs) {
    const PairCase cases[] = {
        {{16, 128, 16, 128}, {0, 0, 0, 0, 0, 0}},
        {{235, 128, 235, 128}, {255, 255, 255, 255, 255, 255}},
        {{0, 128, 255, 128}, {0, 0, 0, 255, 255, 255}},
        {{126, 128, 126, 128}, {128, 128, 128, 128, 128, 128}},
        {{81, 90, 81, 240}, {255, 0, 0, 255, 0, 0}},
        {{145, 54, 145, 34}, {0, 255, 1, 0, 255, 1}},
        {{41, 240, 41, 110}, {0, 0, 255, 0, 0, 255}},
        {{128, 64, 128, 192}, {233, 103, 1, 233, 103, 1}},
        {{100, 0, 200, 255}, {255, 45, 0, 255, 161, 0}},
    };
    // One frame of the nine pairs repeated, so that the vector paths see them
    // too, in every lane position.
    const int reps = 37;
    Bytes src;
    Bytes want;
    for (int r = 0; r < reps; ++r)
        for (const auto& c : cases) {
            src.insert(src.end(), c.in, c.in + 4);
            want.insert(want.end(), c.out, c.out + 6);
        }
    Bytes got(want.size());
    Yuyv2Rgb(src.data(), 2 * 9 * reps, 1, got.data());
    EXPECT_EQ(got, want);
    for (const auto& [name, kernel] : convert_test::yuyv_variants()) {
        Bytes k(want.size());
        kernel(src.data(), k.data(), 9 * reps);
        EXPECT_EQ(k, want) << name;
    }
}

TEST(Yuyv2Rgb, OddWidthConvertsTheLastPairInFull) {
    // Width 3: two pairs per row, 8 bytes in and 12 bytes out per row.
    std::mt19937 rng(3);
    const Bytes src = random_bytes(2 * 8, rng);
    Bytes got(2 * 12 + 4, 0xA5);
    Yuyv2Rgb(const_cast<unsigned char*>(src.data()), 3, 2, got.data());
    Bytes want = reference(src, 3, 2);
    want.insert(want.end(), 4, 0xA5);
    EXPECT_EQ(got, want);
}

TEST(Yuyv2Rgb, MatchesFormulaOnRandomFramesOfManySizes) {
    std::mt19937 rng(42);
    std::vector<std::pair<int, int>> sizes;
    for (int w = 1; w <= 70; ++w) sizes.emplace_back(w, 1 + w % 3);
    sizes.insert(sizes.end(), {{640, 4}, {1920, 2}, {1279, 3}, {33, 33}});
    for (const auto& [w, h] : sizes) {
        const std::size_t pairs = static_cast<std::size_t>(((w - 1) >> 1) + 1) * h;
        Bytes src = random_bytes(pairs * 4, rng);
        const Bytes want = reference(src, w, h);
        Bytes got(want.size() + 16, 0x5A);
        Yuyv2Rgb(src.data(), w, h, got.data());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << w << "x" << h;
        ASSERT_TRUE(
            std::all_of(got.begin() + want.size(), got.end(), [](auto b) { return b == 0x5A; }))
            << "wrote past the image at " << w << "x" << h;
    }
}

TEST(Yuyv2Rgb, EveryVariantMatchesFormulaOnEveryLumaChromaCombination) {
    // All 2^24 (Y, U, V) combinations, so every clamp edge and rounding case;
    // a frame per U value, both luma positions used.
    const auto variants = convert_test::yuyv_variants();
    Bytes src(65536 * 4);
    Bytes got(65536 * 6);
    for (int u = 0; u < 256; ++u) {
        for (int i = 0; i < 65536; ++i) {
            src[4 * i] = static_cast<unsigned char>(i & 255);
            src[4 * i + 1] = static_cast<unsigned char>(u);
            src[4 * i + 2] = static_cast<unsigned char>(255 - (i & 255));
            src[4 * i + 3] = static_cast<unsigned char>(i >> 8);
        }
        const Bytes want = reference(src, 2 * 65536, 1);
        for (const auto& [name, kernel] : variants) {
            kernel(src.data(), got.data(), 65536);
            ASSERT_EQ(got, want) << name << " U=" << u;
        }
    }
}

TEST(Yuyv2Rgb, VariantsHandleEveryTailLength) {
    std::mt19937 rng(7);
    for (const auto& [name, kernel] : convert_test::yuyv_variants()) {
        for (std::size_t pairs = 0; pairs <= 100; ++pairs) {
            const Bytes src = random_bytes(pairs * 4, rng);
            Bytes got(pairs * 6 + 16, 0x5A);
            kernel(src.data(), got.data(), pairs);
            Bytes want = pairs ? reference(src, static_cast<int>(2 * pairs), 1) : Bytes{};
            want.insert(want.end(), 16, 0x5A);
            ASSERT_EQ(got, want) << name << " pairs=" << pairs;
        }
    }
}

TEST(Yuyv2Rgb, NonPositiveSizeLeavesDestinationUntouched) {
    Bytes src(64, 200);
    for (const auto& [w, h] : {std::pair{0, 4}, {4, 0}, {-2, 4}, {4, -1}, {0, 0}, {-4, -4}}) {
        Bytes dst(96, 0x77);
        Yuyv2Rgb(src.data(), w, h, dst.data());
        EXPECT_EQ(dst, Bytes(96, 0x77)) << w << "x" << h;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The CPU flags Linux reports; it leaves out those whose registers it does
// not save.
std::set<std::string> cpu_flags() {
    std::ifstream in("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            for (std::string w; words >> w;) flags.insert(w);
            break;
        }
    return flags;
}
#endif

TEST(Yuyv2Rgb, PicksTheWidestVariantTheCpuAndTheOsSupport) {
    using namespace camkit::convert;
#if defined(__x86_64__) || defined(__i386__)
    const auto flags = cpu_flags();
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo";
    EXPECT_EQ(cpu_has_avx2(), flags.count("avx2") == 1);
    EXPECT_EQ(cpu_has_avx512_vbmi(),
              flags.count("avx512f") && flags.count("avx512bw") && flags.count("avx512vbmi"));
#endif
    // The library's choice is the first of these that is built and runs here.
    const std::pair<bool, YuyvFn> order[] = {{cpu_has_avx512_vbmi(), yuyv_avx512_kernel()},
                                             {cpu_has_avx512_bw(), yuyv_avx512bw_kernel()},
                                             {cpu_has_avx2(), yuyv_avx2_kernel()},
                                             {cpu_has_sse2(), yuyv_sse2_kernel()},
                                             {cpu_has_neon(), yuyv_neon_kernel()}};
    YuyvFn want = &yuyv_scalar;
    for (const auto& [runs, kernel] : order)
        if (runs && kernel) {
            want = kernel;
            break;
        }
    EXPECT_EQ(yuyv_kernel(), want);
}

}  // namespace
