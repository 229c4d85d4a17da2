// Files that appear whole or not at all: written under a temporary name in
// the same folder and renamed onto their own name once complete. A full disk,
// an error or an interrupted run never leaves a cut-off file behind.
#ifndef ATOMIC_FILE_H
#define ATOMIC_FILE_H

#include <stddef.h>

#include <string>

struct AtomicFile {
    std::string path;  // the name the file gets when committed
    std::string temp;  // where it is written until then
    int fd = -1;
};

// Creates the temporary file beside `path`. False with errno set.
bool begin_atomic_file(const std::string& path, AtomicFile* f);

// Appends to the temporary file. False with errno set; the file stays begun.
bool write_atomic_file(AtomicFile* f, const void* data, size_t size);

// Flushes the temporary file to the disk and renames it onto `path`; an
// existing file there is replaced only when `replace` (EEXIST otherwise).
// On failure the temporary file is removed and errno says why.
bool commit_atomic_file(AtomicFile* f, bool replace);

// Removes the temporary file; errno is kept. Safe on a file not begun.
void abandon_atomic_file(AtomicFile* f);

// All of the above for bytes already in memory.
bool write_file_atomically(const std::string& path, const void* data, size_t size, bool replace);

#endif  // ATOMIC_FILE_H
