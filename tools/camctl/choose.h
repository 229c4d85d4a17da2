// What to open when the user leaves it open: the first camera in the
// catalogue that captures, its first format, its largest frame size and the
// fastest rate of that size.
#ifndef CAMCTL_CHOOSE_H
#define CAMCTL_CHOOSE_H

#include <stdint.h>

#include <string>

struct Capture {
    std::string device;
    std::string name;  // card name from the catalogue; empty if not listed
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
    // Seconds per frame, numerator/denominator, passed denominator first.
    uint32_t denominator = 0;
    uint32_t numerator = 1;
};

// Fills what is zero or null from the catalogue; without a usable catalogue
// (or for a device it does not list), from /dev/video0, MJPG, 640x480 at
// 30 fps. --verbose notes where each choice came from.
Capture choose_capture(const char* prog, const char* device, uint32_t fourcc, unsigned width,
                       unsigned height, unsigned fps);

// The device alone, for a program that sets no format: `device` when given,
// else the first camera in the catalogue that captures, else /dev/video0.
std::string choose_device(const char* prog, const char* device);

// "MJPG", "YUY2" or the fourcc's four characters.
std::string fourcc_text(uint32_t fourcc);
// "30 fps", "7.5 fps"; "? fps" for a zero numerator.
std::string rate_text(uint32_t denominator, uint32_t numerator);

#endif  // CAMCTL_CHOOSE_H
