#include "recorder.h"

#include <errno.h>
#include <linux/videodev2.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "file_name.h"
#include "media_file.h"

namespace record {

bool is_disk_full(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

namespace {

constexpr int kBatchMs = 250;

struct Item {
    std::vector<unsigned char> data;
    int64_t timestamp_us = 0;  // the driver's
    int64_t media_us = 0;      // where it plays: the driver's, or the time-lapse's
};

}  // namespace

struct Recorder::Impl {
    Options opt;
    FileNamePattern names;
    Stored stored = Stored::Mjpeg;
    int64_t frame_us = 0;

    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<Item> queue;
    std::vector<std::vector<unsigned char>> spare;  // buffers of written frames
    State st;
    std::vector<FileInfo> done;
    uint64_t done_bytes = 0;
    bool stopping = false;
    std::thread writer;

    // The capture thread's own.
    bool lapse_started = false;
    int64_t lapse_due = 0;
    int64_t lapse_count = 0;

    // The writer's own.
    MediaFile file;
    std::string last_name;
    int64_t first_us = 0;     // the first written frame's driver time
    int64_t segment_end = 0;  // driver time at which the next file begins
    int64_t media_base = 0;   // media time of the file's first frame
    std::vector<unsigned char> jpeg;

    void run();
    bool write_item(const Item& item);
    bool open_next(const Item& item);
    void finish_file();
    void drop_front_locked();
    size_t wake_bytes() const { return opt.queue_bytes / 4; }
};

Recorder::Recorder() : impl_(new Impl) {}

Recorder::~Recorder() {
    stop();
}

bool Recorder::start(const Options& options, std::string* why) {
    Impl& m = *impl_;
    if (m.writer.joinable()) {
        *why = "already recording";
        return false;
    }
    if (!parse_file_name(options.pattern.c_str(), &m.names, why)) return false;
    if (options.fourcc != V4L2_PIX_FMT_MJPEG && options.fourcc != V4L2_PIX_FMT_YUYV) {
        *why = "only MJPG and YUYV frames can be recorded";
        return false;
    }
    if (options.width == 0 || options.height == 0 || options.width % 2 ||
        options.interval_num <= 0 || options.interval_den <= 0) {
        *why = "a frame size or interval no camera has";
        return false;
    }
    m.opt = options;
    m.stored =
        options.fourcc == V4L2_PIX_FMT_YUYV && !options.encode ? Stored::Yuyv : Stored::Mjpeg;
    m.frame_us = int64_t{1000000} * options.interval_num / options.interval_den;
    m.st = State();
    m.st.recording = options.pre_us == 0;
    m.done.clear();
    m.done_bytes = 0;
    m.queue.clear();
    m.stopping = false;
    m.lapse_started = false;
    m.lapse_count = 0;
    m.writer = std::thread([&m] { m.run(); });
    return true;
}

void Recorder::Impl::drop_front_locked() {
    st.queued_bytes -= queue.front().data.size();
    spare.push_back(std::move(queue.front().data));
    queue.pop_front();
}

Push Recorder::push(const Frame& frame) {
    Impl& m = *impl_;
    // The time-lapse keeps the first frame at or after each due time; the
    // due times stay on their grid whatever the camera drops.
    int64_t media_us = frame.timestamp_us;
    if (m.opt.lapse_us > 0) {
        // Half a frame early is on time: driver times carry rounding.
        if (m.lapse_started && frame.timestamp_us < m.lapse_due - m.frame_us / 2)
            return Push::Skipped;
        if (!m.lapse_started) m.lapse_due = frame.timestamp_us;
        m.lapse_started = true;
        while (m.lapse_due - m.frame_us / 2 <= frame.timestamp_us) m.lapse_due += m.opt.lapse_us;
        media_us = m.lapse_count++ * m.frame_us;
    }

    std::unique_lock<std::mutex> hold(m.lock);
    if (m.st.stopped || m.stopping) return Push::Stopped;
    if (m.st.recording && m.st.queued_bytes + frame.size > m.opt.queue_bytes) {
        ++m.st.dropped;
        return Push::Dropped;
    }
    if (!m.st.recording) {
        // Before the trigger: the last pre_us seconds, as far as they fit.
        while (!m.queue.empty() && (frame.timestamp_us - m.queue.front().timestamp_us >=
                                        m.opt.pre_us - m.frame_us / 2 ||
                                    m.st.queued_bytes + frame.size > m.opt.queue_bytes))
            m.drop_front_locked();
        if (frame.size > m.opt.queue_bytes) return Push::Held;
    }
    std::vector<unsigned char> buffer;
    if (!m.spare.empty()) {
        buffer = std::move(m.spare.back());
        m.spare.pop_back();
    }
    hold.unlock();
    // The copy is made outside the lock, so the writer never waits for it.
    buffer.assign(frame.data, frame.data + frame.size);
    hold.lock();
    Item item;
    item.data = std::move(buffer);
    item.timestamp_us = frame.timestamp_us;
    item.media_us = media_us;
    m.queue.push_back(std::move(item));
    m.st.queued_bytes += frame.size;
    if (m.st.queued_bytes > m.st.peak_queued_bytes) m.st.peak_queued_bytes = m.st.queued_bytes;
    const bool recording = m.st.recording;
    const bool wake = m.st.queued_bytes >= m.wake_bytes();
    hold.unlock();
    if (!recording) return Push::Held;
    if (wake) m.wake.notify_one();
    return Push::Queued;
}

void Recorder::trigger() {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> hold(m.lock);
        if (m.st.recording || m.st.stopped) return;
        m.st.recording = true;
    }
    m.wake.notify_one();
}

bool Recorder::stop() {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> hold(m.lock);
        m.stopping = true;
    }
    m.wake.notify_one();
    if (m.writer.joinable()) m.writer.join();
    std::lock_guard<std::mutex> hold(m.lock);
    return m.st.error == 0;
}

