// Control events (VIDIOC_SUBSCRIBE_EVENT / VIDIOC_DQEVENT) and the V4L2
// priority that the core keeps per node.
#include <errno.h>
#include <linux/videodev2.h>
#include <string.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

constexpr size_t kMaxEvents = 32;

void fill_ctrl_event(Cam& cam, const Control& c, uint32_t changes, v4l2_event* ev) {
    memset(ev, 0, sizeof *ev);
    ev->type = V4L2_EVENT_CTRL;
    ev->id = c.id;
    ev->u.ctrl.changes = changes;
    ev->u.ctrl.type = c.type;
    ev->u.ctrl.value = c.value;
    ev->u.ctrl.flags = control_flags(cam, c);
    ev->u.ctrl.minimum = c.min;
    ev->u.ctrl.maximum = c.max;
    ev->u.ctrl.step = c.step;
    ev->u.ctrl.default_value = c.def;
}

void push(Handle& h, const v4l2_event& ev) {
    if (h.events.size() >= kMaxEvents) h.events.pop_front();
    v4l2_event e = ev;
    e.sequence = h.event_seq++;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    e.timestamp = ts;
    h.events.push_back(e);
    wake_locked();  // a poll for POLLPRI may be waiting
}

}  // namespace

void control_changed_locked(Cam& cam, const Handle* setter, const Control& c, uint32_t changes) {
    v4l2_event ev;
    fill_ctrl_event(cam, c, changes, &ev);
    std::set<Handle*> seen;
    for (auto& kv : state().fds) {
        Handle* h = kv.second.get();
        if (h->cam.get() != &cam || !seen.insert(h).second) continue;
        auto it = h->subs.find(c.id);
        if (it == h->subs.end()) continue;
        if (h == setter && !(it->second & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK)) continue;
        push(*h, ev);
    }
}

int event_request_locked(Handle& h, uint32_t request, void* arg) {
    Cam& cam = *h.cam;
    if (request == VIDIOC_DQEVENT) {
        auto* ev = static_cast<v4l2_event*>(arg);
        if (h.events.empty()) return errno = ENOENT, -1;
        *ev = h.events.front();
        h.events.pop_front();
        ev->pending = uint32_t(h.events.size());
        return 0;
    }
    auto* s = static_cast<v4l2_event_subscription*>(arg);
    if (request == VIDIOC_UNSUBSCRIBE_EVENT) {
        if (s->type == V4L2_EVENT_ALL)
            h.subs.clear();
        else if (s->type == V4L2_EVENT_CTRL)
            h.subs.erase(s->id);
        return 0;
    }
    if (s->type != V4L2_EVENT_CTRL) return errno = EINVAL, -1;
    Control* c = find_control(cam, s->id);
    if (!c) return errno = EINVAL, -1;
    h.subs[s->id] = s->flags;
    if ((s->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && c->type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        v4l2_event ev;
        fill_ctrl_event(cam, *c, V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS, &ev);
        push(h, ev);
    }
    return 0;
}

int max_priority_locked(const Cam& cam) {
    for (int p = 3; p > 0; --p)
        if (cam.prios[p] > 0) return p;
    return V4L2_PRIORITY_UNSET;
}

int priority_request_locked(Handle& h, uint32_t request, void* arg) {
    Cam& cam = *h.cam;
    if (request == VIDIOC_G_PRIORITY) {
        *static_cast<uint32_t*>(arg) = uint32_t(max_priority_locked(cam));
        return 0;
    }
    uint32_t p = *static_cast<uint32_t*>(arg);
    if (p > V4L2_PRIORITY_RECORD) return errno = EINVAL, -1;
    if (h.prio < max_priority_locked(cam)) return errno = EBUSY, -1;
    --cam.prios[h.prio];
    h.prio = int(p);
    ++cam.prios[h.prio];
    return 0;
}

}  // namespace detail
}  // namespace simcam
