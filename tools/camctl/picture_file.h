// A frame saved as a file of the type its name's extension says: .bmp and
// .png (RGB), .jpg (MJPG frames as they came, with Huffman tables; YUYV
// frames encoded), .raw and .mjpg (the bytes as delivered).
#ifndef CAMCTL_PICTURE_FILE_H
#define CAMCTL_PICTURE_FILE_H

#include <string>
#include <vector>

#include "frame_source.h"

struct PictureType;

// The type for a file name (the extension in any case); null for none known.
const PictureType* picture_type(const std::string& name);
// ".bmp, .jpg, .png, .raw or .mjpg", for messages.
std::string picture_extensions();
// Null if frames in `fourcc` can be saved as `type`, else why not.
const char* picture_refuses(const PictureType* type, uint32_t fourcc);

enum class Saved { Ok, Damaged, Failed };

// Buffers reused from one frame to the next.
struct PictureWork {
    std::vector<unsigned char> rgb;
    std::vector<unsigned char> file;
};

// Encodes the frame in src and writes it to `path` whole or not at all
// (replacing an existing file only if `replace`). Damaged: the frame did not
// decode. Failed: not written, errno says why.
Saved save_picture(const PictureType* type, const FrameSource& src, const std::string& path,
                   bool replace, PictureWork* work);

#endif  // CAMCTL_PICTURE_FILE_H
