// camctl record: frames from a camera into video files, as they came (MJPG)
// or raw or JPEG-compressed (YUYV), in segments, as a time-lapse, or from a
// few seconds before a trigger.
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "args.h"
#include "camapi.h"
#include "capture_options.h"
#include "choose.h"
#include "commands.h"
#include "file_name.h"
#include "frame_source.h"
#include "recorder.h"
#include "serve/jpeg_encode.h"
#include "status.h"
#include "ui.h"

namespace {

const char kProg[] = "camctl record";
constexpr int kInterrupted = 130;  // 128 + SIGINT, as a shell reports it
constexpr int kJpegQuality = 80;

void usage(FILE* out) {
    fputs(
        "usage: camctl record [-d DEVICE] [-f MJPG|YUY2] [-s WxH] [-r FPS] -o NAME\n"
        "                     [--duration SECONDS | -n FRAMES] [--segment SECONDS]\n"
        "                     [--interval SECONDS] [--pre SECONDS] [--encode]\n"
        "                     [--force] [--exact] [--slot 0|1] [--timeout SECONDS]\n"
        "                     [-q|--quiet] [-v|--verbose]\n"
        "\n"
        "Records frames into a Matroska file (NAME.mkv; NAME.avi for AVI): MJPG\n"
        "frames as the camera compressed them, YUYV frames raw, or as JPEG with\n"
        "--encode. Each frame keeps the driver's timestamp: a frame the camera\n"
        "dropped is a gap, not a shift. Runs until the limit, Ctrl-C or SIGTERM,\n"
        "and finishes the file in each case. What is not given comes from the\n"
        "first camera in the catalogue, as for camctl stream.\n"
        "\n"
        "  -d DEVICE             video device node\n"
        "  -f MJPG|YUY2          pixel format\n"
        "  -s WxH                frame size in pixels\n"
        "  -r FPS                frame rate to ask for\n"
        "  -o NAME               file name; %Y %m %d %H %M %S %j %y are the date and\n"
        "                        time the file begins, %N (or %03N) its number from\n"
        "                        0, %% a literal %\n"
        "  --duration SECONDS    record so long (by the driver's clock)\n"
        "  -n FRAMES             record so many frames\n"
        "  --segment SECONDS     a new file every SECONDS, between two frames\n"
        "  --interval SECONDS    time-lapse: one frame every SECONDS, played back\n"
        "                        at the camera's rate\n"
        "  --pre SECONDS         hold the last SECONDS in memory and record, from\n"
        "                        them on, when SIGUSR1 comes\n"
        "  --encode              store YUY2 frames as JPEG (quality 80)\n"
        "  --force               replace files that exist (kept by default)\n"
        "  --exact               stop if the camera does not give the format, size and\n"
        "                        rate asked for (else one line says what it gives)\n"
        "  --slot 0|1            capture slot to open the camera in (default 0)\n"
        "  --timeout SECONDS     longest wait for one frame (default 2)\n"
        "  -q, --quiet           no progress line\n"
        "  -v, --verbose         say what was chosen and name each file written\n"
        "\n"
        "A crash or power cut loses at most the last second of the file. On a\n"
        "terminal a progress line shows the time, frames, size and free space; the\n"
        "end reports what arrived as camctl stream does, and what was written.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error (or a file not\n"
        "written), 3 not what was asked for (--exact), 4 the disk was full (the\n"
        "files hold what fitted), 130 after Ctrl-C.\n",
        out);
}

struct RecordArgs {
    int duration_ms = 0;
    int segment_ms = 0;
    int interval_ms = 0;
    int pre_ms = 0;
    bool encode = false;
};

const struct {
    const char* name;
    int RecordArgs::*ms;
} kSecondsOptions[] = {
    {"--duration", &RecordArgs::duration_ms},
    {"--segment", &RecordArgs::segment_ms},
    {"--interval", &RecordArgs::interval_ms},
    {"--pre", &RecordArgs::pre_ms},
};

// Takes record's own options out of argv (compacting it) for the capture
// options' parser. Returns -1 to go on, or the exit status.
int take_record_options(int* argc, char** argv, RecordArgs* r) {
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        const char* opt = argv[i];
        if (!strcmp(opt, "--encode")) {
            r->encode = true;
            continue;
        }
        int RecordArgs::*field = nullptr;
        for (const auto& o : kSecondsOptions)
            if (!strcmp(opt, o.name)) field = o.ms;
        if (!field) {
            argv[kept++] = argv[i];
            // Values of the capture options may look like anything.
            if (opt[0] == '-' && strcmp(opt, "--encode") && i + 1 < *argc && strcmp(opt, "-h") &&
                strcmp(opt, "--help"))
                argv[kept++] = argv[++i];
            continue;
        }
        if (i + 1 >= *argc) {
            fprintf(stderr, "%s: missing value after '%s' (see %s --help)\n", kProg, opt, kProg);
            return kUsage;
        }
        if (!parse_seconds(argv[++i], &(r->*field))) {
            fprintf(stderr, "%s: bad value for %s: '%s' (see %s --help)\n", kProg, opt, argv[i],
                    kProg);
            return kUsage;
        }
    }
    *argc = kept;
    return -1;
}

