#include "control_info.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "control_names.h"

namespace {

std::string text_of(const uint8_t* field, size_t size) {
    const char* s = reinterpret_cast<const char*>(field);
    return std::string(s, strnlen(s, size));
}

bool is_menu(const v4l2_queryctrl& q) {
    return q.type == V4L2_CTRL_TYPE_MENU || q.type == V4L2_CTRL_TYPE_INTEGER_MENU;
}

void describe(int slot, const v4l2_queryctrl& q, ControlInfo* out) {
    out->q = q;
    out->label = text_of(q.name, sizeof q.name);
    const char* known = control_name(q.id);
    out->name = strcmp(known, "control") ? known : control_key(out->label.c_str());
    out->menu.clear();
    if (!is_menu(q)) return;
    // A menu may leave gaps (auto exposure offers 1 and 3); 64 bounds a
    // driver that announces a huge range.
    for (int32_t i = q.minimum; i <= q.maximum && i - q.minimum < 64; ++i) {
        v4l2_querymenu m;
        memset(&m, 0, sizeof m);
        m.id = q.id;
        m.index = static_cast<uint32_t>(i);
        if (xioctl(g_fd[slot], static_cast<int>(VIDIOC_QUERYMENU), &m) != 0) continue;
        out->menu.push_back({i, q.type == V4L2_CTRL_TYPE_MENU ? text_of(m.name, sizeof m.name)
                                                              : std::to_string(m.value)});
    }
}

// One QUERYCTRL; the id may carry V4L2_CTRL_FLAG_NEXT_CTRL.
bool query(int slot, uint32_t id, v4l2_queryctrl* q) {
    memset(q, 0, sizeof *q);
    q->id = id;
    return xioctl(g_fd[slot], static_cast<int>(VIDIOC_QUERYCTRL), q) == 0;
}

}  // namespace

bool query_control(int slot, uint32_t id, ControlInfo* out) {
    v4l2_queryctrl q;
    if (!query(slot, id, &q) || (q.flags & V4L2_CTRL_FLAG_DISABLED)) return false;
    describe(slot, q, out);
    return true;
}

std::vector<ControlInfo> list_controls(int slot) {
    std::vector<ControlInfo> all;
    v4l2_queryctrl q;
    uint32_t id = 0;
    while (query(slot, id | V4L2_CTRL_FLAG_NEXT_CTRL, &q) && q.id > id) {
        id = q.id;
        if (q.type == V4L2_CTRL_TYPE_CTRL_CLASS || (q.flags & V4L2_CTRL_FLAG_DISABLED)) continue;
        all.emplace_back();
        describe(slot, q, &all.back());
    }
    return all;
}

bool find_control(int slot, const char* text, ControlInfo* out) {
    uint32_t id = 0;
    if (*text >= '0' && *text <= '9') {
        char* end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(text, &end, 0);
        return errno == 0 && *end == '\0' && n <= 0xFFFFFFFFu &&
               query_control(slot, static_cast<uint32_t>(n), out);
    }
    if (control_id(text, &id)) return query_control(slot, id, out);
    const std::string key = control_key(text);
    for (ControlInfo& c : list_controls(slot)) {
        if (c.name == key || control_key(c.label.c_str()) == key) {
            *out = std::move(c);
            return true;
        }
    }
    return false;
}

const char* menu_label(const ControlInfo& c, int32_t value) {
    for (const MenuEntry& e : c.menu)
        if (e.value == value) return e.label.c_str();
    return nullptr;
}

std::string check_value(const ControlInfo& c, int32_t value) {
    const v4l2_queryctrl& q = c.q;
    if (q.type == V4L2_CTRL_TYPE_BUTTON) return "";
    if (is_menu(q)) {
        if (menu_label(c, value)) return "";
        std::string entries;
        for (const MenuEntry& e : c.menu)
            entries += (entries.empty() ? "" : ", ") + std::to_string(e.value) + ": " + e.label;
        return "not in the menu (" + entries + ")";
    }
    if (value >= q.minimum && value <= q.maximum) return "";
    return "out of range (" + std::to_string(q.minimum) + " to " + std::to_string(q.maximum) + ")";
}

bool current_value(int slot, const ControlInfo& c, int32_t* value) {
    unsigned int raw = 0;
    if (c.q.type == V4L2_CTRL_TYPE_BUTTON || cam_control_get(slot, c.q.id, &raw) != 0) return false;
    *value = static_cast<int32_t>(raw);
    return true;
}

nlohmann::json control_json(int slot, const ControlInfo& c) {
    const v4l2_queryctrl& q = c.q;
    nlohmann::json j = {{"id", q.id},
                        {"name", c.name},
                        {"label", c.label},
                        {"type", control_type_name(q.type)},
                        {"min", q.minimum},
                        {"max", q.maximum},
                        {"step", q.step},
                        {"default", q.default_value},
                        {"inactive", (q.flags & V4L2_CTRL_FLAG_INACTIVE) != 0},
                        {"readonly", (q.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0}};
    int32_t value = 0;
    j["value"] = current_value(slot, c, &value) ? nlohmann::json(value) : nlohmann::json(nullptr);
    if (is_menu(q)) {
        j["menu"] = nlohmann::json::array();
        for (const MenuEntry& e : c.menu)
            j["menu"].push_back({{"value", e.value}, {"label", e.label}});
    }
    return j;
}

const char* control_type_name(uint32_t type) {
    switch (type) {
        case V4L2_CTRL_TYPE_BOOLEAN:
            return "boolean";
        case V4L2_CTRL_TYPE_MENU:
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return "menu";
        case V4L2_CTRL_TYPE_BUTTON:
            return "button";
        default:
            return "integer";
    }
}
