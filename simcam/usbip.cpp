// The camera as a USB UVC device on a USB/IP socket: descriptors generated
// from the camera description, control requests answered from the same
// control and register state as the V4L2 face, frames streamed over a bulk
// IN endpoint.
#include <errno.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <sstream>
#include <thread>

#include "internal.h"
#include "usb_desc.h"

namespace simcam {
namespace detail {
namespace {

constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr int kHeader = 48;
constexpr uint32_t kMaxControl = 4096;  // longest control transfer we accept

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool read_full(int fd, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool write_full(int fd, const void* buf, size_t n) {
    auto* p = static_cast<const uint8_t*>(buf);
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

struct Urb {
    uint32_t seqnum;
    uint32_t length;
};

// What a frame's bytes depend on.
struct FrameKey {
    uint32_t fourcc = 0, width = 0, height = 0, seq = 0;
    bool huffman = false;
    bool operator==(const FrameKey& o) const {
        return fourcc == o.fourcc && width == o.width && height == o.height && seq == o.seq &&
               huffman == o.huffman;
    }
};

// Draws and compresses the next frames on threads of their own while the
// current one goes out, so that a frame is ready when it is due even where
// compressing one takes longer than a frame interval (a slow or emulated
// machine): with two threads two frames are under way at once. The picture
// is the camera's own (frame_bytes); faults are applied when a frame is
// taken, so marks for "the next N frames" meet the frames the host receives.
class FrameMaker {
  public:
    FrameMaker()
        : efd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          threads_(std::max(1u, std::min(2u, std::thread::hardware_concurrency()))) {}
    ~FrameMaker() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            quit_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : workers_) t.join();
        if (efd_ >= 0) close(efd_);
    }
    FrameMaker(const FrameMaker&) = delete;
    FrameMaker& operator=(const FrameMaker&) = delete;

    // Readable when a frame is done; drain() clears it.
    int fd() const { return efd_; }
    void drain() {
        uint64_t n;
        ssize_t r = read(efd_, &n, sizeof n);
        (void)r;
    }

    // Frames k, k+1, ... (one per thread) are to be made; others are dropped.
    void want(const FrameKey& k) {
        std::lock_guard<std::mutex> lock(mu_);
        auto wanted = [&](const FrameKey& x) {
            FrameKey y = x;
            y.seq = k.seq;
            return y == k && x.seq - k.seq < threads_;
        };
        for (auto it = jobs_.begin(); it != jobs_.end();)
            it = wanted((*it)->key) ? std::next(it) : jobs_.erase(it);
        for (uint32_t i = 0; i < threads_; ++i) {
            FrameKey x = k;
            x.seq += i;
            bool have = false;
            for (auto& j : jobs_) have |= j->key == x;
            if (!have) {
                auto j = std::make_shared<Job>();
                j->key = x;
                jobs_.push_back(j);
            }
        }
        while (workers_.size() < threads_) workers_.emplace_back([this] { run(); });
        cv_.notify_all();
    }

    // Frame `k` if it is done (then true); otherwise asks for it.
    bool take(const FrameKey& k, std::vector<uint8_t>* out) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
                if ((*it)->key == k && (*it)->done) {
                    out->swap((*it)->bytes);
                    jobs_.erase(it);
                    return true;
                }
        }
        want(k);
        return false;
    }

  private:
    struct Job {
        FrameKey key;
        bool started = false, done = false;
        std::vector<uint8_t> bytes;
    };

    void run() {
        Busy busy;  // the eventfd is ours, not a simulated descriptor
        Camera cfg;
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            std::shared_ptr<Job> job;
            cv_.wait(lock, [&] {
                for (auto& j : jobs_)
                    if (!j->started) {
                        job = j;
                        break;
                    }
                return quit_ || job;
            });
            if (quit_) return;
            job->started = true;
            lock.unlock();
            cfg.mjpeg_huffman = job->key.huffman;
            std::vector<uint8_t> bytes =
                frame_bytes(cfg, job->key.fourcc, job->key.width, job->key.height, job->key.seq, 0);
            lock.lock();
            job->bytes.swap(bytes);
            job->done = true;  // a job dropped meanwhile just goes away
            uint64_t one = 1;
            ssize_t r = write(efd_, &one, sizeof one);
            (void)r;
        }
    }

