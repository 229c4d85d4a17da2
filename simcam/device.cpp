// Cameras, their nodes and the descriptors open on them.
#include <errno.h>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "internal.h"

namespace simcam {
namespace detail {

Cam::~Cam() {
    Busy busy;
    if (memfd >= 0) real().close(memfd);
    if (meta_memfd >= 0) real().close(meta_memfd);
}

thread_local int t_busy = 0;

State& state() {
    // Never destroyed: descriptors may be used until the very end of the process.
    static State* s = new State;
    return *s;
}

void ensure_loaded_locked() {
    State& st = state();
    if (st.loaded) return;
    st.loaded = true;
    for (const Camera& c : startup_cameras()) st.cams.push_back(make_cam(c));
}

std::shared_ptr<Cam> find_cam_locked(const std::string& node, bool* meta) {
    ensure_loaded_locked();
    for (auto& c : state().cams) {
        if (c->cfg.node == node) {
            if (meta) *meta = false;
            return c;
        }
        if (!c->cfg.meta_node.empty() && c->cfg.meta_node == node) {
            if (meta) *meta = true;
            return c;
        }
    }
    return nullptr;
}

static int make_memfd(const std::string& node) {
    Busy busy;
    std::string name = "simcam:" + node;
    return memfd_create(name.c_str(), MFD_CLOEXEC);
}

std::shared_ptr<Cam> make_cam(const Camera& cfg) {
    auto cam = std::make_shared<Cam>();
    cam->cfg = cfg;
    cam->memfd = make_memfd(cfg.node);
    if (!cfg.meta_node.empty()) cam->meta_memfd = make_memfd(cfg.meta_node);
    if (!cfg.formats.empty() && !cfg.formats[0].sizes.empty()) {
        const FrameSize& fs = cfg.formats[0].sizes[0];
        cam->width = fs.width;
        cam->height = fs.height;
        if (fs.interval_kind == RangeKind::Discrete && !fs.intervals.empty())
            cam->interval = fs.intervals[0];
        else
            cam->interval = fs.interval_min;
    }
    init_controls(*cam);
    init_registers(*cam);
    return cam;
}

std::string node_path(const char* path) {
    if (!path) return {};
    const char* dev = strstr(path, "/dev/");
    if (!dev) return {};
    if (dev == path) return path;
    // A umockdev testbed redirects /dev/X to $UMOCKDEV_DIR/dev/X.
    const char* root = getenv("UMOCKDEV_DIR");
    if (!root || !*root) return {};
    size_t n = strlen(root);
    while (n > 1 && root[n - 1] == '/') --n;
    if (size_t(dev - path) != n || strncmp(path, root, n) != 0) return {};
    return dev;
}

std::shared_ptr<Handle> handle_locked(int fd) {
    auto& fds = state().fds;
    auto it = fds.find(fd);
    return it == fds.end() ? nullptr : it->second;
}

int sim_open(const std::string& node, int flags) {
    State& st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    bool meta = false;
    auto cam = find_cam_locked(node, &meta);
    if (!cam) return -2;
    if (cam->unplugged) return errno = ENOENT, -1;
    int memfd = meta ? cam->meta_memfd : cam->memfd;
    if (memfd < 0) return errno = ENOMEM, -1;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", memfd);
    int keep = O_ACCMODE | O_NONBLOCK | O_CLOEXEC;
    Busy busy;
    int fd = real().open(proc, flags & keep);
    if (fd < 0) return -1;
    auto h = std::make_shared<Handle>();
    h->cam = cam;
    h->meta = meta;
    h->node = node;
    h->refs = 1;
    ++cam->prios[h->prio];
    st.fds[fd] = h;
    mark_fd(fd, true);
    st.nfds.fetch_add(1);
    return fd;
}

void release_queue_locked(Cam& cam) {
    Queue& q = cam.q;
    q.streaming = false;
    q.bufs.clear();
    q.queued.clear();
    q.done.clear();
    q.owner = nullptr;
    q.waiting_for_buffers = true;
    ++q.generation;
    wake_locked();
}

void sim_close_locked(int fd) {
    State& st = state();
    if (!st.epolls.empty()) epoll_forget_locked(fd);
    auto it = st.fds.find(fd);
    if (it == st.fds.end()) return;
    std::shared_ptr<Handle> h = it->second;
    st.fds.erase(it);
    mark_fd(fd, false);
    st.nfds.fetch_sub(1);
    if (--h->refs > 0) return;
    --h->cam->prios[h->prio];
    if (h->cam->q.owner == h.get()) release_queue_locked(*h->cam);
}

int sim_dup_locked(int oldfd, int newfd) {
    State& st = state();
    if (newfd < 0 || newfd == oldfd) return 0;
    auto h = handle_locked(oldfd);
    sim_close_locked(newfd);  // dup2 onto a simulated descriptor closes it
    if (!h) return 0;
    ++h->refs;
    st.fds[newfd] = h;
    mark_fd(newfd, true);
    st.nfds.fetch_add(1);
    return 0;
}

static uint32_t node_minor(const std::string& node) {
    size_t i = node.size();
    while (i > 0 && node[i - 1] >= '0' && node[i - 1] <= '9') --i;
    return i < node.size() ? uint32_t(strtoul(node.c_str() + i, nullptr, 10)) : 0;
}

void sim_fstat(int fd, struct stat* st) {
    std::string node;
    {
        std::lock_guard<std::mutex> lock(state().mu);
        auto h = handle_locked(fd);
        if (!h) return;
        node = h->node;
    }
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, node_minor(node));
    st->st_size = 0;
    st->st_blocks = 0;
}

bool nonblocking(int fd) {
    int fl = real().fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK);
}

