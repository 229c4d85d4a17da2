#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "kernel_variants.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(SwapRB, ExchangesFirstAndThirdByteAndKeepsRowOrder) {
    // Two rows of two pixels.
    Bytes src = {10, 20, 30, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Bytes before = src;
    Bytes dst(12);
    SwapRB(src.data(), dst.data(), 2, 2);
    EXPECT_EQ(dst, (Bytes{30, 20, 10, 3, 2, 1, 6, 5, 4, 9, 8, 7}));
    EXPECT_EQ(src, before);
}

TEST(SwapRB, NonPositiveSizeLeavesDestinationUntouched) {
    Bytes src(48, 1);
    for (const auto& [w, h] : {std::pair{0, 4}, {4, 0}, {-1, 4}, {4, -3}}) {
        Bytes dst(48, 0x77);
        SwapRB(src.data(), dst.data(), w, h);
        EXPECT_EQ(dst, Bytes(48, 0x77)) << w << "x" << h;
    }
}

TEST(SwapRB, VariantsAgreeForEveryTailLength) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const auto& [name, kernel] : convert_test::swap_variants()) {
        for (std::size_t pixels = 0; pixels <= 200; pixels += (pixels < 100 ? 1 : 37)) {
            Bytes src(pixels * 3);
            for (auto& b : src) b = static_cast<unsigned char>(byte(rng));
            Bytes want(pixels * 3 + 8, 0x5A);
            for (std::size_t i = 0; i < pixels; ++i) {
                want[3 * i] = src[3 * i + 2];
                want[3 * i + 1] = src[3 * i + 1];
                want[3 * i + 2] = src[3 * i];
            }
            Bytes got(pixels * 3 + 8, 0x5A);
            kernel(src.data(), got.data(), pixels);
            ASSERT_EQ(got, want) << name << " pixels=" << pixels;
        }
    }
}

}  // namespace
