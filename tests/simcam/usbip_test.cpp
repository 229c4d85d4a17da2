// The camera as a USB device: a small USB/IP host on a socket pair talks to
// usbip_serve as vhci_hcd and uvcvideo would.
#include <gtest/gtest.h>
#include <linux/usb/video.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

#include "helpers.h"

namespace {

uint32_t be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put_be(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
uint32_t le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n; i-- > 0;) v = v << 8 | p[i];
    return v;
}

struct Reply {
    uint32_t cmd = 0, seqnum = 0;
    int status = 0;
    uint32_t actual = 0;  // actual_length
    std::vector<uint8_t> data;
};

struct Host {
    int sv[2] = {-1, -1}, ctl[2] = {-1, -1}, stop[2] = {-1, -1};
    std::thread server;
    int served = -100;
    uint32_t seq = 0;

    Host() {
        simcam::reset();
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        EXPECT_EQ(pipe(ctl), 0);
        EXPECT_EQ(pipe(stop), 0);
        server = std::thread(
            [this] { served = simcam::usbip_serve(sv[1], "/dev/video0", ctl[0], stop[0]); });
    }
    ~Host() {
        if (server.joinable()) {
            EXPECT_EQ(write(stop[1], "x", 1), 1);
            server.join();
        }
        for (int fd : {sv[0], sv[1], ctl[0], ctl[1], stop[0], stop[1]}) close(fd);
    }
    void command(const char* line) {
        std::string l = std::string(line) + "\n";
        ASSERT_EQ(write(ctl[1], l.data(), l.size()), ssize_t(l.size()));
    }
    uint32_t submit(uint32_t ep, bool in, const uint8_t* setup, const std::vector<uint8_t>& out,
                    uint32_t length) {
        uint8_t h[48] = {};
        put_be(h, 1);
        put_be(h + 4, ++seq);
        put_be(h + 8, 0x10002);
        put_be(h + 12, in ? 1 : 0);
        put_be(h + 16, ep);
        put_be(h + 24, in ? length : uint32_t(out.size()));
        if (setup) memcpy(h + 40, setup, 8);
        EXPECT_EQ(write(sv[0], h, 48), 48);
        if (!out.empty()) {
            EXPECT_EQ(write(sv[0], out.data(), out.size()), ssize_t(out.size()));
        }
        return seq;
    }
    void unlink(uint32_t victim) {
        uint8_t h[48] = {};
        put_be(h, 2);
        put_be(h + 4, ++seq);
        put_be(h + 20, victim);
        EXPECT_EQ(write(sv[0], h, 48), 48);
    }
    bool read_all(void* p, size_t n, int timeout_ms) {
        auto* b = static_cast<uint8_t*>(p);
        while (n) {
            pollfd pf{sv[0], POLLIN, 0};
            if (poll(&pf, 1, timeout_ms) <= 0) return false;
            ssize_t r = read(sv[0], b, n);
            if (r <= 0) return false;
            b += r;
            n -= size_t(r);
        }
        return true;
    }
    // The next reply; cmd 0 when none came in time.
    // An OUT transfer's reply carries no data, only the length taken.
    Reply reply(int timeout_ms = 2000, bool in = true) {
        Reply r;
        uint8_t h[48];
        if (!read_all(h, 48, timeout_ms)) return r;
        r.cmd = be(h);
        r.seqnum = be(h + 4);
        r.status = int(be(h + 20));
        r.actual = be(h + 24);
        uint32_t len = r.cmd == 3 && in ? r.actual : 0;
        r.data.resize(len);
        if (len && !read_all(r.data.data(), len, timeout_ms)) r.cmd = 0;
        return r;
    }
    Reply control(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length,
                  const std::vector<uint8_t>& out = {}) {
        uint8_t setup[8] = {type,
                            req,
                            uint8_t(value),
                            uint8_t(value >> 8),
                            uint8_t(index),
                            uint8_t(index >> 8),
                            uint8_t(length),
                            uint8_t(length >> 8)};
        submit(0, type & 0x80, setup, out, length);
        return reply(2000, type & 0x80);
    }
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t length = 4096) {
        return control(0x80, 6, uint16_t(type << 8 | index), 0, length).data;
    }
};

