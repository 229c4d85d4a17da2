#include "convert.h"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "camapi.h"
#include "jpeg_header.h"
#include "serve/jpeg_encode.h"

namespace py = pybind11;

namespace {

// Frames larger than this are no camera's; it keeps sizes sane on 32-bit.
constexpr uint64_t kMaxPixels = uint64_t{1} << 27;

void check_size(unsigned width, unsigned height) {
    if (width == 0 || height == 0 || uint64_t{width} * height > kMaxPixels)
        throw py::value_error("bad frame size " + std::to_string(width) + "x" +
                              std::to_string(height));
}

// The frame's bytes as a contiguous uint8 buffer; bytes-like objects too.
py::buffer_info frame_bytes(const py::buffer& data) {
    py::buffer_info b = data.request();
    if (b.itemsize != 1 || (b.ndim != 1 && b.size > 0) || (b.ndim == 1 && b.strides[0] != 1))
        throw py::type_error("frame data must be contiguous bytes (a uint8 array or bytes)");
    return b;
}

// `out` is written in place, so it must be exactly what the converter
// writes: a writable C-contiguous uint8 array of height x width x 3.
unsigned char* rgb_target(const py::array& out, unsigned width, unsigned height) {
    if (!out.dtype().is(py::dtype::of<uint8_t>()) || !(out.flags() & py::array::c_style) ||
        !out.writeable())
        throw py::type_error("out must be a writable C-contiguous uint8 array");
    if (out.ndim() != 3 || out.shape(0) != static_cast<py::ssize_t>(height) ||
        out.shape(1) != static_cast<py::ssize_t>(width) || out.shape(2) != 3)
        throw py::value_error("out must have the shape (" + std::to_string(height) + ", " +
                              std::to_string(width) + ", 3)");
    return static_cast<unsigned char*>(const_cast<void*>(out.data()));
}

void jpeg_to_rgb(const py::buffer& data, unsigned width, unsigned height, py::array out) {
    check_size(width, height);
    py::buffer_info b = frame_bytes(data);
    auto* jpg = static_cast<unsigned char*>(b.ptr);
    const auto size = static_cast<size_t>(b.size);
    // The decoder writes as many pixels as the header says: only the size
    // there is room for, in colour, is let through.
    JpegHeader h;
    if (!read_jpeg_header(jpg, size, &h) || h.width != width || h.height != height ||
        h.components != 3)
        throw py::value_error("the frame is not a " + std::to_string(width) + "x" +
                              std::to_string(height) + " colour JPEG image");
    if (!jpeg_is_complete(jpg, size)) throw py::value_error("the JPEG frame is cut off");
    unsigned char* rgb = rgb_target(out, width, height);
    int r;
    {
        py::gil_scoped_release release;
        r = Jpg2Rgb(jpg, static_cast<int>(size), rgb);
    }
    if (r != 0) throw py::value_error("the JPEG frame does not decode");
}

void yuyv_to_rgb(const py::buffer& data, unsigned width, unsigned height, py::array out) {
    check_size(width, height);
    if (width % 2) throw py::value_error("a YUYV frame has an even width");
    py::buffer_info b = frame_bytes(data);
    if (static_cast<uint64_t>(b.size) < uint64_t{width} * height * 2)
        throw py::value_error("the YUYV frame is short: " + std::to_string(b.size) + " bytes");
    unsigned char* rgb = rgb_target(out, width, height);
    py::gil_scoped_release release;
    Yuyv2Rgb(static_cast<unsigned char*>(b.ptr), static_cast<int>(width), static_cast<int>(height),
             rgb);
}

py::bytes yuyv_to_jpeg(const py::buffer& data, unsigned width, unsigned height, int quality) {
    check_size(width, height);
    if (width % 2) throw py::value_error("a YUYV frame has an even width");
    if (quality < 1 || quality > 100) throw py::value_error("quality must be in 1..100");
    py::buffer_info b = frame_bytes(data);
    if (static_cast<uint64_t>(b.size) < uint64_t{width} * height * 2)
        throw py::value_error("the YUYV frame is short: " + std::to_string(b.size) + " bytes");
    std::vector<unsigned char> jpeg;
    bool ok;
    {
        py::gil_scoped_release release;
        ok = serve::encode_yuyv(static_cast<unsigned char*>(b.ptr), width, height, quality, &jpeg);
    }
    if (!ok) throw py::value_error("the frame could not be encoded as JPEG");
    return py::bytes(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
}

}  // namespace

void bind_convert(py::module_& m) {
    m.def("jpeg_to_rgb", &jpeg_to_rgb, py::arg("data"), py::arg("width"), py::arg("height"),
          py::arg("out"), "Decodes an MJPG frame into out (height x width x 3 uint8).");
    m.def("yuyv_to_rgb", &yuyv_to_rgb, py::arg("data"), py::arg("width"), py::arg("height"),
          py::arg("out"), "Converts a YUYV frame into out (height x width x 3 uint8).");
    m.def("yuyv_to_jpeg", &yuyv_to_jpeg, py::arg("data"), py::arg("width"), py::arg("height"),
          py::arg("quality"), "Encodes a YUYV frame as JPEG.");
}
