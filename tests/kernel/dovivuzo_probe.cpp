// The register transactions of dovivuzo on a real /dev/video0, for a 32-bit
// build inside a 64-bit kernel: every request then takes the kernel's compat
// path (UVCIOC_CTRL_MAP and UVCIOC_CTRL_QUERY carry pointers). Prints what it
// read; exits 1 at the first request that fails.
#include <stdio.h>
#include <string.h>

#include "dovivuzo.h"

namespace {

bool show(const char* what, unsigned short addr, int len) {
    unsigned char buf[8] = {};
    if (dovivuzo_dsp_read_buf(addr, buf, len) != 0) {
        printf("%s: read failed\n", what);
        return false;
    }
    printf("%s 0x%04x:", what, addr);
    for (int i = 0; i < len; ++i) printf(" %02x", buf[i]);
    printf("\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* node = argc > 1 ? argv[1] : "/dev/video0";
    printf("pointer size %u\n", static_cast<unsigned>(sizeof(void*)));
    if (dovivuzo_open(node) != 0) return 1;
    unsigned char data[3] = {0x11, 0x22, 0x33};
    bool ok = show("read", 0x0, 4) && dovivuzo_dsp_write_buf(0x1A2, data, 3) == 0 &&
              show("readback", 0x1A2, 3);
    if (!ok) printf("a register transaction failed\n");
    if (dovivuzo_close() != 0) return 1;
    return ok ? 0 : 1;
}
