// The request log: every request on a simulated descriptor with its
// payload before and after.
#include <linux/uvcvideo.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

// Long streaming sessions would otherwise grow the log without end.
constexpr size_t kMaxEntries = 20000;

}  // namespace

// SIMCAM_LOG_ENTRIES=N keeps N entries (0: none), so that a long benchmark
// run's memory shows the program's own, not the log filling up.
size_t log_limit_from_env() {
    const char* v = getenv("SIMCAM_LOG_ENTRIES");
    if (!v || !*v) return kMaxEntries;
    char* end = nullptr;
    unsigned long long n = strtoull(v, &end, 10);
    return *end ? kMaxEntries : size_t(n);
}

std::vector<uint8_t> arg_bytes(uint32_t request, const void* arg) {
    size_t n = _IOC_SIZE(request);
    if (!arg || n == 0 || _IOC_DIR(request) == _IOC_NONE) return {};
    auto p = static_cast<const uint8_t*>(arg);
    return std::vector<uint8_t>(p, p + n);
}

std::vector<uint8_t> xu_bytes(uint32_t request, const void* arg) {
    if (request != UVCIOC_CTRL_QUERY || !arg) return {};
    auto q = static_cast<const uvc_xu_control_query*>(arg);
    if (!q->data || q->size == 0 || q->size > 64) return {};
    return std::vector<uint8_t>(q->data, q->data + q->size);
}

void log_request(int fd, const std::string& node, uint32_t request, void* arg, int result, int err,
                 const std::vector<uint8_t>& in, const std::vector<uint8_t>& xu_in,
                 uint64_t time_ns) {
    Request r;
    r.fd = fd;
    r.node = node;
    r.request = request;
    r.result = result;
    r.err = result < 0 ? err : 0;
    r.arg_in = in;
    r.arg_out = arg_bytes(request, arg);
    r.xu_in = xu_in;
    if (request == UVCIOC_CTRL_QUERY && arg) {
        auto q = static_cast<const uvc_xu_control_query*>(arg);
        r.xu_unit = q->unit;
        r.xu_selector = q->selector;
        r.xu_query = q->query;
        r.xu_out = xu_bytes(request, arg);
    }
    r.time_ns = time_ns;
    r.tid = int(gettid());
    auto& log = state().log;
    size_t& limit = state().log_limit;
    if (limit == SIZE_MAX) limit = log_limit_from_env();
    if (limit == 0) return;
    while (log.size() >= limit) log.pop_front();
    log.push_back(std::move(r));
}

}  // namespace detail
}  // namespace simcam
