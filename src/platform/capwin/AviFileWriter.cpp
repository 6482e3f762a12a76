// Single-frame AVI files written through libavformat, durable after every frame.
#include "platform/capwin/AviFileWriter.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtEndian>

#include "platform/capwin/CapwinLog.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace capwin {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

void IgnoreFileSizeSignal() {
    // Growing a file past RLIMIT_FSIZE raises SIGXFSZ, whose default ends the process; a
    // recorder must instead see the failed write and report the grab as failed.
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGXFSZ, SIG_IGN);
    });
}

void SyncParentDirectory(const std::string& path) {
    // The new name itself must survive a power cut, not only the file's contents.
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool ReadAt(int fd, std::int64_t offset, void* out, std::size_t size) {
    return ::pread(fd, out, size, offset) == static_cast<ssize_t>(size);
}

bool WriteLe32At(int fd, std::int64_t offset, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    qToLittleEndian(value, bytes.data());
    return ::pwrite(fd, bytes.data(), bytes.size(), offset) == 4;
}

bool IsTag(const std::uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

}  // namespace

int CreateExclusive(const std::string& path) {
    IgnoreFileSizeSignal();
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0)
        SyncParentDirectory(path);
    return fd;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::unique_ptr<AviFileWriter> AviFileWriter::Create(const std::string& path,
                                                     const AviSetup& setup) {
    std::unique_ptr<AviFileWriter> writer(new AviFileWriter);
    writer->path_ = path;
    writer->setup_ = setup;
    writer->fd_ = CreateExclusive(path);
    if (writer->fd_ < 0) {
        qCWarning(lcCapwin).noquote() << "cannot create" << QString::fromStdString(path) << ":"
                                      << std::strerror(errno);
        return {};
    }
    if (!writer->openStream(setup)) {
        writer->broken_ = true;
        return {};
    }
    qCInfo(lcCapwin).noquote() << "writing" << QString::fromStdString(path) << setup.width
                               << "x" << setup.height << LayoutName(setup.layout)
                               << CompressionName(setup.compression);
    return writer;
}

AviFileWriter::~AviFileWriter() {
    if (!finished_ && fd_ >= 0 && !broken_)
        finish();
    output_.reset();
    io_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

int AviFileWriter::onWrite(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<AviFileWriter*>(opaque);
    if (self->ioErrno_ != 0)
        return AVERROR(self->ioErrno_);
    if (!WriteAll(self->fd_, data, static_cast<std::size_t>(size))) {
        self->ioErrno_ = errno;
        return AVERROR(errno);
    }
    return size;
}

std::int64_t AviFileWriter::onSeek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<AviFileWriter*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(self->fd_, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

bool AviFileWriter::openStream(const AviSetup& setup) {
    ForwardFfmpegLog();
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "avi", path_.c_str()) < 0 || !raw) {
        qCWarning(lcCapwin) << "FFmpeg has no AVI muxer";
        return false;
    }
    output_.reset(raw);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr)
        return false;
    io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &AviFileWriter::onWrite,
                                 &AviFileWriter::onSeek));
    if (!io_) {
        av_free(buffer);
        return false;
    }
    output_->pb = io_.get();

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (stream_ == nullptr)
        return false;
    const AVRational timeBase{static_cast<int>(setup.microSecPerFrame), 1000000};
    stream_->time_base = timeBase;
    stream_->avg_frame_rate = av_inv_q(timeBase);
    AVCodecParameters* par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->width = setup.width;
    par->height = setup.height;

    if (setup.layout == PixelLayout::Mjpeg) {
        // The device's pictures are stored as they came.
        par->codec_id = AV_CODEC_ID_MJPEG;
        par->codec_tag = MKTAG('M', 'J', 'P', 'G');
        par->format = AV_PIX_FMT_YUVJ422P;
        par->bits_per_coded_sample = 24;
    } else if (setup.compression == Compression::None) {
        par->codec_id = AV_CODEC_ID_RAWVIDEO;
        par->bits_per_coded_sample = BitsPerPixel(setup.layout);
        switch (setup.layout) {
        case PixelLayout::Rgb24: par->format = AV_PIX_FMT_BGR24; break;
        case PixelLayout::Rgb32: par->format = AV_PIX_FMT_BGRA; break;
        default:
            par->format = AV_PIX_FMT_YUYV422;
            par->codec_tag = MKTAG('Y', 'U', 'Y', '2');
            break;
        }
    } else {
        EncoderSetup encoding;
        encoding.width = setup.width;
        encoding.height = setup.height;
        encoding.layout = setup.layout;
        encoding.compression = setup.compression;
        encoding.timeBase = timeBase;
        encoding.crf = setup.crf;
        encoding.globalHeader = (output_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
        encoder_ = VideoEncoder::Open(encoding, setup.encoderLookup ? setup.encoderLookup
                                                                    : DefaultEncoderLookup());
        if (!encoder_ || avcodec_parameters_from_context(par, encoder_->context()) < 0)
            return false;
    }

    AVDictionary* options = nullptr;
    // Uncompressed RGB goes out as a classic DIB: positive height, bottom row first, which
    // is the order the frames already have.
    av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    const int rc = avformat_write_header(output_.get(), &options);
    av_dict_free(&options);
    if (rc < 0) {
        qCWarning(lcCapwin).noquote() << "cannot write the AVI header:"
                                      << QString::fromStdString(AvError(rc));
        return false;
    }
    if (!sync())
        return false;
    return recordHeaderFields();
}

