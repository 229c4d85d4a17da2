// Run under simcam-run: finds the camera through libudev, as a catalogue
// would, and talks to the node that udev names.
#include <fcntl.h>
#include <libudev.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

static bool querycap(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    v4l2_capability cap{};
    bool ok = ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 &&
              strcmp(reinterpret_cast<char*>(cap.driver), "uvcvideo") == 0;
    close(fd);
    return ok;
}

int main() {
    udev* u = udev_new();
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "video4linux");
    udev_enumerate_scan_devices(e);
    int found = 0;
    for (udev_list_entry* l = udev_enumerate_get_list_entry(e); l;
         l = udev_list_entry_get_next(l)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(l));
        const char* node = udev_device_get_devnode(d);
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
        if (node && usb) {
            printf("%s idVendor=%s idProduct=%s manufacturer=%s product=%s serial=%s querycap=%s\n",
                   node, udev_device_get_sysattr_value(usb, "idVendor"),
                   udev_device_get_sysattr_value(usb, "idProduct"),
                   udev_device_get_sysattr_value(usb, "manufacturer"),
                   udev_device_get_sysattr_value(usb, "product"),
                   udev_device_get_sysattr_value(usb, "serial"), querycap(node) ? "ok" : "failed");
            ++found;
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    udev_unref(u);
    // The testbed's own copy of the node stands for the same device.
    if (const char* root = getenv("UMOCKDEV_DIR"))
        printf("testbed path querycap=%s\n",
               querycap(std::string(root) + "/dev/video0") ? "ok" : "failed");
    return found == 2 ? 0 : 1;
}
