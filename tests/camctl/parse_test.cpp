// The checks camctl makes on what users and cameras hand it: file name
// patterns, format names and JPEG frame headers.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <vector>

#include "args.h"
#include "jpeg_header.h"
#include "name_pattern.h"

namespace {

TEST(NamePattern, AcceptsOneIntegerConversion) {
    const struct {
        const char* pattern;
        unsigned n;
        const char* name;
    } cases[] = {
        {"frame-%03d.bmp", 7, "frame-007.bmp"}, {"%d", 12, "12"},
        {"dir/%-4u|.bmp", 3, "dir/3   |.bmp"},  {"x%#x.bmp", 255, "x0xff.bmp"},
        {"100%%-%.2i.bmp", 5, "100%-05.bmp"},   {"%%d-%X", 171, "%d-AB"},
    };
    for (const auto& c : cases) {
        NamePattern p;
        std::string why;
        ASSERT_TRUE(parse_name_pattern(c.pattern, &p, &why)) << c.pattern << ": " << why;
        EXPECT_EQ(format_name(p, c.n), c.name) << c.pattern;
    }
}

// %t is the time; a name for one frame needs no number.
TEST(NamePattern, TimeAndNoNumberForOneFrame) {
    struct tm noon = {};
    noon.tm_year = 2026 - 1900;
    noon.tm_mon = 11;
    noon.tm_mday = 10;
    noon.tm_hour = 12;
    noon.tm_min = 34;
    noon.tm_sec = 56;
    noon.tm_isdst = -1;
    const time_t when = mktime(&noon);
    const struct {
        const char* pattern;
        bool need_number;
        const char* name;
    } cases[] = {
        {"photo.bmp", false, "photo.bmp"},
        {"cam-%t.jpg", false, "cam-20261210-123456.jpg"},
        {"%t_%02d_%t.png", true, "20261210-123456_07_20261210-123456.png"},
        {"100%%.raw", false, "100%.raw"},
    };
    for (const auto& c : cases) {
        NamePattern p;
        std::string why;
        ASSERT_TRUE(parse_name_pattern(c.pattern, &p, &why, c.need_number))
            << c.pattern << ": " << why;
        EXPECT_EQ(format_name(p, 7, when), c.name) << c.pattern;
    }
    NamePattern p;
    std::string why;
    EXPECT_FALSE(parse_name_pattern("cam-%t.jpg", &p, &why, true)) << "two frames, one name";
}

TEST(Fourcc, TakesTheUsualNamesInAnyCase) {
    const struct {
        const char* text;
        uint32_t fourcc;  // 0: refused
    } cases[] = {
        {"MJPG", V4L2_PIX_FMT_MJPEG},
        {"mjpeg", V4L2_PIX_FMT_MJPEG},
        {"Mjpeg", V4L2_PIX_FMT_MJPEG},
        {"YUY2", V4L2_PIX_FMT_YUYV},
        {"yuyv", V4L2_PIX_FMT_YUYV},
        {"yUy2", V4L2_PIX_FMT_YUYV},
        {"H264", 0},
        {"YUV", 0},
        {"MJPG ", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        uint32_t fourcc = 0;
        EXPECT_EQ(parse_fourcc(c.text, &fourcc), c.fourcc != 0) << c.text;
        EXPECT_EQ(fourcc, c.fourcc) << c.text;
    }
}

TEST(NamePattern, RejectsWhatPrintfWouldReadFurther) {
    const char* const cases[] = {
        "frame.bmp",                          // no number
        "%d-%d.bmp",                          // two numbers
        "%s.bmp",                             // a string argument that is not there
        "%n",                                 // a write through an argument
        "%ld",       "%hhd",   "%jd", "%zu",  // other argument sizes
        "%*d",       "%.*d",                  // width from the arguments
        "%1$d",                               // positional
        "%f",        "%c",     "%p",          // other types
        "%100d",     "%.100d",                // huge fields
        "frame-%",                            // cut short
        "%03d%",
    };
    for (const char* pattern : cases) {
        NamePattern p;
        std::string why;
        EXPECT_FALSE(parse_name_pattern(pattern, &p, &why)) << pattern;
        EXPECT_FALSE(why.empty()) << pattern;
    }
}

std::vector<unsigned char> jpeg_start(unsigned w, unsigned h, unsigned char sof = 0xC0) {
    return {0xFF,
            0xD8,
            0xFF,
            0xE0,
            0x00,
            0x04,
            'J',
            'F',  // APP0 with 2 bytes
            0xFF,
            sof,
            0x00,
            0x0B,
            8,
            static_cast<unsigned char>(h >> 8),
            static_cast<unsigned char>(h),
            static_cast<unsigned char>(w >> 8),
            static_cast<unsigned char>(w),
            3,
            1,
            0x21,
            0,
            0xFF,
            0xDA};
}

TEST(JpegHeader, FindsTheFrameSizeBehindOtherSegments) {
    JpegHeader h;
    std::vector<unsigned char> j = jpeg_start(1920, 1080, 0xC2);
    ASSERT_TRUE(read_jpeg_header(j.data(), j.size(), &h));
    EXPECT_EQ(h.width, 1920u);
    EXPECT_EQ(h.height, 1080u);
    EXPECT_EQ(h.components, 3u);
}

TEST(JpegHeader, RejectsDamagedStarts) {
    JpegHeader h;
    std::vector<unsigned char> j = jpeg_start(640, 480);
    std::vector<unsigned char> no_soi(j.begin() + 2, j.end());
    std::vector<unsigned char> cut(j.begin(), j.begin() + 12);
    std::vector<unsigned char> garbage = {0xFF, 0xD8, 0x12, 0x34, 0x56, 0x78, 0x9A};
    std::vector<unsigned char> scan_first = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02};
    std::vector<unsigned char> long_segment = {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFF, 0};
    for (const auto& bad : {no_soi, cut, garbage, scan_first, long_segment})
        EXPECT_FALSE(read_jpeg_header(bad.data(), bad.size(), &h));
}

TEST(JpegHeader, CompleteOnlyWithTheEndMarker) {
    const std::vector<unsigned char> ends = {0xFF, 0xD8, 1, 2, 0xFF, 0xD9};
    const std::vector<unsigned char> padded = {0xFF, 0xD8, 1, 2, 0xFF, 0xD9, 0, 0};
    const std::vector<unsigned char> cut = {0xFF, 0xD8, 1, 2, 3, 4};
    EXPECT_TRUE(jpeg_is_complete(ends.data(), ends.size()));
    EXPECT_TRUE(jpeg_is_complete(padded.data(), padded.size()));
    EXPECT_FALSE(jpeg_is_complete(cut.data(), cut.size()));
}

}  // namespace
