// The raw V4L2 and UVC requests that camapi and camctl rely on, success and
// error paths, made in a fixed order against one camera node. Every answer is
// printed as one "probe.field = value" line (errno by name), so that the
// answers of two cameras, or of the simulation and the driver, can be diffed.
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string errno_name(int e) {
    static const struct {
        int err;
        const char* name;
    } kNames[] = {
        {0, "0"},           {EINVAL, "EINVAL"}, {EBUSY, "EBUSY"},         {EAGAIN, "EAGAIN"},
        {ENOENT, "ENOENT"}, {EEXIST, "EEXIST"}, {ENOBUFS, "ENOBUFS"},     {EILSEQ, "EILSEQ"},
        {EACCES, "EACCES"}, {ERANGE, "ERANGE"}, {ENOTTY, "ENOTTY"},       {EIO, "EIO"},
        {ENODEV, "ENODEV"}, {EFAULT, "EFAULT"}, {EPERM, "EPERM"},         {EBADF, "EBADF"},
        {EPIPE, "EPIPE"},   {EPROTO, "EPROTO"}, {ETIMEDOUT, "ETIMEDOUT"}, {ENOMEM, "ENOMEM"},
        {ENOSPC, "ENOSPC"}, {ENOSYS, "ENOSYS"}};
    for (const auto& n : kNames)
        if (n.err == e) return n.name;
    return "errno " + std::to_string(e);
}

std::string fourcc(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((f >> (8 * i)) & 0xff);
    return s;
}

struct Probe {
    const char* name;
    void put(const char* field, const std::string& value) const {
        printf("%s.%s = %s\n", name, field, value.c_str());
    }
    void put(const char* field, unsigned long long v) const { put(field, std::to_string(v)); }
    void hex(const char* field, unsigned long long v) const {
        char b[32];
        snprintf(b, sizeof b, "0x%llx", v);
        put(field, b);
    }
    // The request's answer: 0 or the errno name.
    int result(const char* field, int r) const {
        put(field, r == 0 ? std::string("0") : errno_name(errno));
        return r;
    }
};

struct Ctx {
    const char* node = "/dev/video0";
    int fd = -1;
    int other = -1;  // a second handle on the same node
    std::vector<void*> maps;
    std::vector<size_t> lens;
    v4l2_buffer last{};  // the buffer last dequeued
};

int io(int fd, unsigned long req, void* arg) {
    return ioctl(fd, req, arg);
}

// The whole buffer as written back, fields named `prefix`.index and so on.
void buffer_fields(const Probe& p, const std::string& prefix, const v4l2_buffer& b) {
    auto key = [&](const char* f) { return prefix + "." + f; };
    p.put(key("index").c_str(), b.index);
    p.put(key("type").c_str(), b.type);
    p.hex(key("flags").c_str(), b.flags);
    p.put(key("field").c_str(), b.field);
    p.put(key("sequence").c_str(), b.sequence);
    p.put(key("bytesused").c_str(), b.bytesused);
    p.put(key("length").c_str(), b.length);
    p.put(key("memory").c_str(), b.memory);
    p.put(key("offset").c_str(), b.m.offset);
    // The clocks' bases differ between machines: only whether it is set.
    p.put(key("timestamp").c_str(), b.timestamp.tv_sec || b.timestamp.tv_usec ? "set" : "0");
    const v4l2_timecode& t = b.timecode;
    p.put(key("timecode").c_str(), std::to_string(t.type) + " " + std::to_string(t.flags) + " " +
                                       std::to_string(t.frames) + " " + std::to_string(t.seconds) +
                                       " " + std::to_string(t.minutes) + " " +
                                       std::to_string(t.hours));
    p.put(key("reserved2").c_str(), b.reserved2);
    p.put(key("request_fd").c_str(), std::to_string(b.request_fd));
}

v4l2_buffer capture_buffer(uint32_t index) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = index;
    return b;
}

int reqbufs(int fd, uint32_t count, v4l2_requestbuffers* rb) {
    *rb = {};
    rb->count = count;
    rb->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb->memory = V4L2_MEMORY_MMAP;
    return io(fd, VIDIOC_REQBUFS, rb);
}

int stream(int fd, bool on) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return io(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
}

