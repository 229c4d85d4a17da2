// MJPEG frames: the YUYV picture compressed with libjpeg, by default without
// Huffman tables, as many UVC cameras send them (decoders fall back to the
// standard tables).
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

struct ErrorMgr {
    jpeg_error_mgr base;
    jmp_buf jump;
};

void on_error(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorMgr*>(cinfo->err)->jump, 1);
}

void no_message(j_common_ptr) {}

}  // namespace

void strip_dht(std::vector<uint8_t>& j) {
    std::vector<uint8_t> out;
    out.reserve(j.size());
    size_t i = 0;
    if (j.size() >= 2) {
        out.insert(out.end(), j.begin(), j.begin() + 2);  // SOI
        i = 2;
    }
    // Marker segments up to start-of-scan; DHT (FFC4) segments are dropped.
    while (i + 4 <= j.size() && j[i] == 0xFF) {
        uint8_t marker = j[i + 1];
        size_t len = size_t(j[i + 2]) << 8 | j[i + 3];
        if (marker == 0xDA || i + 2 + len > j.size()) break;
        if (marker != 0xC4) out.insert(out.end(), j.begin() + i, j.begin() + i + 2 + len);
        i += 2 + len;
    }
    out.insert(out.end(), j.begin() + i, j.end());
    j.swap(out);
}

std::vector<uint8_t> encode_mjpeg(const uint8_t* yuyv, uint32_t w, uint32_t h, bool huffman) {
    std::vector<uint8_t> result;
    jpeg_compress_struct c;
    ErrorMgr err;
    c.err = jpeg_std_error(&err.base);
    err.base.error_exit = on_error;
    err.base.output_message = no_message;
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    std::vector<uint8_t> row(size_t(w) * 3);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        free(mem);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 80, TRUE);
    c.dct_method = JDCT_IFAST;
    // 4:2:2 like a camera's MJPEG.
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < h) {
        const uint8_t* src = yuyv + size_t(c.next_scanline) * w * 2;
        for (uint32_t x = 0; x < w; ++x) {
            row[x * 3] = src[x * 2];
            row[x * 3 + 1] = src[(x & ~1u) * 2 + 1];
            row[x * 3 + 2] = src[(x & ~1u) * 2 + 3];
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    result.assign(mem, mem + size);
    jpeg_destroy_compress(&c);
    free(mem);
    if (!huffman) strip_dht(result);
    return result;
}

}  // namespace detail
}  // namespace simcam