static int meta_request_locked(Cam& cam, uint32_t request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCAP:
            break;  // shared with the capture node
        case VIDIOC_ENUM_FMT: {
            auto* f = static_cast<v4l2_fmtdesc*>(arg);
            if (f->type != V4L2_BUF_TYPE_META_CAPTURE || f->index != 0) return errno = EINVAL, -1;
            uint32_t index = f->index, type = f->type;
            memset(f, 0, sizeof *f);
            f->index = index;
            f->type = type;
            f->pixelformat = V4L2_META_FMT_UVC;
            snprintf(reinterpret_cast<char*>(f->description), sizeof f->description,
                     "UVC Payload Header Metadata");
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != V4L2_BUF_TYPE_META_CAPTURE) return errno = EINVAL, -1;
            memset(&f->fmt, 0, sizeof f->fmt);
            f->fmt.meta.dataformat = V4L2_META_FMT_UVC;
            f->fmt.meta.buffersize = 10240;
            return 0;
        }
        default:
            return errno = ENOTTY, -1;
    }
    (void)cam;
    return errno = ENOTTY, -1;
}

static bool is_control_request(uint32_t r) {
    switch (r) {
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL:
        case VIDIOC_QUERYMENU:
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL:
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return true;
    }
    return false;
}

// Requests the V4L2 core refuses while another handle holds a higher priority.
static bool needs_priority(uint32_t r) {
    switch (r) {
        case VIDIOC_S_FMT:
        case VIDIOC_S_PARM:
        case VIDIOC_S_INPUT:
        case VIDIOC_REQBUFS:
        case VIDIOC_CREATE_BUFS:
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
        case VIDIOC_S_PRIORITY:
            return true;
    }
    return false;
}

static int dispatch_locked(Handle& h, int fd, uint32_t request, void* arg,
                           std::unique_lock<std::mutex>& lock) {
    Cam& cam = *h.cam;
    // The metadata node has the core's requests and its format, nothing of
    // the camera's own.
    if (h.meta && request != VIDIOC_QUERYCAP && request != VIDIOC_G_PRIORITY &&
        request != VIDIOC_S_PRIORITY)
        return meta_request_locked(cam, request, arg);
    if (request == UVCIOC_CTRL_MAP || request == UVCIOC_CTRL_QUERY)
        return uvc_request_locked(cam, request, arg);
    if (is_control_request(request)) return control_request_locked(h, request, arg);
    if (request == VIDIOC_SUBSCRIBE_EVENT || request == VIDIOC_UNSUBSCRIBE_EVENT ||
        request == VIDIOC_DQEVENT)
        return event_request_locked(h, request, arg);
    if (request == VIDIOC_G_PRIORITY || request == VIDIOC_S_PRIORITY)
        return priority_request_locked(h, request, arg);
    if (needs_priority(request) && h.prio < max_priority_locked(cam)) return errno = EBUSY, -1;
    return v4l2_request_locked(h, fd, request, arg, lock);
}

// A selector fault hits only extension-unit queries on that selector.
bool fault_selects(const Fault& f, uint32_t request, const void* arg) {
    if (f.selector < 0) return true;
    return request == static_cast<uint32_t>(UVCIOC_CTRL_QUERY) && arg &&
           static_cast<const uvc_xu_control_query*>(arg)->selector == f.selector;
}

int handle_ioctl(int fd, uint32_t request, void* arg) {
    if (!maybe_sim(fd)) return -2;
    State& st = state();
    std::unique_lock<std::mutex> lock(st.mu);
    std::shared_ptr<Handle> h = handle_locked(fd);
    if (!h) return -2;
    std::shared_ptr<Cam> cam = h->cam;
    int saved_errno = errno;
    uint64_t t = now_ns();
    std::vector<uint8_t> in = arg_bytes(request, arg);
    std::vector<uint8_t> xin = xu_bytes(request, arg);
    int res = 0, err = 0;
    bool faulted = false;
    for (Fault& f : cam->fails) {
        if (f.times > 0 && (f.request == 0 || f.request == request) &&
            fault_selects(f, request, arg)) {
            --f.times;
            res = -1;
            err = f.err;
            faulted = true;
            break;
        }
    }
    if (!faulted) {
        if (cam->removed || cam->unplugged) {
            res = -1;
            err = ENODEV;
        } else if (_IOC_SIZE(request) > 0 && _IOC_DIR(request) != _IOC_NONE && !arg) {
            res = -1;
            err = EFAULT;
        } else {
            errno = 0;
            res = dispatch_locked(*h, fd, request, arg, lock);
            if (res < 0) err = errno;
        }
    }
    log_request(fd, h->node, request, arg, res, err, in, xin, t);
    errno = res < 0 ? err : saved_errno;
    return res;
}

}  // namespace detail
}  // namespace simcam
