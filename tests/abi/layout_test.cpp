// Callers step through the catalogue records in place and the UVC driver
// reads the mapping and query records, so their layouts are part of the ABI.
// On the 32-bit targets the sizes and offsets are fixed numbers, checked at
// compile time; the pointer-size-neutral rules are checked on every build.
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "camapi.h"
#include "devreq.h"

namespace {
constexpr size_t P = sizeof(void*);
constexpr size_t align_up(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}
}  // namespace

// The frame record has fixed-size fields only: one layout on every target.
static_assert(sizeof(CamFrameInfo) == 32, "frame record");
static_assert(offsetof(CamFrameInfo, sequence) == 0, "CamFrameInfo::sequence");
static_assert(offsetof(CamFrameInfo, flags) == 4, "CamFrameInfo::flags");
static_assert(offsetof(CamFrameInfo, bytesused) == 8, "CamFrameInfo::bytesused");
static_assert(offsetof(CamFrameInfo, reserved) == 12, "CamFrameInfo::reserved");
static_assert(offsetof(CamFrameInfo, timestamp_sec) == 16, "CamFrameInfo::timestamp_sec");
static_assert(offsetof(CamFrameInfo, timestamp_usec) == 24, "CamFrameInfo::timestamp_usec");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CamDevice) == 1296, "device record");
static_assert(offsetof(CamDevice, devNode) == 0, "CamDevice::devNode");
static_assert(offsetof(CamDevice, devName) == 256, "CamDevice::devName");
static_assert(offsetof(CamDevice, manufacturer) == 512, "CamDevice::manufacturer");
static_assert(offsetof(CamDevice, product) == 768, "CamDevice::product");
static_assert(offsetof(CamDevice, serial) == 1024, "CamDevice::serial");
static_assert(offsetof(CamDevice, idVendor) == 1280, "CamDevice::idVendor");
static_assert(offsetof(CamDevice, idProduct) == 1284, "CamDevice::idProduct");
static_assert(offsetof(CamDevice, fmtList) == 1288, "CamDevice::fmtList");
static_assert(offsetof(CamDevice, fmtNum) == 1292, "CamDevice::fmtNum");

static_assert(sizeof(CamFormat) == 44, "format record");
static_assert(offsetof(CamFormat, fmtName) == 0, "CamFormat::fmtName");
static_assert(offsetof(CamFormat, pixelFormat) == 32, "CamFormat::pixelFormat");
static_assert(offsetof(CamFormat, resList) == 36, "CamFormat::resList");
static_assert(offsetof(CamFormat, resNum) == 40, "CamFormat::resNum");

static_assert(sizeof(CamResolution) == 16, "resolution record");
static_assert(offsetof(CamResolution, width) == 0, "CamResolution::width");
static_assert(offsetof(CamResolution, height) == 4, "CamResolution::height");
static_assert(offsetof(CamResolution, rateList) == 8, "CamResolution::rateList");
static_assert(offsetof(CamResolution, rateNum) == 12, "CamResolution::rateNum");

// The mapping record as the driver reads it, and the request numbers that
// carry the record sizes.
static_assert(sizeof(uvc_xu_control_mapping) == 88, "mapping record");
static_assert(offsetof(uvc_xu_control_mapping, name) == 4, "mapping name");
static_assert(offsetof(uvc_xu_control_mapping, entity) == 36, "mapping entity");
static_assert(offsetof(uvc_xu_control_mapping, selector) == 52, "mapping selector");
static_assert(offsetof(uvc_xu_control_mapping, size) == 53, "mapping size");
static_assert(offsetof(uvc_xu_control_mapping, offset) == 54, "mapping offset");
static_assert(offsetof(uvc_xu_control_mapping, v4l2_type) == 56, "mapping v4l2_type");
static_assert(offsetof(uvc_xu_control_mapping, data_type) == 60, "mapping data_type");
static_assert(offsetof(uvc_xu_control_mapping, menu_info) == 64, "mapping menu_info");
static_assert(offsetof(uvc_xu_control_mapping, menu_count) == 68, "mapping menu_count");
static_assert(sizeof(uvc_xu_control_query) == 12, "query record");
static_assert(offsetof(uvc_xu_control_query, size) == 4, "query size");
static_assert(offsetof(uvc_xu_control_query, data) == 8, "query data");
static_assert(UVCIOC_CTRL_MAP == 0xC0587520u, "UVCIOC_CTRL_MAP");
static_assert(UVCIOC_CTRL_QUERY == 0xC00C7521u, "UVCIOC_CTRL_QUERY");
#endif

static_assert(sizeof(CamFrameRate) == 8, "frame-interval record");
static_assert(offsetof(CamFrameRate, denominator) == 0, "denominator first");
static_assert(offsetof(CamFrameRate, numerator) == 4, "CamFrameRate::numerator");
static_assert(sizeof(__videoCtrl) == 20, "control record");
static_assert(offsetof(__videoCtrl, minimum) == 0, "__videoCtrl::minimum");
static_assert(offsetof(__videoCtrl, maximum) == 4, "__videoCtrl::maximum");
static_assert(offsetof(__videoCtrl, default_value) == 8, "default value before step");
static_assert(offsetof(__videoCtrl, step) == 12, "__videoCtrl::step");
static_assert(offsetof(__videoCtrl, flags) == 16, "__videoCtrl::flags");

TEST(Layout, CatalogueFieldOffsets) {
    EXPECT_EQ(offsetof(CamDevice, devName), 256u);
    EXPECT_EQ(offsetof(CamDevice, serial), 1024u);
    EXPECT_EQ(offsetof(CamDevice, idVendor), 1280u);
    EXPECT_EQ(offsetof(CamDevice, idProduct), 1284u);
    EXPECT_EQ(offsetof(CamDevice, fmtList), align_up(1288, P));
    EXPECT_EQ(offsetof(CamDevice, fmtNum), align_up(1288, P) + P);
    EXPECT_EQ(offsetof(CamFormat, pixelFormat), 32u);
    EXPECT_EQ(offsetof(CamFormat, resList), align_up(36, P));
    EXPECT_EQ(offsetof(CamResolution, rateList), 8u);
}

// The record handed to UVCIOC_CTRL_MAP is the one whose size the request
// number carries, on every target.
TEST(Layout, MappingRecordMatchesRequestNumber) {
    EXPECT_EQ(static_cast<size_t>(_IOC_SIZE(UVCIOC_CTRL_MAP)), sizeof(devreq::xu_mappings));
    EXPECT_EQ(static_cast<size_t>(_IOC_SIZE(UVCIOC_CTRL_QUERY)), sizeof(uvc_xu_control_query));
    EXPECT_EQ(_IOC_DIR(UVCIOC_CTRL_MAP), static_cast<unsigned>(_IOC_READ | _IOC_WRITE));
    EXPECT_STREQ(reinterpret_cast<const char*>(devreq::xu_mappings.name), "dsp rw");
    EXPECT_EQ(devreq::xu_mappings.selector, 10);
    EXPECT_EQ(devreq::xu_mappings.size, 8);
}

// The build this runs in: a 32-bit target must have taken the fixed-number
// checks above.
TEST(Layout, TargetWordSize) {
    RecordProperty("pointer_bytes", static_cast<int>(P));
#if defined(__arm__) || defined(__i386__)
    EXPECT_EQ(P, 4u);
#endif
}
