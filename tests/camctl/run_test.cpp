// The capturing commands in process, against the simulated camera linked
// in: what lands in the BMP files, and how a run ends when the camera sends
// damaged frames, stops delivering or is unplugged.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "camapi.h"
#include "commands.h"
#include "simcam.h"
#include "ui.h"

namespace {

const char kNode[] = "/dev/video0";

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome run(int (*command)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    Outcome r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.status = command(static_cast<int>(args.size()), argv.data());
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class CamctlRun : public testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        ui::set_level(ui::Level::Normal);
        std::string tmpl = testing::TempDir() + "camctl-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : written_) unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    // snap of the given format at 640x480 into dir_/f-N.bmp.
    Outcome snap(const char* format, const char* frames, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-d",      kNode, "-f",   format, "-s",
                                         "640x480", "-n",  frames, "-o",   dir_ + "/f-%d.bmp"};
        args.insert(args.end(), more.begin(), more.end());
        for (int i = 0; i < 8; ++i) written_.push_back(file(i));
        return run(cmd_snap, args);
    }
    std::string file(int n) const { return dir_ + "/f-" + std::to_string(n) + ".bmp"; }

    // The frame number stamped into each written file.
    std::vector<long> stamps(int count) {
        std::vector<long> out;
        for (int i = 0; i < count; ++i) {
            RgbImage img;
            EXPECT_TRUE(read_bmp(file(i), &img)) << file(i);
            out.push_back(simcam::read_stamp_rgb(img.rgb.data(), img.width, img.height));
        }
        return out;
    }

    std::string dir_;
    std::vector<std::string> written_;
};

// The picture of pattern frame n as the camera sends it in `format`: YUYV
// converted by the library; for MJPG the camera compresses its YUYV picture
// as JPEG's full-range YCbCr, which decodes to that picture's full-range RGB.
std::vector<uint8_t> pattern_rgb(const std::string& format, uint32_t n) {
    std::vector<uint8_t> yuyv(640 * 480 * 2), rgb(640 * 480 * 3);
    simcam::render_yuyv(640, 480, n, yuyv.data());
    if (format == "YUY2") {
        Yuyv2Rgb(yuyv.data(), 640, 480, rgb.data());
        return rgb;
    }
    for (size_t px = 0; px < 640 * 480; ++px) {
        const uint8_t* pair = &yuyv[(px / 2) * 4];
        const double y = pair[(px % 2) * 2], u = pair[1] - 128.0, v = pair[3] - 128.0;
        const double want[3] = {y + 1.402 * v, y - 0.344136 * u - 0.714136 * v, y + 1.772 * u};
        for (int c = 0; c < 3; ++c)
            rgb[px * 3 + c] = static_cast<uint8_t>(std::min(255.0, std::max(0.0, want[c])) + 0.5);
    }
    return rgb;
}

// Each file holds the very frame of the test pattern its stamp names:
// exactly for YUYV, within JPEG's loss for MJPG.
TEST_F(CamctlRun, SnapWritesThePatternFrames) {
    const struct {
        const char* format;
        double max_mean_error;
    } cases[] = {{"YUY2", 0.0}, {"MJPG", 3.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        Outcome r = snap(c.format, "3");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string("wrote 3 frames (") + c.format + " 640x480 from " + kNode +
                             ") to " + file(0) + " ... " + file(2) + "\n");
        long previous = -1;
        for (int i = 0; i < 3; ++i) {
            RgbImage img;
            ASSERT_TRUE(read_bmp(file(i), &img));
            ASSERT_EQ(img.width, 640u);
            ASSERT_EQ(img.height, 480u);
            long stamp = simcam::read_stamp_rgb(img.rgb.data(), img.width, img.height);
            EXPECT_GT(stamp, previous) << "file " << i;
            previous = stamp;
            const std::vector<uint8_t> want = pattern_rgb(c.format, static_cast<uint32_t>(stamp));
            double error = 0;
            for (size_t k = 0; k < want.size(); ++k) error += std::abs(want[k] - img.rgb[k]);
            EXPECT_LE(error / want.size(), c.max_mean_error) << "file " << i;
        }
        EXPECT_EQ(stamps(1)[0], 0) << "the first frame after the start";
    }
}