    int efd_;
    uint32_t threads_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::thread> workers_;
    bool quit_ = false;
    // Frames wanted, oldest first: waiting, under way or done.
    std::deque<std::shared_ptr<Job>> jobs_;
};

struct Server {
    int sock;
    std::string node;
    UsbDescriptors desc;
    std::deque<Urb> bulk;  // bulk IN transfers waiting for data
    // Negotiated stream (probe and commit) and the frame being sent.
    Negotiation probe, commit;
    bool streaming = false;
    uint64_t t0 = 0, interval_ns = 0, next_index = 1;
    std::vector<uint8_t> frame;
    size_t sent = 0;
    bool in_frame = false, frame_error = false;
    uint8_t fid = 0;
    uint8_t error_code = 0;  // VC request error code of the last stall
    FrameMaker maker;
    bool drawing = false;  // a due frame waits for the maker

    FrameKey next_key(const Cam& cam) const {
        const UsbFrame& f = desc.frame(commit);
        FrameKey k;
        k.fourcc = f.fourcc;
        k.width = f.width;
        k.height = f.height;
        k.seq = cam.usb_next_seq;
        k.huffman = cam.cfg.mjpeg_huffman;
        return k;
    }

    // `len` bytes of IN data follow; an OUT transfer reports `out_done` bytes taken.
    bool reply(uint32_t seqnum, int status, const uint8_t* data, uint32_t len,
               uint32_t out_done = 0) {
        uint8_t h[kHeader] = {};
        put32(h, kRetSubmit);
        put32(h + 4, seqnum);
        put32(h + 20, uint32_t(status));
        put32(h + 24, len ? len : out_done);
        return write_full(sock, h, sizeof h) && (!len || write_full(sock, data, len));
    }
};

// Auto exposure: V4L2 menu index <-> UVC mode bit.
constexpr int32_t kAeModes[4] = {2, 1, 4, 8};  // auto, manual, shutter, aperture priority
int32_t to_uvc(uint32_t id, int32_t v) {
    return id == V4L2_CID_EXPOSURE_AUTO ? (v >= 0 && v < 4 ? kAeModes[v] : 0) : v;
}
int32_t from_uvc(uint32_t id, int32_t v) {
    if (id != V4L2_CID_EXPOSURE_AUTO) return v;
    for (int i = 0; i < 4; ++i)
        if (to_uvc(id, i) == v) return i;
    return -1;
}

// Request error codes (VC_REQUEST_ERROR_CODE_CONTROL).
constexpr uint8_t kWrongState = 2, kOutOfRange = 4, kInvalidControl = 6, kInvalidRequest = 7,
                  kInvalidValue = 8;

