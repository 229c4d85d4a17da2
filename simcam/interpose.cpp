// The libc entry points simcam stands in front of. Calls on anything but a
// simulated node or descriptor go straight on to the next definition.
//
// These must carry C linkage and default visibility to interpose; the
// fortified and legacy variants have no declaration in the headers.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>

#include "internal.h"
#include "next.h"

using namespace simcam::detail;

namespace {

int enosys() {
    return errno = ENOSYS, -1;
}

mode_t take_mode(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

// -2: not a simulated node.
int try_open(const char* path, int flags) {
    if (t_busy) return -2;
    std::string node = node_path(path);
    if (node.empty()) return -2;
    watch_control_file();
    return sim_open(node, flags);
}

int try_openat(int dirfd, const char* path, int flags) {
    if (!path || (path[0] != '/' && dirfd != AT_FDCWD)) return -2;
    return try_open(path, flags);
}

bool is_sim(int fd) {
    if (!maybe_sim(fd)) return false;
    std::lock_guard<std::mutex> lock(state().mu);
    return handle_locked(fd) != nullptr;
}

template <typename St>
void as_device(int fd, St* st) {
    struct stat s {};
    sim_fstat(fd, &s);
    st->st_mode = s.st_mode;
    st->st_rdev = s.st_rdev;
    st->st_size = 0;
    st->st_blocks = 0;
}

using open_t = int(const char*, int, ...);
using openat_t = int(int, const char*, int, ...);
using open2_t = int(const char*, int);
using openat2_t = int(int, const char*, int);

}  // namespace

extern "C" {

SIMCAM_INTERPOSE int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = take_mode(flags, ap);
    va_end(ap);
    int r = try_open(path, flags);
    if (r != -2) return r;
    auto f = NEXT(open_t, open);
    return f ? f(path, flags, mode) : enosys();
}

SIMCAM_INTERPOSE int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = take_mode(flags, ap);
    va_end(ap);
    int r = try_open(path, flags);
    if (r != -2) return r;
    auto f = NEXT(open_t, open64);
    return f ? f(path, flags, mode) : enosys();
}

SIMCAM_INTERPOSE int __open_2(const char* path, int flags) {
    int r = try_open(path, flags);
    if (r != -2) return r;
    auto f = NEXT(open2_t, __open_2);
    return f ? f(path, flags) : enosys();
}

SIMCAM_INTERPOSE int __open64_2(const char* path, int flags) {
    int r = try_open(path, flags);
    if (r != -2) return r;
    auto f = NEXT(open2_t, __open64_2);
    return f ? f(path, flags) : enosys();
}

SIMCAM_INTERPOSE int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = take_mode(flags, ap);
    va_end(ap);
    int r = try_openat(dirfd, path, flags);
    if (r != -2) return r;
    auto f = NEXT(openat_t, openat);
    return f ? f(dirfd, path, flags, mode) : enosys();
}

SIMCAM_INTERPOSE int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = take_mode(flags, ap);
    va_end(ap);
    int r = try_openat(dirfd, path, flags);
    if (r != -2) return r;
    auto f = NEXT(openat_t, openat64);
    return f ? f(dirfd, path, flags, mode) : enosys();
}

SIMCAM_INTERPOSE int __openat_2(int dirfd, const char* path, int flags) {
    int r = try_openat(dirfd, path, flags);
    if (r != -2) return r;
    auto f = NEXT(openat2_t, __openat_2);
    return f ? f(dirfd, path, flags) : enosys();
}

SIMCAM_INTERPOSE int __openat64_2(int dirfd, const char* path, int flags) {
    int r = try_openat(dirfd, path, flags);
    if (r != -2) return r;
    auto f = NEXT(openat2_t, __openat64_2);
    return f ? f(dirfd, path, flags) : enosys();
}

SIMCAM_INTERPOSE int close(int fd) {
    if (maybe_sim(fd) || maybe_sim_epoll(fd)) {
        std::lock_guard<std::mutex> lock(state().mu);
        sim_close_locked(fd);
    }
    auto f = NEXT(int(int), close);
    return f ? f(fd) : enosys();
}

SIMCAM_INTERPOSE int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (any_sim_fds()) {
        // The kernel sees the request as unsigned int, whatever was passed.
        int r = handle_ioctl(fd, uint32_t(request), arg);
        if (r != -2) return r;
    }
    auto f = NEXT(int(int, unsigned long, ...), ioctl);
    return f ? f(fd, request, arg) : enosys();
}

