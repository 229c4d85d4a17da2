// simcam: a simulated UVC camera in user space.
//
// Preloaded (LD_PRELOAD) or linked into a program, the library answers the
// V4L2 and UVC requests on the device nodes it simulates and passes every
// other call on to the next definition. A simulated descriptor is a real
// memfd, so mmap of driver buffers is the kernel's own mmap.
//
// This header is the control API for tests and tools running in the same
// process. All functions are thread-safe.
#ifndef SIMCAM_SIMCAM_H
#define SIMCAM_SIMCAM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#define SIMCAM_EXPORT __attribute__((visibility("default")))

namespace simcam {

// Seconds per frame, as V4L2 writes a frame interval.
struct Interval {
    uint32_t numerator = 1;
    uint32_t denominator = 30;
};

// Answer form of VIDIOC_ENUM_FRAMESIZES / VIDIOC_ENUM_FRAMEINTERVALS.
enum class RangeKind { Discrete, Stepwise, Continuous };

struct FrameSize {
    uint32_t width = 640;
    uint32_t height = 480;
    // Discrete intervals in driver order (fastest first, as uvcvideo lists them).
    std::vector<Interval> intervals;
    // Non-discrete: one answer at index 0 spanning min..max (step for Stepwise).
    RangeKind interval_kind = RangeKind::Discrete;
    Interval interval_min, interval_max, interval_step;
};

struct Format {
    uint32_t fourcc = 0;      // V4L2_PIX_FMT_*
    std::string description;  // as VIDIOC_ENUM_FMT reports it
    std::vector<FrameSize> sizes;
    // Non-discrete sizes: one answer at index 0 from sizes.front() (minimum)
    // to sizes.back() (maximum); step_width/step_height for Stepwise.
    RangeKind size_kind = RangeKind::Discrete;
    uint32_t step_width = 1, step_height = 1;
};

struct Camera {
    std::string node = "/dev/video0";       // capture node
    std::string meta_node = "/dev/video1";  // metadata node; empty for none
    std::string driver = "uvcvideo";
    std::string card = "SimCam Module: SimCam Module";
    std::string bus_info = "usb-0000:00:14.0-1";
    std::vector<Format> formats;  // in VIDIOC_ENUM_FMT order
    bool timeperframe = true;     // V4L2_CAP_TIMEPERFRAME in G_PARM
    bool paced = true;            // false: a frame is ready whenever a buffer is queued
    bool still = false;           // draw each buffer once (benchmarks); no moving pattern
    bool mjpeg_huffman = false;   // true: MJPEG frames carry their own DHT segments
    // USB identity, as the udev description shows it (see simcam-udev).
    std::string usb_vendor = "5ca1";   // idVendor, 4 hex digits
    std::string usb_product = "ab1e";  // idProduct
    std::string manufacturer = "Simulated Optics";
    std::string product = "SimCam Module";
    std::string serial = "SC0001";
};

// The embedded default camera (node /dev/video0, metadata node /dev/video1).
SIMCAM_EXPORT Camera default_camera();

// A format offering one frame size at one interval (1/30 s unless given),
// described as the driver describes that fourcc.
SIMCAM_EXPORT Format one_size_format(uint32_t fourcc, uint32_t width, uint32_t height,
                                     Interval interval = Interval{});

// Back to the startup state: the configured cameras (the embedded default,
// or those of the SIMCAM_CONFIG file), no faults, empty log, fresh registers.
// Descriptors still open keep working on their old camera until closed.
SIMCAM_EXPORT void reset();

// Adds (or replaces, by node) a camera; false if the description is invalid.
SIMCAM_EXPORT bool add_camera(const Camera& cam);
// Removes a camera: later opens fail with ENOENT; open descriptors see ENODEV.
SIMCAM_EXPORT bool remove_camera(const std::string& node);
// Removes every camera (an empty machine).
SIMCAM_EXPORT void remove_all_cameras();

// The cameras simulated now, in order.
SIMCAM_EXPORT std::vector<Camera> cameras();

// Loads cameras from a description file (format in simcam/README.md),
// replacing the current set. False with a message in *error on failure.
SIMCAM_EXPORT bool load_config(const std::string& path, std::string* error = nullptr);

// ---- Faults (each applies to the camera at `node`) ----

// The next `times` requests `request` (0 = any request) fail with `err`.
SIMCAM_EXPORT void fail_request(const std::string& node, uint32_t request, int err, int times = 1);
// The next `times` UVCIOC_CTRL_QUERY requests on extension-unit `selector`
// fail with `err` before they reach the camera (e.g. EAGAIN on one phase).
SIMCAM_EXPORT void fail_xu(const std::string& node, uint8_t selector, int err, int times = 1);
// After `frames` more delivered frames (0 = now) the device is gone: every
// request answers ENODEV, poll reports POLLERR|POLLHUP. replug() undoes it
// for descriptors opened afterwards.
SIMCAM_EXPORT void unplug_after(const std::string& node, uint32_t frames);
SIMCAM_EXPORT void replug(const std::string& node);
// VIDIOC_REQBUFS grants at most `count` buffers (0 = no limit).
SIMCAM_EXPORT void grant_buffers(const std::string& node, uint32_t count);
// The frame with this sequence number is handed back flagged V4L2_BUF_FLAG_ERROR.
SIMCAM_EXPORT void error_frame(const std::string& node, uint32_t sequence);
enum class Corruption { Truncated, Garbage };
// The MJPEG frame with this sequence number arrives damaged.
SIMCAM_EXPORT void corrupt_frame(const std::string& node, uint32_t sequence, Corruption how);
// UVCIOC_CTRL_MAP fails with `err` (0 = accept again).
SIMCAM_EXPORT void refuse_mapping(const std::string& node, int err);
// The extension unit stalls the next `times` queries on `selector` (EILSEQ).
SIMCAM_EXPORT void stall_xu(const std::string& node, uint8_t selector, int times = 1);
// Frames are paced (the camera's rate) or always ready.
SIMCAM_EXPORT void set_paced(const std::string& node, bool paced);
// The camera stops delivering frames (true) or starts again (false): queued
// buffers, or bulk transfers on the USB face, stay unanswered meanwhile.
SIMCAM_EXPORT void stop_delivering(const std::string& node, bool stop);

// ---- Request log ----

struct Request {
    int fd = -1;
    std::string node;
    uint32_t request = 0;  // as the kernel sees it: (unsigned int)request
    int result = 0;
    int err = 0;                   // errno when result is -1
    std::vector<uint8_t> arg_in;   // the argument struct as passed in
    std::vector<uint8_t> arg_out;  // and as handed back
    std::vector<uint8_t> xu_in;    // UVCIOC_CTRL_QUERY: data bytes passed in
    std::vector<uint8_t> xu_out;   // and handed back
    uint8_t xu_unit = 0, xu_selector = 0, xu_query = 0;
    uint64_t time_ns = 0;  // CLOCK_MONOTONIC
    int tid = 0;
};

SIMCAM_EXPORT std::vector<Request> request_log();
SIMCAM_EXPORT void clear_log();

// ---- State for assertions ----

// Mappings of simulated buffers that exist in this process now.
SIMCAM_EXPORT size_t live_mappings();
// Simulated descriptors that are open now.
SIMCAM_EXPORT size_t open_descriptors();
// Frames handed to the client (DQBUF) on this camera since reset.
SIMCAM_EXPORT uint64_t frames_delivered(const std::string& node);

// Register files of the camera's DSP (bytes) and sensor (16-bit words).
SIMCAM_EXPORT uint8_t dsp_peek(const std::string& node, uint16_t addr);
SIMCAM_EXPORT void dsp_poke(const std::string& node, uint16_t addr, uint8_t value);
SIMCAM_EXPORT uint16_t sensor_peek(const std::string& node, uint16_t addr);
SIMCAM_EXPORT void sensor_poke(const std::string& node, uint16_t addr, uint16_t value);

// Current value of a V4L2 control.
SIMCAM_EXPORT int32_t control_value(const std::string& node, uint32_t id);

// ---- The test pattern ----

// Frame `sequence` of the pattern as YUYV (width*height*2 bytes).
SIMCAM_EXPORT void render_yuyv(uint32_t width, uint32_t height, uint32_t sequence, uint8_t* out);
// The frame number stamped into a decoded image; -1 when unreadable. The
// stamp survives JPEG compression.
SIMCAM_EXPORT long read_stamp_rgb(const uint8_t* rgb, uint32_t width, uint32_t height);
SIMCAM_EXPORT long read_stamp_yuyv(const uint8_t* yuyv, uint32_t width, uint32_t height);

// ---- The camera as a USB device (USB/IP) ----

// Serves the camera at `node` as a USB UVC device on the connected USB/IP
// socket `sock` (the device end of what vhci_hcd was given). Line commands
// (see simcam/README.md) are read from `control_fd`, if not -1; `stop_fd`
// becoming readable ends the service. Returns 0 when the host closed the
// socket or sent what is not USB/IP, 1 when the camera was unplugged (the
// caller closes `sock`, which detaches the device, and may replug()), 2 on
// `stop_fd`, -1 when there is no such camera or the socket failed. `sock`
// stays open in every case.
SIMCAM_EXPORT int usbip_serve(int sock, const std::string& node, int control_fd = -1,
                              int stop_fd = -1);
// One control command line for the camera at `node`: 0 done, 1 "unplug"
// done, 2 "replug" done, -1 not understood.
SIMCAM_EXPORT int usbip_command(const std::string& node, const std::string& line);

}  // namespace simcam

#endif  // SIMCAM_SIMCAM_H
