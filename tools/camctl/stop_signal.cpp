#include "stop_signal.h"

#include <string.h>

namespace {

volatile sig_atomic_t g_caught = 0;

void on_signal(int signal) {
    g_caught = signal;
}

}  // namespace

StopSignals::StopSignals() {
    g_caught = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the wait for a frame returns at once.
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_caught = 0;  // frames waited for later (camctl serve, tests) do not stop
}

int stop_signal() {
    return g_caught;
}

int stopped_status(int signal) {
    return 128 + signal;
}
