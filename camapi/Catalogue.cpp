// Device catalogue: the attached USB cameras with their formats, frame sizes
// and frame intervals, built from udev and V4L2 queries.
//
// Arrays grow by one record per kept answer and may move when they do, so
// every step reaches its record through g_devList and indices, never through
// a pointer kept across a growth.
#include <fcntl.h>
#include <libudev.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camapi.h"

CamDevice* g_devList = nullptr;
int g_devNum = 0;

namespace {

static_assert(sizeof(void*) != 4 || sizeof(CamDevice) == 1296, "device record layout");
static_assert(sizeof(void*) != 4 || sizeof(CamFormat) == 44, "format record layout");
static_assert(sizeof(void*) != 4 || sizeof(CamResolution) == 16, "resolution record layout");
static_assert(sizeof(CamFrameRate) == 8, "frame-interval record layout");

// Set when an allocation fails: every level stops, keeping what it has, and
// the enumeration ends with the records complete so far.
bool s_outOfMemory = false;

// USB strings can exceed a field; they are cut to the field, always terminated.
template <size_t N>
void copyField(char (&dest)[N], const char* src) {
    if (!src) src = "";
    size_t len = std::strlen(src);
    if (len > N - 1) len = N - 1;
    std::memcpy(dest, src, len);
    dest[len] = '\0';
}

// Grows an array by one zeroed record; false (array untouched) when memory is out.
template <typename T>
bool growByOne(T*& array, int count) {
    void* grown = std::realloc(array, sizeof(T) * (static_cast<size_t>(count) + 1));
    if (!grown) {
        s_outOfMemory = true;
        return false;
    }
    array = static_cast<T*>(grown);
    std::memset(&array[count], 0, sizeof(T));
    return true;
}

// An empty list still has room for one zeroed record.
template <typename T>
T* newList() {
    T* list = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (!list) s_outOfMemory = true;
    return list;
}

CamDevice* device(int d) {
    return (g_devList && d >= 0) ? &g_devList[d] : nullptr;
}

CamFormat* format(int d, int f) {
    CamDevice* dev = device(d);
    return (dev && dev->fmtList && f >= 0) ? &dev->fmtList[f] : nullptr;
}

CamResolution* resolution(int d, int f, int r) {
    CamFormat* fmt = format(d, f);
    return (fmt && fmt->resList && r >= 0) ? &fmt->resList[r] : nullptr;
}

bool isSizeRange(uint32_t type) {
    return type == V4L2_FRMSIZE_TYPE_STEPWISE || type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
}

bool isIntervalRange(uint32_t type) {
    return type == V4L2_FRMIVAL_TYPE_STEPWISE || type == V4L2_FRMIVAL_TYPE_CONTINUOUS;
}

// Appends one size and lists its intervals; false when memory is out.
bool addResolution(int fd, int d, int f, int& count, uint32_t width, uint32_t height) {
    CamFormat* fmt = format(d, f);
    if (!growByOne(fmt->resList, count)) return false;
    fmt->resList[count].width = width;
    fmt->resList[count].height = height;
    cam_enum_framerates(fd, d, f, count);
    ++count;
    return !s_outOfMemory;
}

bool addRate(int d, int f, int r, int& count, const v4l2_fract& interval) {
    CamResolution* res = resolution(d, f, r);
    if (!growByOne(res->rateList, count)) return false;
    res->rateList[count].denominator = interval.denominator;
    res->rateList[count].numerator = interval.numerator;
    ++count;
    return true;
}

// Card name: the text after the first colon of the driver's card string
// (all of it without a colon), without surrounding blanks.
void storeCardName(int d, const v4l2_capability& cap) {
    char card[sizeof(cap.card) + 1];
    std::memcpy(card, cap.card, sizeof(cap.card));
    card[sizeof(cap.card)] = '\0';  // drivers need not terminate a full field
    char* colon = std::strchr(card, ':');
    char* name = colon ? colon + 1 : card;
    trim(name);
    copyField(device(d)->devName, name);
}

}  // namespace

