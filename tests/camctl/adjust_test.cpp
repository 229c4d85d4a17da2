// ctrl, dsp and sensor in process against the simulated camera linked in:
// one line for each mistake, names and labels in any case, values refused
// with the range, register accesses the camera refuses.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <nlohmann/json.hpp>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "simcam.h"
#include "ui.h"

namespace {

const char kNode[] = "/dev/video0";

// The command and its arguments separated by '|' (-d /dev/video0 is added);
// text: for status 0 a part of stdout (stderr empty), otherwise all of stderr.
struct Case {
    const char* args;
    int stall_selector;  // the camera stalls this XU selector, or 0
    int status;
    const char* text;
};

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run(std::vector<std::string> args) {
    const std::string name = args[0];
    args.erase(args.begin());
    args.insert(args.end(), {"-d", kNode});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome r;
    int (*command)(int, char**) = name == "ctrl" ? cmd_ctrl : name == "dsp" ? cmd_dsp : cmd_sensor;
    r.status = command(static_cast<int>(args.size()), argv.data());
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

class Adjust : public testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        ui::set_level(ui::Level::Normal);
    }
};

std::vector<std::string> split(const char* args) {
    std::vector<std::string> out(1);
    for (const char* p = args; *p; ++p) {
        if (*p == '|')
            out.emplace_back();
        else
            out.back() += *p;
    }
    return out;
}

// clang-format off
const Case kCases[] = {
    {"ctrl|set|brightness", 0, 1, "camctl ctrl: set needs ID and VALUE (see camctl ctrl --help)\n"},
    {"ctrl|get|brightness|3", 0, 1, "camctl ctrl: too many arguments after get (see camctl ctrl --help)\n"},
    {"ctrl|frob", 0, 1, "camctl ctrl: unknown action 'frob' (list, get or set)\n"},
    {"ctrl|get|Brightness", 0, 0, "brightness 0x00980900 = 0\n"},
    {"ctrl|get|White Balance, Automatic", 0, 0, "white_balance_automatic 0x0098090c = 1\n"},
    {"ctrl|get|POWER_LINE_FREQUENCY", 0, 0, "power_line_frequency 0x00980918 = 1 (50 Hz)\n"},
    {"ctrl|get|bright", 0, 1, "camctl ctrl: unknown control 'bright' (try: camctl ctrl list)\n"},
    {"ctrl|get|0x00980999", 0, 1, "camctl ctrl: unknown control '0x00980999' (try: camctl ctrl list)\n"},
    {"ctrl|set|brightness|1000", 0, 1, "camctl ctrl: 1000 for brightness: out of range (-64 to 64)\n"},
    {"ctrl|set|brightness|-65", 0, 1, "camctl ctrl: -65 for brightness: out of range (-64 to 64)\n"},
    {"ctrl|set|brightness|ten", 0, 1, "camctl ctrl: bad value 'ten' for brightness (a number, hex or decimal)\n"},
    {"ctrl|set|brightness|0xffffffff", 0, 1, "camctl ctrl: bad value '0xffffffff' for brightness (a number, hex or decimal)\n"},
    {"ctrl|set|auto_exposure|2", 0, 1, "camctl ctrl: 2 for auto_exposure: not in the menu (1: Manual Mode, 3: Aperture Priority Mode)\n"},
    {"ctrl|set|auto_exposure|full", 0, 1, "camctl ctrl: bad value 'full' for auto_exposure (a number or a menu entry)\n"},
    {"ctrl|list", 0, 0, "\"Power Line Frequency\"\n    0: Disabled\n    1: 50 Hz\n    2: 60 Hz\n"},
    {"dsp|read|0xffff|2", 0, 1, "camctl dsp: 2 bytes from 0xffff run past 0xffff, the last register\n"},
    {"dsp|write|0xfffe|1|2|3", 0, 1, "camctl dsp: 3 bytes from 0xfffe run past 0xffff, the last register\n"},
    {"dsp|read|0|0", 0, 1, "camctl dsp: bad length (1 to 8)\n"},
    {"dsp|read|0xfff8|8", 0, 0, "0xfff8: 00 00 00 00 00 00 00 00\n"},
    {"dsp|read|0x10", 11, 2, "camctl dsp: the camera refused reading 1 byte at 0x0010 (is the address one it has?)\n"},
    {"dsp|write|0x10|1|2", 10, 2, "camctl dsp: the camera refused writing 2 bytes at 0x0010 (is the address one it has?)\n"},
    {"sensor|read|1", 11, 2, "camctl sensor: the camera refused reading the register at 0x0001 (is the address one it has?)\n"},
    {"sensor|write|0", 0, 1, "camctl sensor: read ADDR or write ADDR VALUE (see camctl sensor --help)\n"},
};
// clang-format on

TEST_F(Adjust, AnswersInOneLine) {
    for (const Case& c : kCases) {
        simcam::reset();
        if (c.stall_selector) simcam::stall_xu(kNode, static_cast<uint8_t>(c.stall_selector), 100);
        const Outcome r = run(split(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        if (c.status == 0) {
            EXPECT_NE(r.out.find(c.text), std::string::npos) << c.args << "\n" << r.out;
            EXPECT_EQ(r.err, "") << c.args;
        } else {
            EXPECT_EQ(r.err, c.text) << c.args;
        }
    }
}

TEST_F(Adjust, SetTakesMenuLabelsAndRangeEnds) {
    const struct {
        const char* id;
        const char* value;
        uint32_t cid;
        int32_t now;
    } cases[] = {
        {"Power Line Frequency", "60 hz", V4L2_CID_POWER_LINE_FREQUENCY, 2},
        {"auto_exposure", "manual mode", V4L2_CID_EXPOSURE_AUTO, 1},
        {"brightness", "-64", V4L2_CID_BRIGHTNESS, -64},
        {"Hue", "0x7d0", V4L2_CID_HUE, 2000},
    };
    for (const auto& c : cases) {
        const Outcome r = run({"ctrl", "set", c.id, c.value});
        EXPECT_EQ(r.status, 0) << c.id << " " << r.err;
        EXPECT_EQ(simcam::control_value(kNode, c.cid), c.now) << c.id;
    }
}

// The fields and menus camctl serve's /api/controls gives.
TEST_F(Adjust, ListJsonDescribesEachControl) {
    const Outcome r = run({"ctrl", "list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    std::map<std::string, nlohmann::json> by_name;
    for (const nlohmann::json& c : j.at("controls")) by_name[c.at("name")] = c;
    ASSERT_EQ(by_name.size(), 12u) << r.out;
    const nlohmann::json& b = by_name["brightness"];
    EXPECT_EQ(b["label"], "Brightness");
    EXPECT_EQ(b["type"], "integer");
    EXPECT_EQ(b["min"], -64);
    EXPECT_EQ(b["max"], 64);
    EXPECT_EQ(b["value"], 0);
    const nlohmann::json& ae = by_name["auto_exposure"];
    EXPECT_EQ(ae["type"], "menu");
    EXPECT_EQ(ae["menu"], nlohmann::json::parse(R"([{"value": 1, "label": "Manual Mode"},
                                                    {"value": 3, "label": "Aperture Priority Mode"}])"));
    EXPECT_EQ(by_name["exposure_time_absolute"]["inactive"], true);
}

}  // namespace
