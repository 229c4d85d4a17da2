// Controls and register access on an open slot: what goes on the wire,
// which phase is retried, and what the caller gets back when a request fails.
// The cases that need no simcam fault or register access also run on the
// real driver (target.h; the kernel stage).
#include <errno.h>
#include <string.h>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"
#include "target.h"

namespace {

const char kNode[] = "/dev/video0";
constexpr uint32_t kQuery = static_cast<uint32_t>(UVCIOC_CTRL_QUERY);
using Bytes = std::vector<uint8_t>;

std::vector<simcam::Request> xu_log() {
    std::vector<simcam::Request> out;
    for (const simcam::Request& r : target::requests())
        if (r.request == kQuery) out.push_back(r);
    return out;
}

class ControlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simcam::Camera c = simcam::default_camera();
        c.meta_node.clear();
        c.paced = false;
        target::use(c);
        ASSERT_EQ(cam_open(0, kNode, V4L2_PIX_FMT_YUYV, 640, 480, 30, 1), 0);
        target::clear_requests();
    }
    void TearDown() override {
        cam_close(0);
        cam_close(1);
    }
};

// ---- Refused calls send nothing and leave the caller's output alone ----

TEST_F(ControlsTest, RefusedCallsSendNothing) {
    unsigned char buf[8] = {0xEE, 0xEE};
    unsigned short word = 0xEEEE;
    unsigned int value = 0xEEEEEEEE;
    __videoCtrl ctrl;
    memset(&ctrl, 0xEE, sizeof ctrl);
    for (int slot : {1, 2, -1}) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(cam_control_query(slot, V4L2_CID_BRIGHTNESS, &ctrl), -1);
        EXPECT_EQ(cam_control_set(slot, V4L2_CID_BRIGHTNESS, 1), -1);
        EXPECT_EQ(cam_control_get(slot, V4L2_CID_BRIGHTNESS, &value), -1);
        EXPECT_EQ(cam_dsp_read_buf(slot, 0, buf, 2), -1);
        EXPECT_EQ(cam_dsp_read(slot, 0, buf), -1);
        EXPECT_EQ(cam_dsp_write_buf(slot, 0, buf, 2), -1);
        EXPECT_EQ(cam_dsp_write(slot, 0, 1), -1);
        EXPECT_EQ(cam_sensor_read16(slot, 0, &word), -1);
        EXPECT_EQ(cam_sensor_write16(slot, 0, 1), -1);
        EXPECT_EQ(cam_sensor_write8(slot, 0, 1), -1);
    }
    // Lengths outside 0..8 on an open slot.
    for (int len : {9, -1, 1000}) {
        EXPECT_EQ(cam_dsp_read_buf(0, 0, buf, len), -1);
        EXPECT_EQ(cam_dsp_write_buf(0, 0, buf, len), -1);
    }
    EXPECT_TRUE(target::requests().empty());
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(word, 0xEEEE);
    EXPECT_EQ(value, 0xEEEEEEEEu);
    EXPECT_EQ(ctrl.minimum, static_cast<int32_t>(0xEEEEEEEE));

    // The 8-bit sensor read stores 0 even when refused.
    unsigned char byte = 0xEE;
    EXPECT_EQ(cam_sensor_read8(1, 0, &byte), -1);
    EXPECT_EQ(byte, 0);
}

// ---- The two phases on the wire ----

struct Wire {
    const char* name;
    std::function<int()> call;
    Bytes request;   // block sent on selector 10
    uint8_t query;   // query code of the response phase
    Bytes response;  // block sent on selector 11
};

