#include "catalogue.h"

#include <errno.h>
#include <pybind11/stl.h>

#include "camapi.h"
#include "choose.h"
#include "raise.h"

namespace py = pybind11;

namespace {

py::list rates(const CamResolution& r) {
    py::list out;
    for (int i = 0; i < r.rateNum; ++i)
        out.append(py::make_tuple(r.rateList[i].denominator, r.rateList[i].numerator));
    return out;
}

py::dict device(const CamDevice& d) {
    py::list formats;
    for (int f = 0; f < d.fmtNum; ++f) {
        const CamFormat& fmt = d.fmtList[f];
        py::list sizes;
        for (int r = 0; r < fmt.resNum; ++r)
            sizes.append(
                py::make_tuple(fmt.resList[r].width, fmt.resList[r].height, rates(fmt.resList[r])));
        formats.append(py::make_tuple(fourcc_text(fmt.pixelFormat), fmt.pixelFormat, sizes));
    }
    py::dict out;
    out["node"] = d.devNode;
    out["card"] = d.devName;
    out["manufacturer"] = d.manufacturer;
    out["product"] = d.product;
    out["serial"] = d.serial;
    out["vendor_id"] = d.idVendor;
    out["product_id"] = d.idProduct;
    out["formats"] = formats;
    return out;
}

// The catalogue is library-global and freed by the next enumeration: it is
// copied out whole while the GIL keeps other threads away.
py::list cameras() {
    errno = 0;
    if (cam_enum_devices() < 0) raise_os_error(errno ? errno : ENODEV, "cannot list the cameras");
    py::list out;
    const CamDevice* list = cam_get_device_list();
    for (int i = 0; i < cam_get_device_num(); ++i) out.append(device(list[i]));
    cam_free_devices();
    return out;
}

py::dict choose(const char* device, uint32_t fourcc, unsigned width, unsigned height,
                unsigned fps) {
    const Capture c = choose_capture("camkit", device, fourcc, width, height, fps);
    py::dict out;
    out["device"] = c.device;
    out["card"] = c.name;
    out["fourcc"] = c.fourcc;
    out["width"] = c.width;
    out["height"] = c.height;
    out["denominator"] = c.denominator;
    out["numerator"] = c.numerator;
    return out;
}

}  // namespace

void bind_catalogue(py::module_& m) {
    m.def("cameras", &cameras, "The catalogue: one dict per camera.");
    m.def("choose", &choose, py::arg("device").none(true), py::arg("fourcc"), py::arg("width"),
          py::arg("height"), py::arg("fps"),
          "camctl's defaults: fills what is 0 or None from the catalogue.");
    m.def("fourcc_text", &fourcc_text, "MJPG, YUY2 or the fourcc's characters.");
}
