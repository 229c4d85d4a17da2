// Shared state of the simulated cameras. Everything here is guarded by
// State::mu unless noted otherwise.
#ifndef SIMCAM_INTERNAL_H
#define SIMCAM_INTERNAL_H

#include <poll.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <linux/videodev2.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "simcam.h"

#define SIMCAM_INTERPOSE __attribute__((visibility("default")))

namespace simcam {
namespace detail {

// ---- libc entry points behind ours (real.cpp) ----
struct Real {
    int (*open)(const char*, int, ...);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*poll)(struct pollfd*, nfds_t, int);
    int (*ppoll)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
    int (*fcntl)(int, int, ...);
    int (*fstat)(int, struct stat*);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
};
// Resolves on first use; never null afterwards (a missing symbol maps to a
// stub failing with ENOSYS).
const Real& real();

uint64_t now_ns();  // CLOCK_MONOTONIC

// ---- Camera state ----

enum class BufState { Dequeued, Queued, Done };

struct Buffer {
    BufState state = BufState::Dequeued;
    uint32_t sequence = 0;
    uint64_t time_ns = 0;
    uint32_t bytesused = 0;
    bool error = false;
    bool filled = false;       // holds a frame: cleared when queued, as the driver reports it
    bool ever_filled = false;  // has held a frame since REQBUFS: the field is known
    bool drawn = false;        // still cameras: content written once
    bool mapped = false;       // refreshed from /proc/self/maps at QUERYBUF/STREAMON
};

struct Handle;

struct Queue {
    Handle* owner = nullptr;  // the handle holding the streaming privilege
    std::vector<Buffer> bufs;
    uint32_t length = 0;  // bytes per buffer (sizeimage at REQBUFS time)
    uint32_t stride = 0;  // page-aligned distance between buffer offsets
    uint64_t generation = 0;
    bool streaming = false;
    bool waiting_for_buffers = true;
    std::deque<uint32_t> queued, done;
    uint64_t t0_ns = 0, interval_ns = 0;
    uint64_t next_frame = 1;  // index of the next frame due (at t0 + k*interval)
    uint32_t next_seq = 0;    // sequence number of the next frame
    uint32_t fourcc = 0, width = 0, height = 0;
};

struct Fault {
    uint32_t request;
    int err;
    int times;
    int selector = -1;  // UVCIOC_CTRL_QUERY faults: only this selector; -1 any request
};

struct Control {
    uint32_t id;
    uint32_t type;  // V4L2_CTRL_TYPE_*
    const char* name;
    int32_t min, max, step, def;
    uint32_t menu_mask;  // valid menu indices
    int32_t value;
};

struct Cam {
    Camera cfg;
    int memfd = -1;       // capture node
    int meta_memfd = -1;  // metadata node
    bool removed = false;
    bool unplugged = false;
    int64_t unplug_after = -1;  // frames left before unplugging; -1 never

    // Current format.
    size_t fmt = 0;
    uint32_t width = 0, height = 0;
    Interval interval;
    Queue q;

    std::vector<Control> controls;

    std::vector<uint8_t> dsp;
    std::vector<uint16_t> sensor;
    uint8_t xu_request[8] = {};
    int xu_pending = 0;  // command byte awaiting its response phase, 0 none

    struct Mapping {
        uint32_t id;
        std::string name;
    };
    std::vector<Mapping> mappings;

    // Faults.
    std::vector<Fault> fails;
    uint32_t grant_limit = 0;
    std::set<uint32_t> error_frames;
    std::map<uint32_t, Corruption> corrupt_frames;
    int refuse_map = 0;
    std::map<uint8_t, int> stalls;
    bool holding = false;       // the camera stops delivering frames
    uint32_t usb_next_seq = 0;  // sequence of the next frame the USB face sends

    uint64_t delivered = 0;
    int prios[4] = {0, 0, 0, 0};  // open handles per V4L2 priority

