#pragma once

#include <chrono>
#include <string>
#include <vector>

// Runs a program as a child, the way a user's shell would, and records what it did.

struct TimedLine {
    std::string text;
    std::chrono::steady_clock::time_point at;  // when the line's end arrived
};

struct ChildResult {
    std::vector<TimedLine> lines;  // standard output, split at '\n'
    std::string out;               // standard output as written
    std::string err;               // standard error as written
    int exit_status = -1;          // -1 unless the child exited normally
    bool timed_out = false;
};

// `env` replaces the whole environment. Standard error goes through `err_file`. With
// `sigchld_ignored` the child starts with SIGCHLD ignored. A child still running after `limit`
// (60 s when zero) is killed and counts as timed out.
ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& err_file,
                      bool sigchld_ignored = false,
                      std::chrono::seconds limit = std::chrono::seconds(0));

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
