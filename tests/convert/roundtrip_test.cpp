// Frames from the simulated camera through the whole chain: grabbed with
// cam_grabframe, converted, saved as BMP, read back and compared.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kNode[] = "/dev/video0";
constexpr unsigned kWidth = 320;
constexpr unsigned kHeight = 240;

class RoundTrip : public ::testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        simcam::Camera cam = simcam::default_camera();
        cam.node = kNode;
        cam.paced = false;  // no waiting on the frame clock
        cam.formats = {simcam::one_size_format(V4L2_PIX_FMT_MJPEG, kWidth, kHeight),
                       simcam::one_size_format(V4L2_PIX_FMT_YUYV, kWidth, kHeight)};
        ASSERT_TRUE(simcam::add_camera(cam));
        std::string tmpl = ::testing::TempDir() + "roundtrip_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/frame.bmp";
    }
    void TearDown() override {
        cam_close(0);
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }

    // Opens slot 0 in `fourcc`, streams and grabs one frame.
    Bytes grab(uint32_t fourcc) {
        EXPECT_EQ(cam_open(0, kNode, fourcc, kWidth, kHeight, 30, 1), 0) << strerror(errno);
        EXPECT_EQ(cam_play(0), 0) << strerror(errno);
        std::size_t capacity = 0;
        for (uint32_t len : g_mem_len[0]) capacity = std::max<std::size_t>(capacity, len);
        Bytes frame(capacity);
        int size = -1;
        EXPECT_EQ(cam_grabframe(0, frame.data(), &size), 0) << strerror(errno);
        frame.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        return frame;
    }

    // Saves the image, reads the file back and checks it holds the image.
    void save_and_compare(Bytes& rgb) {
        SaveBmp(rgb.data(), kWidth, kHeight, path_.data());
        std::ifstream in(path_, std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const std::size_t stride = (kWidth * 3 + 3) & ~3u;
        ASSERT_EQ(file.size(), 54 + stride * kHeight);
        ASSERT_EQ(file[0], 'B');
        for (unsigned y = 0; y < kHeight; ++y)
            for (unsigned x = 0; x < kWidth; ++x)
                for (unsigned c = 0; c < 3; ++c)
                    ASSERT_EQ(file[54 + y * stride + x * 3 + c], rgb[(y * kWidth + x) * 3 + 2 - c])
                        << "pixel " << x << "," << y;
    }

    std::string dir_, path_;
};

TEST_F(RoundTrip, YuyvFrame) {
    Bytes frame = grab(V4L2_PIX_FMT_YUYV);
    ASSERT_EQ(frame.size(), kWidth * kHeight * 2);
    const long stamp = simcam::read_stamp_yuyv(frame.data(), kWidth, kHeight);
    ASSERT_GE(stamp, 0);
    Bytes pattern(frame.size());
    simcam::render_yuyv(kWidth, kHeight, static_cast<uint32_t>(stamp), pattern.data());
    ASSERT_EQ(frame, pattern);

    Bytes rgb(kWidth * kHeight * 3);
    Yuyv2Rgb(frame.data(), kWidth, kHeight, rgb.data());
    EXPECT_EQ(simcam::read_stamp_rgb(rgb.data(), kWidth, kHeight), stamp);
    save_and_compare(rgb);
}

TEST_F(RoundTrip, MjpegFrame) {
    Bytes frame = grab(V4L2_PIX_FMT_MJPEG);
    ASSERT_GT(frame.size(), 0u);
    Bytes rgb(kWidth * kHeight * 3);
    ASSERT_EQ(Jpg2Rgb(frame.data(), static_cast<int>(frame.size()), rgb.data()), 0);
    // The stamp has a check field: a garbled image does not read as one.
    const long stamp = simcam::read_stamp_rgb(rgb.data(), kWidth, kHeight);
    ASSERT_GE(stamp, 0);
    // The camera compresses its YUYV picture as JPEG's full-range YCbCr: the
    // decoded image is that picture's full-range RGB, less a little loss.
    Bytes yuyv(kWidth * kHeight * 2);
    simcam::render_yuyv(kWidth, kHeight, static_cast<uint32_t>(stamp), yuyv.data());
    double diff = 0;
    for (std::size_t px = 0; px < kWidth * kHeight; ++px) {
        const unsigned char* pair = &yuyv[(px / 2) * 4];
        const double y = pair[(px % 2) * 2], u = pair[1] - 128.0, v = pair[3] - 128.0;
        const double want[3] = {y + 1.402 * v, y - 0.344136 * u - 0.714136 * v, y + 1.772 * u};
        for (int c = 0; c < 3; ++c)
            diff += std::abs(rgb[px * 3 + c] - std::min(255.0, std::max(0.0, want[c])));
    }
    EXPECT_LT(diff / static_cast<double>(rgb.size()), 4.0);  // 1.4 measured
    save_and_compare(rgb);
}

}  // namespace
