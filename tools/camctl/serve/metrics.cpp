#include "metrics.h"

#include <stdint.h>

#include <string>

namespace serve {

namespace {

struct Metric {
    const char* name;
    const char* type;
    const char* help;
    uint64_t (*value)(const FeedStatus&);
};

const Metric kMetrics[] = {
    {"camctl_frames_total", "counter", "Frames captured from the camera.",
     [](const FeedStatus& s) { return s.frames; }},
    {"camctl_frames_damaged_total", "counter", "Frames skipped as damaged.",
     [](const FeedStatus& s) { return s.damaged; }},
    {"camctl_frames_dropped_total", "counter",
     "Frames the driver numbered but never delivered (no free buffer, capture late).",
     [](const FeedStatus& s) { return s.dropped; }},
    {"camctl_clients", "gauge", "Streams open now.",
     [](const FeedStatus& s) { return static_cast<uint64_t>(s.clients > 0 ? s.clients : 0); }},
    {"camctl_signal", "gauge", "1 while the camera delivers frames, 0 with no signal.",
     [](const FeedStatus& s) { return static_cast<uint64_t>(s.signal); }},
    {"camctl_capturing", "gauge", "1 while capturing, 0 while resting with nobody watching.",
     [](const FeedStatus& s) { return static_cast<uint64_t>(s.capturing); }},
    {"camctl_recording", "gauge", "1 while recording into --record-dir, else 0.",
     [](const FeedStatus& s) { return static_cast<uint64_t>(s.recording); }},
    {"camctl_sent_bytes_total", "counter", "Bytes of stream parts and snapshots sent.",
     [](const FeedStatus& s) { return s.bytes_sent; }},
};

}  // namespace

Reply get_metrics(Feed* const feeds[2]) {
    FeedStatus status[2];
    for (int cam = 0; cam < 2; ++cam)
        if (feeds[cam]) status[cam] = feed_status(feeds[cam]);
    Reply r;
    r.type = "text/plain; version=0.0.4; charset=utf-8";
    for (const Metric& m : kMetrics) {
        r.body += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " " +
                  m.type + "\n";
        for (int cam = 0; cam < 2; ++cam)
            if (feeds[cam])
                r.body += std::string(m.name) + "{cam=\"" + std::to_string(cam) + "\"} " +
                          std::to_string(m.value(status[cam])) + "\n";
    }
    return r;
}

}  // namespace serve
