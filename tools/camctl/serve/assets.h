// The page's files, embedded into the binary at build time from www/.
#ifndef CAMCTL_SERVE_ASSETS_H
#define CAMCTL_SERVE_ASSETS_H

#include <stddef.h>

struct Asset {
    const char* path;          // as requested, "/index.html"
    const char* content_type;  // "text/html; charset=utf-8"
    const unsigned char* data;
    size_t size;
};

// The asset served at `path` ("/" is "/index.html"); null when there is none.
const Asset* find_asset(const char* path);

#endif  // CAMCTL_SERVE_ASSETS_H