volatile sig_atomic_t g_stop_signal = 0;
volatile sig_atomic_t g_triggered = 0;

void on_stop(int sig) {
    g_stop_signal = sig;
}
void on_trigger(int) {
    g_triggered = 1;
}

// The signals of a run, and the dispositions they had before it.
class Signals {
  public:
    Signals() {
        g_stop_signal = 0;
        g_triggered = 0;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_stop;
        sigaction(SIGINT, &sa, &old_[0]);
        sigaction(SIGTERM, &sa, &old_[1]);
        sa.sa_handler = on_trigger;
        sigaction(SIGUSR1, &sa, &old_[2]);
    }
    ~Signals() {
        sigaction(SIGINT, &old_[0], nullptr);
        sigaction(SIGTERM, &old_[1], nullptr);
        sigaction(SIGUSR1, &old_[2], nullptr);
    }

  private:
    struct sigaction old_[3];
};

// What arrived from the camera, for the closing lines.
struct Arrivals {
    unsigned received = 0;
    double first = 0, last = 0;
    uint32_t last_sequence = 0;
    unsigned last_flagged = 0;
    unsigned long long dropped = 0;

    void add(const FrameSource& src, double t) {
        if (received == 0) {
            first = t;
        } else if (src.sequence > last_sequence) {
            unsigned long long gap = src.sequence - last_sequence - 1;
            unsigned long long flagged = src.flagged - last_flagged;
            dropped += gap > flagged ? gap - flagged : 0;
        }
        ++received;
        last = t;
        last_sequence = src.sequence;
        last_flagged = src.flagged;
    }
};

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string size_text(unsigned long long bytes) {
    char text[32];
    if (bytes >= (1ull << 30))
        snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
    else
        snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1ull << 20));
    return text;
}

// One line on a terminal, rewritten twice a second.
class Progress {
  public:
    explicit Progress(const std::string& folder)
        : folder_(folder), enabled_(ui::level() == ui::Level::Normal && isatty(STDERR_FILENO)) {}
    ~Progress() { finish(); }
    void update(const record::Recorder& rec, double seconds, double now) {
        if (!enabled_ || now - last_ < 0.5) return;
        last_ = now;
        const record::State s = rec.state();
        struct statvfs fs;
        std::string free_text = "?";
        if (statvfs(folder_.c_str(), &fs) == 0)
            free_text = size_text(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize);
        if (!s.recording)
            fprintf(stderr, "\r%s: holding %.1f s, waiting for SIGUSR1  %s free", kProg, seconds,
                    free_text.c_str());
        else
            fprintf(stderr, "\r%s: %d:%02d  %u frames  %s  %s free", kProg,
                    static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60, s.frames,
                    size_text(s.bytes).c_str(), free_text.c_str());
        if (s.dropped) fprintf(stderr, "  %u lost", s.dropped);
        fputs("\033[K", stderr);
        fflush(stderr);
        shown_ = true;
    }
    void finish() {
        if (shown_) fputc('\n', stderr);
        shown_ = false;
    }

