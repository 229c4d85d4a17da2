// camctl ctrl: list, read and set the camera's V4L2 controls.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "adjust.h"
#include "camapi.h"
#include "commands.h"
#include "control_names.h"
#include "status.h"

namespace {

const char kProg[] = "camctl ctrl";

void usage(FILE* out) {
    fputs(
        "usage: camctl ctrl list [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl ctrl get ID [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl ctrl set ID VALUE [-d DEVICE] [--slot 0|1] [-v]\n"
        "\n"
        "ID is a control name as 'list' shows it, or a V4L2 control id (hex or\n"
        "decimal); VALUE is hex or decimal, negative values as -N.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

bool parse_id(const char* text, uint32_t* id) {
    if (control_id(text, id)) return true;
    return adjust::parse_number(text, 0xFFFFFFFF, id);
}

bool parse_value(const char* text, uint32_t* value) {
    if (*text == '-') {
        uint32_t magnitude = 0;
        if (!adjust::parse_number(text + 1, 0x80000000u, &magnitude)) return false;
        *value = 0u - magnitude;
        return true;
    }
    return adjust::parse_number(text, 0xFFFFFFFF, value);
}

int list(int slot) {
    for (size_t i = 0; i < kControlCount; ++i) {
        const NamedControl& c = kControls[i];
        __videoCtrl q;
        if (cam_control_query(slot, c.id, &q) != 0) continue;  // not offered
        unsigned int value = 0;
        char now[32] = "-";
        if (cam_control_get(slot, c.id, &value) == 0)
            snprintf(now, sizeof now, "%d", static_cast<int>(value));
        printf("%-28s 0x%08x  min %d max %d step %d default %d  value %s%s%s\n", c.name, c.id,
               q.minimum, q.maximum, q.step, q.default_value, now,
               (q.flags & V4L2_CTRL_FLAG_INACTIVE) ? "  (inactive)" : "",
               (q.flags & V4L2_CTRL_FLAG_READ_ONLY) ? "  (read-only)" : "");
    }
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
    const char* verb = argc >= 1 ? argv[0] : "";
    uint32_t id = 0, value = 0;
    bool ok = (!strcmp(verb, "list") && argc == 1) ||
              (!strcmp(verb, "get") && argc == 2 && parse_id(argv[1], &id)) ||
              (!strcmp(verb, "set") && argc == 3 && parse_id(argv[1], &id) &&
               parse_value(argv[2], &value));
    if (!ok) {
        usage(stderr);
        return kUsage;
    }
    if (!adjust::open_device(kProg, dev)) return kDeviceError;

    int status = kOk;
    if (!strcmp(verb, "list")) {
        status = list(dev.slot);
    } else if (!strcmp(verb, "get")) {
        unsigned int now = 0;
        if (cam_control_get(dev.slot, id, &now) != 0)
            status = adjust::refused(kProg, "reading the control", errno);
        else
            printf("%s 0x%08x = %d\n", control_name(id), id, static_cast<int>(now));
    } else if (cam_control_set(dev.slot, id, value) != 0) {
        status = adjust::refused(kProg, "setting the control", errno);
    }
    cam_close(dev.slot);
    return status;
}
