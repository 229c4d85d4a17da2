// PNG files of packed RGB pictures: 8 bits a channel, each row filtered by
// its left neighbour and deflated with zlib.
#ifndef CAMCTL_PNG_WRITE_H
#define CAMCTL_PNG_WRITE_H

#include <vector>

// The PNG file of a width x height RGB picture in *png; false if zlib failed.
bool encode_png(const unsigned char* rgb, unsigned width, unsigned height,
                std::vector<unsigned char>* png);

#endif  // CAMCTL_PNG_WRITE_H