TEST(UsbipTest, DescriptorsDescribeTheCamera) {
    Host h;
    std::vector<uint8_t> dev = h.descriptor(1, 0, 18);
    ASSERT_EQ(dev.size(), 18u);
    EXPECT_EQ(le(&dev[2], 2), 0x0200u);
    EXPECT_EQ(le(&dev[8], 2), 0x5ca1u);
    EXPECT_EQ(le(&dev[10], 2), 0xab1eu);
    std::vector<uint8_t> product = h.descriptor(3, dev[15]);
    std::string name;
    for (size_t i = 2; i + 1 < product.size(); i += 2) name += char(product[i]);
    EXPECT_EQ(name, "SimCam Module");

    std::vector<uint8_t> head = h.descriptor(2, 0, 9);
    ASSERT_EQ(head.size(), 9u);
    std::vector<uint8_t> cfg = h.descriptor(2, 0, uint16_t(le(&head[2], 2)));
    ASSERT_EQ(cfg.size(), le(&head[2], 2));
    // Walk the tree: every length in range, class-specific totals right, the
    // extension unit's GUID, and each format's sizes and intervals.
    static const uint8_t guid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                                     0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
    std::map<std::pair<int, uint32_t>, std::vector<uint32_t>> frames;
    int fmt = -1, fourcc_index = -1, intf = -1;
    bool xu = false, bulk = false;
    size_t vc_start = 0, vc_total = 0, vs_start = 0, vs_total = 0;
    for (size_t i = 0; i < cfg.size();) {
        const uint8_t* d = &cfg[i];
        ASSERT_GE(d[0], 2);
        ASSERT_LE(i + d[0], cfg.size());
        if (d[1] == 4) intf = d[2];
        bool vc = d[1] == 0x24 && intf == 0, vs = d[1] == 0x24 && intf == 1;
        if (vc && d[2] == UVC_VC_HEADER) vc_start = i, vc_total = le(d + 5, 2);
        if (vs && d[2] == UVC_VS_INPUT_HEADER) vs_start = i, vs_total = le(d + 4, 2);
        if (vc && d[2] == UVC_VC_EXTENSION_UNIT && d[0] >= 24) {
            xu = d[3] == 4 && memcmp(d + 4, guid, 16) == 0 && d[20] == 2 && le(d + 24, 2) == 0x600;
        }
        if (vs && (d[2] == UVC_VS_FORMAT_MJPEG || d[2] == UVC_VS_FORMAT_UNCOMPRESSED)) {
            fmt = d[2];
            ++fourcc_index;
        }
        if (vs && (d[2] == UVC_VS_FRAME_MJPEG || d[2] == UVC_VS_FRAME_UNCOMPRESSED)) {
            EXPECT_EQ(d[2], fmt + 1);
            EXPECT_EQ(d[0], 26 + 4 * d[25]);
            std::vector<uint32_t> iv;
            for (int k = 0; k < d[25]; ++k) iv.push_back(le(d + 26 + 4 * k, 4));
            frames[{fourcc_index, le(d + 5, 2) << 16 | le(d + 7, 2)}] = iv;
        }
        if (d[1] == 5) bulk = d[2] == 0x81 && d[3] == 2 && le(d + 4, 2) == 512;
        i += d[0];
    }
    EXPECT_TRUE(xu);
    EXPECT_TRUE(bulk);
    // The VideoControl total runs up to the streaming interface descriptor.
    EXPECT_EQ(vc_start + vc_total + 9, vs_start);
    EXPECT_EQ(vs_start + vs_total + 7, cfg.size());
    std::vector<simcam::Camera> cams = simcam::cameras();
    size_t expected = 0;
    for (size_t f = 0; f < cams[0].formats.size(); ++f) {
        for (const simcam::FrameSize& fs : cams[0].formats[f].sizes) {
            ++expected;
            auto it = frames.find({int(f), fs.width << 16 | fs.height});
            ASSERT_NE(it, frames.end()) << fs.width << "x" << fs.height;
            ASSERT_EQ(it->second.size(), fs.intervals.size());
            for (size_t k = 0; k < fs.intervals.size(); ++k)
                EXPECT_EQ(it->second[k],
                          fs.intervals[k].numerator * 10000000u / fs.intervals[k].denominator);
        }
    }
    EXPECT_EQ(frames.size(), expected);
    EXPECT_TRUE(h.descriptor(4, 0).empty());  // no such descriptor: a stall
}

