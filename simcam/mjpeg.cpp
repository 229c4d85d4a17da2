// MJPEG frames: the YUYV picture compressed with libjpeg, by default without
// Huffman tables, as many UVC cameras send them (decoders fall back to the
// standard tables).
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>

#include <algorithm>

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
    // The planes go in as they are (raw data, 4:2:2): no colour conversion
    // and no downsampling in the library, which is most of the work on a slow
    // machine. Rows of one 8-line band, padded to whole blocks; past the
    // picture's right and bottom edges the last pixel and row repeat, as the
    // library itself pads.
    const uint32_t yw = (w + 15) & ~15u, cw = yw / 2;
    std::vector<uint8_t> planes(size_t(DCTSIZE) * (yw + 2 * cw));
    JSAMPROW rows[3][DCTSIZE];
    for (int i = 0; i < DCTSIZE; ++i) {
        rows[0][i] = planes.data() + size_t(i) * yw;
        rows[1][i] = planes.data() + size_t(DCTSIZE) * yw + size_t(i) * cw;
        rows[2][i] = planes.data() + size_t(DCTSIZE) * (yw + cw) + size_t(i) * cw;
    }
    JSAMPARRAY bands[3] = {rows[0], rows[1], rows[2]};
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
    c.raw_data_in = TRUE;
    // 4:2:2 like a camera's MJPEG.
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 1;
    c.comp_info[1].h_samp_factor = c.comp_info[2].h_samp_factor = 1;
    c.comp_info[1].v_samp_factor = c.comp_info[2].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < h) {
        for (uint32_t i = 0; i < DCTSIZE; ++i) {
            const uint32_t line = std::min(c.next_scanline + i, h - 1);
            const uint8_t* src = yuyv + size_t(line) * w * 2;
            uint8_t *y = rows[0][i], *u = rows[1][i], *v = rows[2][i];
            const uint32_t pairs = w / 2;
            for (uint32_t x = 0; x < pairs; ++x, src += 4) {
                y[2 * x] = src[0];
                u[x] = src[1];
                y[2 * x + 1] = src[2];
                v[x] = src[3];
            }
            memset(y + w, y[w - 1], yw - w);
            memset(u + pairs, u[pairs - 1], cw - pairs);
            memset(v + pairs, v[pairs - 1], cw - pairs);
        }
        jpeg_write_raw_data(&c, bands, DCTSIZE);
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
