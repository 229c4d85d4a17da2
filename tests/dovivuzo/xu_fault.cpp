#include "xu_fault.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

namespace {

int g_attempts[256];
uint8_t g_fail_selector;
int g_fail_err;
int g_fail_times;

using IoctlFn = int (*)(int, unsigned long, ...);

}  // namespace

namespace xu_fault {

void fail(uint8_t selector, int err, int times) {
    g_fail_selector = selector;
    g_fail_err = err;
    g_fail_times = times;
}

int attempts(uint8_t selector) {
    return g_attempts[selector];
}

void reset() {
    for (int& n : g_attempts) n = 0;
    g_fail_times = 0;
}

}  // namespace xu_fault

// Same declaration as <sys/ioctl.h>: the library's calls land here first.
int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    if ((unsigned int)request == (unsigned int)UVCIOC_CTRL_QUERY && arg != nullptr) {
        uint8_t sel = static_cast<uvc_xu_control_query*>(arg)->selector;
        ++g_attempts[sel];
        if (g_fail_times > 0 && sel == g_fail_selector) {
            --g_fail_times;
            errno = g_fail_err;
            return -1;
        }
    }
    static IoctlFn next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}
