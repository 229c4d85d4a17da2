#include "ioctl_hook.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <linux/uvcvideo.h>

#include <atomic>
#include <mutex>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

std::atomic<ioctl_hook::Hook> g_hook{nullptr};

IoctlFn next_ioctl() {
    static IoctlFn next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return next;
}

std::atomic<bool> g_record{false};
std::mutex g_log_mu;
std::vector<simcam::Request> g_log;

std::vector<uint8_t> bytes_of(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return p ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
}

// The next ioctl, logged when recording: V4L2 ('V') and UVC ('u') requests.
int pass_on(int fd, unsigned long request, void* arg) {
    const uint32_t req = static_cast<uint32_t>(request);
    const char type = static_cast<char>(_IOC_TYPE(req));
    if (!g_record || (type != 'V' && type != 'u')) return next_ioctl()(fd, request, arg);
    simcam::Request r;
    r.fd = fd;
    r.request = req;
    r.arg_in = bytes_of(arg, _IOC_SIZE(req));
    auto* q = static_cast<uvc_xu_control_query*>(arg);
    const bool xu = req == static_cast<uint32_t>(UVCIOC_CTRL_QUERY) && arg;
    if (xu) {
        r.xu_unit = q->unit;
        r.xu_selector = q->selector;
        r.xu_query = q->query;
        r.xu_in = bytes_of(q->data, q->size);
    }
    r.result = next_ioctl()(fd, request, arg);
    r.err = r.result < 0 ? errno : 0;
    r.arg_out = bytes_of(arg, _IOC_SIZE(req));
    if (xu) r.xu_out = bytes_of(q->data, q->size);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    r.time_ns = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    r.tid = static_cast<int>(syscall(SYS_gettid));
    const int result = r.result, err = r.err;
    {
        std::lock_guard<std::mutex> lock(g_log_mu);
        g_log.push_back(std::move(r));
    }
    errno = err;
    return result;
}

}  // namespace

namespace ioctl_hook {

void set(Hook hook) {
    g_hook = hook;
}

void clear() {
    g_hook = nullptr;
}

int forward(int fd, uint32_t request, void* arg) {
    // Widened as the C library's callers widen an int request.
    return pass_on(fd, static_cast<unsigned long>(static_cast<int>(request)), arg);
}

void record(bool on) {
    g_record = on;
}

std::vector<simcam::Request> recorded() {
    std::lock_guard<std::mutex> lock(g_log_mu);
    return g_log;
}

void clear_recorded() {
    std::lock_guard<std::mutex> lock(g_log_mu);
    g_log.clear();
}

}  // namespace ioctl_hook

// The executable's definition comes first in symbol lookup, ahead of
// simcam's and the C library's.
extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    ioctl_hook::Hook hook = g_hook;
    if (hook) return hook(fd, static_cast<uint32_t>(request), arg);
    return pass_on(fd, request, arg);
}
