#include "slot.h"

#include <errno.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "camapi.h"
#include "choose.h"
#include "raise.h"

namespace py = pybind11;

struct Grab {
    unsigned char* dst;
    int size = 0;
    int taken = 0;  // frames dequeued in this wait; all but the last are dropped
    bool have = false;
    CamFrameInfo info{};
    int err = 0;
};

namespace {

constexpr int kSlots = 2;
// Which slots a Slot object owns; read and written under the GIL. camapi
// would silently release an open slot for a second open into it.
bool g_taken[kSlots] = {false, false};

// A wait returns to Python this often, for Ctrl-C and for close().
constexpr double kSliceSeconds = 0.1;
// The most one register transfer moves.
constexpr unsigned kTransfer = 8;
constexpr unsigned kRegisterSpace = 0x10000;

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// Counts a thread inside a wait, so that close() lets it leave first.
struct Busy {
    explicit Busy(std::atomic<int>& n) : count(n) { ++count; }
    ~Busy() { --count; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    std::atomic<int>& count;
};

bool take(int slot, Grab* g) {
    int size = 0;
    if (cam_grabframe(slot, g->dst, &size) != 0) {
        g->err = errno;
        return false;
    }
    g->size = size;
    g->have = true;
    ++g->taken;
    if (cam_get_frameinfo(slot, &g->info) != 0) memset(&g->info, 0, sizeof g->info);
    return true;
}

[[noreturn]] void raise_timeout(const std::string& path, double timeout) {
    char text[64];
    snprintf(text, sizeof text, "%g", timeout);
    PyErr_SetString(PyExc_TimeoutError,
                    ("no frame from " + path + " within " + text + " s").c_str());
    throw py::error_already_set();
}

void check_address(unsigned addr, unsigned len) {
    if (addr >= kRegisterSpace || len > kRegisterSpace - addr)
        throw py::value_error("register range " + hex(addr, 4) + "+" + std::to_string(len) +
                              " is past 0xffff");
}

}  // namespace

Slot::Slot(int index, const std::string& path, uint32_t fourcc, unsigned width, unsigned height,
           unsigned denominator, unsigned numerator, bool control_only)
    : control_only_(control_only), path_(path) {
    if (index < -1 || index >= kSlots) throw py::value_error("slot must be 0, 1 or None");
    if (index < 0) {
        index = !g_taken[0] ? 0 : !g_taken[1] ? 1 : -1;
        if (index < 0) raise_os_error(EBUSY, "both capture slots are in use; close a camera first");
    } else if (g_taken[index]) {
        raise_os_error(EBUSY, "capture slot " + std::to_string(index) +
                                  " is in use by another camera; close it or use the other slot");
    }
    g_taken[index] = true;  // held across the open, which runs without the GIL
    index_ = index;

    int r, err = 0;
    const char* what = nullptr;
    {
        py::gil_scoped_release release;
        r = control_only
                ? cam_open_control(index, path.c_str())
                : cam_open(index, path.c_str(), fourcc, width, height, denominator, numerator);
        err = errno;
        if (r == 0 && !control_only && cam_play(index) != 0) {
            err = errno;
            what = "cannot start streaming from ";
            cam_close(index);
            r = -1;
        }
    }
    if (r != 0) {
        g_taken[index] = false;
        if (control_only) raise_os_error(err ? err : EIO, "cannot open " + path);
        if (!what)
            raise_os_error(err ? err : EIO, "cannot open " + path + " as " + fourcc_text(fourcc) +
                                                " " + std::to_string(width) + "x" +
                                                std::to_string(height) + " at " +
                                                rate_text(denominator, numerator));
        raise_os_error(err ? err : EIO, what + path);
    }
    open_ = true;
    if (control_only) {
        granted_ = py::make_tuple(0, 0, 0, 0, 0);
        return;
    }

    // The driver may grant another size, format or rate than asked for.
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    struct v4l2_streamparm parm;
    memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(g_fd[index], static_cast<int>(VIDIOC_G_FMT), &fmt) != 0 ||
        xioctl(g_fd[index], static_cast<int>(VIDIOC_G_PARM), &parm) != 0) {
        err = errno;
        close();
        raise_os_error(err, "cannot read the format of " + path);
    }
    const v4l2_fract& t = parm.parm.capture.timeperframe;
    granted_ = py::make_tuple(fmt.fmt.pix.pixelformat, fmt.fmt.pix.width, fmt.fmt.pix.height,
                              t.denominator, t.numerator);
    for (uint32_t len : g_mem_len[index]) capacity_ = std::max<size_t>(capacity_, len);
    buffers_ = std::min<unsigned>(g_rb[index].count, 4);
}

Slot::~Slot() {
    close();
}

void Slot::close() {
    if (!open_) return;
    closing_ = true;
    {
        py::gil_scoped_release release;
        while (busy_ > 0) usleep(1000);
    }
    // An unplugged camera refuses the stop; closing still releases the slot.
    if (!control_only_) cam_stop(index_);
    cam_close(index_);
    g_taken[index_] = false;
    open_ = false;
}

