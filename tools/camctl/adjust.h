// What the adjusting sub-commands (ctrl, dsp, sensor) share: the device
// options, opening the camera into a slot, and numbers in hex or decimal.
#ifndef CAMCTL_ADJUST_H
#define CAMCTL_ADJUST_H

#include <stdint.h>
#include <stdio.h>

namespace adjust {

struct Device {
    const char* path = nullptr;  // null: the first camera in the catalogue
    int slot = 0;
};

// Takes -d DEVICE and --slot N out of argv (compacting it); false on a bad
// value, with the message written.
bool take_device_options(const char* prog, int* argc, char** argv, Device* dev);

// Takes every FLAG out of argv (compacting it); true when there was one.
bool take_flag(int* argc, char** argv, const char* flag);

// Opens the camera into its slot for controls and registers only, leaving
// its format and any stream of another program alone; prints why not and
// returns false on failure.
bool open_device(const char* prog, const Device& dev);

// A number in decimal or with a 0x prefix in hex, at most max.
bool parse_number(const char* text, uint32_t max, uint32_t* out);

// True when the first argument asks for help (--help or -h).
bool wants_help(int argc, char** argv);

// "PROG: MESSAGE" on stderr; returns the usage status.
int usage_error(const char* prog, const char* message);

// One line "PROG: WHAT: <errno text>" for a request the driver refused.
int refused(const char* prog, const char* what, int err);

// The same for a register transaction: where the camera itself refused it
// (uvcvideo answers a stalled transfer with EILSEQ, EPIPE or EIO), says so.
int register_refused(const char* prog, const char* what, int err);

}  // namespace adjust

#endif  // CAMCTL_ADJUST_H
