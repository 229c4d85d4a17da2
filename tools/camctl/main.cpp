// camctl: list, stream from and adjust the cameras camapi sees.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
};

const Command kCommands[] = {
    {"list", cmd_list, "show the attached cameras and what they deliver"},
    {"stream", cmd_stream, "stream frames and report the rate"},
    {"ctrl", cmd_ctrl, "list, read and set V4L2 controls"},
    {"dsp", cmd_dsp, "read and write DSP registers"},
    {"sensor", cmd_sensor, "read and write image sensor registers"},
};

void usage(FILE* out) {
    std::fprintf(out, "usage: camctl COMMAND [ARGS...]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'camctl COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 1;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(stdout);
        return 0;
    }
    for (const Command& c : kCommands)
        if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
    std::fprintf(stderr, "camctl: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 1;
}
