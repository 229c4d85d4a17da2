// One camera shared by every client: a thread captures from the slot and
// keeps only the latest frame (YUYV frames encoded as JPEG once, by that
// thread, while someone watches); clients take that frame when they are
// ready for one, so a slow client skips frames and never holds up the
// capture.
// When the camera goes away the feed shows a "no signal" picture and opens
// the device again by its path until it is back.
// A camera nobody watches rests: streaming stops a few seconds after the
// last stream or snapshot, the device stays open for the controls, and the
// next request for a picture starts it again.
#ifndef CAMCTL_SERVE_FEED_H
#define CAMCTL_SERVE_FEED_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "choose.h"

namespace serve {

struct Recording;  // recording.h

using Bytes = std::shared_ptr<const std::vector<unsigned char>>;

struct Picture {
    Bytes jpeg;
    uint64_t number = 0;   // the feed's own count, rising across reopens
    double timestamp = 0;  // the driver's time of the frame, seconds (0: none, or no signal)
    bool signal = false;
};

struct FeedStatus {
    Capture capture;  // as granted
    bool signal = false;
    bool capturing = false;  // false while resting
    uint64_t frames = 0;
    uint64_t damaged = 0;
    uint64_t dropped = 0;
    double measured_fps = 0;
    int clients = 0;
    uint64_t bytes_sent = 0;
    bool recording = false;
};

// How long a snapshot waits for a picture: a camera woken from rest needs
// its start-up time before the first frame.
constexpr int kSnapshotWaitMs = 3000;

struct Feed {
    const char* prog = "camctl serve";
    int slot = 0;
    int quality = 80;
    Capture capture;           // wanted, then as granted
    int rest_after_ms = 5000;  // without anyone wanting pictures

    // Held while the slot is opened or closed; the API holds it around its
    // requests so that they never meet a half-open slot.
    std::mutex device;
    std::atomic<int> clients{0};

    // Requests waiting for a picture: with no stream open, the capture
    // thread encodes YUYV frames only while someone waits.
    std::atomic<int> wanted{0};
    std::atomic<bool> resting{false};     // the capture thread waits for `wanted`
    std::atomic<uint64_t> bytes_sent{0};  // pictures handed to clients, counted by the server
    // A recording wants every frame, as a viewer does.
    std::shared_ptr<Recording> recording;
    std::atomic<bool> recording_on{false};

    // Internal state, guarded by m. Clients only read it (shared), so that
    // the many woken by a new frame do not queue up behind one another.
    std::shared_mutex m;
    std::condition_variable_any cv;  // the capture thread's pauses
    // Bumped after every change a client may wait for; clients sleep on it
    // (a futex) without holding m.
    std::atomic<uint32_t> changes{0};
    Picture latest;           // the newest frame as JPEG, numbered by raw_number
    uint64_t raw_number = 0;  // frames captured (the feed's count)
    Bytes no_signal;
    bool signal = false;
    bool open = false;  // the slot holds the camera (guarded by device)
    uint64_t damaged = 0;
    uint64_t dropped = 0;  // numbered by the driver, never delivered
    bool capturing = false;
    double measured_fps = 0;
    bool stopping = false;
    std::thread thread;
};

// Opens the camera and starts the capture thread; false (with a message)
// when the camera cannot be opened at all.
bool start_feed(const char* prog, const Capture& wanted, int slot, int quality, Feed* f);

// The newest picture after `after` (0: not older than the frame captured
// last),
// waiting up to wait_ms; while there is no signal, the "no signal" picture
// (signal false) about once a second. Empty jpeg on timeout or when the
// feed stops. Wants pictures while it waits.
Picture next_picture(Feed* f, uint64_t after, int wait_ms);

// A request that waits for a picture by other means holds want_pictures()
// until it has one (each call matched by one unwant_pictures()): the capture
// thread keeps or starts capturing meanwhile.
void want_pictures(Feed* f);
void unwant_pictures(Feed* f);

FeedStatus feed_status(Feed* f);

// Wakes a resting capture thread to look again at who wants frames.
void wake_feed(Feed* f);

// One line on stderr about the camera, with the local time.
void log_event(Feed* f, const char* what);

// Asks the thread to stop (next_picture returns at once), then joins it and
// releases the slot.
void stop_feed(Feed* f);

}  // namespace serve

#endif  // CAMCTL_SERVE_FEED_H
