// Capture slots: open a V4L2 camera into slot 0 or 1, map its four driver
// buffers, start and stop streaming, copy finished frames out.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "camapi.h"
#include "devreq.h"

namespace {

constexpr int kSlots = 2;
constexpr int kBuffers = 4;

}  // namespace

int g_fd[kSlots] = {-1, -1};
void* g_mem[kSlots][kBuffers] = {};
uint32_t g_mem_len[kSlots][kBuffers] = {};
uint32_t g_mem_offset[kSlots][kBuffers] = {};
struct v4l2_requestbuffers g_rb[kSlots] = {};
struct v4l2_buffer g_buf[kSlots] = {};
pthread_mutex_t g_lock[kSlots] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

namespace {

// The last grabbed frame of each slot; valid only while `have_frame`.
CamFrameInfo last_frame[kSlots] = {};
bool have_frame[kSlots] = {};

void forget_frame(int index) {
    have_frame[index] = false;
    memset(&last_frame[index], 0, sizeof last_frame[index]);
}

bool valid_slot(int index) {
    return index >= 0 && index < kSlots;
}

// V4L2 request numbers do not fit a signed int; xioctl takes them as the
// kernel does, truncated to 32 bits.
int req(unsigned long request) {
    return static_cast<int>(request);
}

void set_capture_buffer(struct v4l2_buffer* buf, uint32_t index) {
    memset(buf, 0, sizeof *buf);
    buf->index = index;
    buf->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf->memory = V4L2_MEMORY_MMAP;
}

// The one release path of a slot: unmaps its buffers and closes `fd`, the
// slot's descriptor (or, while cam_open is still building the slot, the one
// it opened). Returns close's result, or `fd` itself when it is negative.
int release_slot(int index, int fd) {
    forget_frame(index);
    for (int i = 0; i < kBuffers; ++i) {
        if (g_mem[index][i]) {
            munmap(g_mem[index][i], g_mem_len[index][i]);
            g_mem[index][i] = nullptr;
        }
    }
    g_fd[index] = -1;
    if (fd < 0) return fd;
    return close(fd);
}

// A failed open: says what failed, releases what the open acquired and
// leaves errno as the failing step set it. A null message says nothing.
int fail_open(int index, int fd, const char* message) {
    int err = errno;
    if (message) fputs(message, stderr);
    release_slot(index, fd);
    errno = err;
    return -1;
}

// Queues all four buffers of a slot: the state cam_open leaves and cam_stop
// restores. Returns 0 or the first failing request's result.
int queue_all(int fd, struct v4l2_buffer* buf) {
    int first_failure = 0;
    int err = 0;
    for (int j = 0; j < kBuffers; ++j) {
        set_capture_buffer(buf, static_cast<uint32_t>(j));
        int result = xioctl(fd, req(VIDIOC_QBUF), buf);
        if (result != 0 && first_failure == 0) {
            first_failure = result;
            err = errno;
        }
    }
    if (first_failure != 0) errno = err;
    return first_failure;
}

// Opens `path`, checks that it is a V4L2 capture device and registers the
// extension-unit mapping: what every open of a slot starts with. Returns the
// descriptor, or -1 with the slot released and errno as the failing step set
// it (ENOTSUP for a device that does not capture); `say` writes the failing
// step's message.
int open_capture_node(int index, const char* path, bool say) {
    auto fail = [&](int fd, const char* message) {
        return fail_open(index, fd, say ? message : nullptr);
    };
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) return fail(fd, "ERROR: opening V4L2 interface error.\n");

    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    if (xioctl(fd, req(VIDIOC_QUERYCAP), &cap) != 0)
        return fail(fd, "ERROR: unable to query device capability.\n");
    if (!(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE)) {
        errno = ENOTSUP;
        return fail(fd, "ERROR: video capture not supported.\n");
    }

    // An existing mapping, or a driver that refuses it, never stops an open.
    devreq::register_mapping(fd);
    return fd;
}

}  // namespace

int cam_open(int index, const char* path, unsigned int pixelformat, unsigned int width,
             unsigned int height, unsigned int denominator, unsigned int numerator) {
    if (!valid_slot(index)) return -1;
    // An open slot is released first: abandoning it would keep the driver's
    // buffer queue owned by the old descriptor and leak it and its mappings.
    release_slot(index, g_fd[index]);

    int fd = open_capture_node(index, path, true);
    if (fd < 0) return -1;

    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = pixelformat;
    if (xioctl(fd, req(VIDIOC_S_FMT), &fmt) != 0)
        return fail_open(index, fd, "ERROR: unable to set format.\n");

    struct v4l2_streamparm parm;
    memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, req(VIDIOC_G_PARM), &parm) != 0)
        return fail_open(index, fd, "ERROR: unable to get stream parameter.\n");
    if (!(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        errno = ENOTSUP;
        return fail_open(index, fd, "ERROR: framerate control not support.\n");
    }
    parm.parm.capture.timeperframe.numerator = numerator;
    parm.parm.capture.timeperframe.denominator = denominator;
    if (xioctl(fd, req(VIDIOC_S_PARM), &parm) != 0)
        return fail_open(index, fd, "ERROR: unable to set framerate.\n");

    struct v4l2_requestbuffers* rb = &g_rb[index];
    memset(rb, 0, sizeof *rb);
    rb->count = kBuffers;
    rb->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb->memory = V4L2_MEMORY_MMAP;
    // A driver that grants fewer buffers makes the query of the missing ones fail.
    if (xioctl(fd, req(VIDIOC_REQBUFS), rb) != 0)
        return fail_open(index, fd, "ERROR: unable to allocate buffers.\n");

    struct v4l2_buffer* buf = &g_buf[index];
    for (int i = 0; i < kBuffers; ++i) {
        set_capture_buffer(buf, static_cast<uint32_t>(i));
        if (xioctl(fd, req(VIDIOC_QUERYBUF), buf) != 0)
            return fail_open(index, fd, "ERROR: unable to query buffer.\n");
        g_mem_offset[index][i] = buf->m.offset;
        g_mem_len[index][i] = buf->length;
        void* addr = mmap(nullptr, buf->length, PROT_READ, MAP_SHARED, fd,
                          static_cast<off_t>(buf->m.offset));
        if (addr == MAP_FAILED) return fail_open(index, fd, "ERROR: unable to map buffer.\n");
        g_mem[index][i] = addr;
    }

    for (int j = 0; j < kBuffers; ++j) {
        set_capture_buffer(buf, static_cast<uint32_t>(j));
        if (xioctl(fd, req(VIDIOC_QBUF), buf) != 0)
            return fail_open(index, fd, "ERROR: unable to query buffer.\n");
    }

    g_fd[index] = fd;
    return 0;
}