  private:
    std::string folder_;
    bool enabled_;
    bool shown_ = false;
    double last_ = 0;
};

void show_summary(const Arrivals& a, const FrameSource& src, const record::Recorder& rec) {
    const Capture& c = src.capture;
    const record::State s = rec.state();
    printf("frames received: %u\n", a.received);
    if (a.received > 1 && a.last > a.first)
        printf("frame rate:      %.2f fps (%s set)\n", (a.received - 1) / (a.last - a.first),
               rate_text(c.denominator, c.numerator).c_str());
    printf("dropped frames:  %llu\n", a.dropped);
    printf("damaged frames:  %u\n", src.damaged);
    printf("frames written:  %u (%u file%s, %llu bytes)\n", s.frames, s.files,
           s.files == 1 ? "" : "s", static_cast<unsigned long long>(s.bytes));
    if (s.dropped) printf("lost in queue:   %u (the disk did not keep up)\n", s.dropped);
    for (const record::FileInfo& f : rec.files())
        ui::note("%s: %s: %u frames, %.3f s, %llu bytes%s", kProg, f.path.c_str(), f.frames,
                 static_cast<double>(f.duration_us) / 1e6, static_cast<unsigned long long>(f.bytes),
                 f.complete ? "" : " (cut short)");
}

bool check_name(const char* name) {
    const std::string n = name ? name : "";
    for (const char* ext : {".mkv", ".avi"})
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ext) == 0) return true;
    return false;
}

}  // namespace

