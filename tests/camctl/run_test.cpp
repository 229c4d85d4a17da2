// The capturing commands in process, against the simulated camera linked
// in: what lands in the picture files, and how a run ends when the camera
// sends damaged frames, stops delivering, is unplugged or the user stops it.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "atomic_file.h"
#include "bmp_file.h"
#include "camapi.h"
#include "commands.h"
#include "jpeg_header.h"
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
        for (const std::string& f : listing()) unlink((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }

    // The names in dir_, temporary ones included.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent64* e = readdir64(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // One 640x480 frame of `format` into dir_/name.
    Outcome snap_to(const std::string& name, const char* format,
                    std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-d", kNode,     "-f", format,
                                         "-s", "640x480", "-o", dir_ + "/" + name};
        args.insert(args.end(), more.begin(), more.end());
        return run(cmd_snap, args);
    }

    // snap of the given format at 640x480 into dir_/f-N.bmp.
    Outcome snap(const char* format, const char* frames, std::vector<std::string> more = {}) {
        // Cases run one after another into the same names.
        std::vector<std::string> args = {"-d",      kNode, "-f",   format, "-s",
                                         "640x480", "-n",  frames, "-o",   dir_ + "/f-%d.bmp",
                                         "--force"};
        args.insert(args.end(), more.begin(), more.end());
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
        } else {
            EXPECT_EQ(r.out.rfind("frames received: 2\n", 0), 0u) << r.out;
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
        std::vector<uint32_t> garbled_frames;  // MJPG
    } cases[] = {
        {"clean", {}, {}}, {"two flagged", {3, 4}, {}}, {"flagged and garbled", {3}, {1, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simcam::reset();
        for (uint32_t seq : c.error_frames) simcam::error_frame(kNode, seq);
        for (uint32_t seq : c.garbled_frames)
            simcam::corrupt_frame(
                kNode, seq, seq % 2 ? simcam::Corruption::Garbage : simcam::Corruption::Truncated);
        const char* format = c.garbled_frames.empty() ? "YUY2" : "MJPG";
        Outcome r =
            run(cmd_stream, {"-d", kNode, "-f", format, "-s", "640x480", "-r", "30", "-n", "8"});
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
        EXPECT_EQ(damaged, c.error_frames.size() + c.garbled_frames.size());
        EXPECT_NEAR(fps, 30.0 * (received - 1) / (received - 1 + dropped + damaged), 0.01) << r.out;
        // With frames lost, the camera's own rate counts them back in.
        unsigned long long lost = 0;
        double camera_fps = 0;
        const char* with = strstr(out, "; with the ");
        if (dropped + damaged == 0) {
            EXPECT_EQ(with, nullptr) << r.out;
        } else {
            ASSERT_NE(with, nullptr) << r.out;
            ASSERT_EQ(sscanf(with, "; with the %llu lost: %lf fps", &lost, &camera_fps), 2);
            EXPECT_EQ(lost, dropped + damaged);
            EXPECT_NEAR(camera_fps, 30.0, 0.01) << r.out;
        }
    }
}

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Each reader checks the file's structure and decodes it to 640x480 RGB.
bool bmp_rgb(const std::vector<uint8_t>&, const std::string& path, std::vector<uint8_t>* rgb) {
    RgbImage img;
    if (!read_bmp(path, &img) || img.width != 640 || img.height != 480) return false;
    *rgb = img.rgb;
    return true;
}

// `tables`: the Huffman tables must come before the scan (else: as sent, without).
bool jpeg_rgb(const std::vector<uint8_t>& f, bool tables, std::vector<uint8_t>* rgb) {
    bool has_tables = false;
    JpegHeader h;
    if (!find_jpeg_scan(f.data(), f.size(), &has_tables) || has_tables != tables ||
        !jpeg_is_complete(f.data(), f.size()) || !read_jpeg_header(f.data(), f.size(), &h) ||
        h.width != 640 || h.height != 480)
        return false;
    rgb->resize(640 * 480 * 3);
    return Jpg2Rgb(const_cast<uint8_t*>(f.data()), static_cast<int>(f.size()), rgb->data()) == 0;
}
bool jpg_rgb(const std::vector<uint8_t>& f, const std::string&, std::vector<uint8_t>* rgb) {
    return jpeg_rgb(f, true, rgb);
}
bool mjpg_rgb(const std::vector<uint8_t>& f, const std::string&, std::vector<uint8_t>* rgb) {
    return jpeg_rgb(f, false, rgb);
}

// Signature, IHDR of 8-bit RGB, one IDAT, each row filtered None or Sub.
bool png_rgb(const std::vector<uint8_t>& f, const std::string&, std::vector<uint8_t>* rgb) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (f.size() < 8 + 25 + 12 || memcmp(f.data(), kSignature, 8) ||
        memcmp(f.data() + 12, "IHDR", 4) || be32(&f[16]) != 640 || be32(&f[20]) != 480 ||
        f[24] != 8 || f[25] != 2 || memcmp(f.data() + 37, "IDAT", 4))
        return false;
    const size_t row = 640 * 3;
    std::vector<uint8_t> raw((row + 1) * 480);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, &f[41], be32(&f[33])) != Z_OK || size != raw.size())
        return false;
    rgb->resize(row * 480);
    for (size_t y = 0; y < 480; ++y) {
        const uint8_t* in = &raw[y * (row + 1)];
        uint8_t* out = &(*rgb)[y * row];
        if (in[0] > 1) return false;
        for (size_t i = 0; i < row; ++i)
            out[i] = static_cast<uint8_t>(in[1 + i] + (in[0] == 1 && i >= 3 ? out[i - 3] : 0));
    }
    return true;
}

