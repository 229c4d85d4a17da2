// The catalogue built by real libudev over a fake sysfs, with simcam
// answering the V4L2 queries on the device nodes.
#include <linux/videodev2.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"
#include "testbed.h"

namespace {

using namespace cattest;

constexpr uint32_t kH264 = V4L2_PIX_FMT_H264;
constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG;
constexpr uint32_t kYuyv = V4L2_PIX_FMT_YUYV;

struct Rate {
    uint32_t denominator, numerator;
    bool operator==(const Rate& o) const {
        return denominator == o.denominator && numerator == o.numerator;
    }
};

std::vector<Rate> rates(const CamResolution& res) {
    std::vector<Rate> out;
    for (int i = 0; i < res.rateNum; ++i)
        out.push_back({res.rateList[i].denominator, res.rateList[i].numerator});
    return out;
}

using Catalogue = CatalogueTest;

TEST_F(Catalogue, CaptureAndMetadataNodesShareTheUsbIdentity) {
    addCamera(
        "1-1",
        camera("/dev/video0", {format(kYuyv, {size(640, 480, {30, 15}), size(320, 240, {30})}),
                               format(kMjpg, {size(1280, 720, {30})})}),
        "/dev/video1");

    ASSERT_EQ(cam_enum_devices(), 2);
    ASSERT_EQ(cam_get_device_num(), 2);
    const CamDevice* list = cam_get_device_list();
    ASSERT_EQ(list, g_devList);

    const CamDevice& cap = list[0];
    EXPECT_STREQ(cap.devNode, "/dev/video0");
    EXPECT_STREQ(cap.devName, "SimCam Module");
    ASSERT_NE(cap.fmtList, nullptr);
    ASSERT_EQ(cap.fmtNum, 2);
    EXPECT_STREQ(cap.fmtList[0].fmtName, "YUY2");
    EXPECT_EQ(cap.fmtList[0].pixelFormat, 0x56595559u);
    ASSERT_EQ(cap.fmtList[0].resNum, 2);
    EXPECT_EQ(cap.fmtList[0].resList[0].width, 640u);
    EXPECT_EQ(cap.fmtList[0].resList[0].height, 480u);
    EXPECT_EQ(rates(cap.fmtList[0].resList[0]), (std::vector<Rate>{{30, 1}, {15, 1}}));
    EXPECT_EQ(cap.fmtList[0].resList[1].width, 320u);
    EXPECT_EQ(rates(cap.fmtList[0].resList[1]), (std::vector<Rate>{{30, 1}}));
    EXPECT_STREQ(cap.fmtList[1].fmtName, "MJPG");
    EXPECT_EQ(cap.fmtList[1].pixelFormat, 0x47504A4Du);
    ASSERT_EQ(cap.fmtList[1].resNum, 1);
    EXPECT_EQ(cap.fmtList[1].resList[0].height, 720u);

    const CamDevice& meta = list[1];
    EXPECT_STREQ(meta.devNode, "/dev/video1");
    EXPECT_NE(meta.fmtList, nullptr);  // answers QUERYCAP, offers no capture format
    EXPECT_EQ(meta.fmtNum, 0);
    for (const CamDevice* d : {&cap, &meta}) {
        EXPECT_STREQ(d->manufacturer, "Camkit Labs");
        EXPECT_STREQ(d->product, "SimCam Module");
        EXPECT_STREQ(d->serial, "SN0001");
        EXPECT_EQ(d->idVendor, 0x1d6b);
        EXPECT_EQ(d->idProduct, 0x0102);
    }
}

TEST_F(Catalogue, TwoCamerasInEnumerationOrder) {
    addCamera("1-1", camera("/dev/video0", {format(kYuyv, {size(640, 480, {30})})}), "",
              usbAttrs("1d6b", "0102", "A"));
    addCamera("1-2", camera("/dev/video2", {format(kMjpg, {size(1920, 1080, {30})})}), "",
              usbAttrs("046d", "0825", "B"));

    ASSERT_EQ(cam_enum_devices(), 2);
    EXPECT_STREQ(g_devList[0].devNode, "/dev/video0");
    EXPECT_STREQ(g_devList[0].serial, "A");
    EXPECT_STREQ(g_devList[0].fmtList[0].fmtName, "YUY2");
    EXPECT_STREQ(g_devList[1].devNode, "/dev/video2");
    EXPECT_STREQ(g_devList[1].serial, "B");
    EXPECT_EQ(g_devList[1].idVendor, 0x046d);
    EXPECT_EQ(g_devList[1].idProduct, 0x0825);
    EXPECT_STREQ(g_devList[1].fmtList[0].fmtName, "MJPG");
}

TEST_F(Catalogue, NodesWithoutUsbDeviceOrWithoutAnswerer) {
    tb.addPlatformNode("video9", "/dev/video9");  // no USB device above: no record
    std::string intf = tb.addUsbCamera("1-3", usbAttrs());
    tb.addVideoNode(intf, "video5", "/dev/video5");  // nobody answers: open fails
    tb.addVideoNode(intf, "video6", "");             // udev reports no node

    ASSERT_EQ(cam_enum_devices(), 2);
    for (int d = 0; d < 2; ++d) {
        const CamDevice& dev = g_devList[d];
        EXPECT_STREQ(dev.devName, "");
        EXPECT_EQ(dev.fmtList, nullptr);
        EXPECT_EQ(dev.fmtNum, 0);
        EXPECT_STREQ(dev.product, "SimCam Module");
        EXPECT_EQ(dev.idVendor, 0x1d6b);
    }
    EXPECT_STREQ(g_devList[0].devNode, "/dev/video5");
    EXPECT_STREQ(g_devList[1].devNode, "");
}

TEST_F(Catalogue, NoDeviceStillHoldsAnArray) {
    ASSERT_EQ(cam_enum_devices(), 0);
    EXPECT_EQ(cam_get_device_num(), 0);
    EXPECT_NE(cam_get_device_list(), nullptr);
    cam_free_devices();
    EXPECT_EQ(cam_get_device_list(), nullptr);
}

TEST_F(Catalogue, KeepsOnlyMjpgAndYuyvCountingKeptFormats) {
    addCamera("1-1", camera("/dev/video0", {format(kH264, {size(1920, 1080, {30})}),
                                            format(kMjpg, {size(1280, 720, {30})}),
                                            format(kYuyv, {size(640, 480, {30})})}));
    ASSERT_EQ(cam_enum_devices(), 1);
    ASSERT_EQ(g_devList[0].fmtNum, 2);
    EXPECT_STREQ(g_devList[0].fmtList[0].fmtName, "MJPG");
    EXPECT_EQ(g_devList[0].fmtList[0].pixelFormat, kMjpg);
    EXPECT_EQ(g_devList[0].fmtList[0].resList[0].width, 1280u);
    EXPECT_STREQ(g_devList[0].fmtList[1].fmtName, "YUY2");
    EXPECT_EQ(g_devList[0].fmtList[1].pixelFormat, 0x56595559u);
    EXPECT_EQ(g_devList[0].fmtList[1].resList[0].width, 640u);
}

TEST_F(Catalogue, OddAndAbsentUsbAttributes) {
    const std::string longProduct(300, 'p');
    addCamera("1-1", camera("/dev/video0", {format(kYuyv, {size(640, 480, {30})})}), "",
              {{"idVendor", "0a2b"}, {"product", longProduct}});
    std::string intf = tb.addUsbCamera("1-2", {{"idVendor", "zz"}, {"idProduct", "12xy"}});
    tb.addVideoNode(intf, "video4", "/dev/video4");

    ASSERT_EQ(cam_enum_devices(), 2);
    const CamDevice& a = g_devList[0];
    EXPECT_EQ(a.idVendor, 2603);
    EXPECT_EQ(a.idProduct, 0);                                      // absent
    EXPECT_EQ(std::string(a.product), longProduct.substr(0, 255));  // cut to the field
    EXPECT_STREQ(a.manufacturer, "");
    EXPECT_STREQ(a.serial, "");
    EXPECT_EQ(a.fmtNum, 1);  // the long string did not spill into the tree
    const CamDevice& b = g_devList[1];
    EXPECT_EQ(b.idVendor, 0);      // no hexadecimal digits
    EXPECT_EQ(b.idProduct, 0x12);  // leading digits only
    EXPECT_STREQ(b.manufacturer, "");
}

struct CardCase {
    const char* card;
    const char* name;
};

// Names the case in test listings, blanks made visible.
void PrintTo(const CardCase& c, std::ostream* os) {
    *os << '"';
    for (const char* p = c.card; *p; ++p) *os << (*p == '\t' ? "\\t" : std::string(1, *p));
    *os << '"';
}

class CardName : public Catalogue, public testing::WithParamInterface<CardCase> {};

TEST_P(CardName, TextAfterFirstColonWithoutBlanks) {
    addCamera("1-1",
              camera("/dev/video0", {format(kYuyv, {size(640, 480, {30})})}, GetParam().card));
    ASSERT_EQ(cam_enum_devices(), 1);
    EXPECT_STREQ(g_devList[0].devName, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Cases, CardName,
                         testing::Values(CardCase{"Cam X: Front", "Front"},
                                         CardCase{"Cam: Left: Main", "Left: Main"},
                                         CardCase{"Front", "Front"}, CardCase{"Cam:", ""},
                                         CardCase{"Cam:\t Side \t", "Side"},
                                         CardCase{" Solo\t", "Solo"}));

// Ranges are listed as their two ends, so no width is read as a height and
// every listed value is one the camera accepts.
TEST_F(Catalogue, RangesAreListedAsTheirEnds) {
    simcam::FrameSize small = size(160, 120, {});
    small.interval_kind = simcam::RangeKind::Continuous;
    small.interval_min = {1, 30};
    small.interval_max = {1, 5};
    simcam::FrameSize large = small;
    large.width = 1280;
    large.height = 720;
    large.interval_kind = simcam::RangeKind::Stepwise;
    simcam::Format stepwise = format(kYuyv, {small, large});
    stepwise.size_kind = simcam::RangeKind::Stepwise;
    stepwise.step_width = 16;
    stepwise.step_height = 8;
    simcam::Format continuous = format(kMjpg, {small, large});
    continuous.size_kind = simcam::RangeKind::Continuous;
    addCamera("1-1", camera("/dev/video0", {stepwise, continuous}));

    ASSERT_EQ(cam_enum_devices(), 1);
    ASSERT_EQ(g_devList[0].fmtNum, 2);
    for (int f = 0; f < 2; ++f) {
        const CamFormat& fmt = g_devList[0].fmtList[f];
        SCOPED_TRACE(fmt.fmtName);
        ASSERT_EQ(fmt.resNum, 2);
        EXPECT_EQ(fmt.resList[0].width, 160u);
        EXPECT_EQ(fmt.resList[0].height, 120u);
        EXPECT_EQ(fmt.resList[1].width, 1280u);
        EXPECT_EQ(fmt.resList[1].height, 720u);
        for (int r = 0; r < 2; ++r)
            EXPECT_EQ(rates(fmt.resList[r]), (std::vector<Rate>{{30, 1}, {5, 1}}));
    }
}

// A failed query ends its own list only; the level above goes on.
TEST_F(Catalogue, FailedQueriesEndOnlyTheirList) {
    addCamera("1-1", camera("/dev/video0", {format(kYuyv, {size(640, 480, {30, 15})}),
                                            format(kMjpg, {size(1280, 720, {30})})}));
    simcam::fail_request("/dev/video0", VIDIOC_ENUM_FRAMESIZES, EIO);
    ASSERT_EQ(cam_enum_devices(), 1);
    ASSERT_EQ(g_devList[0].fmtNum, 2);
    EXPECT_EQ(g_devList[0].fmtList[0].resNum, 0);
    EXPECT_NE(g_devList[0].fmtList[0].resList, nullptr);  // empty lists keep their array
    EXPECT_EQ(g_devList[0].fmtList[1].resNum, 1);
    cam_free_devices();

    simcam::fail_request("/dev/video0", VIDIOC_QUERYCAP, EIO);
    ASSERT_EQ(cam_enum_devices(), 1);
    EXPECT_EQ(g_devList[0].fmtList, nullptr);
    EXPECT_STREQ(g_devList[0].devName, "");
    EXPECT_STREQ(g_devList[0].devNode, "/dev/video0");
}

TEST_F(Catalogue, FreeAndEnumerateAgain) {
    cam_free_devices();  // before any enumeration
    cam_free_devices();
    EXPECT_EQ(g_devList, nullptr);
    EXPECT_EQ(g_devNum, 0);

    addCamera("1-1", camera("/dev/video0", {format(kYuyv, {size(640, 480, {30})})}));
    ASSERT_EQ(cam_enum_devices(), 1);
    cam_free_devices();
    cam_free_devices();
    EXPECT_EQ(g_devList, nullptr);
    EXPECT_EQ(g_devNum, 0);

    addCamera("1-2", camera("/dev/video2", {format(kMjpg, {size(1280, 720, {30})})}));
    ASSERT_EQ(cam_enum_devices(), 2);
    EXPECT_STREQ(g_devList[1].devNode, "/dev/video2");
    EXPECT_STREQ(g_devList[1].fmtList[0].fmtName, "MJPG");
}

TEST_F(Catalogue, FailingUdevLeavesTheHeldCatalogue) {
    addCamera("1-1", camera("/dev/video0", {format(kYuyv, {size(640, 480, {30})})}));
    ASSERT_EQ(cam_enum_devices(), 1);
    CamDevice* held = g_devList;

    failUdevNew(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cam_enum_devices(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "udev_new error\n");
    EXPECT_EQ(g_devList, held);
    EXPECT_EQ(g_devNum, 1);
    EXPECT_STREQ(g_devList[0].devNode, "/dev/video0");
    EXPECT_EQ(g_devList[0].fmtList[0].resList[0].rateList[0].denominator, 30u);
}

// The catalogue is where callers find cam_open's arguments: each listed
// combination must open and deliver a frame.
TEST_F(Catalogue, EveryListedValueOpensAndStreams) {
    addCamera(
        "1-1",
        camera("/dev/video0", {format(kH264, {size(640, 480, {30})}),
                               format(kMjpg, {size(1280, 720, {30, 15}), size(640, 480, {30})}),
                               format(kYuyv, {size(640, 480, {30, 5}), size(320, 240, {30})})}),
        "/dev/video1");
    ASSERT_EQ(cam_enum_devices(), 2);

    std::vector<unsigned char> frame(1280 * 720 * 2);
    int combinations = 0;
    for (int d = 0; d < g_devNum; ++d) {
        const CamDevice& dev = g_devList[d];
        for (int f = 0; f < dev.fmtNum; ++f) {
            const CamFormat& fmt = dev.fmtList[f];
            for (int r = 0; r < fmt.resNum; ++r) {
                const CamResolution& res = fmt.resList[r];
                for (int i = 0; i < res.rateNum; ++i) {
                    const CamFrameRate& rate = res.rateList[i];
                    SCOPED_TRACE(std::string(dev.devNode) + " " + fmt.fmtName + " " +
                                 std::to_string(res.width) + "x" + std::to_string(res.height) +
                                 " @" + std::to_string(rate.denominator));
                    ASSERT_EQ(cam_open(0, dev.devNode, fmt.pixelFormat, res.width, res.height,
                                       rate.denominator, rate.numerator),
                              0);
                    ASSERT_EQ(cam_play(0), 0);
                    int bytes = 0, result = -1;
                    for (int attempt = 0; attempt < 100 && result != 0; ++attempt)
                        result = cam_grabframe(0, frame.data(), &bytes);
                    EXPECT_EQ(result, 0);
                    EXPECT_GT(bytes, 0);
                    EXPECT_EQ(cam_stop(0), 0);
                    EXPECT_EQ(cam_close(0), 0);
                    ++combinations;
                }
            }
        }
    }
    EXPECT_EQ(combinations, 6);
}

}  // namespace
