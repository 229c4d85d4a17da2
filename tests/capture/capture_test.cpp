// Capture slots against the simulated camera: opening with its failures and
// their cleanup, streaming, stop and restart, both slots, bad indices, and
// the frames a driver may hand back damaged. The cases that need no simcam
// fault also run on the real driver (target.h; the kernel stage).
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <linux/uvcvideo.h>

#include <gtest/gtest.h>

#include "camapi.h"
#include "ioctl_hook.h"
#include "simcam.h"
#include "target.h"

namespace {

const char kNode[] = "/dev/video0";
const char kMetaNode[] = "/dev/video1";
const char kSecondNode[] = "/dev/video2";
constexpr uint32_t kYuyv = V4L2_PIX_FMT_YUYV;
constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG;

simcam::FrameSize frame_size(uint32_t w, uint32_t h) {
    simcam::FrameSize s;
    s.width = w;
    s.height = h;
    simcam::Interval fast, slow, idle;
    fast.denominator = 30;
    slow.denominator = 15;
    idle.denominator = 1;
    s.intervals = {fast, slow, idle};
    return s;
}

simcam::Format format(uint32_t fourcc, const char* description) {
    simcam::Format f;
    f.fourcc = fourcc;
    f.description = description;
    f.sizes = {frame_size(640, 480), frame_size(320, 240)};
    return f;
}

// A camera whose frames are always ready, so no test waits on a clock.
simcam::Camera camera(const char* node, const char* meta_node) {
    simcam::Camera c = simcam::default_camera();
    c.node = node;
    c.meta_node = meta_node;
    c.paced = false;
    c.formats = {format(kMjpg, "Motion-JPEG"), format(kYuyv, "YUYV 4:2:2")};
    return c;
}

size_t count_fds() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

std::vector<simcam::Request> logged(uint32_t request) {
    std::vector<simcam::Request> out;
    for (const simcam::Request& r : target::requests())
        if (r.request == request) out.push_back(r);
    return out;
}

template <typename T>
T arg_of(const std::vector<uint8_t>& bytes) {
    T value;
    memset(&value, 0, sizeof value);
    memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

size_t capacity(int slot) {
    size_t n = 0;
    for (uint32_t len : g_mem_len[slot]) n = std::max<size_t>(n, len);
    return n;
}

int open_slot(int slot, const char* node = kNode, uint32_t fourcc = kYuyv, unsigned w = 640,
              unsigned h = 480) {
    return cam_open(slot, node, fourcc, w, h, 30, 1);
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        target::use(camera(kNode, kMetaNode));
        fds_ = count_fds();
    }
    void TearDown() override {
        cam_close(0);
        cam_close(1);
        EXPECT_EQ(target::live_mappings(), 0u);
        EXPECT_EQ(target::open_descriptors(), 0u);
        EXPECT_EQ(count_fds(), fds_);
    }

    // Grabs one frame, checks it against the pattern frame its stamp names
    // and hands back the stamp.
    void grab_intact(int slot, unsigned w, unsigned h, long* stamp = nullptr) {
        std::vector<unsigned char> frame(capacity(slot));
        int size = -1;
        ASSERT_TRUE(target::wait_frame(g_fd[slot]));
        ASSERT_EQ(cam_grabframe(slot, frame.data(), &size), 0) << strerror(errno);
        ASSERT_EQ(size, static_cast<int>(w * h * 2));
        long seen = simcam::read_stamp_yuyv(frame.data(), w, h);
        ASSERT_GE(seen, 0);
        std::vector<uint8_t> expected(w * h * 2);
        simcam::render_yuyv(w, h, static_cast<uint32_t>(seen), expected.data());
        EXPECT_EQ(memcmp(frame.data(), expected.data(), expected.size()), 0);
        if (stamp) *stamp = seen;
    }

    // Grabs `n` frames and checks that they follow each other from `first`.
    void grab_run(int slot, unsigned w, unsigned h, int n, long first) {
        for (long want = first; want < first + n; ++want) {
            long stamp = -1;
            ASSERT_NO_FATAL_FAILURE(grab_intact(slot, w, h, &stamp));
            EXPECT_EQ(stamp, want);
        }
    }

    size_t fds_ = 0;
};

void expect_slot_closed(int slot) {
    EXPECT_EQ(g_fd[slot], -1);
    for (void* m : g_mem[slot]) EXPECT_EQ(m, nullptr);
}

// ---- cam_open failures: message, errno, nothing left behind ----

int no_capture(int fd, uint32_t request, void* arg) {
    int r = ioctl_hook::forward(fd, request, arg);
    if (request == static_cast<uint32_t>(VIDIOC_QUERYCAP)) {
        auto* cap = static_cast<v4l2_capability*>(arg);
        cap->capabilities &= ~V4L2_CAP_VIDEO_CAPTURE;
        cap->device_caps &= ~V4L2_CAP_VIDEO_CAPTURE;
    }
    return r;
}

// A buffer the driver describes with length 0 cannot be mapped.
int unmappable_third_buffer(int fd, uint32_t request, void* arg) {
    int r = ioctl_hook::forward(fd, request, arg);
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (request == static_cast<uint32_t>(VIDIOC_QUERYBUF) && buf->index == 2) buf->length = 0;
    return r;
}

struct OpenFailure {
    const char* name;
    uint32_t request;  // made to fail with err; 0 for none
    int err;
    void (*setup)();
    ioctl_hook::Hook hook;
    const char* path;
    const char* message;
};

const OpenFailure kOpenFailures[] = {
    {"Open", 0, ENOENT, nullptr, nullptr, "/nonexistent/video0",
     "ERROR: opening V4L2 interface error.\n"},
    {"QueryCap", VIDIOC_QUERYCAP, EIO, nullptr, nullptr, kNode,
     "ERROR: unable to query device capability.\n"},
    {"NoCapture", 0, ENOTSUP, nullptr, no_capture, kNode, "ERROR: video capture not supported.\n"},
    {"SetFormat", VIDIOC_S_FMT, EINVAL, nullptr, nullptr, kNode, "ERROR: unable to set format.\n"},
    {"GetParm", VIDIOC_G_PARM, EIO, nullptr, nullptr, kNode,
     "ERROR: unable to get stream parameter.\n"},
    {"NoTimePerFrame", 0, ENOTSUP,
     [] {
         simcam::Camera c = camera(kNode, kMetaNode);
         c.timeperframe = false;
         simcam::add_camera(c);
     },
     nullptr, kNode, "ERROR: framerate control not support.\n"},
    {"SetParm", VIDIOC_S_PARM, EIO, nullptr, nullptr, kNode, "ERROR: unable to set framerate.\n"},
    {"ReqBufs", VIDIOC_REQBUFS, EBUSY, nullptr, nullptr, kNode,
     "ERROR: unable to allocate buffers.\n"},
    {"FewerBuffers", 0, EINVAL, [] { simcam::grant_buffers(kNode, 2); }, nullptr, kNode,
     "ERROR: unable to query buffer.\n"},
    {"QueryBuf", VIDIOC_QUERYBUF, EIO, nullptr, nullptr, kNode, "ERROR: unable to query buffer.\n"},
    {"Map", 0, EINVAL, nullptr, unmappable_third_buffer, kNode, "ERROR: unable to map buffer.\n"},
    {"Queue", VIDIOC_QBUF, EIO, nullptr, nullptr, kNode, "ERROR: unable to query buffer.\n"},
};

void PrintTo(const OpenFailure& c, std::ostream* os) {
    *os << c.name;
}

class OpenFailureTest : public CaptureTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, SaysWhatFailedAndReleasesEverything) {
    const OpenFailure& c = GetParam();
    if (c.setup || c.request) {
        SKIP_ON_DRIVER("needs a simcam fault");
    }
    if (c.setup) c.setup();
    if (c.request) simcam::fail_request(kNode, c.request, c.err);
    ioctl_hook::Scoped hook(c.hook);
    testing::internal::CaptureStderr();
    int result = cam_open(1, c.path, kYuyv, 640, 480, 30, 1);
    int err = errno;
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(err, c.err) << strerror(err);
    expect_slot_closed(1);
    // TearDown checks that no descriptor or mapping is left.
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailureTest, ::testing::ValuesIn(kOpenFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// The first steps are cam_open_control's too: the same errno, the slot left
// closed, but no message.
TEST_F(CaptureTest, ControlOnlyOpenFailsAtTheSameStepsSilently) {
    const std::string shared[] = {"Open", "QueryCap", "NoCapture"};
    for (const OpenFailure& c : kOpenFailures) {
        if (std::find(std::begin(shared), std::end(shared), c.name) == std::end(shared)) continue;
        SCOPED_TRACE(c.name);
        if (c.request && target::on_driver()) continue;
        ASSERT_EQ(open_slot(1), 0);  // an open slot is closed first
        if (c.request) simcam::fail_request(kNode, c.request, c.err);
        ioctl_hook::Scoped hook(c.hook);
        testing::internal::CaptureStderr();
        int result = cam_open_control(1, c.path);
        int err = errno;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, c.err) << strerror(err);
        expect_slot_closed(1);
    }
}

TEST_F(CaptureTest, OpenSendsRequestsInOrder) {
    ASSERT_EQ(cam_open(0, kNode, kMjpg, 320, 240, 15, 1), 0);
    const uint32_t expected[] = {VIDIOC_QUERYCAP, UVCIOC_CTRL_MAP, VIDIOC_S_FMT,    VIDIOC_G_PARM,
                                 VIDIOC_S_PARM,   VIDIOC_REQBUFS,  VIDIOC_QUERYBUF, VIDIOC_QUERYBUF,
                                 VIDIOC_QUERYBUF, VIDIOC_QUERYBUF, VIDIOC_QBUF,     VIDIOC_QBUF,
                                 VIDIOC_QBUF,     VIDIOC_QBUF};
    std::vector<simcam::Request> log = target::requests();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].request, expected[i]) << i;

    auto fmt = arg_of<v4l2_format>(log[2].arg_in);
    EXPECT_EQ(fmt.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, kMjpg);
    EXPECT_EQ(fmt.fmt.pix.width, 320u);
    EXPECT_EQ(fmt.fmt.pix.height, 240u);
    EXPECT_EQ(fmt.fmt.pix.bytesperline, 0u);
    auto parm = arg_of<v4l2_streamparm>(log[4].arg_in);
    EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);  // denominator comes first
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 15u);
    auto rb = arg_of<v4l2_requestbuffers>(log[5].arg_in);
    EXPECT_EQ(rb.count, 4u);
    EXPECT_EQ(rb.memory, static_cast<uint32_t>(V4L2_MEMORY_MMAP));
    for (int i = 0; i < 4; ++i) {
        auto queried = arg_of<v4l2_buffer>(log[6 + i].arg_out);
        EXPECT_EQ(queried.index, static_cast<uint32_t>(i));
        EXPECT_EQ(g_mem_len[0][i], queried.length);
        EXPECT_EQ(g_mem_offset[0][i], queried.m.offset);
        EXPECT_NE(g_mem[0][i], nullptr);
        EXPECT_EQ(arg_of<v4l2_buffer>(log[10 + i].arg_in).index, static_cast<uint32_t>(i));
    }
    EXPECT_EQ(target::live_mappings(), 4u);
    EXPECT_GE(g_fd[0], 0);
}

