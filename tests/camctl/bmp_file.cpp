#include "bmp_file.h"

#include <fstream>
#include <iterator>

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

}  // namespace

bool read_bmp(const std::string& path, RgbImage* image) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
    const uint32_t offset = le32(b, 10);
    const int32_t width = static_cast<int32_t>(le32(b, 18));
    const int32_t height = static_cast<int32_t>(le32(b, 22));
    if (width <= 0 || height == 0 || (b[28] | b[29] << 8) != 24 || le32(b, 30) != 0) return false;
    const uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    const size_t stride = (size_t(width) * 3 + 3) & ~size_t{3};
    if (b.size() < offset + stride * rows) return false;
    image->width = static_cast<uint32_t>(width);
    image->height = rows;
    image->rgb.resize(size_t(width) * rows * 3);
    for (uint32_t y = 0; y < rows; ++y) {
        const uint8_t* row = &b[offset + stride * (height < 0 ? y : rows - 1 - y)];
        uint8_t* out = &image->rgb[size_t(y) * width * 3];
        for (int32_t x = 0; x < width; ++x) {
            out[3 * x] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x];
        }
    }
    return true;
}