// Class requests on the units, answered from simcam's control and register
// state; each row runs in order on one device.
TEST(UsbipTest, ClassRequestsReachControlsAndRegisters) {
    Host h;
    struct Row {
        uint8_t req, entity, selector;
        std::vector<uint8_t> out;  // SET_CUR data
        uint16_t length;
        int status;
        std::vector<uint8_t> expect;  // GET data
    };
    const uint8_t G = UVC_GET_CUR, S = UVC_SET_CUR;
    const Row rows[] = {
        {UVC_GET_MIN, 2, UVC_PU_BRIGHTNESS_CONTROL, {}, 2, 0, {0xC0, 0xFF}},
        {UVC_GET_MAX, 2, UVC_PU_BRIGHTNESS_CONTROL, {}, 2, 0, {64, 0}},
        {UVC_GET_DEF, 2, UVC_PU_CONTRAST_CONTROL, {}, 2, 0, {32, 0}},
        {UVC_GET_INFO, 2, UVC_PU_GAIN_CONTROL, {}, 1, 0, {3}},
        {UVC_GET_LEN, 1, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, {}, 2, 0, {4, 0}},
        {UVC_GET_RES, 1, UVC_CT_AE_MODE_CONTROL, {}, 1, 0, {0x09}},  // manual, aperture priority
        {G, 1, UVC_CT_AE_MODE_CONTROL, {}, 1, 0, {0x08}},
        {S, 2, UVC_PU_BRIGHTNESS_CONTROL, {0xF6, 0xFF}, 2, 0, {}},  // -10
        {G, 2, UVC_PU_BRIGHTNESS_CONTROL, {}, 2, 0, {0xF6, 0xFF}},
        {S, 2, UVC_PU_BRIGHTNESS_CONTROL, {100, 0}, 2, -EPIPE, {}},  // out of range
        {G, 0, UVC_VC_REQUEST_ERROR_CODE_CONTROL, {}, 1, 0, {4}},
        {S, 1, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, {100, 0, 0, 0}, 4, -EPIPE, {}},  // auto on
        {G, 0, UVC_VC_REQUEST_ERROR_CODE_CONTROL, {}, 1, 0, {2}},
        {S, 1, UVC_CT_AE_MODE_CONTROL, {1}, 1, 0, {}},  // manual
        {S, 1, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, {100, 0, 0, 0}, 4, 0, {}},
        {G, 2, 0x0F, {}, 2, -EPIPE, {}},  // no such control
        // The extension unit's register transaction: read the DSP chip id,
        // write a sensor word.
        {UVC_GET_LEN, 4, 10, {}, 2, 0, {8, 0}},
        {S, 4, 10, {0, 0xC2, 0, 0, 2, 0, 0, 0}, 8, 0, {}},
        {G, 4, 11, {}, 8, 0, {0x53, 0x43, 0, 0, 0, 0, 0, 0}},
        {S, 4, 10, {0, 0x8A, 0x20, 0, 2, 0, 0, 0}, 8, 0, {}},
        {S, 4, 11, {0x12, 0x34, 0, 0, 0, 0, 0, 0}, 8, 0, {}},
        {G, 4, 11, {}, 8, -EPIPE, {}},                           // nothing pending
        {S, 4, 10, {0, 0x77, 0, 0, 2, 0, 0, 0}, 8, -EPIPE, {}},  // unknown command
        {G, 4, 12, {}, 8, -EPIPE, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "request " << int(r.req) << " entity " << int(r.entity)
                                        << " selector " << int(r.selector));
        bool set = r.req == S;
        Reply rep = h.control(set ? 0x21 : 0xA1, r.req, uint16_t(r.selector << 8),
                              uint16_t(r.entity << 8), r.length, r.out);
        ASSERT_EQ(rep.cmd, 3u);
        EXPECT_EQ(rep.status, r.status);
        if (!set && r.status == 0) {
            EXPECT_EQ(rep.data, r.expect);
        }
        if (set) {
            EXPECT_EQ(rep.actual, r.status ? 0u : r.out.size());
        }
    }
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_BRIGHTNESS), -10);
    EXPECT_EQ(simcam::control_value("/dev/video0", V4L2_CID_EXPOSURE_ABSOLUTE), 100);
    EXPECT_EQ(simcam::sensor_peek("/dev/video0", 0x20), 0x1234);
    h.command("stall-xu");
    h.control(0x21, S, 10 << 8, 4 << 8, 8, {0, 0xC2, 0, 0, 2, 0, 0, 0});  // the pipe is synchronous
    Reply stalled = h.control(0xA1, G, 10 << 8, 4 << 8, 8);
    EXPECT_EQ(stalled.status, -EPIPE);
    // "wrong state": what the driver reports as EILSEQ
    EXPECT_EQ(h.control(0xA1, G, UVC_VC_REQUEST_ERROR_CODE_CONTROL << 8, 0, 1).data,
              std::vector<uint8_t>{2});
    h.command("unstall-xu");
    h.control(0xA1, G, 10 << 8, 4 << 8, 8);
    EXPECT_EQ(h.control(0xA1, G, 10 << 8, 4 << 8, 8).status, 0);
}

