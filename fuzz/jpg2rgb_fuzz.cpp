// Jpg2Rgb on arbitrary bytes. The destination is sized from the header that
// the harness reads itself, exactly, so that the sanitizer catches any write
// past it; inputs whose header cannot be read get a zero-byte destination,
// since the call must then fail before writing anything.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "camapi.h"
#include "check.h"

namespace {

// Larger images only cost time: the decoder's handling of size is the same.
constexpr size_t kMaxOutput = 1u << 22;

struct Trap {
    jpeg_error_mgr mgr;
    jmp_buf back;
};

void quiet_exit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<Trap*>(cinfo->err)->back, 1);
}
void quiet_message(j_common_ptr) {}

// Output size in bytes as the decoder will produce it; 0 when the header
// cannot be read, SIZE_MAX above the cap.
size_t output_size(const uint8_t* data, size_t size) {
    jpeg_decompress_struct cinfo;
    Trap trap;
    cinfo.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = quiet_exit;
    trap.mgr.output_message = quiet_message;
    if (setjmp(trap.back)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_calc_output_dimensions(&cinfo);
    size_t bytes = static_cast<size_t>(cinfo.output_width) * cinfo.output_height *
                   static_cast<size_t>(cinfo.output_components);
    if (cinfo.output_width > 4096 || cinfo.output_height > 4096 || bytes > kMaxOutput)
        bytes = SIZE_MAX;
    jpeg_destroy_decompress(&cinfo);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    size_t out = size ? output_size(data, size) : 0;
    if (out == SIZE_MAX) return 0;
    std::vector<uint8_t> src(data, data + size);
    unsigned char* dst = new unsigned char[out];
    int r = Jpg2Rgb(size ? src.data() : nullptr, static_cast<int>(size), dst);
    FUZZ_CHECK(r == 0 || r == -1);
    if (out == 0) FUZZ_CHECK(r == -1);
    // The source is only read.
    FUZZ_CHECK(size == 0 || std::memcmp(src.data(), data, size) == 0);
    delete[] dst;
    return 0;
}
