// Single-frame AVI files written through libavformat, durable after every frame.
#include "platform/capwin/AviFileWriter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
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
// What the trailer adds per frame at most: an idx1 entry of 16 bytes and an OpenDML
// standard-index entry of 8, and once the heads of both indexes.
constexpr std::int64_t kIndexBytesPerFrame = 24;
constexpr std::int64_t kIndexHeaderBytes = 64;

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

std::string ParentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

void SyncParentDirectory(const std::string& path) {
    // The new name itself must survive a power cut, not only the file's contents.
    const int fd = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        SyncFile(fd);
        ::close(fd);
    }
}

// The end of the file's chain of RIFFs as their sizes state it, or -1 when it does not
// begin with one.
std::int64_t RiffChainEnd(int fd) {
    std::int64_t at = 0;
    std::array<std::uint8_t, 8> head{};
    while (::pread(fd, head.data(), head.size(), at) == static_cast<ssize_t>(head.size()) &&
           std::memcmp(head.data(), "RIFF", 4) == 0) {
        const std::uint32_t size = qFromLittleEndian<std::uint32_t>(head.data() + 4);
        at += 8 + static_cast<std::int64_t>(size) + (size & 1);
    }
    return at > 0 ? at : -1;
}

}  // namespace

std::int64_t RiffBytesForTesting() {
    const char* text = std::getenv("BRISOLT_TEST_RIFF_BYTES");
    if (text == nullptr || *text == '\0')
        return kMuxerRiffBytes;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 65536 || value > kMuxerRiffBytes) {
        qCWarning(lcCapwin) << "BRISOLT_TEST_RIFF_BYTES ignored:" << text;
        return kMuxerRiffBytes;
    }
    return value;
}

bool SyncFile(int fd, int (*syncFile)(int)) {
    if ((syncFile != nullptr ? syncFile(fd) : ::fsync(fd)) == 0)
        return true;
    if (errno != EINVAL)
        return false;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        qCWarning(lcCapwin) << "the file system cannot sync files (fsync: EINVAL); frames are "
                               "written but not made durable";
    return true;
}

int CreateUnnamed(const std::string& path) {
    IgnoreFileSizeSignal();
    if (path.empty())
        return -1;
    return ::open(ParentDirectory(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
}

bool NameUnnamed(int fd, const std::string& path) {
    // linkat never replaces an existing name: a file that appeared meanwhile wins (EEXIST).
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno == EEXIST || ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) != 0))
        return false;
    SyncParentDirectory(path);
    return true;
}