struct Frame {
    std::vector<uint8_t> data;
    bool error = false;
    uint8_t fid = 0;
};

// Probe and commit one format and frame, then collect whole frames from the
// bulk endpoint, four transfers in flight as the driver keeps them;
// `after_frame` is called with the number of frames received so far.
std::vector<Frame> stream(Host& h, uint8_t format, uint8_t frame, size_t count,
                          uint32_t* max_frame = nullptr,
                          uint32_t interval = 333333,  // 1/30 s, in 100 ns
                          const std::function<void(size_t)>& after_frame = nullptr) {
    std::vector<uint8_t> probe(26, 0);
    probe[2] = format;
    probe[3] = frame;
    memcpy(&probe[4], &interval, 4);
    EXPECT_EQ(h.control(0x21, UVC_SET_CUR, UVC_VS_PROBE_CONTROL << 8, 1, 26, probe).status, 0);
    Reply cur = h.control(0xA1, UVC_GET_CUR, UVC_VS_PROBE_CONTROL << 8, 1, 26);
    EXPECT_EQ(cur.data.size(), 26u);
    if (cur.data.size() < 26) return {};
    EXPECT_EQ(cur.data[2], format);
    EXPECT_EQ(cur.data[3], frame);
    EXPECT_EQ(le(&cur.data[4], 4), interval);
    EXPECT_EQ(le(&cur.data[22], 4), 16384u);
    if (max_frame) *max_frame = le(&cur.data[18], 4);
    EXPECT_EQ(h.control(0x21, UVC_SET_CUR, UVC_VS_COMMIT_CONTROL << 8, 1, 26, cur.data).status, 0);
    for (int i = 0; i < 4; ++i) h.submit(1, true, nullptr, {}, 16384);
    std::vector<Frame> out;
    Frame f;
    while (out.size() < count) {
        Reply r = h.reply();
        if (r.cmd != 3) break;
        h.submit(1, true, nullptr, {}, 16384);
        EXPECT_GE(r.data.size(), 2u);
        if (r.data.size() < 2) break;
        f.error |= (r.data[1] & UVC_STREAM_ERR) != 0;
        f.fid = r.data[1] & UVC_STREAM_FID;
        f.data.insert(f.data.end(), r.data.begin() + r.data[0], r.data.end());
        if (r.data[1] & UVC_STREAM_EOF) {
            out.push_back(f);
            f = Frame{};
            if (after_frame) after_frame(out.size());
        }
    }
    return out;
}

