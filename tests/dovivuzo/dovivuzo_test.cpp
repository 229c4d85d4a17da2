// The zoom-control library against the simulated camera: open and close
// state, the bytes of both transaction phases, length limits and which
// phases are retried. The cases that need no simcam fault also run on the
// real driver (CAMKIT_TEST_ON_DRIVER=1, target.h; the i686 kernel stage, where
// every request takes the 64-bit kernel's compat path).
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dovivuzo.h"
#include "simcam.h"
#include "target.h"

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kSelRequest = 10, kSelResponse = 11;

// Runs before any other test: the state at load.
TEST(DovivuzoAtLoad, ClosedBeforeFirstOpen) {
    target::use(simcam::default_camera());
    EXPECT_EQ(g_fd, -1);
    unsigned char buf[8] = {};
    EXPECT_EQ(dovivuzo_dsp_read_buf(0x10, buf, 1), -1);
    EXPECT_EQ(dovivuzo_dsp_write_buf(0x10, buf, 1), -1);
    EXPECT_EQ(dovivuzo_close(), -1);
    EXPECT_TRUE(target::requests().empty());
}

class Dovivuzo : public ::testing::Test {
  protected:
    void SetUp() override { target::use(simcam::default_camera()); }
    void TearDown() override { dovivuzo_close(); }

    void open_camera() {
        ASSERT_EQ(dovivuzo_open(node_.c_str()), 0);
        target::clear_requests();
    }

    // Register contents set up and read back: in process on simcam, through
    // the library itself on the driver (the log is emptied after a setup).
    void poke(uint16_t addr, const Bytes& data) {
        if (!target::on_driver()) {
            for (size_t i = 0; i < data.size(); ++i) simcam::dsp_poke(node_, addr + i, data[i]);
            return;
        }
        Bytes copy = data;
        ASSERT_EQ(dovivuzo_dsp_write_buf(addr, copy.data(), int(copy.size())), 0);
        target::clear_requests();
    }
    uint8_t peek(uint16_t addr) {
        if (!target::on_driver()) return simcam::dsp_peek(node_, addr);
        unsigned char b = 0xEE;
        EXPECT_EQ(dovivuzo_dsp_read_buf(addr, &b, 1), 0);
        return b;
    }

    // The extension-unit queries the camera received, oldest first.
    static std::vector<simcam::Request> queries() {
        std::vector<simcam::Request> out;
        for (auto& r : target::requests())
            if (r.request == static_cast<uint32_t>(UVCIOC_CTRL_QUERY)) out.push_back(r);
        return out;
    }

    // Queries sent on one selector, failed ones included.
    static int attempts(uint8_t selector) {
        int n = 0;
        for (const simcam::Request& r : queries()) n += r.xu_selector == selector;
        return n;
    }

    static void expect_query(const simcam::Request& r, uint8_t selector, uint8_t query,
                             const Bytes& data_in) {
        EXPECT_EQ(r.xu_unit, 4);
        EXPECT_EQ(r.xu_selector, selector);
        EXPECT_EQ(r.xu_query, query);
        uvc_xu_control_query q{};
        ASSERT_EQ(r.arg_in.size(), sizeof q);
        memcpy(&q, r.arg_in.data(), sizeof q);
        EXPECT_EQ(q.size, 8);
        EXPECT_EQ(r.xu_in, data_in);
    }

    const std::string node_ = simcam::default_camera().node;
};

TEST_F(Dovivuzo, OpenFailureIsReportedOnStdoutAndLeavesTheLibraryClosed) {
    open_camera();
    testing::internal::CaptureStdout();
    errno = 0;
    int rc = dovivuzo_open("/nonexistent/video0");
    int err = errno;
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(out, "opening V4L2 interface error.\n");
    EXPECT_EQ(g_fd, -1);
    // The device open before was closed, not abandoned.
    EXPECT_EQ(target::open_descriptors(), 0u);
    EXPECT_EQ(dovivuzo_close(), -1);
}

TEST_F(Dovivuzo, OpenSucceedsWhateverTheMappingRegistrationGives) {
    SKIP_ON_DRIVER("needs a simcam fault");
    // EAGAIN too: the registration is one plain ioctl, never retried.
    for (int err : {0, EEXIST, ENOENT, EAGAIN}) {
        SCOPED_TRACE(err);
        simcam::refuse_mapping(node_, err);
        simcam::clear_log();
        testing::internal::CaptureStdout();
        EXPECT_EQ(dovivuzo_open(node_.c_str()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_GE(g_fd, 0);

        // Nothing but the registration follows the open.
        auto log = simcam::request_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].request, static_cast<uint32_t>(UVCIOC_CTRL_MAP));
        EXPECT_EQ(log[0].fd, g_fd);
        EXPECT_EQ(log[0].result, err ? -1 : 0);
        // Each open closed the descriptor of the one before.
        EXPECT_EQ(simcam::open_descriptors(), 1u);
    }
    simcam::refuse_mapping(node_, 0);
    unsigned char buf[1];
    EXPECT_EQ(dovivuzo_dsp_read_buf(0x20, buf, 1), 0);
}

TEST_F(Dovivuzo, CloseTwice) {
    open_camera();
    EXPECT_EQ(dovivuzo_close(), 0);
    EXPECT_EQ(g_fd, -1);
    EXPECT_EQ(target::open_descriptors(), 0u);
    EXPECT_EQ(dovivuzo_close(), -1);

    unsigned char buf[2] = {1, 2};
    EXPECT_EQ(dovivuzo_dsp_read_buf(0x20, buf, 2), -1);
    EXPECT_EQ(dovivuzo_dsp_write_buf(0x20, buf, 2), -1);
    EXPECT_TRUE(target::requests().empty());
}

