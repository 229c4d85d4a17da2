// Small helpers shared by the simcam tests.
#ifndef TESTS_SIMCAM_HELPERS_H
#define TESTS_SIMCAM_HELPERS_H

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "simcam.h"

namespace simtest {

// ioctl result: 0 or the errno of the failure.
inline int io(int fd, unsigned long req, void* arg) {
    return ioctl(fd, req, arg) == 0 ? 0 : errno;
}

inline int set_fmt(int fd, uint32_t fourcc, uint32_t w, uint32_t h, v4l2_format* out = nullptr) {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.pixelformat = fourcc;
    f.fmt.pix.width = w;
    f.fmt.pix.height = h;
    int r = io(fd, VIDIOC_S_FMT, &f);
    if (out) *out = f;
    return r;
}

inline int set_rate(int fd, uint32_t fps) {
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    p.parm.capture.timeperframe = {1, fps};
    return io(fd, VIDIOC_S_PARM, &p);
}

inline int reqbufs(int fd, uint32_t count, uint32_t* granted = nullptr) {
    v4l2_requestbuffers rb{};
    rb.count = count;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    int r = io(fd, VIDIOC_REQBUFS, &rb);
    if (granted) *granted = rb.count;
    return r;
}

inline int qbuf(int fd, uint32_t index) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = index;
    return io(fd, VIDIOC_QBUF, &b);
}

inline int dqbuf(int fd, v4l2_buffer* b) {
    *b = v4l2_buffer{};
    b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b->memory = V4L2_MEMORY_MMAP;
    return io(fd, VIDIOC_DQBUF, b);
}

inline int stream(int fd, bool on) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return io(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
}

// An open camera with mapped buffers, all queued; unmapped and closed at the end.
struct Capture {
    int fd = -1;
    std::vector<void*> maps;
    std::vector<size_t> lens;

    bool open(const char* node, uint32_t fourcc, uint32_t w, uint32_t h, uint32_t fps,
              uint32_t count = 4, int flags = O_RDWR | O_NONBLOCK) {
        fd = ::open(node, flags);
        if (fd < 0 || set_fmt(fd, fourcc, w, h) || set_rate(fd, fps)) return false;
        uint32_t n = 0;
        if (reqbufs(fd, count, &n)) return false;
        for (uint32_t i = 0; i < n; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            if (io(fd, VIDIOC_QUERYBUF, &b)) return false;
            void* p = mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
            if (p == MAP_FAILED) return false;
            maps.push_back(p);
            lens.push_back(b.length);
            if (qbuf(fd, i)) return false;
        }
        return true;
    }
    // Waits (poll) for the next frame and dequeues it.
    int next(v4l2_buffer* b, int timeout_ms = 2000);
    ~Capture() {
        for (size_t i = 0; i < maps.size(); ++i) munmap(maps[i], lens[i]);
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace simtest

#endif  // TESTS_SIMCAM_HELPERS_H
