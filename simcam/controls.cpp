// V4L2 controls of the camera's processing and camera terminal units, with
// the ranges a typical USB camera reports.
#include <errno.h>
#include <linux/videodev2.h>
#include <string.h>

#include <algorithm>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

constexpr uint32_t kClassType = V4L2_CTRL_TYPE_CTRL_CLASS;

const char* const kPowerLine[] = {"Disabled", "50 Hz", "60 Hz"};
const char* const kExposure[] = {nullptr, "Manual Mode", nullptr, "Aperture Priority Mode"};

bool is_class(const Control& c) {
    return c.type == kClassType;
}

// Controls that the camera ignores while their automatic counterpart runs:
// the master control's id and the value that means manual.
bool master_of(uint32_t id, uint32_t* master, int32_t* manual) {
    if (id == V4L2_CID_EXPOSURE_ABSOLUTE) {
        *master = V4L2_CID_EXPOSURE_AUTO;
        *manual = V4L2_EXPOSURE_MANUAL;
        return true;
    }
    if (id == V4L2_CID_WHITE_BALANCE_TEMPERATURE) {
        *master = V4L2_CID_AUTO_WHITE_BALANCE;
        *manual = 0;
        return true;
    }
    return false;
}

uint32_t slave_of(uint32_t master) {
    if (master == V4L2_CID_EXPOSURE_AUTO) return V4L2_CID_EXPOSURE_ABSOLUTE;
    if (master == V4L2_CID_AUTO_WHITE_BALANCE) return V4L2_CID_WHITE_BALANCE_TEMPERATURE;
    return 0;
}

bool inactive(Cam& cam, const Control& c) {
    uint32_t m;
    int32_t manual;
    if (!master_of(c.id, &m, &manual)) return false;
    Control* a = find_control(cam, m);
    return a && a->value != manual;
}

}  // namespace

uint32_t control_flags(Cam& cam, const Control& c) {
    if (is_class(c)) return V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    // The driver marks no control UPDATE, automatic masters included.
    return inactive(cam, c) ? V4L2_CTRL_FLAG_INACTIVE : 0;
}

