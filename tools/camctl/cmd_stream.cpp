// camctl stream: open a camera through camapi, receive a number of frames and
// report what arrived.
#include <limits.h>
#include <stdio.h>

#include "capture_options.h"
#include "choose.h"
#include "commands.h"
#include "frame_source.h"
#include "status.h"
#include "stop_signal.h"
#include "ui.h"

namespace {

const char kProg[] = "camctl stream";
constexpr unsigned kDefaultFrames = 60;

void usage(FILE* out) {
    fputs(
        "usage: camctl stream [-d DEVICE] [-f MJPG|YUY2] [-s WxH] [-r FPS] [-n FRAMES]\n"
        "                     [--duration SECONDS] [--exact] [--slot 0|1]\n"
        "                     [--timeout SECONDS] [-q|--quiet] [-v|--verbose]\n"
        "\n"
        "Streams FRAMES frames from DEVICE and reports frames received, bytes per\n"
        "frame, achieved frame rate (by the driver's timestamps), dropped frames (gaps\n"
        "in the driver's frame numbers) and damaged frames. What is not\n"
        "given comes from the first camera in the catalogue: its first format, its\n"
        "largest frame size and the fastest rate of that size (without a catalogue:\n"
        "/dev/video0, MJPG, 640x480, 30 fps).\n"
        "\n"
        "  -d DEVICE           video device node\n"
        "  -f MJPG|YUY2        pixel format (also MJPEG, YUYV; any case)\n"
        "  -s WxH              frame size in pixels\n"
        "  -r FPS              frame rate to ask for\n"
        "  -n FRAMES           frames to receive (default 60; no limit with --duration)\n"
        "  --duration SECONDS  stream this long at most\n"
        "  --exact             stop if the camera does not give the format, size and\n"
        "                      rate asked for\n"
        "  --slot 0|1          capture slot to open the camera in (default 0)\n"
        "  --timeout SECONDS   longest wait for one frame (default 2)\n"
        "  -q, --quiet         no progress line\n"
        "  -v, --verbose       say which camera and format were chosen\n"
        "\n"
        "Frames the driver flags as damaged, and MJPG frames that are cut off or do\n"
        "not start and end as a JPEG image of the granted size, count as damaged.\n"
        "When frames were damaged or dropped, the rate line also gives the rate the\n"
        "camera sent at, counting them. When the camera grants another format, size or\n"
        "rate than asked for, one line on stderr says so. On a terminal a progress\n"
        "line shows the frames so far and the rate. Ctrl-C, an unplugged camera or\n"
        "one that stops delivering end the run with the report of what was received.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error, 3 not what was asked\n"
        "for (--exact), 130 stopped by Ctrl-C.\n",
        out);
}

struct Stats {
    unsigned received = 0;
    unsigned long long bytes = 0;
    int min_bytes = 0;
    int max_bytes = 0;
    // The rate comes from the driver's timestamps, or from the host's clock
    // when a driver gives none.
    double first_time = 0;
    double last_time = 0;
    double first_host = 0;
    double last_host = 0;
    bool driver_clock = true;
    uint32_t last_sequence = 0;
    unsigned first_damaged = 0;
    unsigned last_damaged = 0;
    unsigned long long dropped = 0;
    // Some drivers do not report sequence numbers; gaps are then unknown.
    bool sequence_usable = true;

    // `damaged`: frames skipped as damaged so far; they fill sequence gaps
    // without being dropped.
    void add(int size, uint32_t sequence, unsigned damaged, double t, double host) {
        if (t <= 0) driver_clock = false;
        if (received == 0) {
            first_time = t;
            first_host = host;
            first_damaged = damaged;
            min_bytes = max_bytes = size;
        } else {
            if (sequence > last_sequence) {
                unsigned long long gap = sequence - last_sequence - 1;
                unsigned long long skipped = damaged - last_damaged;
                dropped += gap > skipped ? gap - skipped : 0;
            } else {
                sequence_usable = false;
            }
            if (size < min_bytes) min_bytes = size;
            if (size > max_bytes) max_bytes = size;
        }
        ++received;
        bytes += static_cast<unsigned long long>(size);
        last_time = t;
        last_host = host;
        last_sequence = sequence;
        last_damaged = damaged;
    }
    // Frames lost between the first and the last received one.
    unsigned long long lost() const { return dropped + (last_damaged - first_damaged); }
    // Frames a second over that span, counting `extra` frames beside those received.
    double fps(unsigned long long extra = 0) const {
        double span = driver_clock ? last_time - first_time : last_host - first_host;
        return received > 1 && span > 0 ? double(received - 1 + extra) / span : 0;
    }
};

void show_summary(const Stats& s, const FrameSource& src) {
    const Capture& c = src.capture;
    printf("frames received: %u\n", s.received);
    if (s.received == 0) {
        printf("damaged frames:  %u\n", src.damaged);
        return;
    }
    if (s.min_bytes == s.max_bytes)
        printf("bytes per frame: %d\n", s.min_bytes);
    else
        printf("bytes per frame: %llu average (%d to %d)\n", s.bytes / s.received, s.min_bytes,
               s.max_bytes);
    if (s.received > 1) {
        printf("frame rate:      %.2f fps (%s set)", s.fps(),
               rate_text(c.denominator, c.numerator).c_str());
        // The rate of the frames received falls short of the camera's by the
        // frames lost in between; the camera's own shows the two agree.
        if (s.sequence_usable && s.lost() > 0)
            printf("; with the %llu lost: %.2f fps", s.lost(), s.fps(s.lost()));
        printf("\n");
    } else {
        printf("frame rate:      n/a (one frame)\n");
    }
    if (s.sequence_usable)
        printf("dropped frames:  %llu\n", s.dropped);
    else
        printf("dropped frames:  unknown (the driver reports no sequence numbers)\n");
    printf("damaged frames:  %u\n", src.damaged);
}

}  // namespace

int cmd_stream(int argc, char** argv) {
    CaptureOptions o;
    o.frames = kDefaultFrames;
    int status = parse_capture_options(kProg, argc, argv, kStreamOptions, usage, &o);
    if (status >= 0) return status;
    if (!o.frames_given && o.duration_ms) o.frames = UINT_MAX;

    const Capture wanted = choose_capture(kProg, o.device, o.fourcc, o.width, o.height, o.fps);
    FrameSource src;
    src.timeout_ms = o.timeout_ms;
    src.timeout_text = o.timeout_text;
    StopSignals stop_signals;
    if (!start_frames(kProg, wanted, static_cast<int>(o.slot), &src)) return kDeviceError;
    status = check_granted(kProg, o, src.capture);
    if (status >= 0) {
        stop_frames(&src);
        return status;
    }
    if (o.duration_ms) src.deadline = src.waiting_since + o.duration_ms / 1000.0;

    Stats stats;
    ui::Progress progress(kProg);
    status = kOk;
    while (stats.received < o.frames) {
        Wait w = next_frame(&src);
        if (w != Wait::Frame) {
            progress.finish();
            status = report_wait(src, w);
            break;
        }
        stats.add(src.size, src.sequence, src.damaged, src.timestamp, src.waiting_since);
        progress.update(stats.received, o.frames == UINT_MAX ? 0 : o.frames, stats.fps(),
                        src.damaged);
    }
    progress.finish();
    stop_frames(&src);
    // Whatever ended the run, what was received is reported.
    if (stats.received > 0 || stop_signal()) show_summary(stats, src);
    return status;
}
