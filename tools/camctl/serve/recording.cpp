#include "recording.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#ifdef CAMCTL_RECORD
#include "jpeg_encode.h"
#include "file_name.h"
#include "recorder.h"
#include "values.h"
#endif

namespace serve {

using nlohmann::json;

#ifdef CAMCTL_RECORD

namespace {

// The file's name without the folder.
std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Plain names of video files in the folder: no path, nothing hidden.
bool plain_video_name(const std::string& name) {
    auto ends = [&](const char* ext) {
        size_t n = strlen(ext);
        return name.size() > n && !name.compare(name.size() - n, n, ext);
    };
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           (ends(".mkv") || ends(".avi"));
}

}  // namespace

struct Recording {
    std::mutex m;  // the capture thread holds it only to push
    std::unique_ptr<record::Recorder> rec;
    record::Options options;
    bool triggered = false;
    bool resume = false;                 // the camera went away while recording
    std::string pattern;                 // the files\' names
    unsigned again = 0;                  // recordings begun within a second of another
    std::string error;                   // why the last recording stopped by itself
    std::vector<record::FileInfo> done;  // finished files, this run
};

std::shared_ptr<Recording> make_recording() {
    return std::make_shared<Recording>();
}

namespace {

// Stops a recorder taken out of the feed (its writer may take a moment to
// write what is queued) and keeps what it finished.
void finish(Feed* f, std::unique_ptr<record::Recorder> rec) {
    if (!rec) return;
    rec->stop();
    std::vector<record::FileInfo> files = rec->files();
    Recording& r = *f->recording;
    std::lock_guard<std::mutex> lock(r.m);
    r.done.insert(r.done.end(), files.begin(), files.end());
}

bool begin(Feed* f, Recording& r, std::string* why) {
    r.options.fourcc = f->capture.fourcc;
    r.options.width = f->capture.width;
    r.options.height = f->capture.height;
    if (f->capture.numerator && f->capture.denominator) {
        r.options.interval_num = static_cast<int>(f->capture.numerator);
        r.options.interval_den = static_cast<int>(f->capture.denominator);
    }
    if (r.options.fourcc == V4L2_PIX_FMT_YUYV) r.options.encode = encode_yuyv;
    r.options.quality = f->quality;
    // A recording begun within the second another one did (a replug, a
    // quick stop and start) must not meet that one's file.
    record::FileNamePattern names;
    r.options.pattern = r.pattern;
    if (record::parse_file_name(r.pattern.c_str(), &names, why) &&
        access(record::file_name(names, 0, time(nullptr)).c_str(), F_OK) == 0)
        r.options.pattern.insert(r.pattern.size() - 4, "-" + std::to_string(++r.again));
    std::unique_ptr<record::Recorder> rec(new record::Recorder);
    if (!rec->start(r.options, why)) return false;
    if (r.triggered) rec->trigger();
    r.rec = std::move(rec);
    r.error.clear();
    return true;
}

}  // namespace

void record_frame(Feed* f, const FrameSource& src) {
    if (!f->recording_on.load(std::memory_order_relaxed)) return;
    Recording& r = *f->recording;
    std::unique_ptr<record::Recorder> failed;
    std::string why;
    {
        std::lock_guard<std::mutex> lock(r.m);
        if (!r.rec) return;
        record::Frame frame;
        frame.data = src.data.data();
        frame.size = static_cast<size_t>(src.size);
        frame.timestamp_us = llround(src.frame_time() * 1e6);
        frame.sequence = src.sequence;
        if (r.rec->push(frame) != record::Push::Stopped) return;
        // Only a write error stops it from within: the API takes it out first.
        const record::State s = r.rec->state();
        why = r.error = s.error_path + ": " + strerror(s.error);
        failed = std::move(r.rec);
        f->recording_on = false;
    }
    log_event(f, ("stopped recording: " + why).c_str());
    finish(f, std::move(failed));
}

void recording_unplugged(Feed* f) {
    Recording& r = *f->recording;
    std::unique_ptr<record::Recorder> rec;
    {
        std::lock_guard<std::mutex> lock(r.m);
        rec = std::move(r.rec);
        r.resume = rec != nullptr;
    }
    finish(f, std::move(rec));
}

void recording_replugged(Feed* f) {
    Recording& r = *f->recording;
    std::string why;
    {
        std::lock_guard<std::mutex> lock(r.m);
        if (!r.resume) return;
        r.resume = false;
        if (begin(f, r, &why)) return;
        r.error = why;
        f->recording_on = false;
    }
    log_event(f, ("cannot record again: " + why).c_str());
}

void end_recording(Feed* f) {
    Recording& r = *f->recording;
    std::unique_ptr<record::Recorder> rec;
    {
        std::lock_guard<std::mutex> lock(r.m);
        rec = std::move(r.rec);
        r.resume = false;
    }
    f->recording_on = false;
    finish(f, std::move(rec));
}

Reply post_record(Feed* const feeds[2], const std::string& dir, const std::string& body) {
    json j;
    std::string why;
    RecordRequest req;
    if (!parse_object(body, &j, &why) || !record_request(j, &req, &why))
        return error_reply(400, why);
    if (dir.empty())
        return error_reply(409, "recording is off; start camctl serve with --record-dir DIR");
    Feed* f = feeds[req.cam];
    if (!f) return error_reply(404, "no camera " + std::to_string(req.cam) + " is served");
    Recording& r = *f->recording;
    std::unique_ptr<record::Recorder> stopped;
    {
        std::lock_guard<std::mutex> lock(r.m);
        const bool busy = r.rec || r.resume;
        if (req.action == RecordAction::Start) {
            if (busy)
                return error_reply(409, "camera " + std::to_string(req.cam) +
                                            " is recording already; stop it first");
            std::string escaped;  // the folder's own % signs are no conversions
            for (char c : dir) escaped += c == '%' ? "%%" : std::string(1, c);
            r.options = record::Options();
            r.pattern = escaped + "/cam" + std::to_string(req.cam) + "-%Y%m%d-%H%M%S.mkv";
            r.options.pre_us = llround(req.pre * 1e6);
            r.options.segment_us = llround(req.segment * 1e6);
            // The held seconds at a generous size per frame, beside the
            // writer's own margin.
            const double frame = static_cast<double>(f->capture.width) * f->capture.height *
                                 (f->capture.fourcc == V4L2_PIX_FMT_YUYV ? 2 : 0.5);
            const double fps = f->capture.numerator ? static_cast<double>(f->capture.denominator) /
                                                          f->capture.numerator
                                                    : 30;
            r.options.queue_bytes +=
                static_cast<size_t>(std::min(req.pre * fps * frame, 512.0 * 1024 * 1024));
            r.triggered = req.pre == 0;
            if (!begin(f, r, &why)) return error_reply(500, "cannot record: " + why);
            f->recording_on = true;
        } else if (!busy) {
            return error_reply(409, "camera " + std::to_string(req.cam) + " is not recording");
        } else if (req.action == RecordAction::Trigger) {
            r.triggered = true;
            if (r.rec) r.rec->trigger();
        } else {
            stopped = std::move(r.rec);
            r.resume = false;
            f->recording_on = false;
        }
    }
    wake_feed(f);
    finish(f, std::move(stopped));
    return json_reply(json{{"cam", req.cam}, {"recording", recording_state(f)}});
}

json recording_state(Feed* f) {
    Recording& r = *f->recording;
    std::lock_guard<std::mutex> lock(r.m);
    json j = {{"active", r.rec != nullptr || r.resume}};
    if (r.rec) {
        const record::State s = r.rec->state();
        j["triggered"] = s.recording;
        j["file"] = base_name(s.current_path);
        j["frames"] = s.frames;
        j["dropped"] = s.dropped;
    }
    if (!r.error.empty()) j["error"] = r.error;
    return j;
}

Reply get_recordings(Feed* const feeds[2], const std::string& dir) {
    if (dir.empty())
        return error_reply(409, "recording is off; start camctl serve with --record-dir DIR");
    // What this run knows of its files; others are listed by size only.
    std::map<std::string, record::FileInfo> known;
    std::map<std::string, int> current;
    for (int cam = 0; cam < 2; ++cam) {
        if (!feeds[cam]) continue;
        Recording& r = *feeds[cam]->recording;
        std::lock_guard<std::mutex> lock(r.m);
        std::vector<record::FileInfo> files = r.done;
        if (r.rec) {
            std::vector<record::FileInfo> more = r.rec->files();
            files.insert(files.end(), more.begin(), more.end());
            const std::string now = r.rec->state().current_path;
            if (!now.empty()) current[base_name(now)] = cam;
        }
        for (const record::FileInfo& i : files) known[base_name(i.path)] = i;
    }
    std::vector<std::string> names;
    // readdir ends with NULL on an error too: errno tells the two apart.
    DIR* d = opendir(dir.c_str());
    if (!d) return error_reply(500, "cannot read " + dir + ": " + strerror(errno));
    errno = 0;
    while (dirent* e = readdir(d))
        if (plain_video_name(e->d_name)) names.push_back(e->d_name);
    const int err = errno;
    closedir(d);
    if (err) return error_reply(500, "cannot read " + dir + ": " + strerror(err));
    std::sort(names.begin(), names.end());
    json list = json::array();
    for (const std::string& name : names) {
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        json j = {{"name", name},
                  {"size", static_cast<uint64_t>(st.st_size)},
                  {"recording", current.count(name) > 0}};
        auto it = known.find(name);
        if (it != known.end()) {
            j["frames"] = it->second.frames;
            j["duration"] = static_cast<double>(it->second.duration_us) / 1e6;
            j["complete"] = it->second.complete;
        }
        list.push_back(j);
    }
    return json_reply(json{{"recordings", list}});
}

int open_recording(Feed* const feeds[2], const std::string& dir, const char* name, uint64_t* size,
                   const char** type, Reply* r) {
    if (dir.empty()) {
        *r = error_reply(409, "recording is off; start camctl serve with --record-dir DIR");
        return -1;
    }
    if (!plain_video_name(name)) {
        *r = error_reply(404, "no such recording");
        return -1;
    }
    for (int cam = 0; cam < 2; ++cam) {
        if (!feeds[cam]) continue;
        Recording& rc = *feeds[cam]->recording;
        std::lock_guard<std::mutex> lock(rc.m);
        if (rc.rec && base_name(rc.rec->state().current_path) == name) {
            *r = error_reply(409, "that file is still being recorded; stop the recording first");
            return -1;
        }
    }
    int fd = open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        *r = error_reply(404, "no such recording");
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    const std::string n = name;
    *type = n.compare(n.size() - 4, 4, ".avi") ? "video/x-matroska" : "video/x-msvideo";
    return fd;
}

#else  // a build without the recorder

struct Recording {};

std::shared_ptr<Recording> make_recording() {
    return std::make_shared<Recording>();
}
void record_frame(Feed*, const FrameSource&) {}
void recording_unplugged(Feed*) {}
void recording_replugged(Feed*) {}
void end_recording(Feed*) {}

Reply post_record(Feed* const[2], const std::string&, const std::string&) {
    return error_reply(501, "this build of camctl cannot record");
}
Reply get_recordings(Feed* const[2], const std::string&) {
    return error_reply(501, "this build of camctl cannot record");
}
json recording_state(Feed*) {
    return json{{"active", false}};
}
int open_recording(Feed* const[2], const std::string&, const char*, uint64_t*, const char**,
                   Reply* r) {
    *r = error_reply(501, "this build of camctl cannot record");
    return -1;
}

#endif

}  // namespace serve
