#include <cstdio>

#include "commands.h"

int cmd_list(int, char**) {
    std::fprintf(stderr, "camctl list: not available yet\n");
    return 1;
}
