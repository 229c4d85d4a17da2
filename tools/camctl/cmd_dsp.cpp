// camctl dsp: read and write the camera DSP's byte registers.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "adjust.h"
#include "camapi.h"
#include "commands.h"
#include "status.h"

namespace {

const char kProg[] = "camctl dsp";
constexpr int kMaxLen = 8;

void usage(FILE* out) {
    fputs(
        "usage: camctl dsp read ADDR [LEN] [-d DEVICE] [--slot 0|1] [-v]\n"
        "       camctl dsp write ADDR BYTE... [-d DEVICE] [--slot 0|1] [-v]\n"
        "\n"
        "Reads LEN (1 to 8, default 1) or writes up to 8 consecutive DSP register\n"
        "bytes from the 16-bit address ADDR. Numbers in hex (0x..) or decimal.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

int fail_usage(const char* message) {
    return adjust::usage_error(kProg, message);
}

}  // namespace

int cmd_dsp(int argc, char** argv) {
    adjust::Device dev;
    if (adjust::wants_help(argc, argv)) {
        usage(stdout);
        return kOk;
    }
    if (!adjust::take_device_options(kProg, &argc, argv, &dev)) return kUsage;
    const bool read = argc >= 1 && !strcmp(argv[0], "read");
    const bool write = argc >= 1 && !strcmp(argv[0], "write");
    uint32_t addr = 0;
    if ((!read && !write) || argc < 2)
        return fail_usage("read ADDR [LEN] or write ADDR BYTE... (see camctl dsp --help)");
    if (!adjust::parse_number(argv[1], 0xFFFF, &addr))
        return fail_usage("bad address (0 to 0xffff)");

    unsigned char bytes[kMaxLen] = {};
    uint32_t len = 1;
    if (read) {
        if (argc > 3) return fail_usage("too many arguments");
        if (argc == 3 && (!adjust::parse_number(argv[2], 0xFFFFFFFF, &len) || len == 0))
            return fail_usage("bad length (1 to 8)");
    } else {
        len = static_cast<uint32_t>(argc - 2);
        if (len == 0) return fail_usage("no bytes to write");
        for (uint32_t i = 0; i < len && i < kMaxLen; ++i) {
            uint32_t b = 0;
            if (!adjust::parse_number(argv[2 + i], 0xFF, &b))
                return fail_usage("bad byte (0 to 0xff)");
            bytes[i] = static_cast<unsigned char>(b);
        }
    }
    if (len > kMaxLen) {
        fprintf(stderr, "%s: length %u is over 8, the most one transfer moves\n", kProg, len);
        return kUsage;
    }
    if (addr + len - 1 > 0xFFFF) {
        fprintf(stderr, "%s: %u bytes from 0x%04x run past 0xffff, the last register\n", kProg, len,
                addr);
        return kUsage;
    }
    if (!adjust::open_device(kProg, dev)) return kDeviceError;

    const unsigned short a = static_cast<unsigned short>(addr);
    const int n = static_cast<int>(len);
    char what[48];
    snprintf(what, sizeof what, "%s %d byte%s at 0x%04x", read ? "reading" : "writing", n,
             n == 1 ? "" : "s", a);
    int status = kOk;
    if (read) {
        if (cam_dsp_read_buf(dev.slot, a, bytes, n) < 0) {
            status = adjust::register_refused(kProg, what, errno);
        } else {
            printf("0x%04x:", a);
            for (int i = 0; i < n; ++i) printf(" %02x", bytes[i]);
            printf("\n");
        }
    } else if (cam_dsp_write_buf(dev.slot, a, bytes, n) < 0) {
        status = adjust::register_refused(kProg, what, errno);
    }
    cam_close(dev.slot);
    return status;
}
