// A GET on 127.0.0.1 for the serve case in the VM (busybox's wget needs a
// resolver the initramfs lacks): http_get PORT PATH OUT writes the body to
// OUT and exits 0 on status 200, 1 otherwise (printing the status).
#include <stdio.h>
#include <stdlib.h>

#include "http_client.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: http_get PORT PATH OUT\n");
        return 2;
    }
    Response r = http_exchange(unsigned(atoi(argv[1])), request("GET", argv[2]));
    if (r.status != 200) {
        printf("http_get %s: status %d\n", argv[2], r.status);
        return 1;
    }
    FILE* f = fopen(argv[3], "wb");
    if (!f) return 1;
    bool ok = fwrite(r.body.data(), 1, r.body.size(), f) == r.body.size();
    return fclose(f) == 0 && ok ? 0 : 1;
}
