// camctl list over the same testbed: exit codes, the tree, and JSON that a
// script can parse whatever bytes the USB strings hold.
#include <linux/videodev2.h>

#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "testbed.h"

namespace {

using namespace cattest;

// Strict JSON syntax check (RFC 8259), enough to tell whether a parser would
// accept the document.
class JsonChecker {
  public:
    explicit JsonChecker(const std::string& s) : s_(s) {}
    bool valid() {
        ws();
        if (!value()) return false;
        ws();
        return i_ == s_.size();
    }

  private:
    bool value() {
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '{') return container('}', true);
        if (c == '[') return container(']', false);
        if (c == '"') return string();
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) return number();
        for (const char* word : {"true", "false", "null"})
            if (s_.compare(i_, std::string(word).size(), word) == 0) {
                i_ += std::string(word).size();
                return true;
            }
        return false;
    }
    bool container(char close, bool object) {
        ++i_;
        ws();
        if (i_ < s_.size() && s_[i_] == close) return ++i_, true;
        for (;;) {
            if (object) {
                if (i_ >= s_.size() || s_[i_] != '"' || !string()) return false;
                ws();
                if (i_ >= s_.size() || s_[i_++] != ':') return false;
                ws();
            }
            if (!value()) return false;
            ws();
            if (i_ >= s_.size()) return false;
            char c = s_[i_++];
            if (c == close) return true;
            if (c != ',') return false;
            ws();
        }
    }
    bool string() {
        ++i_;
        while (i_ < s_.size()) {
            unsigned char c = s_[i_++];
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (i_ >= s_.size()) return false;
                char e = s_[i_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_++])))
                            return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            } else if (c >= 0x80 && !utf8Tail(c)) {
                return false;
            }
        }
        return false;
    }
    bool utf8Tail(unsigned char lead) {
        int more = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc2 ? 1 : -1;
        if (more < 0 || lead > 0xf4) return false;
        for (int k = 0; k < more; ++k)
            if (i_ >= s_.size() || (static_cast<unsigned char>(s_[i_++]) & 0xc0) != 0x80)
                return false;
        return true;
    }
    bool number() {
        size_t start = i_;
        if (s_[i_] == '-') ++i_;
        if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) return false;
        if (s_[i_] == '0' && i_ + 1 < s_.size() &&
            std::isdigit(static_cast<unsigned char>(s_[i_ + 1])))
            return false;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) return false;
            while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
        }
        return i_ > start;
    }
    void ws() {
        while (i_ < s_.size() && std::string(" \t\n\r").find(s_[i_]) != std::string::npos) ++i_;
    }

    const std::string& s_;
    size_t i_ = 0;
};

bool validJson(const std::string& s) {
    return JsonChecker(s).valid();
}

class CmdList : public CatalogueTest {
  protected:
    // Runs `camctl list ARGS`; returns the exit status, stdout in *out.
    int run(std::vector<std::string> args, std::string* out, std::string* err = nullptr) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = cmd_list(static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        *out = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (err) *err = e;
        return status;
    }

    void addOddCamera() {
        addCamera("1-1",
                  camera("/dev/video0",
                         {format(V4L2_PIX_FMT_MJPEG, {size(1280, 720, {30, 15})}),
                          format(V4L2_PIX_FMT_YUYV, {size(640, 480, {30})})},
                         "Cam: Front"),
                  "/dev/video1",
                  {{"idVendor", "0a2b"},
                   {"idProduct", "0102"},
                   {"manufacturer", "Say \"hi\"\\ \x01 caf\xc3\xa9"},
                   {"product", "bad \xff\xc3 utf8"}});
    }
};

TEST_F(CmdList, TreeShowsNodeIdsFormatsSizesAndRates) {
    addOddCamera();
    std::string out;
    ASSERT_EQ(run({}, &out), 0);
    EXPECT_NE(out.find("/dev/video0  Front\n"), std::string::npos) << out;
    EXPECT_NE(out.find("0a2b:0102"), std::string::npos) << out;
    EXPECT_NE(out.find("MJPG"), std::string::npos) << out;
    EXPECT_NE(out.find("1280x720  30, 15 fps\n"), std::string::npos) << out;
    EXPECT_NE(out.find("640x480  30 fps\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x01'), std::string::npos) << "control characters reach the terminal";
}

TEST_F(CmdList, JsonParsesWhateverTheStringsHold) {
    addOddCamera();
    std::string out;
    ASSERT_EQ(run({"--json"}, &out), 0);
    EXPECT_TRUE(validJson(out)) << out;
    EXPECT_NE(out.find(R"("manufacturer": "Say \"hi\"\\ \u0001 caf)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("idVendor": 2603)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"({"denominator": 15, "numerator": 1, "fps": 15})"), std::string::npos)
        << out;
}

TEST_F(CmdList, JsonWithNoCamera) {
    std::string out;
    ASSERT_EQ(run({"--json"}, &out), 0);
    EXPECT_TRUE(validJson(out)) << out;
}

TEST_F(CmdList, ExitStatus) {
    std::string out, err;
    failUdevNew(true);
    EXPECT_EQ(run({}, &out, &err), 2);
    EXPECT_EQ(err, "udev_new error\n");
    failUdevNew(false);
    EXPECT_EQ(run({"--help"}, &out), 0);
    EXPECT_NE(out.find("usage: camctl list"), std::string::npos);
    EXPECT_EQ(run({"--bogus"}, &out, &err), 1);
}

TEST(JsonChecker, RejectsWhatParsersReject) {
    EXPECT_TRUE(validJson(R"({"a": [1, 2.5, "x\u00e9", true, null]})"));
    EXPECT_FALSE(validJson("{\"a\": \"\x01\"}"));
    EXPECT_FALSE(validJson("{\"a\": \"\xff\"}"));
    EXPECT_FALSE(validJson(R"({"a": "\q"})"));
    EXPECT_FALSE(validJson(R"({"a": 1,})"));
}

}  // namespace
