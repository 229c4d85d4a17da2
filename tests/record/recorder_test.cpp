// The recorder on its own (held frames, a full queue, stopping before the
// trigger) and camctl record in process when the camera is unplugged.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "commands.h"
#include "file_name.h"
#include "recorder.h"
#include "simcam.h"
#include "ui.h"

namespace {

class Recording : public testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = testing::TempDir() + "recorder-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

record::Options mjpg_options(const std::string& pattern) {
    record::Options o;
    o.pattern = pattern;
    o.fourcc = V4L2_PIX_FMT_MJPEG;
    o.width = 64;
    o.height = 48;
    return o;
}

// Frames whose bytes the muxer passes on without reading.
record::Frame frame_at(const std::vector<unsigned char>& bytes, int n) {
    record::Frame f;
    f.data = bytes.data();
    f.size = bytes.size();
    f.timestamp_us = 1000000 + int64_t{n} * 1000000 / 30;
    f.sequence = static_cast<uint32_t>(n);
    return f;
}

TEST_F(Recording, RecorderHoldsTheLastSecondsUntilTheTrigger) {
    const std::vector<unsigned char> bytes(5000, 0xAB);
    const struct {
        const char* name;
        bool trigger;
        unsigned frames;  // in the file
    } cases[] = {{"triggered", true, 30 + 10}, {"never triggered", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        record::Options o = mjpg_options(dir_ + "/" + c.name + ".mkv");
        o.pre_us = 1000000;
        record::Recorder rec;
        std::string why;
        ASSERT_TRUE(rec.start(o, &why)) << why;
        for (int n = 0; n < 90; ++n) EXPECT_EQ(rec.push(frame_at(bytes, n)), record::Push::Held);
        if (c.trigger) rec.trigger();
        for (int n = 90; n < 100; ++n) rec.push(frame_at(bytes, n));
        EXPECT_TRUE(rec.stop());
        const std::vector<record::FileInfo> files = rec.files();
        ASSERT_EQ(files.size(), c.trigger ? 1u : 0u);
        EXPECT_EQ(access(o.pattern.c_str(), F_OK) == 0, c.trigger);
        if (!c.trigger) continue;
        EXPECT_EQ(files[0].frames, c.frames);
        EXPECT_TRUE(files[0].complete);
        EXPECT_NEAR(files[0].duration_us, c.frames * 1000000 / 30, 1000);
    }
}

// A writer that cannot keep up costs frames, counted, and never a wait.
TEST_F(Recording, RecorderDropsAndCountsWhenTheQueueIsFull) {
    const std::vector<unsigned char> bytes(200000, 0xCD);
    record::Options o = mjpg_options(dir_ + "/full.mkv");
    o.queue_bytes = 3 * bytes.size();
    record::Recorder rec;
    std::string why;
    ASSERT_TRUE(rec.start(o, &why)) << why;
    unsigned dropped = 0;
    for (int n = 0; n < 300; ++n) dropped += rec.push(frame_at(bytes, n)) == record::Push::Dropped;
    EXPECT_TRUE(rec.stop());
    const record::State s = rec.state();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(s.dropped, dropped);
    EXPECT_EQ(s.frames + s.dropped, 300u);
    EXPECT_LE(s.peak_queued_bytes, o.queue_bytes);
    ASSERT_EQ(rec.files().size(), 1u);
    EXPECT_EQ(rec.files()[0].frames, s.frames);
}

TEST(FileName, ExpandsDateTimeAndNumber) {
    struct tm when = {};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 10;
    when.tm_hour = 15;
    when.tm_min = 4;
    when.tm_sec = 5;
    when.tm_isdst = -1;
    const time_t t = mktime(&when);
    const struct {
        const char* pattern;
        const char* name;  // null: refused
    } cases[] = {
        {"cam-%Y%m%d-%H%M%S.mkv", "cam-20261210-150405.mkv"},
        {"part-%03N.mkv", "part-007.mkv"},
        {"%N-%j-%y%%.avi", "7-344-26%.avi"},
        {"x-%q.mkv", nullptr},
        {"x-%5Y.mkv", nullptr},
        {"x-%.mkv", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        record::FileNamePattern p;
        std::string why;
        ASSERT_EQ(record::parse_file_name(c.pattern, &p, &why), c.name != nullptr) << why;
        if (c.name) {
            EXPECT_EQ(record::file_name(p, 7, t), c.name);
        }
    }
}

// An unplug ends the file as a stop does: index and duration written.
TEST_F(Recording, UnplugFinishesTheFile) {
    simcam::reset();
    ui::set_level(ui::Level::Normal);
    // The 12th frame comes, but its buffer cannot go back to the driver.
    simcam::unplug_after("/dev/video0", 12);
    std::string name = dir_ + "/u.mkv";
    std::vector<std::string> args = {"-d", "/dev/video0", "-s", "640x480", "-o", name};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = cmd_record(static_cast<int>(args.size()), argv.data());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 2);
    EXPECT_EQ(err, "camctl record: /dev/video0 was unplugged: No such device\n");
    EXPECT_NE(out.find("frames written:  11 (1 file,"), std::string::npos) << out;
    if (system("command -v ffprobe >/dev/null") != 0) GTEST_SKIP() << "no ffprobe";
    FILE* p = popen(("ffprobe -v error -count_packets -show_entries "
                     "stream=nb_read_packets:format=duration -of csv=p=0 '" +
                     name + "'")
                        .c_str(),
                    "r");
    ASSERT_NE(p, nullptr);
    char line[2][64] = {};
    for (auto& l : line)
        if (!fgets(l, sizeof l, p)) l[0] = '\0';
    pclose(p);
    EXPECT_STREQ(line[0], "11\n");
    EXPECT_NEAR(atof(line[1]), 11 / 30.0, 0.0015) << "11 frames of 1/30 s";
}

}  // namespace
