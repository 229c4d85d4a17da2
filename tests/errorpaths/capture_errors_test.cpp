// Failure paths of the capture slots that the component tests leave out:
// requeues that fail after a stop or after an error frame, and a dequeued
// buffer that the slot has no mapping for.
#include <errno.h>

#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"

namespace {

const char kNode[] = "/dev/video0";
constexpr uint32_t kW = 160, kH = 120;

class CaptureErrors : public ::testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        simcam::Camera c = simcam::default_camera();
        c.paced = false;
        c.formats = {simcam::one_size_format(V4L2_PIX_FMT_YUYV, kW, kH)};
        ASSERT_TRUE(simcam::add_camera(c));
        ASSERT_EQ(cam_open(0, kNode, V4L2_PIX_FMT_YUYV, kW, kH, 30, 1), 0);
    }
    void TearDown() override {
        cam_close(0);
        EXPECT_EQ(simcam::live_mappings(), 0u);
        EXPECT_EQ(simcam::open_descriptors(), 0u);
    }
    // A good frame arrives and carries the picture it should.
    void expect_frame() {
        int size = 0;
        ASSERT_EQ(cam_grabframe(0, frame.data(), &size), 0);
        EXPECT_EQ(size, static_cast<int>(kW * kH * 2));
        EXPECT_GE(simcam::read_stamp_yuyv(frame.data(), kW, kH), 0);
    }
    std::vector<unsigned char> frame = std::vector<unsigned char>(kW * kH * 2);
};

TEST_F(CaptureErrors, StopReportsTheFirstFailedRequeueAndQueuesTheRest) {
    ASSERT_EQ(cam_play(0), 0);
    expect_frame();
    simcam::fail_request(kNode, VIDIOC_QBUF, EINVAL, 1);
    simcam::fail_request(kNode, VIDIOC_QBUF, ENOMEM, 1);
    errno = 0;
    EXPECT_EQ(cam_stop(0), -1);
    EXPECT_EQ(errno, EINVAL);
    // The two buffers that went back keep the stream going.
    ASSERT_EQ(cam_play(0), 0);
    for (int i = 0; i < 6; ++i) expect_frame();
}

TEST_F(CaptureErrors, ErrorFrameWhoseRequeueFailsReportsTheRequeue) {
    simcam::error_frame(kNode, 0);
    ASSERT_EQ(cam_play(0), 0);
    simcam::fail_request(kNode, VIDIOC_QBUF, EINVAL, 1);
    int size = 1234;
    errno = 0;
    EXPECT_EQ(cam_grabframe(0, frame.data(), &size), -1);
    EXPECT_EQ(errno, EINVAL);  // not EAGAIN: retrying would not help
    EXPECT_EQ(size, 1234);
    expect_frame();
}

TEST_F(CaptureErrors, UnmappedBufferIsHandedBackUncopied) {
    void* kept = g_mem[0][0];
    g_mem[0][0] = nullptr;
    ASSERT_EQ(cam_play(0), 0);
    int size = 1234;
    errno = 0;
    EXPECT_EQ(cam_grabframe(0, frame.data(), &size), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(size, 1234);
    g_mem[0][0] = kept;  // cam_close unmaps it
    for (int i = 0; i < 5; ++i) expect_frame();
}

}  // namespace
