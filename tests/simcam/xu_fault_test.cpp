// The extension unit's register protocol, mappings, injected faults and
// the request log.
#include <gtest/gtest.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <poll.h>
#include <string.h>
#include <sys/syscall.h>

#include <array>

#include "helpers.h"

using namespace simtest;

namespace {

using Block = std::array<uint8_t, 8>;

int xu(int fd, uint8_t unit, uint8_t sel, uint8_t query, uint8_t* data, uint16_t size = 8) {
    uvc_xu_control_query q{};
    q.unit = unit;
    q.selector = sel;
    q.query = query;
    q.size = size;
    q.data = data;
    return io(fd, UVCIOC_CTRL_QUERY, &q);
}

int request(int fd, uint8_t cmd, uint16_t addr, uint8_t len) {
    Block b = {0, cmd, uint8_t(addr), uint8_t(addr >> 8), len, 0, 0, 0};
    return xu(fd, 4, 10, UVC_SET_CUR, b.data());
}

uvc_xu_control_mapping dsp_mapping() {
    static const uint8_t guid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                                     0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
    uvc_xu_control_mapping m{};
    strcpy(reinterpret_cast<char*>(m.name), "dsp rw");
    memcpy(m.entity, guid, 16);
    m.selector = 10;
    m.size = 8;
    m.v4l2_type = V4L2_CTRL_TYPE_INTEGER;
    m.data_type = UVC_CTRL_DATA_TYPE_SIGNED;
    return m;
}

class Xu : public ::testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        fd = open("/dev/video0", O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        close(fd);
        EXPECT_EQ(simcam::open_descriptors(), 0u);
    }
    int fd = -1;
};

