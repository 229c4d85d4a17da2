// Many cameras leave the Huffman tables out of their MJPEG frames, relying
// on the standard's example tables; decoders that want every table in the
// file refuse such a frame. Saved frames get the tables put in.
#ifndef CAMCTL_JPEG_HUFFMAN_H
#define CAMCTL_JPEG_HUFFMAN_H

#include <stddef.h>

#include <vector>

// The frame in *out, with a DHT segment of the standard tables before the
// scan when it has no tables of its own. False when no scan is found.
bool with_huffman_tables(const unsigned char* data, size_t size, std::vector<unsigned char>* out);

#endif  // CAMCTL_JPEG_HUFFMAN_H
