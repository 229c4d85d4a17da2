// An open capture slot of camapi, owned by one Python object: at most one
// per slot, closed once, and never released while a thread waits in it.
#ifndef CAMKIT_PYTHON_SLOT_H
#define CAMKIT_PYTHON_SLOT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <stdint.h>

#include <atomic>
#include <string>

// One wait's progress (slot.cpp).
struct Grab;

class Slot {
  public:
    // Opens `path` into slot `index` (-1: the first free one) and starts
    // streaming; OSError when the slot is taken or the driver refuses.
    // `control_only` opens it for controls and registers alone (no format,
    // no buffers), beside another program that streams from the camera.
    Slot(int index, const std::string& path, uint32_t fourcc, unsigned width, unsigned height,
         unsigned denominator, unsigned numerator, bool control_only);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    void close();
    bool closed() const { return !open_ || closing_; }
    bool control_only() const { return control_only_; }
    int index() const { return index_; }
    int fileno() const;
    // What the driver granted: (fourcc, width, height, denominator, numerator).
    pybind11::tuple granted() const { return granted_; }

    // Waits up to `timeout` seconds (negative: for ever) for a frame the
    // driver did not flag as damaged, with the GIL released. `latest` takes
    // every frame already queued and keeps the newest. Returns (data,
    // sequence, timestamp, frames taken, flags); TimeoutError when none
    // came. With `into` (a uint8 array of capacity() bytes), data is a view
    // of it.
    pybind11::tuple grab(double timeout, bool latest, const pybind11::object& into);
    size_t capacity() const { return capacity_; }

    // Controls: (min, max, default, step, flags, type), the menu's entries,
    // the value, and setting it.
    pybind11::tuple control_query(uint32_t id);
    pybind11::dict control_menu(uint32_t id);
    int32_t control_get(uint32_t id);
    void control_set(uint32_t id, int32_t value);

    pybind11::bytes dsp_read(unsigned addr, unsigned len);
    void dsp_write(unsigned addr, const std::string& data);
    unsigned sensor_read(unsigned addr, int bits);
    void sensor_write(unsigned addr, unsigned value, int bits);

  private:
    enum class Step { Frame, Slice, Timeout, Failed };
    Step wait_slice(Grab* g, double deadline, bool latest);
    void check_open() const;

    int index_ = -1;
    bool open_ = false;
    bool control_only_ = false;
    std::string path_;
    size_t capacity_ = 0;
    unsigned buffers_ = 0;
    pybind11::tuple granted_;
    std::atomic<int> busy_{0};
    std::atomic<bool> closing_{false};
};

void bind_slot(pybind11::module_& m);

#endif  // CAMKIT_PYTHON_SLOT_H
