// One thread streams a slot while another adjusts the same camera and a
// third works the other slot: no register transaction may be split by
// another request on its descriptor, and every frame must arrive intact.
#include <errno.h>
#include <poll.h>
#include <string.h>

#include <linux/uvcvideo.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"
#include "target.h"

namespace {

constexpr unsigned kW = 320, kH = 240;
constexpr uint32_t kQuery = static_cast<uint32_t>(UVCIOC_CTRL_QUERY);

simcam::Camera fast_camera(const char* node) {
    simcam::Camera c = simcam::default_camera();
    c.node = node;
    c.meta_node.clear();
    c.formats = {simcam::one_size_format(V4L2_PIX_FMT_YUYV, kW, kH, {1, 100})};
    return c;
}

struct Stream {
    int frames = 0;
    int damaged = 0;
};

void stream(int slot, const std::atomic<bool>& stop, Stream* out) {
    std::vector<unsigned char> frame(kW * kH * 2);
    std::vector<uint8_t> expected(frame.size());
    while (!stop) {
        pollfd p = {g_fd[slot], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        int size = 0;
        if (cam_grabframe(slot, frame.data(), &size) != 0) continue;
        long stamp = simcam::read_stamp_yuyv(frame.data(), kW, kH);
        simcam::render_yuyv(kW, kH, static_cast<uint32_t>(stamp), expected.data());
        bool intact = stamp >= 0 && size == static_cast<int>(frame.size()) &&
                      memcmp(frame.data(), expected.data(), expected.size()) == 0;
        ++out->frames;
        if (!intact) ++out->damaged;
    }
}

// Register and control traffic that checks what it reads back.
int adjust(int slot, int rounds) {
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        unsigned char out[4] = {static_cast<unsigned char>(i), static_cast<unsigned char>(slot),
                                0x5A, static_cast<unsigned char>(i >> 8)};
        unsigned char in[4] = {};
        unsigned short word = 0;
        unsigned int value = 0;
        const unsigned short addr = static_cast<unsigned short>(0x2000 + 8 * (i % 64));
        if (cam_dsp_write_buf(slot, addr, out, 4) != 0 ||
            cam_dsp_read_buf(slot, addr, in, 4) != 0 || memcmp(in, out, 4) != 0)
            ++wrong;
        if (cam_sensor_write16(slot, 0x3100, static_cast<unsigned short>(i)) != 0 ||
            cam_sensor_read16(slot, 0x3100, &word) != 0 || word != static_cast<unsigned short>(i))
            ++wrong;
        if (cam_control_set(slot, V4L2_CID_CONTRAST, static_cast<unsigned>(i % 32)) != 0 ||
            cam_control_get(slot, V4L2_CID_CONTRAST, &value) != 0 || value != unsigned(i % 32))
            ++wrong;
    }
    return wrong;
}

TEST(Concurrency, TransactionsStayWholeWhileStreaming) {
    SKIP_ON_DRIVER("needs a second camera");
    simcam::reset();
    simcam::remove_all_cameras();
    ASSERT_TRUE(simcam::add_camera(fast_camera("/dev/video0")));
    ASSERT_TRUE(simcam::add_camera(fast_camera("/dev/video2")));
    ASSERT_EQ(cam_open(0, "/dev/video0", V4L2_PIX_FMT_YUYV, kW, kH, 100, 1), 0);
    ASSERT_EQ(cam_open(1, "/dev/video2", V4L2_PIX_FMT_YUYV, kW, kH, 100, 1), 0);
    ASSERT_EQ(cam_play(0), 0);
    ASSERT_EQ(cam_play(1), 0);
    simcam::clear_log();

    std::atomic<bool> stop{false};
    Stream s0, s1;
    std::thread grab0(stream, 0, std::cref(stop), &s0);
    std::thread grab1(stream, 1, std::cref(stop), &s1);
    int wrong0 = 0, wrong1 = 0;
    std::thread adjust0([&] { wrong0 = adjust(0, 400); });
    std::thread adjust1([&] { wrong1 = adjust(1, 400); });
    adjust0.join();
    adjust1.join();
    // Let the streams run on for a while whatever the adjusters' speed.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    grab0.join();
    grab1.join();

    EXPECT_EQ(wrong0, 0);
    EXPECT_EQ(wrong1, 0);
    EXPECT_GT(s0.frames, 10);
    EXPECT_GT(s1.frames, 10);
    EXPECT_EQ(s0.damaged, 0);
    EXPECT_EQ(s1.damaged, 0);

    // Per descriptor, a request phase (selector 10) is always followed
    // directly by its response phase (selector 11).
    std::map<int, uint8_t> pending;  // fd -> 10 while a request phase is open
    int transactions = 0;
    for (const simcam::Request& r : simcam::request_log()) {
        bool xu = r.request == kQuery;
        if (pending[r.fd] == 10) {
            ASSERT_TRUE(xu && r.xu_selector == 11) << "transaction split on fd " << r.fd;
            pending[r.fd] = 0;
            ++transactions;
        } else if (xu && r.xu_selector == 10) {
            pending[r.fd] = 10;
        }
    }
    EXPECT_EQ(transactions, 2 * 400 * 4);
    EXPECT_EQ(cam_stop(0), 0);
    EXPECT_EQ(cam_stop(1), 0);
    EXPECT_EQ(cam_close(0), 0);
    EXPECT_EQ(cam_close(1), 0);
}

}  // namespace
