// The libc definitions behind simcam's own, found with dlsym(RTLD_NEXT).
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

int stub_open(const char*, int, ...) {
    return errno = ENOSYS, -1;
}
int stub_int(int) {
    return errno = ENOSYS, -1;
}
int stub_ioctl(int, unsigned long, ...) {
    return errno = ENOSYS, -1;
}
int stub_poll(struct pollfd*, nfds_t, int) {
    return errno = ENOSYS, -1;
}
int stub_ppoll(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) {
    return errno = ENOSYS, -1;
}
int stub_fcntl(int, int, ...) {
    return errno = ENOSYS, -1;
}
int stub_fstat(int, struct stat*) {
    return errno = ENOSYS, -1;
}
int stub_dup2(int, int) {
    return errno = ENOSYS, -1;
}
int stub_dup3(int, int, int) {
    return errno = ENOSYS, -1;
}

template <typename F>
void resolve(F*& slot, const char* name, F* stub) {
    void* p = dlsym(RTLD_NEXT, name);
    slot = p ? reinterpret_cast<F*>(p) : stub;
}

Real build() {
    Real r;
    resolve(r.open, "open", stub_open);
    resolve(r.close, "close", stub_int);
    resolve(r.ioctl, "ioctl", stub_ioctl);
    resolve(r.poll, "poll", stub_poll);
    resolve(r.ppoll, "ppoll", stub_ppoll);
    resolve(r.fcntl, "fcntl", stub_fcntl);
    resolve(r.fstat, "fstat", stub_fstat);
    resolve(r.dup, "dup", stub_int);
    resolve(r.dup2, "dup2", stub_dup2);
    resolve(r.dup3, "dup3", stub_dup3);
    return r;
}

// Calls made while dlsym itself runs (it may open files) get the stubs.
thread_local bool resolving = false;
const Real stubs = {stub_open,  stub_int,   stub_ioctl, stub_poll, stub_ppoll,
                    stub_fcntl, stub_fstat, stub_int,   stub_dup2, stub_dup3};

}  // namespace

const Real& real() {
    if (resolving) return stubs;
    resolving = true;
    static const Real r = build();
    resolving = false;
    return r;
}

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

}  // namespace detail
}  // namespace simcam
