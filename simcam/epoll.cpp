// epoll over simulated descriptors. A memfd cannot be watched by the
// kernel's epoll, so simcam keeps the simulated members of each epoll set
// itself and merges them with what the real epoll reports.
#include <errno.h>
#include <sys/epoll.h>

#include <algorithm>
#include <optional>

#include "internal.h"
#include "next.h"

using namespace simcam::detail;

namespace {

// Without a wake-up descriptor, the simulated members are looked at again
// this often.
constexpr uint64_t kSlice = 5000000;

int enosys() {
    return errno = ENOSYS, -1;
}

using pwait_t = int(int, struct epoll_event*, int, int, const sigset_t*);

// -2: no simulated member in this set.
int wait_common(int epfd, struct epoll_event* out, int max, int64_t timeout_ns,
                const sigset_t* mask) {
    State& st = state();
    uint64_t start = now_ns();
    uint64_t deadline = timeout_ns < 0 ? UINT64_MAX : start + uint64_t(timeout_ns);
    auto real_wait = NEXT(pwait_t, epoll_pwait);
    if (!real_wait) return enosys();
    // The real members and the wake-up are waited for together by ppoll
    // (an epoll descriptor is readable while it has events), and the real
    // events then collected without waiting.
    std::optional<Waiting> waiting;
    for (;;) {
        int n = 0;
        uint64_t next = UINT64_MAX;
        {
            std::lock_guard<std::mutex> lock(st.mu);
            auto it = st.epolls.find(epfd);
            if (it == st.epolls.end() || it->second.empty()) return -2;
            if (max <= 0) return errno = EINVAL, -1;
            for (auto& [fd, ev] : it->second) {
                auto h = handle_locked(fd);
                if (!h) continue;
                // The EPOLL* and POLL* bits are the same numbers.
                short want = short(ev.events & (EPOLLIN | EPOLLRDNORM | EPOLLPRI));
                short got = poll_events_locked(*h, want);
                uint32_t r = uint32_t(got) & (ev.events | EPOLLERR | EPOLLHUP);
                if (r && n < max) {
                    out[n].events = r;
                    out[n].data = ev.data;
                    ++n;
                }
                uint64_t due = h->meta ? 0 : next_due_locked(*h->cam);
                if (due) next = std::min(next, due);
            }
        }
        if (!waiting) {
            // Only a set with simulated members gets a wake-up; then it is
            // looked at once more, as a wake-up before that would be lost.
            waiting.emplace();
            if (!n) continue;
        }
        uint64_t now = now_ns();
        uint64_t wait = 0;
        if (!n && now < deadline) {
            wait = deadline - now;
            if (waiting->fd() < 0) wait = std::min(wait, kSlice);
            if (next != UINT64_MAX) wait = std::min(wait, next > now ? next - now : 0);
        }
        wait = std::min<uint64_t>(wait, 86400000000000u);
        int r = 0;
        if (n < max && wait > 0 && waiting->fd() >= 0) {
            struct pollfd p[2] = {{epfd, POLLIN, 0}, {waiting->fd(), POLLIN, 0}};
            struct timespec ts = {time_t(wait / 1000000000u), long(wait % 1000000000u)};
            if (real().ppoll(p, 2, &ts, mask) < 0) return -1;
            waiting->woken(p[1].revents);
            wait = 0;
            if (!p[0].revents) continue;
        }
        if (n < max) {
            r = real_wait(epfd, out + n, max - n, int((wait + 999999) / 1000000), mask);
            if (r < 0) return -1;
        }
        if (n + r > 0 || now_ns() >= deadline) return n + r;
    }
}

}  // namespace

extern "C" {

SIMCAM_INTERPOSE int epoll_ctl(int epfd, int op, int fd, struct epoll_event* ev) {
    if (any_sim_fds()) {
        State& st = state();
        std::lock_guard<std::mutex> lock(st.mu);
        if (handle_locked(fd)) {
            auto& set = st.epolls[epfd];
            bool member = set.count(fd) > 0;
            switch (op) {
                case EPOLL_CTL_ADD:
                case EPOLL_CTL_MOD:
                    if (op == EPOLL_CTL_ADD && member) return errno = EEXIST, -1;
                    if (op == EPOLL_CTL_MOD && !member) return errno = ENOENT, -1;
                    if (!ev) return errno = EFAULT, -1;
                    set[fd] = *ev;
                    if (epfd >= 0 && epfd < kMarkedFds) st.marked[epfd].fetch_or(kMarkEpoll);
                    return 0;
                case EPOLL_CTL_DEL:
                    if (!member) return errno = ENOENT, -1;
                    set.erase(fd);
                    return 0;
            }
            return errno = EINVAL, -1;
        }
    }
    auto f = NEXT(int(int, int, int, struct epoll_event*), epoll_ctl);
    return f ? f(epfd, op, fd, ev) : enosys();
}

SIMCAM_INTERPOSE int epoll_wait(int epfd, struct epoll_event* ev, int max, int timeout) {
    if (any_sim_fds()) {
        int r = wait_common(epfd, ev, max, timeout < 0 ? -1 : int64_t(timeout) * 1000000, nullptr);
        if (r != -2) return r;
    }
    auto f = NEXT(int(int, struct epoll_event*, int, int), epoll_wait);
    return f ? f(epfd, ev, max, timeout) : enosys();
}

SIMCAM_INTERPOSE int epoll_pwait(int epfd, struct epoll_event* ev, int max, int timeout,
                                 const sigset_t* mask) {
    if (any_sim_fds()) {
        int r = wait_common(epfd, ev, max, timeout < 0 ? -1 : int64_t(timeout) * 1000000, mask);
        if (r != -2) return r;
    }
    auto f = NEXT(pwait_t, epoll_pwait);
    return f ? f(epfd, ev, max, timeout, mask) : enosys();
}

}  // extern "C"

namespace simcam {
namespace detail {

void epoll_forget_locked(int fd) {
    State& st = state();
    if (st.epolls.erase(fd) && fd < kMarkedFds) st.marked[fd].fetch_and(uint8_t(~kMarkEpoll));
    for (auto& kv : st.epolls) kv.second.erase(fd);
}

}  // namespace detail
}  // namespace simcam
