#include "feed.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "camapi.h"
#include "frame_source.h"
#include "jpeg_encode.h"
#include "jpeg_header.h"
#include "recording.h"

namespace serve {

namespace {

constexpr int kPollMs = 200;              // how often the thread looks at `stopping`
constexpr double kSignalLostAfter = 2.0;  // seconds without a frame
constexpr int kNoSignalRepeatMs = 1000;
constexpr int kPresenceCheckMs = 1000;  // a resting camera: is it still there?

using Exclusive = std::unique_lock<std::shared_mutex>;
using Shared = std::shared_lock<std::shared_mutex>;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic's own");

// Every waiting client wakes at once and reads the picture under the shared
// lock: a condition variable would have them take its mutex one by one.
void announce(Feed* f) {
    f->changes.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&f->changes), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
}

// Sleeps until announce() after `seen` was read, or up to ms.
void await_change(Feed* f, uint32_t seen, int ms) {
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&f->changes), FUTEX_WAIT_PRIVATE, seen, &ts,
            nullptr, 0);
}

bool stopping(Feed* f) {
    Shared lock(f->m);
    return f->stopping;
}

bool nobody_wants(Feed* f) {
    return f->clients.load() == 0 && f->wanted.load() == 0 && !f->recording_on.load();
}

void set_signal(Feed* f, bool signal, const char* why) {
    {
        Exclusive lock(f->m);
        if (f->signal == signal) return;
        f->signal = signal;
        if (!signal) f->measured_fps = 0;
    }
    log_event(f, why);
    announce(f);
}

// Waits up to ms, returning early when the feed stops.
void pause(Feed* f, int ms) {
    Exclusive lock(f->m);
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
    {
        std::lock_guard<std::mutex> lock(f->device);
        if (f->open) stop_frames(src);
        f->open = false;
    }
    Exclusive lock(f->m);
    f->capturing = false;
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
                Exclusive state(f->m);
                f->capturing = true;
                return true;
            }
        }
        pause(f, backoff);
        backoff = backoff * 2 > 2000 ? 2000 : backoff * 2;
    }
    return false;
}

// The capture thread's JPEG buffers: the one now published, and one that no
// client holds any more, filled again in place of a new allocation.
struct Buffers {
    std::shared_ptr<std::vector<unsigned char>> current, spare;
};

// The frame as clients get it: MJPEG as it came, YUYV encoded, but only
// while a stream or a snapshot wants it. Empty when nobody does.
std::shared_ptr<std::vector<unsigned char>> as_jpeg(Feed* f, const FrameSource& src, Buffers* b) {
    const unsigned char* data = src.data.data();
    const bool mjpeg = f->capture.fourcc == V4L2_PIX_FMT_MJPEG;
    if (!mjpeg && f->clients.load() == 0 && f->wanted.load() == 0) return nullptr;
    auto jpeg = b->spare ? std::move(b->spare) : std::make_shared<std::vector<unsigned char>>();
    if (mjpeg) {
        jpeg->assign(data, data + src.size);
        return jpeg;
    }
    const unsigned w = f->capture.width, h = f->capture.height;
    if (static_cast<size_t>(src.size) < static_cast<size_t>(w) * h * 2 ||
        !encode_yuyv(data, w, h, f->quality, jpeg.get())) {
        b->spare = std::move(jpeg);
        return nullptr;
    }
    return jpeg;
}

void publish(Feed* f, const FrameSource& src, Buffers* b, double* last, double* rate) {
    auto jpeg = as_jpeg(f, src, b);
    double now = now_seconds();
    if (*last > 0 && now > *last) {
        double fps = 1.0 / (now - *last);
        *rate = *rate > 0 ? *rate * 0.9 + fps * 0.1 : fps;  // smoothed over ~10 frames
    }
    *last = now;
    bool back;
    {
        Exclusive lock(f->m);
        ++f->raw_number;
        if (jpeg) {
            f->latest.jpeg = jpeg;
            f->latest.number = f->raw_number;
            f->latest.timestamp = src.timestamp;
            f->latest.signal = true;
        }
        // The first frame ever is no news; one after a loss is.
        back = !f->signal && f->raw_number > 1;
        f->signal = true;
        f->measured_fps = *rate;
        f->damaged = src.damaged;
    }
    if (back) log_event(f, "is back");
    announce(f);
    if (!jpeg) return;
    // The frame just replaced is no longer reachable through the feed, so
    // when nothing but this thread holds it, no client can get it any more.
    if (b->current && b->current.use_count() == 1) b->spare = std::move(b->current);
    b->current = std::move(jpeg);
}

