// V4L2 requests on a capture node, answered the way uvcvideo and
// videobuf2 answer them.
#include <errno.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr uint32_t kMaxBuffers = 32;  // VB2_MAX_FRAME / UVC_MAX_VIDEO_BUFFERS
constexpr uint32_t kBufFlags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;

void copy_str(uint8_t* dst, size_t n, const std::string& s) {
    memset(dst, 0, n);
    memcpy(dst, s.data(), s.size() < n - 1 ? s.size() : n - 1);
}

uint32_t kernel_version() {
    struct utsname u;
    unsigned a = 0, b = 0, c = 0;
    if (uname(&u) == 0) sscanf(u.release, "%u.%u.%u", &a, &b, &c);
    if (c > 255) c = 255;
    return (a << 16) | (b << 8) | c;
}

const Format* find_format(const Camera& cfg, uint32_t fourcc) {
    for (const Format& f : cfg.formats)
        if (f.fourcc == fourcc) return &f;
    return nullptr;
}

uint32_t round_step(uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    if (step > 1) v = lo + (v - lo + step / 2) / step * step;
    return v > hi ? hi : v;
}

// Nearest supported size: the smallest symmetric difference of the areas,
// as uvcvideo picks it.
void nearest_size(const Format& f, uint32_t* w, uint32_t* h) {
    if (f.sizes.empty()) return;
    if (f.size_kind != RangeKind::Discrete) {
        const FrameSize &lo = f.sizes.front(), &hi = f.sizes.back();
        uint32_t sw = f.size_kind == RangeKind::Stepwise ? f.step_width : 1;
        uint32_t sh = f.size_kind == RangeKind::Stepwise ? f.step_height : 1;
        *w = round_step(*w, lo.width, hi.width, sw);
        *h = round_step(*h, lo.height, hi.height, sh);
        return;
    }
    uint64_t best = UINT64_MAX;
    uint32_t bw = 0, bh = 0;
    for (const FrameSize& s : f.sizes) {
        uint64_t d = uint64_t(std::min(s.width, *w)) * std::min(s.height, *h);
        d = uint64_t(s.width) * s.height + uint64_t(*w) * *h - 2 * d;
        if (d < best) {
            best = d;
            bw = s.width;
            bh = s.height;
        }
    }
    *w = bw;
    *h = bh;
}

// The frame descriptor whose intervals apply to a size; null if the size
// is not offered.
const FrameSize* frame_for(const Format& f, uint32_t w, uint32_t h) {
    if (f.sizes.empty()) return nullptr;
    if (f.size_kind != RangeKind::Discrete) {
        const FrameSize &lo = f.sizes.front(), &hi = f.sizes.back();
        if (w < lo.width || w > hi.width || h < lo.height || h > hi.height) return nullptr;
        return &lo;
    }
    for (const FrameSize& s : f.sizes)
        if (s.width == w && s.height == h) return &s;
    return nullptr;
}

uint64_t to_100ns(const Interval& i) {
    if (i.denominator == 0) return UINT32_MAX;
    return uint64_t(i.numerator) * 10000000u / i.denominator;
}

Interval from_100ns(uint64_t v) {
    // Keep the simplest fraction for round rates (333333 -> 1/30).
    for (uint32_t den = 1; den <= 1000; ++den) {
        uint64_t num = (v * den + 5000000) / 10000000;
        if (num == 0) continue;
        uint64_t back = num * 10000000 / den;
        if (back + 1 >= v && back <= v + 1) return {uint32_t(num), den};
    }
    return {uint32_t(v), 10000000};
}

Interval nearest_interval(const FrameSize& fs, const Interval& want) {
    uint64_t t = to_100ns(want);
    if (fs.interval_kind == RangeKind::Discrete) {
        if (fs.intervals.empty()) return want;
        Interval best = fs.intervals[0];
        uint64_t bd = UINT64_MAX;
        for (const Interval& i : fs.intervals) {
            uint64_t v = to_100ns(i);
            uint64_t d = v > t ? v - t : t - v;
            if (d < bd) {
                bd = d;
                best = i;
            }
        }
        return best;
    }
    uint64_t lo = to_100ns(fs.interval_min), hi = to_100ns(fs.interval_max);
    if (t <= lo) return fs.interval_min;
    if (t >= hi) return fs.interval_max;
    if (fs.interval_kind == RangeKind::Stepwise) {
        uint64_t step = to_100ns(fs.interval_step);
        if (step > 0) t = lo + (t - lo + step / 2) / step * step;
        if (t > hi) return fs.interval_max;
    }
    return from_100ns(t);
}