TEST_F(CaptureTest, RefusedMappingDoesNotStopOpen) {
    // The driver refuses by itself: a mapping is made once per device, every
    // later open gets EEXIST.
    if (!target::on_driver()) simcam::refuse_mapping(kNode, EINVAL);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_slot(0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- streaming ----

TEST_F(CaptureTest, FramesArriveIntact) {
    ASSERT_EQ(open_slot(0, kNode, kYuyv, 320, 240), 0);
    ASSERT_EQ(cam_play(0), 0);
    grab_run(0, 320, 240, 6, 0);  // more than the ring holds
}

TEST_F(CaptureTest, CopiesOnlyBytesUsed) {
    ASSERT_EQ(open_slot(0, kNode, kMjpg), 0);
    ASSERT_EQ(cam_play(0), 0);
    std::vector<unsigned char> frame(capacity(0) + 64, 0xEE);
    int size = -1;
    ASSERT_TRUE(target::wait_frame(g_fd[0]));
    ASSERT_EQ(cam_grabframe(0, frame.data(), &size), 0);
    auto dq = logged(VIDIOC_DQBUF);
    ASSERT_FALSE(dq.empty());
    EXPECT_EQ(static_cast<uint32_t>(size), arg_of<v4l2_buffer>(dq.back().arg_out).bytesused);
    ASSERT_GT(size, 2);
    ASSERT_LT(static_cast<size_t>(size), capacity(0));
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1], 0xD8);
    for (size_t i = static_cast<size_t>(size); i < frame.size(); ++i)
        ASSERT_EQ(frame[i], 0xEE) << "written past bytesused at " << i;
}

