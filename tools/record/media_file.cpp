#include "media_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

namespace record {
namespace {

static_assert(sizeof(off_t) == 8, "a recording passes 2 GiB: build with _FILE_OFFSET_BITS=64");

constexpr int kIoBuffer = 64 * 1024;
const AVRational kMicro = {1, 1000000};

bool ends_with(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

int errno_of(int averror) {
    return averror < 0 && averror > -4096 ? -averror : EIO;
}

}  // namespace

MediaFile::~MediaFile() {
    close();
}

int MediaFile::write_cb(void* self, uint8_t* buf, int size) {
    MediaFile* f = static_cast<MediaFile*>(self);
    int done = 0;
    while (done < size) {
        ssize_t n = ::write(f->fd_, buf + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            if (!f->err_) f->err_ = err;
            return AVERROR(err);
        }
        done += static_cast<int>(n);
        f->pos_ += n;
        if (f->pos_ > f->on_disk_) f->on_disk_ = f->pos_;
    }
    return size;
}

int64_t MediaFile::seek_cb(void* self, int64_t offset, int whence) {
    MediaFile* f = static_cast<MediaFile*>(self);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(f->fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    off_t at = lseek(f->fd_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    if (at < 0) return AVERROR(errno);
    f->pos_ = at;
    return static_cast<int64_t>(at);
}

bool MediaFile::fail(int err) {
    if (!err_) err_ = err ? err : EIO;
    return false;
}

// What the muxer let go of ends in a whole element (the header, a cluster):
// once the buffered bytes before it are written, the file may end there.
void MediaFile::note_boundary() {
    boundaries_.push_back(avio_tell(pb_));
    settle();
}

void MediaFile::settle() {
    while (!boundaries_.empty() && boundaries_.front() <= on_disk_) {
        good_end_ = boundaries_.front();
        boundaries_.pop_front();
    }
}

bool MediaFile::open(const std::string& path, Stored codec, unsigned width, unsigned height,
                     int frame_num, int frame_den, bool replace) {
    path_ = path;
    err_ = 0;
    frames_ = 0;
    good_end_ = pos_ = on_disk_ = 0;
    boundaries_.clear();
    frame_us_ = av_rescale(frame_num, 1000000, frame_den);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | (replace ? O_TRUNC : O_EXCL) | O_CLOEXEC, 0666);
    if (fd_ < 0) return fail(errno);

    const bool avi = ends_with(path, ".avi");
    int ret = avformat_alloc_output_context2(&ctx_, nullptr, avi ? "avi" : "matroska", nullptr);
    AVStream* st = ret >= 0 ? avformat_new_stream(ctx_, nullptr) : nullptr;
    unsigned char* buffer = st ? static_cast<unsigned char*>(av_malloc(kIoBuffer)) : nullptr;
    if (buffer) {
        pb_ = avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, write_cb, seek_cb);
        if (!pb_) av_free(buffer);
    }
    pkt_ = pb_ ? av_packet_alloc() : nullptr;
    if (!pkt_) return fail(ENOMEM);
    ctx_->pb = pb_;
    // Writes go out in whole buffers rather than one per frame; flush()
    // bounds what a crash loses.
    ctx_->flush_packets = 0;

    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->width = static_cast<int>(width);
    par->height = static_cast<int>(height);
    if (codec == Stored::Mjpeg) {
        par->codec_id = AV_CODEC_ID_MJPEG;
    } else {
        par->codec_id = AV_CODEC_ID_RAWVIDEO;
        par->format = AV_PIX_FMT_YUYV422;
        par->codec_tag = MKTAG('Y', 'U', 'Y', '2');
        par->bits_per_coded_sample = 16;
    }
    // A hint only: Matroska keeps milliseconds; AVI counts frames in it.
    st->time_base = AVRational{frame_num, frame_den};
    st->avg_frame_rate = AVRational{frame_den, frame_num};

    AVDictionary* opts = nullptr;
    // Every frame is a key frame and closes a cluster once it is over 4 KiB;
    // small ones still go out within a second.
    if (!avi) {
        av_dict_set(&opts, "cluster_time_limit", "1000", 0);
        // The optional checksums would cost more than the rest of the muxing.
        av_dict_set(&opts, "write_crc32", "0", 0);
    }
    ret = avformat_write_header(ctx_, &opts);
    av_dict_free(&opts);
    if (ret < 0) return fail(errno_of(ret));
    tb_num_ = st->time_base.num;
    tb_den_ = st->time_base.den;
    note_boundary();
    return err_ == 0;
}

bool MediaFile::write(const unsigned char* data, size_t size, int64_t t_us) {
    if (!ctx_ || err_) return false;
    const AVRational tb = {tb_num_, tb_den_};
    int64_t pts = av_rescale_q(t_us, kMicro, tb);
    // The muxer refuses a step back, and a player shows two frames at one
    // time as one: each frame gets a time of its own.
    if (frames_ && pts <= last_pts_) pts = last_pts_ + 1;
    av_packet_unref(pkt_);
    pkt_->data = const_cast<uint8_t*>(data);
    pkt_->size = static_cast<int>(size);
    pkt_->pts = pkt_->dts = pts;
    pkt_->duration = av_rescale_q(frame_us_, kMicro, tb);
    if (pkt_->duration < 1) pkt_->duration = 1;
    pkt_->flags = AV_PKT_FLAG_KEY;
    pkt_->stream_index = 0;
    int ret = av_write_frame(ctx_, pkt_);
    pkt_->data = nullptr;
    pkt_->size = 0;
    if (ret < 0) return fail(errno_of(ret));
    last_pts_ = pts;
    last_t_us_ = av_rescale_q(pts, tb, kMicro);
    ++frames_;
    note_boundary();
    return err_ == 0;
}

bool MediaFile::flush(bool sync) {
    if (!ctx_ || err_) return false;
    int ret = av_write_frame(ctx_, nullptr);  // closes Matroska's open cluster
    if (ret < 0) return fail(errno_of(ret));
    note_boundary();
    avio_flush(pb_);
    settle();
    if (!err_ && sync && fdatasync(fd_) != 0) fail(errno);
    return err_ == 0;
}

bool MediaFile::close() {
    if (fd_ < 0 && !ctx_) return err_ == 0;
    if (ctx_ && pb_ && !err_) {
        int ret = av_write_trailer(ctx_);
        if (ret < 0) fail(errno_of(ret));
        if (!err_ && fdatasync(fd_) != 0) fail(errno);
    }
    // The trailer or a cluster cut short would end the file in a torn
    // element: without it the file plays to its last whole cluster.
    if (err_ && fd_ >= 0) {
        settle();
        if (ftruncate(fd_, static_cast<off_t>(good_end_)) == 0) fdatasync(fd_);
    }
    if (pb_) {
        av_freep(&pb_->buffer);
        avio_context_free(&pb_);
    }
    if (ctx_) ctx_->pb = nullptr;
    avformat_free_context(ctx_);
    ctx_ = nullptr;
    av_packet_free(&pkt_);
    if (fd_ >= 0 && ::close(fd_) != 0) fail(errno);
    fd_ = -1;
    return err_ == 0;
}

uint64_t MediaFile::bytes() const {
    if (pb_) return static_cast<uint64_t>(avio_tell(pb_));
    return static_cast<uint64_t>(err_ ? good_end_ : on_disk_);
}

int64_t MediaFile::duration_us() const {
    return frames_ ? last_t_us_ + frame_us_ : 0;
}

}  // namespace record