int cmd_record(int argc, char** argv) {
    RecordArgs ra;
    int status = take_record_options(&argc, argv, &ra);
    if (status >= 0) return status;
    CaptureOptions o;
    o.frames = 0;  // no limit unless -n
    status = parse_capture_options(kProg, argc, argv, kSnapOptions, usage, &o);
    if (status >= 0) return status;
    const char* problem = nullptr;
    if (!o.output)
        problem = "-o NAME is required";
    else if (!check_name(o.output))
        problem = "NAME must end in .mkv or .avi";
    else if (o.frames && ra.duration_ms)
        problem = "give --duration or -n, not both";
    if (problem) {
        fprintf(stderr, "%s: %s (see %s --help)\n", kProg, problem, kProg);
        return kUsage;
    }
    // As snap does: a file already there is kept unless --force, and that is
    // said before the camera is opened (later names are refused as they come).
    record::FileNamePattern first;
    std::string bad_pattern;  // said when the recorder takes the pattern
    if (!o.force && record::parse_file_name(o.output, &first, &bad_pattern)) {
        const std::string name = record::file_name(first, 0, time(nullptr));
        if (access(name.c_str(), F_OK) == 0) {
            fprintf(stderr, "%s: %s exists (--force replaces it)\n", kProg, name.c_str());
            return kDeviceError;
        }
    }

    // From here on, a trigger or a stop that comes early is not fatal.
    Signals signals;
    const Capture wanted = choose_capture(kProg, o.device, o.fourcc, o.width, o.height, o.fps);
    FrameSource src;
    src.timeout_ms = o.timeout_ms;
    src.timeout_text = o.timeout_text;
    if (!start_frames(kProg, wanted, static_cast<int>(o.slot), &src)) return kDeviceError;
    status = check_granted(kProg, o, src.capture);
    if (status >= 0) {
        stop_frames(&src);
        return status;
    }
    const Capture& c = src.capture;

    record::Options ro;
    ro.pattern = o.output;
    ro.fourcc = c.fourcc;
    ro.width = c.width;
    ro.height = c.height;
    if (c.denominator && c.numerator) {
        ro.interval_num = static_cast<int>(c.numerator);
        ro.interval_den = static_cast<int>(c.denominator);
    }
    if (ra.encode && c.fourcc == V4L2_PIX_FMT_YUYV) ro.encode = serve::encode_yuyv;
    ro.quality = kJpegQuality;
    ro.segment_us = int64_t{ra.segment_ms} * 1000;
    ro.lapse_us = int64_t{ra.interval_ms} * 1000;
    ro.pre_us = int64_t{ra.pre_ms} * 1000;
    ro.replace = o.force;
    if (ra.pre_ms) {
        // Room for the held seconds at a generous size per frame, on top of
        // the writer's own margin; at most 1 GiB, which a 32-bit board can spare.
        const double fps = static_cast<double>(ro.interval_den) / ro.interval_num;
        const double frame =
            static_cast<double>(c.width) * c.height * (c.fourcc == V4L2_PIX_FMT_YUYV ? 2 : 0.5);
        const double want = ra.pre_ms / 1000.0 * fps * frame + static_cast<double>(ro.queue_bytes);
        ro.queue_bytes = static_cast<size_t>(std::min(want, 1024.0 * 1024 * 1024));
    }
    const int64_t frame_us = int64_t{1000000} * ro.interval_num / ro.interval_den;
    record::Recorder rec;
    std::string why;
    if (!rec.start(ro, &why)) {
        fprintf(stderr, "%s: cannot record %s %ux%u into %s: %s\n", kProg,
                fourcc_text(c.fourcc).c_str(), c.width, c.height, o.output, why.c_str());
        stop_frames(&src);
        return why.find("is not one of") != std::string::npos ? kUsage : kDeviceError;
    }
    ui::note("%s: recording %s %ux%u at %s into %s%s", kProg, fourcc_text(c.fourcc).c_str(),
             c.width, c.height, rate_text(c.denominator, c.numerator).c_str(), o.output,
             ra.pre_ms ? " once SIGUSR1 comes" : "");

    Arrivals arrivals;
    Progress progress(folder_of(o.output));
    bool started = false;  // the trigger came (or none was awaited)
    int64_t start_us = 0;
    unsigned recorded = 0;
    status = kOk;
    for (;;) {
        if (g_stop_signal) break;
        Wait w = next_frame(&src);
        if (w != Wait::Frame) {
            progress.finish();
            status = report_wait(src, w);
            break;
        }
        const double t = src.frame_time();
        const int64_t t_us = llround(t * 1e6);
        if (!started && (!ra.pre_ms || g_triggered)) {
            started = true;
            start_us = t_us;
            rec.trigger();
        }
        // The frame nearest the end (driver times carry rounding) is the first not recorded.
        if (started && ra.duration_ms &&
            t_us - start_us + frame_us / 2 >= int64_t{ra.duration_ms} * 1000)
            break;
        arrivals.add(src, t);
        record::Frame f;
        f.data = src.data.data();
        f.size = static_cast<size_t>(src.size);
        f.timestamp_us = t_us;
        f.sequence = src.sequence;
        const record::Push r = rec.push(f);
        if (r == record::Push::Stopped) break;
        if (r == record::Push::Queued || r == record::Push::Dropped) ++recorded;
        if (o.frames && recorded >= o.frames) break;
        progress.update(rec, started ? (t - static_cast<double>(start_us) / 1e6) : ra.pre_ms / 1e3,
                        src.waiting_since);
    }
    progress.finish();
    stop_frames(&src);
    rec.stop();
    const record::State s = rec.state();
    if (s.error) {
        if (record::is_disk_full(s.error)) {
            fprintf(stderr, "%s: %s: %s: stopped after %u frames; the files hold what fitted\n",
                    kProg, s.error_path.c_str(), strerror(s.error), s.frames);
            status = kDiskFull;
        } else {
            fprintf(stderr, "%s: cannot write %s: %s\n", kProg, s.error_path.c_str(),
                    strerror(s.error));
            status = kDeviceError;
        }
    }
    show_summary(arrivals, src, rec);
    if (status == kOk && g_stop_signal == SIGINT) status = kInterrupted;
    return status;
}