TEST_F(CaptureTest, GrabWithoutFrameLeavesSizeAlone) {
    // Before streaming the driver refuses at once (EINVAL, not retried); on
    // a stream whose next frame is a second away it is busy (EAGAIN, five
    // attempts back to back).
    const struct {
        bool play;
        int err;
        size_t attempts;
    } cases[] = {{false, EINVAL, 1}, {true, EAGAIN, 5}};
    if (!target::on_driver()) simcam::set_paced(kNode, true);
    for (const auto& c : cases) {
        ASSERT_EQ(cam_open(0, kNode, kYuyv, 640, 480, 1, 1), 0);
        if (c.play) {
            ASSERT_EQ(cam_play(0), 0);
        }
        target::clear_requests();
        std::vector<unsigned char> frame(capacity(0));
        int size = 1234;
        int result = cam_grabframe(0, frame.data(), &size);
        int err = errno;
        EXPECT_LT(result, 0);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(size, 1234);
        EXPECT_EQ(logged(VIDIOC_DQBUF).size(), c.attempts);
    }
}

TEST_F(CaptureTest, StopRequeuesAndPlayRestarts) {
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    grab_intact(0, 640, 480);
    target::clear_requests();
    ASSERT_EQ(cam_stop(0), 0);
    std::vector<simcam::Request> log = target::requests();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].request, static_cast<uint32_t>(VIDIOC_STREAMOFF));
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[1 + i].request, static_cast<uint32_t>(VIDIOC_QBUF));
        EXPECT_EQ(arg_of<v4l2_buffer>(log[1 + i].arg_in).index, i);
        EXPECT_EQ(log[1 + i].result, 0);
    }
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(cam_play(0), 0);
        grab_run(0, 640, 480, 5, 0);  // a new stream counts from 0
        ASSERT_EQ(cam_stop(0), 0);
    }
}