void fill_pix(const Cam& cam, v4l2_format* f, uint32_t fourcc, uint32_t w, uint32_t h) {
    memset(&f->fmt, 0, sizeof f->fmt);
    v4l2_pix_format& p = f->fmt.pix;
    p.width = w;
    p.height = h;
    p.pixelformat = fourcc;
    p.field = V4L2_FIELD_NONE;
    p.bytesperline = bytesperline(fourcc, w);
    p.sizeimage = sizeimage(fourcc, w, h);
    p.colorspace = V4L2_COLORSPACE_SRGB;
    p.xfer_func = V4L2_XFER_FUNC_SRGB;
    p.ycbcr_enc = V4L2_YCBCR_ENC_601;
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    (void)cam;
}

bool acquire(Cam& cam, Handle& h) {
    if (cam.q.owner == &h) return true;
    if (cam.q.owner) return false;
    cam.q.owner = &h;
    return true;
}

void fill_buffer(const Queue& q, uint32_t i, v4l2_buffer* b) {
    const Buffer& buf = q.bufs[i];
    uint32_t type = b->type;
    memset(b, 0, sizeof *b);
    b->index = i;
    b->type = type;
    b->memory = V4L2_MEMORY_MMAP;
    b->m.offset = i * q.stride;
    b->length = q.length;
    // The driver sets the field when it fills a buffer: ANY until then.
    b->field = buf.ever_filled ? V4L2_FIELD_NONE : V4L2_FIELD_ANY;
    // A queued buffer carries no frame: the driver writes it back with
    // sequence, bytesused and timestamp 0, whatever it held before.
    if (buf.filled) {
        b->bytesused = buf.bytesused;
        b->sequence = buf.sequence;
        b->timestamp.tv_sec = time_t(buf.time_ns / 1000000000u);
        b->timestamp.tv_usec = suseconds_t(buf.time_ns % 1000000000u / 1000u);
    }
    b->flags = kBufFlags;
    if (buf.state == BufState::Queued) b->flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.state == BufState::Done) b->flags |= V4L2_BUF_FLAG_DONE;
    if (buf.error && buf.filled) b->flags |= V4L2_BUF_FLAG_ERROR;
    if (buf.mapped) b->flags |= V4L2_BUF_FLAG_MAPPED;
}

int querycap(Cam& cam, bool meta, v4l2_capability* c) {
    memset(c, 0, sizeof *c);
    copy_str(c->driver, sizeof c->driver, cam.cfg.driver);
    copy_str(c->card, sizeof c->card, cam.cfg.card);
    copy_str(c->bus_info, sizeof c->bus_info, cam.cfg.bus_info);
    c->version = kernel_version();
    uint32_t cap = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    uint32_t mcap = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    c->device_caps = meta ? mcap : cap;
    c->capabilities = cap | V4L2_CAP_DEVICE_CAPS | (cam.cfg.meta_node.empty() ? 0 : mcap);
    return 0;
}

int enum_fmt(Cam& cam, v4l2_fmtdesc* f) {
    if (f->type != kCapture || f->index >= cam.cfg.formats.size()) return errno = EINVAL, -1;
    const Format& fmt = cam.cfg.formats[f->index];
    uint32_t index = f->index, type = f->type;
    memset(f, 0, sizeof *f);
    f->index = index;
    f->type = type;
    f->pixelformat = fmt.fourcc;
    f->flags = compressed(fmt.fourcc) ? V4L2_FMT_FLAG_COMPRESSED : 0;
    copy_str(f->description, sizeof f->description, fmt.description);
    return 0;
}

int enum_framesizes(Cam& cam, v4l2_frmsizeenum* s) {
    const Format* f = find_format(cam.cfg, s->pixel_format);
    if (!f || f->sizes.empty()) return errno = EINVAL, -1;
    uint32_t index = s->index, pf = s->pixel_format;
    if (f->size_kind == RangeKind::Discrete) {
        if (index >= f->sizes.size()) return errno = EINVAL, -1;
        memset(s, 0, sizeof *s);
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete.width = f->sizes[index].width;
        s->discrete.height = f->sizes[index].height;
    } else {
        if (index != 0) return errno = EINVAL, -1;
        memset(s, 0, sizeof *s);
        bool step = f->size_kind == RangeKind::Stepwise;
        s->type = step ? V4L2_FRMSIZE_TYPE_STEPWISE : V4L2_FRMSIZE_TYPE_CONTINUOUS;
        s->stepwise.min_width = f->sizes.front().width;
        s->stepwise.max_width = f->sizes.back().width;
        s->stepwise.min_height = f->sizes.front().height;
        s->stepwise.max_height = f->sizes.back().height;
        s->stepwise.step_width = step ? f->step_width : 1;
        s->stepwise.step_height = step ? f->step_height : 1;
    }
    s->index = index;
    s->pixel_format = pf;
    return 0;
}