State Recorder::state() const {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->st;
}

std::vector<FileInfo> Recorder::files() const {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->done;
}

void Recorder::Impl::finish_file() {
    if (!file.is_open()) return;
    file.close();
    FileInfo info;
    info.path = file.path();
    info.bytes = file.bytes();
    info.frames = file.frames();
    info.duration_us = file.duration_us();
    info.complete = file.error() == 0;
    std::lock_guard<std::mutex> hold(lock);
    done.push_back(info);
    done_bytes += info.bytes;
    st.current_path.clear();
    if (file.error() && !st.error) {
        st.error = file.error();
        st.error_path = file.path();
    }
}

bool Recorder::Impl::open_next(const Item& item) {
    unsigned number;
    {
        std::lock_guard<std::mutex> hold(lock);
        number = st.files;
    }
    std::string name = file_name(names, number, time(nullptr));
    // Two files begun within one second would get one name: the later one
    // carries its number too.
    if (name == last_name) {
        const size_t dot = name.rfind('.');
        name.insert(dot == std::string::npos ? name.size() : dot, "-" + std::to_string(number));
    }
    last_name = name;
    const bool ok = file.open(name, stored, opt.width, opt.height, opt.interval_num,
                              opt.interval_den, opt.replace);
    std::lock_guard<std::mutex> hold(lock);
    ++st.files;
    st.current_path = name;
    if (!ok) {
        st.error = file.error();
        st.error_path = name;
        return false;
    }
    media_base = item.media_us;
    return true;
}

bool Recorder::Impl::write_item(const Item& item) {
    if (!file.is_open()) {
        first_us = item.timestamp_us;
        segment_end = first_us + opt.segment_us;
    } else if (opt.segment_us > 0 && item.timestamp_us >= segment_end - frame_us / 2) {
        // Files begin on the grid of the first frame's time, so segments do
        // not drift by a frame each; the frame nearest a boundary begins
        // the next file, as driver times carry rounding.
        while (segment_end - frame_us / 2 <= item.timestamp_us) segment_end += opt.segment_us;
        finish_file();
        if (file.error()) return false;
    }
    if (!file.is_open() && !open_next(item)) {
        finish_file();
        return false;
    }
    const unsigned char* data = item.data.data();
    size_t size = item.data.size();
    if (opt.fourcc == V4L2_PIX_FMT_YUYV && opt.encode) {
        if (size < size_t{opt.width} * opt.height * 2) return true;  // a short frame: skipped
        if (!opt.encode(data, opt.width, opt.height, opt.quality, &jpeg)) return true;
        data = jpeg.data();
        size = jpeg.size();
    }
    if (!file.write(data, size, item.media_us - media_base)) {
        finish_file();
        return false;
    }
    std::lock_guard<std::mutex> hold(lock);
    ++st.frames;
    st.bytes = done_bytes + file.bytes();
    return true;
}

void Recorder::Impl::run() {
    using Clock = std::chrono::steady_clock;
    const auto flush_every = std::chrono::milliseconds(opt.flush_ms);
    // The writer wakes a few times a second and writes what came meanwhile:
    // a wake-up per frame would cost more than the writing.
    const auto batch = std::chrono::milliseconds(kBatchMs);
    auto flushed = Clock::now();
    bool unflushed = false;
    bool failed = false;
    std::unique_lock<std::mutex> hold(lock);
    while (!failed) {
        const auto until = std::min(flushed + flush_every, Clock::now() + batch);
        wake.wait_until(hold, until, [&] {
            return stopping || (st.recording && st.queued_bytes >= wake_bytes());
        });
        while (st.recording && !queue.empty() && !failed) {
            Item item = std::move(queue.front());
            queue.pop_front();
            st.queued_bytes -= item.data.size();
            hold.unlock();
            failed = !write_item(item);
            hold.lock();
            spare.push_back(std::move(item.data));
            unflushed = true;
        }
        if (failed || stopping) break;
        if (unflushed && Clock::now() - flushed >= flush_every) {
            hold.unlock();
            failed = !file.flush(true);
            if (failed) finish_file();
            hold.lock();
            unflushed = false;
        }
        if (!unflushed) flushed = Clock::now();
    }
    // Stopped, or a write failed: what is still queued is not written.
    while (!queue.empty()) drop_front_locked();
    hold.unlock();
    finish_file();
    hold.lock();
    st.stopped = true;
}

}  // namespace record
