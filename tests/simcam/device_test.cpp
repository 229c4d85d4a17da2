// Requests answered without streaming: identity, formats, errors.
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "helpers.h"

using namespace simtest;

namespace {

class Device : public ::testing::Test {
  protected:
    void SetUp() override { simcam::reset(); }
    void TearDown() override {
        EXPECT_EQ(simcam::open_descriptors(), 0u);
        EXPECT_EQ(simcam::live_mappings(), 0u);
    }
};

TEST_F(Device, QuerycapAndStatOfBothNodes) {
    int fd = open("/dev/video0", O_RDWR);
    int meta = open("/dev/video1", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_GE(meta, 0);
    v4l2_capability cap{};
    ASSERT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(cap.driver), "uvcvideo");
    EXPECT_EQ(cap.device_caps,
              uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT));
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_META_CAPTURE);
    ASSERT_EQ(io(meta, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps & (V4L2_CAP_META_CAPTURE | V4L2_CAP_VIDEO_CAPTURE),
              uint32_t(V4L2_CAP_META_CAPTURE));
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(io(meta, VIDIOC_ENUM_FMT, &d), EINVAL);

    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 81u);
    EXPECT_EQ(minor(st.st_rdev), 0u);
    // Unknown request and a read: as a UVC node answers.
    EXPECT_EQ(io(fd, _IOR('V', 200, int), &d), ENOTTY);
    char c;
    EXPECT_EQ(read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    // The request number is compared as the kernel sees it (32 bits); the
    // high bits exist only where long is 64 bits wide.
    unsigned long wide = static_cast<unsigned long>(0xffffffff00000000ull) | VIDIOC_QUERYCAP;
    EXPECT_EQ(ioctl(fd, wide, &cap), 0);
    EXPECT_EQ(simcam::open_descriptors(), 2u);
    close(meta);
    close(fd);
    // Not a simulated node: passed on.
    EXPECT_LT(open("/dev/video7", O_RDWR), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Device, EnumerationFollowsConfiguredOrder) {
    int fd = open("/dev/video0", O_RDWR);
    std::vector<std::pair<uint32_t, uint32_t>> got;  // fourcc, sizes
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (d.index = 0; io(fd, VIDIOC_ENUM_FMT, &d) == 0; ++d.index) {
        v4l2_frmsizeenum s{};
        s.pixel_format = d.pixelformat;
        while (io(fd, VIDIOC_ENUM_FRAMESIZES, &s) == 0) ++s.index;
        got.push_back({d.pixelformat, s.index});
    }
    EXPECT_EQ(d.index, 2u);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::make_pair(uint32_t(V4L2_PIX_FMT_MJPEG), 3u));
    EXPECT_EQ(got[1], std::make_pair(uint32_t(V4L2_PIX_FMT_YUYV), 2u));
    // YUYV 1280x720 only at 5 fps; unknown size: EINVAL.
    v4l2_frmivalenum iv{};
    iv.pixel_format = V4L2_PIX_FMT_YUYV;
    iv.width = 1280;
    iv.height = 720;
    ASSERT_EQ(io(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv), 0);
    EXPECT_EQ(iv.discrete.denominator, 5u);
    iv.index = 1;
    EXPECT_EQ(io(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv), EINVAL);
    iv.index = 0;
    iv.width = 800;
    EXPECT_EQ(io(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv), EINVAL);
    d.index = 0;
    d.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(io(fd, VIDIOC_ENUM_FMT, &d), EINVAL);
    close(fd);
}

