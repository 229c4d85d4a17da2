// Frame conversion: MJPG and YUYV frames to packed RGB, RGB to BMP files.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include <jpeglib.h>

#include "camapi.h"
#include "convert_kernels.h"

namespace {

// The error manager must come first: my_error_exit only gets the decoder
// object and finds the jump buffer right behind the manager it points to.
struct ErrorTrap {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void my_error_exit(jpeg_common_struct* cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}

// Everything after the return point is set; kept out of Jpg2Rgb so that no
// local of the frame holding the jump buffer changes after setjmp.
int decode(jpeg_decompress_struct* cinfo, unsigned char* jpg, int size, unsigned char* rgb) {
    jpeg_create_decompress(cinfo);
    // A negative count is no data; the source then reports an empty input.
    jpeg_mem_src(cinfo, jpg, size > 0 ? static_cast<unsigned long>(size) : 0UL);
    jpeg_read_header(cinfo, TRUE);
    jpeg_start_decompress(cinfo);

    const std::size_t row_len = static_cast<std::size_t>(cinfo->output_width) *
                                static_cast<std::size_t>(cinfo->output_components);
    const std::uint64_t expected = static_cast<std::uint64_t>(cinfo->output_height) * row_len;
    // The decoder may write a row that starts on a vector boundary with
    // cache-bypassing stores, so that the copy below would fetch it back
    // from memory; one byte in, the row stays in cache.
    JSAMPARRAY sample =
        (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                    static_cast<JDIMENSION>(row_len + 1), 1);
    JSAMPROW row = sample[0] + 1;
    std::uint64_t offset = 0;
    while (cinfo->output_scanline < cinfo->output_height) {
        jpeg_read_scanlines(cinfo, &row, 1);
        std::memcpy(rgb, row, row_len);
        rgb += row_len;
        offset += row_len;
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return offset == expected ? 0 : -1;
}

void put16(unsigned char* p, std::uint32_t x) {
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(x >> 8);
}

void put32(unsigned char* p, std::uint32_t x) {
    put16(p, x);
    put16(p + 2, x >> 16);
}

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;

}  // namespace

int Jpg2Rgb(unsigned char* jpg, int size, unsigned char* rgb) {
    jpeg_decompress_struct cinfo;
    ErrorTrap trap;
    cinfo.err = jpeg_std_error(&trap.pub);
    trap.pub.error_exit = my_error_exit;
    if (setjmp(trap.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return -1;
    }
    return decode(&cinfo, jpg, size, rgb);
}

void Yuyv2Rgb(unsigned char* yuyv, int width, int height, unsigned char* rgb) {
    if (height <= 0 || width <= 0) return;
    // An odd width still converts its last pair in full; rows lie back to
    // back in both buffers, so the frame is one run of pairs.
    const std::size_t pairs_per_row = static_cast<std::size_t>(((width - 1) >> 1) + 1);
    camkit::convert::yuyv_kernel()(yuyv, rgb, pairs_per_row * static_cast<std::size_t>(height));
}

void SwapRB(unsigned char* src, unsigned char* dst, int width, int height) {
    if (height <= 0 || width <= 0) return;
    camkit::convert::swap_rb_kernel()(
        src, dst, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
}

void SaveBmp(unsigned char* rgb, int width, int height, char* path) {
    if (width < 0 || height < 0) return;
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(width) * 3;
    const std::uint64_t stride = (row_bytes + 3) & ~std::uint64_t{3};
    const std::uint64_t data_size = stride * static_cast<std::uint64_t>(height);
    // The file and image sizes are 32-bit fields.
    if (data_size > UINT32_MAX - kHeadersSize) return;

    unsigned char file_header[kFileHeaderSize] = {'B', 'M'};
    put32(file_header + 2, static_cast<std::uint32_t>(data_size) + kHeadersSize);
    put32(file_header + 10, kHeadersSize);

    unsigned char info_header[kInfoHeaderSize] = {};
    put32(info_header, kInfoHeaderSize);
    put32(info_header + 4, static_cast<std::uint32_t>(width));
    // A negative height marks the rows as stored top row first.
    put32(info_header + 8, static_cast<std::uint32_t>(-static_cast<std::int64_t>(height)));
    put16(info_header + 12, 1);
    put16(info_header + 14, 24);
    put32(info_header + 20, static_cast<std::uint32_t>(data_size));

    std::FILE* f = std::fopen(path, "wb");
    if (!f) return;
    auto* pixels = new (std::nothrow) unsigned char[static_cast<std::size_t>(data_size)];
    if (pixels) {
        const std::size_t in_row = static_cast<std::size_t>(row_bytes);
        const std::size_t out_row = static_cast<std::size_t>(stride);
        unsigned char* out = pixels;
        for (int y = 0; y < height; ++y, rgb += in_row, out += out_row) {
            SwapRB(rgb, out, width, 1);
            std::memset(out + in_row, 0, out_row - in_row);
        }
        std::fwrite(file_header, 1, sizeof file_header, f);
        std::fwrite(info_header, 1, sizeof info_header, f);
        std::fwrite(pixels, 1, static_cast<std::size_t>(data_size), f);
    }
    std::fclose(f);
    delete[] pixels;
}