bool AviFileWriter::flush() {
    avio_flush(io_.get());
    if (io_->error < 0 || ioErrno_ != 0) {
        fail("write");
        return false;
    }
    return true;
}

bool AviFileWriter::sync() {
    if (!flush())
        return false;
    if (::fsync(fd_) != 0) {
        ioErrno_ = errno;
        fail("fsync");
        return false;
    }
    return true;
}

void AviFileWriter::fail(const char* what) {
    broken_ = true;
    qCWarning(lcCapwin).noquote() << QString::fromStdString(path_) << ":" << what << "failed:"
                                  << std::strerror(ioErrno_ != 0 ? ioErrno_ : EIO);
}

bool AviFileWriter::recordHeaderFields() {
    // Finds the counters that libavformat leaves as placeholders until the trailer. Keeping
    // them true after every frame makes an unfinished file (killed process, power cut) read
    // like a finished one without index.
    std::array<std::uint8_t, 8> head{};
    const std::int64_t end = avio_tell(io_.get());
    std::int64_t at = 12;
    if (!ReadAt(fd_, 0, head.data(), 8) || !IsTag(head.data(), "RIFF"))
        return false;
    riffSizeAt_ = 4;
    // Walk the chunk tree of the header; descend into the lists that hold the counters.
    while (at + 8 <= end) {
        std::array<std::uint8_t, 12> chunk{};
        if (!ReadAt(fd_, at, chunk.data(), chunk.size()))
            break;
        const std::uint32_t size = qFromLittleEndian<std::uint32_t>(chunk.data() + 4);
        if (IsTag(chunk.data(), "LIST")) {
            if (IsTag(chunk.data() + 8, "movi")) {
                moviSizeAt_ = at + 4;
                moviDataAt_ = at + 8;
                break;
            }
            at += 12;  // into the list
            continue;
        }
        if (IsTag(chunk.data(), "avih"))
            totalFramesAt_ = at + 8 + 16;
        else if (IsTag(chunk.data(), "strh") && IsTag(chunk.data() + 8, "vids"))
            streamLengthAt_ = at + 8 + 32;
        at += 8 + size + (size & 1);
    }
    if (moviSizeAt_ < 0 || totalFramesAt_ < 0 || streamLengthAt_ < 0) {
        qCWarning(lcCapwin) << "unexpected AVI header layout; unfinished files keep placeholders";
        riffSizeAt_ = streamLengthAt_ = -1;
    }
    std::array<std::uint8_t, 4> field{};
    if (riffSizeAt_ >= 0 && ReadAt(fd_, riffSizeAt_, field.data(), field.size()))
        lastRiffSize_ = qFromLittleEndian<std::uint32_t>(field.data());
    return true;
}