void poll_once(const Probe& p, int fd, int timeout_ms) {
    pollfd f{fd, POLLIN | POLLPRI, 0};
    int n = poll(&f, 1, timeout_ms);
    p.put("ready", n < 0 ? -1 : n);
    p.hex("revents", static_cast<unsigned>(f.revents));
}

int xu(int fd, uint8_t unit, uint8_t sel, uint8_t query, uint8_t* data, uint16_t size) {
    uvc_xu_control_query q{};
    q.unit = unit;
    q.selector = sel;
    q.query = query;
    q.size = size;
    q.data = data;
    return io(fd, UVCIOC_CTRL_QUERY, &q);
}

uvc_xu_control_mapping dsp_mapping(bool known_guid) {
    static const uint8_t guid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                                     0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
    uvc_xu_control_mapping m{};
    strcpy(reinterpret_cast<char*>(m.name), known_guid ? "dsp rw" : "no such unit");
    memcpy(m.entity, guid, 16);
    if (!known_guid) m.entity[0] ^= 0xFF;
    m.selector = 10;
    m.size = 8;
    m.v4l2_type = V4L2_CTRL_TYPE_INTEGER;
    m.data_type = UVC_CTRL_DATA_TYPE_SIGNED;
    if (!known_guid) m.id = V4L2_CID_USER_BASE + 0x1f00;
    return m;
}

void bytes(const Probe& p, const char* field, const uint8_t* d, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    p.put(field, s);
}

void control(const Probe& p, int fd, uint32_t id) {
    v4l2_queryctrl q{};
    q.id = id;
    if (p.result("query", io(fd, VIDIOC_QUERYCTRL, &q)) != 0) return;
    p.put("type", q.type);
    p.put("minimum", std::to_string(q.minimum));
    p.put("maximum", std::to_string(q.maximum));
    p.put("step", std::to_string(q.step));
    p.put("default", std::to_string(q.default_value));
    p.hex("flags", q.flags);
}

using Run = void (*)(Ctx&, const Probe&);