bool raw_rgb(const std::vector<uint8_t>& f, const std::string&, std::vector<uint8_t>* rgb) {
    if (f.size() != 640 * 480 * 2) return false;
    rgb->resize(640 * 480 * 3);
    Yuyv2Rgb(const_cast<uint8_t*>(f.data()), 640, 480, rgb->data());
    return true;
}

// The extension chooses the file's type, and one frame needs no number in
// its name. Each file decodes to the pattern frame its stamp names: MJPG
// frames and YUYV encoded as JPEG both hold the camera's YUYV as JPEG's
// full-range YCbCr.
TEST_F(CamctlRun, SnapWritesTheTypeTheNameSays) {
    const struct {
        const char* name;
        const char* format;
        bool (*read)(const std::vector<uint8_t>&, const std::string&, std::vector<uint8_t>*);
        const char* looks_like;  // pattern_rgb's format
        double max_mean_error;
    } cases[] = {
        {"one.bmp", "YUY2", bmp_rgb, "YUY2", 0.0}, {"one.BMP", "MJPG", bmp_rgb, "MJPG", 3.0},
        {"one.jpg", "MJPG", jpg_rgb, "MJPG", 3.0}, {"two.jpeg", "YUY2", jpg_rgb, "MJPG", 3.0},
        {"one.png", "YUY2", png_rgb, "YUY2", 0.0}, {"two.png", "MJPG", png_rgb, "MJPG", 3.0},
        {"one.raw", "YUY2", raw_rgb, "YUY2", 0.0}, {"one.mjpg", "MJPG", mjpg_rgb, "MJPG", 3.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = snap_to(c.name, c.format);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string path = dir_ + "/" + c.name;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(c.read(slurp(path), path, &rgb));
        const long stamp = simcam::read_stamp_rgb(rgb.data(), 640, 480);
        ASSERT_GE(stamp, 0);
        const std::vector<uint8_t> want = pattern_rgb(c.looks_like, static_cast<uint32_t>(stamp));
        double error = 0;
        for (size_t k = 0; k < want.size(); ++k) error += std::abs(want[k] - rgb[k]);
        EXPECT_LE(error / want.size(), c.max_mean_error);
    }
    EXPECT_EQ(listing().size(), sizeof cases / sizeof cases[0]) << "no temporary file is left";
}

// A write that fails part way (the file size limit stands in for a full
// disk) leaves nothing, and an old file stays as it was.
TEST_F(CamctlRun, AtomicFileIsWholeOrNothing) {
    const struct {
        const char* name;
        rlim_t limit;
        bool existing;
        bool replace;
        int err;              // 0: written
        const char* content;  // afterwards; null: no file
    } cases[] = {
        {"new", RLIM_INFINITY, false, false, 0, "new bytes"},
        {"cut short", 4, false, false, EFBIG, nullptr},
        {"kept", RLIM_INFINITY, true, false, EEXIST, "old"},
        {"replaced", RLIM_INFINITY, true, true, 0, "new bytes"},
        {"old kept on failure", 4, true, true, EFBIG, "old"},
    };
    const sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    const std::string path = dir_ + "/pic.bmp";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.existing) std::ofstream(path) << "old";
        struct rlimit old_limit, limit;
        getrlimit(RLIMIT_FSIZE, &old_limit);
        limit = old_limit;
        limit.rlim_cur = c.limit;
        setrlimit(RLIMIT_FSIZE, &limit);
        errno = 0;
        const bool ok = write_file_atomically(path, "new bytes", 9, c.replace);
        const int err = errno;
        setrlimit(RLIMIT_FSIZE, &old_limit);
        EXPECT_EQ(ok, c.err == 0);
        EXPECT_EQ(ok ? 0 : err, c.err) << strerror(err);
        const std::vector<uint8_t> bytes = slurp(path);
        EXPECT_EQ(listing(),
                  c.content ? std::vector<std::string>{"pic.bmp"} : std::vector<std::string>{});
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.content ? c.content : "");
        unlink(path.c_str());
    }
    signal(SIGXFSZ, old_handler);
}

