// Files written whole or not at all, with a write that fails part way: the
// file size limit stands in for a full disk.
#include "atomic_file.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent64* e = readdir64(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(AtomicFile, WholeOrNothing) {
    const struct {
        const char* name;
        rlim_t limit;
        bool existing;
        bool replace;
        int err;              // 0: written
        const char* content;  // afterwards; null: no file
    } cases[] = {
        {"new", RLIM_INFINITY, false, false, 0, "new bytes"},
        {"cut short", 4, false, false, EFBIG, nullptr},
        {"kept", RLIM_INFINITY, true, false, EEXIST, "old"},
        {"replaced", RLIM_INFINITY, true, true, 0, "new bytes"},
        {"old kept on failure", 4, true, true, EFBIG, "old"},
    };
    const sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = testing::TempDir() + "atomic-XXXXXX";
        ASSERT_NE(mkdtemp(&dir[0]), nullptr);
        const std::string path = dir + "/pic.bmp";
        if (c.existing) std::ofstream(path) << "old";
        struct rlimit old_limit, limit;
        getrlimit(RLIMIT_FSIZE, &old_limit);
        limit = old_limit;
        limit.rlim_cur = c.limit;
        setrlimit(RLIMIT_FSIZE, &limit);
        errno = 0;
        const bool ok = write_file_atomically(path, "new bytes", 9, c.replace);
        const int err = errno;
        setrlimit(RLIMIT_FSIZE, &old_limit);
        EXPECT_EQ(ok, c.err == 0);
        if (c.err) {
            EXPECT_EQ(err, c.err) << strerror(err);
        }
        EXPECT_EQ(names_in(dir),
                  c.content ? std::vector<std::string>{"pic.bmp"} : std::vector<std::string>{});
        if (c.content) {
            EXPECT_EQ(contents(path), c.content);
        }
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    signal(SIGXFSZ, old_handler);
}

}  // namespace
