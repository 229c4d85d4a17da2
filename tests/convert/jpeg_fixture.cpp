#include "jpeg_fixture.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace convert_test {

Bytes test_picture(int width, int height) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = static_cast<unsigned char>(y * 255 / (height > 1 ? height - 1 : 1));
            p[2] = static_cast<unsigned char>(255 - p[0] / 2);
        }
    return rgb;
}

namespace {

Bytes encode(const Bytes& pixels, int width, int height, int components, int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);  // errors abort the test program
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = components;
    c.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (components == 3) {
        c.comp_info[0].h_samp_factor = 2;
        c.comp_info[0].v_samp_factor = 1;
    }
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(
            &pixels[static_cast<std::size_t>(c.next_scanline) * width * components]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes jpeg(out, out + size);
    std::free(out);
    return jpeg;
}

}  // namespace

Bytes encode_jpeg(const Bytes& rgb, int width, int height, int quality) {
    return encode(rgb, width, height, 3, quality);
}

Bytes encode_grey_jpeg(const Bytes& grey, int width, int height) {
    return encode(grey, width, height, 1, 90);
}

Bytes strip_huffman_tables(const Bytes& jpeg) {
    // Walk the marker segments between SOI and SOS; the scan data follows SOS.
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        const unsigned char marker = jpeg[at + 1];
        const std::size_t len = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker == 0xDA) break;
        if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + len);
        at += 2 + len;
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

}  // namespace convert_test
