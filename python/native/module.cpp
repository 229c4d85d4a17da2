// camkit._native: camapi for Python, kept close to the C++ API; the camkit
// package builds the friendly face on top.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "catalogue.h"
#include "control_names.h"
#include "convert.h"
#include "slot.h"

namespace py = pybind11;

PYBIND11_MODULE(_native, m) {
    m.doc() = "camapi for Python; use the camkit package rather than this module.";
    bind_catalogue(m);
    bind_slot(m);
    bind_convert(m);
    std::vector<std::pair<std::string, uint32_t>> names;
    for (size_t i = 0; i < kControlCount; ++i)
        names.emplace_back(kControls[i].name, kControls[i].id);
    m.attr("CONTROLS") = names;
    m.attr("FOURCC_MJPG") = static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG);
    m.attr("FOURCC_YUYV") = static_cast<uint32_t>(V4L2_PIX_FMT_YUYV);
    m.attr("BUF_FLAG_ERROR") = static_cast<uint32_t>(V4L2_BUF_FLAG_ERROR);
}
