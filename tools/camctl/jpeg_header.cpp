#include "jpeg_header.h"

namespace {

unsigned be16(const unsigned char* p) {
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

// SOF0 to SOF15, without DHT (C4), JPG (C8) and DAC (CC).
bool is_start_of_frame(unsigned char m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Walks the marker segments from the start of the image to the first scan,
// calling visit(marker, payload, payload length) for each until it returns
// true. Returns the offset of the start-of-scan marker, or 0 when the walk
// was stopped or the bytes hold no well-formed way to a scan.
template <typename Visit>
size_t walk_segments(const unsigned char* data, size_t size, Visit visit) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0;
    size_t i = 2;
    while (i + 4 <= size) {
        if (data[i] != 0xFF) return 0;
        const unsigned char marker = data[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            i += 2;
            continue;
        }
        if (marker == 0xD9) return 0;
        if (marker == 0xDA) return i;
        const size_t length = be16(data + i + 2);
        if (length < 2 || i + 2 + length > size) return 0;
        if (visit(marker, data + i + 4, length - 2)) return 0;
        i += 2 + length;
    }
    return 0;
}

}  // namespace

bool read_jpeg_header(const unsigned char* data, size_t size, JpegHeader* header) {
    bool found = false;
    walk_segments(data, size, [&](unsigned char marker, const unsigned char* p, size_t length) {
        if (!is_start_of_frame(marker)) return false;
        if (length < 6) return true;
        // precision, height, width, components
        header->height = be16(p + 1);
        header->width = be16(p + 3);
        header->components = p[5];
        found = true;
        return true;
    });
    return found;
}

size_t find_jpeg_scan(const unsigned char* data, size_t size, bool* has_huffman_tables) {
    *has_huffman_tables = false;
    return walk_segments(data, size, [&](unsigned char marker, const unsigned char*, size_t) {
        if (marker == 0xC4) *has_huffman_tables = true;
        return false;
    });
}

bool jpeg_is_complete(const unsigned char* data, size_t size) {
    while (size > 0 && data[size - 1] == 0) --size;
    return size >= 4 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}