void Slot::check_open() const {
    if (!open_ || closing_) throw py::value_error("the camera is closed");
}

int Slot::fileno() const {
    check_open();
    return g_fd[index_];
}

Slot::Step Slot::wait_slice(Grab* g, double deadline, bool latest) {
    const int fd = g_fd[index_];
    const double slice_end = std::min(now() + kSliceSeconds, deadline);
    for (;;) {
        if (closing_) return Step::Slice;
        const double left = std::max(0.0, slice_end - now());
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(ceil(left * 1000)));
        if (ready < 0 && errno == EINTR) return Step::Slice;
        if (ready < 0) {
            g->err = errno;
            return Step::Failed;
        }
        if (ready == 0) {
            const double t = now();
            if (t >= deadline) return g->have ? Step::Frame : Step::Timeout;
            if (t >= slice_end) return Step::Slice;
            continue;
        }
        if (take(index_, g)) {
            if (!latest) return Step::Frame;
            unsigned round = 1;
            struct pollfd q = {fd, POLLIN, 0};
            while (poll(&q, 1, 0) > 0 && take(index_, g)) ++round;
            // A full queue means the driver had no buffer for the frames
            // since: the newest taken may be old. The next one is fresh.
            if (round < buffers_) return Step::Frame;
            continue;
        }
        const bool hangup = p.revents & (POLLERR | POLLHUP | POLLNVAL);
        // A frame the driver flagged was requeued, or poll's frame was gone.
        if (g->err == EAGAIN && !hangup) continue;
        if (g->err == ENODEV || (p.revents & POLLHUP))
            g->err = ENODEV;
        else if (g->err == EAGAIN)
            g->err = EIO;
        return g->have ? Step::Frame : Step::Failed;
    }
}

py::tuple Slot::grab(double timeout, bool latest, const py::object& into) {
    check_open();
    if (control_only_)
        throw py::value_error(
            "the camera was opened with control_only=True: it delivers no frames");
    if (isnan(timeout)) throw py::value_error("timeout must be a number of seconds");
    // One copy: the driver's buffer straight into the array handed out,
    // which is then cut to the frame's size in place; or into the caller's
    // array, reused from frame to frame.
    py::array data;
    if (into.is_none()) {
        data = py::array_t<uint8_t>(static_cast<py::ssize_t>(capacity_));
    } else {
        data = py::cast<py::array>(into);
        if (!data.dtype().is(py::dtype::of<uint8_t>()) || !(data.flags() & py::array::c_style) ||
            !data.writeable() || data.ndim() != 1 ||
            data.size() < static_cast<py::ssize_t>(capacity_))
            throw py::type_error("into must be a writable uint8 array of at least " +
                                 std::to_string(capacity_) + " bytes");
    }
    Grab g;
    g.dst = static_cast<unsigned char*>(data.mutable_data());
    const double deadline = timeout < 0 ? INFINITY : now() + timeout;
    Busy busy(busy_);
    for (;;) {
        Step s;
        {
            py::gil_scoped_release release;
            s = wait_slice(&g, deadline, latest);
        }
        if (s == Step::Frame) break;
        if (s == Step::Failed) raise_os_error(g.err, "cannot grab a frame from " + path_);
        if (s == Step::Timeout) raise_timeout(path_, timeout);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (closing_) throw py::value_error("the camera was closed while waiting for a frame");
    }
    py::object out = data;
    if (into.is_none())
        data.resize({static_cast<py::ssize_t>(g.size)}, false);
    else
        out = data[py::slice(0, g.size, 1)];
    const double timestamp = static_cast<double>(g.info.timestamp_sec) +
                             static_cast<double>(g.info.timestamp_usec) * 1e-6;
    return py::make_tuple(out, g.info.sequence, timestamp, g.taken, g.info.flags);
}

py::tuple Slot::control_query(uint32_t id) {
    check_open();
    __videoCtrl q;
    if (cam_control_query(index_, id, &q) != 0)
        raise_os_error(errno, "control " + hex(id, 8) + " is not offered");
    // The type (menu or not) is not in camapi's record.
    struct v4l2_queryctrl full;
    memset(&full, 0, sizeof full);
    full.id = id;
    uint32_t type = 0;
    if (xioctl(g_fd[index_], static_cast<int>(VIDIOC_QUERYCTRL), &full) == 0) type = full.type;
    return py::make_tuple(q.minimum, q.maximum, q.default_value, q.step, q.flags, type);
}

py::dict Slot::control_menu(uint32_t id) {
    check_open();
    py::dict out;
    struct v4l2_queryctrl q;
    memset(&q, 0, sizeof q);
    q.id = id;
    if (xioctl(g_fd[index_], static_cast<int>(VIDIOC_QUERYCTRL), &q) != 0) return out;
    if (q.type != V4L2_CTRL_TYPE_MENU && q.type != V4L2_CTRL_TYPE_INTEGER_MENU) return out;
    for (int32_t i = std::max(q.minimum, 0); i <= q.maximum; ++i) {
        struct v4l2_querymenu m;
        memset(&m, 0, sizeof m);
        m.id = id;
        m.index = static_cast<uint32_t>(i);
        // Entries the camera lacks are refused; they are gaps, not the end.
        if (xioctl(g_fd[index_], static_cast<int>(VIDIOC_QUERYMENU), &m) != 0) continue;
        if (q.type == V4L2_CTRL_TYPE_MENU)
            out[py::int_(i)] =
                std::string(reinterpret_cast<const char*>(m.name),
                            strnlen(reinterpret_cast<const char*>(m.name), sizeof m.name));
        else
            out[py::int_(i)] = std::to_string(m.value);
    }
    return out;
}

