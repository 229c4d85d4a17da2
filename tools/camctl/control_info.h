// What the driver says about a camera's controls: description, range, menu,
// and whether a value is one a control takes. Shared by the front ends that
// adjust controls, so that they accept and refuse the same values.
#ifndef CAMCTL_CONTROL_INFO_H
#define CAMCTL_CONTROL_INFO_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "camapi.h"

struct MenuEntry {
    int32_t value;
    std::string label;  // an integer menu's entries are their numbers
};

struct ControlInfo {
    std::string name;   // the usual V4L2 name, or one made from the label
    std::string label;  // as the driver gives it
    v4l2_queryctrl q{};
    std::vector<MenuEntry> menu;
};

// The control's description and menu; false when the driver does not offer
// it or has it disabled.
bool query_control(int slot, uint32_t id, ControlInfo* out);

// Every control the driver offers, in id order, class headings left out.
std::vector<ControlInfo> list_controls(int slot);

// A control by name or label (case, blanks and punctuation aside) or by id
// in hex or decimal; false when the camera has no such control.
bool find_control(int slot, const char* text, ControlInfo* out);

// Empty when the control takes value, otherwise why not ("out of range
// (-64 to 64)", "not in the menu (0: Disabled, 1: 50 Hz)").
std::string check_value(const ControlInfo& c, int32_t value);

// The menu entry's label, or null when value is none of them.
const char* menu_label(const ControlInfo& c, int32_t value);

// The current value; false when it cannot be read (a button, a write-only
// control).
bool current_value(int slot, const ControlInfo& c, int32_t* value);

// id, name, label, type, min, max, step, default, inactive, readonly, value
// (null when unreadable) and for a menu its entries: the fields camctl serve
// gives in /api/controls.
nlohmann::json control_json(int slot, const ControlInfo& c);

// "integer", "boolean", "menu" or "button".
const char* control_type_name(uint32_t type);

#endif  // CAMCTL_CONTROL_INFO_H
