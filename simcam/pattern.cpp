// The test pattern: colour bars, a block moving 8 pixels per frame, the
// frame number in digits at the bottom left, and a machine-readable stamp
// of the frame number along the top edge.
//
// Stamp: a band of 32 equal cells across the top; cell 0 white, cell 1
// black, cells 2..25 the low 24 bits of the frame number (most significant
// first, white = 1), cells 26..31 a 6-bit check (the four 6-bit groups of
// the number XORed). Cells are large, so the stamp survives JPEG.
#include <string.h>

#include <algorithm>

#include "internal.h"

namespace simcam {
namespace {

struct Yuv {
    uint8_t y, u, v;
};

constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr Yuv kWhite{235, 128, 128}, kBlack{16, 128, 128}, kRed{81, 90, 240};
constexpr uint32_t kCells = 32;

// 3x5 digit glyphs, one row per 3 bits (MSB left).
constexpr uint8_t kFont[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

uint32_t band_height(uint32_t h) {
    return std::max<uint32_t>(std::min<uint32_t>(8, h), h / 12);
}

uint32_t check_bits(uint32_t n) {
    return (n ^ (n >> 6) ^ (n >> 12) ^ (n >> 18)) & 63;
}

void put(uint8_t* row, uint32_t x, const Yuv& c) {
    row[x * 2] = c.y;
    row[(x & ~1u) * 2 + 1] = c.u;
    row[(x & ~1u) * 2 + 3] = c.v;
}

void fill(uint8_t* img, uint32_t w, uint32_t h, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1,
          const Yuv& c) {
    x1 = std::min(x1, w);
    y1 = std::min(y1, h);
    for (uint32_t y = y0; y < y1; ++y)
        for (uint32_t x = x0; x < x1; ++x) put(img + size_t(y) * w * 2, x, c);
}

// Whether stamp cell i is white for frame number n.
bool cell_white(uint32_t i, uint32_t n) {
    if (i == 0) return true;
    if (i == 1) return false;
    if (i < 26) return (n >> (25 - i)) & 1;
    return (check_bits(n) >> (31 - i)) & 1;
}

template <typename Luma>
long read_stamp(uint32_t w, uint32_t h, Luma luma) {
    uint32_t cw = w / kCells, bh = band_height(h);
    if (cw < 2 || bh < 2) return -1;
    bool bits[kCells];
    for (uint32_t i = 0; i < kCells; ++i) {
        uint64_t sum = 0, count = 0;
        for (uint32_t y = bh / 4; y < bh - bh / 4; ++y)
            for (uint32_t x = i * cw + cw / 4; x < i * cw + cw - cw / 4; ++x, ++count)
                sum += luma(x, y);
        bits[i] = count && sum / count >= 128;
    }
    if (!bits[0] || bits[1]) return -1;
    uint32_t n = 0, check = 0;
    for (uint32_t i = 2; i < 26; ++i) n = n << 1 | bits[i];
    for (uint32_t i = 26; i < kCells; ++i) check = check << 1 | bits[i];
    return check == check_bits(n) ? long(n) : -1;
}

}  // namespace

void render_yuyv(uint32_t w, uint32_t h, uint32_t sequence, uint8_t* out) {
    if (w == 0 || h == 0 || !out) return;
    size_t stride = size_t(w) * 2;
    // Colour bars: one row, copied down.
    for (uint32_t x = 0; x < w; ++x) put(out, x, kBars[uint64_t(x) * 8 / w]);
    for (uint32_t y = 1; y < h; ++y) memcpy(out + y * stride, out, stride);

    // Stamp band.
    uint32_t bh = band_height(h), cw = w / kCells;
    uint32_t n = sequence & 0xffffff;
    fill(out, w, h, 0, 0, w, bh, kBlack);
    if (cw > 0)
        for (uint32_t i = 0; i < kCells; ++i)
            if (cell_white(i, n)) fill(out, w, h, i * cw, 0, i * cw + cw, bh, kWhite);

    // Moving block below the band.
    uint32_t s = std::max<uint32_t>(2, std::min(w, h) / 5) & ~1u;
    if (s < w && bh + s < h) {
        uint32_t x = uint32_t(uint64_t(sequence) * 8 % (w - s)) & ~1u;
        uint32_t y = bh + (h - bh - s) / 2;
        fill(out, w, h, x, y, x + s, y + s, kRed);
    }

    // Frame number in digits, bottom left.
    uint32_t scale = std::max<uint32_t>(1, h / 60);
    char digits[16];
    int nd = 0;
    uint32_t v = sequence;
    do {
        digits[nd++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    uint32_t y0 = h > 7 * scale ? h - 7 * scale : 0;
    uint32_t x0 = 2 * scale;
    fill(out, w, h, x0 - scale, y0 - std::min(y0, scale), x0 + nd * 4 * scale, y0 + 6 * scale,
         kBlack);
    for (int i = 0; i < nd; ++i) {
        const uint8_t* g = kFont[digits[nd - 1 - i] - '0'];
        uint32_t gx = x0 + uint32_t(i) * 4 * scale;
        for (uint32_t r = 0; r < 5; ++r)
            for (uint32_t c = 0; c < 3; ++c)
                if (g[r] >> (2 - c) & 1)
                    fill(out, w, h, gx + c * scale, y0 + r * scale, gx + c * scale + scale,
                         y0 + r * scale + scale, kWhite);
    }
}

long read_stamp_yuyv(const uint8_t* yuyv, uint32_t w, uint32_t h) {
    if (!yuyv) return -1;
    return read_stamp(w, h, [&](uint32_t x, uint32_t y) { return yuyv[(size_t(y) * w + x) * 2]; });
}

long read_stamp_rgb(const uint8_t* rgb, uint32_t w, uint32_t h) {
    if (!rgb) return -1;
    return read_stamp(w, h, [&](uint32_t x, uint32_t y) {
        const uint8_t* p = rgb + (size_t(y) * w + x) * 3;
        return (77u * p[0] + 150u * p[1] + 29u * p[2]) >> 8;
    });
}

}  // namespace simcam
