// JPEG frames for the decoder tests, made with the same libjpeg.
#ifndef TESTS_CONVERT_JPEG_FIXTURE_H
#define TESTS_CONVERT_JPEG_FIXTURE_H

#include <vector>

namespace convert_test {

using Bytes = std::vector<unsigned char>;

// A smooth colour test picture of width x height packed RGB pixels.
Bytes test_picture(int width, int height);

// Baseline JPEG of a packed RGB image with the encoder's standard Huffman
// tables; 4:2:2 chroma like a camera's MJPEG frames.
Bytes encode_jpeg(const Bytes& rgb, int width, int height, int quality);

// Baseline greyscale JPEG of one byte per pixel.
Bytes encode_grey_jpeg(const Bytes& grey, int width, int height);

// The same frame without its DHT segments, as UVC cameras send MJPEG.
Bytes strip_huffman_tables(const Bytes& jpeg);

}  // namespace convert_test

#endif  // TESTS_CONVERT_JPEG_FIXTURE_H
