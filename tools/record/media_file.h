// One video file written through libavformat: Matroska, or AVI when the name
// ends in .avi. The file descriptor is ours, so a write error keeps its errno
// and a flush can reach the disk.
#ifndef RECORD_MEDIA_FILE_H
#define RECORD_MEDIA_FILE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace record {

enum class Stored { Mjpeg, Yuyv };

class MediaFile {
  public:
    MediaFile() = default;
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;
    ~MediaFile();

    // Creates the file (EEXIST for an existing one unless `replace`) and
    // writes its header. `frame_num/frame_den` seconds is the camera's frame
    // interval: each frame's duration, and AVI's clock.
    bool open(const std::string& path, Stored codec, unsigned width, unsigned height, int frame_num,
              int frame_den, bool replace);
    // One frame at t_us microseconds from the file's start.
    bool write(const unsigned char* data, size_t size, int64_t t_us);
    // Writes out the frames the muxer still holds and, with `sync`, waits
    // for the disk.
    bool flush(bool sync);
    // The index and the duration at the end; after a write error the file is
    // cut back to the last frames written whole instead. False if anything
    // failed along the way (error() says what).
    bool close();

    bool is_open() const { return ctx_ != nullptr; }
    const std::string& path() const { return path_; }
    int error() const { return err_; }  // errno of the first failure, 0 if none
    uint64_t bytes() const;
    unsigned frames() const { return frames_; }
    int64_t duration_us() const;  // from the first frame to the end of the last

  private:
    static int write_cb(void* self, uint8_t* buf, int size);
    static int64_t seek_cb(void* self, int64_t offset, int whence);
    bool fail(int err);
    void note_boundary();
    void settle();

    std::string path_;
    int fd_ = -1;
    AVFormatContext* ctx_ = nullptr;
    AVIOContext* pb_ = nullptr;
    AVPacket* pkt_ = nullptr;
    int err_ = 0;
    int64_t good_end_ = 0;            // the file up to here holds whole elements, on disk
    int64_t pos_ = 0;                 // where the next write lands
    int64_t on_disk_ = 0;             // bytes the writes have put into the file
    std::deque<int64_t> boundaries_;  // ends of whole elements not yet on disk
    int64_t frame_us_ = 0;
    int64_t last_pts_ = 0;
    int64_t last_t_us_ = 0;
    unsigned frames_ = 0;
    int tb_num_ = 1, tb_den_ = 1000;
};

}  // namespace record

#endif  // RECORD_MEDIA_FILE_H
