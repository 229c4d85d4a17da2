// Yuyv2Rgb, SwapRB and SaveBmp on arbitrary sizes and pixels. Every buffer is
// exactly as large as the functions' contracts ask (none at all for a width
// or height of 0 or less), so the sanitizer catches a read or write past it;
// the results are compared with straightforward per-pixel references.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "camapi.h"
#include "check.h"

namespace {

uint8_t clamp(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

void yuyv_reference(const uint8_t* in, int w, int h, uint8_t* out) {
    int pairs = ((w - 1) >> 1) + 1;
    for (int i = 0; i < pairs * h; ++i, in += 4, out += 6) {
        int u = in[1] - 128, v = in[3] - 128;
        for (int k = 0; k < 2; ++k) {
            int y = in[k * 2] - 16;
            out[k * 3 + 0] = clamp((298 * y + 409 * v + 128) >> 8);
            out[k * 3 + 1] = clamp((298 * y - 100 * u - 208 * v + 128) >> 8);
            out[k * 3 + 2] = clamp((298 * y + 516 * u + 128) >> 8);
        }
    }
}

// Sizes from the first bytes: -4..251 wide, -4..59 high, so that the
// rejected sizes and the odd widths the vector kernels must finish by hand
// are both common.
struct Input {
    int mode, width, height;
    std::vector<uint8_t> pixels;
};

Input parse(const uint8_t* data, size_t size) {
    Input in{0, 0, 0, {}};
    if (size < 3) return in;
    in.mode = data[0] % 3;
    in.width = static_cast<int>(data[1]) - 4;
    in.height = static_cast<int>(data[2] % 64) - 4;
    in.pixels.assign(data + 3, data + size);
    return in;
}

// Fills `n` bytes from the fuzz input, repeating it as needed.
uint8_t* filled(const std::vector<uint8_t>& pixels, size_t n) {
    uint8_t* buf = new uint8_t[n];
    for (size_t i = 0; i < n; ++i)
        buf[i] = pixels.empty() ? static_cast<uint8_t>(i * 7) : pixels[i % pixels.size()];
    return buf;
}

void fuzz_yuyv(const Input& in) {
    bool empty = in.width <= 0 || in.height <= 0;
    size_t pairs = empty ? 0 : static_cast<size_t>(((in.width - 1) >> 1) + 1) * in.height;
    uint8_t* src = filled(in.pixels, pairs * 4);
    uint8_t* dst = new uint8_t[pairs * 6];
    std::vector<uint8_t> want(pairs * 6);
    if (!empty) yuyv_reference(src, in.width, in.height, want.data());
    Yuyv2Rgb(src, in.width, in.height, dst);
    FUZZ_CHECK(pairs == 0 || std::memcmp(dst, want.data(), pairs * 6) == 0);
    delete[] dst;
    delete[] src;
}

void fuzz_swaprb(const Input& in) {
    bool empty = in.width <= 0 || in.height <= 0;
    size_t pixels = empty ? 0 : static_cast<size_t>(in.width) * in.height;
    uint8_t* src = filled(in.pixels, pixels * 3);
    uint8_t* dst = new uint8_t[pixels * 3];
    std::vector<uint8_t> before(src, src + pixels * 3);
    SwapRB(src, dst, in.width, in.height);
    for (size_t i = 0; i < pixels; ++i) {
        FUZZ_CHECK(dst[i * 3] == src[i * 3 + 2]);
        FUZZ_CHECK(dst[i * 3 + 1] == src[i * 3 + 1]);
        FUZZ_CHECK(dst[i * 3 + 2] == src[i * 3]);
    }
    FUZZ_CHECK(pixels == 0 || std::memcmp(before.data(), src, pixels * 3) == 0);
    delete[] dst;
    delete[] src;
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The file goes to an anonymous memory file, reached by path.
void fuzz_savebmp(const Input& in) {
    if (in.width < 0 || in.height < 0) return;  // not allowed by the contract
    static int fd = memfd_create("bmp", 0);
    FUZZ_CHECK(fd >= 0);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    size_t pixels = static_cast<size_t>(in.width) * in.height;
    uint8_t* rgb = filled(in.pixels, pixels * 3);
    SaveBmp(rgb, in.width, in.height, path);

    size_t stride = (static_cast<size_t>(in.width) * 3 + 3) & ~static_cast<size_t>(3);
    size_t total = 54 + stride * in.height;
    std::vector<uint8_t> file(total + 1);
    ssize_t got = pread(fd, file.data(), file.size(), 0);
    FUZZ_CHECK(got == static_cast<ssize_t>(total));
    FUZZ_CHECK(file[0] == 'B' && file[1] == 'M');
    FUZZ_CHECK(le32(&file[2]) == total && le32(&file[10]) == 54 && le32(&file[34]) == total - 54);
    FUZZ_CHECK(static_cast<int32_t>(le32(&file[18])) == in.width);
    FUZZ_CHECK(static_cast<int32_t>(le32(&file[22])) == -in.height);
    for (int y = 0; y < in.height; ++y) {
        const uint8_t* row = &file[54 + stride * y];
        const uint8_t* img = rgb + static_cast<size_t>(y) * in.width * 3;
        for (int x = 0; x < in.width; ++x) {
            FUZZ_CHECK(row[x * 3] == img[x * 3 + 2]);
            FUZZ_CHECK(row[x * 3 + 1] == img[x * 3 + 1]);
            FUZZ_CHECK(row[x * 3 + 2] == img[x * 3]);
        }
    }
    delete[] rgb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in = parse(data, size);
    switch (in.mode) {
        case 0:
            fuzz_yuyv(in);
            break;
        case 1:
            fuzz_swaprb(in);
            break;
        default:
            fuzz_savebmp(in);
            break;
    }
    return 0;
}