// Frames the driver numbered but never handed over (no free buffer, a
// capture running late): the gaps in its numbers, less the frames it flagged
// as damaged, which are counted as such. Numbers restart with streaming.
struct Gaps {
    bool known = false;
    uint32_t next = 0;
    unsigned flagged = 0;
};

uint64_t missed(const FrameSource& src, Gaps* g) {
    uint64_t n = 0;
    if (g->known && src.sequence > g->next) {
        n = src.sequence - g->next;
        const unsigned flagged = src.flagged - g->flagged;
        n = n > flagged ? n - flagged : 0;
    }
    *g = Gaps{true, src.sequence + 1, src.flagged};
    return n;
}

// A removed camera answers ENODEV to everything; anything else (a busy
// driver) is no reason to give the device up.
bool still_there(Feed* f) {
    std::lock_guard<std::mutex> lock(f->device);
    v4l2_capability cap;
    return xioctl(g_fd[f->slot], static_cast<int>(VIDIOC_QUERYCAP), &cap) == 0 || errno != ENODEV;
}

enum class Rest { Wanted, Gone, Stopping };

// Nobody wants pictures: streaming stops until someone does. The device
// stays open for the controls and registers, and is looked at now and then
// so that an unplug is still noticed.
Rest rest(Feed* f) {
    {
        std::lock_guard<std::mutex> lock(f->device);
        if (cam_stop(f->slot) != 0) return Rest::Gone;
    }
    {
        Exclusive lock(f->m);
        f->capturing = false;
        f->measured_fps = 0;
        f->latest = Picture{};  // what comes next must be captured after the rest
        f->resting = true;
    }
    Rest why = Rest::Wanted;
    for (;;) {
        {
            Exclusive lock(f->m);
            f->cv.wait_for(lock, std::chrono::milliseconds(kPresenceCheckMs),
                           [f] { return f->stopping || !nobody_wants(f); });
            if (f->stopping) why = Rest::Stopping;
            if (f->stopping || !nobody_wants(f)) break;
        }
        if (!still_there(f)) {
            why = Rest::Gone;
            break;
        }
    }
    f->resting = false;
    if (why != Rest::Wanted) return why;
    std::lock_guard<std::mutex> lock(f->device);
    if (cam_play(f->slot) != 0) return Rest::Gone;
    Exclusive state(f->m);
    f->capturing = true;
    return Rest::Wanted;
}

void capture_loop(Feed* f, FrameSource* src) {
    double last = 0, rate = 0;
    double last_good = now_seconds(), last_wanted = last_good;
    Buffers buffers;
    Gaps gaps;
    const char* lost = nullptr;  // why the camera is to be opened again
    while (!stopping(f)) {
        if (!nobody_wants(f)) {
            last_wanted = now_seconds();
        } else if ((now_seconds() - last_wanted) * 1000 >= f->rest_after_ms) {
            Rest r = rest(f);
            if (r == Rest::Stopping) break;
            if (r == Rest::Gone) lost = "was unplugged";
            last_good = last_wanted = src->waiting_since = now_seconds();
            last = rate = 0;
            gaps = Gaps{};
        }
        Wait w = lost ? Wait::Unplugged : next_frame(src);
        if (w == Wait::Frame) {
            const uint64_t dropped = missed(*src, &gaps);
            if (dropped) {
                Exclusive lock(f->m);
                f->dropped += dropped;
            }
            if (src->capture.fourcc == V4L2_PIX_FMT_MJPEG &&
                !jpeg_is_complete(src->data.data(), static_cast<size_t>(src->size))) {
                reject_frame(src);
                Exclusive lock(f->m);
                f->damaged = src->damaged;
                continue;
            }
            last_good = now_seconds();
            publish(f, *src, &buffers, &last, &rate);
            record_frame(f, *src);
            continue;
        }
        if (w == Wait::Timeout) {
            // Frames the driver flagged are counted while no good one comes.
            {
                Exclusive lock(f->m);
                f->damaged = src->damaged;
            }
            // The timeout only bounds the poll; the camera may come back.
            if (now_seconds() - last_good > kSignalLostAfter)
                set_signal(f, false, "sends no frames");
            src->waiting_since = now_seconds();
            continue;
        }
        // Unplugged or refusing: show no signal and open it again.
        std::string why = lost                   ? lost
                          : w == Wait::Unplugged ? "was unplugged"
                                                 : std::string("failed: ") + strerror(src->err);
        lost = nullptr;
        set_signal(f, false, why.c_str());
        last = rate = 0;
        gaps = Gaps{};
        recording_unplugged(f);
        close_slot(f, src);
        if (!reopen(f, src)) break;
        recording_replugged(f);
        last_good = last_wanted = now_seconds();
    }
    end_recording(f);
    close_slot(f, src);
}

}  // namespace

