// V4L2 controls and DSP/sensor register access on an open capture slot.
// Each operation holds the slot's mutex from its first request to its last,
// so a register transaction's two phases never interleave with a frame grab
// or another transaction on the same slot.
#include <pthread.h>
#include <string.h>

#include "camapi.h"
#include "devreq.h"

namespace {

bool slot_open(int index) {
    return index >= 0 && index <= 1 && g_fd[index] >= 0;
}

// Scoped hold of one slot's mutex.
struct SlotLock {
    explicit SlotLock(int index) : mutex(&g_lock[index]) { pthread_mutex_lock(mutex); }
    ~SlotLock() { pthread_mutex_unlock(mutex); }
    SlotLock(const SlotLock&) = delete;
    SlotLock& operator=(const SlotLock&) = delete;
    pthread_mutex_t* mutex;
};

bool dsp_args_ok(int index, int len) {
    return slot_open(index) && len >= 0 && len <= devreq::kMaxTransfer;
}

}  // namespace

int cam_control_query(int index, unsigned int id, __videoCtrl* ctrl) {
    if (!slot_open(index)) return -1;
    SlotLock lock(index);
    struct v4l2_queryctrl q;
    memset(&q, 0, sizeof q);
    q.id = id;
    int r = xioctl(g_fd[index], VIDIOC_QUERYCTRL, &q);
    if (r == 0) {
        ctrl->minimum = q.minimum;
        ctrl->maximum = q.maximum;
        ctrl->default_value = q.default_value;
        ctrl->step = q.step;
        ctrl->flags = q.flags;
    }
    return r;
}

int cam_control_set(int index, unsigned int id, unsigned int value) {
    if (!slot_open(index)) return -1;
    SlotLock lock(index);
    struct v4l2_control c;
    memset(&c, 0, sizeof c);
    c.id = id;
    c.value = static_cast<int32_t>(value);
    return xioctl(g_fd[index], VIDIOC_S_CTRL, &c);
}

int cam_control_get(int index, unsigned int id, unsigned int* value) {
    if (!slot_open(index)) return -1;
    SlotLock lock(index);
    struct v4l2_control c;
    memset(&c, 0, sizeof c);
    c.id = id;
    int r = xioctl(g_fd[index], VIDIOC_G_CTRL, &c);
    if (r == 0) *value = static_cast<unsigned int>(c.value);
    return r;
}

int cam_dsp_read_buf(int index, unsigned short addr, unsigned char* data, int len) {
    if (!dsp_args_ok(index, len)) return -1;
    SlotLock lock(index);
    // The reply is read once: a retried GET_CUR could return a later reply.
    return devreq::read_transaction(g_fd[index], devreq::kCmdDspRead, addr, len, data,
                                    devreq::Retry::Once);
}

int cam_dsp_read(int index, unsigned short addr, unsigned char* data) {
    return cam_dsp_read_buf(index, addr, data, 1);
}

int cam_dsp_write_buf(int index, unsigned short addr, unsigned char* data, int len) {
    if (!dsp_args_ok(index, len)) return -1;
    SlotLock lock(index);
    return devreq::write_transaction(g_fd[index], devreq::kCmdDspWrite, addr, len, data);
}

int cam_dsp_write(int index, unsigned short addr, unsigned char value) {
    return cam_dsp_write_buf(index, addr, &value, 1);
}

int cam_sensor_read16(int index, unsigned short addr, unsigned short* value) {
    if (!slot_open(index)) return -1;
    SlotLock lock(index);
    unsigned char reply[2] = {0, 0};
    int r = devreq::read_transaction(g_fd[index], devreq::kCmdSensorRead, addr, 2, reply,
                                     devreq::Retry::Retried);
    // Sensor words travel high byte first.
    if (r >= 0) *value = static_cast<unsigned short>(reply[0] << 8 | reply[1]);
    return r;
}

int cam_sensor_read8(int index, unsigned short addr, unsigned char* value) {
    unsigned short word = 0;
    int r = cam_sensor_read16(index, addr, &word);
    // An 8-bit sensor register is the high byte of the word; 0 when the read failed.
    *value = static_cast<unsigned char>(word >> 8);
    return r;
}

int cam_sensor_write16(int index, unsigned short addr, unsigned short value) {
    if (!slot_open(index)) return -1;
    SlotLock lock(index);
    const unsigned char word[2] = {static_cast<unsigned char>(value >> 8),
                                   static_cast<unsigned char>(value & 0xFF)};
    return devreq::write_transaction(g_fd[index], devreq::kCmdSensorWrite, addr, 2, word);
}

int cam_sensor_write8(int index, unsigned short addr, unsigned char value) {
    return cam_sensor_write16(index, addr, static_cast<unsigned short>(value << 8));
}
