#include "atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<unsigned> g_serial{0};

// ".NAME.PID-N" in the folder of `path`: hidden, and on the same file
// system, so that the rename is atomic.
std::string temp_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base) + "." + std::to_string(getpid()) + "-" +
           std::to_string(g_serial++);
}

bool rename_into_place(const std::string& from, const std::string& to, bool replace) {
    if (replace) return rename(from.c_str(), to.c_str()) == 0;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a hard link fails the
    // same way on an existing name.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

}  // namespace

bool begin_atomic_file(const std::string& path, AtomicFile* f) {
    abandon_atomic_file(f);
    // Another run's leftover of the same name is never reused.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = temp_name(path);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    f->path = path;
    f->temp = temp;
    f->fd = fd;
    return true;
}

bool write_atomic_file(AtomicFile* f, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(f->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool commit_atomic_file(AtomicFile* f, bool replace) {
    // A full disk may only show when the data reach it.
    bool ok = fsync(f->fd) == 0;
    int err = errno;
    if (close(f->fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    f->fd = -1;
    if (ok && !rename_into_place(f->temp, f->path, replace)) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        abandon_atomic_file(f);
        errno = err;
        return false;
    }
    f->temp.clear();
    return true;
}

void abandon_atomic_file(AtomicFile* f) {
    const int err = errno;
    if (f->fd >= 0) close(f->fd);
    if (!f->temp.empty()) unlink(f->temp.c_str());
    f->fd = -1;
    f->temp.clear();
    errno = err;
}

bool write_file_atomically(const std::string& path, const void* data, size_t size, bool replace) {
    AtomicFile f;
    if (!begin_atomic_file(path, &f)) return false;
    if (!write_atomic_file(&f, data, size)) {
        abandon_atomic_file(&f);
        return false;
    }
    return commit_atomic_file(&f, replace);
}