TEST_F(CaptureTest, StopReportsFailedStreamOff) {
    SKIP_ON_DRIVER("needs a simcam fault");
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    simcam::fail_request(kNode, VIDIOC_STREAMOFF, EIO);
    simcam::clear_log();
    EXPECT_EQ(cam_stop(0), -1);
    EXPECT_TRUE(logged(VIDIOC_QBUF).empty());
}

TEST_F(CaptureTest, TwoSlotsStreamAtOnce) {
    SKIP_ON_DRIVER("needs a second camera");
    ASSERT_TRUE(simcam::add_camera(camera(kSecondNode, "")));
    fds_ = count_fds();  // the camera itself holds a descriptor
    ASSERT_EQ(open_slot(0, kNode, kYuyv, 640, 480), 0);
    ASSERT_EQ(open_slot(1, kSecondNode, kYuyv, 320, 240), 0);
    EXPECT_NE(g_fd[0], g_fd[1]);
    ASSERT_EQ(cam_play(0), 0);
    ASSERT_EQ(cam_play(1), 0);
    for (long i = 0; i < 5; ++i) {
        grab_run(0, 640, 480, 1, i);
        grab_run(1, 320, 240, 1, i);
    }
    EXPECT_EQ(cam_close(0), 0);
    expect_slot_closed(0);
    grab_run(1, 320, 240, 1, 5);
}

// ---- slot indices and closed slots ----

