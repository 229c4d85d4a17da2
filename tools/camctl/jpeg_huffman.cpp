#include "jpeg_huffman.h"

#include <stdio.h>

#include <jpeglib.h>

#include "jpeg_header.h"

namespace {

void append_table(const JHUFF_TBL* t, unsigned char id, std::vector<unsigned char>* seg) {
    seg->push_back(id);
    size_t count = 0;
    for (int i = 1; i <= 16; ++i) {
        seg->push_back(t->bits[i]);
        count += t->bits[i];
    }
    seg->insert(seg->end(), t->huffval, t->huffval + count);
}

// The standard tables as libjpeg's encoder defaults have them, as one DHT
// segment: luminance and chrominance, DC and AC.
std::vector<unsigned char> standard_tables() {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_YCbCr;
    cinfo.input_components = 3;
    jpeg_set_defaults(&cinfo);
    std::vector<unsigned char> seg = {0xFF, 0xC4, 0, 0};
    for (unsigned char n = 0; n < 2; ++n) {
        append_table(cinfo.dc_huff_tbl_ptrs[n], n, &seg);
        append_table(cinfo.ac_huff_tbl_ptrs[n], static_cast<unsigned char>(0x10 | n), &seg);
    }
    jpeg_destroy_compress(&cinfo);
    const size_t length = seg.size() - 2;
    seg[2] = static_cast<unsigned char>(length >> 8);
    seg[3] = static_cast<unsigned char>(length);
    return seg;
}

}  // namespace

bool with_huffman_tables(const unsigned char* data, size_t size, std::vector<unsigned char>* out) {
    bool has_tables = false;
    const size_t scan = find_jpeg_scan(data, size, &has_tables);
    if (scan == 0) return false;
    out->assign(data, data + scan);
    if (!has_tables) {
        static const std::vector<unsigned char> kTables = standard_tables();
        out->insert(out->end(), kTables.begin(), kTables.end());
    }
    out->insert(out->end(), data + scan, data + size);
    return true;
}
