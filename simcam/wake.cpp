// Waking the threads that wait in poll or epoll_wait on simulated
// descriptors. Each waiting thread has an eventfd among the descriptors of
// its real wait; whatever may make a simulated descriptor ready (a frame
// due, a buffer queued, an unplug, a control event) writes to all of them,
// so a wait ends when something happens and not on a timer.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "internal.h"

namespace simcam {
namespace detail {

void wake_locked() {
    State& st = state();
    st.cv.notify_all();
    for (int fd : st.waiters) eventfd_write(fd, 1);
}

// A descriptor of the wait's own, closed with it: one kept for the thread
// could be closed by the program (after a fork, say) and its number reused.
Waiting::Waiting() {
    {
        Busy busy;
        fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    if (fd_ < 0) return;
    std::lock_guard<std::mutex> lock(state().mu);
    state().waiters.push_back(fd_);
}

Waiting::~Waiting() {
    if (fd_ < 0) return;
    {
        std::lock_guard<std::mutex> lock(state().mu);
        auto& w = state().waiters;
        auto it = std::find(w.begin(), w.end(), fd_);
        if (it != w.end()) w.erase(it);
    }
    Busy busy;
    close(fd_);
}

bool Waiting::woken(short revents) {
    if (!(revents & POLLIN)) return false;
    eventfd_t n;
    eventfd_read(fd_, &n);
    return true;
}

}  // namespace detail
}  // namespace simcam