// A class request on a processing-unit or camera-terminal control. False = stall.
bool unit_request(Server& s, Cam& cam, uint8_t req, uint8_t unit, uint8_t sel, uint8_t* data,
                  uint32_t* len) {
    const UvcControl* u = nullptr;
    for (const UvcControl& x : kUvcControls)
        if (x.unit == unit && x.selector == sel && find_control(cam, x.id)) u = &x;
    if (!u) return s.error_code = kInvalidControl, false;
    Control& c = *find_control(cam, u->id);
    int32_t v;
    switch (req) {
        case UVC_GET_INFO:
            data[0] = UVC_CONTROL_CAP_GET | UVC_CONTROL_CAP_SET;
            *len = 1;
            return true;
        case UVC_GET_LEN:
            data[0] = u->size;
            data[1] = 0;
            *len = 2;
            return true;
        case UVC_GET_CUR:
            v = to_uvc(c.id, c.value);
            break;
        case UVC_GET_DEF:
            v = to_uvc(c.id, c.def);
            break;
        case UVC_GET_MIN:
            v = c.id == V4L2_CID_EXPOSURE_AUTO ? 0 : c.min;
            break;
        case UVC_GET_MAX:
            v = c.id == V4L2_CID_EXPOSURE_AUTO ? 0 : c.max;
            break;
        case UVC_GET_RES:
            // The auto exposure modes offered, as a bitmap.
            if (c.id == V4L2_CID_EXPOSURE_AUTO) {
                v = 0;
                for (int i = 0; i < 4; ++i)
                    if (c.menu_mask >> i & 1) v |= to_uvc(c.id, i);
            } else {
                v = c.step;
            }
            break;
        case UVC_SET_CUR: {
            if (*len != u->size) return s.error_code = kInvalidRequest, false;
            int32_t raw = 0;
            for (int i = u->size; i-- > 0;) raw = raw << 8 | data[i];
            if (u->size == 2) raw = int16_t(raw);  // signed ranges (brightness, hue)
            int32_t val = from_uvc(c.id, raw);
            // The driver clamps before it sends; a device stalls on a value
            // outside its range.
            if (c.type != V4L2_CTRL_TYPE_MENU && (val < c.min || val > c.max))
                return s.error_code = kOutOfRange, false;
            int err = c.id == V4L2_CID_EXPOSURE_AUTO && val < 0
                          ? EINVAL
                          : set_control_locked(cam, nullptr, c, val);
            if (err == EACCES) return s.error_code = kWrongState, false;
            if (err == ERANGE) return s.error_code = kOutOfRange, false;
            if (err) return s.error_code = kInvalidValue, false;
            *len = 0;
            return true;
        }
        default:
            return s.error_code = kInvalidRequest, false;
    }
    for (int i = 0; i < u->size; ++i) data[i] = uint8_t(uint32_t(v) >> (8 * i));
    *len = u->size;
    return true;
}

// The extension unit: the very request handling of UVCIOC_CTRL_QUERY.
bool xu_request(Server& s, Cam& cam, uint8_t req, uint8_t sel, uint8_t* data, uint32_t* len) {
    uvc_xu_control_query q = {};
    q.unit = kXuId;
    q.selector = sel;
    q.query = req;
    q.size = uint16_t(req == UVC_GET_LEN ? 2 : req == UVC_GET_INFO ? 1 : *len);
    q.data = data;
    // The camera reports a refused register transaction as a request in the
    // wrong state; the driver turns that into EILSEQ, as the V4L2 face answers.
    if (*len < q.size || uvc_request_locked(cam, UVCIOC_CTRL_QUERY, &q) != 0) {
        s.error_code = errno == ENOENT ? kInvalidControl : kWrongState;
        return false;
    }
    *len = req == UVC_SET_CUR ? 0 : q.size;
    return true;
}

void start_stream(Server& s, Cam& cam) {
    const UsbFrame& f = s.desc.frame(s.commit);
    s.streaming = true;
    s.t0 = now_ns();
    s.interval_ns = uint64_t(s.commit.interval) * 100;
    if (!s.interval_ns) s.interval_ns = f.default_interval * 100ull;
    s.next_index = 1;
    s.in_frame = false;
    s.drawing = false;
    s.bulk.clear();
    // Frame numbers restart; marks made for the next frames move with them.
    uint32_t base = cam.usb_next_seq;
    std::set<uint32_t> errors;
    for (uint32_t seq : cam.error_frames) errors.insert(seq >= base ? seq - base : seq);
    cam.error_frames.swap(errors);
    std::map<uint32_t, Corruption> corrupt;
    for (auto& kv : cam.corrupt_frames)
        corrupt[kv.first >= base ? kv.first - base : kv.first] = kv.second;
    cam.corrupt_frames.swap(corrupt);
    cam.usb_next_seq = 0;
    s.maker.want(s.next_key(cam));
}

