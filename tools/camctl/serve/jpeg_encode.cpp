#include "jpeg_encode.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>

namespace serve {

namespace {

struct ErrorExit {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void on_error(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorExit*>(cinfo->err)->jump, 1);
}

void silent(j_common_ptr) {}

// The rows of one iMCU (8 lines) as libjpeg's raw interface wants them:
// planes padded to whole blocks, the picture's edge repeated into the pad.
struct Planes {
    unsigned y_width, c_width;
    std::vector<JSAMPLE> y, cb, cr;
    JSAMPROW y_rows[DCTSIZE], cb_rows[DCTSIZE], cr_rows[DCTSIZE];
    JSAMPARRAY parts[3] = {y_rows, cb_rows, cr_rows};

    explicit Planes(unsigned width)
        : y_width((width + 15) / 16 * 16),
          c_width(y_width / 2),
          y(static_cast<size_t>(y_width) * DCTSIZE),
          cb(static_cast<size_t>(c_width) * DCTSIZE),
          cr(static_cast<size_t>(c_width) * DCTSIZE) {
        for (int r = 0; r < DCTSIZE; ++r) {
            y_rows[r] = &y[static_cast<size_t>(r) * y_width];
            cb_rows[r] = &cb[static_cast<size_t>(r) * c_width];
            cr_rows[r] = &cr[static_cast<size_t>(r) * c_width];
        }
    }

    void fill(const unsigned char* yuyv, unsigned width, unsigned height, unsigned first) {
        for (unsigned r = 0; r < DCTSIZE; ++r) {
            unsigned line = first + r < height ? first + r : height - 1;
            const unsigned char* p = yuyv + static_cast<size_t>(line) * width * 2;
            JSAMPLE *yr = y_rows[r], *br = cb_rows[r], *rr = cr_rows[r];
            unsigned pairs = width / 2;
            for (unsigned i = 0; i < pairs; ++i) {
                yr[2 * i] = p[4 * i];
                br[i] = p[4 * i + 1];
                yr[2 * i + 1] = p[4 * i + 2];
                rr[i] = p[4 * i + 3];
            }
            for (unsigned i = pairs * 2; i < y_width; ++i) yr[i] = yr[pairs * 2 - 1];
            for (unsigned i = pairs; i < c_width; ++i) {
                br[i] = br[pairs - 1];
                rr[i] = rr[pairs - 1];
            }
        }
    }
};

}  // namespace

bool encode_yuyv(const unsigned char* yuyv, unsigned width, unsigned height, int quality,
                 std::vector<unsigned char>* jpeg) {
    if (width < 2 || width % 2 || height < 1) return false;
    jpeg_compress_struct cinfo;
    ErrorExit err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_error;
    err.mgr.output_message = silent;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    Planes planes(width);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        free(out);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.raw_data_in = TRUE;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 1;
    for (int c = 1; c < 3; ++c)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    for (unsigned line = 0; line < height; line += DCTSIZE) {
        planes.fill(yuyv, width, height, line);
        jpeg_write_raw_data(&cinfo, planes.parts, DCTSIZE);
    }
    jpeg_finish_compress(&cinfo);
    jpeg->assign(out, out + size);
    jpeg_destroy_compress(&cinfo);
    free(out);
    return true;
}

namespace {

// 5x7 letters, one row per byte, the high bit of five leftmost.
struct Glyph {
    char c;
    unsigned char rows[7];
};
const Glyph kGlyphs[] = {
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'O', {0x0e, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0e}},
    {'S', {0x0f, 0x10, 0x10, 0x0e, 0x01, 0x01, 0x1e}},
    {'I', {0x0e, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0e}},
    {'G', {0x0f, 0x10, 0x10, 0x17, 0x11, 0x11, 0x0f}},
    {'A', {0x0e, 0x11, 0x11, 0x1f, 0x11, 0x11, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1f}},
};

bool lit(char c, unsigned col, unsigned row) {
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return (g.rows[row] >> (4 - col)) & 1;
    return false;
}

}  // namespace

std::vector<unsigned char> no_signal_jpeg(unsigned width, unsigned height, int quality) {
    width = width < 16 ? 16 : width / 2 * 2;
    height = height < 16 ? 16 : height;
    std::vector<unsigned char> yuyv(static_cast<size_t>(width) * height * 2);
    const char text[] = "NO SIGNAL";
    const unsigned cells = (sizeof text - 1) * 6;  // five columns and a gap per letter
    unsigned scale = width * 6 / 10 / cells;
    if (scale < 1) scale = 1;
    const unsigned left = (width - cells * scale) / 2, top = (height - 7 * scale) / 2;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            unsigned char luma = ((x + y) / 32) % 2 ? 112 : 128;  // faint diagonal bands
            if (x >= left && y >= top && x < left + cells * scale && y < top + 7 * scale) {
                unsigned cx = (x - left) / scale, cy = (y - top) / scale;
                if (cx % 6 < 5 && lit(text[cx / 6], cx % 6, cy)) luma = 235;
            }
            unsigned char* p = &yuyv[(static_cast<size_t>(y) * width + x) * 2];
            p[0] = luma;
            p[1] = 128;
        }
    }
    std::vector<unsigned char> jpeg;
    encode_yuyv(yuyv.data(), width, height, quality, &jpeg);
    return jpeg;
}

}  // namespace serve
