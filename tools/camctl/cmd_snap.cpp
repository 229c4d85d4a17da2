// camctl snap: grab frames, convert them to RGB and write them as BMP files.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "camapi.h"
#include "capture_options.h"
#include "choose.h"
#include "commands.h"
#include "frame_source.h"
#include "jpeg_header.h"
#include "name_pattern.h"
#include "status.h"
#include "ui.h"

namespace {

const char kProg[] = "camctl snap";
const char kDefaultPattern[] = "frame-%03d.bmp";
// Larger frames than this are no camera's; it keeps the RGB buffer sane on 32-bit.
constexpr uint64_t kMaxRgbBytes = uint64_t{1} << 29;

void usage(FILE* out) {
    fputs(
        "usage: camctl snap [-d DEVICE] [-f MJPG|YUY2] [-s WxH] [-r FPS] [-n N] [-o PATTERN]\n"
        "                   [--slot 0|1] [--timeout SECONDS] [-q|--quiet] [-v|--verbose]\n"
        "\n"
        "Grabs N frames, converts them to RGB and writes each as a 24-bit BMP file.\n"
        "What is not given comes from the first camera in the catalogue: its first\n"
        "format, its largest frame size and the fastest rate of that size (without\n"
        "a catalogue: /dev/video0, MJPG, 640x480, 30 fps).\n"
        "\n"
        "  -d DEVICE          video device node\n"
        "  -f MJPG|YUY2       pixel format\n"
        "  -s WxH             frame size in pixels\n"
        "  -r FPS             frame rate to ask for\n"
        "  -n N               frames to write (default 1)\n"
        "  -o PATTERN         file names, printf-style with one integer conversion\n"
        "                     for the frame's number from 0 (default frame-%03d.bmp;\n"
        "                     %% is a literal %); the folder must exist\n"
        "  --slot 0|1         capture slot to open the camera in (default 0)\n"
        "  --timeout SECONDS  longest wait for one frame (default 2)\n"
        "  -q, --quiet        print errors only\n"
        "  -v, --verbose      say what was chosen and name every file written\n"
        "\n"
        "Frames the driver flags as damaged, and MJPG frames that do not decode,\n"
        "are skipped and counted. On a terminal a progress line shows the frames\n"
        "so far and the rate.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error (or a file not written).\n",
        out);
}

// Converts the frame in src to RGB; false if it is damaged.
bool to_rgb(FrameSource* src, std::vector<unsigned char>* rgb) {
    const Capture& c = src->capture;
    if (c.fourcc == V4L2_PIX_FMT_YUYV) {
        if (uint64_t(src->size) < uint64_t{c.width} * c.height * 2) return false;
        Yuyv2Rgb(src->data.data(), static_cast<int>(c.width), static_cast<int>(c.height),
                 rgb->data());
        return true;
    }
    // The decoder writes what the frame's header says: only the size we
    // made room for, in colour, is let through.
    JpegHeader h;
    if (!read_jpeg_header(src->data.data(), static_cast<size_t>(src->size), &h) ||
        h.width != c.width || h.height != c.height || h.components != 3 ||
        !jpeg_is_complete(src->data.data(), static_cast<size_t>(src->size)))
        return false;
    return Jpg2Rgb(src->data.data(), src->size, rgb->data()) == 0;
}

// SaveBmp reports nothing, so the file is opened first for the reason it
// cannot be written, and checked afterwards for its full size.
bool write_bmp(const std::string& name, std::vector<unsigned char>* rgb, const Capture& c) {
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || close(fd) != 0) {
        fprintf(stderr, "%s: cannot write %s: %s\n", kProg, name.c_str(), strerror(errno));
        return false;
    }
    errno = 0;
    SaveBmp(rgb->data(), static_cast<int>(c.width), static_cast<int>(c.height),
            const_cast<char*>(name.c_str()));
    int err = errno ? errno : EIO;
    const uint64_t stride = (uint64_t{c.width} * 3 + 3) & ~uint64_t{3};
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || uint64_t(st.st_size) != 54 + stride * c.height) {
        fprintf(stderr, "%s: cannot write %s: %s\n", kProg, name.c_str(), strerror(err));
        return false;
    }
    return true;
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

}  // namespace

int cmd_snap(int argc, char** argv) {
    CaptureOptions o;
    int status = parse_capture_options(kProg, argc, argv, true, usage, &o);
    if (status >= 0) return status;
    NamePattern pattern;
    std::string why;
    if (!parse_name_pattern(o.output ? o.output : kDefaultPattern, &pattern, &why)) {
        fprintf(stderr, "%s: bad file name pattern '%s': %s\n", kProg,
                o.output ? o.output : kDefaultPattern, why.c_str());
        return kUsage;
    }

    const Capture wanted = choose_capture(kProg, o.device, o.fourcc, o.width, o.height, o.fps);
    FrameSource src;
    src.timeout_ms = o.timeout_ms;
    src.timeout_text = o.timeout_text;
    const int slot = static_cast<int>(o.slot);
    if (!start_frames(kProg, wanted, slot, &src)) return kDeviceError;
    const Capture& c = src.capture;
    const uint64_t rgb_bytes = uint64_t{c.width} * c.height * 3;
    if (c.fourcc != V4L2_PIX_FMT_MJPEG && c.fourcc != V4L2_PIX_FMT_YUYV) {
        fprintf(stderr, "%s: %s delivers %s, which camctl cannot convert: %s\n", kProg,
                c.device.c_str(), fourcc_text(c.fourcc).c_str(), strerror(EINVAL));
        status = kDeviceError;
    } else if (rgb_bytes == 0 || rgb_bytes > kMaxRgbBytes) {
        fprintf(stderr, "%s: %s granted a frame size of %ux%u: %s\n", kProg, c.device.c_str(),
                c.width, c.height, strerror(EINVAL));
        status = kDeviceError;
    }
    if (status >= 0) {
        stop_frames(&src);
        return status;
    }

    std::vector<unsigned char> rgb(static_cast<size_t>(rgb_bytes));
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
        if (!to_rgb(&src, &rgb)) {
            reject_frame(&src);
            continue;
        }
        last = format_name(pattern, saved);
        if (!write_bmp(last, &rgb, c)) {
            progress.finish();
            status = kDeviceError;
            break;
        }
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