int enum_frameintervals(Cam& cam, v4l2_frmivalenum* e) {
    const Format* f = find_format(cam.cfg, e->pixel_format);
    const FrameSize* fs = f ? frame_for(*f, e->width, e->height) : nullptr;
    if (!fs) return errno = EINVAL, -1;
    uint32_t index = e->index, pf = e->pixel_format, w = e->width, h = e->height;
    if (fs->interval_kind == RangeKind::Discrete) {
        if (index >= fs->intervals.size()) return errno = EINVAL, -1;
        memset(e, 0, sizeof *e);
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete.numerator = fs->intervals[index].numerator;
        e->discrete.denominator = fs->intervals[index].denominator;
    } else {
        if (index != 0) return errno = EINVAL, -1;
        memset(e, 0, sizeof *e);
        bool step = fs->interval_kind == RangeKind::Stepwise;
        e->type = step ? V4L2_FRMIVAL_TYPE_STEPWISE : V4L2_FRMIVAL_TYPE_CONTINUOUS;
        e->stepwise.min = {fs->interval_min.numerator, fs->interval_min.denominator};
        e->stepwise.max = {fs->interval_max.numerator, fs->interval_max.denominator};
        Interval st = step ? fs->interval_step : Interval{1, 10000000};
        e->stepwise.step = {st.numerator, st.denominator};
    }
    e->index = index;
    e->pixel_format = pf;
    e->width = w;
    e->height = h;
    return 0;
}

// TRY_FMT's choice: the format (first one for an unknown fourcc) and nearest size.
const Format& try_format(Cam& cam, v4l2_format* f) {
    const Format* fmt = find_format(cam.cfg, f->fmt.pix.pixelformat);
    if (!fmt) fmt = &cam.cfg.formats[0];
    uint32_t w = f->fmt.pix.width, h = f->fmt.pix.height;
    nearest_size(*fmt, &w, &h);
    fill_pix(cam, f, fmt->fourcc, w, h);
    return *fmt;
}

uint32_t cur_fourcc(const Cam& cam) {
    return cam.cfg.formats[cam.fmt].fourcc;
}

void get_parm(Cam& cam, v4l2_streamparm* p) {
    uint32_t type = p->type;
    memset(p, 0, sizeof *p);
    p->type = type;
    p->parm.capture.capability = cam.cfg.timeperframe ? V4L2_CAP_TIMEPERFRAME : 0;
    p->parm.capture.timeperframe.numerator = cam.interval.numerator;
    p->parm.capture.timeperframe.denominator = cam.interval.denominator;
}

const FrameSize* cur_frame(const Cam& cam) {
    const Format& f = cam.cfg.formats[cam.fmt];
    return frame_for(f, cam.width, cam.height);
}

void start_stream(Cam& cam) {
    Queue& q = cam.q;
    q.streaming = true;
    q.t0_ns = now_ns();
    q.interval_ns = to_100ns(cam.interval) * 100;
    if (q.interval_ns == 0) q.interval_ns = 1;
    q.next_frame = 1;
    q.next_seq = 0;
    refresh_mapped(cam);
}

void stop_stream(Cam& cam) {
    Queue& q = cam.q;
    q.streaming = false;
    q.queued.clear();
    q.done.clear();
    for (Buffer& b : q.bufs) b.state = BufState::Dequeued;
    q.waiting_for_buffers = true;
    wake_locked();
}

int reqbufs(Cam& cam, Handle& h, v4l2_requestbuffers* rb) {
    if (rb->type != kCapture) return errno = EINVAL, -1;
    if (!acquire(cam, h)) return errno = EBUSY, -1;
    if (rb->memory != V4L2_MEMORY_MMAP) return errno = EINVAL, -1;
    Queue& q = cam.q;
    if (q.streaming) return errno = EBUSY, -1;
    rb->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    rb->flags = 0;
    memset(rb->reserved, 0, sizeof rb->reserved);
    q.bufs.clear();
    q.queued.clear();
    q.done.clear();
    ++q.generation;
    q.waiting_for_buffers = true;
    if (rb->count == 0) {
        q.owner = nullptr;  // REQBUFS(0) gives up the privilege
        return 0;
    }
    uint32_t n = std::min(rb->count, kMaxBuffers);
    if (cam.grant_limit && n > cam.grant_limit) n = cam.grant_limit;
    q.fourcc = cur_fourcc(cam);
    q.width = cam.width;
    q.height = cam.height;
    q.length = sizeimage(q.fourcc, q.width, q.height);
    long page = sysconf(_SC_PAGESIZE);
    q.stride = uint32_t((q.length + page - 1) / page * page);
    struct stat st;
    off_t need = off_t(n) * q.stride;
    // Never shrink: orphaned mappings of earlier buffers stay valid.
    if (real().fstat(cam.memfd, &st) != 0) return errno = ENOMEM, -1;
    if (st.st_size < need && ftruncate(cam.memfd, need) != 0) return errno = ENOMEM, -1;
    q.bufs.assign(n, Buffer{});
    rb->count = n;
    return 0;
}