namespace {

// Next control after `id` (NEXT_CTRL) or exactly `id`.
Control* lookup(Cam& cam, uint32_t raw) {
    uint32_t next = raw & (V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    uint32_t id = raw & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    if (!next) return find_control(cam, id);
    if (!(next & V4L2_CTRL_FLAG_NEXT_CTRL)) return nullptr;  // no compound controls
    for (Control& c : cam.controls)
        if (c.id > id) return &c;
    return nullptr;
}

// A menu index outside the menu is refused, one the camera lacks is invalid;
// other values are brought into range and onto the step, as the driver
// does, and the caller sees the value taken.
int check_value(const Control& c, int32_t* v) {
    if (c.type == V4L2_CTRL_TYPE_MENU) {
        if (*v < c.min || *v > c.max) return ERANGE;
        return c.menu_mask >> *v & 1 ? 0 : EINVAL;
    }
    int64_t x = std::min<int64_t>(std::max<int64_t>(*v, c.min), c.max);
    int64_t step = c.step > 0 ? c.step : 1;
    x = c.min + (x - c.min + step / 2) / step * step;
    if (x > c.max) x -= step;
    *v = int32_t(x);
    return 0;
}

// Whether a value may be written now: not to a class, not to a control
// whose automatic master is on (its new value counts when the same request
// sets it: the last one wins).
int check_access(Cam& cam, const Control& c, const v4l2_ext_controls* e) {
    if (is_class(c)) return EACCES;
    uint32_t m;
    int32_t manual;
    if (!master_of(c.id, &m, &manual)) return 0;
    if (e)
        for (uint32_t i = e->count; i-- > 0;)
            if (e->controls[i].id == m) return e->controls[i].value == manual ? 0 : EACCES;
    return inactive(cam, c) ? EACCES : 0;
}

void set_value(Cam& cam, const Handle* setter, Control& c, int32_t v) {
    if (c.value == v) return;
    c.value = v;
    control_changed_locked(cam, setter, c, V4L2_EVENT_CTRL_CH_VALUE);
    if (uint32_t s = slave_of(c.id))
        if (Control* slave = find_control(cam, s))
            control_changed_locked(cam, setter, *slave, V4L2_EVENT_CTRL_CH_FLAGS);
}

int queryctrl(Cam& cam, v4l2_queryctrl* q) {
    Control* c = lookup(cam, q->id);
    if (!c) return errno = EINVAL, -1;
    memset(q, 0, sizeof *q);
    q->id = c->id;
    q->type = c->type;
    strncpy(reinterpret_cast<char*>(q->name), c->name, sizeof q->name - 1);
    q->minimum = c->min;
    q->maximum = c->max;
    q->step = c->step;
    q->default_value = c->def;
    q->flags = control_flags(cam, *c);
    return 0;
}

int query_ext(Cam& cam, v4l2_query_ext_ctrl* q) {
    Control* c = lookup(cam, q->id);
    if (!c) return errno = EINVAL, -1;
    memset(q, 0, sizeof *q);
    q->id = c->id;
    q->type = c->type;
    strncpy(q->name, c->name, sizeof q->name - 1);
    q->minimum = c->min;
    q->maximum = c->max;
    q->step = uint64_t(c->step);
    q->default_value = c->def;
    q->flags = control_flags(cam, *c);
    q->elem_size = is_class(*c) ? 0 : 4;
    q->elems = 1;
    return 0;
}

int querymenu(Cam& cam, v4l2_querymenu* m) {
    Control* c = find_control(cam, m->id);
    if (!c || c->type != V4L2_CTRL_TYPE_MENU) return errno = EINVAL, -1;
    if (int64_t(m->index) < c->min || int64_t(m->index) > c->max || !(c->menu_mask >> m->index & 1))
        return errno = EINVAL, -1;
    const char* name =
        c->id == V4L2_CID_POWER_LINE_FREQUENCY ? kPowerLine[m->index] : kExposure[m->index];
    uint32_t id = m->id, index = m->index;
    memset(m, 0, sizeof *m);
    m->id = id;
    m->index = index;
    strncpy(reinterpret_cast<char*>(m->name), name, sizeof m->name - 1);
    return 0;
}

bool in_class(uint32_t which, uint32_t id) {
    if (which == V4L2_CTRL_WHICH_CUR_VAL || which == V4L2_CTRL_WHICH_DEF_VAL) return true;
    return V4L2_CTRL_ID2WHICH(id) == which;
}

int ext_ctrls(Handle& h, uint32_t request, v4l2_ext_controls* e) {
    Cam& cam = *h.cam;
    uint32_t which = e->which;
    bool get = request == VIDIOC_G_EXT_CTRLS, tried = request == VIDIOC_TRY_EXT_CTRLS;
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL) return errno = EINVAL, -1;
    if (e->count && !e->controls) return errno = EFAULT, -1;
    if (!get && which == V4L2_CTRL_WHICH_DEF_VAL) return errno = EINVAL, -1;
    // Access first (a failure names no control, except for TRY), then
    // values; a failing set changes nothing.
    for (uint32_t i = 0; i < e->count; ++i) {
        v4l2_ext_control& x = e->controls[i];
        Control* c = find_control(cam, x.id);
        // TRY does not look at the automatic master.
        int err = !c || !in_class(which, x.id) ? EINVAL
                  : get || tried               ? (is_class(*c) ? EACCES : 0)
                                               : check_access(cam, *c, e);
        if (err) {
            e->error_idx = tried ? i : e->count;
            return errno = err, -1;
        }
    }
    if (!get) {
        for (uint32_t i = 0; i < e->count; ++i) {
            v4l2_ext_control& x = e->controls[i];
            int32_t v = x.value;  // the record is packed
            int err = check_value(*find_control(cam, x.id), &v);
            x.value = v;
            if (err) {
                e->error_idx = i;
                return errno = err, -1;
            }
        }
    }
    for (uint32_t i = 0; i < e->count; ++i) {
        v4l2_ext_control& x = e->controls[i];
        Control* c = find_control(cam, x.id);
        if (request == VIDIOC_S_EXT_CTRLS)
            set_value(cam, &h, *c, x.value);
        else if (get)
            x.value = which == V4L2_CTRL_WHICH_DEF_VAL ? c->def : c->value;
    }
    e->error_idx = 0;
    return 0;
}

}  // namespace

