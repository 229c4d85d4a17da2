// The options of the capturing commands (stream, snap): which camera, which
// format, how many frames, how long to wait for one.
#ifndef CAMCTL_CAPTURE_OPTIONS_H
#define CAMCTL_CAPTURE_OPTIONS_H

#include <stdint.h>
#include <stdio.h>

struct CaptureOptions {
    // Zero or null: not given, the catalogue chooses.
    const char* device = nullptr;
    uint32_t fourcc = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned fps = 0;

    unsigned frames = 1;
    unsigned slot = 0;
    const char* timeout_text = "2";  // as given, for messages
    int timeout_ms = 2000;
    const char* output = nullptr;  // -o, when the command takes it
};

// Parses argv into *o. Returns -1 to go on, or the exit status: 0 after
// --help (usage on stdout), 1 on a usage error (one line on stderr).
int parse_capture_options(const char* prog, int argc, char** argv, bool takes_output,
                          void (*usage)(FILE*), CaptureOptions* o);

#endif  // CAMCTL_CAPTURE_OPTIONS_H
