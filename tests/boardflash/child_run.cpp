#include "child_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

// Long enough for a sanitized build under emulation; a hung child fails the test instead of
// the whole CTest run.
const std::chrono::seconds kChildDeadline(60);

std::vector<char*> pointers(const std::vector<std::string>& words) {
    std::vector<char*> out;
    for (const std::string& w : words) out.push_back(const_cast<char*>(w.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& err_file,
                      bool sigchld_ignored, std::chrono::seconds limit) {
    ChildResult result;
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argv_ptrs = pointers(argv);
    std::vector<char*> env_ptrs = pointers(env);
    // An ignored signal stays ignored across exec. Ours is restored at once; the child
    // cannot end before it has done its work, so we still get to reap it.
    if (sigchld_ignored) signal(SIGCHLD, SIG_IGN);
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv_ptrs.data(), env_ptrs.data());
    if (sigchld_ignored) signal(SIGCHLD, SIG_DFL);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        ADD_FAILURE() << "posix_spawn " << program << ": " << strerror(rc);
        return result;
    }

    // Read until every holder of the pipe (the child and anything it started) has gone.
    const auto deadline =
        std::chrono::steady_clock::now() + (limit.count() > 0 ? limit : kChildDeadline);
    std::string partial;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd pfd{out_pipe[0], POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t n = read(out_pipe[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const auto now = std::chrono::steady_clock::now();
        result.out.append(chunk, static_cast<size_t>(n));
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n') {
                result.lines.push_back({partial, now});
                partial.clear();
            } else {
                partial += chunk[i];
            }
        }
    }
    close(out_pipe[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    result.err = read_file(err_file);
    return result;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/boardflash-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
        return;
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
