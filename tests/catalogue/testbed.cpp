#include "testbed.h"

#include <dlfcn.h>
#include <libudev.h>
#include <umockdev.h>

#include "camapi.h"

namespace {
bool s_failUdevNew = false;
}  // namespace

extern "C" struct udev* udev_new(void) {
    using Fn = struct udev* (*)(void);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "udev_new"));
    if (s_failUdevNew || !real) return nullptr;
    return real();
}

namespace cattest {

Attrs usbAttrs(const std::string& vendor, const std::string& product, const std::string& serial) {
    return {{"idVendor", vendor},
            {"idProduct", product},
            {"manufacturer", "Camkit Labs"},
            {"product", "SimCam Module"},
            {"serial", serial}};
}

Testbed::Testbed() : tb_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
    g_object_unref(tb_);
}

std::string Testbed::add(const char* subsystem, const std::string& name, const std::string& parent,
                         const Attrs& attrs, const Attrs& props) {
    auto flatten = [](const Attrs& pairs) {
        std::vector<gchar*> out;
        for (const auto& p : pairs) {
            out.push_back(const_cast<gchar*>(p.first.c_str()));
            out.push_back(const_cast<gchar*>(p.second.c_str()));
        }
        out.push_back(nullptr);
        return out;
    };
    std::vector<gchar*> a = flatten(attrs);
    std::vector<gchar*> p = flatten(props);
    gchar* path =
        umockdev_testbed_add_devicev(tb_, subsystem, name.c_str(),
                                     parent.empty() ? nullptr : parent.c_str(), a.data(), p.data());
    std::string syspath = path ? path : "";
    g_free(path);
    return syspath;
}

std::string Testbed::addUsbCamera(const std::string& port, const Attrs& attrs) {
    std::string usb = add("usb", "usb1/" + port, "", attrs, {{"DEVTYPE", "usb_device"}});
    return add("usb", port + ":1.0", usb, {{"bInterfaceClass", "0e"}},
               {{"DEVTYPE", "usb_interface"}});
}

void Testbed::addVideoNode(const std::string& parent, const std::string& name,
                           const std::string& devnode) {
    Attrs props;
    if (!devnode.empty()) props.push_back({"DEVNAME", devnode});
    add("video4linux", name, parent, {{"name", name}}, props);
}

void Testbed::addPlatformNode(const std::string& name, const std::string& devnode) {
    std::string platform = add("platform", "platform/vivid.0", "", {}, {});
    addVideoNode(platform, name, devnode);
}

simcam::FrameSize size(uint32_t w, uint32_t h, std::vector<uint32_t> fps) {
    simcam::FrameSize s;
    s.width = w;
    s.height = h;
    for (uint32_t rate : fps) {
        simcam::Interval i;
        i.numerator = 1;
        i.denominator = rate;
        s.intervals.push_back(i);
    }
    return s;
}

simcam::Format format(uint32_t fourcc, std::vector<simcam::FrameSize> sizes) {
    simcam::Format f;
    f.fourcc = fourcc;
    f.description = "format";
    f.sizes = std::move(sizes);
    return f;
}

simcam::Camera camera(const std::string& node, std::vector<simcam::Format> formats,
                      const std::string& card) {
    simcam::Camera c;
    c.node = node;
    c.meta_node = "";
    c.card = card;
    c.formats = std::move(formats);
    c.paced = false;
    return c;
}

void failUdevNew(bool fail) {
    s_failUdevNew = fail;
}

void CatalogueTest::SetUp() {
    cam_free_devices();
    simcam::reset();
    simcam::remove_all_cameras();
}

void CatalogueTest::TearDown() {
    cam_free_devices();
    failUdevNew(false);
    EXPECT_EQ(simcam::open_descriptors(), 0u) << "a device node was left open";
}

void CatalogueTest::addCamera(const std::string& port, const simcam::Camera& cam,
                              const std::string& metaNode, const Attrs& attrs) {
    simcam::Camera c = cam;
    c.meta_node = metaNode;
    ASSERT_TRUE(simcam::add_camera(c));
    std::string intf = tb.addUsbCamera(port, attrs);
    tb.addVideoNode(intf, c.node.substr(5), c.node);
    if (!metaNode.empty()) tb.addVideoNode(intf, metaNode.substr(5), metaNode);
}

}  // namespace cattest