// With the local time: a terminal shows none, and journald's own is when
// the line was read.
void log_event(Feed* f, const char* what) {
    char when[32] = "";
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm)) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    fprintf(stderr, "%s: %s: camera %d (%s) %s\n", f->prog, when, f->slot,
            f->capture.device.c_str(), what);
}

bool start_feed(const char* prog, const Capture& wanted, int slot, int quality, Feed* f) {
    f->prog = prog;
    f->slot = slot;
    f->quality = quality;
    auto src = std::make_shared<FrameSource>();
    src->timeout_ms = kPollMs;
    {
        std::lock_guard<std::mutex> lock(f->device);
        if (!start_frames(prog, wanted, slot, src.get())) return false;
        f->open = true;
        f->capturing = true;
    }
    f->capture = src->capture;
    f->no_signal = std::make_shared<std::vector<unsigned char>>(
        no_signal_jpeg(f->capture.width, f->capture.height, quality));
    f->recording = make_recording();
    f->thread = std::thread([f, src] { capture_loop(f, src.get()); });
    return true;
}

void wake_feed(Feed* f) {
    if (!f->resting.load()) return;
    // The capture thread checks `wanted` under m before it sleeps: taking m
    // here means it either sees the count or is asleep for the notify.
    { Exclusive lock(f->m); }
    f->cv.notify_all();
}

void want_pictures(Feed* f) {
    ++f->wanted;
    wake_feed(f);
}

void unwant_pictures(Feed* f) {
    --f->wanted;
}

Picture next_picture(Feed* f, uint64_t after, int wait_ms) {
    const auto start = std::chrono::steady_clock::now();
    int limit = wait_ms;
    uint64_t fresh = 0;  // with after 0: not older than the frame captured last
    {
        Shared lock(f->m);
        // Without a signal the stream repeats the no-signal picture.
        if (!f->signal && limit > kNoSignalRepeatMs) limit = kNoSignalRepeatMs;
        if (after == 0) fresh = f->raw_number;
    }
    // A YUYV frame is encoded only while someone wants it, and a resting
    // camera starts again.
    struct Want {
        Feed* f;
        explicit Want(Feed* feed) : f(feed) { want_pictures(f); }
        ~Want() { unwant_pictures(f); }
    } want(f);
    for (;;) {
        const uint32_t seen = f->changes.load(std::memory_order_acquire);
        {
            Shared lock(f->m);
            if (f->stopping) return Picture{};
            const Picture& p = f->latest;
            if (f->signal && p.jpeg && p.number > after && p.number >= fresh) return p;
        }
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
        if (spent >= limit) break;
        await_change(f, seen, static_cast<int>(limit - spent));
    }
    Shared lock(f->m);
    Picture p;
    if (f->stopping) return p;
    if (!f->signal || !f->latest.jpeg) {
        if (after == 0 || !f->signal) {
            p.jpeg = f->no_signal;
            p.number = after + 1 > f->raw_number ? after + 1 : f->raw_number + 1;
        }
    }
    return p;
}

FeedStatus feed_status(Feed* f) {
    FeedStatus s;
    s.capture = f->capture;
    s.clients = f->clients.load();
    s.bytes_sent = f->bytes_sent.load();
    s.recording = f->recording_on.load();
    Shared lock(f->m);
    s.signal = f->signal;
    s.capturing = f->capturing;
    s.frames = f->raw_number;
    s.damaged = f->damaged;
    s.dropped = f->dropped;
    s.measured_fps = f->measured_fps;
    return s;
}

void stop_feed(Feed* f) {
    {
        Exclusive lock(f->m);
        f->stopping = true;
        f->cv.notify_all();
    }
    announce(f);
    if (f->thread.joinable()) f->thread.join();
}

}  // namespace serve
