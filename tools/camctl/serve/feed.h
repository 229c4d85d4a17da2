// One camera shared by every client: a thread captures from the slot and
// keeps only the latest frame; clients take that frame when they are ready
// for one, so a slow client skips frames and never holds up the capture.
// When the camera goes away the feed shows a "no signal" picture and opens
// the device again by its path until it is back.
#ifndef CAMCTL_SERVE_FEED_H
#define CAMCTL_SERVE_FEED_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "choose.h"

namespace serve {

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
    uint64_t frames = 0;
    uint64_t damaged = 0;
    double measured_fps = 0;
    int clients = 0;
};

struct Feed {
    int slot = 0;
    int quality = 80;
    Capture capture;  // wanted, then as granted

    // Held while the slot is opened or closed; the API holds it around its
    // requests so that they never meet a half-open slot.
    std::mutex device;
    std::atomic<int> clients{0};

    // Internal state, guarded by m.
    std::mutex m;
    std::condition_variable cv;
    Bytes raw;  // the latest good frame as captured
    uint64_t raw_number = 0;
    double raw_timestamp = 0;
    Bytes encoded;  // YUYV: the latest frame as JPEG, once someone asked
    uint64_t encoded_number = 0;
    double encoded_timestamp = 0;
    uint64_t encoding_number = 0;  // being encoded by a client now
    Bytes no_signal;
    bool signal = false;
    bool open = false;  // the slot holds the camera (guarded by device)
    uint64_t damaged = 0;
    double measured_fps = 0;
    bool stopping = false;
    std::thread thread;
};

// Opens the camera and starts the capture thread; false (with a message)
// when the camera cannot be opened at all.
bool start_feed(const char* prog, const Capture& wanted, int slot, int quality, Feed* f);

// The newest picture after `after` (0: whatever is there), waiting up to
// wait_ms; while there is no signal, the "no signal" picture about once a
// second. Empty jpeg on timeout or when the feed stops.
Picture next_picture(Feed* f, uint64_t after, int wait_ms);

FeedStatus feed_status(Feed* f);

// Asks the thread to stop (next_picture returns at once), then joins it and
// releases the slot.
void stop_feed(Feed* f);

}  // namespace serve

#endif  // CAMCTL_SERVE_FEED_H
