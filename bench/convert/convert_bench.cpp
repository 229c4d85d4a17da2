// The converters against the reference libraries, on the same frames:
//   Yuyv2Rgb  vs libyuv YUY2ToARGB + ARGBToRGB24 (through a scratch ARGB frame);
//             also each YUYV kernel variant this CPU runs, called directly
//             over the same frame as Yuyv2Rgb hands it over
//   Jpg2Rgb   vs TurboJPEG tjDecompress2 into packed RGB
//   SaveBmp   vs one fwrite of the file's byte count to the same directory
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include "camapi.h"
#include "convert_kernels.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes random_frame(std::size_t n) {
    std::mt19937 rng(1);
    Bytes b(n);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    return b;
}

// A camera-like picture: smooth gradients with some sensor noise.
Bytes picture(int w, int h) {
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> noise(-6, 6);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            const int base[3] = {x * 255 / w, y * 255 / h, ((x + y) / 8) % 2 ? 200 : 60};
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<unsigned char>(std::clamp(base[c] + noise(rng), 0, 255));
        }
    return rgb;
}

// 4:2:2 baseline frame, as MJPEG cameras send.
Bytes jpeg_frame(int w, int h) {
    Bytes rgb = picture(w, h);
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_422, 85, 0) != 0)
        std::abort();
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return jpeg;
}

// Files go to a fresh directory under /tmp, removed at exit.
struct TempDir {
    std::string path = "/tmp/convert_bench_XXXXXX";
    TempDir() {
        if (!mkdtemp(path.data())) std::abort();
    }
    ~TempDir() {
        std::remove((path + "/save.bmp").c_str());
        std::remove((path + "/fwrite.bin").c_str());
        rmdir(path.c_str());
    }
};

std::string temp_dir() {
    static TempDir dir;
    return dir.path;
}

void BM_Yuyv2Rgb(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes yuyv = random_frame(static_cast<std::size_t>(w) * h * 2);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    for (auto _ : state) {
        Yuyv2Rgb(yuyv.data(), w, h, rgb.data());
        benchmark::ClobberMemory();
    }
}

void BM_Libyuv_Yuy2ToRgb24(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes yuyv = random_frame(static_cast<std::size_t>(w) * h * 2);
    Bytes argb(static_cast<std::size_t>(w) * h * 4);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(yuyv.data(), w * 2, argb.data(), w * 4, w, h);
        libyuv::ARGBToRGB24(argb.data(), w * 4, rgb.data(), w * 3, w, h);
        benchmark::ClobberMemory();
    }
}

// A YUYV kernel variant forced, over the frame as one run of pairs.
void yuyv_variant(benchmark::State& state, camkit::convert::YuyvFn kernel) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes yuyv = random_frame(static_cast<std::size_t>(w) * h * 2);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    const std::size_t pairs = static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h);
    for (auto _ : state) {
        kernel(yuyv.data(), rgb.data(), pairs);
        benchmark::ClobberMemory();
    }
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

// Registers BM_Yuyv2Rgb_<variant> for every variant the CPU runs, and records
// the CPU and the variant Yuyv2Rgb uses in the report's context.
const bool registered = [] {
    using namespace camkit::convert;
    const std::pair<const char*, YuyvFn> variants[] = {
        {"avx512", cpu_has_avx512_vbmi() ? yuyv_avx512_kernel() : nullptr},
        {"avx512bw", cpu_has_avx512_bw() ? yuyv_avx512bw_kernel() : nullptr},
        {"avx2", cpu_has_avx2() ? yuyv_avx2_kernel() : nullptr},
        {"sse2", cpu_has_sse2() ? yuyv_sse2_kernel() : nullptr},
        {"neon", cpu_has_neon() ? yuyv_neon_kernel() : nullptr},
        {"scalar", &yuyv_scalar}};
    std::string chosen = "unknown";
    for (const auto& [name, kernel] : variants) {
        if (!kernel) continue;
        if (kernel == yuyv_kernel() && chosen == "unknown") chosen = name;
        benchmark::RegisterBenchmark((std::string("BM_Yuyv2Rgb_") + name).c_str(), yuyv_variant,
                                     kernel)
            ->Args({1920, 1080})
            ->Args({640, 480})
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::AddCustomContext("cpu_model", cpu_model());
    benchmark::AddCustomContext("yuyv_kernel", chosen);
    return true;
}();

void BM_Jpg2Rgb(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes jpeg = jpeg_frame(w, h);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    for (auto _ : state) {
        if (Jpg2Rgb(jpeg.data(), static_cast<int>(jpeg.size()), rgb.data()) != 0)
            state.SkipWithError("decode failed");
        benchmark::ClobberMemory();
    }
}

void BM_Turbojpeg_tjDecompress2(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes jpeg = jpeg_frame(w, h);
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    tjhandle tj = tjInitDecompress();
    for (auto _ : state) {
        if (tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) != 0)
            state.SkipWithError("decode failed");
        benchmark::ClobberMemory();
    }
    tjDestroy(tj);
}

void BM_SaveBmp(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Bytes rgb = picture(w, h);
    std::string path = temp_dir() + "/save.bmp";
    for (auto _ : state) SaveBmp(rgb.data(), w, h, path.data());
}

void BM_Fwrite(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    // The BMP's byte count: headers plus rows padded to 4 bytes.
    const std::size_t bytes = 54 + ((static_cast<std::size_t>(w) * 3 + 3) & ~std::size_t{3}) * h;
    Bytes data = random_frame(bytes);
    const std::string path = temp_dir() + "/fwrite.bin";
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            state.SkipWithError("fopen failed");
            break;
        }
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
}

#define FRAME_SIZES Args({1920, 1080})->Args({640, 480})->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_Yuyv2Rgb)->FRAME_SIZES;
BENCHMARK(BM_Libyuv_Yuy2ToRgb24)->FRAME_SIZES;
BENCHMARK(BM_Jpg2Rgb)->FRAME_SIZES;
BENCHMARK(BM_Turbojpeg_tjDecompress2)->FRAME_SIZES;
BENCHMARK(BM_SaveBmp)->FRAME_SIZES;
BENCHMARK(BM_Fwrite)->FRAME_SIZES;

}  // namespace