TEST_F(Device, FormatAndRateNegotiation) {
    int fd = open("/dev/video0", O_RDWR);
    struct Case {
        uint32_t fourcc, w, h;
        uint32_t want_fourcc, want_w, want_h, bpl;
    } cases[] = {
        {V4L2_PIX_FMT_YUYV, 640, 480, V4L2_PIX_FMT_YUYV, 640, 480, 1280},
        {V4L2_PIX_FMT_YUYV, 1000, 700, V4L2_PIX_FMT_YUYV, 1280, 720, 2560},
        {V4L2_PIX_FMT_MJPEG, 4000, 3000, V4L2_PIX_FMT_MJPEG, 1920, 1080, 0},
        {v4l2_fourcc('N', 'V', '1', '2'), 640, 480, V4L2_PIX_FMT_MJPEG, 640, 480, 0},
    };
    for (const Case& c : cases) {
        v4l2_format f{};
        ASSERT_EQ(set_fmt(fd, c.fourcc, c.w, c.h, &f), 0);
        EXPECT_EQ(f.fmt.pix.pixelformat, c.want_fourcc);
        EXPECT_EQ(f.fmt.pix.width, c.want_w);
        EXPECT_EQ(f.fmt.pix.height, c.want_h);
        EXPECT_EQ(f.fmt.pix.bytesperline, c.bpl);
        EXPECT_EQ(f.fmt.pix.sizeimage, c.want_w * c.want_h * 2);
    }
    // YUYV 1280x720 forces its only rate; asking for 30 fps gets 5.
    ASSERT_EQ(set_fmt(fd, V4L2_PIX_FMT_YUYV, 1280, 720), 0);
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    p.parm.capture.timeperframe = {1, 30};
    ASSERT_EQ(io(fd, VIDIOC_S_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.capability, uint32_t(V4L2_CAP_TIMEPERFRAME));
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 5u);
    ASSERT_EQ(set_fmt(fd, V4L2_PIX_FMT_MJPEG, 640, 480), 0);
    p.parm.capture.timeperframe = {1, 12};  // nearest: 1/15
    ASSERT_EQ(io(fd, VIDIOC_S_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 15u);
    p.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(io(fd, VIDIOC_S_PARM, &p), EINVAL);
    // Inputs.
    v4l2_input in{};
    EXPECT_EQ(io(fd, VIDIOC_ENUMINPUT, &in), 0);
    EXPECT_EQ(in.type, uint32_t(V4L2_INPUT_TYPE_CAMERA));
    in.index = 1;
    EXPECT_EQ(io(fd, VIDIOC_ENUMINPUT, &in), EINVAL);
    close(fd);
}

TEST_F(Device, BufferOwnershipAndErrors) {
    int a = open("/dev/video0", O_RDWR | O_NONBLOCK);
    int b = open("/dev/video0", O_RDWR | O_NONBLOCK);
    uint32_t n = 0;
    ASSERT_EQ(reqbufs(a, 40, &n), 0);
    EXPECT_EQ(n, 32u);  // the driver's most
    ASSERT_EQ(reqbufs(a, 3, &n), 0);
    EXPECT_EQ(n, 3u);
    // Mapped back to front, the kernel may merge neighbours: still 3 mappings.
    std::vector<std::pair<void*, size_t>> maps;
    for (uint32_t i = 3; i-- > 0;) {
        v4l2_buffer q{};
        q.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        q.index = i;
        ASSERT_EQ(io(a, VIDIOC_QUERYBUF, &q), 0);
        EXPECT_EQ(q.m.offset % 4096, 0u);
        void* p = mmap(nullptr, q.length, PROT_READ, MAP_SHARED, a, q.m.offset);
        ASSERT_NE(p, MAP_FAILED);
        maps.push_back({p, q.length});
    }
    EXPECT_EQ(simcam::live_mappings(), 3u);
    for (auto& m : maps) munmap(m.first, m.second);
    EXPECT_EQ(reqbufs(b, 2), EBUSY);
    EXPECT_EQ(set_fmt(b, V4L2_PIX_FMT_YUYV, 640, 480), EBUSY);
    EXPECT_EQ(set_fmt(a, V4L2_PIX_FMT_YUYV, 640, 480), EBUSY);  // buffers allocated
    v4l2_buffer buf{};
    EXPECT_EQ(dqbuf(a, &buf), EINVAL);  // not streaming
    EXPECT_EQ(qbuf(a, 3), EINVAL);
    EXPECT_EQ(qbuf(b, 0), EBUSY);
    ASSERT_EQ(qbuf(a, 0), 0);
    EXPECT_EQ(qbuf(a, 0), EINVAL);  // already queued
    v4l2_requestbuffers rb{};
    rb.count = 2;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(io(a, VIDIOC_REQBUFS, &rb), EINVAL);
    ASSERT_EQ(stream(a, true), 0);
    EXPECT_EQ(reqbufs(a, 2), EBUSY);  // streaming
    EXPECT_EQ(dqbuf(a, &buf), EAGAIN);
    // A duplicate shares the open file: the queue lives until the last one closes.
    int a2 = dup(a);
    close(a);
    EXPECT_EQ(dqbuf(a2, &buf), EAGAIN);
    EXPECT_EQ(reqbufs(b, 2), EBUSY);
    close(a2);
    EXPECT_EQ(reqbufs(b, 2, &n), 0);
    EXPECT_EQ(reqbufs(b, 0), 0);
    close(b);
}

TEST_F(Device, ControlsAndPriorities) {
    int fd = open("/dev/video0", O_RDWR);
    v4l2_control c{V4L2_CID_BRIGHTNESS, 30};
    EXPECT_EQ(io(fd, VIDIOC_S_CTRL, &c), 0);
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_BRIGHTNESS), 30);
    struct Case {
        uint32_t id;
        int32_t value;
        int err;
    } cases[] = {
        {V4L2_CID_BRIGHTNESS, 65, 0},               // taken as 64: integers are clamped
        {V4L2_CID_GAMMA, 99, 0},                    // taken as 100
        {V4L2_CID_EXPOSURE_AUTO, 7, ERANGE},        // past the menu
        {V4L2_CID_EXPOSURE_AUTO, 0, EINVAL},        // not a menu entry of this camera
        {V4L2_CID_EXPOSURE_ABSOLUTE, 100, EACCES},  // aperture priority is on
        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, 5000, EACCES},
        {0x00980999, 1, EINVAL},
        {V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, 0},
        {V4L2_CID_EXPOSURE_ABSOLUTE, 100, 0},
        {V4L2_CID_POWER_LINE_FREQUENCY, 2, 0},
    };
    for (const Case& k : cases) {
        v4l2_control x{k.id, k.value};
        EXPECT_EQ(io(fd, VIDIOC_S_CTRL, &x), k.err) << std::hex << k.id;
    }
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_BRIGHTNESS), 64);
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_GAMMA), 100);
    // Enumeration walks every control once, in id order.
    v4l2_queryctrl q{};
    int n = 0;
    uint32_t last = 0;
    for (q.id = V4L2_CTRL_FLAG_NEXT_CTRL; io(fd, VIDIOC_QUERYCTRL, &q) == 0;
         q.id |= V4L2_CTRL_FLAG_NEXT_CTRL, ++n) {
        EXPECT_GT(q.id, last);
        last = q.id;
    }
    EXPECT_EQ(n, 14);
    // Extended controls: all or nothing.
    v4l2_ext_control xs[2] = {};
    xs[0].id = V4L2_CID_CONTRAST;
    xs[0].value = 50;
    xs[1].id = V4L2_CID_POWER_LINE_FREQUENCY;
    xs[1].value = 5;  // past the menu
    v4l2_ext_controls e{};
    e.count = 2;
    e.controls = xs;
    EXPECT_EQ(io(fd, VIDIOC_S_EXT_CTRLS, &e), ERANGE);
    EXPECT_EQ(e.error_idx, 1u);
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_CONTRAST), 32);
    // Priority: a RECORD handle shuts the others out of changes.
    int other = open("/dev/video0", O_RDWR);
    uint32_t prio = V4L2_PRIORITY_RECORD;
    ASSERT_EQ(io(fd, VIDIOC_S_PRIORITY, &prio), 0);
    EXPECT_EQ(io(other, VIDIOC_S_CTRL, &c), EBUSY);
    EXPECT_EQ(set_fmt(other, V4L2_PIX_FMT_YUYV, 640, 480), EBUSY);
    close(fd);
    EXPECT_EQ(io(other, VIDIOC_S_CTRL, &c), 0);
    close(other);
}

