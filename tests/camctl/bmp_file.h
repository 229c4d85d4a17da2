// Reads back the 24-bit BMP files camctl writes, for the tests.
#ifndef TESTS_CAMCTL_BMP_FILE_H
#define TESTS_CAMCTL_BMP_FILE_H

#include <stdint.h>

#include <string>
#include <vector>

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;  // packed, top row first
};

// False for anything but an uncompressed 24-bit BMP (either row order).
bool read_bmp(const std::string& path, RgbImage* image);

#endif  // TESTS_CAMCTL_BMP_FILE_H
