// Public interface of the camera library: device catalogue, two capture
// slots over V4L2, controls and register access, image conversion.
//
// All state is library-global. Every output buffer is supplied by the caller
// and must be large enough for what is written into it.
#ifndef CAMAPI_CAMAPI_H
#define CAMAPI_CAMAPI_H

#include <linux/videodev2.h>
#include <pthread.h>
#include <stdint.h>

#define CAMAPI_EXPORT __attribute__((visibility("default")))

// ---- Device catalogue records (read in place; layout is part of the ABI) ----

// One frame interval: numerator/denominator seconds, denominator first.
struct CamFrameRate {
    uint32_t denominator;
    uint32_t numerator;
};

struct CamResolution {
    uint32_t width;
    uint32_t height;
    CamFrameRate* rateList;
    int32_t rateNum;
};

struct CamFormat {
    char fmtName[32];  // "MJPG" or "YUY2"
    uint32_t pixelFormat;
    CamResolution* resList;
    int32_t resNum;
};

struct CamDevice {
    char devNode[256];
    char devName[256];
    char manufacturer[256];
    char product[256];
    char serial[256];
    int32_t idVendor;
    int32_t idProduct;
    CamFormat* fmtList;
    int32_t fmtNum;
};

// Filled by cam_control_query. Note: default value comes before step.
struct __videoCtrl {
    int32_t minimum;
    int32_t maximum;
    int32_t default_value;
    int32_t step;
    uint32_t flags;
};

// Metadata of a frame cam_grabframe copied out, as the driver dequeued it.
// Fixed-size fields: the same layout on every target.
struct CamFrameInfo {
    uint32_t sequence;      // the driver's frame counter; gaps are dropped frames
    uint32_t flags;         // V4L2_BUF_FLAG_* as dequeued
    uint32_t bytesused;     // as the driver reported it (the copy is cut at the buffer's length)
    uint32_t reserved;      // 0
    int64_t timestamp_sec;  // the driver's timestamp (CLOCK_MONOTONIC for uvcvideo)
    int64_t timestamp_usec;
};

// ---- Device request layer ----

// ioctl with up to 5 attempts; EAGAIN, EINTR and ETIMEDOUT are retried at once.
CAMAPI_EXPORT int xioctl(int fd, int request, void* arg);

// ---- Capture slots (index 0 or 1) ----

CAMAPI_EXPORT extern int g_fd[2];
CAMAPI_EXPORT extern void* g_mem[2][4];
CAMAPI_EXPORT extern uint32_t g_mem_len[2][4];
CAMAPI_EXPORT extern uint32_t g_mem_offset[2][4];
CAMAPI_EXPORT extern struct v4l2_requestbuffers g_rb[2];
CAMAPI_EXPORT extern struct v4l2_buffer g_buf[2];
CAMAPI_EXPORT extern pthread_mutex_t g_lock[2];

CAMAPI_EXPORT int cam_open(int index, const char* path, unsigned int pixelformat,
                           unsigned int width, unsigned int height, unsigned int denominator,
                           unsigned int numerator);
// Opens the device at path into slot index for the control and register
// operations only: like cam_open, it checks for a V4L2 capture device and
// registers the extension-unit mapping, but it sets no format or frame rate,
// requests no buffers and maps nothing, so it works while another program
// streams from the camera and never changes that stream. An open slot is
// closed first. Returns 0, or -1 with errno as the failing step set it
// (ENOTSUP: not a capture device), printing nothing; g_mem_len and g_rb of
// the slot are zeroed. cam_close releases the slot. cam_play, cam_stop and
// cam_grabframe on it fail with the driver's answer for a handle without
// buffers (EBUSY from uvcvideo, EINVAL from drivers that only check for
// buffers).
CAMAPI_EXPORT int cam_open_control(int index, const char* path);
CAMAPI_EXPORT int cam_close(int index);
CAMAPI_EXPORT int cam_play(int index);
CAMAPI_EXPORT int cam_stop(int index);
CAMAPI_EXPORT int cam_grabframe(int index, unsigned char* data, int* size);
// The metadata of the frame the slot's last successful cam_grabframe copied
// out (g_buf shows the buffer as requeued, not that frame). Returns 0, or -1
// with errno EINVAL for a bad index or null info, ENODATA when no frame was
// grabbed since the slot was opened or last started with cam_play (a closed
// slot has none). Holds the slot's lock.
CAMAPI_EXPORT int cam_get_frameinfo(int index, CamFrameInfo* info);

// ---- Device catalogue ----

CAMAPI_EXPORT extern CamDevice* g_devList;
CAMAPI_EXPORT extern int g_devNum;

CAMAPI_EXPORT int cam_enum_devices();
CAMAPI_EXPORT int cam_get_device_num();
CAMAPI_EXPORT CamDevice* cam_get_device_list();
CAMAPI_EXPORT void cam_free_devices();
CAMAPI_EXPORT void cam_get_devname_and_enumfmt(const char* path, int devIndex);
CAMAPI_EXPORT int cam_enum_formats(int fd, int devIndex);
CAMAPI_EXPORT int cam_enum_resolutions(int fd, int devIndex, int fmtIndex);
CAMAPI_EXPORT int cam_enum_framerates(int fd, int devIndex, int fmtIndex, int resIndex);

CAMAPI_EXPORT void trim_l(char* s);
CAMAPI_EXPORT void trim_r(char* s);
CAMAPI_EXPORT void trim(char* s);
CAMAPI_EXPORT void setString(char* dest, const char* src);

// ---- Controls and registers of a slot opened by cam_open or cam_open_control ----

CAMAPI_EXPORT int cam_control_query(int index, unsigned int id, __videoCtrl* ctrl);
CAMAPI_EXPORT int cam_control_set(int index, unsigned int id, unsigned int value);
CAMAPI_EXPORT int cam_control_get(int index, unsigned int id, unsigned int* value);

CAMAPI_EXPORT int cam_dsp_read_buf(int index, unsigned short addr, unsigned char* data, int len);
CAMAPI_EXPORT int cam_dsp_read(int index, unsigned short addr, unsigned char* data);
CAMAPI_EXPORT int cam_dsp_write_buf(int index, unsigned short addr, unsigned char* data, int len);
CAMAPI_EXPORT int cam_dsp_write(int index, unsigned short addr, unsigned char value);
CAMAPI_EXPORT int cam_sensor_read16(int index, unsigned short addr, unsigned short* value);
CAMAPI_EXPORT int cam_sensor_read8(int index, unsigned short addr, unsigned char* value);
CAMAPI_EXPORT int cam_sensor_write16(int index, unsigned short addr, unsigned short value);
CAMAPI_EXPORT int cam_sensor_write8(int index, unsigned short addr, unsigned char value);

// ---- Image conversion ----

CAMAPI_EXPORT int Jpg2Rgb(unsigned char* jpg, int size, unsigned char* rgb);
CAMAPI_EXPORT void Yuyv2Rgb(unsigned char* yuyv, int width, int height, unsigned char* rgb);
CAMAPI_EXPORT void SwapRB(unsigned char* src, unsigned char* dst, int width, int height);
CAMAPI_EXPORT void SaveBmp(unsigned char* rgb, int width, int height, char* path);

#endif  // CAMAPI_CAMAPI_H
