// camctl serve end to end over loopback HTTP, in process against the
// simulated camera: the stream's framing and pictures, the API's answers and
// refusals, slow and surplus clients, an unplug, and a clean stop.
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camapi.h"
#include "frame_source.h"
#include "http_client.h"
#include "jpeg_header.h"
#include "serve/feed.h"
#include "serve/jpeg_encode.h"
#include "serve/options.h"
#include "serve/server.h"
#include "simcam.h"

namespace {

const char kNode[] = "/dev/video0";
constexpr unsigned kW = 320, kH = 240;
const std::string kJson = "Content-Type: application/json\r\n";

// The frame number stamped in the picture; -1 when it does not decode or
// carries none (the no-signal picture).
long stamp_of(const std::string& jpeg) {
    JpegHeader h;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    if (!read_jpeg_header(data, jpeg.size(), &h) || h.width != kW || h.height != kH) return -2;
    std::vector<unsigned char> rgb(static_cast<size_t>(kW) * kH * 3);
    std::string copy = jpeg;
    if (Jpg2Rgb(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<int>(copy.size()),
                rgb.data()) != 0)
        return -2;
    return simcam::read_stamp_rgb(rgb.data(), kW, kH);
}

class Serve : public testing::Test {
  protected:
    void SetUp() override {
        simcam::reset();
        simcam::Camera c = simcam::default_camera();
        c.formats = {simcam::one_size_format(V4L2_PIX_FMT_MJPEG, kW, kH),
                     simcam::one_size_format(V4L2_PIX_FMT_YUYV, kW, kH)};
        ASSERT_TRUE(simcam::add_camera(c));
        ASSERT_TRUE(serve::parse_listen("127.0.0.1:0", &options_.address));
    }

    void start(uint32_t fourcc = V4L2_PIX_FMT_MJPEG) {
        Capture want;
        want.device = kNode;
        want.fourcc = fourcc;
        want.width = kW;
        want.height = kH;
        want.denominator = 30;
        feed_.reset(new Feed);
        feed_->rest_after_ms = rest_after_ms_;
        ASSERT_TRUE(serve::start_feed("serve_test", want, 0, 80, feed_.get()));
        serve::clear_stop();
        std::promise<unsigned> ready;
        server_ = std::thread([this, &ready] {
            Feed* const feeds[2] = {feed_.get(), nullptr};
            serve::run_server(options_, feeds, [&](unsigned port) { ready.set_value(port); });
        });
        port_ = ready.get_future().get();
    }

    void stop() {
        if (!server_.joinable()) return;
        serve::request_stop();
        server_.join();
        serve::stop_feed(feed_.get());
    }

    void TearDown() override {
        stop();
        // Nothing of the camera may outlive the server.
        EXPECT_EQ(simcam::open_descriptors(), 0u);
        EXPECT_EQ(simcam::live_mappings(), 0u);
    }

