#include "dovivuzo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "devreq.h"

int g_fd = -1;

namespace {

// Register calls need an open device and a length the 8-byte block can carry;
// a negative length must never reach the copy.
bool refused(int len) {
    return len > devreq::kMaxTransfer || len < 0 || g_fd < 0;
}

}  // namespace

int dovivuzo_open(const char* path) {
    // The old descriptor would otherwise be lost with nothing left to close it.
    if (g_fd >= 0) dovivuzo_close();

    g_fd = open(path, O_RDWR);
    if (g_fd < 0) {
        int err = errno;  // the caller gets open's errno, not printf's
        printf("opening V4L2 interface error.\n");
        errno = err;
        return -1;
    }
    // An existing or refused mapping never stops the open.
    devreq::register_mapping(g_fd);
    return 0;
}

int dovivuzo_close() {
    if (g_fd < 0) return g_fd;
    int rc = close(g_fd);
    g_fd = -1;
    return rc;
}

int dovivuzo_dsp_read_buf(unsigned short addr, unsigned char* data, int len) {
    if (refused(len)) return -1;
    // Unlike the sensor read, the DSP read's response phase goes out once, unretried.
    return devreq::read_transaction(g_fd, devreq::kCmdDspRead, addr, len, data,
                                    devreq::Retry::Once);
}

int dovivuzo_dsp_write_buf(unsigned short addr, unsigned char* data, int len) {
    if (refused(len)) return -1;
    return devreq::write_transaction(g_fd, devreq::kCmdDspWrite, addr, len, data);
}
