// camctl stream: open a camera through camapi, receive a number of frames and
// report what arrived.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "args.h"
#include "camapi.h"
#include "commands.h"

namespace {

constexpr int kOk = 0;
constexpr int kUsage = 1;
constexpr int kDeviceError = 2;

struct Options {
    const char* device = "/dev/video0";
    const char* format = "MJPG";
    uint32_t fourcc = V4L2_PIX_FMT_MJPEG;
    unsigned width = 640;
    unsigned height = 480;
    unsigned fps = 30;
    unsigned frames = 60;
    unsigned slot = 0;
    const char* timeout = "2";
    int timeout_ms = 2000;
};

void usage(FILE* out) {
    fputs(
        "usage: camctl stream [-d DEVICE] [-f MJPG|YUY2] [-s WxH] [-r FPS] [-n FRAMES]\n"
        "                     [--slot 0|1] [--timeout SECONDS]\n"
        "\n"
        "Streams FRAMES frames from DEVICE and reports frames received, bytes per\n"
        "frame, achieved frame rate and dropped frames.\n"
        "\n"
        "  -d DEVICE          video device node (default /dev/video0)\n"
        "  -f MJPG|YUY2       pixel format (default MJPG)\n"
        "  -s WxH             frame size in pixels (default 640x480)\n"
        "  -r FPS             frame rate to ask for (default 30)\n"
        "  -n FRAMES          frames to receive (default 60)\n"
        "  --slot 0|1         capture slot to open the camera in (default 0)\n"
        "  --timeout SECONDS  longest wait for one frame (default 2)\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

int bad_usage(const char* what, const char* value) {
    fprintf(stderr, "camctl stream: %s '%s'\n", what, value ? value : "");
    usage(stderr);
    return kUsage;
}

// Returns -1 to go on, or the exit status (help or a usage error).
int parse(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; ++i) {
        const char* opt = argv[i];
        if (!strcmp(opt, "-h") || !strcmp(opt, "--help")) {
            usage(stdout);
            return kOk;
        }
        bool known = !strcmp(opt, "-d") || !strcmp(opt, "-f") || !strcmp(opt, "-s") ||
                     !strcmp(opt, "-r") || !strcmp(opt, "-n") || !strcmp(opt, "--slot") ||
                     !strcmp(opt, "--timeout");
        if (!known) return bad_usage("unknown option", opt);
        if (i + 1 >= argc) return bad_usage("missing value after", opt);
        const char* v = argv[++i];
        bool ok = true;
        if (!strcmp(opt, "-d")) {
            ok = *v != '\0';
            o->device = v;
        } else if (!strcmp(opt, "-f")) {
            ok = parse_fourcc(v, &o->fourcc);
            o->format = v;
        } else if (!strcmp(opt, "-s")) {
            ok = parse_size(v, &o->width, &o->height);
        } else if (!strcmp(opt, "-r")) {
            ok = parse_uint(v, 1, 1000, &o->fps);
        } else if (!strcmp(opt, "-n")) {
            ok = parse_uint(v, 1, 1000000000, &o->frames);
        } else if (!strcmp(opt, "--slot")) {
            ok = parse_uint(v, 0, 1, &o->slot);
        } else {
            ok = parse_seconds(v, &o->timeout_ms);
            o->timeout = v;
        }
        if (!ok) {
            fprintf(stderr, "camctl stream: bad value for %s: '%s'\n", opt, v);
            usage(stderr);
            return kUsage;
        }
    }
    return -1;
}

// One line naming what failed, with the error's text.
int device_error(const char* what, const char* device, int err) {
    fprintf(stderr, "camctl stream: %s %s: %s\n", what, device, strerror(err));
    return kDeviceError;
}

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Stats {
    unsigned received = 0;
    unsigned long long bytes = 0;
    int min_bytes = 0;
    int max_bytes = 0;
    double first_time = 0;
    double last_time = 0;
    uint32_t last_sequence = 0;
    unsigned long long dropped = 0;
    // Some drivers do not report sequence numbers; gaps are then unknown.
    bool sequence_usable = true;

    void add(int size, uint32_t sequence, double t) {
        if (received == 0) {
            first_time = t;
            min_bytes = max_bytes = size;
        } else {
            if (sequence > last_sequence)
                dropped += sequence - last_sequence - 1;
            else
                sequence_usable = false;
            if (size < min_bytes) min_bytes = size;
            if (size > max_bytes) max_bytes = size;
        }
        ++received;
        bytes += static_cast<unsigned long long>(size);
        last_time = t;
        last_sequence = sequence;
    }
    double fps() const {
        double span = last_time - first_time;
        return received > 1 && span > 0 ? (received - 1) / span : 0;
    }
};

void show_progress(const Stats& s, const Options& o, int size) {
    fprintf(stderr, "\rframe %u/%u  %d bytes  %.1f fps  %llu dropped ", s.received, o.frames, size,
            s.fps(), s.sequence_usable ? s.dropped : 0ull);
    fflush(stderr);
}

// Ends the progress line so that what follows starts on a line of its own.
void end_progress(bool tty, const Stats& s) {
    if (tty && s.received) fputc('\n', stderr);
}

void show_summary(const Stats& s, const Options& o) {
    printf("frames received: %u\n", s.received);
    if (s.min_bytes == s.max_bytes)
        printf("bytes per frame: %d\n", s.min_bytes);
    else
        printf("bytes per frame: %llu average (%d to %d)\n", s.bytes / s.received, s.min_bytes,
               s.max_bytes);
    if (s.received > 1)
        printf("frame rate:      %.2f fps (%u asked)\n", s.fps(), o.fps);
    else
        printf("frame rate:      n/a (one frame)\n");
    if (s.sequence_usable)
        printf("dropped frames:  %llu\n", s.dropped);
    else
        printf("dropped frames:  unknown (the driver reports no sequence numbers)\n");
}

// Receives the frames; returns the exit status. The slot is open and streaming.
int receive(const Options& o, Stats* stats) {
    const int slot = static_cast<int>(o.slot);
    size_t capacity = 0;
    for (uint32_t len : g_mem_len[slot])
        if (len > capacity) capacity = len;
    std::vector<unsigned char> frame(capacity);
    const bool tty = isatty(STDERR_FILENO);

    double waiting_since = now_seconds();
    while (stats->received < o.frames) {
        // The timeout counts from the last frame, so wake-ups without a frame
        // cannot keep the wait alive.
        int left = o.timeout_ms - static_cast<int>((now_seconds() - waiting_since) * 1000);
        if (left <= 0) {
            end_progress(tty, *stats);
            return device_error("no frame within the timeout from", o.device, ETIMEDOUT);
        }
        struct pollfd p = {g_fd[slot], POLLIN, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            int err = errno;
            end_progress(tty, *stats);
            return device_error("cannot wait for frames from", o.device, err);
        }
        if (ready == 0) continue;

        int size = 0;
        if (cam_grabframe(slot, frame.data(), &size) != 0) {
            bool device_trouble = p.revents & (POLLERR | POLLHUP | POLLNVAL);
            // EAGAIN: no frame after all, or a corrupt one that was skipped.
            if (errno == EAGAIN && !device_trouble) continue;
            int err = errno == EAGAIN ? EIO : errno;
            end_progress(tty, *stats);
            return device_error("cannot grab a frame from", o.device, err);
        }
        waiting_since = now_seconds();
        stats->add(size, g_buf[slot].sequence, waiting_since);
        if (tty) show_progress(*stats, o, size);
    }
    end_progress(tty, *stats);
    return kOk;
}

}  // namespace

int cmd_stream(int argc, char** argv) {
    Options o;
    int status = parse(argc, argv, &o);
    if (status >= 0) return status;

    const int slot = static_cast<int>(o.slot);
    // The interval is numerator/denominator seconds, denominator first.
    if (cam_open(slot, o.device, o.fourcc, o.width, o.height, o.fps, 1) != 0) {
        int err = errno;
        fprintf(stderr, "camctl stream: cannot open %s as %s %ux%u at %u fps: %s\n", o.device,
                o.format, o.width, o.height, o.fps, strerror(err));
        return kDeviceError;
    }
    if (cam_play(slot) != 0) {
        status = device_error("cannot start streaming from", o.device, errno);
        cam_close(slot);
        return status;
    }

    Stats stats;
    status = receive(o, &stats);
    cam_stop(slot);
    cam_close(slot);
    if (status == kOk) show_summary(stats, o);
    return status;
}
