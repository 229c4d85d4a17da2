#include "ioctl_hook.h"

#include <dlfcn.h>
#include <stdarg.h>

#include <atomic>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

std::atomic<ioctl_hook::Hook> g_hook{nullptr};

IoctlFn next_ioctl() {
    static IoctlFn next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return next;
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
    return next_ioctl()(fd, static_cast<unsigned long>(static_cast<int>(request)), arg);
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
    return next_ioctl()(fd, request, arg);
}