// In order: each probe starts from the state the ones before it left.
const struct {
    const char* name;
    Run run;
} kProbes[] = {
    {"open",
     [](Ctx& c, const Probe& p) {
         c.fd = open(c.node, O_RDWR | O_NONBLOCK);
         p.put("result", c.fd >= 0 ? std::string("0") : errno_name(errno));
         c.other = open(c.node, O_RDWR | O_NONBLOCK);
         p.put("second", c.other >= 0 ? std::string("0") : errno_name(errno));
     }},
    {"querycap",
     [](Ctx& c, const Probe& p) {
         v4l2_capability cap{};
         if (p.result("result", io(c.fd, VIDIOC_QUERYCAP, &cap)) != 0) return;
         p.put("driver", reinterpret_cast<const char*>(cap.driver));
         p.put("card", reinterpret_cast<const char*>(cap.card));
         p.put("bus_info", reinterpret_cast<const char*>(cap.bus_info));
         p.hex("version", cap.version);
         p.hex("capabilities", cap.capabilities);
         p.hex("device_caps", cap.device_caps);
     }},
    {"enum_fmt",
     [](Ctx& c, const Probe& p) {
         for (uint32_t i = 0;; ++i) {
             v4l2_fmtdesc f{};
             f.index = i;
             f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
             if (io(c.fd, VIDIOC_ENUM_FMT, &f) != 0) {
                 p.put("count", i);
                 p.put("end", errno_name(errno));
                 return;
             }
             std::string key = "fmt" + std::to_string(i);
             p.put(key.c_str(), fourcc(f.pixelformat) + " flags=" + std::to_string(f.flags) + " " +
                                    reinterpret_cast<const char*>(f.description));
             // Sizes and the intervals of each size.
             for (uint32_t s = 0;; ++s) {
                 v4l2_frmsizeenum fs{};
                 fs.index = s;
                 fs.pixel_format = f.pixelformat;
                 if (io(c.fd, VIDIOC_ENUM_FRAMESIZES, &fs) != 0) {
                     p.put((key + ".sizes_end").c_str(), errno_name(errno));
                     break;
                 }
                 if (fs.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
                     p.put((key + ".size_type").c_str(), fs.type);
                     break;
                 }
                 std::string sk = key + "." + std::to_string(fs.discrete.width) + "x" +
                                  std::to_string(fs.discrete.height);
                 std::string rates;
                 for (uint32_t k = 0;; ++k) {
                     v4l2_frmivalenum fi{};
                     fi.index = k;
                     fi.pixel_format = f.pixelformat;
                     fi.width = fs.discrete.width;
                     fi.height = fs.discrete.height;
                     if (io(c.fd, VIDIOC_ENUM_FRAMEINTERVALS, &fi) != 0) {
                         rates += std::string(" end=") + errno_name(errno);
                         break;
                     }
                     if (fi.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
                         rates += " type=" + std::to_string(fi.type);
                         break;
                     }
                     rates += " " + std::to_string(fi.discrete.numerator) + "/" +
                              std::to_string(fi.discrete.denominator);
                 }
                 p.put(sk.c_str(), rates);
             }
         }
     }},
    {"enum_framesizes_unknown_format",
     [](Ctx& c, const Probe& p) {
         v4l2_frmsizeenum fs{};
         fs.pixel_format = v4l2_fourcc('Z', 'Z', 'Z', 'Z');
         p.result("result", io(c.fd, VIDIOC_ENUM_FRAMESIZES, &fs));
     }},
    {"try_fmt",
     [](Ctx& c, const Probe& p) {
         const struct {
             const char* field;
             uint32_t fourcc, w, h;
         } cases[] = {{"yuyv_odd_size", V4L2_PIX_FMT_YUYV, 1000, 700},
                      {"unknown_fourcc", v4l2_fourcc('Z', 'Z', 'Z', 'Z'), 640, 480}};
         for (const auto& k : cases) {
             v4l2_format f{};
             f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
             f.fmt.pix.pixelformat = k.fourcc;
             f.fmt.pix.width = k.w;
             f.fmt.pix.height = k.h;
             int r = io(c.fd, VIDIOC_TRY_FMT, &f);
             p.put(k.field, r != 0 ? std::string(errno_name(errno))
                                   : fourcc(f.fmt.pix.pixelformat) + " " +
                                         std::to_string(f.fmt.pix.width) + "x" +
                                         std::to_string(f.fmt.pix.height) +
                                         " bpl=" + std::to_string(f.fmt.pix.bytesperline) +
                                         " size=" + std::to_string(f.fmt.pix.sizeimage) +
                                         " field=" + std::to_string(f.fmt.pix.field));
         }
     }},
    {"s_fmt",
     [](Ctx& c, const Probe& p) {
         v4l2_format f{};
         f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
         f.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
         f.fmt.pix.width = 640;
         f.fmt.pix.height = 480;
         p.result("result", io(c.fd, VIDIOC_S_FMT, &f));
         v4l2_format g{};
         g.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
         p.result("g_fmt", io(c.fd, VIDIOC_G_FMT, &g));
         p.put("granted", fourcc(g.fmt.pix.pixelformat) + " " + std::to_string(g.fmt.pix.width) +
                              "x" + std::to_string(g.fmt.pix.height) +
                              " size=" + std::to_string(g.fmt.pix.sizeimage));
         p.result("other_handle", io(c.other, VIDIOC_S_FMT, &f));
     }},
    {"parm",
     [](Ctx& c, const Probe& p) {
         v4l2_streamparm s{};
         s.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
         p.result("g_parm", io(c.fd, VIDIOC_G_PARM, &s));
         p.hex("capability", s.parm.capture.capability);
         const struct {
             const char* field;
             uint32_t num, den;
         } cases[] = {{"set_30", 1, 30}, {"set_1000", 1, 1000}, {"set_1", 1, 1}};
         for (const auto& k : cases) {
             s = {};
             s.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
             s.parm.capture.timeperframe = {k.num, k.den};
             int r = io(c.fd, VIDIOC_S_PARM, &s);
             p.put(k.field, r != 0 ? std::string(errno_name(errno))
                                   : std::to_string(s.parm.capture.timeperframe.numerator) + "/" +
                                         std::to_string(s.parm.capture.timeperframe.denominator));
         }
         s = {};
         s.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
         s.parm.capture.timeperframe = {1, 30};
         p.result("set_30_again", io(c.fd, VIDIOC_S_PARM, &s));
     }},
    {"reqbufs",
     [](Ctx& c, const Probe& p) {
         v4l2_requestbuffers rb;
         p.result("count0", reqbufs(c.fd, 0, &rb));
         p.result("count40", reqbufs(c.fd, 40, &rb));
         p.put("count40_granted", rb.count);
         p.result("count4", reqbufs(c.fd, 4, &rb));
         p.put("count4_granted", rb.count);
         p.hex("capabilities", rb.capabilities);
         p.result("other_handle", reqbufs(c.other, 2, &rb));
         rb = {};
         rb.count = 2;
         rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
         rb.memory = V4L2_MEMORY_USERPTR;
         p.result("userptr", io(c.fd, VIDIOC_REQBUFS, &rb));
         // A USERPTR request on the owner's queue frees its buffers: ask again.
         p.result("count4_again", reqbufs(c.fd, 4, &rb));
     }},
    {"querybuf_fresh",
     [](Ctx& c, const Probe& p) {
         for (uint32_t i = 0; i < 4; ++i) {
             v4l2_buffer b = capture_buffer(i);
             if (io(c.fd, VIDIOC_QUERYBUF, &b) != 0) break;
             void* m = mmap(nullptr, b.length, PROT_READ, MAP_SHARED, c.fd, b.m.offset);
             c.maps.push_back(m);
             c.lens.push_back(b.length);
             if (i == 0) buffer_fields(p, "buf0", b);
         }
         p.put("mapped", c.maps.size());
         v4l2_buffer b = capture_buffer(0);
         p.hex("flags_after_mmap", io(c.fd, VIDIOC_QUERYBUF, &b) == 0 ? b.flags : 0);
         b = capture_buffer(4);
         p.result("index4", io(c.fd, VIDIOC_QUERYBUF, &b));
         b = capture_buffer(0);
         p.result("other_handle", io(c.other, VIDIOC_QUERYBUF, &b));
     }},
    {"dqbuf_before_streaming",
     [](Ctx& c, const Probe& p) {
         v4l2_buffer b = capture_buffer(0);
         p.result("result", io(c.fd, VIDIOC_DQBUF, &b));
         p.result("streamon_nothing_queued", stream(c.fd, true));
         p.result("streamoff", stream(c.fd, false));
     }},
    {"qbuf",
     [](Ctx& c, const Probe& p) {
         v4l2_buffer b = capture_buffer(0);
         p.result("result", io(c.fd, VIDIOC_QBUF, &b));
         buffer_fields(p, "written_back", b);
         b = capture_buffer(0);
         p.result("again", io(c.fd, VIDIOC_QBUF, &b));
         b = capture_buffer(9);
         p.result("index9", io(c.fd, VIDIOC_QBUF, &b));
         for (uint32_t i = 1; i < 4; ++i) {
             b = capture_buffer(i);
             io(c.fd, VIDIOC_QBUF, &b);
         }
         b = capture_buffer(0);
         p.result("query_queued", io(c.fd, VIDIOC_QUERYBUF, &b));
         buffer_fields(p, "queued", b);
     }},
    {"poll_before_streamon", [](Ctx& c, const Probe& p) { poll_once(p, c.fd, 0); }},
    {"streamon",
     [](Ctx& c, const Probe& p) {
         p.result("result", stream(c.fd, true));
         p.result("again", stream(c.fd, true));
         p.result("other_handle", stream(c.other, true));
         int bad = V4L2_BUF_TYPE_VIDEO_OUTPUT;
         p.result("output_type", io(c.fd, VIDIOC_STREAMON, &bad));
     }},
    {"poll_streaming", [](Ctx& c, const Probe& p) { poll_once(p, c.fd, 3000); }},
    {"dqbuf",
     [](Ctx& c, const Probe& p) {
         v4l2_buffer b = capture_buffer(0);
         p.result("result", io(c.fd, VIDIOC_DQBUF, &b));
         buffer_fields(p, "dequeued", b);
         c.last = b;
         v4l2_buffer q = capture_buffer(b.index);
         p.result("query_dequeued", io(c.fd, VIDIOC_QUERYBUF, &q));
         p.put("query_same_sequence", q.sequence == b.sequence ? "yes" : "no");
         p.hex("query_flags", q.flags);
         q = capture_buffer(b.index);
         p.result("requeue", io(c.fd, VIDIOC_QBUF, &q));
         buffer_fields(p, "requeued", q);
         q = capture_buffer(0);
         p.result("other_handle", io(c.other, VIDIOC_DQBUF, &q));
     }},
    {"dqbuf_next",
     [](Ctx& c, const Probe& p) {
         pollfd f{c.fd, POLLIN, 0};
         poll(&f, 1, 3000);
         v4l2_buffer b = capture_buffer(0);
         p.result("result", io(c.fd, VIDIOC_DQBUF, &b));
         p.put("sequence_step", b.sequence - c.last.sequence);
         p.put("timestamp_later",
               b.timestamp.tv_sec * 1000000LL + b.timestamp.tv_usec >
                       c.last.timestamp.tv_sec * 1000000LL + c.last.timestamp.tv_usec
                   ? "yes"
                   : "no");
         c.last = b;
     }},
    {"streamoff",
     [](Ctx& c, const Probe& p) {
         p.result("other_handle", stream(c.other, false));
         p.result("result", stream(c.fd, false));
         p.result("again", stream(c.fd, false));
         for (uint32_t i = 0; i < 4; ++i) {
             v4l2_buffer b = capture_buffer(i);
             io(c.fd, VIDIOC_QUERYBUF, &b);
             std::string key = "buf" + std::to_string(i) + "_flags";
             p.hex(key.c_str(), b.flags);
         }
         v4l2_buffer b = capture_buffer(0);
         p.result("dqbuf", io(c.fd, VIDIOC_DQBUF, &b));
         poll_once(p, c.fd, 0);
     }},
    {"reqbufs_zero",
     [](Ctx& c, const Probe& p) {
         v4l2_requestbuffers rb;
         p.result("result", reqbufs(c.fd, 0, &rb));
         p.result("streamon", stream(c.fd, true));
         v4l2_buffer b = capture_buffer(0);
         p.result("querybuf", io(c.fd, VIDIOC_QUERYBUF, &b));
         p.result("other_handle_reqbufs", reqbufs(c.other, 2, &rb));
         p.result("other_handle_release", reqbufs(c.other, 0, &rb));
     }},
    // camapi's order of opening: each buffer queried and then mapped, all
    // of them queued afterwards, with no query between a mapping and the
    // queueing of that buffer.
    {"open_sequence",
     [](Ctx& c, const Probe& p) {
         // The earlier buffers' mappings go first, so the new ones start unmapped.
         for (size_t i = 0; i < c.maps.size(); ++i)
             if (c.maps[i] != MAP_FAILED) munmap(c.maps[i], c.lens[i]);
         c.maps.clear();
         c.lens.clear();
         v4l2_requestbuffers rb;
         p.result("reqbufs", reqbufs(c.fd, 4, &rb));
         for (uint32_t i = 0; i < 4; ++i) {
             v4l2_buffer b = capture_buffer(i);
             const std::string key = "query" + std::to_string(i);
             if (p.result(key.c_str(), io(c.fd, VIDIOC_QUERYBUF, &b)) != 0) return;
             p.hex((key + ".flags").c_str(), b.flags);
             c.maps.push_back(mmap(nullptr, b.length, PROT_READ, MAP_SHARED, c.fd, b.m.offset));
             c.lens.push_back(b.length);
         }
         for (uint32_t i = 0; i < 4; ++i) {
             v4l2_buffer b = capture_buffer(i);
             const std::string key = "qbuf" + std::to_string(i);
             p.result(key.c_str(), io(c.fd, VIDIOC_QBUF, &b));
             buffer_fields(p, key, b);
         }
         v4l2_buffer b = capture_buffer(3);
         p.result("query_queued3", io(c.fd, VIDIOC_QUERYBUF, &b));
         buffer_fields(p, "queued3", b);
     }},
    {"ctrl_brightness", [](Ctx& c, const Probe& p) { control(p, c.fd, V4L2_CID_BRIGHTNESS); }},
    {"ctrl_exposure_auto",
     [](Ctx& c, const Probe& p) { control(p, c.fd, V4L2_CID_EXPOSURE_AUTO); }},
    {"ctrl_white_balance_auto",
     [](Ctx& c, const Probe& p) { control(p, c.fd, V4L2_CID_AUTO_WHITE_BALANCE); }},
    {"ctrl_exposure_absolute",
     [](Ctx& c, const Probe& p) { control(p, c.fd, V4L2_CID_EXPOSURE_ABSOLUTE); }},
    {"ctrl_set",
     [](Ctx& c, const Probe& p) {
         const struct {
             const char* field;
             uint32_t id;
             int32_t value;
         } cases[] = {
             {"brightness_10", V4L2_CID_BRIGHTNESS, 10},
             {"brightness_too_big", V4L2_CID_BRIGHTNESS, 100000},
             {"exposure_auto_aperture", V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_APERTURE_PRIORITY},
             {"exposure_while_auto", V4L2_CID_EXPOSURE_ABSOLUTE, 100},
             {"exposure_auto_menu_hole", V4L2_CID_EXPOSURE_AUTO, 2},
             {"exposure_auto_past_menu", V4L2_CID_EXPOSURE_AUTO, 7},
             {"exposure_auto_manual", V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
             {"exposure_manual", V4L2_CID_EXPOSURE_ABSOLUTE, 100},
             {"unknown_id", V4L2_CID_USER_BASE + 0x0fff, 1},
         };
         for (const auto& k : cases) {
             v4l2_control ctl{k.id, k.value};
             int r = io(c.fd, VIDIOC_S_CTRL, &ctl);
             v4l2_control got{k.id, 0};
             int g = io(c.fd, VIDIOC_G_CTRL, &got);
             p.put(k.field, r == 0 ? std::string("0") : errno_name(errno));
             p.put((std::string(k.field) + ".now").c_str(),
                   g == 0 ? std::to_string(got.value) : errno_name(errno));
         }
     }},
    {"xu_map",
     [](Ctx& c, const Probe& p) {
         uvc_xu_control_mapping m = dsp_mapping(true);
         p.result("first", io(c.fd, UVCIOC_CTRL_MAP, &m));
         m = dsp_mapping(true);
         p.result("second", io(c.fd, UVCIOC_CTRL_MAP, &m));
         m = dsp_mapping(false);
         p.result("unknown_guid", io(c.fd, UVCIOC_CTRL_MAP, &m));
     }},
    {"xu_query",
     [](Ctx& c, const Probe& p) {
         uint8_t d[8] = {};
         p.result("len", xu(c.fd, 4, 10, UVC_GET_LEN, d, 2));
         bytes(p, "len_data", d, 2);
         p.result("info", xu(c.fd, 4, 10, UVC_GET_INFO, d, 1));
         bytes(p, "info_data", d, 1);
         p.result("wrong_unit", xu(c.fd, 9, 10, UVC_GET_CUR, d, 8));
         p.result("wrong_selector", xu(c.fd, 4, 20, UVC_GET_CUR, d, 8));
         p.result("wrong_size", xu(c.fd, 4, 10, UVC_GET_CUR, d, 4));
         // A response phase with no request before it: the camera stalls.
         p.result("stall", xu(c.fd, 4, 11, UVC_GET_CUR, d, 8));
     }},
    {"register_read",
     [](Ctx& c, const Probe& p) {
         // The DSP's first four bytes (command 0xC2 read, length 4).
         uint8_t req[8] = {0, 0xC2, 0x00, 0x00, 4, 0, 0, 0};
         p.result("request", xu(c.fd, 4, 10, UVC_SET_CUR, req, 8));
         uint8_t d[8] = {};
         p.result("response", xu(c.fd, 4, 11, UVC_GET_CUR, d, 8));
         bytes(p, "data", d, 8);
     }},
    {"register_write",
     [](Ctx& c, const Probe& p) {
         uint8_t req[8] = {0, 0x82, 0x20, 0x00, 1, 0, 0, 0};  // write one byte
         p.result("request", xu(c.fd, 4, 10, UVC_SET_CUR, req, 8));
         uint8_t d[8] = {0x5a};
         p.result("data", xu(c.fd, 4, 11, UVC_SET_CUR, d, 8));
         uint8_t rd[8] = {0, 0xC2, 0x20, 0x00, 1, 0, 0, 0};
         xu(c.fd, 4, 10, UVC_SET_CUR, rd, 8);
         uint8_t back[8] = {};
         p.result("read_back", xu(c.fd, 4, 11, UVC_GET_CUR, back, 8));
         bytes(p, "read_back_data", back, 1);
     }},
};

}  // namespace

int main(int argc, char** argv) {
    Ctx c;
    if (argc > 1) c.node = argv[1];
    for (const auto& probe : kProbes) {
        Probe p{probe.name};
        errno = 0;
        probe.run(c, p);
    }
    for (size_t i = 0; i < c.maps.size(); ++i)
        if (c.maps[i] != MAP_FAILED) munmap(c.maps[i], c.lens[i]);
    if (c.other >= 0) close(c.other);
    if (c.fd >= 0) close(c.fd);
    return 0;
}