    Response get(const std::string& path, const std::string& extra = "") {
        return http_exchange(port_, request("GET", path, extra));
    }
    Response post(const std::string& path, const std::string& body,
                  const std::string& extra = kJson) {
        return http_exchange(port_, request("POST", path, extra, body));
    }
    // Opens the stream and reads its first part.
    bool first_part(StreamReader* s, std::map<std::string, std::string>* h, std::string* jpeg,
                    std::string* why) {
        if (!s->open(port_, "/stream?cam=0")) return *why = "cannot connect", false;
        return s->next(h, jpeg, why);
    }
    bool state_says(const std::string& what) {
        return get("/api/state").body.find(what) != std::string::npos;
    }
    template <typename F>
    static bool eventually(F ok, int seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (ok()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    using Feed = serve::Feed;
    serve::ServerOptions options_;
    int rest_after_ms_ = 5000;
    std::unique_ptr<Feed> feed_;
    std::thread server_;
    unsigned port_ = 0;
};

TEST_F(Serve, StreamPartsAreFramedAndEachImageIsTheNextFrame) {
    for (uint32_t fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}) {
        SCOPED_TRACE(fourcc == V4L2_PIX_FMT_MJPEG ? "MJPG" : "YUYV");
        // Sequence numbers restart with each stream; the count does not.
        const long before = static_cast<long>(simcam::frames_delivered(kNode));
        start(fourcc);
        StreamReader s;
        ASSERT_TRUE(s.open(port_, "/stream?cam=0"));
        EXPECT_EQ(s.head.status, 200);
        EXPECT_EQ(s.head.headers["content-type"],
                  "multipart/x-mixed-replace; boundary=camctlframe");
        EXPECT_EQ(s.head.headers.count("access-control-allow-origin"), 0u);
        long last_stamp = -1, last_seq = -1;
        double last_time = 0;
        for (int i = 0; i < 5; ++i) {
            std::map<std::string, std::string> h;
            std::string jpeg, why;
            ASSERT_TRUE(s.next(&h, &jpeg, &why)) << why;
            const double arrived = now_seconds();
            EXPECT_EQ(h["content-type"], "image/jpeg");
            long seq = atol(h["x-frame-sequence"].c_str()), stamp = stamp_of(jpeg);
            EXPECT_GE(stamp, 0) << "part " << i << " does not decode to a camera frame";
            EXPECT_GT(seq, last_seq);
            EXPECT_GT(stamp, last_stamp);
            // The driver's time of that very frame, on the client's monotonic
            // clock: simcam's frames are due at STREAMON + (sequence + 1)
            // intervals, so two parts lie whole intervals apart.
            ASSERT_EQ(h.count("x-frame-timestamp"), 1u);
            double t = atof(h["x-frame-timestamp"].c_str());
            EXPECT_LE(t, arrived);
            EXPECT_GT(t, arrived - 5);
            if (last_time > 0) {
                double intervals = (t - last_time) * 30;
                EXPECT_NEAR(intervals, stamp - last_stamp, 1e-3)
                    << "the timestamp is not the one of the frame in the part";
            }
            last_seq = seq;
            last_stamp = stamp;
            last_time = t;
        }
        Response snap = get("/snapshot?cam=0");
        EXPECT_EQ(snap.status, 200);
        EXPECT_EQ(snap.headers["content-type"], "image/jpeg");
        EXPECT_GE(stamp_of(snap.body), last_stamp);
        s.close();
        // With nobody watching, a snapshot still gets a current frame (YUYV
        // frames are then encoded only on request), not the last one a
        // stream saw.
        EXPECT_TRUE(eventually([&] { return state_says(R"("clients":0)"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long captured = static_cast<long>(simcam::frames_delivered(kNode)) - before;
        EXPECT_GE(stamp_of(get("/snapshot?cam=0").body), captured - 1);
        stop();
    }
}

TEST_F(Serve, DamagedFramesAreSkippedAndCounted) {
    // A slow capture may miss a given frame number, so each kind of damage
    // comes on several frames: first cut short, then flagged by the driver.
    for (uint32_t seq = 3; seq < 9; ++seq)
        simcam::corrupt_frame(kNode, seq, simcam::Corruption::Truncated);
    start();
    auto damaged = [&] {
        auto j = nlohmann::json::parse(get("/api/state").body, nullptr, false);
        return j.is_object() ? j["cameras"][0]["damaged"].get<int>() : -1;
    };
    EXPECT_TRUE(eventually([&] { return damaged() >= 1; }));
    const int cut_short = damaged();
    // What the clients get are the good frames.
    StreamReader s;
    ASSERT_TRUE(s.open(port_, "/stream?cam=0"));
    for (int i = 0; i < 4; ++i) {
        std::map<std::string, std::string> h;
        std::string jpeg, why;
        ASSERT_TRUE(s.next(&h, &jpeg, &why)) << why;
        EXPECT_GE(stamp_of(jpeg), 0);
    }

    const uint32_t next = static_cast<uint32_t>(simcam::frames_delivered(kNode));
    // The driver's numbers run ahead of the frames delivered when some were
    // missed (a slow machine, an emulator); a wide window lands on frames
    // to come.
    for (uint32_t seq = next; seq < next + 300; ++seq) simcam::error_frame(kNode, seq);
    EXPECT_TRUE(eventually([&] { return damaged() > cut_short; }));
}

TEST_F(Serve, BadRequestsAreRefusedWithTheirReasonAndNothingReachesTheCamera) {
    start();
    const uint8_t dsp_before = simcam::dsp_peek(kNode, 0x10);
    const uint16_t sensor_before = simcam::sensor_peek(kNode, 0x3100);
    const int32_t brightness_before = simcam::control_value(kNode, V4L2_CID_BRIGHTNESS);
    struct Case {
        const char* method;
        const char* path;
        std::string extra;
        std::string body;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {"GET", "/nothing", "", "", 404, "no such page"},
        {"GET", "/stream?cam=2", "", "", 400, "cam must be 0 or 1"},
        {"GET", "/snapshot?cam=1", "", "", 404, "no camera 1"},
        {"GET", "/api/controls?cam=x", "", "", 400, "cam must be"},
        {"GET", "/api/dsp", "", "", 405, "use POST"},
        {"DELETE", "/api/state", "", "", 405, "use GET"},
        {"POST", "/api/dsp", "Content-Type: text/plain\r\n", R"({"addr":16,"read":1})", 415,
         "application/json"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"read":1)", 400, "not valid JSON"},
        {"POST", "/api/dsp", kJson, R"([1,2])", 400, "not a JSON object"},
        {"POST", "/api/dsp", kJson, R"({"addr":"0x10000","read":1})", 400,
         "\"addr\": out of range"},
        {"POST", "/api/dsp", kJson, R"({"addr":"1a2","read":1})", 400, "0x prefix"},
        {"POST", "/api/dsp", kJson, R"({"addr":"0x","read":1})", 400, "not a number"},
        {"POST", "/api/dsp", kJson, R"({"addr":-1,"read":1})", 400, "negative"},
        {"POST", "/api/dsp", kJson, R"({"addr":1.5,"read":1})", 400, "not a number"},
        {"POST", "/api/dsp", kJson, R"({"read":1})", 400, "\"addr\" is missing"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"read":9})", 400, "out of range"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"read":0})", 400, "1 to 8 bytes"},
        {"POST", "/api/dsp", kJson, R"({"addr":16})", 400, "either"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"write":[1,2,3,4,5,6,7,8,9]})", 400,
         "1 to 8 bytes"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"write":[1,256]})", 400, "out of range"},
        {"POST", "/api/dsp", kJson, R"({"addr":16,"write":["0x1","x"]})", 400, "not a number"},
        {"POST", "/api/dsp", kJson, R"({"cam":2,"addr":16,"read":1})", 400, "cam must be"},
        {"POST", "/api/dsp", kJson, R"({"cam":1,"addr":16,"read":1})", 404, "no camera 1"},
        {"POST", "/api/sensor", kJson, R"({"addr":"0x3100","write":"0x10000"})", 400,
         "out of range"},
        {"POST", "/api/sensor", kJson, R"({"addr":"0x3100","write":256,"bits":8})", 400,
         "out of range"},
        {"POST", "/api/sensor", kJson, R"({"addr":"0x3100","write":1,"bits":12})", 400, "8 or 16"},
        {"POST", "/api/sensor", kJson, R"({"addr":"0x3100","read":false})", 400, "must be true"},
        {"POST", "/api/controls", kJson, R"({"name":"sparkle","value":1})", 400, "unknown control"},
        {"POST", "/api/controls", kJson, R"({"id":1,"value":1})", 400, "unknown control"},
        {"POST", "/api/controls", kJson, R"({"name":"brightness","value":65})", 400,
         "out of range"},
        {"POST", "/api/controls", kJson, R"({"name":"brightness","value":"3"})", 400, "integer"},
        {"POST", "/api/controls", kJson, R"({"name":"brightness","value":99999999999})", 400,
         "out of range"},
        {"POST", "/api/controls", kJson, R"({"name":"brightness"})", 400, "\"value\" is missing"},
        {"POST", "/api/dsp", kJson,
         "{\"addr\":16,\"read\":1,\"pad\":\"" + std::string(5000, 'x') + "\"}", 413, "too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body.substr(0, 60));
        Response r = http_exchange(port_, request(c.method, c.path, c.extra, c.body));
        EXPECT_EQ(r.status, c.status);
        auto j = nlohmann::json::parse(r.body, nullptr, false);
        ASSERT_TRUE(j.is_object() && j["error"].is_string()) << r.body;
        EXPECT_NE(j["error"].get<std::string>().find(c.reason), std::string::npos) << r.body;
        EXPECT_EQ(r.headers["content-type"], "application/json");
    }
    EXPECT_EQ(simcam::dsp_peek(kNode, 0x10), dsp_before);
    EXPECT_EQ(simcam::sensor_peek(kNode, 0x3100), sensor_before);
    EXPECT_EQ(simcam::control_value(kNode, V4L2_CID_BRIGHTNESS), brightness_before);
}

TEST_F(Serve, GoodRequestsReachTheCameraAndAnswerWhatItHolds) {
    start();
    struct Case {
        const char* path;
        std::string body;
        std::string answer;
    };
    const Case cases[] = {
        {"/api/dsp", R"({"addr":"0x10","write":["0x12",52]})",
         R"({"addr":"0x0010","cam":0,"data":["0x12","0x34"]})"},
        {"/api/dsp", R"({"addr":"16","read":2})",
         R"({"addr":"0x0010","cam":0,"data":["0x12","0x34"]})"},
        {"/api/sensor", R"({"addr":"0x3100","write":"0x82"})",
         R"({"addr":"0x3100","bits":16,"cam":0,"value":"0x0082"})"},
        {"/api/sensor", R"({"addr":"0x3102","write":"0x5a","bits":8})",
         R"({"addr":"0x3102","bits":8,"cam":0,"value":"0x5a"})"},
        {"/api/sensor", R"({"addr":12546,"read":true,"bits":8})",
         R"({"addr":"0x3102","bits":8,"cam":0,"value":"0x5a"})"},
        {"/api/controls", R"({"cam":0,"name":"brightness","value":-12})",
         R"({"cam":0,"id":9963776,"name":"brightness","value":-12})"},
        {"/api/controls", R"({"id":"0x980901","value":40})",
         R"({"cam":0,"id":9963777,"name":"contrast","value":40})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        Response r = post(c.path, c.body);
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(r.body, c.answer);
    }
    EXPECT_EQ(simcam::dsp_peek(kNode, 0x11), 0x34);
    EXPECT_EQ(simcam::control_value(kNode, V4L2_CID_BRIGHTNESS), -12);
    Response controls = get("/api/controls?cam=0");
    EXPECT_NE(controls.body.find(
                  R"("name":"brightness","readonly":false,"step":1,"type":"integer","value":-12)"),
              std::string::npos)
        << controls.body;
    EXPECT_EQ(get("/api/devices").body.find(R"({"devices":[)"), 0u);  // no udev in process
    Response page = get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("<html"), std::string::npos);
}

TEST_F(Serve, OtherSitesAndWrongPasswordsAreKeptOut) {
    options_.auth = "ann:s3cret";
    options_.allow_origin = "http://tool.example:9000";
    start();
    const std::string ok = "Authorization: Basic YW5uOnMzY3JldA==\r\n";  // ann:s3cret
    const std::string body = R"({"name":"brightness","value":5})";
    struct Case {
        const char* method;
        std::string extra;
        int status;
        bool cors;  // Access-Control-Allow-Origin in the answer
    };
    const Case cases[] = {
        {"GET", "", 401, false},
        {"GET", "Authorization: Basic YW5uOnMzY3JldSE=\r\n", 401, false},  // ann:s3creu!
        {"GET", "Authorization: Basic YW5uOnMzY3Jl\r\n", 401, false},      // ann:s3cre
        {"GET", ok, 200, false},
        {"POST", ok + kJson, 200, false},
        {"POST", ok + kJson + "Origin: http://127.0.0.1\r\n", 200, false},
        {"POST", ok + kJson + "Origin: http://evil.example\r\n", 403, false},
        {"POST", ok + kJson + "Origin: null\r\n", 403, false},
        {"POST", ok + kJson + "Sec-Fetch-Site: cross-site\r\n", 403, false},
        {"GET", ok + "Origin: http://evil.example\r\n", 403, false},
        {"POST", ok + kJson + "Origin: http://tool.example:9000\r\n", 200, true},
        {"OPTIONS", ok + "Origin: http://tool.example:9000\r\n", 204, true},
        {"OPTIONS", ok + "Origin: http://evil.example\r\n", 403, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.extra);
        Response r = http_exchange(
            port_,
            request(c.method, c.method == std::string("GET") ? "/api/state" : "/api/controls",
                    c.extra, c.method == std::string("POST") ? body : ""));
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(r.headers.count("access-control-allow-origin"), c.cors ? 1u : 0u);
        if (c.status == 401) {
            EXPECT_EQ(r.headers.count("www-authenticate"), 1u);
        }
    }
}

TEST_F(Serve, OversizedRequestLinesAndHeadersAreRefused) {
    start();
    Response line = http_exchange(port_, request("GET", "/api/state?x=" + std::string(40000, 'a')));
    EXPECT_TRUE(line.status == 414 || line.status == 431) << line.status;
    Response headers = http_exchange(
        port_, request("GET", "/api/state", "X-Padding: " + std::string(40000, 'b') + "\r\n"));
    EXPECT_TRUE(headers.status == 431 || headers.status == 413) << headers.status;
    EXPECT_EQ(get("/api/state").status, 200);  // and the server goes on
}

TEST_F(Serve, AClientThatStopsReadingHoldsUpNobodyAndIsDropped) {
    options_.timeout_s = 2;
    start();
    // The rate the camera manages on this machine, before anyone stalls.
    const uint64_t before = simcam::frames_delivered(kNode);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint64_t baseline = simcam::frames_delivered(kNode) - before;  // in 1.5 s
    StreamReader stalled, reader;
    ASSERT_TRUE(stalled.open(port_, "/stream?cam=0", true));
    ASSERT_TRUE(reader.open(port_, "/stream?cam=0"));
    const uint64_t delivered = simcam::frames_delivered(kNode);
    auto begin = std::chrono::steady_clock::now();
    int parts = 0;
    while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(3)) {
        std::map<std::string, std::string> h;
        std::string jpeg, why;
        ASSERT_TRUE(reader.next(&h, &jpeg, &why)) << why;
        ++parts;
    }
    // A capture or reader held up by the stalled client would get next to
    // nothing; half the earlier rate leaves room for a loaded machine.
    const uint64_t captured = simcam::frames_delivered(kNode) - delivered;  // in 3 s
    EXPECT_GE(captured, baseline) << baseline << " frames in 1.5 s before";
    EXPECT_GE(parts, static_cast<int>(captured / 2)) << captured << " frames captured";
    // The stalled one is dropped once it has made no progress for the timeout.
    EXPECT_TRUE(eventually([&] { return state_says(R"("clients":1)"); }, 30))
        << get("/api/state").body;
}

TEST_F(Serve, StreamsBeyondTheLimitGet503) {
    options_.max_clients = 2;
    start();
    StreamReader a, b, c;
    ASSERT_TRUE(a.open(port_, "/stream?cam=0"));
    ASSERT_TRUE(b.open(port_, "/stream?cam=0"));
    ASSERT_TRUE(c.open(port_, "/stream?cam=0"));
    EXPECT_EQ(a.head.status, 200);
    EXPECT_EQ(b.head.status, 200);
    EXPECT_EQ(c.head.status, 503);
    a.close();
    StreamReader d;
    EXPECT_TRUE(eventually([&] {
        d.close();
        return d.open(port_, "/stream?cam=0") && d.head.status == 200;
    }));
}

TEST_F(Serve, AnUnpluggedCameraShowsNoSignalAndComesBackByItself) {
    start();
    StreamReader s;
    std::map<std::string, std::string> h;
    std::string jpeg, why;
    ASSERT_TRUE(first_part(&s, &h, &jpeg, &why)) << why;
    ASSERT_GE(stamp_of(jpeg), 0);

    testing::internal::CaptureStderr();
    simcam::unplug_after(kNode, 0);
    // The connection stays; the pictures become the no-signal one, which
    // decodes at the camera's size and carries no frame stamp.
    EXPECT_TRUE(eventually([&] { return s.next(&h, &jpeg, &why) && stamp_of(jpeg) == -1; })) << why;
    EXPECT_EQ(h.count("x-frame-timestamp"), 0u);  // no camera frame, no driver time
    EXPECT_TRUE(state_says(R"("signal":false)"));
    // A script can tell the snapshot is no picture of the camera; a browser
    // still shows it.
    Response snap = get("/snapshot");
    EXPECT_EQ(snap.status, 503);
    EXPECT_EQ(snap.headers["x-no-signal"], "1");
    EXPECT_EQ(snap.headers["content-type"], "image/jpeg");
    EXPECT_EQ(stamp_of(snap.body), -1);
    EXPECT_EQ(post("/api/dsp", R"({"addr":0,"read":1})").status, 502);

    simcam::replug(kNode);
    EXPECT_TRUE(eventually([&] { return s.next(&h, &jpeg, &why) && stamp_of(jpeg) >= 0; })) << why;
    EXPECT_TRUE(state_says(R"("signal":true)"));
    EXPECT_EQ(simcam::open_descriptors(), 1u);  // the reopened camera, nothing leaked
    snap = get("/snapshot");
    EXPECT_EQ(snap.status, 200);
    EXPECT_EQ(snap.headers.count("x-no-signal"), 0u);
    // Both changes on stderr, with the time, for the service's journal.
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string when = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
    EXPECT_TRUE(
        std::regex_search(log, std::regex(when + ": camera 0 \\(/dev/video0\\) was unplugged")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(when + ": camera 0 \\(/dev/video0\\) is back")))
        << log;
}

TEST_F(Serve, StoppingEndsOpenStreamsAndReleasesTheCamera) {
    start();
    StreamReader s;
    std::map<std::string, std::string> h;
    std::string jpeg, why;
    ASSERT_TRUE(first_part(&s, &h, &jpeg, &why)) << why;
    stop();
    while (s.next(&h, &jpeg, &why)) {
    }
    EXPECT_EQ(why.find("stream ended"), 0u) << why;
    // TearDown checks descriptors and mappings.
}

// Numbers, names and ids an attacker would try: each refused with its
// reason before anything is set on the camera or sent to its registers.
TEST_F(Serve, HostileValuesAreRefusedBeforeTheCameraIsAsked) {
    start();
    struct Case {
        const char* path;
        std::string body;
        const char* reason;
    };
    const Case cases[] = {
        {"/api/controls", R"({"name":"brightness","value":18446744073709551615})",
         "\"value\": out of range"},
        {"/api/controls", R"({"name":"brightness","value":-2147483649})",
         "\"value\": out of range"},
        {"/api/controls", R"({"name":"brightness\u0000x","value":1})", "NUL"},
        {"/api/controls", R"({"id":2147483648,"value":1})", "unknown control 0x80000000"},
        {"/api/controls", R"({"id":"0x80980900","value":1})", "unknown control 0x80980900"},
        {"/api/controls", R"({"id":"0x80000000","value":1})", "unknown control"},
        {"/api/controls", R"({"name":"auto_exposure","value":0})",
         "not in the menu (1: Manual Mode, 3: Aperture Priority Mode)"},
        {"/api/controls", R"({"name":"auto_exposure","value":2})", "not in the menu"},
        {"/api/dsp", R"({"addr":65535,"read":2})", "run past the last register"},
        {"/api/dsp", R"({"addr":"0xfff9","write":[1,2,3,4,5,6,7,8]})", "run past"},
        {"/api/dsp", R"({"addr":18446744073709551615,"read":1})", "\"addr\": out of range"},
        {"/api/sensor", R"({"addr":65536,"read":true})", "\"addr\": out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        simcam::clear_log();
        Response r = post(c.path, c.body);
        EXPECT_EQ(r.status, 400);
        auto j = nlohmann::json::parse(r.body, nullptr, false);
        ASSERT_TRUE(j.is_object() && j["error"].is_string()) << r.body;
        EXPECT_NE(j["error"].get<std::string>().find(c.reason), std::string::npos) << r.body;
        // Questions about a control are fine; setting one, a register access,
        // or an id the driver reads as "the one after" are not.
        for (const simcam::Request& q : simcam::request_log()) {
            EXPECT_NE(q.request, static_cast<uint32_t>(VIDIOC_S_CTRL));
            EXPECT_NE(q.request, static_cast<uint32_t>(VIDIOC_S_EXT_CTRLS));
            EXPECT_NE(q.request, static_cast<uint32_t>(UVCIOC_CTRL_QUERY));
            uint32_t id = 0;
            if (q.request == static_cast<uint32_t>(VIDIOC_QUERYCTRL) && q.arg_in.size() >= 4)
                memcpy(&id, q.arg_in.data(), 4);
            EXPECT_EQ(id & V4L2_CTRL_FLAG_NEXT_CTRL, 0u);
        }
    }
    // What the camera itself refuses is said so, not as a character-set error.
    simcam::stall_xu(kNode, 10, 1);
    Response r = post("/api/dsp", R"({"addr":16,"read":1})");
    EXPECT_EQ(r.status, 502);
    EXPECT_NE(r.body.find("the camera refused the register access"), std::string::npos) << r.body;
    // The edges themselves are allowed.
    EXPECT_EQ(post("/api/dsp", R"({"addr":65535,"read":1})").status, 200);
    EXPECT_EQ(post("/api/dsp", R"({"addr":"0xfff8","read":8})").status, 200);
    EXPECT_EQ(post("/api/controls", R"({"name":"auto_exposure","value":1})").body,
              R"({"cam":0,"id":10094849,"name":"auto_exposure","value":1})");
}

TEST_F(Serve, ACameraNobodyWatchesRestsAndWakesForAPicture) {
    rest_after_ms_ = 300;
    start();
    auto capturing = [&] { return state_says(R"("capturing":true)"); };
    EXPECT_TRUE(eventually([&] { return !capturing(); }));
    // Resting: no frames, though the page polls the state and the controls.
    const uint64_t rested = simcam::frames_delivered(kNode);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(get("/api/controls?cam=0").status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(capturing());
    EXPECT_EQ(simcam::frames_delivered(kNode), rested);

    // A snapshot wakes it and gets a frame captured after it asked: within
    // a frame interval and the camera's start-up (none for simcam), with
    // room for a loaded machine.
    const auto asked = std::chrono::steady_clock::now();
    Response snap = get("/snapshot?cam=0");
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_EQ(snap.status, 200);
    EXPECT_GE(stamp_of(snap.body), 0);  // simcam's stamps restart with streaming
    EXPECT_GT(simcam::frames_delivered(kNode), rested);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_TRUE(eventually([&] { return !capturing(); }));

    // So does a stream, and it keeps the camera going while it is open.
    StreamReader s;
    std::map<std::string, std::string> h;
    std::string jpeg, why;
    ASSERT_TRUE(first_part(&s, &h, &jpeg, &why)) << why;
    EXPECT_GE(stamp_of(jpeg), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(s.next(&h, &jpeg, &why)) << why;
    EXPECT_TRUE(capturing());
    s.close();
    EXPECT_TRUE(eventually([&] { return !capturing(); }));

    // An unplug is noticed while resting, and the camera comes back.
    simcam::unplug_after(kNode, 0);
    EXPECT_TRUE(eventually([&] { return state_says(R"("signal":false)"); }));
    simcam::replug(kNode);
    EXPECT_TRUE(eventually([&] { return get("/snapshot?cam=0").status == 200; }));
    EXPECT_EQ(simcam::open_descriptors(), 1u);
}

TEST_F(Serve, MetricsAreInThePrometheusTextFormat) {
    options_.auth = "ann:s3cret";
    start();
    const std::string ok = "Authorization: Basic YW5uOnMzY3JldA==\r\n";  // ann:s3cret
    EXPECT_EQ(get("/metrics").status, 401);
    StreamReader s;
    ASSERT_TRUE(s.open(port_, "/stream?cam=0", false, ok));
    std::map<std::string, std::string> h;
    std::string jpeg, why;
    size_t received = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(s.next(&h, &jpeg, &why)) << why;
        received += jpeg.size();
    }

    Response r = get("/metrics", ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain; version=0.0.4; charset=utf-8");
    // Every sample after its HELP and TYPE lines, one per served camera.
    const std::regex help(R"(# HELP (camctl_[a-z_]+) \S.*)"),
        type(R"(# TYPE (camctl_[a-z_]+) (counter|gauge))"),
        sample(R"((camctl_[a-z_]+)\{cam="0"\} (\d+))");
    std::set<std::string> helped, typed;
    std::map<std::string, uint64_t> value;
    std::istringstream lines(r.body);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        SCOPED_TRACE(line);
        if (std::regex_match(line, m, help)) {
            helped.insert(m[1]);
        } else if (std::regex_match(line, m, type)) {
            typed.insert(m[1]);
            if (m[2] == "counter") {
                EXPECT_EQ(m[1].str().rfind("_total"), m[1].length() - 6);
            }
        } else {
            ASSERT_TRUE(std::regex_match(line, m, sample));
            EXPECT_TRUE(helped.count(m[1]) && typed.count(m[1]));
            EXPECT_EQ(value.count(m[1]), 0u);
            value[m[1]] = std::stoull(m[2]);
        }
    }
    for (const char* name :
         {"camctl_frames_total", "camctl_frames_damaged_total", "camctl_frames_dropped_total",
          "camctl_clients", "camctl_signal", "camctl_capturing", "camctl_sent_bytes_total"})
        EXPECT_EQ(value.count(name), 1u) << name;
    EXPECT_GE(value["camctl_frames_total"], 2u);
    EXPECT_EQ(value["camctl_clients"], 1u);
    EXPECT_EQ(value["camctl_signal"], 1u);
    EXPECT_GE(value["camctl_sent_bytes_total"], received);
}

// A password in a file keeps it out of `ps`; a file other users can read
// would give it away just the same.
TEST(ServeOptions, TheAuthFileMustBeTheOwnersAlone) {
    char dir_template[] = "/tmp/serve_auth.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir_template));
    const std::string dir = dir_template;
    struct Case {
        std::string text;
        mode_t mode;
        bool credentials_dir;  // under $CREDENTIALS_DIRECTORY
        const char* auth;      // nullptr: refused
        const char* message;
    };
    const Case cases[] = {
        {"ann:s3cret\n", 0600, false, "ann:s3cret", ""},
        {"ann:s:3\r\n", 0400, false, "ann:s:3", ""},
        {"ann:s3cret\n", 0640, false, nullptr, "is open to other users (mode 0640); run chmod 600"},
        {"ann:s3cret\n", 0604, false, nullptr, "chmod 600"},
        {"ann:s3cret\n", 0620, false, nullptr, "chmod 600"},
        {"ann:s3cret\n", 0440, true, "ann:s3cret", ""},  // systemd's ACL shows as group bits
        {"ann\n", 0600, false, nullptr, "must hold one line user:password"},
        {":s3cret\n", 0600, false, nullptr, "one line user:password"},
        {"ann:s3cret\nbob:x\n", 0600, false, nullptr, "one line user:password"},
        {"", 0600, false, nullptr, "one line user:password"},
        {std::string(2000, 'a') + ":b", 0600, false, nullptr, "one line user:password"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " mode " + std::to_string(c.mode));
        const std::string path = dir + "/auth";
        unlink(path.c_str());
        std::ofstream(path) << c.text;
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        if (c.credentials_dir) {
            setenv("CREDENTIALS_DIRECTORY", dir.c_str(), 1);
        } else {
            unsetenv("CREDENTIALS_DIRECTORY");
        }
        std::string arg = path;
        char opt[] = "--auth-file";
        char* argv[] = {opt, &arg[0]};
        serve::ServeOptions o;
        testing::internal::CaptureStderr();
        int status = serve::parse_serve_options("camctl serve", 2, argv, nullptr, &o);
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.auth) {
            EXPECT_EQ(status, -1) << err;
            EXPECT_EQ(o.server.auth, c.auth);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(o.server.auth, "");
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_EQ(err.find("s3cret"), std::string::npos) << err;
        }
        unlink(path.c_str());
    }
    unsetenv("CREDENTIALS_DIRECTORY");
    rmdir(dir.c_str());
}

// The encoder takes YUYV as planes: a wrong stride or sampling shows as a
// picture whose stamp no longer reads, or whose size is wrong.
TEST(ServeJpeg, EncodedYuyvFramesDecodeToTheSamePicture) {
    for (unsigned w : {320u, 326u}) {
        for (unsigned h : {240u, 243u}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            std::vector<uint8_t> yuyv(static_cast<size_t>(w) * h * 2);
            simcam::render_yuyv(w, h, 77, yuyv.data());
            std::vector<unsigned char> jpeg;
            ASSERT_TRUE(serve::encode_yuyv(yuyv.data(), w, h, 90, &jpeg));
            JpegHeader hd;
            ASSERT_TRUE(read_jpeg_header(jpeg.data(), jpeg.size(), &hd));
            EXPECT_EQ(hd.width, w);
            EXPECT_EQ(hd.height, h);
            std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
            ASSERT_EQ(Jpg2Rgb(jpeg.data(), static_cast<int>(jpeg.size()), rgb.data()), 0);
            EXPECT_EQ(simcam::read_stamp_rgb(rgb.data(), w, h), 77);
        }
    }
}

}  // namespace

// What an attacker sends: other sites' names in Host (DNS rebinding),
// ambiguous framing (request smuggling), bodies without end. Each framing
// case carries a second request where a server that misread the body would
// take it: it must get no answer.
TEST_F(Serve, HostileRequestsAreRefusedBeforeAnyRoute) {
    options_.allow_hosts = {"Cam.Example"};
    start();
    const std::string port = std::to_string(port_);
    const std::string smuggled = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    auto get_as = [](const std::string& path, const std::string& host) {
        return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    };
    const std::string post = "POST /api/controls HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJson;
    const std::string chunk = "5\r\n{\"a\":\r\n";
    struct Case {
        std::string request;
        int status;  // 0: the connection ends without an answer
    };
    const Case cases[] = {
        {get_as("/", "localhost"), 200},
        {get_as("/", "localhost:" + port), 200},
        {get_as("/", "LOCALHOST.:" + port), 200},
        {get_as("/", "127.0.0.1:" + port), 200},
        {get_as("/", "[::1]:" + port), 200},
        {get_as("/", "cam.example"), 200},
        {get_as("/", "evil.example:" + port), 403},
        {get_as("/snapshot", "evil.example:" + port), 403},
        {get_as("/stream", "evil.example"), 403},
        {get_as("/", "127.0.0.1.evil.example"), 403},
        {get_as("/", "localhost:80x"), 403},
        {get_as("/", "[::1"), 403},
        {"POST /api/controls HTTP/1.1\r\nHost: evil.example:" + port +
             "\r\nOrigin: http://evil.example:" + port + "\r\n" + kJson +
             "Content-Length: 31\r\n\r\n{\"name\":\"brightness\",\"value\":5}",
         403},
        {"GET /api/state HTTP/1.0\r\n\r\n", 200},
        {"GET /api/state HTTP/1.1\r\nConnection: close\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n", 400},
        {post + "Content-Length: 9\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, 400},
        {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
             smuggled,
         400},
        {post + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n" + smuggled, 400},
        {post + "Content-Length: 2\r\nContent-Length: 40\r\n\r\n{}" + smuggled, 400},
        {post + "Transfer-Encoding: xchunked\r\n\r\n0\r\n\r\n" + smuggled, 501},
        {post + "Content-Length: 5000\r\n\r\n" + smuggled, 413},
        // A chunked body past the limit, its end never sent.
        {post + "Transfer-Encoding: chunked\r\n\r\n" +
             [&] {
                 std::string body;
                 for (int i = 0; i < 1000; ++i) body += chunk;
                 return body;
             }(),
         0},
        // Within the limit, chunked: read and parsed.
        {post + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + chunk + "0\r\n\r\n",
         400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 160));
        auto begin = std::chrono::steady_clock::now();
        Response r = http_exchange(port_, c.request);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(r.rest, "");
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    }
    EXPECT_EQ(get("/api/state").status, 200);
}

// Sockets that send nothing or trickle a request byte by byte hold up no
// real client, and are closed when their request is not in after a few
// seconds.
TEST_F(Serve, IdleAndSlowSocketsStarveNobody) {
    start();
    constexpr int kEach = 200;
    std::vector<int> idle, slow;
    for (int i = 0; i < kEach; ++i) {
        idle.push_back(http_connect(port_));
        slow.push_back(http_connect(port_));
        ASSERT_GE(idle.back(), 0);
        ASSERT_GE(slow.back(), 0);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string line = "GET /api/state?" + std::string(1000, 'x');
        for (size_t at = 0; !done && at < line.size(); ++at) {
            for (int fd : slow) send(fd, &line[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    EXPECT_EQ(get("/").status, 200);
    auto begin = std::chrono::steady_clock::now();
    Response snap = get("/snapshot");
    EXPECT_EQ(snap.status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    StreamReader s;
    std::map<std::string, std::string> h;
    std::string jpeg, why;
    ASSERT_TRUE(first_part(&s, &h, &jpeg, &why)) << why;
    const uint64_t captured = simcam::frames_delivered(kNode);
    int parts = 0;
    begin = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(2)) {
        ASSERT_TRUE(s.next(&h, &jpeg, &why)) << why;
        ++parts;
    }
    // Half the camera's rate leaves room for a loaded machine.
    EXPECT_GE(parts, static_cast<int>((simcam::frames_delivered(kNode) - captured) / 2));

    // Past the deadline the server has closed both kinds.
    done = true;
    trickle.join();
    int closed = 0;
    for (const std::vector<int>* fds : {&idle, &slow}) {
        for (int fd : *fds) {
            timeval tv = {8, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char c;
            ssize_t n = recv(fd, &c, 1, 0);
            closed += n == 0 || (n < 0 && errno != EAGAIN);
        }
    }
    EXPECT_EQ(closed, 2 * kEach);
    for (int fd : idle) close(fd);
    for (int fd : slow) close(fd);
    EXPECT_TRUE(s.next(&h, &jpeg, &why)) << why;  // the stream is not held to the deadline
}

// The frames ffprobe counts in a file; -1 without ffprobe.
long probed_frames(const std::string& path) {
    const std::string cmd =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char line[64] = "";
    const bool read = fgets(line, sizeof line, p) != nullptr;
    return pclose(p) == 0 && read ? atol(line) : -1;
}

TEST_F(Serve, RecordingsAreMadeListedAndDownloadedOnRequest) {
#if !defined(CAMCTL_RECORD)
    // Built without libavformat (the cross builds): the routes say so.
    start();
    EXPECT_EQ(post("/api/record", R"({"action":"start"})").status, 501);
    GTEST_SKIP() << "this build cannot record";
#endif
    start();  // without --record-dir
    Response off = post("/api/record", R"({"action":"start"})");
    EXPECT_EQ(off.status, 409);
    EXPECT_NE(off.body.find("--record-dir"), std::string::npos) << off.body;
    EXPECT_EQ(get("/api/recordings").status, 409);
    stop();

    char folder[] = "/tmp/serve_test_rec.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::ofstream(dir + "/.hidden.mkv") << "secret";
    options_.record_dir = dir;
    rest_after_ms_ = 200;  // a recording must keep the camera going all the same
    start();
    struct Case {
        const char* method;
        std::string path;
        std::string body;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {"POST", "/api/record", R"({"action":"pause"})", 400, R"(\"action\" must be)"},
        {"POST", "/api/record", R"({"cam":2,"action":"start"})", 400, "cam must be 0 or 1"},
        {"POST", "/api/record", R"({"action":"start","pre":-1})", 400, R"(\"pre\": seconds)"},
        {"POST", "/api/record", R"({"action":"start","segment":0.5})", 400,
         R"(\"segment\": at least 1)"},
        {"POST", "/api/record", R"({"cam":1,"action":"start"})", 404, "no camera 1"},
        {"POST", "/api/record", R"({"action":"stop"})", 409, "is not recording"},
        {"GET", "/recordings/..%2F..%2Fetc%2Fpasswd", "", 404, "no such recording"},
        {"GET", "/recordings/.hidden.mkv", "", 404, "no such recording"},
        {"GET", "/recordings/cam0-none.mkv", "", 404, "no such recording"},
        {"POST", "/recordings/x.mkv", "{}", 405, "use GET"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + (" " + c.path) + " " + c.body);
        Response r =
            http_exchange(port_, request(c.method, c.path, c.body.empty() ? "" : kJson, c.body));
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.body.find(c.reason), std::string::npos) << r.body;
    }
    EXPECT_FALSE(state_says(R"("active":true)"));

    ASSERT_EQ(post("/api/record", R"({"action":"start"})").status, 200);
    EXPECT_EQ(post("/api/record", R"({"action":"start"})").status, 409);  // once at a time
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_TRUE(state_says(R"("capturing":true)"));
    EXPECT_NE(get("/metrics").body.find("camctl_recording{cam=\"0\"} 1"), std::string::npos);
    auto list = [&] { return nlohmann::json::parse(get("/api/recordings").body)["recordings"]; };
    nlohmann::json now = list();
    ASSERT_EQ(now.size(), 1u) << now;
    EXPECT_TRUE(now[0]["recording"].get<bool>());
    EXPECT_EQ(get("/recordings/" + now[0]["name"].get<std::string>()).status, 409);
    ASSERT_EQ(post("/api/record", R"({"action":"stop"})").status, 200);

    now = list();
    ASSERT_EQ(now.size(), 1u) << now;
    const nlohmann::json& file = now[0];
    const std::string name = file["name"];
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(cam0-\d{8}-\d{6}\.mkv)"))) << name;
    EXPECT_TRUE(file["complete"].get<bool>());
    EXPECT_FALSE(file["recording"].get<bool>());
    const long frames = file["frames"];
    EXPECT_GT(frames, 20);  // about a second at 30 fps
    EXPECT_GT(file["duration"].get<double>(), 0.5);
    Response got = get("/recordings/" + name);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.headers["content-type"], "video/x-matroska");
    EXPECT_EQ(got.body.size(), file["size"].get<size_t>());
    EXPECT_EQ(got.body.compare(0, 4, "\x1a\x45\xdf\xa3"), 0);
    std::ifstream disk(dir + "/" + name, std::ios::binary);
    EXPECT_EQ(got.body, std::string(std::istreambuf_iterator<char>(disk), {}));
    const long probed = probed_frames(dir + "/" + name);
    if (probed >= 0) {
        EXPECT_EQ(probed, frames);
    }

    // An unplug ends the file; after the replug the recording goes on in
    // another.
    ASSERT_EQ(post("/api/record", R"({"action":"start"})").status, 200);
    EXPECT_TRUE(eventually([&] { return !state_says(R"("frames":0,)"); }));
    testing::internal::CaptureStderr();
    simcam::unplug_after(kNode, 0);
    EXPECT_TRUE(eventually([&] { return state_says(R"("signal":false)"); }));
    simcam::replug(kNode);
    EXPECT_TRUE(eventually([&] { return list().size() == 3 && state_says(R"("signal":true)"); }));
    EXPECT_TRUE(eventually([&] { return !state_says(R"("frames":0,)"); }));
    ASSERT_EQ(post("/api/record", R"({"action":"stop"})").status, 200);
    testing::internal::GetCapturedStderr();
    now = list();
    ASSERT_EQ(now.size(), 3u) << now;
    for (const auto& f : now) {
        EXPECT_TRUE(f["complete"].get<bool>()) << f;
        EXPECT_GT(f["frames"].get<long>(), 0) << f;
        const long n = probed_frames(dir + "/" + f["name"].get<std::string>());
        if (n >= 0) {
            EXPECT_EQ(n, f["frames"].get<long>()) << f;
        }
    }
    // A long recording on a 32-bit board passes 4 GiB (a sparse file here).
    const std::string big = dir + "/long.mkv";
    std::ofstream(big).close();
    ASSERT_EQ(truncate64(big.c_str(), int64_t{5} << 30), 0);
    now = list();
    ASSERT_EQ(now.size(), 4u) << now;
    EXPECT_EQ(now[3]["size"].get<uint64_t>(), uint64_t{5} << 30) << now[3];
    stop();

    // A full disk ends the recording with a line and says so in the state
    // (a small tmpfs: root only).
    const std::string small = dir + "/small";
    mkdir(small.c_str(), 0700);
    if (system(("mount -t tmpfs -o size=200k tmpfs '" + small + "' 2>/dev/null").c_str()) == 0) {
        options_.record_dir = small;
        start();
        testing::internal::CaptureStderr();
        ASSERT_EQ(post("/api/record", R"({"action":"start"})").status, 200);
        EXPECT_TRUE(eventually([&] { return state_says("No space left on device"); }));
        EXPECT_TRUE(state_says(R"("recording":{"active":false,"error":)"));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(std::regex_search(
            log, std::regex(R"(\d\d:\d\d:\d\d: camera 0 \(/dev/video0\) stopped recording: .*)"
                            R"(cam0-.*\.mkv: No space left on device)")))
            << log;
        EXPECT_EQ(post("/api/record", R"({"action":"stop"})").status, 409);
        stop();
        EXPECT_EQ(system(("umount '" + small + "'").c_str()), 0);
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}