Control* find_control(Cam& cam, uint32_t id) {
    for (Control& c : cam.controls)
        if (c.id == id) return &c;
    return nullptr;
}

int set_control_locked(Cam& cam, const Handle* setter, Control& c, int32_t& value) {
    if (int err = check_access(cam, c, nullptr)) return err;
    if (int err = check_value(c, &value)) return err;
    set_value(cam, setter, c, value);
    return 0;
}

void init_controls(Cam& cam) {
    const uint32_t I = V4L2_CTRL_TYPE_INTEGER, B = V4L2_CTRL_TYPE_BOOLEAN, M = V4L2_CTRL_TYPE_MENU;
    // Sorted by id: NEXT_CTRL enumeration walks this order.
    cam.controls = {
        {V4L2_CID_USER_CLASS, kClassType, "User Controls", 0, 0, 0, 0, 0, 0},
        {V4L2_CID_BRIGHTNESS, I, "Brightness", -64, 64, 1, 0, 0, 0},
        {V4L2_CID_CONTRAST, I, "Contrast", 0, 95, 1, 32, 0, 0},
        {V4L2_CID_SATURATION, I, "Saturation", 0, 100, 1, 64, 0, 0},
        {V4L2_CID_HUE, I, "Hue", -2000, 2000, 1, 0, 0, 0},
        {V4L2_CID_AUTO_WHITE_BALANCE, B, "White Balance, Automatic", 0, 1, 1, 1, 0, 0},
        {V4L2_CID_GAMMA, I, "Gamma", 100, 300, 1, 100, 0, 0},
        {V4L2_CID_GAIN, I, "Gain", 0, 100, 1, 0, 0, 0},
        {V4L2_CID_POWER_LINE_FREQUENCY, M, "Power Line Frequency", 0, 2, 1, 1, 7, 0},
        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, I, "White Balance Temperature", 2800, 6500, 1, 4600, 0,
         0},
        {V4L2_CID_SHARPNESS, I, "Sharpness", 0, 7, 1, 3, 0, 0},
        {V4L2_CID_CAMERA_CLASS, kClassType, "Camera Controls", 0, 0, 0, 0, 0, 0},
        {V4L2_CID_EXPOSURE_AUTO, M, "Auto Exposure", 0, 3, 1, 3, (1u << 1) | (1u << 3), 0},
        {V4L2_CID_EXPOSURE_ABSOLUTE, I, "Exposure Time, Absolute", 3, 2047, 1, 250, 0, 0},
    };
    for (Control& c : cam.controls) c.value = c.def;
}

int control_request_locked(Handle& h, uint32_t request, void* arg) {
    Cam& cam = *h.cam;
    if ((request == VIDIOC_S_CTRL || request == VIDIOC_S_EXT_CTRLS) &&
        h.prio < max_priority_locked(cam))
        return errno = EBUSY, -1;
    switch (request) {
        case VIDIOC_QUERYCTRL:
            return queryctrl(cam, static_cast<v4l2_queryctrl*>(arg));
        case VIDIOC_QUERY_EXT_CTRL:
            return query_ext(cam, static_cast<v4l2_query_ext_ctrl*>(arg));
        case VIDIOC_QUERYMENU:
            return querymenu(cam, static_cast<v4l2_querymenu*>(arg));
        case VIDIOC_G_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            Control* ctl = find_control(cam, c->id);
            if (!ctl) return errno = EINVAL, -1;
            if (is_class(*ctl)) return errno = EACCES, -1;
            c->value = ctl->value;
            return 0;
        }
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            Control* ctl = find_control(cam, c->id);
            if (!ctl) return errno = EINVAL, -1;
            if (int err = set_control_locked(cam, &h, *ctl, c->value)) return errno = err, -1;
            return 0;
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return ext_ctrls(h, request, static_cast<v4l2_ext_controls*>(arg));
    }
    return errno = ENOTTY, -1;
}

}  // namespace detail
}  // namespace simcam
