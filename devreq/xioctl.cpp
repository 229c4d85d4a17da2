// The retrying ioctl used for every request that may be retried.
#include <errno.h>
#include <sys/ioctl.h>

#include "devreq.h"

namespace {

constexpr int kAttempts = 5;

// Conditions a device reports while it is busy or interrupted; anything else
// is an answer and is returned at once.
bool transient(int err) {
    return err == EAGAIN || err == EINTR || err == ETIMEDOUT;
}

}  // namespace

int xioctl(int fd, int request, void* arg) {
    int result = -1;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        // The int request widens with sign extension; the kernel truncates it
        // back to 32 bits.
        result = ::ioctl(fd, request, arg);
        if (result == 0 || attempt == kAttempts || !transient(errno)) break;
    }
    return result;
}
