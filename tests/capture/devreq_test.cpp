// The device request layer against the simulated camera: the retry rule of
// xioctl, the bytes of the register transactions, the mapping record.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include "devreq.h"
#include "ioctl_hook.h"
#include "simcam.h"

namespace {

const char kNode[] = "/dev/video0";

std::vector<simcam::Request> logged(uint32_t request) {
    std::vector<simcam::Request> out;
    for (const simcam::Request& r : simcam::request_log())
        if (r.request == request) out.push_back(r);
    return out;
}

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> b) {
    return b;
}

class DevreqTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        fd_ = open(kNode, O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd_, 0) << strerror(errno);
        simcam::clear_log();
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
    }
    int fd_ = -1;
};

// ---- xioctl ----

struct RetryCase {
    const char* name;
    int err;
    int times;  // how many requests in a row fail
    int attempts;
    int result;
};

void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.name;
}

class XioctlRetry : public DevreqTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(XioctlRetry, AttemptsAndResult) {
    const RetryCase c = GetParam();
    const uint32_t req = VIDIOC_QUERYCAP;
    simcam::fail_request(kNode, req, c.err, c.times);
    struct v4l2_capability cap = {};
    errno = 0;
    int result = xioctl(fd_, static_cast<int>(req), &cap);
    int err = errno;
    EXPECT_EQ(result, c.result);
    if (c.result != 0) {
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(logged(req).size(), static_cast<size_t>(c.attempts));
}

INSTANTIATE_TEST_SUITE_P(Errnos, XioctlRetry,
                         ::testing::Values(RetryCase{"AlwaysEAGAIN", EAGAIN, 100, 5, -1},
                                           RetryCase{"AlwaysEINTR", EINTR, 100, 5, -1},
                                           RetryCase{"AlwaysETIMEDOUT", ETIMEDOUT, 100, 5, -1},
                                           RetryCase{"EAGAINFourTimes", EAGAIN, 4, 5, 0},
                                           RetryCase{"EINTRTwice", EINTR, 2, 3, 0},
                                           RetryCase{"EINVAL", EINVAL, 100, 1, -1},
                                           RetryCase{"EIO", EIO, 1, 1, -1},
                                           RetryCase{"EBUSY", EBUSY, 1, 1, -1},
                                           RetryCase{"ENODEV", ENODEV, 1, 1, -1},
                                           RetryCase{"EILSEQ", EILSEQ, 1, 1, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DevreqTest, BadDescriptorIsNotRetried) {
    struct v4l2_capability cap = {};
    errno = 0;
    int result = xioctl(-1, static_cast<int>(VIDIOC_QUERYCAP), &cap);
    int err = errno;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EBADF);
}

// ---- the mapping ----

TEST_F(DevreqTest, MappingRecordIsSentAsIs) {
    devreq::register_mapping(fd_);
    auto maps = logged(UVCIOC_CTRL_MAP);
    ASSERT_EQ(maps.size(), 1u);
    const std::vector<uint8_t>& in = maps[0].arg_in;
    ASSERT_EQ(in.size(), sizeof(uvc_xu_control_mapping));
    uvc_xu_control_mapping m;
    memcpy(&m, in.data(), sizeof m);
    const uint8_t guid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                              0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
    char name[sizeof m.name] = "dsp rw";
    EXPECT_EQ(m.id, 0u);
    EXPECT_EQ(memcmp(m.name, name, sizeof name), 0);
    EXPECT_EQ(memcmp(m.entity, guid, sizeof guid), 0);
    EXPECT_EQ(m.selector, 10);
    EXPECT_EQ(m.size, 8);
    EXPECT_EQ(m.offset, 0);
    EXPECT_EQ(m.v4l2_type, 1u);
    EXPECT_EQ(m.data_type, 1u);
    EXPECT_EQ(m.menu_info, nullptr);
    EXPECT_EQ(m.menu_count, 0u);
    for (uint32_t r : m.reserved) EXPECT_EQ(r, 0u);
}

TEST_F(DevreqTest, RefusedMappingIsOnePlainRequest) {
    simcam::refuse_mapping(kNode, EAGAIN);
    EXPECT_EQ(devreq::register_mapping(fd_), -1);
    EXPECT_EQ(logged(UVCIOC_CTRL_MAP).size(), 1u);
}

// ---- register transactions ----

void expect_query(const simcam::Request& r, uint8_t selector, uint8_t query,
                  const std::vector<uint8_t>& block) {
    EXPECT_EQ(r.xu_unit, 4);
    EXPECT_EQ(r.xu_selector, selector);
    EXPECT_EQ(r.xu_query, query);
    EXPECT_EQ(r.xu_in, block);  // all 8 bytes, whatever the transfer length
}

TEST_F(DevreqTest, ReadSendsLengthAndHandsBackOnlyThatMany) {
    unsigned char dest[8];
    memset(dest, 0xEE, sizeof dest);
    ASSERT_EQ(
        devreq::read_transaction(fd_, devreq::kCmdDspRead, 0x1A2, 3, dest, devreq::Retry::Once), 0);
    auto q = logged(UVCIOC_CTRL_QUERY);
    ASSERT_EQ(q.size(), 2u);
    expect_query(q[0], 10, UVC_SET_CUR, bytes({0, 0xC2, 0xA2, 0x01, 3, 0, 0, 0}));
    expect_query(q[1], 11, UVC_GET_CUR, bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(q[1].xu_out.size(), 8u);
    EXPECT_EQ(memcmp(dest, q[1].xu_out.data(), 3), 0);
    EXPECT_EQ(dest[3], 0xEE);
}

TEST_F(DevreqTest, WritePadsDataToEightBytes) {
    const unsigned char data[1] = {0x5A};
    ASSERT_EQ(devreq::write_transaction(fd_, devreq::kCmdDspWrite, 0x0010, 1, data), 0);
    auto q = logged(UVCIOC_CTRL_QUERY);
    ASSERT_EQ(q.size(), 2u);
    expect_query(q[0], 10, UVC_SET_CUR, bytes({0, 0x82, 0x10, 0x00, 1, 0, 0, 0}));
    expect_query(q[1], 11, UVC_SET_CUR, bytes({0x5A, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DevreqTest, FailedRequestPhaseSendsNoResponsePhase) {
    unsigned char dest[8] = {};
    simcam::fail_request(kNode, UVCIOC_CTRL_QUERY, EAGAIN, 100);
    EXPECT_EQ(
        devreq::read_transaction(fd_, devreq::kCmdDspRead, 0, 1, dest, devreq::Retry::Retried), -1);
    auto q = logged(UVCIOC_CTRL_QUERY);
    ASSERT_EQ(q.size(), 5u);  // the request phase retried, nothing more
    for (const auto& r : q) EXPECT_EQ(r.xu_selector, 10) << "response phase was sent";
}

TEST_F(DevreqTest, LengthOutsideBlockSendsNothing) {
    unsigned char buf[16] = {};
    EXPECT_EQ(devreq::read_transaction(fd_, devreq::kCmdDspRead, 0, 9, buf, devreq::Retry::Once),
              -1);
    int result = devreq::write_transaction(fd_, devreq::kCmdDspWrite, 0, -1, buf);
    int err = errno;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_TRUE(logged(UVCIOC_CTRL_QUERY).empty());
}

// The response phase of a read is sent once or retried, as the caller says:
// the first answer on selector 11 is a busy device.
int g_busy_answers = 0;
int g_response_attempts = 0;
int busy_response(int fd, uint32_t request, void* arg) {
    if (request == static_cast<uint32_t>(UVCIOC_CTRL_QUERY) &&
        static_cast<uvc_xu_control_query*>(arg)->selector == devreq::kSelResponse) {
        ++g_response_attempts;
        if (g_busy_answers > 0) {
            --g_busy_answers;
            errno = EAGAIN;
            return -1;
        }
    }
    return ioctl_hook::forward(fd, request, arg);
}

TEST_F(DevreqTest, ResponsePhaseRetryIsTheCallersChoice) {
    const struct {
        devreq::Retry retry;
        int result;
        int attempts;
    } cases[] = {{devreq::Retry::Once, -1, 1}, {devreq::Retry::Retried, 0, 2}};
    for (const auto& c : cases) {
        g_busy_answers = 1;
        g_response_attempts = 0;
        unsigned char dest[2] = {};
        ioctl_hook::Scoped hook(busy_response);
        EXPECT_EQ(devreq::read_transaction(fd_, devreq::kCmdSensorRead, 0x308, 2, dest, c.retry),
                  c.result);
        EXPECT_EQ(g_response_attempts, c.attempts);
    }
}

}  // namespace