// Flagged, cut-off and garbled frames are skipped and counted; the files
// hold the good frames that followed.
TEST_F(CamctlRun, SnapSkipsDamagedFrames) {
    simcam::error_frame(kNode, 1);
    simcam::corrupt_frame(kNode, 2, simcam::Corruption::Truncated);
    simcam::corrupt_frame(kNode, 3, simcam::Corruption::Garbage);
    Outcome r = snap("MJPG", "3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("; skipped 3 damaged\n"), std::string::npos) << r.out;
    // Frames 0 to 3 fill the four buffers queued at the start, so none of
    // them is dropped; a slow machine may drop later ones.
    const std::vector<long> got = stamps(3);
    EXPECT_EQ(got[0], 0);
    EXPECT_GE(got[1], 4);
    EXPECT_GT(got[2], got[1]);
}

// A camera that goes on sending only damaged frames has stopped delivering:
// the run ends after the timeout, keeping what it got.
TEST_F(CamctlRun, CameraThatStopsDeliveringEndsTheRun) {
    const struct {
        const char* name;
        int (*command)(int, char**);
    } commands[] = {{"snap", cmd_snap}, {"stream", cmd_stream}};
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        simcam::reset();
        for (uint32_t seq = 2; seq < 300; ++seq) simcam::error_frame(kNode, seq);
        Outcome r =
            c.command == cmd_snap
                ? snap("YUY2", "5", {"--timeout", "0.3"})
                : run(cmd_stream, {"-d", kNode, "-s", "640x480", "-n", "5", "--timeout", "0.3"});
        EXPECT_EQ(r.status, 2);
        const std::string want =
            std::string("camctl ") + c.name + ": no frame from /dev/video0 within 0.3 s (";
        EXPECT_EQ(r.err.rfind(want, 0), 0u) << r.err;
        EXPECT_NE(r.err.find(" damaged frames skipped)\n"), std::string::npos) << r.err;
        if (c.command == cmd_snap) {
            EXPECT_EQ(r.out.rfind("wrote 2 frames", 0), 0u) << r.out;
            EXPECT_TRUE(exists(file(1)));
            EXPECT_FALSE(exists(file(2)));
        }
    }
}

TEST_F(CamctlRun, UnplugEndsTheRun) {
    const struct {
        const char* name;
        int (*command)(int, char**);
    } commands[] = {{"snap", cmd_snap}, {"stream", cmd_stream}};
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        simcam::reset();
        // The third frame comes, but its buffer cannot go back to the driver.
        simcam::unplug_after(kNode, 3);
        Outcome r =
            c.command == cmd_snap ? snap("MJPG", "5") : run(cmd_stream, {"-d", kNode, "-n", "5"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("camctl ") + c.name +
                             ": /dev/video0 was unplugged: No such device\n");
        if (c.command == cmd_snap) {
            EXPECT_TRUE(exists(file(1)));
            EXPECT_FALSE(exists(file(2)));
        }
        EXPECT_EQ(simcam::open_descriptors(), 0u) << "the slot is closed";
    }
}

TEST_F(CamctlRun, QuietSaysNothingVerboseNamesEachFile) {
    ui::set_level(ui::Level::Quiet);
    Outcome quiet = snap("YUY2", "2");
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");

    ui::set_level(ui::Level::Verbose);
    Outcome verbose = snap("YUY2", "2");
    ASSERT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.err.find(" written to " + file(1) + "\n"), std::string::npos) << verbose.err;
    // Each line names the driver's number of the frame in that file, which
    // the pattern's stamp shows.
    const std::vector<long> got = stamps(2);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(verbose.err.find("camctl snap: frame " + std::to_string(got[i]) + " written to " +
                                   file(i) + "\n"),
                  std::string::npos)
            << verbose.err;
}

