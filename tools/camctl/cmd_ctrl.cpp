// camctl ctrl: list, read and set the camera's V4L2 controls.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <string>

#include "adjust.h"
#include "camapi.h"
#include "commands.h"
#include "control_info.h"
#include "control_names.h"
#include "status.h"

namespace {

const char kProg[] = "camctl ctrl";

void usage(FILE* out) {
    fputs(
        "usage: camctl ctrl list [--json] [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl ctrl get ID [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl ctrl set ID VALUE [-d DEVICE] [--slot 0|1] [-v]\n"
        "\n"
        "ID is a control's name or label as 'list' shows them (in any case), or a\n"
        "V4L2 control id (hex or decimal). VALUE is hex or decimal, negative values\n"
        "as -N, or for a menu one of its entries; a value outside the control's\n"
        "range is refused. --json lists the controls as one JSON document.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

// An action, its number of arguments and what they are.
struct Verb {
    const char* name;
    int args;
    const char* needs;
};

const Verb kVerbs[] = {{"list", 0, ""}, {"get", 1, "ID"}, {"set", 2, "ID and VALUE"}};

const Verb* find_verb(const char* name) {
    for (const Verb& v : kVerbs)
        if (!strcmp(name, v.name)) return &v;
    return nullptr;
}

// A number (negative as -N) or, for a menu, one of its entries' labels.
bool parse_value(const ControlInfo& c, const char* text, int32_t* value) {
    uint32_t n = 0;
    if (*text == '-' && adjust::parse_number(text + 1, 0x80000000u, &n)) {
        *value = static_cast<int32_t>(0u - n);
        return true;
    }
    if (adjust::parse_number(text, 0x7FFFFFFF, &n)) {  // no silent wrap to negative
        *value = static_cast<int32_t>(n);
        return true;
    }
    const std::string key = control_key(text);
    for (const MenuEntry& e : c.menu)
        if (!key.empty() && control_key(e.label.c_str()) == key) return *value = e.value, true;
    return false;
}

// The current value as text, "-" when it cannot be read.
std::string value_text(int slot, const ControlInfo& c) {
    int32_t value = 0;
    if (!current_value(slot, c, &value)) return "-";
    const char* entry = menu_label(c, value);
    return std::to_string(value) + (entry ? std::string(" (") + entry + ")" : "");
}

void print_text(int slot, const ControlInfo& c) {
    const v4l2_queryctrl& q = c.q;
    printf("%-28s 0x%08x  min %d max %d step %d default %d  value %s%s%s  \"%s\"\n", c.name.c_str(),
           q.id, q.minimum, q.maximum, q.step, q.default_value, value_text(slot, c).c_str(),
           (q.flags & V4L2_CTRL_FLAG_INACTIVE) ? "  (inactive)" : "",
           (q.flags & V4L2_CTRL_FLAG_READ_ONLY) ? "  (read-only)" : "", c.label.c_str());
    for (const MenuEntry& e : c.menu) printf("    %d: %s\n", e.value, e.label.c_str());
}

int list(int slot, bool json) {
    nlohmann::json all = nlohmann::json::array();
    for (const ControlInfo& c : list_controls(slot)) {
        if (json)
            all.push_back(control_json(slot, c));
        else
            print_text(slot, c);
    }
    // Labels come from the camera: replace invalid UTF-8 rather than throw.
    if (json)
        printf("%s\n", nlohmann::json{{"controls", all}}
                           .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                           .c_str());
    return fflush(stdout) == 0 ? kOk : kDeviceError;
}

int get(int slot, const ControlInfo& c) {
    unsigned int now = 0;
    if (cam_control_get(slot, c.q.id, &now) != 0)
        return adjust::refused(kProg, "reading the control", errno);
    const char* entry = menu_label(c, static_cast<int32_t>(now));
    printf("%s 0x%08x = %d%s%s%s\n", c.name.c_str(), c.q.id, static_cast<int>(now),
           entry ? " (" : "", entry ? entry : "", entry ? ")" : "");
    return kOk;
}

int set(int slot, const ControlInfo& c, const char* text) {
    int32_t value = 0;
    if (!parse_value(c, text, &value)) {
        fprintf(stderr, "%s: bad value '%s' for %s (%s)\n", kProg, text, c.name.c_str(),
                c.menu.empty() ? "a number, hex or decimal" : "a number or a menu entry");
        return kUsage;
    }
    const std::string why = check_value(c, value);
    if (!why.empty()) {
        fprintf(stderr, "%s: %d for %s: %s\n", kProg, value, c.name.c_str(), why.c_str());
        return kUsage;
    }
    if (cam_control_set(slot, c.q.id, static_cast<uint32_t>(value)) != 0)
        return adjust::refused(kProg, "setting the control", errno);
    return kOk;
}

}  // namespace

int cmd_ctrl(int argc, char** argv) {
    adjust::Device dev;
    if (adjust::wants_help(argc, argv)) {
        usage(stdout);
        return kOk;
    }
    if (!adjust::take_device_options(kProg, &argc, argv, &dev)) return kUsage;
    const bool json = adjust::take_flag(&argc, argv, "--json");
    if (argc < 1) return adjust::usage_error(kProg, "list, get or set? (see camctl ctrl --help)");
    const Verb* verb = find_verb(argv[0]);
    if (!verb) {
        fprintf(stderr, "%s: unknown action '%s' (list, get or set)\n", kProg, argv[0]);
        return kUsage;
    }
    if (argc - 1 < verb->args) {
        fprintf(stderr, "%s: %s needs %s (see camctl ctrl --help)\n", kProg, verb->name,
                verb->needs);
        return kUsage;
    }
    if (argc - 1 > verb->args) {
        fprintf(stderr, "%s: too many arguments after %s (see camctl ctrl --help)\n", kProg,
                verb->name);
        return kUsage;
    }
    if (json && verb->args != 0) return adjust::usage_error(kProg, "--json goes with list only");
    if (!adjust::open_device(kProg, dev)) return kDeviceError;

    int status = kOk;
    ControlInfo c;
    if (verb->args == 0) {
        status = list(dev.slot, json);
    } else if (!find_control(dev.slot, argv[1], &c)) {
        fprintf(stderr, "%s: unknown control '%s' (try: camctl ctrl list)\n", kProg, argv[1]);
        status = kUsage;
    } else {
        status = verb->args == 1 ? get(dev.slot, c) : set(dev.slot, c, argv[2]);
    }
    cam_close(dev.slot);
    return status;
}