    ~Cam();
};

// One open file description of a node (shared by dup'd descriptors).
struct Handle {
    std::shared_ptr<Cam> cam;
    bool meta = false;
    std::string node;
    int refs = 0;
    int prio = V4L2_PRIORITY_DEFAULT;
    std::map<uint32_t, uint32_t> subs;  // control id -> subscription flags
    std::deque<v4l2_event> events;
    uint32_t event_seq = 0;
};

// Descriptors below this are marked simulated in a lock-free table, so
// read/write/fstat/close/ioctl on other descriptors never take the lock.
constexpr int kMarkedFds = 65536;
constexpr uint8_t kMarkSim = 1;    // a simulated descriptor
constexpr uint8_t kMarkEpoll = 2;  // an epoll set with simulated members

struct State {
    std::atomic<uint8_t> marked[kMarkedFds] = {};
    std::mutex mu;
    std::condition_variable cv;  // a buffer was queued, streaming stopped, ...
    std::vector<std::shared_ptr<Cam>> cams;
    std::unordered_map<int, std::shared_ptr<Handle>> fds;
    std::atomic<int> nfds{0};
    std::deque<Request> log;
    size_t log_limit = SIZE_MAX;  // entries kept; SIZE_MAX: not read from the environment yet
    bool loaded = false;
    // Simulated members of epoll sets: epoll fd -> fd -> registration.
    std::map<int, std::map<int, struct epoll_event>> epolls;
    std::vector<int> waiters;  // eventfds of the threads waiting in poll/epoll_wait
};

State& state();
// Camera owning a node path (capture or metadata), null if none.
std::shared_ptr<Cam> find_cam_locked(const std::string& node, bool* meta = nullptr);
// Cameras of the startup configuration, loaded on first use.
void ensure_loaded_locked();
std::shared_ptr<Cam> make_cam(const Camera& cfg);
bool valid_camera(const Camera& cfg, std::string* why);
// Handle of a simulated descriptor, null for other descriptors.
std::shared_ptr<Handle> handle_locked(int fd);
// Set while simcam itself calls into libc (reading /proc, opening memfds):
// calls that come back to our entry points then go straight on, since
// another preloaded library (umockdev) may call fstat from its fopen.
extern thread_local int t_busy;
struct Busy {
    Busy() { ++t_busy; }
    ~Busy() { --t_busy; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};
inline bool any_sim_fds() {
    return t_busy == 0 && state().nfds.load(std::memory_order_relaxed) > 0;
}
// Whether fd may be simulated (exact below kMarkedFds; the lock decides above).
inline bool maybe_sim(int fd) {
    if (!any_sim_fds() || fd < 0) return false;
    return fd >= kMarkedFds || (state().marked[fd].load(std::memory_order_relaxed) & kMarkSim);
}
inline bool maybe_sim(struct pollfd* fds, nfds_t n) {
    for (nfds_t i = 0; i < n; ++i)
        if (maybe_sim(fds[i].fd)) return true;
    return false;
}
inline void mark_fd(int fd, bool sim) {
    if (fd >= 0 && fd < kMarkedFds)
        state().marked[fd].store(sim ? kMarkSim : 0, std::memory_order_relaxed);
}
// Whether closing fd may end an epoll set that simcam keeps.
inline bool maybe_sim_epoll(int fd) {
    if (t_busy != 0 || fd < 0) return false;
    return fd >= kMarkedFds || (state().marked[fd].load(std::memory_order_relaxed) & kMarkEpoll);
}
// Node path that `path` stands for ("/dev/video0" also under $UMOCKDEV_DIR).
std::string node_path(const char* path);

// Something may have made a simulated descriptor ready, or a queue or a
// camera changed: wakes the threads waiting for it (wake.cpp).
void wake_locked();
// This thread's wait in poll or epoll_wait, while it lasts: fd() (-1 if
// none could be made) becomes readable at wake_locked().
class Waiting {
  public:
    Waiting();
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;
    int fd() const { return fd_; }
    // Whether the wait ended for a wake-up (then drained), from the
    // descriptor's revents.
    bool woken(short revents);