bool streaming_request(Server& s, Cam& cam, uint8_t req, uint8_t sel, uint8_t* data,
                       uint32_t* len) {
    if (sel != UVC_VS_PROBE_CONTROL && sel != UVC_VS_COMMIT_CONTROL)
        return s.error_code = kInvalidControl, false;
    Negotiation& n = sel == UVC_VS_PROBE_CONTROL ? s.probe : s.commit;
    switch (req) {
        case UVC_GET_INFO:
            data[0] = UVC_CONTROL_CAP_GET | UVC_CONTROL_CAP_SET;
            *len = 1;
            return true;
        case UVC_GET_LEN:
            data[0] = kProbeSize;
            data[1] = 0;
            *len = 2;
            return true;
        case UVC_SET_CUR: {
            if (*len < kProbeSize) return s.error_code = kInvalidRequest, false;
            n = s.desc.negotiate(data);
            if (sel == UVC_VS_COMMIT_CONTROL) start_stream(s, cam);
            *len = 0;
            return true;
        }
        case UVC_GET_CUR:
        case UVC_GET_MIN:
        case UVC_GET_MAX:
        case UVC_GET_DEF: {
            Negotiation x = req == UVC_GET_CUR ? n : s.desc.negotiate(nullptr);
            s.desc.write_probe(x, data);
            *len = std::min<uint32_t>(*len, kProbeSize);
            return true;
        }
    }
    return s.error_code = kInvalidRequest, false;
}

// Stops the stream: the host cleared the endpoint halt or reset the interface.
void stop_stream(Server& s) {
    s.streaming = false;
    s.in_frame = false;
}

// A control transfer on endpoint 0. Returns the status for RET_SUBMIT.
int control(Server& s, Cam& cam, const uint8_t* setup, uint8_t* data, uint32_t* len) {
    uint8_t type = setup[0], req = setup[1];
    uint16_t value = uint16_t(setup[2] | setup[3] << 8), index = uint16_t(setup[4] | setup[5] << 8);
    uint32_t want = uint32_t(setup[6] | setup[7] << 8);
    bool in = type & 0x80;
    if (in) *len = std::min(*len, want);
    if ((type & 0x60) == 0) {  // standard
        switch (req) {
            case 0x06: {  // GET_DESCRIPTOR
                const std::vector<uint8_t>* d = s.desc.get(uint8_t(value >> 8), uint8_t(value));
                if (!d) return -EPIPE;
                *len = std::min<uint32_t>(*len, uint32_t(d->size()));
                memcpy(data, d->data(), *len);
                return 0;
            }
            case 0x00:  // GET_STATUS
                memset(data, 0, 2);
                *len = std::min<uint32_t>(*len, 2);
                return 0;
            case 0x08:  // GET_CONFIGURATION
                data[0] = 1;
                *len = std::min<uint32_t>(*len, 1);
                return 0;
            case 0x0A:  // GET_INTERFACE
                data[0] = 0;
                *len = std::min<uint32_t>(*len, 1);
                return 0;
            case 0x01:  // CLEAR_FEATURE: a halt cleared on the video endpoint ends the stream
                if ((type & 0x1F) == 2 && (index & 0xFF) == kBulkEp) stop_stream(s);
                *len = 0;
                return 0;
            case 0x0B:  // SET_INTERFACE
                if (index == 1) stop_stream(s);
                *len = 0;
                return 0;
            case 0x03:  // SET_FEATURE
            case 0x05:  // SET_ADDRESS
            case 0x09:  // SET_CONFIGURATION
                *len = 0;
                return 0;
        }
        return -EPIPE;
    }
    if ((type & 0x60) != 0x20 || (type & 0x1F) != 1) return -EPIPE;  // class, interface
    uint8_t entity = uint8_t(index >> 8), intf = uint8_t(index), sel = uint8_t(value >> 8);
    if (!in && req != UVC_SET_CUR) return -EPIPE;
    if (in && req == UVC_SET_CUR) return -EPIPE;
    bool ok;
    if (intf == 1 && entity == 0) {
        ok = streaming_request(s, cam, req, sel, data, len);
    } else if (intf == 0 && entity == 0 && sel == UVC_VC_REQUEST_ERROR_CODE_CONTROL &&
               req == UVC_GET_CUR) {
        data[0] = s.error_code;
        *len = std::min<uint32_t>(*len, 1);
        return 0;
    } else if (intf == 0 && entity == kXuId) {
        ok = xu_request(s, cam, req, sel, data, len);
    } else if (intf == 0) {
        ok = unit_request(s, cam, req, entity, sel, data, len);
    } else {
        ok = (s.error_code = kInvalidControl, false);
    }
    if (!ok) return -EPIPE;
    s.error_code = 0;
    return 0;
}

