// Callers step through the catalogue records in place, so their layout is
// part of the ABI; on the 32-bit targets the sizes are fixed numbers.
#include <cstddef>

#include <gtest/gtest.h>

#include "camapi.h"

namespace {
constexpr size_t P = sizeof(void*);
constexpr size_t align_up(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}
}  // namespace

static_assert(P != 4 || sizeof(CamDevice) == 1296, "device record");
static_assert(P != 4 || sizeof(CamFormat) == 44, "format record");
static_assert(P != 4 || sizeof(CamResolution) == 16, "resolution record");
static_assert(sizeof(CamFrameRate) == 8, "frame-interval record");
static_assert(sizeof(__videoCtrl) == 20, "control record");

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
    EXPECT_EQ(offsetof(CamFrameRate, numerator), 4u);
    EXPECT_EQ(offsetof(__videoCtrl, default_value), 8u);
    EXPECT_EQ(offsetof(__videoCtrl, step), 12u);
    EXPECT_EQ(offsetof(__videoCtrl, flags), 16u);
}
