// The options of the capturing commands (stream, snap): which camera, which
// format, how many frames, how long to wait for one.
#ifndef CAMCTL_CAPTURE_OPTIONS_H
#define CAMCTL_CAPTURE_OPTIONS_H

#include <stdint.h>
#include <stdio.h>

#include "choose.h"

// Which command parses: each takes the common options and some of its own.
enum CaptureCommand : unsigned { kSnapOptions = 1, kStreamOptions = 2 };

struct CaptureOptions {
    // Zero or null: not given, the catalogue chooses.
    const char* device = nullptr;
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned fps = 0;

    unsigned frames = 1;
    bool frames_given = false;
    unsigned slot = 0;
    const char* timeout_text = "2";  // as given, for messages
    int timeout_ms = 2000;
    bool exact = false;            // what was asked or nothing
    const char* output = nullptr;  // snap: -o
    bool force = false;            // snap: replace existing files
    int duration_ms = 0;           // stream: 0 for no limit
};

// Parses argv into *o. Returns -1 to go on, or the exit status: 0 after
// --help (usage on stdout), 1 on a usage error (one line on stderr).
int parse_capture_options(const char* prog, int argc, char** argv, CaptureCommand command,
                          void (*usage)(FILE*), CaptureOptions* o);

// Says in one line on stderr what the camera granted other than what the
// options asked for (size, format, rate). Returns -1 to go on, or, with
// --exact and a difference, kNotGranted.
int check_granted(const char* prog, const CaptureOptions& o, const Capture& granted);

#endif  // CAMCTL_CAPTURE_OPTIONS_H
