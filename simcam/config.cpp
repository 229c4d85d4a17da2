// The embedded default camera and the camera description file.
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <set>
#include <sstream>

#include "internal.h"

namespace simcam {

Camera default_camera() {
    Camera c;
    const std::vector<Interval> all = {{1, 30}, {1, 15}, {1, 5}};
    auto size = [](uint32_t w, uint32_t h, std::vector<Interval> iv) {
        FrameSize s;
        s.width = w;
        s.height = h;
        s.intervals = std::move(iv);
        return s;
    };
    Format mjpg;
    mjpg.fourcc = V4L2_PIX_FMT_MJPEG;
    mjpg.description = "Motion-JPEG";
    mjpg.sizes = {size(1920, 1080, all), size(1280, 720, all), size(640, 480, all)};
    Format yuyv;
    yuyv.fourcc = V4L2_PIX_FMT_YUYV;
    yuyv.description = "YUYV 4:2:2";
    // USB 2.0 carries uncompressed 720p only at a slow rate.
    yuyv.sizes = {size(640, 480, all), size(1280, 720, {{1, 5}})};
    c.formats = {mjpg, yuyv};
    return c;
}

namespace detail {
namespace {

bool parse_fourcc(const std::string& s, uint32_t* out) {
    if (s.size() != 4) return false;
    *out = v4l2_fourcc(s[0], s[1], s[2], s[3]);
    return true;
}

std::string default_description(uint32_t fourcc) {
    switch (fourcc) {
        case V4L2_PIX_FMT_MJPEG:
            return "Motion-JPEG";
        case V4L2_PIX_FMT_YUYV:
            return "YUYV 4:2:2";
        case V4L2_PIX_FMT_H264:
            return "H.264";
    }
    return "";
}

bool parse_wh(const std::string& s, uint32_t* w, uint32_t* h) {
    unsigned a, b;
    char x;
    std::istringstream in(s);
    if (!(in >> a >> x >> b) || (x != 'x' && x != 'X')) return false;
    *w = a;
    *h = b;
    return in.peek() == EOF;
}

bool parse_interval(const std::string& s, Interval* iv) {
    unsigned a, b;
    char slash;
    std::istringstream in(s);
    if (!(in >> a >> slash >> b) || slash != '/' || a == 0 || b == 0) return false;
    iv->numerator = a;
    iv->denominator = b;
    return in.peek() == EOF;
}

bool parse_bool(const std::string& s, bool* b) {
    if (s == "yes" || s == "true" || s == "on" || s == "1") return *b = true, true;
    if (s == "no" || s == "false" || s == "off" || s == "0") return *b = false, true;
    return false;
}

// Frame intervals: "N/D N/D ..." | "stepwise MIN MAX STEP" | "continuous MIN MAX".
bool parse_intervals(const std::vector<std::string>& t, size_t i, FrameSize* fs) {
    if (i >= t.size()) return false;
    if (t[i] == "stepwise" || t[i] == "continuous") {
        bool step = t[i] == "stepwise";
        if (t.size() != i + (step ? 4 : 3)) return false;
        fs->interval_kind = step ? RangeKind::Stepwise : RangeKind::Continuous;
        if (!parse_interval(t[i + 1], &fs->interval_min)) return false;
        if (!parse_interval(t[i + 2], &fs->interval_max)) return false;
        if (step) return parse_interval(t[i + 3], &fs->interval_step);
        return true;
    }
    for (; i < t.size(); ++i) {
        Interval iv;
        if (!parse_interval(t[i], &iv)) return false;
        fs->intervals.push_back(iv);
    }
    return true;
}

}  // namespace

bool valid_camera(const Camera& c, std::string* why) {
    auto fail = [&](const std::string& m) {
        if (why) *why = c.node + ": " + m;
        return false;
    };
    if (c.node.rfind("/dev/", 0) != 0) return fail("node must be under /dev/");
    if (!c.meta_node.empty() && (c.meta_node.rfind("/dev/", 0) != 0 || c.meta_node == c.node))
        return fail("bad metadata node");
    if (c.formats.empty()) return fail("no formats");
    std::set<uint32_t> seen;
    for (const Format& f : c.formats) {
        if (f.fourcc != V4L2_PIX_FMT_YUYV && f.fourcc != V4L2_PIX_FMT_MJPEG &&
            f.fourcc != V4L2_PIX_FMT_H264)
            return fail("unsupported format (YUYV, MJPG, H264 only)");
        if (!seen.insert(f.fourcc).second) return fail("format listed twice");
        if (f.sizes.empty()) return fail("format without sizes");
        if (f.size_kind != RangeKind::Discrete && (f.sizes.front().width > f.sizes.back().width ||
                                                   f.sizes.front().height > f.sizes.back().height ||
                                                   f.step_width == 0 || f.step_height == 0))
            return fail("bad size range");
        for (const FrameSize& s : f.sizes) {
            if (s.width == 0 || s.height == 0 || s.width % 2 || s.width > 8192 || s.height > 8192)
                return fail("bad frame size (even width, at most 8192x8192)");
            if (s.interval_kind == RangeKind::Discrete) {
                if (s.intervals.empty()) return fail("frame size without intervals");
                for (const Interval& i : s.intervals)
                    if (!i.numerator || !i.denominator) return fail("zero in an interval");
            } else if (!s.interval_min.numerator || !s.interval_min.denominator ||
                       !s.interval_max.numerator || !s.interval_max.denominator ||
                       uint64_t(s.interval_min.numerator) * s.interval_max.denominator >
                           uint64_t(s.interval_max.numerator) * s.interval_min.denominator) {
                return fail("bad interval range");
            }
        }
    }
    return true;
}

bool parse_config(const std::string& text, std::vector<Camera>* out, std::string* error) {
    std::vector<Camera> cams;
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    auto fail = [&](const std::string& m) {
        if (error) *error = "line " + std::to_string(lineno) + ": " + m;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineno;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream ls(line);
        std::vector<std::string> t;
        for (std::string w; ls >> w;) t.push_back(w);
        if (t.empty()) continue;
        const std::string& key = t[0];
        // Rest of the line as free text (card names contain spaces).
        std::string rest;
        size_t p = line.find(key) + key.size();
        p = line.find_first_not_of(" \t", p);
        if (p != std::string::npos) rest = line.substr(p, line.find_last_not_of(" \t\r") + 1 - p);
        if (key == "camera") {
            if (t.size() != 2) return fail("camera NODE");
            Camera c;
            c.node = t[1];
            c.meta_node.clear();
            c.formats.clear();
            cams.push_back(c);
            continue;
        }
        if (cams.empty()) return fail("'" + key + "' before the first 'camera'");
        Camera& c = cams.back();
        bool b;
        if (key == "meta") {
            if (t.size() != 2) return fail("meta NODE|none");
            c.meta_node = t[1] == "none" ? "" : t[1];
        } else if (key == "card") {
            c.card = rest;
        } else if (key == "bus_info") {
            c.bus_info = rest;
        } else if (key == "driver") {
            c.driver = rest;
        } else if (key == "usb_id") {
            size_t colon = t.size() == 2 ? t[1].find(':') : std::string::npos;
            if (colon != 4 || t[1].size() != 9 ||
                t[1].find_first_not_of("0123456789abcdefABCDEF:") != std::string::npos)
                return fail("usb_id VVVV:PPPP (hex)");
            c.usb_vendor = t[1].substr(0, 4);
            c.usb_product = t[1].substr(5);
        } else if (key == "manufacturer") {
            c.manufacturer = rest;
        } else if (key == "product") {
            c.product = rest;
        } else if (key == "serial") {
            c.serial = rest;
        } else if (key == "timeperframe" || key == "paced" || key == "still" ||
                   key == "mjpeg_huffman") {
            if (t.size() != 2 || !parse_bool(t[1], &b)) return fail(key + " yes|no");
            if (key == "timeperframe") c.timeperframe = b;
            if (key == "paced") c.paced = b;
            if (key == "still") c.still = b;
            if (key == "mjpeg_huffman") c.mjpeg_huffman = b;
        } else if (key == "format") {
            Format f;
            if (t.size() < 2 || !parse_fourcc(t[1], &f.fourcc)) return fail("format FOURCC [text]");
            size_t d = rest.find_first_of(" \t");
            f.description = d == std::string::npos ? default_description(f.fourcc)
                                                   : rest.substr(rest.find_first_not_of(" \t", d));
            c.formats.push_back(f);
        } else if (key == "size") {
            if (c.formats.empty()) return fail("size before format");
            Format& f = c.formats.back();
            if (f.size_kind != RangeKind::Discrete) return fail("size after sizes");
            FrameSize fs;
            if (t.size() < 3 || !parse_wh(t[1], &fs.width, &fs.height) ||
                !parse_intervals(t, 2, &fs))
                return fail("size WxH INTERVALS");
            f.sizes.push_back(fs);
        } else if (key == "sizes") {
            if (c.formats.empty()) return fail("sizes before format");
            Format& f = c.formats.back();
            if (!f.sizes.empty()) return fail("sizes in a format that has sizes");
            bool step = t.size() > 1 && t[1] == "stepwise";
            if (t.size() < 2 || (!step && t[1] != "continuous"))
                return fail("sizes stepwise|continuous ...");
            FrameSize lo, hi;
            size_t i = 2;
            if (t.size() < i + 3 || !parse_wh(t[i], &lo.width, &lo.height) ||
                !parse_wh(t[i + 1], &hi.width, &hi.height))
                return fail("sizes KIND MINxMIN MAXxMAX [STEPxSTEP] INTERVALS");
            i += 2;
            if (step && !parse_wh(t[i++], &f.step_width, &f.step_height))
                return fail("sizes stepwise needs STEPWxSTEPH");
            if (!parse_intervals(t, i, &lo)) return fail("bad intervals");
            // Every size of the range has the same intervals.
            uint32_t hw = hi.width, hh = hi.height;
            hi = lo;
            hi.width = hw;
            hi.height = hh;
            f.size_kind = step ? RangeKind::Stepwise : RangeKind::Continuous;
            f.sizes = {lo, hi};
        } else {
            return fail("unknown keyword '" + key + "'");
        }
    }
    std::set<std::string> nodes;
    for (const Camera& c : cams) {
        std::string why;
        if (!valid_camera(c, &why)) {
            if (error) *error = why;
            return false;
        }
        for (const std::string& n : {c.node, c.meta_node}) {
            if (n.empty()) continue;
            if (!nodes.insert(n).second) {
                if (error) *error = n + ": node used twice";
                return false;
            }
        }
    }
    *out = std::move(cams);
    return true;
}

bool load_file(const std::string& path, std::vector<Camera>* cams, std::string* error) {
    Busy busy;
    std::ifstream f(path);
    if (!f) {
        if (error) *error = path + ": cannot read";
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (!parse_config(ss.str(), cams, error)) {
        if (error) *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::vector<Camera> startup_cameras() {
    const char* path = getenv("SIMCAM_CONFIG");
    if (!path || !*path) return {default_camera()};
    std::vector<Camera> cams;
    std::string error;
    if (!load_file(path, &cams, &error)) {
        fprintf(stderr, "simcam: %s; no cameras\n", error.c_str());
        return {};
    }
    return cams;
}

}  // namespace detail

Format one_size_format(uint32_t fourcc, uint32_t width, uint32_t height, Interval interval) {
    FrameSize size;
    size.width = width;
    size.height = height;
    size.intervals = {interval};
    Format f;
    f.fourcc = fourcc;
    f.description = detail::default_description(fourcc);
    f.sizes = {size};
    return f;
}

}  // namespace simcam
