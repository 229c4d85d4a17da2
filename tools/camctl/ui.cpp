#include "ui.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace ui {
namespace {

Level g_level = Level::Normal;

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

void take_verbosity(int* argc, char** argv) {
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (!strcmp(argv[i], "-q") || !strcmp(argv[i], "--quiet"))
            g_level = Level::Quiet;
        else if (!strcmp(argv[i], "-v") || !strcmp(argv[i], "--verbose"))
            g_level = Level::Verbose;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    argv[kept] = nullptr;
}

Level level() {
    return g_level;
}
void set_level(Level level) {
    g_level = level;
}
bool quiet() {
    return g_level == Level::Quiet;
}
bool verbose() {
    return g_level == Level::Verbose;
}

void note(const char* format, ...) {
    if (!verbose()) return;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

Progress::Progress(const char* prog)
    : prog_(prog), enabled_(g_level == Level::Normal && isatty(STDERR_FILENO)) {}

Progress::~Progress() {
    finish();
}

void Progress::update(unsigned done, unsigned total, double fps, unsigned damaged) {
    if (!enabled_) return;
    // A few updates a second are enough to read, and cheap at any frame rate.
    double t = now_seconds();
    if (done != total && shown_ && t - last_ < 0.1) return;
    last_ = t;
    fprintf(stderr, "\r%s: frame %u", prog_, done);
    if (total) fprintf(stderr, "/%u", total);
    fprintf(stderr, "  %.1f fps", fps);
    if (damaged) fprintf(stderr, "  %u damaged", damaged);
    fputs("\033[K", stderr);
    fflush(stderr);
    shown_ = true;
}

void Progress::finish() {
    if (shown_) fputc('\n', stderr);
    shown_ = false;
}

}  // namespace ui
