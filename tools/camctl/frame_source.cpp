#include "frame_source.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "camapi.h"
#include "jpeg_header.h"
#include "status.h"
#include "stop_signal.h"
#include "ui.h"

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {

// The driver may adjust the size (and, asked for a format it lacks, the
// format): what it granted is what the frames will be.
bool granted_format(const FrameSource& src, Capture* c) {
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(g_fd[src.slot], static_cast<int>(VIDIOC_G_FMT), &fmt) != 0) return false;
    if (fmt.fmt.pix.pixelformat != c->fourcc || fmt.fmt.pix.width != c->width ||
        fmt.fmt.pix.height != c->height)
        ui::note("%s: the driver granted %s %ux%u", src.prog,
                 fourcc_text(fmt.fmt.pix.pixelformat).c_str(), fmt.fmt.pix.width,
                 fmt.fmt.pix.height);
    c->fourcc = fmt.fmt.pix.pixelformat;
    c->width = fmt.fmt.pix.width;
    c->height = fmt.fmt.pix.height;

    // The rate too may be the nearest the camera has.
    struct v4l2_streamparm parm;
    memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(g_fd[src.slot], static_cast<int>(VIDIOC_G_PARM), &parm) != 0) return false;
    const v4l2_fract& t = parm.parm.capture.timeperframe;
    if (t.numerator && t.denominator &&
        (t.numerator != c->numerator || t.denominator != c->denominator)) {
        ui::note("%s: the driver set %s", src.prog, rate_text(t.denominator, t.numerator).c_str());
        c->denominator = t.denominator;
        c->numerator = t.numerator;
    }
    return true;
}

// Names what the open would trip over later with a camapi message of its
// own: a node that opens but is no video capture device (a file, /dev/null,
// a camera's metadata node). Other failures are left to the open to report.
bool is_capture_device(const char* prog, const char* device) {
    const int fd = open(device, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    const bool queried = xioctl(fd, static_cast<int>(VIDIOC_QUERYCAP), &cap) == 0;
    const int err = errno;
    close(fd);
    const uint32_t caps =
        cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
    // ENOSYS: an emulator (qemu-user) that has no translation of the
    // request for this kind of file says so instead of ENOTTY.
    if (queried ? (caps & V4L2_CAP_VIDEO_CAPTURE) != 0
                : err != ENOTTY && err != EINVAL && err != ENOSYS)
        return true;
    fprintf(stderr, "%s: %s is not a V4L2 capture device (see camctl list)\n", prog, device);
    return false;
}

// A frame that would show as damaged: shorter than the granted size, or an
// MJPG frame that is no whole JPEG image of that size.
bool is_whole(const FrameSource& src) {
    const Capture& c = src.capture;
    const unsigned char* data = src.data.data();
    const size_t size = static_cast<size_t>(src.size);
    if (c.fourcc == V4L2_PIX_FMT_YUYV) return size >= size_t{c.width} * c.height * 2;
    if (c.fourcc != V4L2_PIX_FMT_MJPEG) return size > 0;
    JpegHeader h;
    return read_jpeg_header(data, size, &h) && h.width == c.width && h.height == c.height &&
           jpeg_is_complete(data, size);
}

}  // namespace

bool start_frames(const char* prog, const Capture& wanted, int slot, FrameSource* src) {
    src->prog = prog;
    src->slot = slot;
    src->capture = wanted;
    const Capture& c = wanted;
    if (!is_capture_device(prog, c.device.c_str())) return false;
    if (cam_open(slot, c.device.c_str(), c.fourcc, c.width, c.height, c.denominator, c.numerator) !=
        0) {
        fprintf(stderr, "%s: cannot open %s as %s %ux%u at %s: %s\n", prog, c.device.c_str(),
                fourcc_text(c.fourcc).c_str(), c.width, c.height,
                rate_text(c.denominator, c.numerator).c_str(), strerror(errno));
        return false;
    }
    const char* what = nullptr;
    if (!granted_format(*src, &src->capture))
        what = "cannot read the format of";
    else if (cam_play(slot) != 0)
        what = "cannot start streaming from";
    if (what) {
        int err = errno;
        fprintf(stderr, "%s: %s %s: %s\n", prog, what, c.device.c_str(), strerror(err));
        cam_close(slot);
        return false;
    }
    size_t capacity = 0;
    for (uint32_t len : g_mem_len[slot])
        if (len > capacity) capacity = len;
    src->data.assign(capacity, 0);
    src->waiting_since = src->previous_since = now_seconds();
    return true;
}