// Answers waiting bulk transfers with payloads of the frame being sent, and
// starts frames when they are due.
bool pump(Server& s, Cam& cam, uint64_t now) {
    while (!s.bulk.empty() && s.streaming && !cam.holding) {
        if (!s.in_frame) {
            uint64_t due = s.t0 + s.next_index * s.interval_ns;
            if (due > now) return true;
            // Not drawn yet: the maker's descriptor wakes the loop.
            FrameKey key = s.next_key(cam);
            s.drawing = !s.maker.take(key, &s.frame);
            if (s.drawing) return true;
            // A late frame goes out now and the clock restarts from it: frames
            // are numbered as they are sent, so marks for "the next N frames"
            // meet the frames the host receives.
            if (now - due >= s.interval_ns) {
                s.t0 = now;
                s.next_index = 0;
            }
            ++s.next_index;
            uint32_t seq = cam.usb_next_seq++;
            ++key.seq;
            s.maker.want(key);
            auto it = cam.corrupt_frames.find(seq);
            if (it != cam.corrupt_frames.end()) {
                if (key.fourcc == V4L2_PIX_FMT_MJPEG) corrupt_jpeg(s.frame, 1 + int(it->second));
                cam.corrupt_frames.erase(it);
            }
            s.frame_error = cam.error_frames.erase(seq) > 0;
            s.sent = 0;
            s.in_frame = true;
            s.fid ^= UVC_STREAM_FID;
        }
        Urb u = s.bulk.front();
        s.bulk.pop_front();
        uint32_t room = std::min(u.length, kMaxPayload);
        if (room < 2) {
            if (!s.reply(u.seqnum, 0, nullptr, 0)) return false;
            continue;
        }
        size_t n = std::min<size_t>(room - 2, s.frame.size() - s.sent);
        std::vector<uint8_t> p(2 + n);
        p[0] = 2;
        p[1] = uint8_t(UVC_STREAM_EOH | s.fid);
        if (s.frame_error) p[1] |= UVC_STREAM_ERR;
        memcpy(p.data() + 2, s.frame.data() + s.sent, n);
        s.sent += n;
        if (s.sent == s.frame.size()) {
            p[1] |= UVC_STREAM_EOF;
            s.in_frame = false;
            ++cam.delivered;
            if (cam.unplug_after > 0 && --cam.unplug_after == 0) {
                cam.unplugged = true;
                cam.unplug_after = -1;
            }
        }
        if (!s.reply(u.seqnum, 0, p.data(), uint32_t(p.size()))) return false;
    }
    return true;
}

