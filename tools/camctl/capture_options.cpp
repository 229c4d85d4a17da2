#include "capture_options.h"

#include <string.h>

#include "args.h"
#include "status.h"

namespace {

bool takes_value(const char* opt, bool takes_output) {
    static const char* const kWithValue[] = {"-d", "-f", "-s", "-r", "-n", "--slot", "--timeout"};
    for (const char* known : kWithValue)
        if (!strcmp(opt, known)) return true;
    return takes_output && !strcmp(opt, "-o");
}

bool apply(const char* opt, const char* v, CaptureOptions* o) {
    if (!strcmp(opt, "-d")) {
        o->device = v;
        return *v != '\0';
    }
    if (!strcmp(opt, "-f")) return parse_fourcc(v, &o->fourcc);
    if (!strcmp(opt, "-s")) return parse_size(v, &o->width, &o->height);
    if (!strcmp(opt, "-r")) return parse_uint(v, 1, 1000, &o->fps);
    if (!strcmp(opt, "-n")) return parse_uint(v, 1, 1000000000, &o->frames);
    if (!strcmp(opt, "--slot")) return parse_uint(v, 0, 1, &o->slot);
    if (!strcmp(opt, "-o")) {
        o->output = v;
        return true;  // the command checks the pattern itself
    }
    o->timeout_text = v;
    return parse_seconds(v, &o->timeout_ms);
}

}  // namespace

int parse_capture_options(const char* prog, int argc, char** argv, bool takes_output,
                          void (*usage)(FILE*), CaptureOptions* o) {
    for (int i = 0; i < argc; ++i) {
        const char* opt = argv[i];
        if (!strcmp(opt, "-h") || !strcmp(opt, "--help")) {
            usage(stdout);
            return kOk;
        }
        const char* problem = nullptr;
        if (!takes_value(opt, takes_output))
            problem = "unknown option";
        else if (i + 1 >= argc)
            problem = "missing value after";
        if (problem) {
            fprintf(stderr, "%s: %s '%s' (see %s --help)\n", prog, problem, opt, prog);
            return kUsage;
        }
        const char* v = argv[++i];
        if (!apply(opt, v, o)) {
            fprintf(stderr, "%s: bad value for %s: '%s' (see %s --help)\n", prog, opt, v, prog);
            return kUsage;
        }
    }
    return -1;
}
