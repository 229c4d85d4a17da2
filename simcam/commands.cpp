// The fault commands of the control FIFO (simcam-usbip) and of the control
// file (SIMCAM_CONTROL), one line each.
#include <climits>
#include <mutex>
#include <sstream>

#include "internal.h"
#include "usb_desc.h"

namespace simcam {
namespace detail {

int camera_command(const std::string& node, const std::string& line, Face face) {
    std::istringstream in(line);
    std::string word;
    long n = 1;
    if (!(in >> word)) return -1;
    bool counted = word == "error-frames" || word == "truncate-mjpeg" || word == "garble-mjpeg";
    if (counted && (!(in >> n) || n < 0 || n > 1000000)) return -1;
    std::string extra;
    if (in >> extra) return -1;
    if (word == "unplug") {
        unplug_after(node, 0);
        return 1;
    }
    if (word == "replug") {
        replug(node);
        return 2;
    }
    const bool stop = word == "stop-delivering";
    if (face == Face::V4l2 && (stop || word == "resume-delivering")) {
        // Frames due while held are lost, not handed out in a burst.
        stop_delivering(node, stop);
        return 0;
    }
    std::lock_guard<std::mutex> lock(state().mu);
    std::shared_ptr<Cam> cam = find_cam_locked(node);
    if (!cam) return -1;
    if (counted) {
        // The next n frames the face sends.
        const uint32_t next = face == Face::Usb ? cam->usb_next_seq : cam->q.next_seq;
        for (long i = 0; i < n; ++i) {
            uint32_t seq = next + uint32_t(i);
            if (word == "error-frames")
                cam->error_frames.insert(seq);
            else
                cam->corrupt_frames[seq] =
                    word == "truncate-mjpeg" ? Corruption::Truncated : Corruption::Garbage;
        }
    } else if (word == "stall-xu" || word == "unstall-xu") {
        for (uint8_t sel : {kXuRequestSelector, kXuDataSelector}) {
            if (word == "stall-xu")
                cam->stalls[sel] = INT_MAX;
            else
                cam->stalls.erase(sel);
        }
    } else if (stop || word == "resume-delivering") {
        cam->holding = stop;
    } else {
        return -1;
    }
    return 0;
}

}  // namespace detail
}  // namespace simcam