  private:
    int fd_ = -1;
};

// Device entry points (device.cpp).
int sim_open(const std::string& node, int flags);
void sim_close_locked(int fd);
void epoll_forget_locked(int fd);
int sim_dup_locked(int oldfd, int newfd);
void sim_fstat(int fd, struct stat* st);

// Request handling: returns the result; sets *err on failure.
int handle_ioctl(int fd, uint32_t request, void* arg);
int v4l2_request_locked(Handle& h, int fd, uint32_t request, void* arg,
                        std::unique_lock<std::mutex>& lock);
int control_request_locked(Handle& h, uint32_t request, void* arg);
uint32_t control_flags(Cam& cam, const Control& c);
void control_changed_locked(Cam& cam, const Handle* setter, const Control& c, uint32_t changes);
int event_request_locked(Handle& h, uint32_t request, void* arg);
int priority_request_locked(Handle& h, uint32_t request, void* arg);
int max_priority_locked(const Cam& cam);
int uvc_request_locked(Cam& cam, uint32_t request, void* arg);
void init_controls(Cam& cam);
void init_registers(Cam& cam);
Control* find_control(Cam& cam, uint32_t id);
// A control write as the camera checks it: 0, or the errno (EACCES, ERANGE,
// EINVAL) that refuses it. `setter` is excluded from the change events.
// Clamps value to the control's range and step, as the driver does.
int set_control_locked(Cam& cam, const Handle* setter, Control& c, int32_t& value);
void release_queue_locked(Cam& cam);
bool nonblocking(int fd);
// Which buffers are mapped in this process now.
void refresh_mapped(Cam& cam);

// Frame clock (stream.cpp).
void advance_locked(Cam& cam, uint64_t now);
// Time of the next frame a waiter could get; 0 = none coming by itself.
uint64_t next_due_locked(Cam& cam);
// Poll readiness of a simulated descriptor.
short poll_events_locked(Handle& h, short events);
// Writes the content of done buffer `index` (outside the lock).
// Corruption of an MJPEG frame: 0 none, 1 + Corruption.
uint32_t produce_frame(const Cam& cam, const Queue& q, uint32_t index, uint32_t sequence,
                       int corrupt);
// Frame `sequence` as the camera sends it (valid until the thread's next call).
const std::vector<uint8_t>& frame_bytes(const Camera& cfg, uint32_t fourcc, uint32_t width,
                                        uint32_t height, uint32_t sequence, int corrupt);

// Damages an encoded MJPEG frame: `how` is 1 + Corruption.
void corrupt_jpeg(std::vector<uint8_t>& jpeg, int how);

// Frame content.
std::vector<uint8_t> encode_mjpeg(const uint8_t* yuyv, uint32_t w, uint32_t h, bool huffman);
void strip_dht(std::vector<uint8_t>& jpeg);
uint32_t sizeimage(uint32_t fourcc, uint32_t w, uint32_t h);
uint32_t bytesperline(uint32_t fourcc, uint32_t w);
bool compressed(uint32_t fourcc);

// Poll family (poll.cpp).
int sim_poll(struct pollfd* fds, nfds_t n, int64_t timeout_ns, const sigset_t* mask);

// Fault commands (commands.cpp): frame counts refer to the frames one face
// sends. 0 done, 1 "unplug" done, 2 "replug" done, -1 not understood.
enum class Face { V4l2, Usb };
int camera_command(const std::string& node, const std::string& line, Face face);
// Follows the control file $SIMCAM_CONTROL from the first call on (later
// calls do nothing); the lines already in it apply before it returns.
void watch_control_file();

// Log (log.cpp).
size_t log_limit_from_env();
void log_request(int fd, const std::string& node, uint32_t request, void* arg, int result, int err,
                 const std::vector<uint8_t>& in, const std::vector<uint8_t>& xu_in,
                 uint64_t time_ns);
std::vector<uint8_t> arg_bytes(uint32_t request, const void* arg);
std::vector<uint8_t> xu_bytes(uint32_t request, const void* arg);

// Config (config.cpp).
bool parse_config(const std::string& text, std::vector<Camera>* cams, std::string* error);
std::vector<Camera> startup_cameras();
bool load_file(const std::string& path, std::vector<Camera>* cams, std::string* error);

}  // namespace detail
}  // namespace simcam

#endif  // SIMCAM_INTERNAL_H