bool AviFileWriter::patchHeader() {
    if (streamLengthAt_ < 0)
        return true;
    if (!inFirstRiff_) {
        // Past the first RIFF only the stream's length (all frames of the file) is ours
        // to keep; libavformat's trailer writes it again, and the rest, when it finishes.
        if (WriteLe32At(fd_, streamLengthAt_, static_cast<std::uint32_t>(frames_)))
            return true;
        ioErrno_ = errno;
        return false;
    }
    std::array<std::uint8_t, 4> field{};
    if (!ReadAt(fd_, riffSizeAt_, field.data(), field.size()))
        return false;
    if (qFromLittleEndian<std::uint32_t>(field.data()) != lastRiffSize_) {
        // libavformat closed the first RIFF itself (index and all) and went on in an
        // OpenDML "AVIX" one: the first RIFF's sizes and frame count are final now.
        inFirstRiff_ = false;
        return patchHeader();
    }
    return writeCounters(avio_tell(io_.get()));
}

bool AviFileWriter::writeCounters(std::int64_t end) {
    const auto riffSize = static_cast<std::uint32_t>(end - 8);
    bool ok = WriteLe32At(fd_, riffSizeAt_, riffSize);
    ok = ok && WriteLe32At(fd_, moviSizeAt_, static_cast<std::uint32_t>(end - moviDataAt_));
    ok = ok && WriteLe32At(fd_, totalFramesAt_, static_cast<std::uint32_t>(frames_));
    ok = ok && WriteLe32At(fd_, streamLengthAt_, static_cast<std::uint32_t>(frames_));
    if (!ok) {
        ioErrno_ = errno;
        return false;
    }
    lastRiffSize_ = riffSize;
    return true;
}

bool AviFileWriter::encodePacket(const CapturedImage& image, AVPacket* packet) {
    if (!encoder_) {
        // Stored as they are: the DIB rows, the YUY2 rows or the JPEG picture.
        if (av_new_packet(packet, static_cast<int>(image.used)) < 0)
            return false;
        std::memcpy(packet->data, image.bytes.data(), image.used);
        packet->flags |= AV_PKT_FLAG_KEY;
        return true;
    }
    return encoder_->encode(image, frames_, packet);
}

bool AviFileWriter::addFrame(const CapturedImage& image) {
    if (broken_ || finished_) {
        qCWarning(lcCapwin) << "frame refused: the file is" << (broken_ ? "broken" : "closed");
        return false;
    }
    if (image.width != setup_.width || image.height != setup_.height ||
        image.layout != setup_.layout || image.empty()) {
        qCWarning(lcCapwin) << "frame refused: it does not match the file's format";
        return false;
    }
    PacketPtr packet = MakePacket();
    if (!packet || !encodePacket(image, packet.get())) {
        qCWarning(lcCapwin) << "frame refused: it cannot be encoded";
        return false;
    }
    packet->stream_index = stream_->index;
    packet->pts = packet->dts = frames_;
    packet->duration = 1;
    av_packet_rescale_ts(packet.get(),
                         AVRational{static_cast<int>(setup_.microSecPerFrame), 1000000},
                         stream_->time_base);
    const std::int64_t before = avio_tell(io_.get());
    const int rc = av_write_frame(output_.get(), packet.get());
    // One fsync covers the frame and the header counters that now include it.
    bool ok = rc >= 0 && flush();
    if (ok) {
        ++frames_;
        ok = patchHeader() && sync();
        if (!ok)
            --frames_;
    }
    if (!ok) {
        fail("frame write");
        // Cut back what reached the disk of this frame, so that the file ends on the last
        // whole frame (disk full, file size limit) and its header says so.
        if (::ftruncate(fd_, before) == 0) {
            if (inFirstRiff_ && streamLengthAt_ >= 0)
                writeCounters(before);
            else if (streamLengthAt_ >= 0)
                WriteLe32At(fd_, streamLengthAt_, static_cast<std::uint32_t>(frames_));
            ::fsync(fd_);
        }
        return false;
    }
    return true;
}

bool AviFileWriter::finish() {
    if (finished_)
        return true;
    finished_ = true;
    if (broken_) {
        // libavformat's index would list the frame that failed; the header kept after the
        // last good frame describes the file better than a trailer could.
        qCWarning(lcCapwin).noquote() << "closing" << QString::fromStdString(path_)
                                      << "without trailer after a write error";
        return false;
    }
    const int rc = av_write_trailer(output_.get());
    const bool ok = rc >= 0 && sync();
    qCInfo(lcCapwin).noquote() << "closed" << QString::fromStdString(path_) << "with" << frames_
                               << "frames" << (ok ? "" : "(trailer failed)");
    return ok;
}

}  // namespace capwin
