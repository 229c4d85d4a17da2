#include "png_write.h"

#include <stdint.h>
#include <string.h>

#include <zlib.h>

namespace {

void put32(std::vector<unsigned char>* out, uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    out->insert(out->end(), b, b + 4);
}

void chunk(std::vector<unsigned char>* out, const char* type, const unsigned char* data,
           size_t size) {
    put32(out, static_cast<uint32_t>(size));
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    if (size) out->insert(out->end(), data, data + size);
    put32(out, static_cast<uint32_t>(crc32(0, out->data() + start, static_cast<uInt>(size + 4))));
}

}  // namespace

bool encode_png(const unsigned char* rgb, unsigned width, unsigned height,
                std::vector<unsigned char>* png) {
    // Filter type 1 (Sub): each byte less the same channel one pixel left;
    // cheap, and a camera's picture deflates far better for it.
    const size_t row = size_t{width} * 3;
    std::vector<unsigned char> raw((row + 1) * height);
    unsigned char* out = raw.data();
    for (unsigned y = 0; y < height; ++y, rgb += row) {
        *out++ = 1;
        memcpy(out, rgb, row < 3 ? row : 3);
        for (size_t i = 3; i < row; ++i) out[i] = static_cast<unsigned char>(rgb[i] - rgb[i - 3]);
        out += row;
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()),
                  Z_BEST_SPEED) != Z_OK)
        return false;

    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png->assign(kSignature, kSignature + 8);
    std::vector<unsigned char> header;
    put32(&header, width);
    put32(&header, height);
    // 8 bits, RGB, deflate, per-row filters, no interlace
    const unsigned char depth_etc[5] = {8, 2, 0, 0, 0};
    header.insert(header.end(), depth_etc, depth_etc + 5);
    chunk(png, "IHDR", header.data(), header.size());
    chunk(png, "IDAT", packed.data(), packed_size);
    chunk(png, "IEND", nullptr, 0);
    return true;
}
