#include "run_program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace boardflash {

int run_program(const std::vector<std::string>& argv) {
    // posix_spawnp wants mutable pointers; the strings outlive the call and are not changed.
    std::vector<char*> words;
    words.reserve(argv.size() + 1);
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);

    // An ignored SIGCHLD, inherited from whoever started us, would make the kernel reap the
    // child itself and lose its exit status.
    signal(SIGCHLD, SIG_DFL);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, words[0], nullptr, nullptr, words.data(), environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }

    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) return -1;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace boardflash
