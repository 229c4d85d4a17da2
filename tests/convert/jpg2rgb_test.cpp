#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "jpeg_fixture.h"

namespace {

using convert_test::Bytes;

int lines(const std::string& s) {
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// Decodes with stderr captured; returns the result and what was written.
int decode(unsigned char* jpg, int size, unsigned char* rgb, std::string* messages) {
    testing::internal::CaptureStderr();
    const int rc = Jpg2Rgb(jpg, size, rgb);
    *messages = testing::internal::GetCapturedStderr();
    return rc;
}

TEST(Jpg2Rgb, EmptySourceFailsWithOneMessage) {
    Bytes jpeg = convert_test::encode_jpeg(convert_test::test_picture(16, 8), 16, 8, 90);
    struct Case {
        unsigned char* data;
        int size;
    } cases[] = {{jpeg.data(), 0}, {nullptr, 0}, {nullptr, 100}, {jpeg.data(), -5}};
    for (const auto& c : cases) {
        Bytes dst(384, 0x77);
        std::string messages;
        EXPECT_EQ(decode(c.data, c.size, dst.data(), &messages), -1) << c.size;
        EXPECT_EQ(lines(messages), 1) << messages;
        EXPECT_EQ(dst, Bytes(384, 0x77));
    }
}

TEST(Jpg2Rgb, ForeignBytesFailWithOneMessage) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    Bytes dst(384, 0x77);
    std::string messages;
    EXPECT_EQ(decode(png.data(), static_cast<int>(png.size()), dst.data(), &messages), -1);
    EXPECT_EQ(lines(messages), 1) << messages;
    EXPECT_EQ(messages.back(), '\n');
    EXPECT_EQ(dst, Bytes(384, 0x77));
}

TEST(Jpg2Rgb, ColourFrameDecodesToPackedRgbRows) {
    const Bytes picture = convert_test::test_picture(16, 8);
    Bytes jpeg = convert_test::encode_jpeg(picture, 16, 8, 95);
    Bytes dst(384 + 16, 0x77);
    std::string messages;
    ASSERT_EQ(decode(jpeg.data(), static_cast<int>(jpeg.size()), dst.data(), &messages), 0);
    EXPECT_EQ(messages, "");
    // Lossy, but red first and the top row first.
    for (std::size_t i = 0; i < 384; ++i)
        ASSERT_LE(std::abs(dst[i] - picture[i]), 24) << "byte " << i;
    EXPECT_EQ(Bytes(dst.begin() + 384, dst.end()), Bytes(16, 0x77));
}

TEST(Jpg2Rgb, FrameWithoutHuffmanTablesDecodesLikeTheFullFrame) {
    const Bytes picture = convert_test::test_picture(64, 48);
    Bytes full = convert_test::encode_jpeg(picture, 64, 48, 80);
    Bytes bare = convert_test::strip_huffman_tables(full);
    ASSERT_LT(bare.size(), full.size());
    Bytes want(64 * 48 * 3), got(64 * 48 * 3);
    ASSERT_EQ(Jpg2Rgb(full.data(), static_cast<int>(full.size()), want.data()), 0);
    std::string messages;
    ASSERT_EQ(decode(bare.data(), static_cast<int>(bare.size()), got.data(), &messages), 0);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(got, want);
}

TEST(Jpg2Rgb, GreyFrameGivesOneBytePerPixel) {
    Bytes grey(16 * 8);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<unsigned char>(i * 2);
    Bytes jpeg = convert_test::encode_grey_jpeg(grey, 16, 8);
    Bytes dst(16 * 8 + 16, 0x77);
    ASSERT_EQ(Jpg2Rgb(jpeg.data(), static_cast<int>(jpeg.size()), dst.data()), 0);
    for (std::size_t i = 0; i < grey.size(); ++i) ASSERT_LE(std::abs(dst[i] - grey[i]), 8) << i;
    EXPECT_EQ(Bytes(dst.end() - 16, dst.end()), Bytes(16, 0x77));
}

TEST(Jpg2Rgb, ConcurrentCallsKeepTheirOwnErrorTrap) {
    const Bytes picture = convert_test::test_picture(32, 16);
    const Bytes good = convert_test::encode_jpeg(picture, 32, 16, 90);
    Bytes want(32 * 16 * 3);
    ASSERT_EQ(Jpg2Rgb(const_cast<unsigned char*>(good.data()), static_cast<int>(good.size()),
                      want.data()),
              0);
    std::vector<int> faults(4, 0);
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            Bytes mine = good;
            Bytes bad(64, static_cast<unsigned char>(t));
            Bytes out(want.size());
            for (int i = 0; i < 25; ++i) {
                if (Jpg2Rgb(bad.data(), static_cast<int>(bad.size()), out.data()) != -1)
                    ++faults[t];
                if (Jpg2Rgb(mine.data(), static_cast<int>(mine.size()), out.data()) != 0 ||
                    out != want)
                    ++faults[t];
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()), 4 * 25);
    EXPECT_EQ(faults, std::vector<int>(4, 0));
}

TEST(Jpg2Rgb, TruncatedFrameWarnsOnceAndFillsTheRestWithGrey) {
    // The decoder warns once, ends the missing scan data as if it were all
    // zero coefficients (mid-grey) and still delivers every row.
    const Bytes picture = convert_test::test_picture(64, 64);
    Bytes jpeg = convert_test::encode_jpeg(picture, 64, 64, 90);
    jpeg.resize(jpeg.size() / 2);
    Bytes dst(64 * 64 * 3 + 16, 0x77);
    std::string messages;
    ASSERT_EQ(decode(jpeg.data(), static_cast<int>(jpeg.size()), dst.data(), &messages), 0);
    EXPECT_EQ(lines(messages), 1) << messages;
    for (int i = 0; i < 3; ++i) EXPECT_LE(std::abs(dst[i] - picture[i]), 24);
    const auto last_row = dst.begin() + 63 * 64 * 3;
    EXPECT_EQ(Bytes(last_row, last_row + 64 * 3), Bytes(64 * 3, 128));
    EXPECT_EQ(Bytes(dst.end() - 16, dst.end()), Bytes(16, 0x77));
}

}  // namespace
