// Frames from an open capture slot, waited for with poll and a timeout, so
// that a camera that stops delivering or is unplugged ends the run instead
// of hanging it.
#ifndef CAMCTL_FRAME_SOURCE_H
#define CAMCTL_FRAME_SOURCE_H

#include <stdint.h>

#include <vector>

#include "choose.h"

enum class Wait {
    Frame,      // a frame is in `data`
    Timeout,    // no good frame within the timeout
    Unplugged,  // the device is gone
    Failed,     // the driver refused; errno in `err`
    Stopped,    // a stop signal came (stop_signal() says which)
    Deadline,   // the run's time is up
};

struct FrameSource {
    const char* prog = "camctl";
    int slot = 0;
    Capture capture;  // as the driver granted it
    int timeout_ms = 2000;
    const char* timeout_text = "2";
    double deadline = 0;  // now_seconds() at which the run ends; 0: none

    std::vector<unsigned char> data;
    int size = 0;
    uint32_t sequence = 0;  // the driver's number of the frame in `data`
    double timestamp = 0;   // the driver's time of that frame, seconds (0: none given)
    unsigned damaged = 0;   // frames skipped as damaged so far
    unsigned flagged = 0;   // of those, flagged by the driver: their numbers never reach us
    int err = 0;
    double waiting_since = 0;   // when the wait for the next good frame began
    double previous_since = 0;  // the same before the last frame came

    // The frame's time, seconds: the driver's, or when the wait for it
    // began where the driver gives none.
    double frame_time() const { return timestamp > 0 ? timestamp : waiting_since; }
};

// Opens the camera into the slot, learns the format the driver granted and
// starts streaming. Says why not and returns false on failure.
bool start_frames(const char* prog, const Capture& wanted, int slot, FrameSource* src);

// Waits for the next whole frame: frames the driver flags as damaged, cut
// short or (MJPG) not starting and ending as a JPEG image of the granted
// size are skipped and counted.
Wait next_frame(FrameSource* src);

// The caller found the frame unusable: counts it as damaged, and the wait
// for a good one goes on from where it was.
void reject_frame(FrameSource* src);

// One line for a wait that did not end in a frame (none for a stop or the
// deadline); returns the exit status.
int report_wait(const FrameSource& src, Wait result);

// Stops streaming and closes the slot.
void stop_frames(FrameSource* src);

double now_seconds();

#endif  // CAMCTL_FRAME_SOURCE_H