// The rate comes from the driver's timestamps (due times, exactly 1/30 s
// apart) over the frames numbered between the first and the last: those
// received, dropped and flagged damaged. So it holds however slow the host.
TEST_F(CamctlRun, StreamCountsDropsFromFrameNumbersAndTimesByTheDriver) {
    const struct {
        const char* name;
        std::vector<uint32_t> error_frames;
    } cases[] = {{"clean", {}}, {"two flagged", {3, 4}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simcam::reset();
        for (uint32_t seq : c.error_frames) simcam::error_frame(kNode, seq);
        Outcome r =
            run(cmd_stream, {"-d", kNode, "-f", "YUY2", "-s", "640x480", "-r", "30", "-n", "8"});
        ASSERT_EQ(r.status, 0) << r.err;
        unsigned received = 0, dropped = 0, damaged = 0;
        double fps = 0;
        const char* out = r.out.c_str();
        ASSERT_EQ(sscanf(strstr(out, "frames received:"), "frames received: %u", &received), 1)
            << r.out;
        ASSERT_NE(strstr(out, "frame rate:"), nullptr) << r.out;
        ASSERT_EQ(sscanf(strstr(out, "frame rate:"), "frame rate: %lf", &fps), 1);
        ASSERT_NE(strstr(out, "dropped frames:"), nullptr) << r.out;
        ASSERT_EQ(sscanf(strstr(out, "dropped frames:"), "dropped frames: %u", &dropped), 1)
            << r.out;
        ASSERT_EQ(sscanf(strstr(out, "damaged frames:"), "damaged frames: %u", &damaged), 1);
        EXPECT_EQ(received, 8u);
        EXPECT_EQ(damaged, c.error_frames.size());
        EXPECT_NEAR(fps, 30.0 * (received - 1) / (received - 1 + dropped + damaged), 0.01) << r.out;
    }
}

// ctrl, dsp and sensor open a second handle beside one that streams (here
// slot 0 of the same process): they set no format, the stream keeps its own
// and its frames, and what they set reaches the camera.
TEST_F(CamctlRun, AdjustingCommandsWorkBesideAStream) {
    ASSERT_EQ(cam_open(0, kNode, V4L2_PIX_FMT_YUYV, 640, 480, 30, 1), 0);
    ASSERT_EQ(cam_play(0), 0);
    const struct {
        int (*command)(int, char**);
        std::vector<std::string> args;
    } cases[] = {
        {cmd_ctrl, {"list"}},
        {cmd_ctrl, {"set", "brightness", "20"}},
        {cmd_ctrl, {"get", "brightness"}},
        {cmd_dsp, {"write", "0x1a2", "0x11", "0x22"}},
        {cmd_dsp, {"read", "0x1a2", "2"}},
        {cmd_sensor, {"write", "0x3100", "0x1234"}},
        {cmd_sensor, {"read", "0x3100"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-d", kNode, "--slot", "1"});
        SCOPED_TRACE(args[0] + " " + args[1]);
        Outcome r = run(c.command, args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(simcam::control_value(kNode, V4L2_CID_BRIGHTNESS), 20);
    EXPECT_EQ(simcam::dsp_peek(kNode, 0x1a3), 0x22);
    EXPECT_EQ(simcam::sensor_peek(kNode, 0x3100), 0x1234);

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(g_fd[0], VIDIOC_G_FMT, &fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(fmt.fmt.pix.width, 640u);
    std::vector<unsigned char> frame(640 * 480 * 2);
    int size = 0;
    pollfd ready{g_fd[0], POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);
    EXPECT_EQ(cam_grabframe(0, frame.data(), &size), 0) << strerror(errno);
    cam_close(0);
}

}  // namespace