TEST_F(CaptureTest, BadIndexTouchesNothing) {
    ASSERT_EQ(open_slot(0), 0);
    const int fd = g_fd[0];
    target::clear_requests();
    for (int index : {-1, -7, INT_MIN, 2, 5, INT_MAX}) {
        SCOPED_TRACE(index);
        int size = 77;
        unsigned char byte = 0;
        EXPECT_EQ(cam_open(index, kNode, kYuyv, 640, 480, 30, 1), -1);
        EXPECT_EQ(cam_play(index), -1);
        EXPECT_EQ(cam_stop(index), -1);
        EXPECT_EQ(cam_grabframe(index, &byte, &size), -1);
        EXPECT_EQ(size, 77);
        EXPECT_EQ(cam_close(index), index);
    }
    EXPECT_TRUE(target::requests().empty());
    EXPECT_EQ(g_fd[0], fd);
    EXPECT_EQ(g_fd[1], -1);
    EXPECT_EQ(target::live_mappings(), 4u);
}

TEST_F(CaptureTest, ClosedSlotFailsWithBadDescriptor) {
    int size = 5;
    unsigned char byte = 0;
    const struct {
        const char* name;
        int (*call)(unsigned char*, int*);
    } calls[] = {
        {"play", [](unsigned char*, int*) { return cam_play(1); }},
        {"stop", [](unsigned char*, int*) { return cam_stop(1); }},
        {"grab", [](unsigned char* d, int* s) { return cam_grabframe(1, d, s); }},
    };
    for (const auto& c : calls) {
        errno = 0;
        int result = c.call(&byte, &size);
        int err = errno;
        EXPECT_EQ(result, -1) << c.name;
        EXPECT_EQ(err, EBADF) << c.name;
    }
    EXPECT_EQ(size, 5);
    EXPECT_EQ(cam_close(1), -1);
    ASSERT_EQ(open_slot(1), 0);
    EXPECT_EQ(cam_close(1), 0);
    EXPECT_EQ(cam_close(1), -1);
}

TEST_F(CaptureTest, ReopenReleasesTheOpenSlotFirst) {
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    grab_intact(0, 640, 480);
    ASSERT_EQ(open_slot(0, kNode, kYuyv, 320, 240), 0) << "the old descriptor still owns the queue";
    EXPECT_EQ(target::open_descriptors(), 1u);
    EXPECT_EQ(target::live_mappings(), 4u);
    EXPECT_EQ(count_fds(), fds_ + 1);
    ASSERT_EQ(cam_play(0), 0);
    grab_intact(0, 320, 240);
}

// ---- frames the driver hands back damaged or out of range ----

TEST_F(CaptureTest, ErrorFlaggedFrameIsSkippedAndRecycled) {
    SKIP_ON_DRIVER("needs a simcam error frame");
    simcam::error_frame(kNode, 2);
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    grab_run(0, 640, 480, 2, 0);
    std::vector<unsigned char> frame(capacity(0));
    int size = 99;
    int result = cam_grabframe(0, frame.data(), &size);
    int err = errno;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(size, 99);
    EXPECT_EQ(logged(VIDIOC_QBUF).back().result, 0) << "flagged buffer not requeued";
    grab_run(0, 640, 480, 5, 3);  // all four buffers still circulate
}

int foreign_index(int fd, uint32_t request, void* arg) {
    int r = ioctl_hook::forward(fd, request, arg);
    if (r == 0 && request == static_cast<uint32_t>(VIDIOC_DQBUF))
        static_cast<v4l2_buffer*>(arg)->index = 7;
    return r;
}

int oversized(int fd, uint32_t request, void* arg) {
    int r = ioctl_hook::forward(fd, request, arg);
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (r == 0 && request == static_cast<uint32_t>(VIDIOC_DQBUF)) buf->bytesused = buf->length * 2;
    return r;
}

