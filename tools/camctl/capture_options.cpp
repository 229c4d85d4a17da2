#include "capture_options.h"

#include <string.h>

#include <string>

#include "args.h"
#include "status.h"

namespace {

const unsigned kBoth = kSnapOptions | kStreamOptions;

struct Option {
    const char* name;
    unsigned commands;  // CaptureCommand bits
    bool takes_value;
    // Applies the value (null for a flag); false for a bad one.
    bool (*apply)(const char* v, CaptureOptions* o);
};

const Option kOptions[] = {
    {"-d", kBoth, true, [](const char* v, CaptureOptions* o) { return *(o->device = v) != '\0'; }},
    {"-f", kBoth, true,
     [](const char* v, CaptureOptions* o) { return parse_fourcc(v, &o->fourcc); }},
    {"-s", kBoth, true,
     [](const char* v, CaptureOptions* o) { return parse_size(v, &o->width, &o->height); }},
    {"-r", kBoth, true,
     [](const char* v, CaptureOptions* o) { return parse_uint(v, 1, 1000, &o->fps); }},
    {"-n", kBoth, true,
     [](const char* v, CaptureOptions* o) {
         return o->frames_given = parse_uint(v, 1, 1000000000, &o->frames);
     }},
    {"--slot", kBoth, true,
     [](const char* v, CaptureOptions* o) { return parse_uint(v, 0, 1, &o->slot); }},
    {"--timeout", kBoth, true,
     [](const char* v, CaptureOptions* o) {
         o->timeout_text = v;
         return parse_seconds(v, &o->timeout_ms);
     }},
    {"--exact", kBoth, false, [](const char*, CaptureOptions* o) { return o->exact = true; }},
    // The command checks the name itself.
    {"-o", kSnapOptions, true,
     [](const char* v, CaptureOptions* o) { return (o->output = v) != nullptr; }},
    {"--force", kSnapOptions, false,
     [](const char*, CaptureOptions* o) { return o->force = true; }},
    {"--duration", kStreamOptions, true,
     [](const char* v, CaptureOptions* o) { return parse_seconds(v, &o->duration_ms); }},
};

const Option* find_option(const char* name, CaptureCommand command) {
    for (const Option& opt : kOptions)
        if ((opt.commands & command) && !strcmp(opt.name, name)) return &opt;
    return nullptr;
}

}  // namespace

int parse_capture_options(const char* prog, int argc, char** argv, CaptureCommand command,
                          void (*usage)(FILE*), CaptureOptions* o) {
    for (int i = 0; i < argc; ++i) {
        const char* name = argv[i];
        if (!strcmp(name, "-h") || !strcmp(name, "--help")) {
            usage(stdout);
            return kOk;
        }
        const Option* opt = find_option(name, command);
        const char* problem = nullptr;
        if (!opt)
            problem = "unknown option";
        else if (opt->takes_value && i + 1 >= argc)
            problem = "missing value after";
        if (problem) {
            fprintf(stderr, "%s: %s '%s' (see %s --help)\n", prog, problem, name, prog);
            return kUsage;
        }
        const char* v = opt->takes_value ? argv[++i] : nullptr;
        if (!opt->apply(v, o)) {
            // A bad format lists the good ones: the help names only two.
            if (!strcmp(name, "-f"))
                fprintf(stderr, "%s: bad value for -f: '%s' (one of %s)\n", prog, v,
                        kFourccChoices);
            else
                fprintf(stderr, "%s: bad value for %s: '%s' (see %s --help)\n", prog, name, v,
                        prog);
            return kUsage;
        }
    }
    return -1;
}

int check_granted(const char* prog, const CaptureOptions& o, const Capture& granted) {
    std::string asked, gives;
    auto differs = [&](const std::string& a, const std::string& g) {
        asked += (asked.empty() ? "" : " ") + a;
        gives += (gives.empty() ? "" : " ") + g;
    };
    if (o.fourcc && o.fourcc != granted.fourcc)
        differs(fourcc_text(o.fourcc), fourcc_text(granted.fourcc));
    if (o.width && (o.width != granted.width || o.height != granted.height))
        differs(std::to_string(o.width) + "x" + std::to_string(o.height),
                std::to_string(granted.width) + "x" + std::to_string(granted.height));
    // The rate asked for is whole frames a second: 1/fps as granted?
    if (o.fps && uint64_t{granted.numerator} * o.fps != granted.denominator)
        differs(rate_text(o.fps, 1), rate_text(granted.denominator, granted.numerator));
    if (asked.empty()) return -1;
    fprintf(stderr, "%s: asked for %s, the camera gives %s%s\n", prog, asked.c_str(), gives.c_str(),
            o.exact ? " (--exact: stopped)" : "");
    return o.exact ? kNotGranted : -1;
}
