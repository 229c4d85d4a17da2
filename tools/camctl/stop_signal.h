// Ctrl-C (SIGINT) and SIGTERM end a capturing run cleanly, at the next
// frame, instead of killing it: what was received is reported, files being
// written are finished or removed, and the camera is released.
#ifndef CAMCTL_STOP_SIGNAL_H
#define CAMCTL_STOP_SIGNAL_H

#include <signal.h>

// Catches the signals for its lifetime; the previous handlers come back after.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction old_int_, old_term_;
};

// The signal caught since the last StopSignals began; 0 if none.
int stop_signal();

// The exit status after a stop by `signal`: 128 + its number, as a shell reports it.
int stopped_status(int signal);

#endif  // CAMCTL_STOP_SIGNAL_H
