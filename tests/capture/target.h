// What the capture and controls tests run against: simcam in process (the
// default), or, with CAMKIT_TEST_ON_DRIVER=1 in the environment, the real
// uvcvideo driver's /dev/video0 (the kernel stage: simcam-usbip is the USB
// camera, simcam in process then simulates none). Cases that need simcam's
// faults, registers or more cameras skip on the driver with the reason.
#ifndef TESTS_CAPTURE_TARGET_H
#define TESTS_CAPTURE_TARGET_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

#include "simcam.h"

namespace target {

bool on_driver();

// A fresh camera: simcam's reset() and `cam` added, or on the driver no
// simulated camera at all. Empties the request log.
void use(const simcam::Camera& cam);

// V4L2 and UVC requests made since the last clear: simcam's log, or on the
// driver what the test's ioctl layer passed to the kernel (same fields).
std::vector<simcam::Request> requests();
void clear_requests();

// Mappings of capture buffers and open capture descriptors in this process.
size_t live_mappings();
size_t open_descriptors();

// Waits (on the driver, where frames come at the camera's rate) until a
// frame can be dequeued from `fd`; false when none came within 5 s. At once
// on simcam, whose test cameras have a frame whenever a buffer is queued.
bool wait_frame(int fd);

// On the driver: every extension-unit request stalls (true) or no longer,
// by the USB camera's control FIFO. False when there is no FIFO.
bool stall_registers(bool on);

}  // namespace target

// Leaves the test, skipped, when it runs on the real driver.
#define SKIP_ON_DRIVER(why)     \
    if (!target::on_driver()) { \
    } else                      \
        GTEST_SKIP() << "on the real driver: " << why

#endif  // TESTS_CAPTURE_TARGET_H
