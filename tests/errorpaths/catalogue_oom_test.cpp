// The catalogue when things go wrong part-way, over a fake sysfs: every
// allocation the library makes while enumerating is failed in turn (the
// enumeration must stop with the records complete so far, leak nothing, and
// the next one must be whole again); udev cannot open a listed device; the
// USB device lacks its attributes or has overlong ones.
#include <dlfcn.h>
#include <libudev.h>

#include <cstddef>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "camapi.h"
#include "testbed.h"

// The sanitizers' allocator when there is one, else the C library's.
extern "C" void* __interceptor_realloc(void*, size_t) __attribute__((weak));
extern "C" void* __interceptor_calloc(size_t, size_t) __attribute__((weak));
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);

namespace {

bool s_failDevice = false;

// Allocations made by the library count down; the one that reaches zero fails.
int s_countdown = 0;
int s_calls = 0;

bool from_library(void* caller) {
    Dl_info info;
    return dladdr(caller, &info) && info.dli_fname && std::strstr(info.dli_fname, "libcamapi");
}

bool fail_now(void* caller) {
    if (!from_library(caller)) return false;
    ++s_calls;
    return s_countdown > 0 && --s_countdown == 0;
}

}  // namespace

// This program's own realloc and calloc come ahead of every library's.
extern "C" void* realloc(void* p, size_t n) {
    if (fail_now(__builtin_return_address(0))) return nullptr;
    return __interceptor_realloc ? __interceptor_realloc(p, n) : __libc_realloc(p, n);
}

extern "C" void* calloc(size_t count, size_t n) {
    if (fail_now(__builtin_return_address(0))) return nullptr;
    return __interceptor_calloc ? __interceptor_calloc(count, n) : __libc_calloc(count, n);
}

extern "C" struct udev_device* udev_device_new_from_syspath(struct udev* udev, const char* path) {
    using Fn = struct udev_device* (*)(struct udev*, const char*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "udev_device_new_from_syspath"));
    if (s_failDevice || !real) return nullptr;
    return real(udev, path);
}

namespace cattest {
namespace {

// Walks the catalogue as a caller would: every count must match its list.
int records(const CamDevice* list, int devices) {
    int n = 0;
    for (int d = 0; d < devices; ++d, ++n) {
        const CamDevice& dev = list[d];
        EXPECT_TRUE(dev.fmtNum == 0 || dev.fmtList);
        for (int f = 0; f < dev.fmtNum; ++f, ++n) {
            const CamFormat& fmt = dev.fmtList[f];
            EXPECT_TRUE(fmt.resNum == 0 || fmt.resList);
            for (int r = 0; r < fmt.resNum; ++r, ++n) {
                EXPECT_TRUE(fmt.resList[r].rateNum == 0 || fmt.resList[r].rateList);
                n += fmt.resList[r].rateNum;
            }
        }
    }
    return n;
}

using CatalogueOom = CatalogueTest;

TEST_F(CatalogueOom, EveryFailedAllocationStopsCleanly) {
    addCamera("1-1",
              camera("/dev/video0",
                     {format(V4L2_PIX_FMT_YUYV, {size(640, 480, {30, 15}), size(320, 240, {30})}),
                      format(V4L2_PIX_FMT_MJPEG, {size(1280, 720, {30, 5})})}));
    addCamera("1-2", camera("/dev/video2", {format(V4L2_PIX_FMT_MJPEG, {size(640, 480, {30})})}));

    s_calls = 0;
    ASSERT_EQ(cam_enum_devices(), 2);
    const int allocations = s_calls;
    const int whole = records(g_devList, g_devNum);
    cam_free_devices();
    ASSERT_GT(allocations, 10);

    for (int k = 1; k <= allocations; ++k) {
        s_countdown = k;
        int n = cam_enum_devices();
        s_countdown = 0;
        EXPECT_GE(n, 0) << "allocation " << k;
        EXPECT_LE(n, 2) << "allocation " << k;
        EXPECT_EQ(n, cam_get_device_num());
        EXPECT_LT(records(g_devList, g_devNum), whole) << "allocation " << k;
        cam_free_devices();

        ASSERT_EQ(cam_enum_devices(), 2) << "after allocation " << k;
        EXPECT_EQ(records(g_devList, g_devNum), whole);
        cam_free_devices();
    }
}

TEST_F(CatalogueOom, DeviceThatUdevCannotOpenIsSkipped) {
    addCamera("1-1", camera("/dev/video0", {format(V4L2_PIX_FMT_YUYV, {size(640, 480, {30})})}));
    s_failDevice = true;
    EXPECT_EQ(cam_enum_devices(), 0);
    s_failDevice = false;
    EXPECT_EQ(cam_get_device_num(), 0);
    cam_free_devices();
}

TEST_F(CatalogueOom, MissingAndOverlongUsbAttributes) {
    std::string longName(300, 'x');
    addCamera("1-1", camera("/dev/video0", {format(V4L2_PIX_FMT_YUYV, {size(640, 480, {30})})}), "",
              {{"product", longName}});
    ASSERT_EQ(cam_enum_devices(), 1);
    EXPECT_EQ(g_devList[0].idVendor, 0);
    EXPECT_EQ(g_devList[0].idProduct, 0);
    EXPECT_STREQ(g_devList[0].manufacturer, "");
    EXPECT_STREQ(g_devList[0].serial, "");
    EXPECT_EQ(std::string(g_devList[0].product), longName.substr(0, 255));
    EXPECT_EQ(g_devList[0].fmtNum, 1);
    cam_free_devices();
}

}  // namespace
}  // namespace cattest
