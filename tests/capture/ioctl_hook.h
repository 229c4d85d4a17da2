// A test double standing in front of the driver: while a hook is set, every
// ioctl of the process goes to it, and it decides whether and how the
// request reaches the (simulated) driver behind.
#ifndef TESTS_CAPTURE_IOCTL_HOOK_H
#define TESTS_CAPTURE_IOCTL_HOOK_H

#include <stdint.h>

#include <vector>

#include "simcam.h"

namespace ioctl_hook {

// Answers one request; calls forward() to pass it on.
using Hook = int (*)(int fd, uint32_t request, void* arg);

void set(Hook hook);
void clear();
// The next definition of ioctl (simcam, then the C library).
int forward(int fd, uint32_t request, void* arg);

// While on, every V4L2 and UVC request passed on (to the kernel, where no
// camera is simulated) is logged as simcam logs its own, hooks' changes not
// included.
void record(bool on);
std::vector<simcam::Request> recorded();
void clear_recorded();

// Clears the hook when the scope ends, whatever the test's outcome.
struct Scoped {
    explicit Scoped(Hook hook) { set(hook); }
    ~Scoped() { clear(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
};

}  // namespace ioctl_hook

#endif  // TESTS_CAPTURE_IOCTL_HOOK_H
