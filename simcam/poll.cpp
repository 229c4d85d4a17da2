// poll over a mix of simulated and real descriptors: simulated ones are
// answered from the frame clock, the others by the real ppoll, waiting no
// longer than until the next frame is due.
#include <errno.h>

#include <algorithm>

#include "internal.h"

namespace simcam {
namespace detail {

namespace {
// Without a wake-up descriptor, the wait looks again this often: another
// thread may queue a buffer or stop streaming meanwhile.
constexpr uint64_t kSlice = 5000000;
}  // namespace

int sim_poll(struct pollfd* fds, nfds_t n, int64_t timeout_ns, const sigset_t* mask) {
    State& st = state();
    uint64_t start = now_ns();
    uint64_t deadline = timeout_ns < 0 ? UINT64_MAX : start + uint64_t(timeout_ns);
    std::vector<std::shared_ptr<Handle>> handles(n);
    std::vector<struct pollfd> others;
    std::vector<nfds_t> where;
    {
        std::lock_guard<std::mutex> lock(st.mu);
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].fd >= 0) handles[i] = handle_locked(fds[i].fd);
            if (!handles[i]) {
                others.push_back(fds[i]);
                where.push_back(i);
            }
        }
    }
    if (where.size() == n) {
        // Nothing simulated here: the real call, with the caller's timeout.
        if (timeout_ns < 0) return real().ppoll(fds, n, nullptr, mask);
        struct timespec ts = {time_t(timeout_ns / 1000000000), long(timeout_ns % 1000000000)};
        return real().ppoll(fds, n, &ts, mask);
    }
    Waiting waiting;
    if (waiting.fd() >= 0) others.push_back({waiting.fd(), POLLIN, 0});
    const size_t real_fds = where.size();
    for (;;) {
        int ready = 0;
        uint64_t next = UINT64_MAX;
        {
            std::lock_guard<std::mutex> lock(st.mu);
            for (nfds_t i = 0; i < n; ++i) {
                if (!handles[i]) continue;
                fds[i].revents = poll_events_locked(*handles[i], fds[i].events);
                if (fds[i].revents) ++ready;
                uint64_t due = handles[i]->meta ? 0 : next_due_locked(*handles[i]->cam);
                if (due) next = std::min(next, due);
            }
        }
        uint64_t now = now_ns();
        uint64_t wait = 0;
        if (!ready && now < deadline) {
            wait = deadline - now;
            if (waiting.fd() < 0) wait = std::min(wait, kSlice);
            if (next != UINT64_MAX) wait = std::min(wait, next > now ? next - now : 0);
        }
        // Beyond a day the wait is as good as endless, and stays in range.
        wait = std::min<uint64_t>(wait, 86400000000000u);
        struct timespec ts = {time_t(wait / 1000000000u), long(wait % 1000000000u)};
        int r = real().ppoll(others.data(), others.size(), &ts, mask);
        if (r < 0) return -1;
        if (r > 0 && others.size() > real_fds && waiting.woken(others.back().revents)) --r;
        for (size_t k = 0; k < real_fds; ++k) fds[where[k]].revents = others[k].revents;
        if (ready + r > 0 || now_ns() >= deadline) return ready + r;
    }
}

}  // namespace detail
}  // namespace simcam
