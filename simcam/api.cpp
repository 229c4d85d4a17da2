// The control API for tests and tools in the same process.
#include <stdio.h>
#include <string.h>

#include <linux/uvcvideo.h>

#include "internal.h"

namespace simcam {

using namespace detail;

namespace {

// Runs f on the camera at node under the lock; nothing when there is none.
template <typename F>
auto with_cam(const std::string& node, F f, decltype(f(std::declval<Cam&>())) none = {}) {
    std::lock_guard<std::mutex> lock(state().mu);
    auto cam = find_cam_locked(node);
    return cam ? f(*cam) : none;
}

void replace_all_locked(const std::vector<Camera>& cams) {
    State& st = state();
    for (auto& c : st.cams) c->removed = true;
    st.cams.clear();
    for (const Camera& c : cams) st.cams.push_back(make_cam(c));
    wake_locked();
}

}  // namespace

void reset() {
    std::vector<Camera> cams = startup_cameras();
    std::lock_guard<std::mutex> lock(state().mu);
    State& st = state();
    st.loaded = true;
    st.log_limit = log_limit_from_env();
    // Open descriptors keep their old camera objects; they are just no
    // longer reachable by node.
    st.cams.clear();
    for (const Camera& c : cams) st.cams.push_back(make_cam(c));
    st.log.clear();
}

bool add_camera(const Camera& cam) {
    if (!valid_camera(cam, nullptr)) return false;
    std::lock_guard<std::mutex> lock(state().mu);
    State& st = state();
    ensure_loaded_locked();
    for (auto it = st.cams.begin(); it != st.cams.end();) {
        const Camera& c = (*it)->cfg;
        bool clash =
            c.node == cam.node || c.meta_node == cam.node ||
            (!cam.meta_node.empty() && (c.node == cam.meta_node || c.meta_node == cam.meta_node));
        if (clash) {
            (*it)->removed = true;
            it = st.cams.erase(it);
        } else {
            ++it;
        }
    }
    st.cams.push_back(make_cam(cam));
    wake_locked();
    return true;
}

bool remove_camera(const std::string& node) {
    std::lock_guard<std::mutex> lock(state().mu);
    State& st = state();
    ensure_loaded_locked();
    for (auto it = st.cams.begin(); it != st.cams.end(); ++it) {
        if ((*it)->cfg.node == node) {
            (*it)->removed = true;
            st.cams.erase(it);
            wake_locked();
            return true;
        }
    }
    return false;
}

void remove_all_cameras() {
    std::lock_guard<std::mutex> lock(state().mu);
    state().loaded = true;
    replace_all_locked({});
}

std::vector<Camera> cameras() {
    std::lock_guard<std::mutex> lock(state().mu);
    ensure_loaded_locked();
    std::vector<Camera> out;
    for (auto& c : state().cams) out.push_back(c->cfg);
    return out;
}

bool load_config(const std::string& path, std::string* error) {
    std::vector<Camera> cams;
    Busy busy;
    if (!load_file(path, &cams, error)) return false;
    std::lock_guard<std::mutex> lock(state().mu);
    state().loaded = true;
    replace_all_locked(cams);
    return true;
}

void fail_request(const std::string& node, uint32_t request, int err, int times) {
    with_cam(node, [&](Cam& c) {
        c.fails.push_back({request, err, times});
        return 0;
    });
}

void fail_xu(const std::string& node, uint8_t selector, int err, int times) {
    with_cam(node, [&](Cam& c) {
        Fault f{static_cast<uint32_t>(UVCIOC_CTRL_QUERY), err, times};
        f.selector = selector;
        c.fails.push_back(f);
        return 0;
    });
}

void unplug_after(const std::string& node, uint32_t frames) {
    with_cam(node, [&](Cam& c) {
        if (frames == 0) {
            c.unplugged = true;
            c.unplug_after = -1;
            wake_locked();
        } else {
            c.unplug_after = frames;
        }
        return 0;
    });
}

void replug(const std::string& node) {
    std::lock_guard<std::mutex> lock(state().mu);
    State& st = state();
    auto cam = find_cam_locked(node);
    if (!cam || !cam->unplugged) return;
    // A new device: descriptors of the old one stay dead.
    Camera cfg = cam->cfg;
    cam->removed = true;
    for (auto& c : st.cams)
        if (c == cam) c = make_cam(cfg);
}

void grant_buffers(const std::string& node, uint32_t count) {
    with_cam(node, [&](Cam& c) { return c.grant_limit = count; });
}

void error_frame(const std::string& node, uint32_t sequence) {
    with_cam(node, [&](Cam& c) {
        c.error_frames.insert(sequence);
        return 0;
    });
}

void corrupt_frame(const std::string& node, uint32_t sequence, Corruption how) {
    with_cam(node, [&](Cam& c) {
        c.corrupt_frames[sequence] = how;
        return 0;
    });
}

void refuse_mapping(const std::string& node, int err) {
    with_cam(node, [&](Cam& c) { return c.refuse_map = err; });
}

void stall_xu(const std::string& node, uint8_t selector, int times) {
    with_cam(node, [&](Cam& c) { return c.stalls[selector] = times; });
}

void set_paced(const std::string& node, bool paced) {
    with_cam(node, [&](Cam& c) {
        c.cfg.paced = paced;
        if (c.q.streaming) {
            c.q.t0_ns = now_ns();
            c.q.next_frame = 1;
        }
        advance_locked(c, now_ns());
        wake_locked();
        return 0;
    });
}

void stop_delivering(const std::string& node, bool stop) {
    with_cam(node, [&](Cam& c) {
        if (c.holding && !stop && c.q.streaming) {
            // Frames due while held are lost, not delivered in a burst.
            c.q.t0_ns = now_ns();
            c.q.next_frame = 1;
        }
        if (stop && !c.holding) advance_locked(c, now_ns());
        c.holding = stop;
        wake_locked();
        return 0;
    });
}

std::vector<Request> request_log() {
    std::lock_guard<std::mutex> lock(state().mu);
    return std::vector<Request>(state().log.begin(), state().log.end());
}

void clear_log() {
    std::lock_guard<std::mutex> lock(state().mu);
    state().log.clear();
}

size_t live_mappings() {
    Busy busy;
    // Buffer stride per node, so that neighbouring buffers the kernel merged
    // into one mapping still count one each.
    std::map<std::string, uint32_t> stride;
    {
        std::lock_guard<std::mutex> lock(state().mu);
        for (auto& c : state().cams) stride[c->cfg.node] = c->q.stride;
        for (auto& kv : state().fds) stride.emplace(kv.second->node, kv.second->cam->q.stride);
    }
    FILE* f = fopen("/proc/self/maps", "re");
    if (!f) return 0;
    size_t n = 0;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        const char* name = strstr(line, "/memfd:simcam:");
        if (!name) continue;
        unsigned long lo = 0, hi = 0;
        if (sscanf(line, "%lx-%lx", &lo, &hi) != 2) continue;
        std::string node(name + strlen("/memfd:simcam:"));
        node = node.substr(0, node.find_first_of(" \n"));
        auto it = stride.find(node);
        uint32_t s = it == stride.end() ? 0 : it->second;
        n += s ? (hi - lo + s - 1) / s : 1;
    }
    fclose(f);
    return n;
}

size_t open_descriptors() {
    std::lock_guard<std::mutex> lock(state().mu);
    return state().fds.size();
}

uint64_t frames_delivered(const std::string& node) {
    return with_cam(node, [](Cam& c) { return c.delivered; });
}

uint8_t dsp_peek(const std::string& node, uint16_t addr) {
    return with_cam(node, [&](Cam& c) { return c.dsp[addr]; });
}

void dsp_poke(const std::string& node, uint16_t addr, uint8_t value) {
    with_cam(node, [&](Cam& c) { return c.dsp[addr] = value; });
}

uint16_t sensor_peek(const std::string& node, uint16_t addr) {
    return with_cam(node, [&](Cam& c) { return c.sensor[addr]; });
}

void sensor_poke(const std::string& node, uint16_t addr, uint16_t value) {
    with_cam(node, [&](Cam& c) { return c.sensor[addr] = value; });
}

int32_t control_value(const std::string& node, uint32_t id) {
    return with_cam(node, [&](Cam& c) {
        Control* ctl = find_control(c, id);
        return ctl ? ctl->value : 0;
    });
}

}  // namespace simcam
