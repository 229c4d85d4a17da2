// Device request layer shared by both libraries: the retrying ioctl, the
// extension-unit control mapping and the two-phase register transaction.
#ifndef DEVREQ_DEVREQ_H
#define DEVREQ_DEVREQ_H

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <stdint.h>

#define DEVREQ_EXPORT __attribute__((visibility("default")))

// Exported from both libraries.
DEVREQ_EXPORT int xioctl(int fd, int request, void* arg);

namespace devreq {

// Extension unit of the camera module and its two selectors.
constexpr uint8_t kXuUnit = 4;
constexpr uint8_t kSelRequest = 10;
constexpr uint8_t kSelResponse = 11;
constexpr int kBlockSize = 8;
constexpr int kMaxTransfer = 8;

// Command bytes of the register protocol.
constexpr uint8_t kCmdDspRead = 0xC2;
constexpr uint8_t kCmdDspWrite = 0x82;
constexpr uint8_t kCmdSensorRead = 0xCA;
constexpr uint8_t kCmdSensorWrite = 0x8A;

// The mapping each library registers with the UVC driver on every open.
extern const struct uvc_xu_control_mapping xu_mappings;

// Registers xu_mappings on fd with one plain ioctl; the result is for the
// caller to ignore (an existing mapping or a refusal never stops an open).
int register_mapping(int fd);

// How the response phase of a read is sent.
enum class Retry { Once, Retried };

// Read transaction: request block on selector 10 (through xioctl), then the
// 8-byte reply from selector 11. The first `length` bytes land in `dest`,
// only on success. Returns the failing phase's result or the last one's; a
// length outside 0..8 returns -1 (EINVAL) before any request.
int read_transaction(int fd, uint8_t command, uint16_t address, int length, unsigned char* dest,
                     Retry response);

// Write transaction: request block, then the data bytes zero-padded to 8 on
// selector 11, both through xioctl. Same result and length rule as a read.
int write_transaction(int fd, uint8_t command, uint16_t address, int length,
                      const unsigned char* src);

}  // namespace devreq

#endif  // DEVREQ_DEVREQ_H
