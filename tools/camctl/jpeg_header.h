// The frame header of a JPEG image, read before decoding: a camera's frame
// is untrusted, and the decoder writes as many pixels as the header says.
#ifndef CAMCTL_JPEG_HEADER_H
#define CAMCTL_JPEG_HEADER_H

#include <stddef.h>

struct JpegHeader {
    unsigned width = 0;
    unsigned height = 0;
    unsigned components = 0;
};

// False when the bytes hold no start-of-frame segment before the scan.
bool read_jpeg_header(const unsigned char* data, size_t size, JpegHeader* header);

// The offset of the start-of-scan marker (0: none found), and whether
// Huffman tables (DHT) come before it.
size_t find_jpeg_scan(const unsigned char* data, size_t size, bool* has_huffman_tables);

// True when the image ends with the end-of-image marker (zero padding after
// it allowed). The decoder fills a cut-off image with grey and calls it good.
bool jpeg_is_complete(const unsigned char* data, size_t size);

#endif  // CAMCTL_JPEG_HEADER_H