TEST_F(Dovivuzo, ReadSendsRequestBlockThenTakesTheReply) {
    open_camera();
    poke(0x1A2, {0xAB, 0xCD, 0xEF, 0x77});
    unsigned char dst[8];
    memset(dst, 0x5A, sizeof dst);

    testing::internal::CaptureStdout();
    EXPECT_EQ(dovivuzo_dsp_read_buf(0x1A2, dst, 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(Bytes(dst, dst + 8), (Bytes{0xAB, 0xCD, 0xEF, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
    auto q = queries();
    ASSERT_EQ(q.size(), 2u);
    expect_query(q[0], kSelRequest, UVC_SET_CUR, {0x00, 0xC2, 0xA2, 0x01, 0x03, 0, 0, 0});
    expect_query(q[1], kSelResponse, UVC_GET_CUR, Bytes(8, 0));
    EXPECT_EQ(q[0].fd, g_fd);
    EXPECT_EQ(q[1].fd, g_fd);
}

TEST_F(Dovivuzo, WriteSendsRequestBlockThenZeroPaddedData) {
    open_camera();
    poke(0x1A5, {0x44});
    unsigned char src[] = {0x11, 0x22, 0x33};
    EXPECT_EQ(dovivuzo_dsp_write_buf(0x1A2, src, 3), 0);

    auto q = queries();
    ASSERT_EQ(q.size(), 2u);
    expect_query(q[0], kSelRequest, UVC_SET_CUR, {0x00, 0x82, 0xA2, 0x01, 0x03, 0, 0, 0});
    expect_query(q[1], kSelResponse, UVC_SET_CUR, {0x11, 0x22, 0x33, 0, 0, 0, 0, 0});
    EXPECT_EQ(peek(0x1A2), 0x11);
    EXPECT_EQ(peek(0x1A4), 0x33);
    EXPECT_EQ(peek(0x1A5), 0x44);
}

TEST_F(Dovivuzo, LengthLimits) {
    struct Case {
        int len;
        int rc;  // sent means both phases went out
    } cases[] = {{9, -1}, {-1, -1}, {INT_MIN, -1}, {8, 0}, {0, 0}};
    const uint16_t addr = 0x40;
    for (bool write : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(write ? "write " : "read ") + std::to_string(c.len));
            open_camera();
            poke(addr, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});
            poke(addr + 8, {0xA8});
            unsigned char buf[9], before[9];
            for (int i = 0; i < 9; ++i) buf[i] = before[i] = 0x10 + i;

            int rc = write ? dovivuzo_dsp_write_buf(addr, buf, c.len)
                           : dovivuzo_dsp_read_buf(addr, buf, c.len);
            EXPECT_EQ(rc, c.rc);
            auto q = queries();
            if (c.rc != 0) {
                EXPECT_TRUE(q.empty());
                EXPECT_EQ(Bytes(buf, buf + 9), Bytes(before, before + 9));
                continue;
            }
            ASSERT_EQ(q.size(), 2u);
            ASSERT_EQ(q[0].xu_in.size(), 8u);
            EXPECT_EQ(q[0].xu_in[4], c.len);
            for (int i = 0; i < 9; ++i) {
                bool moved = i < c.len;
                if (write) {
                    EXPECT_EQ(peek(addr + i), moved ? before[i] : 0xA0 + i) << i;
                } else {
                    EXPECT_EQ(buf[i], moved ? 0xA0 + i : before[i]) << i;
                }
            }
        }
    }
}

// Which phase a fault hits and whether the library sends it again.
TEST_F(Dovivuzo, OnlyTheReadResponsePhaseIsNotRetried) {
    SKIP_ON_DRIVER("needs a simcam fault");
    struct Case {
        const char* what;
        bool write;
        uint8_t selector;
        int err;
        int rc, attempts_request, attempts_response;
    } cases[] = {
        {"read request phase retried", false, kSelRequest, EAGAIN, 0, 2, 1},
        {"read response phase sent once", false, kSelResponse, EAGAIN, -1, 1, 1},
        {"read stops after a failed request", false, kSelRequest, EINVAL, -1, 1, 0},
        {"write response phase retried", true, kSelResponse, EINTR, 0, 1, 2},
        {"write stops after a failed request", true, kSelRequest, EINVAL, -1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        open_camera();
        simcam::dsp_poke(node_, 0x30, 0x99);
        unsigned char buf[2] = {0x5A, 0x5B};
        simcam::fail_xu(node_, c.selector, c.err, 1);

        errno = 0;
        int rc =
            c.write ? dovivuzo_dsp_write_buf(0x30, buf, 1) : dovivuzo_dsp_read_buf(0x30, buf, 1);
        int err = errno;
        EXPECT_EQ(rc, c.rc);
        if (rc != 0) {
            EXPECT_EQ(err, c.err);
        }
        EXPECT_EQ(attempts(kSelRequest), c.attempts_request);
        EXPECT_EQ(attempts(kSelResponse), c.attempts_response);
        if (!c.write) {
            EXPECT_EQ(buf[0], rc == 0 ? 0x99 : 0x5A);
        }
        EXPECT_EQ(buf[1], 0x5B);
        EXPECT_GE(g_fd, 0);  // a failed request leaves the device open
    }
}

TEST_F(Dovivuzo, ReadStalledByTheCameraLeavesTheDestination) {
    SKIP_ON_DRIVER("needs a stall of the response phase alone");
    open_camera();
    simcam::stall_xu(node_, kSelResponse);
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(dovivuzo_dsp_read_buf(0x30, buf, 4), -1);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(queries().size(), 2u);
}

}  // namespace