int cam_open_control(int index, const char* path) {
    if (!valid_slot(index)) return -1;
    release_slot(index, g_fd[index]);
    int fd = open_capture_node(index, path, false);
    if (fd < 0) return -1;
    // No buffers: nothing for a caller to size a frame by.
    memset(&g_rb[index], 0, sizeof g_rb[index]);
    memset(g_mem_len[index], 0, sizeof g_mem_len[index]);
    memset(g_mem_offset[index], 0, sizeof g_mem_offset[index]);
    g_fd[index] = fd;
    return 0;
}

int cam_close(int index) {
    if (!valid_slot(index)) return index;
    // No STREAMOFF: closing the descriptor ends streaming.
    return release_slot(index, g_fd[index]);
}

int cam_play(int index) {
    if (!valid_slot(index)) return -1;
    // Sequence numbers restart with the stream.
    forget_frame(index);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return xioctl(g_fd[index], req(VIDIOC_STREAMON), &type);
}

int cam_stop(int index) {
    if (!valid_slot(index)) return -1;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int result = xioctl(g_fd[index], req(VIDIOC_STREAMOFF), &type);
    if (result != 0) return result;
    // STREAMOFF takes every buffer off the queue; queue them again so that
    // a later cam_play delivers frames. A local descriptor keeps g_buf as
    // the last grab left it.
    struct v4l2_buffer buf;
    return queue_all(g_fd[index], &buf);
}

int cam_grabframe(int index, unsigned char* data, int* size) {
    if (!valid_slot(index)) return -1;
    pthread_mutex_lock(&g_lock[index]);
    int fd = g_fd[index];
    struct v4l2_buffer* buf = &g_buf[index];
    memset(buf, 0, sizeof *buf);
    buf->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf->memory = V4L2_MEMORY_MMAP;
    int result = xioctl(fd, req(VIDIOC_DQBUF), buf);
    if (result != 0) {
        pthread_mutex_unlock(&g_lock[index]);
        return result;
    }

    uint32_t i = buf->index;
    if (i >= kBuffers || !g_mem[index][i]) {
        // Not one of ours: hand it back and copy nothing.
        xioctl(fd, req(VIDIOC_QBUF), buf);
        pthread_mutex_unlock(&g_lock[index]);
        errno = EIO;
        return -1;
    }
    if (buf->flags & V4L2_BUF_FLAG_ERROR) {
        // A corrupt frame: recycle it so that the caller's retry takes the
        // next good one. A failed requeue is the worse news and wins.
        result = xioctl(fd, req(VIDIOC_QBUF), buf);
        pthread_mutex_unlock(&g_lock[index]);
        if (result != 0) return result;
        errno = EAGAIN;
        return -1;
    }

    uint32_t used = buf->bytesused;
    if (used > g_mem_len[index][i]) used = g_mem_len[index][i];
    memcpy(data, g_mem[index][i], used);
    *size = static_cast<int>(used);
    // Taken before the requeue, which writes the buffer back as queued;
    // kept only when the grab succeeds.
    CamFrameInfo info;
    info.sequence = buf->sequence;
    info.flags = buf->flags;
    info.bytesused = buf->bytesused;
    info.reserved = 0;
    info.timestamp_sec = static_cast<int64_t>(buf->timestamp.tv_sec);
    info.timestamp_usec = static_cast<int64_t>(buf->timestamp.tv_usec);

    result = xioctl(fd, req(VIDIOC_QBUF), buf);
    if (result == 0) {
        last_frame[index] = info;
        have_frame[index] = true;
    }
    pthread_mutex_unlock(&g_lock[index]);
    return result;
}

int cam_get_frameinfo(int index, CamFrameInfo* info) {
    if (!valid_slot(index) || !info) {
        errno = EINVAL;
        return -1;
    }
    pthread_mutex_lock(&g_lock[index]);
    bool have = have_frame[index];
    if (have) *info = last_frame[index];
    pthread_mutex_unlock(&g_lock[index]);
    if (!have) {
        errno = ENODATA;
        return -1;
    }
    return 0;
}
