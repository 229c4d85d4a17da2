// camctl sensor: read and write the image sensor's 16-bit (or 8-bit) registers.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "adjust.h"
#include "camapi.h"
#include "commands.h"
#include "status.h"

namespace {

const char kProg[] = "camctl sensor";

void usage(FILE* out) {
    fputs(
        "usage: camctl sensor read ADDR [--8] [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl sensor write ADDR VALUE [--8] [-d DEVICE] [--slot 0|1] [-v]\n"
        "\n"
        "Reads or writes the sensor register at the 16-bit address ADDR: a 16-bit\n"
        "value, or with --8 an 8-bit one. Numbers in hex (0x..) or decimal.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

int fail_usage(const char* message) {
    return adjust::usage_error(kProg, message);
}

}  // namespace

int cmd_sensor(int argc, char** argv) {
    adjust::Device dev;
    if (adjust::wants_help(argc, argv)) {
        usage(stdout);
        return kOk;
    }
    if (!adjust::take_device_options(kProg, &argc, argv, &dev)) return kUsage;
    const bool narrow = adjust::take_flag(&argc, argv, "--8");
    const bool read = argc == 2 && !strcmp(argv[0], "read");
    const bool write = argc == 3 && !strcmp(argv[0], "write");
    uint32_t addr = 0, value = 0;
    if (!read && !write)
        return fail_usage("read ADDR or write ADDR VALUE (see camctl sensor --help)");
    if (!adjust::parse_number(argv[1], 0xFFFF, &addr))
        return fail_usage("bad address (0 to 0xffff)");
    if (write && !adjust::parse_number(argv[2], narrow ? 0xFF : 0xFFFF, &value))
        return fail_usage(narrow ? "bad value (0 to 0xff)" : "bad value (0 to 0xffff)");
    if (!adjust::open_device(kProg, dev)) return kDeviceError;

    const unsigned short a = static_cast<unsigned short>(addr);
    int status = kOk;
    int r = 0;
    if (read && narrow) {
        unsigned char byte = 0;
        if ((r = cam_sensor_read8(dev.slot, a, &byte)) >= 0) printf("0x%04x = 0x%02x\n", a, byte);
    } else if (read) {
        unsigned short word = 0;
        if ((r = cam_sensor_read16(dev.slot, a, &word)) >= 0) printf("0x%04x = 0x%04x\n", a, word);
    } else if (narrow) {
        r = cam_sensor_write8(dev.slot, a, static_cast<unsigned char>(value));
    } else {
        r = cam_sensor_write16(dev.slot, a, static_cast<unsigned short>(value));
    }
    if (r < 0) {
        char what[48];
        snprintf(what, sizeof what, "%s the register at 0x%04x", read ? "reading" : "writing", a);
        status = adjust::register_refused(kProg, what, errno);
    }
    cam_close(dev.slot);
    return status;
}
