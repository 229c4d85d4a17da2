// JPEG from YUYV frames, fed to libjpeg as its 4:2:2 planes (no RGB step),
// and the picture shown while a camera has no signal.
#ifndef CAMCTL_SERVE_JPEG_ENCODE_H
#define CAMCTL_SERVE_JPEG_ENCODE_H

#include <vector>

namespace serve {

// Encodes a width x height YUYV frame (width even) at quality 1..100 into
// *jpeg; false if libjpeg refused.
bool encode_yuyv(const unsigned char* yuyv, unsigned width, unsigned height, int quality,
                 std::vector<unsigned char>* jpeg);

// A grey picture of the given size saying NO SIGNAL, as JPEG.
std::vector<unsigned char> no_signal_jpeg(unsigned width, unsigned height, int quality);

}  // namespace serve

#endif  // CAMCTL_SERVE_JPEG_ENCODE_H