// A UVC node has no read/write I/O.
SIMCAM_INTERPOSE ssize_t read(int fd, void* buf, size_t n) {
    if (is_sim(fd)) return errno = EINVAL, -1;
    auto f = NEXT(ssize_t(int, void*, size_t), read);
    return f ? f(fd, buf, n) : enosys();
}

SIMCAM_INTERPOSE ssize_t write(int fd, const void* buf, size_t n) {
    if (is_sim(fd)) return errno = EINVAL, -1;
    auto f = NEXT(ssize_t(int, const void*, size_t), write);
    return f ? f(fd, buf, n) : enosys();
}

// Polls of sockets alone (a server's many connections) go straight to the
// real call, without the lock.
SIMCAM_INTERPOSE int poll(struct pollfd* fds, nfds_t n, int timeout) {
    if (maybe_sim(fds, n))
        return sim_poll(fds, n, timeout < 0 ? -1 : int64_t(timeout) * 1000000, nullptr);
    auto f = NEXT(int(struct pollfd*, nfds_t, int), poll);
    return f ? f(fds, n, timeout) : enosys();
}

SIMCAM_INTERPOSE int __poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t) {
    return poll(fds, n, timeout);
}

SIMCAM_INTERPOSE int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* ts,
                           const sigset_t* mask) {
    if (maybe_sim(fds, n)) {
        int64_t t = ts ? int64_t(ts->tv_sec) * 1000000000 + ts->tv_nsec : -1;
        return sim_poll(fds, n, t, mask);
    }
    auto f = NEXT(int(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*), ppoll);
    return f ? f(fds, n, ts, mask) : enosys();
}

SIMCAM_INTERPOSE int __ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* ts,
                                 const sigset_t* mask, size_t) {
    return ppoll(fds, n, ts, mask);
}

}  // extern "C"

namespace {

// select over simulated descriptors, by way of poll.
int select_common(int nfds, fd_set* r, fd_set* w, fd_set* e, int64_t timeout_ns,
                  const sigset_t* mask) {
    std::vector<struct pollfd> p;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        short ev = 0;
        if (r && FD_ISSET(fd, r)) ev |= POLLIN;
        if (w && FD_ISSET(fd, w)) ev |= POLLOUT;
        if (e && FD_ISSET(fd, e)) ev |= POLLPRI;
        if (ev) p.push_back({fd, ev, 0});
    }
    int res = sim_poll(p.data(), p.size(), timeout_ns, mask);
    if (res < 0) return -1;
    for (const pollfd& x : p)
        if (x.revents & POLLNVAL) return errno = EBADF, -1;
    if (r) FD_ZERO(r);
    if (w) FD_ZERO(w);
    if (e) FD_ZERO(e);
    int n = 0;
    for (const pollfd& x : p) {
        if (r && (x.events & POLLIN) && (x.revents & (POLLIN | POLLRDNORM | POLLHUP | POLLERR)))
            FD_SET(x.fd, r), ++n;
        if (w && (x.events & POLLOUT) && (x.revents & (POLLOUT | POLLWRNORM | POLLERR)))
            FD_SET(x.fd, w), ++n;
        if (e && (x.events & POLLPRI) && (x.revents & POLLPRI)) FD_SET(x.fd, e), ++n;
    }
    return n;
}

bool any_sim_in(int nfds, fd_set* r, fd_set* w, fd_set* e) {
    if (!any_sim_fds()) return false;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd)
        if (((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e))) &&
            is_sim(fd))
            return true;
    return false;
}

}  // namespace

extern "C" {

SIMCAM_INTERPOSE int select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
    if (any_sim_in(nfds, r, w, e)) {
        uint64_t start = now_ns();
        int64_t t = tv ? int64_t(tv->tv_sec) * 1000000000 + int64_t(tv->tv_usec) * 1000 : -1;
        int res = select_common(nfds, r, w, e, t, nullptr);
        if (tv) {
            // Linux hands back the time left.
            int64_t left = t - int64_t(now_ns() - start);
            if (left < 0) left = 0;
            tv->tv_sec = time_t(left / 1000000000);
            tv->tv_usec = suseconds_t(left % 1000000000 / 1000);
        }
        return res;
    }
    auto f = NEXT(int(int, fd_set*, fd_set*, fd_set*, struct timeval*), select);
    return f ? f(nfds, r, w, e, tv) : enosys();
}

