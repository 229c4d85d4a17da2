// One thread streams a slot while another adjusts the same camera and a
// third works the other slot: no register transaction may be split by
// another request on its descriptor, and every frame must arrive intact. On
// the real driver (target.h) one slot streams and is adjusted.
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
        // Long enough for a loaded machine running the driver in a VM.
        if (poll(&p, 1, 5000) <= 0) break;
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
    // The real driver in the kernel stage has one camera: one slot streams
    // and is adjusted there, fewer rounds (each request crosses USB/IP).
    const int slots = target::on_driver() ? 1 : 2;
    const int rounds = target::on_driver() ? 200 : 400;
    const char* nodes[2] = {"/dev/video0", "/dev/video2"};
    if (!target::on_driver()) {
        simcam::reset();
        simcam::remove_all_cameras();
        for (int i = 0; i < slots; ++i) ASSERT_TRUE(simcam::add_camera(fast_camera(nodes[i])));
    } else {
        target::use(fast_camera(nodes[0]));
    }
    for (int i = 0; i < slots; ++i) {
        ASSERT_EQ(cam_open(i, nodes[i], V4L2_PIX_FMT_YUYV, kW, kH, 100, 1), 0);
        ASSERT_EQ(cam_play(i), 0);
    }
    target::clear_requests();

    std::atomic<bool> stop{false};
    Stream streams[2];
    int wrong[2] = {0, 0};
    std::vector<std::thread> grabbers, adjusters;
    for (int i = 0; i < slots; ++i) {
        grabbers.emplace_back(stream, i, std::cref(stop), &streams[i]);
        adjusters.emplace_back([&wrong, i, rounds] { wrong[i] = adjust(i, rounds); });
    }
    for (std::thread& t : adjusters) t.join();
    // Let the streams run on for a while whatever the adjusters' speed.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (std::thread& t : grabbers) t.join();

    for (int i = 0; i < slots; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(wrong[i], 0);
        EXPECT_GT(streams[i].frames, 10);
        EXPECT_EQ(streams[i].damaged, 0);
    }

    // Per descriptor, a request phase (selector 10) is always followed
    // directly by its response phase (selector 11).
    std::map<int, uint8_t> pending;  // fd -> 10 while a request phase is open
    int transactions = 0;
    for (const simcam::Request& r : target::requests()) {
        bool xu = r.request == kQuery;
        if (pending[r.fd] == 10) {
            ASSERT_TRUE(xu && r.xu_selector == 11) << "transaction split on fd " << r.fd;
            pending[r.fd] = 0;
            ++transactions;
        } else if (xu && r.xu_selector == 10) {
            pending[r.fd] = 10;
        }
    }
    EXPECT_EQ(transactions, slots * rounds * 4);
    for (int i = 0; i < slots; ++i) {
        EXPECT_EQ(cam_stop(i), 0);
        EXPECT_EQ(cam_close(i), 0);
    }
}

}  // namespace
