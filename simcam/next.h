// The definition behind ours of a libc function, looked up once.
#ifndef SIMCAM_NEXT_H
#define SIMCAM_NEXT_H

#include <dlfcn.h>

#include <atomic>

namespace simcam {
namespace detail {

// Null while the lookup itself is running on this thread (dlsym may call
// back into our entry points).
inline void* lookup_next(const char* name) {
    static thread_local bool busy = false;
    if (busy) return nullptr;
    busy = true;
    void* p = dlsym(RTLD_NEXT, name);
    busy = false;
    return p;
}

template <typename F>
F* next_fn(std::atomic<void*>& cache, const char* name) {
    void* p = cache.load(std::memory_order_acquire);
    if (!p) {
        p = lookup_next(name);
        if (p) cache.store(p, std::memory_order_release);
    }
    return reinterpret_cast<F*>(p);
}

}  // namespace detail
}  // namespace simcam

#define NEXT(type, name)                                      \
    ([]() {                                                   \
        static std::atomic<void*> cache{nullptr};             \
        return ::simcam::detail::next_fn<type>(cache, #name); \
    }())

#endif  // SIMCAM_NEXT_H
