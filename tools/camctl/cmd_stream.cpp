#include <cstdio>

#include "commands.h"

int cmd_stream(int, char**) {
    std::fprintf(stderr, "camctl stream: not available yet\n");
    return 1;
}