Wait next_frame(FrameSource* src) {
    const int slot = src->slot;
    for (;;) {
        // The timeout counts from the last good frame, so wake-ups without
        // one (or a stream of damaged frames) cannot keep the wait alive.
        if (stop_signal()) return Wait::Stopped;
        const double now = now_seconds();
        int left = src->timeout_ms - static_cast<int>((now - src->waiting_since) * 1000);
        if (left <= 0) return Wait::Timeout;
        if (src->deadline > 0) {
            if (now >= src->deadline) return Wait::Deadline;
            const int until_end = static_cast<int>((src->deadline - now) * 1000) + 1;
            if (until_end < left) left = until_end;
        }
        struct pollfd p = {g_fd[slot], POLLIN, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            src->err = errno;
            return errno == ENODEV ? Wait::Unplugged : Wait::Failed;
        }
        if (ready == 0) continue;

        if (cam_grabframe(slot, src->data.data(), &src->size) == 0) {
            // g_buf now shows the buffer requeued, not the frame just copied.
            CamFrameInfo info;
            if (cam_get_frameinfo(slot, &info) != 0) memset(&info, 0, sizeof info);
            src->sequence = info.sequence;
            src->timestamp = static_cast<double>(info.timestamp_sec) +
                             static_cast<double>(info.timestamp_usec) / 1e6;
            if (!is_whole(*src)) {
                ++src->damaged;
                continue;
            }
            src->previous_since = src->waiting_since;
            src->waiting_since = now_seconds();
            return Wait::Frame;
        }
        src->err = errno;
        const bool hangup = p.revents & (POLLERR | POLLHUP | POLLNVAL);
        if (src->err == ENODEV || (p.revents & POLLHUP)) {
            src->err = ENODEV;
            return Wait::Unplugged;
        }
        // A frame the driver flagged was requeued: g_buf holds the buffer as
        // written back (queued; ERROR where the driver keeps it). After a
        // dequeue that found nothing it holds no flags.
        const uint32_t recycled = V4L2_BUF_FLAG_ERROR | V4L2_BUF_FLAG_QUEUED;
        if (src->err == EAGAIN && (g_buf[slot].flags & recycled)) {
            ++src->damaged;  // flagged by the driver and already requeued
            ++src->flagged;
            continue;
        }
        // EAGAIN on its own: the frame poll announced was not there after all.
        if (src->err == EAGAIN && !hangup) continue;
        if (src->err == EAGAIN) src->err = EIO;
        return Wait::Failed;
    }
}

void reject_frame(FrameSource* src) {
    ++src->damaged;
    src->waiting_since = src->previous_since;
}

int report_wait(const FrameSource& src, Wait result) {
    const char* device = src.capture.device.c_str();
    char damaged[64] = "";
    if (src.damaged)
        snprintf(damaged, sizeof damaged, " (%u damaged frame%s skipped)", src.damaged,
                 src.damaged == 1 ? "" : "s");
    switch (result) {
        case Wait::Frame:
        case Wait::Deadline:
            return kOk;
        case Wait::Stopped:
            return stopped_status(stop_signal());
        case Wait::Timeout:
            fprintf(stderr, "%s: no frame from %s within %s s%s\n", src.prog, device,
                    src.timeout_text, damaged);
            break;
        case Wait::Unplugged:
            fprintf(stderr, "%s: %s was unplugged: %s\n", src.prog, device, strerror(src.err));
            break;
        case Wait::Failed:
            fprintf(stderr, "%s: cannot grab a frame from %s: %s\n", src.prog, device,
                    strerror(src.err));
            break;
    }
    return kDeviceError;
}

void stop_frames(FrameSource* src) {
    // An unplugged camera refuses the stop; closing still releases the slot.
    cam_stop(src->slot);
    cam_close(src->slot);
}