SIMCAM_INTERPOSE int pselect(int nfds, fd_set* r, fd_set* w, fd_set* e, const struct timespec* ts,
                             const sigset_t* mask) {
    if (any_sim_in(nfds, r, w, e)) {
        int64_t t = ts ? int64_t(ts->tv_sec) * 1000000000 + ts->tv_nsec : -1;
        return select_common(nfds, r, w, e, t, mask);
    }
    auto f =
        NEXT(int(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*), pselect);
    return f ? f(nfds, r, w, e, ts, mask) : enosys();
}

SIMCAM_INTERPOSE int fstat(int fd, struct stat* st) {
    auto f = NEXT(int(int, struct stat*), fstat);
    int r = f ? f(fd, st) : enosys();
    if (r == 0 && is_sim(fd)) as_device(fd, st);
    return r;
}

SIMCAM_INTERPOSE int fstat64(int fd, struct stat64* st) {
    auto f = NEXT(int(int, struct stat64*), fstat64);
    int r = f ? f(fd, st) : enosys();
    if (r == 0 && is_sim(fd)) as_device(fd, st);
    return r;
}

SIMCAM_INTERPOSE int __fxstat(int ver, int fd, struct stat* st) {
    auto f = NEXT(int(int, int, struct stat*), __fxstat);
    int r = f ? f(ver, fd, st) : enosys();
    if (r == 0 && is_sim(fd)) as_device(fd, st);
    return r;
}

SIMCAM_INTERPOSE int __fxstat64(int ver, int fd, struct stat64* st) {
    auto f = NEXT(int(int, int, struct stat64*), __fxstat64);
    int r = f ? f(ver, fd, st) : enosys();
    if (r == 0 && is_sim(fd)) as_device(fd, st);
    return r;
}

SIMCAM_INTERPOSE int statx(int dirfd, const char* path, int flags, unsigned mask,
                           struct statx* stx) {
    auto f = NEXT(int(int, const char*, int, unsigned, struct statx*), statx);
    int r = f ? f(dirfd, path, flags, mask, stx) : enosys();
    const char* p = path;  // declared nonnull, yet callers pass null
    if (r == 0 && (flags & AT_EMPTY_PATH) && p && !*p && is_sim(dirfd)) {
        struct stat s {};
        sim_fstat(dirfd, &s);
        stx->stx_mode = uint16_t(s.st_mode);
        stx->stx_rdev_major = major(s.st_rdev);
        stx->stx_rdev_minor = minor(s.st_rdev);
        stx->stx_size = 0;
        stx->stx_blocks = 0;
    }
    return r;
}

SIMCAM_INTERPOSE int dup(int fd) {
    auto f = NEXT(int(int), dup);
    int r = f ? f(fd) : enosys();
    if (r >= 0 && any_sim_fds()) {
        std::lock_guard<std::mutex> lock(state().mu);
        sim_dup_locked(fd, r);
    }
    return r;
}

SIMCAM_INTERPOSE int dup2(int fd, int fd2) {
    auto f = NEXT(int(int, int), dup2);
    int r = f ? f(fd, fd2) : enosys();
    if (r >= 0 && any_sim_fds()) {
        std::lock_guard<std::mutex> lock(state().mu);
        sim_dup_locked(fd, r);
    }
    return r;
}

SIMCAM_INTERPOSE int dup3(int fd, int fd2, int flags) {
    auto f = NEXT(int(int, int, int), dup3);
    int r = f ? f(fd, fd2, flags) : enosys();
    if (r >= 0 && any_sim_fds()) {
        std::lock_guard<std::mutex> lock(state().mu);
        sim_dup_locked(fd, r);
    }
    return r;
}

static int fcntl_common(void* next, int fd, int cmd, void* arg) {
    auto f = reinterpret_cast<int (*)(int, int, ...)>(next);
    int r = f ? f(fd, cmd, arg) : enosys();
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && any_sim_fds()) {
        std::lock_guard<std::mutex> lock(state().mu);
        sim_dup_locked(fd, r);
    }
    return r;
}

SIMCAM_INTERPOSE int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(reinterpret_cast<void*>(NEXT(int(int, int, ...), fcntl)), fd, cmd, arg);
}

SIMCAM_INTERPOSE int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(reinterpret_cast<void*>(NEXT(int(int, int, ...), fcntl64)), fd, cmd, arg);
}

}  // extern "C"