TEST_F(ControlsTest, RegisterTransactionsOnTheWire) {
    static unsigned char rx[8];
    static unsigned char tx[3] = {0x11, 0x22, 0x33};
    static unsigned short word;
    const Bytes zero(8, 0);
    const Wire cases[] = {
        {"dsp_read",
         [] { return cam_dsp_read(0, 0x1A2, rx); },
         {0, 0xC2, 0xA2, 0x01, 1, 0, 0, 0},
         UVC_GET_CUR,
         zero},
        {"dsp_read_buf 8",
         [] { return cam_dsp_read_buf(0, 0x10, rx, 8); },
         {0, 0xC2, 0x10, 0, 8, 0, 0, 0},
         UVC_GET_CUR,
         zero},
        {"dsp_read_buf 0",
         [] { return cam_dsp_read_buf(0, 0x10, rx, 0); },
         {0, 0xC2, 0x10, 0, 0, 0, 0, 0},
         UVC_GET_CUR,
         zero},
        {"dsp_write_buf",
         [] { return cam_dsp_write_buf(0, 0x20, tx, 3); },
         {0, 0x82, 0x20, 0, 3, 0, 0, 0},
         UVC_SET_CUR,
         {0x11, 0x22, 0x33, 0, 0, 0, 0, 0}},
        {"dsp_write",
         [] { return cam_dsp_write(0, 0x21, 0x5A); },
         {0, 0x82, 0x21, 0, 1, 0, 0, 0},
         UVC_SET_CUR,
         {0x5A, 0, 0, 0, 0, 0, 0, 0}},
        {"sensor_read16",
         [] { return cam_sensor_read16(0, 0x3000, &word); },
         {0, 0xCA, 0x00, 0x30, 2, 0, 0, 0},
         UVC_GET_CUR,
         zero},
        {"sensor_write16",
         [] { return cam_sensor_write16(0, 0x308, 0x82); },
         {0, 0x8A, 0x08, 0x03, 2, 0, 0, 0},
         UVC_SET_CUR,
         {0x00, 0x82, 0, 0, 0, 0, 0, 0}},
        {"sensor_write8",
         [] { return cam_sensor_write8(0, 0x308, 0x40); },
         {0, 0x8A, 0x08, 0x03, 2, 0, 0, 0},
         UVC_SET_CUR,
         {0x40, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Wire& c : cases) {
        SCOPED_TRACE(c.name);
        target::clear_requests();
        ASSERT_EQ(c.call(), 0) << strerror(errno);
        std::vector<simcam::Request> log = xu_log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].xu_unit, 4);
        EXPECT_EQ(log[0].xu_selector, 10);
        EXPECT_EQ(log[0].xu_query, UVC_SET_CUR);
        EXPECT_EQ(log[0].xu_in, c.request);
        EXPECT_EQ(log[1].xu_unit, 4);
        EXPECT_EQ(log[1].xu_selector, 11);
        EXPECT_EQ(log[1].xu_query, c.query);
        EXPECT_EQ(log[1].xu_in, c.response);
    }
}

TEST_F(ControlsTest, RegisterValuesReachTheCamera) {
    SKIP_ON_DRIVER("reads and writes simcam's registers in process");
    unsigned char bytes[4] = {1, 2, 3, 4};
    ASSERT_EQ(cam_dsp_write_buf(0, 0x4000, bytes, 4), 0);
    EXPECT_EQ(simcam::dsp_peek(kNode, 0x4003), 4);
    simcam::dsp_poke(kNode, 0x4001, 0x99);
    unsigned char back[4] = {};
    ASSERT_EQ(cam_dsp_read_buf(0, 0x4000, back, 3), 0);
    EXPECT_EQ(Bytes(back, back + 4), (Bytes{1, 0x99, 3, 0}));

    simcam::sensor_poke(kNode, 0x3107, 0x0102);
    unsigned short word = 0;
    unsigned char byte = 0;
    ASSERT_EQ(cam_sensor_read16(0, 0x3107, &word), 0);
    ASSERT_EQ(cam_sensor_read8(0, 0x3107, &byte), 0);
    EXPECT_EQ(word, 0x102);
    EXPECT_EQ(byte, 0x01);
    ASSERT_EQ(cam_sensor_write8(0, 0x3108, 0x40), 0);
    EXPECT_EQ(simcam::sensor_peek(kNode, 0x3108), 0x4000);
}

// ---- Which phase is retried ----

// Queries sent on the response selector, failed ones included.
int response_attempts() {
    int n = 0;
    for (const simcam::Request& r : xu_log()) n += r.xu_selector == 11;
    return n;
}

