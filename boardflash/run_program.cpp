#include "run_program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>

extern char** environ;

namespace boardflash {

namespace {

const long kPollNs = 20L * 1000000L;
const unsigned kGraceSeconds = 2;

// A signal that would end us while the child sits in its own process group, where the
// terminal's Ctrl-C no longer reaches it; the wait loop passes it on.
volatile sig_atomic_t g_forward_signal = 0;

void note_signal(int sig) {
    g_forward_signal = sig;
}

double seconds_since(const struct timespec& start) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Waits for `pid` up to `limit` seconds (forever when negative); true when it ended.
bool wait_child(pid_t pid, int* status, double limit, pid_t group) {
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t r = waitpid(pid, status, limit < 0 ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r == -1 && errno != EINTR) {
            *status = 127 << 8;  // lost the child: never report that as success
            return true;
        }
        if (group > 0 && g_forward_signal != 0) {
            kill(-group, g_forward_signal);
            g_forward_signal = 0;
        }
        if (limit >= 0) {
            if (seconds_since(start) >= limit) return false;
            struct timespec pause {
                0, kPollNs
            };
            nanosleep(&pause, nullptr);
        }
    }
}

int exit_code(int status) {
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

int run_program(const std::vector<std::string>& argv, unsigned timeout_seconds, bool* timed_out) {
    if (timed_out != nullptr) *timed_out = false;
    // posix_spawnp wants mutable pointers; the strings outlive the call and are not changed.
    std::vector<char*> words;
    words.reserve(argv.size() + 1);
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);

    // An ignored SIGCHLD, inherited from whoever started us, would make the kernel reap the
    // child itself and lose its exit status.
    signal(SIGCHLD, SIG_DFL);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    const bool bounded = timeout_seconds > 0;
    if (bounded) {
        // Its own group, so whatever it starts is stopped with it.
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        struct sigaction sa {};
        sa.sa_handler = note_signal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
    }

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, words[0], nullptr, &attr, words.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }

    int status = 0;
    if (!bounded) {
        wait_child(pid, &status, -1, 0);
        return exit_code(status);
    }
    if (wait_child(pid, &status, timeout_seconds, pid)) return exit_code(status);
    if (timed_out != nullptr) *timed_out = true;
    kill(-pid, SIGTERM);
    if (!wait_child(pid, &status, kGraceSeconds, pid)) {
        kill(-pid, SIGKILL);
        wait_child(pid, &status, -1, 0);
    }
    return exit_code(status);
}

}  // namespace boardflash
