#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"

namespace {

using Bytes = std::vector<unsigned char>;

class SaveBmpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "savebmp_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const auto& p : made_) std::remove(p.c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const std::string& name) {
        made_.push_back(dir_ + "/" + name);
        return made_.back();
    }
    static bool exists(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    static Bytes read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static std::uint32_t u32(const Bytes& b, std::size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
               static_cast<std::uint32_t>(b[at + 3]) << 24;
    }
    void save(Bytes& rgb, int w, int h, const std::string& p) {
        SaveBmp(rgb.empty() ? nullptr : rgb.data(), w, h, const_cast<char*>(p.c_str()));
    }

    std::string dir_;
    std::vector<std::string> made_;
};

TEST_F(SaveBmpTest, OnePixelFileIsExact) {
    Bytes rgb = {1, 2, 3};
    const std::string p = path("one.bmp");
    save(rgb, 1, 1, p);
    Bytes want = {0x42, 0x4D, 0x3A, 0, 0, 0, 0, 0, 0, 0,    0x36, 0,    0,
                  0,    0x28, 0,    0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                  1,    0,    0x18, 0, 0, 0, 0, 0, 4, 0,    0,    0};
    want.insert(want.end(), 16, 0);
    want.insert(want.end(), {3, 2, 1, 0});
    EXPECT_EQ(read(p), want);
}

TEST_F(SaveBmpTest, RowsArePaddedToFourBytesAndStoredTopFirst) {
    Bytes rgb(5 * 3 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i + 1);
    const std::string p = path("five.bmp");
    save(rgb, 5, 3, p);
    const Bytes got = read(p);
    ASSERT_EQ(got.size(), 102u);
    EXPECT_EQ(u32(got, 2), 102u);
    EXPECT_EQ(u32(got, 34), 48u);
    EXPECT_EQ(static_cast<std::int32_t>(u32(got, 22)), -3);
    for (int row = 0; row < 3; ++row) {
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(got[54 + row * 16 + x * 3 + c], rgb[row * 15 + x * 3 + (2 - c)]);
        EXPECT_EQ(got[54 + row * 16 + 15], 0) << "padding of row " << row;
    }
}

TEST_F(SaveBmpTest, VgaFrameHeader) {
    Bytes rgb(640 * 480 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 7);
    const std::string p = path("vga.bmp");
    save(rgb, 640, 480, p);
    const Bytes got = read(p);
    ASSERT_EQ(got.size(), 921654u);
    EXPECT_EQ(Bytes(got.begin() + 2, got.begin() + 6), (Bytes{0x36, 0x10, 0x0E, 0x00}));
    EXPECT_EQ(Bytes(got.begin() + 22, got.begin() + 26), (Bytes{0x20, 0xFE, 0xFF, 0xFF}));
    EXPECT_EQ(u32(got, 18), 640u);
    EXPECT_EQ(u32(got, 34), 921600u);
    Bytes bgr(rgb.size());
    SwapRB(rgb.data(), bgr.data(), 640, 480);
    EXPECT_TRUE(std::equal(bgr.begin(), bgr.end(), got.begin() + 54));
}

TEST_F(SaveBmpTest, EmptyImageWritesHeadersOnly) {
    Bytes none;
    for (const auto& [w, h] : {std::pair{0, 0}, {0, 7}, {7, 0}}) {
        const std::string p = path("empty" + std::to_string(w) + "x" + std::to_string(h) + ".bmp");
        save(none, w, h, p);
        const Bytes got = read(p);
        ASSERT_EQ(got.size(), 54u) << w << "x" << h;
        EXPECT_EQ(u32(got, 2), 54u);
        EXPECT_EQ(u32(got, 34), 0u);
        EXPECT_EQ(static_cast<std::int32_t>(u32(got, 18)), w);
        EXPECT_EQ(static_cast<std::int32_t>(u32(got, 22)), -h);
    }
}

TEST_F(SaveBmpTest, PathInMissingFolderCreatesNothing) {
    Bytes rgb = {1, 2, 3};
    const std::string p = dir_ + "/no/such/dir/x.bmp";
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    save(rgb, 1, 1, p);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(exists(p));
}

TEST_F(SaveBmpTest, NegativeOrOversizedImageWritesNoFile) {
    // Sizes whose BMP would not fit the 32-bit size fields, including ones a
    // 32-bit product would wrap to a small size; the image is never read.
    Bytes none;
    const std::pair<int, int> sizes[] = {{-1, 1},
                                         {1, -1},
                                         {-640, -480},
                                         {0x10000, 0x5556},
                                         {0x7FFFFFFF, 1},
                                         {1, 0x7FFFFFFF},
                                         {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& [w, h] : sizes) {
        const std::string p = path("bad" + std::to_string(w) + "x" + std::to_string(h) + ".bmp");
        save(none, w, h, p);
        EXPECT_FALSE(exists(p)) << w << "x" << h;
    }
    // An existing file is left as it was.
    const std::string p = path("kept.bmp");
    std::ofstream(p) << "keep";
    save(none, -1, 1, p);
    EXPECT_EQ(read(p), (Bytes{'k', 'e', 'e', 'p'}));
}

}  // namespace