TEST_F(Xu, RegisterReadsAndWrites) {
    // DSP read of 3 bytes from the chip id.
    ASSERT_EQ(request(fd, 0xC2, 0x0000, 3), 0);
    Block r{};
    r.fill(0xEE);
    ASSERT_EQ(xu(fd, 4, 11, UVC_GET_CUR, r.data()), 0);
    EXPECT_EQ(r, (Block{0x53, 0x43, 0x01, 0, 0, 0, 0, 0}));
    // DSP write of 2 bytes, then read back.
    ASSERT_EQ(request(fd, 0x82, 0x1A2, 2), 0);
    Block w = {0x5A, 0xA5, 0x77, 0, 0, 0, 0, 0};
    ASSERT_EQ(xu(fd, 4, 11, UVC_SET_CUR, w.data()), 0);
    EXPECT_EQ(simcam::dsp_peek("/dev/video0", 0x1A2), 0x5A);
    EXPECT_EQ(simcam::dsp_peek("/dev/video0", 0x1A3), 0xA5);
    EXPECT_EQ(simcam::dsp_peek("/dev/video0", 0x1A4), 0x00);  // beyond length
    // Sensor: 16-bit words, high byte first.
    ASSERT_EQ(request(fd, 0x8A, 0x308, 2), 0);
    Block s = {0x01, 0x02, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(xu(fd, 4, 11, UVC_SET_CUR, s.data()), 0);
    EXPECT_EQ(simcam::sensor_peek("/dev/video0", 0x308), 0x0102);
    simcam::sensor_poke("/dev/video0", 0x10, 0xBEEF);
    ASSERT_EQ(request(fd, 0xCA, 0x10, 2), 0);
    ASSERT_EQ(xu(fd, 4, 11, UVC_GET_CUR, r.data()), 0);
    EXPECT_EQ(r, (Block{0xBE, 0xEF, 0, 0, 0, 0, 0, 0}));
    // Length 0 passes and hands back nothing.
    ASSERT_EQ(request(fd, 0xC2, 0x0000, 0), 0);
    ASSERT_EQ(xu(fd, 4, 11, UVC_GET_CUR, r.data()), 0);
    EXPECT_EQ(r, Block{});
}

TEST_F(Xu, QueryErrorsAndStalls) {
    Block b{};
    uint8_t two[2];
    EXPECT_EQ(xu(fd, 4, 10, UVC_GET_LEN, two, 2), 0);
    EXPECT_EQ(two[0] | two[1] << 8, 8);
    EXPECT_EQ(xu(fd, 4, 10, UVC_GET_LEN, b.data(), 8), ENOBUFS);
    EXPECT_EQ(xu(fd, 4, 10, UVC_GET_INFO, b.data(), 1), 0);
    EXPECT_EQ(xu(fd, 4, 10, UVC_SET_CUR, b.data(), 4), ENOBUFS);
    EXPECT_EQ(xu(fd, 3, 10, UVC_GET_CUR, b.data()), ENOENT);
    EXPECT_EQ(xu(fd, 4, 12, UVC_GET_CUR, b.data()), ENOENT);
    struct Case {
        uint8_t cmd;
        uint16_t addr;
        uint8_t len;
    } stalls[] = {{0x55, 0, 1}, {0xC2, 0, 9}, {0xC2, 0xFFFE, 4}, {0xCA, 0, 1}};
    for (const Case& c : stalls) EXPECT_EQ(request(fd, c.cmd, c.addr, c.len), EILSEQ);
    // A response without a pending command, or of the wrong direction.
    EXPECT_EQ(xu(fd, 4, 11, UVC_GET_CUR, b.data()), EILSEQ);
    ASSERT_EQ(request(fd, 0x82, 0x10, 1), 0);
    EXPECT_EQ(xu(fd, 4, 11, UVC_GET_CUR, b.data()), EILSEQ);
    // Injected stall: exactly `times` queries on that selector.
    simcam::stall_xu("/dev/video0", 10, 2);
    EXPECT_EQ(request(fd, 0xC2, 0, 1), EILSEQ);
    EXPECT_EQ(request(fd, 0xC2, 0, 1), EILSEQ);
    EXPECT_EQ(request(fd, 0xC2, 0, 1), 0);
}

TEST_F(Xu, MappingsPersistPerCamera) {
    uvc_xu_control_mapping m = dsp_mapping();
    EXPECT_EQ(io(fd, UVCIOC_CTRL_MAP, &m), 0);
    int second = open("/dev/video0", O_RDWR);
    m = dsp_mapping();
    EXPECT_EQ(io(second, UVCIOC_CTRL_MAP, &m), EEXIST);
    close(second);
    m = dsp_mapping();
    m.entity[0] ^= 1;
    m.id = 0x9a0999;
    strcpy(reinterpret_cast<char*>(m.name), "other");
    EXPECT_EQ(io(fd, UVCIOC_CTRL_MAP, &m), ENOENT);
    simcam::refuse_mapping("/dev/video0", EPERM);
    m = dsp_mapping();
    EXPECT_EQ(io(fd, UVCIOC_CTRL_MAP, &m), EPERM);
    simcam::reset();  // a fresh camera forgets its mappings
    int fresh = open("/dev/video0", O_RDWR);
    m = dsp_mapping();
    EXPECT_EQ(io(fresh, UVCIOC_CTRL_MAP, &m), 0);
    close(fresh);
}

TEST_F(Xu, FaultsAndLog) {
    simcam::clear_log();
    simcam::fail_request("/dev/video0", VIDIOC_QUERYCAP, EAGAIN, 2);
    simcam::fail_request("/dev/video0", 0, EINTR, 1);
    v4l2_capability cap{};
    EXPECT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), EAGAIN);
    EXPECT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), EAGAIN);
    EXPECT_EQ(io(fd, VIDIOC_G_INPUT, &cap), EINTR);
    EXPECT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), 0);
    std::vector<simcam::Request> log = simcam::request_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].err, EAGAIN);
    EXPECT_EQ(log[3].result, 0);
    EXPECT_EQ(log[3].request, uint32_t(VIDIOC_QUERYCAP));
    EXPECT_EQ(log[3].arg_out.size(), sizeof cap);
    EXPECT_EQ(memcmp(log[3].arg_out.data(), "uvcvideo", 8), 0);
    EXPECT_EQ(log[3].tid, int(syscall(SYS_gettid)));
    EXPECT_EQ(log[3].node, "/dev/video0");
    EXPECT_LE(log[0].time_ns, log[3].time_ns);
    // Register traffic is logged with its data bytes.
    simcam::clear_log();
    ASSERT_EQ(request(fd, 0xC2, 0x1, 1), 0);
    Block r{};
    ASSERT_EQ(xu(fd, 4, 11, UVC_GET_CUR, r.data()), 0);
    log = simcam::request_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].xu_selector, 10);
    EXPECT_EQ(log[0].xu_query, UVC_SET_CUR);
    EXPECT_EQ(log[0].xu_in, (std::vector<uint8_t>{0, 0xC2, 1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(log[1].xu_out, (std::vector<uint8_t>{0x43, 0, 0, 0, 0, 0, 0, 0}));
    // No TIMEPERFRAME.
    simcam::Camera cam = simcam::default_camera();
    cam.timeperframe = false;
    cam.node = "/dev/video2";
    cam.meta_node = "/dev/video3";
    ASSERT_TRUE(simcam::add_camera(cam));
    int other = open("/dev/video2", O_RDWR);
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(io(other, VIDIOC_G_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.capability, 0u);
    close(other);
}

TEST(Faults, FramesAndUnplug) {
    simcam::reset();
    simcam::Camera cam = simcam::default_camera();
    cam.paced = false;
    ASSERT_TRUE(simcam::add_camera(cam));
    simcam::grant_buffers("/dev/video0", 2);
    simcam::error_frame("/dev/video0", 1);
    simcam::corrupt_frame("/dev/video0", 2, simcam::Corruption::Truncated);
    simcam::corrupt_frame("/dev/video0", 3, simcam::Corruption::Garbage);
    simcam::unplug_after("/dev/video0", 5);
    {
        Capture c;
        ASSERT_TRUE(c.open("/dev/video0", V4L2_PIX_FMT_MJPEG, 640, 480, 30, 4));
        ASSERT_EQ(c.maps.size(), 2u);
        ASSERT_EQ(stream(c.fd, true), 0);
        uint32_t sizes[5];
        for (int i = 0; i < 5; ++i) {
            v4l2_buffer b;
            ASSERT_EQ(dqbuf(c.fd, &b), 0);
            ASSERT_EQ(b.sequence, uint32_t(i));
            EXPECT_EQ(bool(b.flags & V4L2_BUF_FLAG_ERROR), i == 1);
            auto* p = static_cast<const uint8_t*>(c.maps[b.index]);
            sizes[i] = b.bytesused;
            bool eoi = p[b.bytesused - 2] == 0xFF && p[b.bytesused - 1] == 0xD9;
            EXPECT_EQ(eoi, i != 2 && i != 3) << i;
            EXPECT_EQ(p[0] == 0xFF && p[1] == 0xD8, true);
            if (i < 4) {
                ASSERT_EQ(qbuf(c.fd, b.index), 0);
            }
        }
        EXPECT_LT(sizes[2], sizes[0]);
        // Gone after 5 frames.
        v4l2_buffer b;
        EXPECT_EQ(dqbuf(c.fd, &b), ENODEV);
        v4l2_capability cap;
        EXPECT_EQ(io(c.fd, VIDIOC_QUERYCAP, &cap), ENODEV);
        pollfd p{c.fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1);
        EXPECT_EQ(p.revents, POLLERR | POLLHUP);
        EXPECT_LT(open("/dev/video0", O_RDWR), 0);
        simcam::replug("/dev/video0");
        EXPECT_EQ(io(c.fd, VIDIOC_QUERYCAP, &cap), ENODEV);  // the old descriptor stays dead
        int fd = open("/dev/video0", O_RDWR);
        EXPECT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), 0);
        close(fd);
    }
    EXPECT_EQ(simcam::live_mappings(), 0u);
    EXPECT_EQ(simcam::open_descriptors(), 0u);
}

}  // namespace
