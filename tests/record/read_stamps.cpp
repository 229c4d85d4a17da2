// read_stamps W H: the frame numbers simcam stamped into raw RGB frames read
// from stdin (ffmpeg -f rawvideo -pix_fmt rgb24), one line each.
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "simcam.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: read_stamps WIDTH HEIGHT < frames.rgb\n");
        return 1;
    }
    const uint32_t w = static_cast<uint32_t>(atoi(argv[1]));
    const uint32_t h = static_cast<uint32_t>(atoi(argv[2]));
    std::vector<uint8_t> rgb(size_t{w} * h * 3);
    while (fread(rgb.data(), 1, rgb.size(), stdin) == rgb.size())
        printf("%ld\n", simcam::read_stamp_rgb(rgb.data(), w, h));
    return 0;
}
