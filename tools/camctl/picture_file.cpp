#include "picture_file.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include "atomic_file.h"
#include "camapi.h"
#include "jpeg_header.h"
#include "jpeg_huffman.h"
#include "png_write.h"
#include "serve/jpeg_encode.h"

namespace {

constexpr int kJpegQuality = 90;
// Larger frames than this are no camera's; it keeps the RGB buffer sane on 32-bit.
constexpr uint64_t kMaxRgbBytes = uint64_t{1} << 29;

// The frame as packed RGB in work->rgb; false if it does not convert.
bool to_rgb(const FrameSource& src, PictureWork* work) {
    const Capture& c = src.capture;
    const uint64_t bytes = uint64_t{c.width} * c.height * 3;
    if (bytes == 0 || bytes > kMaxRgbBytes) return false;
    work->rgb.resize(static_cast<size_t>(bytes));
    unsigned char* data = const_cast<unsigned char*>(src.data.data());
    if (c.fourcc == V4L2_PIX_FMT_YUYV) {
        Yuyv2Rgb(data, static_cast<int>(c.width), static_cast<int>(c.height), work->rgb.data());
        return true;
    }
    // The decoder writes what the header says: only colour fits the buffer.
    JpegHeader h;
    return read_jpeg_header(data, static_cast<size_t>(src.size), &h) && h.components == 3 &&
           Jpg2Rgb(data, src.size, work->rgb.data()) == 0;
}

bool encode_bmp(const FrameSource& src, PictureWork* work) {
    if (!to_rgb(src, work)) return false;
    const Capture& c = src.capture;
    const size_t row = size_t{c.width} * 3, stride = (row + 3) & ~size_t{3};
    const uint32_t data_size = static_cast<uint32_t>(stride * c.height);
    std::vector<unsigned char>& f = work->file;
    f.assign(54 + size_t{data_size}, 0);
    auto put = [&f](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            f[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put(2, 54 + data_size, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, c.width, 4);
    put(22, static_cast<uint32_t>(-static_cast<int64_t>(c.height)), 4);  // top row first
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, data_size, 4);
    for (unsigned y = 0; y < c.height; ++y)
        SwapRB(&work->rgb[y * row], &f[54 + y * stride], static_cast<int>(c.width), 1);
    return true;
}

bool encode_png_file(const FrameSource& src, PictureWork* work) {
    return to_rgb(src, work) &&
           encode_png(work->rgb.data(), src.capture.width, src.capture.height, &work->file);
}

bool encode_jpeg(const FrameSource& src, PictureWork* work) {
    const Capture& c = src.capture;
    if (c.fourcc == V4L2_PIX_FMT_YUYV)
        return serve::encode_yuyv(src.data.data(), c.width, c.height, kJpegQuality, &work->file);
    return with_huffman_tables(src.data.data(), static_cast<size_t>(src.size), &work->file);
}

bool copy_frame(const FrameSource& src, PictureWork* work) {
    work->file.assign(src.data.begin(), src.data.begin() + src.size);
    return true;
}

}  // namespace

struct PictureType {
    const char* extension;
    bool (*encode)(const FrameSource& src, PictureWork* work);
    uint32_t needs;  // the one format it takes; 0 for MJPG and YUYV alike
};

namespace {

const PictureType kTypes[] = {
    {".bmp", encode_bmp, 0},   {".jpg", encode_jpeg, 0},
    {".jpeg", encode_jpeg, 0}, {".png", encode_png_file, 0},
    {".raw", copy_frame, 0},   {".mjpg", copy_frame, V4L2_PIX_FMT_MJPEG},
};

}  // namespace

const PictureType* picture_type(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return nullptr;
    for (const PictureType& t : kTypes)
        if (!strcasecmp(name.c_str() + dot, t.extension)) return &t;
    return nullptr;
}

std::string picture_extensions() {
    return ".bmp, .jpg, .png, .raw or .mjpg";
}

const char* picture_refuses(const PictureType* type, uint32_t fourcc) {
    if (fourcc != V4L2_PIX_FMT_MJPEG && fourcc != V4L2_PIX_FMT_YUYV && type->encode != copy_frame)
        return "only .raw holds frames of this format";
    if (type->needs && fourcc != type->needs) return ".mjpg holds MJPG frames only (try .raw)";
    return nullptr;
}

Saved save_picture(const PictureType* type, const FrameSource& src, const std::string& path,
                   bool replace, PictureWork* work) {
    if (!type->encode(src, work)) return Saved::Damaged;
    if (!write_file_atomically(path, work->file.data(), work->file.size(), replace))
        return Saved::Failed;
    return Saved::Ok;
}
