// camctl snap: grab frames and write each as a picture file (BMP, JPEG,
// PNG or the raw frame, by the name's extension).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "atomic_file.h"
#include "capture_options.h"
#include "choose.h"
#include "commands.h"
#include "frame_source.h"
#include "name_pattern.h"
#include "picture_file.h"
#include "status.h"
#include "stop_signal.h"
#include "ui.h"

namespace {

const char kProg[] = "camctl snap";
const char kDefaultPattern[] = "frame-%03d.bmp";
// Larger frames than this are no camera's; it keeps the buffers sane on 32-bit.
constexpr uint64_t kMaxRgbBytes = uint64_t{1} << 29;

void usage(FILE* out) {
    fputs(
        "usage: camctl snap [-d DEVICE] [-f MJPG|YUY2] [-s WxH] [-r FPS] [-n N] [-o NAME]\n"
        "                   [--force] [--exact] [--slot 0|1] [--timeout SECONDS]\n"
        "                   [-q|--quiet] [-v|--verbose]\n"
        "\n"
        "Grabs N frames and writes each as a picture file of the type NAME's\n"
        "extension says. What is not given comes from the first camera in the\n"
        "catalogue: its first format, its largest frame size and the fastest rate\n"
        "of that size (without a catalogue: /dev/video0, MJPG, 640x480, 30 fps).\n"
        "\n"
        "  -d DEVICE          video device node\n"
        "  -f MJPG|YUY2       pixel format (also MJPEG, YUYV; any case)\n"
        "  -s WxH             frame size in pixels\n"
        "  -r FPS             frame rate to ask for\n"
        "  -n N               frames to write (default 1)\n"
        "  -o NAME            file name (default frame-%03d.bmp); for more than one\n"
        "                     frame a printf-style pattern with one integer conversion\n"
        "                     for the frame's number from 0; %t is the time\n"
        "                     (YYYYMMDD-HHMMSS), %% a literal %; the folder must exist\n"
        "  --force            replace existing files (they are kept by default)\n"
        "  --exact            stop if the camera does not give the format, size and\n"
        "                     rate asked for\n"
        "  --slot 0|1         capture slot to open the camera in (default 0)\n"
        "  --timeout SECONDS  longest wait for one frame (default 2)\n"
        "  -q, --quiet        print errors only\n"
        "  -v, --verbose      say what was chosen and name every file written\n"
        "\n"
        "File types by extension: .bmp (24-bit RGB), .jpg or .jpeg (MJPG frames as\n"
        "the camera sent them, with the standard Huffman tables added where they\n"
        "lack them; YUY2 frames encoded), .png (RGB), .raw (the frame's bytes as\n"
        "delivered), .mjpg (the same, MJPG frames only). Each file is written under\n"
        "a temporary name and renamed when complete: a failed write leaves nothing.\n"
        "\n"
        "Frames the driver flags as damaged, and MJPG frames that are cut off or do\n"
        "not decode, are skipped and counted. When the camera grants another format,\n"
        "size or rate than asked for, one line on stderr says so. On a terminal a\n"
        "progress line shows the frames so far and the rate. Ctrl-C stops after the\n"
        "file being written.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error (or a file not written),\n"
        "3 not what was asked for (--exact), 130 stopped by Ctrl-C.\n",
        out);
}

void summary(const FrameSource& src, unsigned saved, const std::string& first,
             const std::string& last) {
    if (ui::quiet() || saved == 0) return;
    const Capture& c = src.capture;
    printf("wrote %u frame%s (%s %ux%u from %s) to %s", saved, saved == 1 ? "" : "s",
           fourcc_text(c.fourcc).c_str(), c.width, c.height, c.device.c_str(), first.c_str());
    if (saved > 1) printf(" ... %s", last.c_str());
    if (src.damaged) printf("; skipped %u damaged", src.damaged);
    printf("\n");
}

// Says why the file was not written; returns the exit status.
int write_failed(const std::string& name) {
    if (errno == EEXIST)
        fprintf(stderr, "%s: %s exists (--force replaces it)\n", kProg, name.c_str());
    else
        fprintf(stderr, "%s: cannot write %s: %s\n", kProg, name.c_str(), strerror(errno));
    return kDeviceError;
}

// Before the camera is opened: the folder takes a file, and the first name
// is free unless --force. The time in a name may yet make it another one.
int check_first_name(const std::string& name, bool force) {
    if (!force && access(name.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return write_failed(name);
    }
    AtomicFile trial;
    if (!begin_atomic_file(name, &trial)) return write_failed(name);
    abandon_atomic_file(&trial);
    return -1;
}

}  // namespace

int cmd_snap(int argc, char** argv) {
    CaptureOptions o;
    int status = parse_capture_options(kProg, argc, argv, kSnapOptions, usage, &o);
    if (status >= 0) return status;
    const char* name = o.output ? o.output : kDefaultPattern;
    NamePattern pattern;
    std::string why;
    if (!parse_name_pattern(name, &pattern, &why, o.frames > 1)) {
        fprintf(stderr, "%s: bad file name pattern '%s': %s\n", kProg, name, why.c_str());
        return kUsage;
    }
    const PictureType* type = picture_type(name);
    if (!type) {
        fprintf(stderr, "%s: unknown file type '%s' (the name ends in %s)\n", kProg, name,
                picture_extensions().c_str());
        return kUsage;
    }
    status = check_first_name(format_name(pattern, 0, time(nullptr)), o.force);
    if (status >= 0) return status;

    const Capture wanted = choose_capture(kProg, o.device, o.fourcc, o.width, o.height, o.fps);
    FrameSource src;
    src.timeout_ms = o.timeout_ms;
    src.timeout_text = o.timeout_text;
    StopSignals stop_signals;
    if (!start_frames(kProg, wanted, static_cast<int>(o.slot), &src)) return kDeviceError;
    const Capture& c = src.capture;
    const uint64_t rgb_bytes = uint64_t{c.width} * c.height * 3;
    status = check_granted(kProg, o, c);
    const char* refused = picture_refuses(type, c.fourcc);
    if (status < 0 && refused) {
        fprintf(stderr, "%s: %s delivers %s: %s\n", kProg, c.device.c_str(),
                fourcc_text(c.fourcc).c_str(), refused);
        status = kDeviceError;
    } else if (status < 0 && (rgb_bytes == 0 || rgb_bytes > kMaxRgbBytes)) {
        fprintf(stderr, "%s: %s granted a frame size of %ux%u: %s\n", kProg, c.device.c_str(),
                c.width, c.height, strerror(EINVAL));
        status = kDeviceError;
    }
    if (status >= 0) {
        stop_frames(&src);
        return status;
    }

    PictureWork work;
    ui::Progress progress(kProg);
    unsigned saved = 0;
    std::string first, last;
    double started = 0;
    status = kOk;
    while (saved < o.frames) {
        Wait w = next_frame(&src);
        if (w != Wait::Frame) {
            progress.finish();
            status = report_wait(src, w);
            break;
        }
        const std::string file = format_name(pattern, saved, time(nullptr));
        const Saved result = save_picture(type, src, file, o.force, &work);
        if (result == Saved::Damaged) {
            reject_frame(&src);
            continue;
        }
        if (result == Saved::Failed) {
            progress.finish();
            status = write_failed(file);
            break;
        }
        last = file;
        if (saved++ == 0) {
            first = last;
            started = src.waiting_since;
        }
        ui::note("%s: frame %u written to %s", kProg, static_cast<unsigned>(src.sequence),
                 last.c_str());
        const double span = src.waiting_since - started;
        progress.update(saved, o.frames, saved > 1 && span > 0 ? (saved - 1) / span : 0,
                        src.damaged);
    }
    progress.finish();
    stop_frames(&src);
    summary(src, saved, first, last);
    return status;
}