int qbuf(Cam& cam, Handle& h, v4l2_buffer* b) {
    if (b->type != kCapture) return errno = EINVAL, -1;
    if (cam.q.owner != &h) return errno = EBUSY, -1;
    Queue& q = cam.q;
    if (b->index >= q.bufs.size() || b->memory != V4L2_MEMORY_MMAP) return errno = EINVAL, -1;
    Buffer& buf = q.bufs[b->index];
    if (buf.state != BufState::Dequeued) return errno = EINVAL, -1;
    // A buffer mapped since the last look (mapped after its QUERYBUF, as
    // every program does) is written back MAPPED, as the driver does.
    if (!buf.mapped) refresh_mapped(cam);
    uint64_t now = now_ns();
    advance_locked(cam, now);  // frames due before this buffer came are lost
    buf.state = BufState::Queued;
    buf.filled = false;
    q.queued.push_back(b->index);
    q.waiting_for_buffers = false;
    // Written back as queued, even where a due frame fills it at once.
    fill_buffer(q, b->index, b);
    advance_locked(cam, now);
    wake_locked();
    return 0;
}

int dqbuf(Cam& cam, Handle& h, int fd, v4l2_buffer* b, std::unique_lock<std::mutex>& lock) {
    if (b->type != kCapture) return errno = EINVAL, -1;
    if (cam.q.owner != &h) return errno = EBUSY, -1;
    Queue& q = cam.q;
    for (;;) {
        if (cam.unplugged || cam.removed) return errno = ENODEV, -1;
        if (cam.q.owner != &h) return errno = EBUSY, -1;
        if (!q.streaming) return errno = EINVAL, -1;
        advance_locked(cam, now_ns());
        if (!q.done.empty()) break;
        if (nonblocking(fd)) return errno = EAGAIN, -1;
        uint64_t due = next_due_locked(cam);
        if (due) {
            auto when = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due));
            state().cv.wait_until(lock, when);
        } else {
            state().cv.wait(lock);
        }
    }
    uint32_t idx = q.done.front();
    q.done.pop_front();
    Buffer& buf = q.bufs[idx];
    buf.state = BufState::Dequeued;
    if (!(cam.cfg.still && buf.drawn)) {
        // Draw outside the lock: encoding a large frame takes a while.
        uint64_t gen = q.generation;
        uint32_t seq = buf.sequence;
        int corrupt = 0;
        auto it = cam.corrupt_frames.find(seq);
        if (it != cam.corrupt_frames.end()) {
            corrupt = 1 + int(it->second);
            cam.corrupt_frames.erase(it);
        }
        Queue snapshot;
        snapshot.fourcc = q.fourcc;
        snapshot.width = q.width;
        snapshot.height = q.height;
        snapshot.length = q.length;
        snapshot.stride = q.stride;
        lock.unlock();
        uint32_t used = produce_frame(cam, snapshot, idx, seq, corrupt);
        lock.lock();
        if (q.generation != gen || idx >= q.bufs.size()) return errno = EINVAL, -1;
        q.bufs[idx].bytesused = used;
        q.bufs[idx].drawn = true;
    }
    fill_buffer(q, idx, b);
    ++cam.delivered;
    if (cam.unplug_after > 0 && --cam.unplug_after == 0) {
        cam.unplugged = true;
        cam.unplug_after = -1;
        wake_locked();
    }
    return 0;
}

}  // namespace