TEST(UsbipTest, StreamsStampedFramesWithFaults) {
    Host h;
    h.command("error-frames 1");
    uint32_t max_frame = 0;
    std::vector<Frame> frames = stream(h, 2, 1, 4, &max_frame);  // YUYV 640x480
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(max_frame, 640u * 480 * 2);
    long last = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].data.size(), 640u * 480 * 2);
        long n = simcam::read_stamp_yuyv(frames[i].data.data(), 640, 480);
        EXPECT_GT(n, last);
        last = n;
        EXPECT_EQ(frames[i].error, i == 0);
        if (i) {
            EXPECT_NE(frames[i].fid, frames[i - 1].fid);
        }
    }
    std::vector<uint8_t> expect(640 * 480 * 2);
    simcam::render_yuyv(640, 480, uint32_t(last), expect.data());
    EXPECT_EQ(frames.back().data, expect);
}

TEST(UsbipTest, DamagedMjpegAndHeldTransfers) {
    Host h;
    h.command("truncate-mjpeg 1");
    std::vector<Frame> frames = stream(h, 1, 3, 2);  // MJPEG 640x480
    ASSERT_EQ(frames.size(), 2u);
    auto ends_jpeg = [](const std::vector<uint8_t>& j) {
        return j.size() > 4 && j[0] == 0xFF && j[1] == 0xD8 && j[j.size() - 2] == 0xFF &&
               j.back() == 0xD9;
    };
    EXPECT_FALSE(ends_jpeg(frames[0].data));
    EXPECT_TRUE(ends_jpeg(frames[1].data));

    // A camera that stops delivering leaves the transfers pending; an unlinked
    // one is answered by RET_UNLINK alone.
    h.command("stop-delivering");
    Reply r;
    while ((r = h.reply(300)).cmd == 3) {
    }
    uint32_t victim = h.submit(1, true, nullptr, {}, 16384);
    h.unlink(victim);
    r = h.reply();
    ASSERT_EQ(r.cmd, 4u);
    EXPECT_EQ(r.status, -ECONNRESET);
    h.command("resume-delivering");
    for (int i = 0; i < 10; ++i) {
        r = h.reply();
        ASSERT_EQ(r.cmd, 3u);
        EXPECT_NE(r.seqnum, victim);
        h.submit(1, true, nullptr, {}, 16384);
    }
}

// Frames are made ahead of time; a mark for "the next frame" given while the
// stream runs still meets the next frame sent, not the one after it.
TEST(UsbipTest, MarksMadeWhileStreamingMeetTheNextFrameSent) {
    Host h;
    auto ends_jpeg = [](const std::vector<uint8_t>& j) {
        return j.size() > 4 && j[0] == 0xFF && j[1] == 0xD8 && j[j.size() - 2] == 0xFF &&
               j.back() == 0xD9;
    };
    // MJPEG 640x480 at 1/5 s: the command arrives well before the next frame is due.
    std::vector<Frame> frames = stream(h, 1, 3, 4, nullptr, 2000000, [&](size_t n) {
        if (n == 1) h.command("truncate-mjpeg 1");
        if (n == 2) h.command("error-frames 1");
    });
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(ends_jpeg(frames[0].data));
    EXPECT_FALSE(ends_jpeg(frames[1].data));
    EXPECT_TRUE(ends_jpeg(frames[2].data));
    EXPECT_TRUE(frames[2].error);
    EXPECT_TRUE(ends_jpeg(frames[3].data));
    EXPECT_FALSE(frames[0].error || frames[1].error || frames[3].error);
}

TEST(UsbipTest, UnplugEndsTheService) {
    Host h;
    EXPECT_EQ(h.descriptor(1, 0, 18).size(), 18u);
    h.command("unplug");
    h.server.join();
    EXPECT_EQ(h.served, 1);
    EXPECT_EQ(open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(simcam::usbip_command("/dev/video0", "replug"), 2);
    int fd = open("/dev/video0", O_RDWR);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(simcam::usbip_command("/dev/video0", "error-frames x"), -1);
}

}  // namespace