// An existing file is kept unless --force; a file that cannot take the
// place of the old one leaves nothing behind either.
TEST_F(CamctlRun, SnapKeepsExistingFilesUnlessForced) {
    const struct {
        const char* name;
        bool folder;  // the name is taken by a folder
        bool force;
        int status;
        const char* error;  // after "camctl snap: ", %s for the path
        size_t size;        // of the file afterwards
    } cases[] = {
        {"old.raw", false, false, 2, "%s exists (--force replaces it)\n", 3},
        {"old.raw", false, true, 0, "", 640 * 480 * 2},
        {"dir.raw", true, false, 2, "%s exists (--force replaces it)\n", 0},
        {"dir.raw", true, true, 2, "cannot write %s: Is a directory\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.force ? " --force" : ""));
        const std::string path = dir_ + "/" + c.name;
        if (c.folder)
            mkdir(path.c_str(), 0755);
        else
            std::ofstream(path) << "old";
        Outcome r =
            snap_to(c.name, "YUY2",
                    c.force ? std::vector<std::string>{"--force"} : std::vector<std::string>{});
        EXPECT_EQ(r.status, c.status);
        char error[512];
        snprintf(error, sizeof error, c.error, path.c_str());
        EXPECT_EQ(r.err, *c.error ? std::string("camctl snap: ") + error : "");
        EXPECT_EQ(listing(), std::vector<std::string>{c.name}) << "no temporary file is left";
        if (!c.folder) {
            EXPECT_EQ(slurp(path).size(), c.size);
        }
        EXPECT_EQ(simcam::open_descriptors(), 0u);
        c.folder ? rmdir(path.c_str()) : unlink(path.c_str());
    }
}

// What the camera grants other than asked for is said in one line; with
// --exact it ends the run before any frame, with status 3.
TEST_F(CamctlRun, SubstitutionsAreSaidAndExactRefusesThem) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool yuyv_only;
        const char* line;
    } cases[] = {
        {"size",
         {"-f", "MJPG", "-s", "800x600"},
         false,
         "asked for 800x600, the camera gives 640x480"},
        {"rate",
         {"-f", "yuyv", "-s", "1280x720", "-r", "30"},
         false,
         "asked for 30 fps, the camera gives 5 fps"},
        {"format", {"-f", "mjpeg", "-s", "640x480"}, true, "asked for MJPG, the camera gives YUY2"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"snap", "stream"}) {
            for (bool exact : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + " " + command + (exact ? " --exact" : ""));
                simcam::reset();
                if (c.yuyv_only) {
                    simcam::Camera cam = simcam::default_camera();
                    cam.formats = {simcam::one_size_format(V4L2_PIX_FMT_YUYV, 640, 480)};
                    ASSERT_TRUE(simcam::add_camera(cam));
                }
                std::vector<std::string> args = c.args;
                args.insert(args.end(), {"-d", kNode, "-n", "2"});
                if (exact) args.push_back("--exact");
                const bool snap = !strcmp(command, "snap");
                if (snap) args.insert(args.end(), {"-o", dir_ + "/s-%d.raw", "--force"});
                Outcome r = run(snap ? cmd_snap : cmd_stream, args);
                EXPECT_EQ(r.status, exact ? 3 : 0);
                EXPECT_EQ(r.err, std::string("camctl ") + command + ": " + c.line +
                                     (exact ? " (--exact: stopped)" : "") + "\n");
                EXPECT_EQ(r.out.empty(), exact) << r.out;
            }
        }
    }
}

// Ctrl-C, the time given and the number of frames each end a stream with
// the report of what was received.
TEST_F(CamctlRun, StreamReportsWhatCameWhenStopped) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        double signal_after;  // seconds; 0: none
        int status;
        double min_seconds, max_seconds;
    } cases[] = {
        {"Ctrl-C", {"-n", "100000"}, 0.5, 130, 0.4, 2.0},
        {"duration", {"--duration", "0.5"}, 0, 0, 0.45, 2.0},
        {"frames first", {"-n", "3", "--duration", "30"}, 0, 0, 0, 2.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"-d", kNode, "-s", "640x480"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const pthread_t self = pthread_self();
        std::thread interrupt([&] {
            if (c.signal_after == 0) return;
            usleep(static_cast<useconds_t>(c.signal_after * 1e6));
            pthread_kill(self, SIGINT);
        });
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        Outcome r = run(cmd_stream, args);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        interrupt.join();
        const double seconds =
            double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_GE(seconds, c.min_seconds);
        EXPECT_LE(seconds, c.max_seconds);
        unsigned received = 0;
        ASSERT_EQ(sscanf(r.out.c_str(), "frames received: %u", &received), 1) << r.out;
        EXPECT_GT(received, 1u);
        if (!strcmp(c.name, "frames first")) {
            EXPECT_EQ(received, 3u);
        }
        EXPECT_NE(r.out.find("\ndamaged frames:  0\n"), std::string::npos) << r.out;
        EXPECT_EQ(simcam::open_descriptors(), 0u);
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
