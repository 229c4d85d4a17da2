// The extension-unit control mapping each library registers on every open.
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include "devreq.h"

// The record's size fixes the request number, so both are checked on the
// 32-bit targets (and on 64-bit builds, where the pointer widens the record).
static_assert(sizeof(void*) != 4 || sizeof(uvc_xu_control_mapping) == 88,
              "mapping record must be 88 bytes on 32-bit targets");
static_assert(sizeof(void*) != 4 || UVCIOC_CTRL_MAP == 0xC0587520u, "UVCIOC_CTRL_MAP");
static_assert(sizeof(void*) != 4 || UVCIOC_CTRL_QUERY == 0xC00C7521u, "UVCIOC_CTRL_QUERY");
static_assert(sizeof(void*) != 8 || sizeof(uvc_xu_control_mapping) == 96, "64-bit mapping record");
static_assert(sizeof(void*) != 8 || UVCIOC_CTRL_MAP == 0xC0607520u, "64-bit UVCIOC_CTRL_MAP");

namespace devreq {

const struct uvc_xu_control_mapping xu_mappings = {
    0,         // id
    "dsp rw",  // name, NUL-padded
    {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40, 0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9,
     0x38},  // entity: extension-unit GUID as stored and sent
    kSelRequest,
    8,  // size in bits
    0,  // offset in bits
    V4L2_CTRL_TYPE_INTEGER,
    UVC_CTRL_DATA_TYPE_SIGNED,
    nullptr,  // menu_info
    0,        // menu_count
    {0, 0, 0, 0},
};

int register_mapping(int fd) {
    // The request is read-write: the driver copies the record back, so it
    // gets a writable copy rather than the constant itself.
    struct uvc_xu_control_mapping mapping = xu_mappings;
    return ::ioctl(fd, UVCIOC_CTRL_MAP, &mapping);
}

}  // namespace devreq