int32_t Slot::control_get(uint32_t id) {
    check_open();
    unsigned int value = 0;
    if (cam_control_get(index_, id, &value) != 0)
        raise_os_error(errno, "cannot read control " + hex(id, 8));
    return static_cast<int32_t>(value);
}

void Slot::control_set(uint32_t id, int32_t value) {
    check_open();
    if (cam_control_set(index_, id, static_cast<unsigned int>(value)) != 0)
        raise_os_error(errno, "cannot set control " + hex(id, 8) + " to " + std::to_string(value));
}

namespace {

// Moves a DSP range in transfers of at most 8 bytes, the most one carries.
void dsp_transfer(int slot, unsigned addr, std::string* bytes,
                  int (*op)(int, unsigned short, unsigned char*, int), const char* verb) {
    const auto len = static_cast<unsigned>(bytes->size());
    check_address(addr, len);
    for (unsigned done = 0; done < len; done += kTransfer) {
        const unsigned n = std::min(kTransfer, len - done);
        if (op(slot, static_cast<unsigned short>(addr + done),
               reinterpret_cast<unsigned char*>(&(*bytes)[done]), static_cast<int>(n)) < 0)
            raise_os_error(errno,
                           std::string("cannot ") + verb + " DSP register " + hex(addr + done, 4));
    }
}

}  // namespace

py::bytes Slot::dsp_read(unsigned addr, unsigned len) {
    check_open();
    check_address(addr, len);
    std::string out(len, '\0');
    dsp_transfer(index_, addr, &out, cam_dsp_read_buf, "read");
    return py::bytes(out);
}

void Slot::dsp_write(unsigned addr, const std::string& data) {
    check_open();
    std::string bytes = data;
    dsp_transfer(index_, addr, &bytes, cam_dsp_write_buf, "write");
}

unsigned Slot::sensor_read(unsigned addr, int bits) {
    check_open();
    check_address(addr, 1);
    const auto a = static_cast<unsigned short>(addr);
    int r;
    unsigned value = 0;
    if (bits == 8) {
        unsigned char v = 0;
        r = cam_sensor_read8(index_, a, &v);
        value = v;
    } else {
        unsigned short v = 0;
        r = cam_sensor_read16(index_, a, &v);
        value = v;
    }
    if (r < 0) raise_os_error(errno, "cannot read sensor register " + hex(addr, 4));
    return value;
}

void Slot::sensor_write(unsigned addr, unsigned value, int bits) {
    check_open();
    check_address(addr, 1);
    if (value >= (1u << bits))
        throw py::value_error("a " + std::to_string(bits) + "-bit register takes 0.." +
                              std::to_string((1u << bits) - 1) + ", not " + std::to_string(value));
    const auto a = static_cast<unsigned short>(addr);
    const int r = bits == 8 ? cam_sensor_write8(index_, a, static_cast<unsigned char>(value))
                            : cam_sensor_write16(index_, a, static_cast<unsigned short>(value));
    if (r < 0) raise_os_error(errno, "cannot write sensor register " + hex(addr, 4));
}

void bind_slot(py::module_& m) {
    py::class_<Slot>(m, "Slot", "An open capture slot (camkit.Camera is the friendly face).")
        .def(py::init<int, const std::string&, uint32_t, unsigned, unsigned, unsigned, unsigned,
                      bool>(),
             py::arg("index"), py::arg("path"), py::arg("fourcc"), py::arg("width"),
             py::arg("height"), py::arg("denominator"), py::arg("numerator"),
             py::arg("control_only") = false)
        .def("close", &Slot::close)
        .def_property_readonly("closed", &Slot::closed)
        .def_property_readonly("control_only", &Slot::control_only)
        .def_property_readonly("index", &Slot::index)
        .def("fileno", &Slot::fileno)
        .def("granted", &Slot::granted)
        .def("grab", &Slot::grab, py::arg("timeout"), py::arg("latest"),
             py::arg("into") = py::none())
        .def_property_readonly("capacity", [](const Slot& s) { return s.capacity(); })
        .def("control_query", &Slot::control_query)
        .def("control_menu", &Slot::control_menu)
        .def("control_get", &Slot::control_get)
        .def("control_set", &Slot::control_set)
        .def("dsp_read", &Slot::dsp_read)
        .def("dsp_write", [](Slot& s, unsigned addr, py::bytes data) { s.dsp_write(addr, data); })
        .def("sensor_read", &Slot::sensor_read)
        .def("sensor_write", &Slot::sensor_write);
}
