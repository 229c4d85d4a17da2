// Failure paths of the catalogue and its string helpers that the component
// tests leave out: udev without an enumerator, null arguments, and indices
// outside the catalogue.
#include <dlfcn.h>
#include <libudev.h>

#include <cstring>

#include <gtest/gtest.h>

#include "camapi.h"

namespace {
bool s_failEnumerate = false;
}  // namespace

// The program exports its own udev_enumerate_new, which the library
// resolves ahead of libudev's.
extern "C" struct udev_enumerate* udev_enumerate_new(struct udev* udev) {
    using Fn = struct udev_enumerate* (*)(struct udev*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "udev_enumerate_new"));
    if (s_failEnumerate || !real) return nullptr;
    return real(udev);
}

namespace {

TEST(CatalogueErrors, NoEnumeratorGivesAnEmptyCatalogue) {
    s_failEnumerate = true;
    EXPECT_EQ(cam_enum_devices(), 0);
    s_failEnumerate = false;
    EXPECT_EQ(cam_get_device_num(), 0);
    ASSERT_NE(cam_get_device_list(), nullptr);  // room for one zeroed record
    EXPECT_EQ(cam_get_device_list()->devNode[0], '\0');
    cam_free_devices();
    EXPECT_EQ(cam_get_device_list(), nullptr);
    EXPECT_EQ(cam_get_device_num(), 0);
}

TEST(CatalogueErrors, RecordFillersRefuseWhatIsNotThere) {
    // Without a catalogue every filler refuses.
    cam_free_devices();
    cam_get_devname_and_enumfmt("/dev/video0", 0);
    EXPECT_EQ(cam_enum_formats(-1, 0), 0);
    EXPECT_EQ(cam_enum_resolutions(-1, 0, 0), 0);
    EXPECT_EQ(cam_enum_framerates(-1, 0, 0, 0), 0);

    // With one record: a null path, negative indices and a closed descriptor.
    g_devList = static_cast<CamDevice*>(std::calloc(1, sizeof(CamDevice)));
    g_devNum = 1;
    cam_get_devname_and_enumfmt(nullptr, 0);
    cam_get_devname_and_enumfmt("/dev/video0", -1);
    cam_get_devname_and_enumfmt("/nonexistent/video0", 0);
    EXPECT_EQ(g_devList[0].devName[0], '\0');
    EXPECT_EQ(g_devList[0].fmtList, nullptr);
    EXPECT_EQ(cam_enum_formats(-1, -1), 0);
    EXPECT_EQ(cam_enum_resolutions(-1, 0, -1), 0);
    EXPECT_EQ(cam_enum_framerates(-1, 0, 0, -1), 0);
    EXPECT_EQ(cam_enum_formats(-1, 0), 0);  // the failing request ends the list
    EXPECT_EQ(g_devList[0].fmtNum, 0);
    cam_free_devices();
}

TEST(StringErrors, NullArgumentsAreIgnored) {
    trim_l(nullptr);
    trim_r(nullptr);
    trim(nullptr);
    setString(nullptr, "text");
    char buf[4] = "abc";
    setString(buf, nullptr);
    EXPECT_STREQ(buf, "");
}

}  // namespace