TEST_F(CaptureTest, ForeignBufferIndexIsHandedBackUncopied) {
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    std::vector<unsigned char> frame(capacity(0), 0xEE);
    int size = 42;
    int result, err;
    ASSERT_TRUE(target::wait_frame(g_fd[0]));
    {
        ioctl_hook::Scoped hook(foreign_index);
        result = cam_grabframe(0, frame.data(), &size);
        err = errno;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(size, 42);
    EXPECT_EQ(frame[0], 0xEE);
    auto qbuf = logged(VIDIOC_QBUF);
    EXPECT_EQ(arg_of<v4l2_buffer>(qbuf.back().arg_in).index, 7u);
}

TEST_F(CaptureTest, BytesUsedBeyondBufferIsCut) {
    ASSERT_EQ(open_slot(0), 0);
    ASSERT_EQ(cam_play(0), 0);
    std::vector<unsigned char> frame(capacity(0) * 2, 0xEE);
    int size = 0;
    ASSERT_TRUE(target::wait_frame(g_fd[0]));
    {
        ioctl_hook::Scoped hook(oversized);
        ASSERT_EQ(cam_grabframe(0, frame.data(), &size), 0);
    }
    EXPECT_EQ(static_cast<uint32_t>(size), g_mem_len[0][g_buf[0].index]);
    EXPECT_EQ(frame[static_cast<size_t>(size)], 0xEE);
}

// ---- metadata of grabbed frames ----

// Through a slot's life, what cam_get_frameinfo answers after each call: the
// last good frame as the driver dequeued it (g_buf shows the buffer as the
// requeue wrote it back), nothing before the first grab of a stream.
TEST_F(CaptureTest, FrameInfoFollowsTheLastGoodGrab) {
    enum Call { Open, Play, Grab, GrabFailedRequeue, Stop, Close };
    const long kNone = -1;  // ENODATA
    const struct {
        const char* step;
        Call call;
        int result;
        long sequence;
    } steps[] = {
        {"opened", Open, 0, kNone},
        {"playing", Play, 0, kNone},
        {"frame 0", Grab, 0, 0},
        {"frame 1", Grab, 0, 1},
        {"error frame 2 skipped", Grab, -1, 1},
        {"frame 3", Grab, 0, 3},
        {"frame 4 not requeued", GrabFailedRequeue, -1, 3},
        {"stopped", Stop, 0, 3},
        {"restarted", Play, 0, kNone},
        {"new stream counts from 0", Grab, 0, 0},
        {"closed", Close, 0, kNone},
    };
    SKIP_ON_DRIVER("needs a simcam error frame and fault");
    simcam::error_frame(kNode, 2);
    std::vector<unsigned char> frame(640 * 480 * 2);
    v4l2_buffer dequeued{};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        int result = 0;
        int size = 0;
        switch (s.call) {
            case Open:
                result = open_slot(0);
                break;
            case Play:
                result = cam_play(0);
                break;
            case Stop:
                result = cam_stop(0);
                break;
            case Close:
                result = cam_close(0);
                break;
            case GrabFailedRequeue:
                simcam::fail_request(kNode, VIDIOC_QBUF, EIO);
                [[fallthrough]];
            case Grab:
                target::clear_requests();
                result = cam_grabframe(0, frame.data(), &size);
                if (result == 0) {
                    dequeued = arg_of<v4l2_buffer>(logged(VIDIOC_DQBUF).back().arg_out);
                    EXPECT_EQ(g_buf[0].sequence, 0u) << "requeued buffers carry no frame";
                }
                break;
        }
        EXPECT_EQ(result, s.result);
        CamFrameInfo info;
        memset(&info, 0xA5, sizeof info);
        errno = 0;
        const int got = cam_get_frameinfo(0, &info);
        if (s.sequence == kNone) {
            EXPECT_EQ(got, -1);
            EXPECT_EQ(errno, ENODATA);
            continue;
        }
        ASSERT_EQ(got, 0);
        EXPECT_EQ(info.sequence, static_cast<uint32_t>(s.sequence));
        EXPECT_EQ(info.sequence, dequeued.sequence);
        EXPECT_EQ(info.flags, dequeued.flags);
        EXPECT_EQ(info.bytesused, dequeued.bytesused);
        EXPECT_EQ(info.reserved, 0u);
        EXPECT_EQ(info.timestamp_sec, static_cast<int64_t>(dequeued.timestamp.tv_sec));
        EXPECT_EQ(info.timestamp_usec, static_cast<int64_t>(dequeued.timestamp.tv_usec));
        EXPECT_NE(info.timestamp_sec + info.timestamp_usec, 0);
    }
    CamFrameInfo info;
    for (int index : {-1, 2, INT_MIN}) {
        errno = 0;
        EXPECT_EQ(cam_get_frameinfo(index, &info), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(cam_get_frameinfo(0, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