int cam_enum_devices() {
    struct udev* udev = udev_new();
    if (!udev) {
        std::fputs("udev_new error\n", stderr);
        return -1;
    }
    s_outOfMemory = false;

    struct udev_enumerate* enumerate = udev_enumerate_new(udev);
    struct udev_list_entry* entry = nullptr;
    if (enumerate) {
        udev_enumerate_add_match_subsystem(enumerate, "video4linux");
        udev_enumerate_scan_devices(enumerate);
        entry = udev_enumerate_get_list_entry(enumerate);
    }

    // A catalogue held before is not released here: callers free it first.
    g_devList = newList<CamDevice>();
    int n = 0;
    for (; entry && g_devList && !s_outOfMemory; entry = udev_list_entry_get_next(entry)) {
        struct udev_device* dev =
            udev_device_new_from_syspath(udev, udev_list_entry_get_name(entry));
        if (!dev) continue;
        const char* node = udev_device_get_devnode(dev);
        struct udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
        if (!usb) {
            udev_device_unref(dev);
            continue;
        }
        const char* idVendor = udev_device_get_sysattr_value(usb, "idVendor");
        const char* idProduct = udev_device_get_sysattr_value(usb, "idProduct");
        const char* manufacturer = udev_device_get_sysattr_value(usb, "manufacturer");
        const char* product = udev_device_get_sysattr_value(usb, "product");
        const char* serial = udev_device_get_sysattr_value(usb, "serial");

        if (!growByOne(g_devList, n)) {
            udev_device_unref(dev);
            break;
        }
        g_devList[n].devName[0] = '\0';
        g_devList[n].fmtList = nullptr;
        g_devList[n].fmtNum = 0;

        cam_get_devname_and_enumfmt(node, n);

        CamDevice& rec = g_devList[n];
        copyField(rec.devNode, node);
        copyField(rec.manufacturer, manufacturer);
        copyField(rec.product, product);
        copyField(rec.serial, serial);
        rec.idVendor = idVendor ? static_cast<int32_t>(std::strtol(idVendor, nullptr, 16)) : 0;
        rec.idProduct = idProduct ? static_cast<int32_t>(std::strtol(idProduct, nullptr, 16)) : 0;

        udev_device_unref(dev);
        ++n;
    }

    if (enumerate) udev_enumerate_unref(enumerate);
    udev_unref(udev);
    s_outOfMemory = false;
    g_devNum = n;
    return n;
}

int cam_get_device_num() {
    return g_devNum;
}

CamDevice* cam_get_device_list() {
    return g_devList;
}

void cam_free_devices() {
    if (!g_devList) {
        g_devNum = 0;
        return;
    }
    for (int d = 0; d < g_devNum; ++d) {
        CamDevice& dev = g_devList[d];
        if (!dev.fmtList) continue;
        for (int f = 0; f < dev.fmtNum; ++f) {
            CamFormat& fmt = dev.fmtList[f];
            if (!fmt.resList) continue;
            for (int r = 0; r < fmt.resNum; ++r) std::free(fmt.resList[r].rateList);
            std::free(fmt.resList);
        }
        std::free(dev.fmtList);
    }
    std::free(g_devList);
    g_devList = nullptr;
    g_devNum = 0;
}

void cam_get_devname_and_enumfmt(const char* path, int devIndex) {
    if (!path || !device(devIndex)) return;
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) return;
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof(cap));
    if (xioctl(fd, static_cast<int>(VIDIOC_QUERYCAP), &cap) < 0) {
        close(fd);
        return;
    }
    cam_enum_formats(fd, devIndex);
    close(fd);
    storeCardName(devIndex, cap);
}

