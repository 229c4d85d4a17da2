// How much camctl says besides its results: --quiet, --verbose, and a
// progress line that only a terminal gets.
#ifndef CAMCTL_UI_H
#define CAMCTL_UI_H

namespace ui {

enum class Level { Quiet, Normal, Verbose };

// Takes -q/--quiet and -v/--verbose out of argv (compacting it), wherever
// they stand; the last one given wins.
void take_verbosity(int* argc, char** argv);

Level level();
void set_level(Level level);
bool quiet();
bool verbose();

// A printf-style note on stderr, shown only with --verbose.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line on stderr, rewritten in place as frames arrive; only on a
// terminal, and neither with --quiet nor with --verbose (which notes each
// step on a line of its own instead).
class Progress {
  public:
    explicit Progress(const char* prog);
    ~Progress();
    // `total` 0: no set number of frames.
    void update(unsigned done, unsigned total, double fps, unsigned damaged);
    // Ends the line so that what follows starts on its own line.
    void finish();

  private:
    const char* prog_;
    bool shown_ = false;
    bool enabled_;
    double last_ = 0;
};

}  // namespace ui

#endif  // CAMCTL_UI_H