TEST_F(Device, ConfigFileDescribesCameras) {
    const char* path = "simcam_test_cameras.conf";
    {
        std::ofstream f(path);
        f << "# two cameras\n"
             "camera /dev/video4\n"
             "  meta none\n"
             "  card Bench Camera\n"
             "  timeperframe no\n"
             "  format H264\n"
             "    size 1920x1080 1/30\n"
             "  format YUYV Packed YUV\n"
             "    sizes stepwise 160x120 640x480 16x8 continuous 1/60 1/2\n"
             "camera /dev/video6\n"
             "  format MJPG\n"
             "    size 320x240 stepwise 1/30 1/10 1/30\n";
    }
    std::string err;
    ASSERT_TRUE(simcam::load_config(path, &err)) << err;
    EXPECT_LT(open("/dev/video0", O_RDWR), 0);
    int fd = open("/dev/video4", O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(io(fd, VIDIOC_ENUM_FMT, &d), 0);
    EXPECT_EQ(d.pixelformat, uint32_t(V4L2_PIX_FMT_H264));
    EXPECT_EQ(d.flags, uint32_t(V4L2_FMT_FLAG_COMPRESSED));
    v4l2_frmsizeenum s{};
    s.pixel_format = V4L2_PIX_FMT_YUYV;
    ASSERT_EQ(io(fd, VIDIOC_ENUM_FRAMESIZES, &s), 0);
    EXPECT_EQ(s.type, uint32_t(V4L2_FRMSIZE_TYPE_STEPWISE));
    EXPECT_EQ(s.stepwise.max_width, 640u);
    v4l2_format f{};
    ASSERT_EQ(set_fmt(fd, V4L2_PIX_FMT_YUYV, 333, 250, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 336u);
    EXPECT_EQ(f.fmt.pix.height, 248u);
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(io(fd, VIDIOC_G_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.capability, 0u);
    close(fd);
    fd = open("/dev/video6", O_RDWR);
    v4l2_frmivalenum iv{};
    iv.pixel_format = V4L2_PIX_FMT_MJPEG;
    iv.width = 320;
    iv.height = 240;
    ASSERT_EQ(io(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv), 0);
    EXPECT_EQ(iv.type, uint32_t(V4L2_FRMIVAL_TYPE_STEPWISE));
    close(fd);
    // Mistakes are reported with their line.
    {
        std::ofstream f(path);
        f << "camera /dev/video4\n  format YUYV\n    size 641x480 1/30\n";
    }
    EXPECT_FALSE(simcam::load_config(path, &err));
    EXPECT_NE(err.find("even width"), std::string::npos) << err;
    {
        std::ofstream f(path);
        f << "camera /dev/video4\n  frmat YUYV\n";
    }
    EXPECT_FALSE(simcam::load_config(path, &err));
    EXPECT_NE(err.find("line 2"), std::string::npos) << err;
    remove(path);
}

TEST_F(Device, LogKeepsTheEntriesTheEnvironmentAsksFor) {
    // Read again by reset(); an unusable value keeps the default.
    const struct {
        const char* value;  // nullptr: unset
        size_t kept;        // of 10 requests
    } cases[] = {{nullptr, 10}, {"0", 0}, {"3", 3}, {"3x", 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value)
            setenv("SIMCAM_LOG_ENTRIES", c.value, 1);
        else
            unsetenv("SIMCAM_LOG_ENTRIES");
        simcam::reset();
        int fd = open("/dev/video0", O_RDWR);
        ASSERT_GE(fd, 0);
        v4l2_capability cap{};
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        for (int i = 0; i < 9; ++i) ASSERT_EQ(io(fd, VIDIOC_QUERYCAP, &cap), 0);
        ASSERT_EQ(io(fd, VIDIOC_G_FMT, &f), 0);
        close(fd);
        std::vector<simcam::Request> log = simcam::request_log();
        EXPECT_EQ(log.size(), c.kept);
        if (!log.empty()) {
            EXPECT_EQ(log.back().request, uint32_t(VIDIOC_G_FMT));  // the newest kept
        }
    }
    unsetenv("SIMCAM_LOG_ENTRIES");
    simcam::reset();
}

}  // namespace
