#include "adjust.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "camapi.h"
#include "choose.h"
#include "status.h"

namespace adjust {

bool parse_number(const char* text, uint32_t max, uint32_t* out) {
    if (!text || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > max) return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

bool take_device_options(const char* prog, int* argc, char** argv, Device* dev) {
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        bool device = !strcmp(argv[i], "-d"), slot = !strcmp(argv[i], "--slot");
        if (!device && !slot) {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= *argc) {
            fprintf(stderr, "%s: %s needs a value\n", prog, argv[i]);
            return false;
        }
        const char* value = argv[++i];
        uint32_t n = 0;
        if (device) {
            dev->path = value;
        } else if (parse_number(value, 1, &n)) {
            dev->slot = static_cast<int>(n);
        } else {
            fprintf(stderr, "%s: bad value for --slot '%s' (0 or 1)\n", prog, value);
            return false;
        }
    }
    *argc = kept;
    return true;
}

bool take_flag(int* argc, char** argv, const char* flag) {
    bool found = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (!strcmp(argv[i], flag))
            found = true;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return found;
}

bool open_device(const char* prog, const Device& dev) {
    // A slot for controls and registers only: no format and no buffers, so
    // that a camera another program streams can be adjusted as it streams.
    const std::string node = choose_device(prog, dev.path);
    if (cam_open_control(dev.slot, node.c_str()) == 0) return true;
    fprintf(stderr, "%s: cannot open %s: %s\n", prog, node.c_str(), strerror(errno));
    return false;
}

int refused(const char* prog, const char* what, int err) {
    fprintf(stderr, "%s: %s: %s\n", prog, what, strerror(err));
    return kDeviceError;
}

bool wants_help(int argc, char** argv) {
    return argc >= 1 && (!strcmp(argv[0], "--help") || !strcmp(argv[0], "-h"));
}

int usage_error(const char* prog, const char* message) {
    fprintf(stderr, "%s: %s\n", prog, message);
    return kUsage;
}

int register_refused(const char* prog, const char* what, int err) {
    if (err != EILSEQ && err != EPIPE && err != EIO) return refused(prog, what, err);
    fprintf(stderr, "%s: the camera refused %s (is the address one it has?)\n", prog, what);
    return kDeviceError;
}

}  // namespace adjust
