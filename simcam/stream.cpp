// The camera's frame clock: which queued buffer is filled when, and what
// goes into it.
#include <errno.h>
#include <linux/videodev2.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

void complete(Cam& cam, uint64_t time_ns) {
    Queue& q = cam.q;
    uint32_t idx = q.queued.front();
    q.queued.pop_front();
    Buffer& b = q.bufs[idx];
    b.state = BufState::Done;
    b.filled = true;
    b.ever_filled = true;
    b.sequence = q.next_seq++;
    b.time_ns = time_ns;
    b.error = cam.error_frames.erase(b.sequence) > 0;
    q.done.push_back(idx);
}

void fake_h264(std::vector<uint8_t>& out, const uint8_t* yuyv, uint32_t w, uint32_t h) {
    // Not decodable: an access unit delimiter and a filler NAL carrying a
    // slice of the picture, enough for clients that only pass bytes along.
    static const uint8_t head[] = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x0c};
    out.assign(head, head + sizeof head);
    size_t n = size_t(w) * h / 8;
    for (size_t i = 0; i < n; ++i) out.push_back(yuyv[i * 2] | 1);
    out.push_back(0x80);
}

}  // namespace

void corrupt_jpeg(std::vector<uint8_t>& jpeg, int how) {
    if (how == 1 + int(Corruption::Truncated)) {
        jpeg.resize(jpeg.size() / 2);
        return;
    }
    // Garbage: the start-of-image marker stays, everything after it is noise.
    uint32_t x = 0x12345678u;
    for (size_t i = 2; i < jpeg.size(); ++i) {
        x = x * 1103515245u + 12345u;
        jpeg[i] = uint8_t(x >> 24);
    }
}

void advance_locked(Cam& cam, uint64_t now) {
    Queue& q = cam.q;
    if (!q.streaming || cam.holding) return;
    bool any = !q.queued.empty();
    if (!cam.cfg.paced) {
        while (!q.queued.empty()) complete(cam, now);
    } else {
        for (;;) {
            uint64_t due = q.t0_ns + q.next_frame * q.interval_ns;
            if (due > now) break;
            if (q.queued.empty()) {
                // Every frame due until now finds no buffer: dropped, but
                // counted, so the sequence numbers show the gap.
                uint64_t last = (now - q.t0_ns) / q.interval_ns;
                q.next_seq += uint32_t(last - q.next_frame + 1);
                q.next_frame = last + 1;
                break;
            }
            complete(cam, due);
            ++q.next_frame;
        }
    }
    if (any && !q.done.empty()) wake_locked();
}

uint64_t next_due_locked(Cam& cam) {
    Queue& q = cam.q;
    if (!q.streaming || !cam.cfg.paced || q.queued.empty() || cam.holding) return 0;
    return q.t0_ns + q.next_frame * q.interval_ns;
}

short poll_events_locked(Handle& h, short events) {
    Cam& cam = *h.cam;
    if (cam.unplugged || cam.removed) return POLLERR | POLLHUP;
    short pri = (events & POLLPRI) && !h.events.empty() ? POLLPRI : 0;
    if (!(events & (POLLIN | POLLRDNORM))) return pri;
    Queue& q = cam.q;
    if (h.meta || !q.streaming || q.waiting_for_buffers) return short(POLLERR | pri);
    advance_locked(cam, now_ns());
    return short((q.done.empty() ? 0 : events & (POLLIN | POLLRDNORM)) | pri);
}

const std::vector<uint8_t>& frame_bytes(const Camera& cfg, uint32_t fourcc, uint32_t width,
                                        uint32_t height, uint32_t sequence, int corrupt) {
    thread_local std::vector<uint8_t> yuyv, out;
    yuyv.resize(size_t(width) * height * 2);
    render_yuyv(width, height, sequence, yuyv.data());
    if (fourcc == V4L2_PIX_FMT_MJPEG) {
        out = encode_mjpeg(yuyv.data(), width, height, cfg.mjpeg_huffman);
        if (corrupt) corrupt_jpeg(out, corrupt);
        return out;
    }
    if (fourcc == V4L2_PIX_FMT_H264) {
        fake_h264(out, yuyv.data(), width, height);
        return out;
    }
    return yuyv;
}

uint32_t produce_frame(const Cam& cam, const Queue& q, uint32_t index, uint32_t sequence,
                       int corrupt) {
    const std::vector<uint8_t>& frame =
        frame_bytes(cam.cfg, q.fourcc, q.width, q.height, sequence, corrupt);
    const uint8_t* data = frame.data();
    size_t n = frame.size();
    if (n > q.length) n = q.length;
    off_t off = off_t(index) * q.stride;
    size_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(cam.memfd, data + done, n - done, off + off_t(done));
        if (w <= 0) break;
        done += size_t(w);
    }
    return uint32_t(n);
}

}  // namespace detail
}  // namespace simcam
