// simcam-udev [CONFIG]: writes the umockdev description (sysfs devices and
// udev properties) of the cameras in CONFIG, or of the default camera, so
// that udev shows what simcam simulates.
#include <stdio.h>
#include <string.h>

#include <string>

#include "simcam.h"

namespace {

std::string base(const std::string& node) {
    return node.substr(node.rfind('/') + 1);
}

std::string underscores(std::string s) {
    for (char& c : s)
        if (c == ' ') c = '_';
    return s;
}

unsigned trailing_number(const std::string& s) {
    size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    return i < s.size() ? unsigned(std::stoul(s.substr(i))) : 0;
}

void video_node(const std::string& iface, const simcam::Camera& c, const std::string& node,
                bool capture) {
    std::string id = c.manufacturer + "_" + c.product + "_" + c.serial;
    printf("P: %s/video4linux/%s\n", iface.c_str(), base(node).c_str());
    printf("N: %s\n", node.substr(5).c_str());
    printf("E: DEVNAME=%s\nE: MAJOR=81\nE: MINOR=%u\nE: SUBSYSTEM=video4linux\n", node.c_str(),
           trailing_number(node));
    printf("E: ID_V4L_CAPABILITIES=:%s\nE: ID_V4L_PRODUCT=%s\nE: ID_V4L_VERSION=2\n",
           capture ? "capture:" : "", c.card.c_str());
    printf("E: ID_VENDOR_ID=%s\nE: ID_MODEL_ID=%s\nE: ID_SERIAL=%s\nE: ID_BUS=usb\n",
           c.usb_vendor.c_str(), c.usb_product.c_str(), underscores(id).c_str());
    printf("E: ID_USB_DRIVER=uvcvideo\nE: ID_USB_INTERFACE_NUM=00\n");
    printf("A: dev=81:%u\nA: index=%u\nA: name=%s\n\n", trailing_number(node), capture ? 0u : 1u,
           c.card.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: simcam-udev [CONFIG]\n");
        return 2;
    }
    if (argc == 2) {
        std::string error;
        if (!simcam::load_config(argv[1], &error)) {
            fprintf(stderr, "simcam-udev: %s\n", error.c_str());
            return 1;
        }
    }
    const std::string hub = "/devices/pci0000:00/0000:00:14.0/usb1";
    int port = 0;
    for (const simcam::Camera& c : simcam::cameras()) {
        ++port;
        std::string dev = hub + "/1-" + std::to_string(port);
        std::string iface = dev + "/1-" + std::to_string(port) + ":1.0";
        video_node(iface, c, c.node, true);
        if (!c.meta_node.empty()) video_node(iface, c, c.meta_node, false);
        printf("P: %s\nE: DEVTYPE=usb_interface\nE: DRIVER=uvcvideo\nE: INTERFACE=14/1/0\n",
               iface.c_str());
        printf("E: SUBSYSTEM=usb\nA: bInterfaceClass=0e\nA: bInterfaceNumber=00\n");
        printf("A: bInterfaceSubClass=01\nA: bInterfaceProtocol=00\nA: interface=%s\n\n",
               c.product.c_str());
        printf("P: %s\nN: bus/usb/001/%03d\n", dev.c_str(), port + 1);
        printf("E: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n",
               port + 1);
        printf("E: SUBSYSTEM=usb\nE: PRODUCT=%s/%s/100\n", c.usb_vendor.c_str(),
               c.usb_product.c_str());
        printf("E: ID_VENDOR_ID=%s\nE: ID_MODEL_ID=%s\nE: ID_SERIAL_SHORT=%s\n",
               c.usb_vendor.c_str(), c.usb_product.c_str(), c.serial.c_str());
        printf("A: bDeviceClass=ef\nA: bDeviceSubClass=02\nA: bDeviceProtocol=01\n");
        printf("A: busnum=1\nA: devnum=%d\nA: dev=189:%d\nA: speed=480\nA: version= 2.00\n",
               port + 1, port);
        printf(
            "A: idVendor=%s\nA: idProduct=%s\nA: manufacturer=%s\nA: product=%s\nA: serial=%s\n\n",
            c.usb_vendor.c_str(), c.usb_product.c_str(), c.manufacturer.c_str(), c.product.c_str(),
            c.serial.c_str());
    }
    printf("P: %s\nN: bus/usb/001/001\nE: DEVNAME=/dev/bus/usb/001/001\nE: DEVTYPE=usb_device\n",
           hub.c_str());
    printf("E: DRIVER=usb\nE: SUBSYSTEM=usb\nA: busnum=1\nA: devnum=1\nA: dev=189:0\n");
    printf("A: idVendor=1d6b\nA: idProduct=0002\nA: speed=480\n\n");
    printf("P: /devices/pci0000:00/0000:00:14.0\nE: DRIVER=xhci_hcd\nE: SUBSYSTEM=pci\n");
    printf("A: class=0x0c0330\n");
    return 0;
}