int cam_enum_formats(int fd, int devIndex) {
    if (!device(devIndex)) return 0;
    v4l2_fmtdesc desc;
    std::memset(&desc, 0, sizeof(desc));
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;

    device(devIndex)->fmtList = newList<CamFormat>();
    int k = 0;
    while (device(devIndex)->fmtList && !s_outOfMemory &&
           xioctl(fd, static_cast<int>(VIDIOC_ENUM_FMT), &desc) >= 0) {
        const char* label = desc.pixelformat == V4L2_PIX_FMT_MJPEG  ? "MJPG"
                            : desc.pixelformat == V4L2_PIX_FMT_YUYV ? "YUY2"
                                                                    : nullptr;
        if (label) {
            if (!growByOne(device(devIndex)->fmtList, k)) break;
            CamFormat& fmt = device(devIndex)->fmtList[k];
            copyField(fmt.fmtName, label);
            fmt.pixelFormat = desc.pixelformat;
            cam_enum_resolutions(fd, devIndex, k);
            ++k;
        }
        ++desc.index;
    }
    device(devIndex)->fmtNum = k;
    return k;
}

int cam_enum_resolutions(int fd, int devIndex, int fmtIndex) {
    if (!format(devIndex, fmtIndex)) return 0;
    v4l2_frmsizeenum size;
    std::memset(&size, 0, sizeof(size));
    size.pixel_format = format(devIndex, fmtIndex)->pixelFormat;

    format(devIndex, fmtIndex)->resList = newList<CamResolution>();
    int r = 0;
    while (format(devIndex, fmtIndex)->resList && !s_outOfMemory &&
           xioctl(fd, static_cast<int>(VIDIOC_ENUM_FRAMESIZES), &size) >= 0) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (!addResolution(fd, devIndex, fmtIndex, r, size.discrete.width,
                               size.discrete.height))
                break;
            ++size.index;
            continue;
        }
        // A range is the driver's only answer: list its two ends, each a size
        // the camera accepts.
        if (isSizeRange(size.type)) {
            const v4l2_frmsize_stepwise range = size.stepwise;
            if (addResolution(fd, devIndex, fmtIndex, r, range.min_width, range.min_height) &&
                (range.max_width != range.min_width || range.max_height != range.min_height))
                addResolution(fd, devIndex, fmtIndex, r, range.max_width, range.max_height);
        }
        break;
    }
    format(devIndex, fmtIndex)->resNum = r;
    return r;
}

int cam_enum_framerates(int fd, int devIndex, int fmtIndex, int resIndex) {
    if (!resolution(devIndex, fmtIndex, resIndex)) return 0;
    v4l2_frmivalenum ival;
    std::memset(&ival, 0, sizeof(ival));
    ival.pixel_format = format(devIndex, fmtIndex)->pixelFormat;
    ival.width = resolution(devIndex, fmtIndex, resIndex)->width;
    ival.height = resolution(devIndex, fmtIndex, resIndex)->height;

    resolution(devIndex, fmtIndex, resIndex)->rateList = newList<CamFrameRate>();
    int f = 0;
    while (resolution(devIndex, fmtIndex, resIndex)->rateList && !s_outOfMemory &&
           xioctl(fd, static_cast<int>(VIDIOC_ENUM_FRAMEINTERVALS), &ival) >= 0) {
        if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (!addRate(devIndex, fmtIndex, resIndex, f, ival.discrete)) break;
            ++ival.index;
            continue;
        }
        if (isIntervalRange(ival.type)) {
            const v4l2_frmival_stepwise range = ival.stepwise;
            if (addRate(devIndex, fmtIndex, resIndex, f, range.min) &&
                (range.max.numerator != range.min.numerator ||
                 range.max.denominator != range.min.denominator))
                addRate(devIndex, fmtIndex, resIndex, f, range.max);
        }
        break;
    }
    resolution(devIndex, fmtIndex, resIndex)->rateNum = f;
    return f;
}