// One USB/IP command from the host. False ends the service.
bool command(Server& s) {
    uint8_t h[kHeader];
    if (!read_full(s.sock, h, sizeof h)) return false;
    uint32_t cmd = get32(h), seqnum = get32(h + 4), dir = get32(h + 12), ep = get32(h + 16);
    if (cmd == kCmdUnlink) {
        uint32_t victim = get32(h + 20);
        int status = 0;
        for (auto it = s.bulk.begin(); it != s.bulk.end(); ++it)
            if (it->seqnum == victim) {
                s.bulk.erase(it);
                status = -ECONNRESET;
                break;
            }
        uint8_t r[kHeader] = {};
        put32(r, kRetUnlink);
        put32(r + 4, seqnum);
        put32(r + 20, uint32_t(status));
        return write_full(s.sock, r, sizeof r);
    }
    if (cmd != kCmdSubmit) return false;
    uint32_t length = get32(h + 24);
    std::vector<uint8_t> data;
    if (dir == 0) {  // OUT: the data follows
        if (length > kMaxControl) return false;
        data.resize(length);
        if (length && !read_full(s.sock, data.data(), length)) return false;
    }
    std::lock_guard<std::mutex> lock(state().mu);
    std::shared_ptr<Cam> cam = find_cam_locked(s.node);
    if (!cam) return false;
    if (ep == 0) {
        if (dir == 1) {
            if (length > kMaxControl) length = kMaxControl;
            data.assign(length, 0);
        }
        uint32_t len = length;
        int status = control(s, *cam, h + 40, data.data(), &len);
        if (status) len = 0;
        if (dir == 1) return s.reply(seqnum, status, data.data(), len);
        return s.reply(seqnum, status, nullptr, 0, status ? 0 : length);
    }
    if (ep == (kBulkEp & 0x0F) && dir == 1) {
        s.bulk.push_back({seqnum, length});
        return pump(s, *cam, now_ns());
    }
    return s.reply(seqnum, -EPIPE, nullptr, 0);
}

}  // namespace
}  // namespace detail

using namespace detail;

int usbip_command(const std::string& node, const std::string& line) {
    return camera_command(node, line, Face::Usb);
}

int usbip_serve(int sock, const std::string& node, int control_fd, int stop_fd) {
    Busy busy;  // our own socket calls go straight to libc
    Server s;
    s.sock = sock;
    s.node = node;
    {
        std::lock_guard<std::mutex> lock(state().mu);
        ensure_loaded_locked();
        std::shared_ptr<Cam> cam = find_cam_locked(node);
        if (!cam || cam->unplugged) return -1;
        s.desc = build_descriptors(cam->cfg, cam->controls);
    }
    s.probe = s.commit = s.desc.negotiate(nullptr);
    std::string pending;
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(state().mu);
            std::shared_ptr<Cam> cam = find_cam_locked(node);
            if (!cam || cam->unplugged || cam->removed) return 1;
            uint64_t now = now_ns();
            if (!pump(s, *cam, now)) return -1;
            if (cam->unplugged) return 1;
            if (!s.bulk.empty() && s.streaming && !s.in_frame && !cam->holding && !s.drawing) {
                uint64_t due = s.t0 + s.next_index * s.interval_ns;
                timeout = due > now ? int((due - now + 999999) / 1000000) : 0;
            } else if (cam->holding || cam->unplug_after >= 0) {
                timeout = 50;  // a command from the API may change this
            }
        }
        pollfd p[4] = {{sock, POLLIN, 0},
                       {control_fd, POLLIN, 0},
                       {stop_fd, POLLIN, 0},
                       {s.maker.fd(), POLLIN, 0}};
        int r = poll(p, 4, timeout);
        if (r < 0 && errno != EINTR) return -1;
        if (r <= 0) continue;
        if (p[2].revents) return 2;
        if (p[3].revents & POLLIN) {
            s.maker.drain();
            s.drawing = false;
        }
        if (p[1].revents & POLLIN) {
            char buf[256];
            ssize_t n = read(control_fd, buf, sizeof buf);
            if (n > 0) pending.append(buf, size_t(n));
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                int what = usbip_command(node, line);
                if (what < 0) fprintf(stderr, "simcam-usbip: unknown command: %s\n", line.c_str());
                if (what == 1) return 1;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!command(s)) return 0;
        }
    }
}

}  // namespace simcam
