#include "port_search.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

namespace boardflash {

namespace {

const unsigned kPollMs = 50;

std::string folder_of(const std::string& device) {
    std::string::size_type slash = device.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return device.substr(0, slash);
}

std::string join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool is_char_device(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void sleep_ms(unsigned ms) {
    struct timespec ts {};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

std::set<std::string> serial_neighbours(const std::string& device) {
    std::set<std::string> found;
    const std::string folder = folder_of(device);
    // In /dev only the tty nodes can be a board's port; the rest are disks, consoles and such.
    const bool dev = folder == "/dev";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (const struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (dev && name.rfind("tty", 0) != 0) continue;
        const std::string path = join(folder, name);
        if (is_char_device(path)) found.insert(path);
    }
    closedir(dir);
    return found;
}

std::string bootloader_port(const std::string& device, const std::set<std::string>& before,
                            unsigned wait_ms) {
    for (unsigned waited = 0;; waited += kPollMs) {
        if (exists(device)) return device;
        for (const std::string& path : serial_neighbours(device)) {
            if (before.count(path) == 0) return path;
        }
        if (waited >= wait_ms) return device;
        sleep_ms(kPollMs);
    }
}

}  // namespace boardflash