void refresh_mapped(Cam& cam) {
    Queue& q = cam.q;
    for (Buffer& b : q.bufs) b.mapped = false;
    if (q.bufs.empty() || q.stride == 0) return;
    Busy busy;
    FILE* f = fopen("/proc/self/maps", "re");
    if (!f) return;
    std::string name = "/memfd:simcam:" + cam.cfg.node + " ";
    char line[512];
    while (fgets(line, sizeof line, f)) {
        if (!strstr(line, name.c_str())) continue;
        unsigned long lo = 0, hi = 0, off = 0;
        if (sscanf(line, "%lx-%lx %*s %lx", &lo, &hi, &off) != 3) continue;
        unsigned long end = off + (hi - lo);
        for (size_t i = 0; i < q.bufs.size(); ++i) {
            unsigned long b0 = i * q.stride, b1 = b0 + q.length;
            if (off < b1 && end > b0) q.bufs[i].mapped = true;
        }
    }
    fclose(f);
}

int v4l2_request_locked(Handle& h, int fd, uint32_t request, void* arg,
                        std::unique_lock<std::mutex>& lock) {
    Cam& cam = *h.cam;
    switch (request) {
        case VIDIOC_QUERYCAP:
            return querycap(cam, h.meta, static_cast<v4l2_capability*>(arg));
        case VIDIOC_ENUM_FMT:
            return enum_fmt(cam, static_cast<v4l2_fmtdesc*>(arg));
        case VIDIOC_ENUM_FRAMESIZES:
            return enum_framesizes(cam, static_cast<v4l2_frmsizeenum*>(arg));
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return enum_frameintervals(cam, static_cast<v4l2_frmivalenum*>(arg));
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != kCapture) return errno = EINVAL, -1;
            fill_pix(cam, f, cur_fourcc(cam), cam.width, cam.height);
            return 0;
        }
        case VIDIOC_TRY_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != kCapture) return errno = EINVAL, -1;
            try_format(cam, f);
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != kCapture) return errno = EINVAL, -1;
            if (!acquire(cam, h)) return errno = EBUSY, -1;
            v4l2_format tried = *f;
            const Format& fmt = try_format(cam, &tried);
            if (!cam.q.bufs.empty()) return errno = EBUSY, -1;
            *f = tried;
            cam.fmt = size_t(&fmt - &cam.cfg.formats[0]);
            cam.width = f->fmt.pix.width;
            cam.height = f->fmt.pix.height;
            if (const FrameSize* fs = cur_frame(cam))
                cam.interval = nearest_interval(*fs, cam.interval);
            return 0;
        }
        case VIDIOC_G_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (p->type != kCapture) return errno = EINVAL, -1;
            get_parm(cam, p);
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (p->type != kCapture) return errno = EINVAL, -1;
            if (!acquire(cam, h)) return errno = EBUSY, -1;
            if (cam.q.streaming) return errno = EBUSY, -1;
            Interval want{p->parm.capture.timeperframe.numerator,
                          p->parm.capture.timeperframe.denominator};
            const FrameSize* fs = cur_frame(cam);
            if (cam.cfg.timeperframe && fs) cam.interval = nearest_interval(*fs, want);
            get_parm(cam, p);
            return 0;
        }
        case VIDIOC_ENUMINPUT: {
            auto* in = static_cast<v4l2_input*>(arg);
            if (in->index != 0) return errno = EINVAL, -1;
            memset(in, 0, sizeof *in);
            copy_str(in->name, sizeof in->name, "Camera 1");
            in->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_S_INPUT:
            if (!acquire(cam, h)) return errno = EBUSY, -1;
            if (*static_cast<unsigned*>(arg) != 0) return errno = EINVAL, -1;
            return 0;
        case VIDIOC_REQBUFS:
            return reqbufs(cam, h, static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->type != kCapture) return errno = EINVAL, -1;
            if (cam.q.owner != &h) return errno = EBUSY, -1;
            if (b->index >= cam.q.bufs.size()) return errno = EINVAL, -1;
            refresh_mapped(cam);
            fill_buffer(cam.q, b->index, b);
            return 0;
        }
        case VIDIOC_QBUF:
            return qbuf(cam, h, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_DQBUF:
            return dqbuf(cam, h, fd, static_cast<v4l2_buffer*>(arg), lock);
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(arg) != int(kCapture)) return errno = EINVAL, -1;
            // Only the handle holding the queue may stream; REQBUFS(0) gave
            // the claim up.
            if (cam.q.owner != &h) return errno = EBUSY, -1;
            if (request == VIDIOC_STREAMOFF) {
                stop_stream(cam);
                return 0;
            }
            if (cam.q.streaming) return 0;
            if (cam.q.bufs.empty()) return errno = EINVAL, -1;
            start_stream(cam);
            return 0;
        }
        default:
            return errno = ENOTTY, -1;
    }
}

}  // namespace detail
}  // namespace simcam
