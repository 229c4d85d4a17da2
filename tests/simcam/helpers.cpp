#include "helpers.h"

#include <poll.h>

namespace simtest {

int Capture::next(v4l2_buffer* b, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
    return dqbuf(fd, b);
}

}  // namespace simtest
