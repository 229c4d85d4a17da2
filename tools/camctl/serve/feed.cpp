#include "feed.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

#include "camapi.h"
#include "frame_source.h"
#include "jpeg_encode.h"
#include "jpeg_header.h"

namespace serve {

namespace {

constexpr int kPollMs = 200;              // how often the thread looks at `stopping`
constexpr double kSignalLostAfter = 2.0;  // seconds without a frame
constexpr int kNoSignalRepeatMs = 1000;

bool stopping(Feed* f) {
    std::lock_guard<std::mutex> lock(f->m);
    return f->stopping;
}

void set_signal(Feed* f, bool signal) {
    std::lock_guard<std::mutex> lock(f->m);
    if (f->signal == signal) return;
    f->signal = signal;
    if (!signal) f->measured_fps = 0;
    f->cv.notify_all();
}

// Waits up to ms, returning early when the feed stops.
void pause(Feed* f, int ms) {
    std::unique_lock<std::mutex> lock(f->m);
    f->cv.wait_for(lock, std::chrono::milliseconds(ms), [f] { return f->stopping; });
}

bool device_answers(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    v4l2_capability cap;
    bool ok = ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
    close(fd);
    return ok;
}

void close_slot(Feed* f, FrameSource* src) {
    std::lock_guard<std::mutex> lock(f->device);
    if (f->open) stop_frames(src);
    f->open = false;
}

// Opens the device again by its path, backing off from 0.1 s to 2 s while
// it is absent or refuses; false when the feed stops first.
bool reopen(Feed* f, FrameSource* src) {
    int backoff = 100;
    while (!stopping(f)) {
        // An absent or still dead device is the usual case after an unplug:
        // no message for it.
        if (device_answers(f->capture.device)) {
            std::lock_guard<std::mutex> lock(f->device);
            if (start_frames(src->prog, f->capture, f->slot, src)) {
                f->open = true;
                return true;
            }
        }
        pause(f, backoff);
        backoff = backoff * 2 > 2000 ? 2000 : backoff * 2;
    }
    return false;
}

void publish(Feed* f, const FrameSource& src, double* last, double* rate) {
    auto frame =
        std::make_shared<std::vector<unsigned char>>(src.data.begin(), src.data.begin() + src.size);
    double now = now_seconds();
    if (*last > 0 && now > *last) {
        double fps = 1.0 / (now - *last);
        *rate = *rate > 0 ? *rate * 0.9 + fps * 0.1 : fps;  // smoothed over ~10 frames
    }
    *last = now;
    std::lock_guard<std::mutex> lock(f->m);
    f->raw = std::move(frame);
    ++f->raw_number;
    f->raw_timestamp = src.timestamp;
    f->signal = true;
    f->measured_fps = *rate;
    f->damaged = src.damaged;
    f->cv.notify_all();
}

void capture_loop(Feed* f, FrameSource* src) {
    double last = 0, rate = 0;
    double last_good = now_seconds();
    while (!stopping(f)) {
        Wait w = next_frame(src);
        if (w == Wait::Frame) {
            if (src->capture.fourcc == V4L2_PIX_FMT_MJPEG &&
                !jpeg_is_complete(src->data.data(), static_cast<size_t>(src->size))) {
                reject_frame(src);
                std::lock_guard<std::mutex> lock(f->m);
                f->damaged = src->damaged;
                continue;
            }
            last_good = now_seconds();
            publish(f, *src, &last, &rate);
            continue;
        }
        if (w == Wait::Timeout) {
            // The timeout only bounds the poll; the camera may come back.
            if (now_seconds() - last_good > kSignalLostAfter) set_signal(f, false);
            src->waiting_since = now_seconds();
            continue;
        }
        // Unplugged or refusing: show no signal and open it again.
        set_signal(f, false);
        last = rate = 0;
        close_slot(f, src);
        if (!reopen(f, src)) break;
        last_good = now_seconds();
    }
    close_slot(f, src);
}

}  // namespace

bool start_feed(const char* prog, const Capture& wanted, int slot, int quality, Feed* f) {
    f->slot = slot;
    f->quality = quality;
    auto src = std::make_shared<FrameSource>();
    src->timeout_ms = kPollMs;
    {
        std::lock_guard<std::mutex> lock(f->device);
        if (!start_frames(prog, wanted, slot, src.get())) return false;
        f->open = true;
    }
    f->capture = src->capture;
    f->no_signal = std::make_shared<std::vector<unsigned char>>(
        no_signal_jpeg(f->capture.width, f->capture.height, quality));
    f->thread = std::thread([f, src] { capture_loop(f, src.get()); });
    return true;
}

Picture next_picture(Feed* f, uint64_t after, int wait_ms) {
    std::unique_lock<std::mutex> lock(f->m);
    auto ready = [&] { return f->stopping || (f->signal && f->raw && f->raw_number > after); };
    if (f->signal || after == 0) {
        f->cv.wait_for(lock, std::chrono::milliseconds(wait_ms), ready);
    } else {
        // Without a signal the stream repeats the no-signal picture.
        int ms = wait_ms < kNoSignalRepeatMs ? wait_ms : kNoSignalRepeatMs;
        f->cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
    }
    Picture p;
    if (f->stopping) return p;
    if (!f->signal || !f->raw) {
        if (after == 0 || !f->signal) {
            p.jpeg = f->no_signal;
            p.number = after + 1 > f->raw_number ? after + 1 : f->raw_number + 1;
        }
        return p;
    }
    if (f->raw_number <= after) return p;
    p.signal = true;
    p.number = f->raw_number;
    p.timestamp = f->raw_timestamp;
    if (f->capture.fourcc == V4L2_PIX_FMT_MJPEG) {
        p.jpeg = f->raw;
        return p;
    }
    // YUYV: encoded once per frame, by the first client that wants it; the
    // others wait for that one.
    const uint64_t number = f->raw_number;
    if (f->encoding_number == number) {
        f->cv.wait(lock, [&] {
            return f->stopping || f->encoding_number != number || f->encoded_number >= number;
        });
        if (f->encoded_number >= number) {
            p.jpeg = f->encoded;
            p.number = f->encoded_number;
            p.timestamp = f->encoded_timestamp;
            return p;
        }
        if (f->stopping) return Picture{};
    }
    if (f->encoded_number == number) {
        p.jpeg = f->encoded;
        return p;
    }
    f->encoding_number = number;
    Bytes raw = f->raw;
    const unsigned w = f->capture.width, h = f->capture.height;
    lock.unlock();
    auto jpeg = std::make_shared<std::vector<unsigned char>>();
    bool ok = raw->size() >= static_cast<size_t>(w) * h * 2 &&
              encode_yuyv(raw->data(), w, h, f->quality, jpeg.get());
    lock.lock();
    if (f->encoding_number == number) f->encoding_number = 0;
    if (ok && f->encoded_number < number) {
        f->encoded = jpeg;
        f->encoded_number = number;
        f->encoded_timestamp = p.timestamp;
    }
    f->cv.notify_all();
    if (!ok) return Picture{};
    p.jpeg = jpeg;
    return p;
}

FeedStatus feed_status(Feed* f) {
    FeedStatus s;
    s.capture = f->capture;
    s.clients = f->clients.load();
    std::lock_guard<std::mutex> lock(f->m);
    s.signal = f->signal;
    s.frames = f->raw_number;
    s.damaged = f->damaged;
    s.measured_fps = f->measured_fps;
    return s;
}

void stop_feed(Feed* f) {
    {
        std::lock_guard<std::mutex> lock(f->m);
        f->stopping = true;
        f->cv.notify_all();
    }
    if (f->thread.joinable()) f->thread.join();
}

}  // namespace serve
