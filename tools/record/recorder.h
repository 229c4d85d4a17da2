// Recording a camera's frames into video files: the capture thread hands
// frames over without waiting, one writer thread of the recorder's own writes
// them. MJPG frames are stored as they came; YUYV frames raw, or as JPEG
// through an encoder the caller gives. Every frame keeps its driver
// timestamp, so a dropped frame is a gap in the file, not a shifted clock.
//
// Any thread may trigger, stop or ask for the state; push() belongs to one
// capture thread.
#ifndef RECORD_RECORDER_H
#define RECORD_RECORDER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace record {

// YUYV (width even) to JPEG at quality 1..100; false if it failed.
using EncodeYuyv = bool (*)(const unsigned char* yuyv, unsigned width, unsigned height, int quality,
                            std::vector<unsigned char>* jpeg);

struct Options {
    std::string pattern;  // file names (see file_name.h); .mkv, or .avi
    uint32_t fourcc = 0;  // V4L2_PIX_FMT_MJPEG or V4L2_PIX_FMT_YUYV
    unsigned width = 0;
    unsigned height = 0;
    // The camera's frame interval in seconds, num/den: each frame's length,
    // and a time-lapse's playback rate.
    int interval_num = 1;
    int interval_den = 30;
    EncodeYuyv encode = nullptr;  // YUYV frames stored as MJPEG through it
    int quality = 80;
    int64_t segment_us = 0;  // a new file every so long (0: one file)
    int64_t lapse_us = 0;    // keep one frame every so long (0: all)
    int64_t pre_us = 0;      // hold so much before trigger() (0: record at once)
    // Frames waiting for the writer, those held before the trigger included.
    size_t queue_bytes = size_t{128} << 20;
    int flush_ms = 1000;   // how much a crash or a power cut may lose
    bool replace = false;  // existing files are replaced, not refused (EEXIST)
};

struct Frame {
    const unsigned char* data = nullptr;
    size_t size = 0;
    int64_t timestamp_us = 0;  // the driver's, monotonic
    uint32_t sequence = 0;
};

enum class Push {
    Queued,   // the writer will write it
    Held,     // kept for the time before the trigger
    Skipped,  // not due in the time-lapse
    Dropped,  // the queue was full: the disk is not keeping up
    Stopped,  // the recorder has stopped (see state())
};

struct FileInfo {
    std::string path;
    uint64_t bytes = 0;
    unsigned frames = 0;
    int64_t duration_us = 0;
    bool complete = false;  // with index and duration (false: cut short by an error)
};

struct State {
    bool recording = false;  // triggered (or started without a pre-buffer)
    bool stopped = false;    // by stop() or a write error
    unsigned frames = 0;     // written
    unsigned dropped = 0;    // lost to a full queue
    uint64_t bytes = 0;      // in all files
    unsigned files = 0;      // begun
    size_t queued_bytes = 0;
    size_t peak_queued_bytes = 0;
    int error = 0;  // errno of a write error, 0 if none
    std::string error_path;
    std::string current_path;
};

// ENOSPC and its kin: no room left for the recording.
bool is_disk_full(int err);

class Recorder {
  public:
    Recorder();
    ~Recorder();  // stops
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Checks the options and starts the writer. False with the reason.
    bool start(const Options& options, std::string* why);
    // Never waits for the disk.
    Push push(const Frame& frame);
    // Starts writing, the held frames first.
    void trigger();
    // Writes what is queued, finishes the file and stops the writer. False
    // if a write failed (state().error says why).
    bool stop();

    State state() const;
    std::vector<FileInfo> files() const;  // finished files, oldest first

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace record

#endif  // RECORD_RECORDER_H
