#include "jpeg_header.h"

namespace {

unsigned be16(const unsigned char* p) {
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

// SOF0 to SOF15, without DHT (C4), JPG (C8) and DAC (CC).
bool is_start_of_frame(unsigned char m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

}  // namespace

bool read_jpeg_header(const unsigned char* data, size_t size, JpegHeader* header) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= size) {
        if (data[i] != 0xFF) return false;
        const unsigned char marker = data[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            i += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return false;  // end or scan first
        const size_t length = be16(data + i + 2);
        if (length < 2 || i + 2 + length > size) return false;
        if (is_start_of_frame(marker)) {
            if (length < 8) return false;
            const unsigned char* p = data + i + 4;  // precision, height, width, components
            header->height = be16(p + 1);
            header->width = be16(p + 3);
            header->components = p[5];
            return true;
        }
        i += 2 + length;
    }
    return false;
}

bool jpeg_is_complete(const unsigned char* data, size_t size) {
    while (size > 0 && data[size - 1] == 0) --size;
    return size >= 4 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}