int CreateForWriting(const std::string& path, bool* unnamed) {
    const int fd = CreateUnnamed(path);
    *unnamed = fd >= 0;
    return *unnamed ? fd : CreateExclusive(path);
}

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
                                                     const AviSetup& setup, int* error) {
    std::unique_ptr<AviFileWriter> writer(new AviFileWriter);
    writer->path_ = path;
    writer->setup_ = setup;
    // The header is written into a file that has no name yet, and the name is given once the
    // header is on disk: killed or cut off at any moment, the directory holds either no such
    // name or a readable AVI. File systems without unnamed files get the name at once.
    bool unnamed = false;
    writer->fd_ = CreateForWriting(path, &unnamed);
    if (writer->fd_ < 0) {
        const int createErrno = errno;
        if (error)
            *error = createErrno;
        qCWarning(lcCapwin).noquote() << "cannot create" << QString::fromStdString(path) << ":"
                                      << std::strerror(createErrno);
        return {};
    }
    if (!writer->openStream(setup)) {
        // The header did not reach the disk: what is there is no AVI, and holds no frame.
        // An unnamed file simply goes with its descriptor (the removal finds no name of it).
        writer->broken_ = true;
        if (error)
            *error = writer->ioErrno_;
        return {};
    }
    if (unnamed && !NameUnnamed(writer->fd_, path)) {
        const int linkErrno = errno;
        writer->broken_ = true;
        if (error)
            *error = linkErrno;
        qCWarning(lcCapwin).noquote() << "cannot create" << QString::fromStdString(path) << ":"
                                      << std::strerror(linkErrno);
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
    if (fd_ >= 0) {
        if (broken_ && frames_ == 0)
            removeUnreadable();
        ::close(fd_);
    }
}

void AviFileWriter::removeUnreadable() {
    // Only the file this writer created goes: the name must still lead to its inode.
    struct stat own {};
    struct stat named {};
    if (::fstat(fd_, &own) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
        own.st_dev != named.st_dev || own.st_ino != named.st_ino)
        return;
    if (::unlink(path_.c_str()) != 0) {
        qCWarning(lcCapwin).noquote() << "cannot remove" << QString::fromStdString(path_) << ":"
                                      << std::strerror(errno);
        return;
    }
    SyncParentDirectory(path_);
    qCWarning(lcCapwin).noquote() << "removed" << QString::fromStdString(path_)
                                  << ": it could not be written and holds no frame";
}

bool AviFileWriter::stillLinked() const {
    struct stat own {};
    return ::fstat(fd_, &own) == 0 && own.st_nlink > 0;
}

int AviFileWriter::onWrite(void* opaque, AvioWriteBuffer data, int size) {
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
        // Files hold decoded pictures, which carry the time stamp; a camera's JPEG pictures
        // reach the writer decoded, as the frame callback sees them.
        qCWarning(lcCapwin) << "a file cannot take frames in the camera's MJPEG layout";
        return false;
    }
    if (setup.compression == Compression::None) {
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
    live_.attach(fd_, setup_.indexSegmentFrames);
    return true;
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
    if (!SyncFile(fd_, setup_.syncFile)) {
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

bool AviFileWriter::padOpenedRiff() {
    if (!live_.frameOpenedRiff() || setup_.riffBytes >= kMuxerRiffBytes)
        return true;
    // A JUNK chunk whose body is a hole: the muxer counts it towards its RIFF size.
    const auto hole = static_cast<std::uint32_t>((kMuxerRiffBytes - setup_.riffBytes) & ~1);
    avio_wl32(io_.get(), MKTAG('J', 'U', 'N', 'K'));
    avio_wl32(io_.get(), hole);
    if (avio_seek(io_.get(), hole, SEEK_CUR) < 0 || !flush())
        return false;
    if (::ftruncate(fd_, avio_tell(io_.get())) != 0) {
        ioErrno_ = errno;
        return false;
    }
    return true;
}

bool AviFileWriter::encodePacket(const CapturedImage& image, AVPacket* packet) {
    if (!encoder_) {
        // Stored as they are: the DIB rows or the YUY2 rows.
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
    if (!stillLinked()) {
        // The file was removed (with its directory, say): frames written now would be lost
        // unseen, so the grab fails instead.
        broken_ = true;
        ioErrno_ = ENOENT;
        qCWarning(lcCapwin).noquote() << "frame refused:" << QString::fromStdString(path_)
                                      << "was removed";
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
    const std::int64_t start = avio_tell(io_.get());
    // A full index segment stays in the file; the frame goes after it.
    const std::int64_t sealed = live_.sealFullSegment();
    bool ok = sealed == 0 || avio_seek(io_.get(), sealed, SEEK_CUR) >= 0;
    const std::int64_t before = avio_tell(io_.get());
    ok = ok && live_.prepareFrame(before, static_cast<std::uint32_t>(packet->size));
    if (!ok && ioErrno_ == 0)
        ioErrno_ = errno;
    ok = ok && av_write_frame(output_.get(), packet.get()) >= 0 && flush();
    const bool noted = ok;
    if (ok) {
        live_.noteFrame(before, avio_tell(io_.get()), static_cast<std::uint32_t>(packet->size),
                        (packet->flags & AV_PKT_FLAG_KEY) != 0);
        // One fsync covers the frame and the header fields and index that now include it.
        ok = padOpenedRiff() && live_.commit(avio_tell(io_.get()));
        if (!ok && ioErrno_ == 0)
            ioErrno_ = errno;
        ok = ok && sync();
    }
    if (!ok) {
        fail("frame write");
        // Cut back what reached the disk of this frame, so that the file ends on the last
        // whole frame (disk full, file size limit) and its header says so.
        if (live_.rollBack(start, noted))
            SyncFile(fd_, setup_.syncFile);
        return false;
    }
    ++frames_;
    // A chunk is its 8-byte head and its data, padded to an even length.
    largestChunk_ = std::max<std::int64_t>(largestChunk_, 8 + packet->size + (packet->size & 1));
    return true;
}

std::int64_t AviFileWriter::growthBound() const {
    if (largestChunk_ == 0)
        return 0;
    // The largest frame so far stands for the next: the first frame of a file is a key
    // frame, the largest kind. The trailer then indexes every frame, the next included.
    return largestChunk_ + kIndexBytesPerFrame * (frames_ + 1) + kIndexHeaderBytes;
}

std::int64_t AviFileWriter::fileBytes() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
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
    bool ok = rc >= 0 && flush();
    // The trailer's index takes the place of the provisional one; nothing may follow it.
    struct stat st {};
    const std::int64_t end = RiffChainEnd(fd_);
    if (ok && end > 0 && ::fstat(fd_, &st) == 0 && st.st_size > end && ::ftruncate(fd_, end) != 0)
        ok = false;
    ok = ok && sync();
    qCInfo(lcCapwin).noquote() << "closed" << QString::fromStdString(path_) << "with" << frames_
                               << "frames" << (ok ? "" : "(trailer failed)");
    return ok;
}

}  // namespace capwin
