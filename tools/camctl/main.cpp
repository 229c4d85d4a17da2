// camctl: list, stream from, photograph and adjust the cameras camapi sees.
#include <cstdio>
#include <cstring>

#include "camkit_version.h"
#include "commands.h"
#include "status.h"
#include "ui.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
};

const Command kCommands[] = {
    {"list", cmd_list, "show the attached cameras and what they deliver"},
    {"stream", cmd_stream, "stream frames and report the rate"},
    {"snap", cmd_snap, "grab frames and write them as picture files"},
    {"ctrl", cmd_ctrl, "list, read and set V4L2 controls"},
    {"dsp", cmd_dsp, "read and write DSP registers"},
    {"sensor", cmd_sensor, "read and write image sensor registers"},
    {"serve", cmd_serve, "serve the cameras to web browsers over HTTP"},
#ifdef CAMCTL_RECORD
    {"record", cmd_record, "record frames into video files"},
#endif
};

void usage(FILE* out) {
    std::fprintf(out, "usage: camctl [-q|--quiet] [-v|--verbose] COMMAND [ARGS...]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "\n"
                 "  -q, --quiet    no progress line and no notes, only results and errors\n"
                 "  -v, --verbose  say which camera and format were chosen, and each step\n"
                 "(both also after the command name)\n"
                 "\n"
                 "Without -d, commands use the first camera in the catalogue.\n"
                 "'camctl COMMAND --help' describes a command; --version prints the version.\n"
                 "\n"
                 "Exit status: 0 done, 1 usage error, 2 device error.\n");
}

}  // namespace

int main(int argc, char** argv) {
    // The verbosity options may stand anywhere, before or after the command.
    int n = argc - 1;
    ui::take_verbosity(&n, argv + 1);
    if (n < 1) {
        usage(stderr);
        return kUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        usage(stdout);
        return kOk;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("camctl %s\n", CAMKIT_VERSION);
        return kOk;
    }
    for (const Command& c : kCommands)
        if (!std::strcmp(argv[1], c.name)) return c.run(n - 1, argv + 2);
    std::fprintf(stderr, "camctl: unknown command '%s' (see camctl --help)\n", argv[1]);
    return kUsage;
}