TEST_F(ControlsTest, DspReadAsksForItsReplyOnceOthersRetry) {
    SKIP_ON_DRIVER("needs a simcam fault");
    unsigned char data[2] = {0xEE, 0xEE};
    unsigned short word = 0xEEEE;
    struct Case {
        const char* name;
        std::function<int()> call;
        int result, attempts;
    } cases[] = {
        {"dsp_read", [&] { return cam_dsp_read_buf(0, 0, data, 2); }, -1, 1},
        {"dsp_write", [&] { return cam_dsp_write_buf(0, 0, data, 2); }, 0, 2},
        {"sensor_read16", [&] { return cam_sensor_read16(0, 0, &word); }, 0, 2},
        {"sensor_write16", [&] { return cam_sensor_write16(0, 0, 7); }, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        simcam::clear_log();
        simcam::fail_xu(kNode, 11, EAGAIN, 1);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(response_attempts(), c.attempts);
    }
    EXPECT_EQ(data[0], 0xEE);  // the failed read handed nothing back

    // The request phase goes through the retry: four busy answers are
    // absorbed, a fifth ends the transaction before any reply is asked for.
    simcam::fail_request(kNode, kQuery, EAGAIN, 4);
    EXPECT_EQ(cam_dsp_read_buf(0, 0, data, 2), 0);
    simcam::clear_log();
    simcam::fail_request(kNode, kQuery, EAGAIN, 5);
    EXPECT_EQ(cam_dsp_read_buf(0, 0, data, 2), -1);
    EXPECT_EQ(errno, EAGAIN);
    for (const simcam::Request& r : xu_log()) EXPECT_EQ(r.xu_selector, 10);
}

// ---- Failures hand nothing back ----

TEST_F(ControlsTest, FailedRequestsLeaveOutputsUntouched) {
    unsigned char data[2] = {0xEE, 0xEE};
    unsigned short word = 0xEEEE;
    unsigned char byte = 0xEE;
    // On the driver the USB camera stalls every register request.
    if (target::on_driver()) {
        ASSERT_TRUE(target::stall_registers(true)) << "no control FIFO (SIMCAM_USBIP_CONTROL)";
    } else {
        simcam::stall_xu(kNode, 11, 3);
    }
    EXPECT_LT(cam_dsp_read_buf(0, 0, data, 2), 0);
    EXPECT_EQ(errno, EILSEQ);
    EXPECT_LT(cam_sensor_read16(0, 0, &word), 0);
    EXPECT_LT(cam_sensor_read8(0, 0, &byte), 0);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(word, 0xEEEE);
    EXPECT_EQ(byte, 0);  // stored whatever the outcome
    if (target::on_driver()) {
        ASSERT_TRUE(target::stall_registers(false));
    }

    unsigned int value = 0xEEEEEEEE;
    __videoCtrl ctrl;
    memset(&ctrl, 0xEE, sizeof ctrl);
    EXPECT_EQ(cam_control_get(0, 0x00980FFF, &value), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cam_control_query(0, 0x00980FFF, &ctrl), -1);
    EXPECT_EQ(value, 0xEEEEEEEEu);
    EXPECT_EQ(ctrl.step, static_cast<int32_t>(0xEEEEEEEE));
}

// ---- V4L2 controls ----

TEST_F(ControlsTest, ControlsQuerySetGet) {
    __videoCtrl ctrl;
    ASSERT_EQ(cam_control_query(0, V4L2_CID_BRIGHTNESS, &ctrl), 0);
    v4l2_queryctrl q;
    memset(&q, 0, sizeof q);
    q.id = V4L2_CID_BRIGHTNESS;
    ASSERT_EQ(xioctl(g_fd[0], VIDIOC_QUERYCTRL, &q), 0);
    EXPECT_EQ(ctrl.minimum, q.minimum);
    EXPECT_EQ(ctrl.maximum, q.maximum);
    EXPECT_EQ(ctrl.default_value, q.default_value);
    EXPECT_EQ(ctrl.step, q.step);
    EXPECT_EQ(ctrl.flags, q.flags);

    const unsigned int wanted = static_cast<unsigned int>(ctrl.minimum + ctrl.step);
    ASSERT_EQ(cam_control_set(0, V4L2_CID_BRIGHTNESS, wanted), 0);
    unsigned int value = 0;
    ASSERT_EQ(cam_control_get(0, V4L2_CID_BRIGHTNESS, &value), 0);
    EXPECT_EQ(value, wanted);
    if (!target::on_driver()) {
        EXPECT_EQ(simcam::control_value(kNode, V4L2_CID_BRIGHTNESS), static_cast<int32_t>(wanted));
    }

    // Signed controls travel as unsigned ints and come back the same; the
    // driver clamps a value below the range to its minimum.
    ASSERT_EQ(cam_control_set(0, V4L2_CID_BRIGHTNESS, static_cast<unsigned>(ctrl.minimum - 1)), 0);
    ASSERT_EQ(cam_control_get(0, V4L2_CID_BRIGHTNESS, &value), 0);
    EXPECT_EQ(value, static_cast<unsigned>(ctrl.minimum));
}

// ---- A slot opened for controls only, beside a slot that streams ----

// The driver lets a second handle adjust the camera while the first one
// streams, as long as it asks for no format and no buffers.
TEST_F(ControlsTest, ControlOnlySlotBesideAStream) {
    ASSERT_EQ(cam_play(0), 0);
    target::clear_requests();
    ASSERT_EQ(cam_open_control(1, kNode), 0) << strerror(errno);
    std::vector<uint32_t> sent;
    for (const simcam::Request& r : target::requests()) sent.push_back(r.request);
    EXPECT_EQ(sent, (std::vector<uint32_t>{VIDIOC_QUERYCAP, UVCIOC_CTRL_MAP}));
    EXPECT_EQ(g_mem_len[1][0], 0u);
    EXPECT_EQ(g_mem[1][0], nullptr);

    static unsigned char byte;
    static unsigned short word;
    static unsigned int value;
    static __videoCtrl ctrl;
    static std::vector<unsigned char> frame(640 * 480 * 2);
    static int size = 77;
    const struct {
        const char* name;
        std::function<int()> call;
        int err;  // 0: succeeds
    } cases[] = {
        {"control_query", [] { return cam_control_query(1, V4L2_CID_BRIGHTNESS, &ctrl); }, 0},
        {"control_set", [] { return cam_control_set(1, V4L2_CID_BRIGHTNESS, 5); }, 0},
        {"control_get", [] { return cam_control_get(1, V4L2_CID_BRIGHTNESS, &value); }, 0},
        {"dsp_write", [] { return cam_dsp_write(1, 0x20, 0x5A); }, 0},
        {"dsp_read", [] { return cam_dsp_read(1, 0x20, &byte); }, 0},
        {"sensor_write", [] { return cam_sensor_write16(1, 0x3108, 0x1234); }, 0},
        {"sensor_read", [] { return cam_sensor_read16(1, 0x3108, &word); }, 0},
        {"play", [] { return cam_play(1); }, EBUSY},
        {"stop", [] { return cam_stop(1); }, EBUSY},
        {"grab", [] { return cam_grabframe(1, frame.data(), &size); }, EBUSY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        int result = c.call();
        if (c.err == 0) {
            EXPECT_EQ(result, 0) << strerror(errno);
        } else {
            EXPECT_LT(result, 0);
            EXPECT_EQ(errno, c.err) << strerror(errno);
        }
    }
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(size, 77);

    // The streaming slot sees the control changed and still gets frames.
    unsigned int seen = 0;
    ASSERT_EQ(cam_control_get(0, V4L2_CID_BRIGHTNESS, &seen), 0);
    EXPECT_EQ(seen, 5u);
    ASSERT_TRUE(target::wait_frame(g_fd[0]));
    EXPECT_EQ(cam_grabframe(0, frame.data(), &size), 0) << strerror(errno);
    EXPECT_EQ(size, 640 * 480 * 2);

    EXPECT_EQ(cam_close(1), 0);
    EXPECT_EQ(g_fd[1], -1);
    EXPECT_EQ(cam_control_get(1, V4L2_CID_BRIGHTNESS, &seen), -1);
    // Once the stream's owner is gone, the slot opens for capture again.
    cam_close(0);
    EXPECT_EQ(cam_open(1, kNode, V4L2_PIX_FMT_YUYV, 640, 480, 30, 1), 0);
}

}  // namespace
