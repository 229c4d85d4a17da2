// Two-phase register transactions over the camera's extension unit: a
// request block on one selector, then the data on the other. Callers hold
// whatever lock keeps transactions on one device from interleaving.
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "devreq.h"

namespace devreq {
namespace {

int query(int fd, uint8_t selector, uint8_t request, uint8_t* block, Retry retry) {
    struct uvc_xu_control_query q;
    memset(&q, 0, sizeof q);
    q.unit = kXuUnit;
    q.selector = selector;
    q.query = request;
    q.size = kBlockSize;  // every query carries the whole block
    q.data = block;
    if (retry == Retry::Once) return ::ioctl(fd, UVCIOC_CTRL_QUERY, &q);
    return xioctl(fd, static_cast<int>(UVCIOC_CTRL_QUERY), &q);
}

int request_phase(int fd, uint8_t command, uint16_t address, int length) {
    uint8_t block[kBlockSize] = {0,
                                 command,
                                 static_cast<uint8_t>(address & 0xFF),
                                 static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(length),
                                 0,
                                 0,
                                 0};
    return query(fd, kSelRequest, UVC_SET_CUR, block, Retry::Retried);
}

bool valid_length(int length) {
    return length >= 0 && length <= kMaxTransfer;
}

}  // namespace

int read_transaction(int fd, uint8_t command, uint16_t address, int length, unsigned char* dest,
                     Retry response) {
    if (!valid_length(length)) {
        errno = EINVAL;
        return -1;
    }
    int result = request_phase(fd, command, address, length);
    if (result < 0) return result;

    uint8_t block[kBlockSize] = {};
    result = query(fd, kSelResponse, UVC_GET_CUR, block, response);
    if (result < 0) return result;
    if (length > 0) memcpy(dest, block, static_cast<size_t>(length));
    return result;
}

int write_transaction(int fd, uint8_t command, uint16_t address, int length,
                      const unsigned char* src) {
    if (!valid_length(length)) {
        errno = EINVAL;
        return -1;
    }
    int result = request_phase(fd, command, address, length);
    if (result < 0) return result;

    uint8_t block[kBlockSize] = {};
    if (length > 0) memcpy(block, src, static_cast<size_t>(length));
    return query(fd, kSelResponse, UVC_SET_CUR, block, Retry::Retried);
}

}  // namespace devreq
