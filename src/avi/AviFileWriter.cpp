// Single-frame AVI files written through libavformat, durable after every frame.
//
// Durable means: after a kill, and after a power cut, which keeps of the writes since the
// last sync any part in any order, sector by sector. So nothing on disk may point at or
// count bytes that are not durable yet, and a frame costs more than one sync:
// - in the first RIFF, three: a barrier (fdatasync) after the frame's bytes, before the movi
//   size counts them; a barrier after the movi size, before the first sector takes the RIFF
//   size and both frame counts in one write; and the fsync that ends the frame;
// - in an OpenDML ("AVIX") RIFF, four: a barrier after the copy of the open RIFF's index that
//   already lists the frame, before the super index points at it; a barrier after that
//   pointer, before the frame overwrites the old index; a barrier after the frame's bytes,
//   before the counts take it in; and the fsync. The first frame of a RIFF or of an index
//   segment has no old index to keep: a barrier between its fresh index and the pointer
//   takes the place of the first two, and one more orders the new super-index entry before
//   the count of entries that takes it in.
// Meanwhile the frame's chunk is tagged JUNK, so that a kill leaves the readers that walk the
// chunks and those that trust the counts agreeing (AviLiveHeader::hideFrame).
// libavformat's own patches (at a RIFF's end and in the trailer) come after what they point
// at or count: before each of its seeks back, what it wrote is made durable too, and its
// patches of the first sector reach the disk in one write (see onWrite).
#include "avi/AviFileWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/statvfs.h>
#include <unistd.h>

#include <QtEndian>

#include "av/CaptureLog.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace avi {

namespace {

constexpr int kIoBufferSize = 64 * 1024;
// What the trailer adds per frame at most: an idx1 entry of 16 bytes and an OpenDML
// standard-index entry of 8, and once the heads of both indexes.
constexpr std::int64_t kIndexBytesPerFrame = 24;
constexpr std::int64_t kIndexHeaderBytes = 64;

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
        qCWarning(lcCapture) << "BRISOLT_TEST_RIFF_BYTES ignored:" << text;
        return kMuxerRiffBytes;
    }
    return value;
}

std::unique_ptr<AviFileWriter> AviFileWriter::Create(const std::string& path,
                                                     const AviSetup& setup, WriteFault* fault) {
    std::unique_ptr<AviFileWriter> writer(new AviFileWriter);
    writer->setup_ = setup;
    // The header is written into a file that has no name yet, and the name is given once the
    // header is on disk: killed or cut off at any moment, the directory holds either no such
    // name or a readable AVI. File systems without unnamed files get the name at once.
    writer->file_ = DurableFile::Create(path);
    if (!writer->file_.isOpen()) {
        const int createErrno = errno;
        if (fault)
            *fault = {createErrno, {}};
        qCWarning(lcCapture).noquote() << "cannot create" << QString::fromStdString(path) << ":"
                                       << std::strerror(createErrno);
        return {};
    }
    if (!writer->openStream(setup)) {
        // The header did not reach the disk: what is there is no AVI, and holds no frame.
        // An unnamed file simply goes with its descriptor (the removal finds no name of it).
        writer->broken_ = true;
        if (fault)
            *fault = writer->fault();
        return {};
    }
    if (!writer->file_.name()) {
        const int linkErrno = errno;
        writer->broken_ = true;
        if (fault)
            *fault = {linkErrno, {}};
        qCWarning(lcCapture).noquote() << "cannot create" << QString::fromStdString(path) << ":"
                                       << std::strerror(linkErrno);
        return {};
    }
    qCInfo(lcCapture).noquote() << "writing" << QString::fromStdString(path) << setup.width
                                << "x" << setup.height << picture::LayoutName(setup.layout)
                                << CompressionName(setup.compression);
    return writer;
}

AviFileWriter::~AviFileWriter() {
    if (!finished_ && file_.isOpen() && !broken_)
        finish();
    output_.reset();
    io_.reset();
    if (broken_ && frames_ == 0)
        removeUnreadable();
}

void AviFileWriter::removeUnreadable() {
    if (!file_.isOpen() || file_.unnamed())
        return;
    if (!file_.removeName()) {
        if (errno != 0)
            qCWarning(lcCapture).noquote() << "cannot remove" << QString::fromStdString(path())
                                           << ":" << std::strerror(errno);
        return;
    }
    qCWarning(lcCapture).noquote() << "removed" << QString::fromStdString(path())
                                   << ": it could not be written and holds no frame";
}

int AviFileWriter::onWrite(void* opaque, av::AvioWriteBuffer data, int size) {
    auto* self = static_cast<AviFileWriter*>(opaque);
    if (self->ioErrno_ != 0)
        return AVERROR(self->ioErrno_);
    // At a RIFF's end libavformat patches the first sector one field at a time: the super
    // index head, the frame counts of strh and avih, the RIFF size. Readers take a file whose
    // counts disagree for broken, so these go to disk in one write, with the next write or
    // barrier: a power cut then keeps all of them or none.
    const int fd = self->file_.fd();
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (self->live_.attached() && at >= 0 && at + size <= kSectorBytes) {
        if (self->headPatch_.empty()) {
            self->headPatch_.resize(kSectorBytes);
            if (::pread(fd, self->headPatch_.data(), kSectorBytes, 0) != kSectorBytes) {
                self->ioErrno_ = errno != 0 ? errno : EIO;
                return AVERROR(self->ioErrno_);
            }
        }
        std::memcpy(self->headPatch_.data() + at, data, static_cast<std::size_t>(size));
        return ::lseek(fd, at + size, SEEK_SET) < 0 ? AVERROR(errno) : size;
    }
    if (!self->writeHeadPatch())
        return AVERROR(self->ioErrno_);
    self->unsynced_ = true;
    if (!self->file_.writeAll(data, static_cast<std::size_t>(size))) {
        self->ioErrno_ = errno;
        return AVERROR(errno);
    }
    return size;
}

std::int64_t AviFileWriter::onSeek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<AviFileWriter*>(opaque);
    if (whence & AVSEEK_SIZE) {
        const std::int64_t size = self->file_.size();
        return size >= 0 ? size : AVERROR(errno);
    }
    // libavformat seeks back to fill in a size, a count or an index entry, always after
    // writing what it counts or points at: that goes first, but for the next patch of the
    // first sector, which joins the pending ones.
    const off_t now = ::lseek(self->file_.fd(), 0, SEEK_CUR);
    const bool back = (whence & ~AVSEEK_FORCE) == SEEK_SET && offset < now;
    const bool joinsPatch = !self->headPatch_.empty() && offset < kSectorBytes;
    if (back && !joinsPatch && (self->unsynced_ || !self->headPatch_.empty()) &&
        !self->barrier())
        return AVERROR(self->ioErrno_);
    const off_t at = ::lseek(self->file_.fd(), offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

bool AviFileWriter::openStream(const AviSetup& setup) {
    av::ForwardFfmpegLog();
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "avi", path().c_str()) < 0 || !raw)
        return refuse("FFmpeg has no AVI muxer");
    output_.reset(raw);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) {
        ioErrno_ = ENOMEM;
        return false;
    }
    io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &AviFileWriter::onWrite,
                                 &AviFileWriter::onSeek));
    if (!io_) {
        av_free(buffer);
        ioErrno_ = ENOMEM;
        return false;
    }
    output_->pb = io_.get();

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (stream_ == nullptr) {
        ioErrno_ = ENOMEM;
        return false;
    }
    const AVRational timeBase{static_cast<int>(setup.microSecPerFrame), 1000000};
    stream_->time_base = timeBase;
    stream_->avg_frame_rate = av_inv_q(timeBase);
    AVCodecParameters* par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->width = setup.width;
    par->height = setup.height;

    if (setup.layout == picture::PixelLayout::Mjpeg) {
        // Files hold decoded pictures, which carry the time stamp; a camera's JPEG pictures
        // reach the writer decoded, as the frame callback sees them.
        return refuse("a file cannot take frames in the camera's MJPEG layout");
    }
    if (setup.compression == Compression::None) {
        par->codec_id = AV_CODEC_ID_RAWVIDEO;
        par->bits_per_coded_sample = picture::BitsPerPixel(setup.layout);
        switch (setup.layout) {
        case picture::PixelLayout::Rgb24: par->format = AV_PIX_FMT_BGR24; break;
        case picture::PixelLayout::Rgb32: par->format = AV_PIX_FMT_BGRA; break;
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
        const EncoderLookup lookup =
            setup.encoderLookup ? setup.encoderLookup : DefaultEncoderLookup();
        const std::string name = CompressionName(setup.compression);
        if (!CompressionAvailable(setup.compression, lookup))
            return refuse("FFmpeg has no " + name + " encoder (" +
                          EncoderName(setup.compression) + ")");
        encoder_ = VideoEncoder::Open(encoding, lookup);
        if (!encoder_ || avcodec_parameters_from_context(par, encoder_->context()) < 0)
            return refuse("the " + name + " encoder refused the picture size or format");
    }

    AVDictionary* options = nullptr;
    // Uncompressed RGB goes out as a classic DIB: positive height, bottom row first, which
    // is the order the frames already have.
    av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    const int rc = avformat_write_header(output_.get(), &options);
    av_dict_free(&options);
    if (rc < 0) {
        if (ioErrno_ != 0) {
            fail("header write");
            return false;
        }
        return refuse("FFmpeg refused the AVI header: " + av::AvError(rc));
    }
    if (!sync())
        return false;
    live_.attach(file_.fd(), setup_.indexSegmentFrames, setup_.syncFile);
    return true;
}

bool AviFileWriter::writeHeadPatch() {
    if (headPatch_.empty())
        return true;
    if (::pwrite(file_.fd(), headPatch_.data(), headPatch_.size(), 0) !=
        static_cast<ssize_t>(headPatch_.size())) {
        ioErrno_ = errno != 0 ? errno : EIO;
        return false;
    }
    headPatch_.clear();
    unsynced_ = true;
    return true;
}

bool AviFileWriter::flush() {
    avio_flush(io_.get());
    if (io_->error < 0 || ioErrno_ != 0 || !writeHeadPatch()) {
        fail("write");
        return false;
    }
    return true;
}

bool AviFileWriter::sync() {
    if (!flush())
        return false;
    unsynced_ = false;
    if (!file_.sync(setup_.syncFile)) {
        ioErrno_ = errno;
        fail("fsync");
        return false;
    }
    return true;
}

bool AviFileWriter::barrier() {
    if (!flush())
        return false;
    unsynced_ = false;
    if (file_.syncData(setup_.syncFile))
        return true;
    ioErrno_ = errno;
    return false;
}

bool AviFileWriter::refuse(const std::string& what) {
    refusal_ = what;
    qCWarning(lcCapture).noquote() << QString::fromStdString(path()) << ":"
                                   << QString::fromStdString(what);
    return false;
}

WriteFault AviFileWriter::fault() const {
    // A write that failed without telling why counts as the disk's error.
    if (ioErrno_ == 0 && refusal_.empty() && broken_)
        return {EIO, {}};
    return {ioErrno_, ioErrno_ != 0 ? std::string() : refusal_};
}

void AviFileWriter::fail(const char* what) {
    broken_ = true;
    qCWarning(lcCapture).noquote() << QString::fromStdString(path()) << ":" << what
                                   << "failed:" << std::strerror(ioErrno_ != 0 ? ioErrno_ : EIO);
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
    if (::ftruncate(file_.fd(), avio_tell(io_.get())) != 0) {
        ioErrno_ = errno;
        return false;
    }
    return true;
}

bool AviFileWriter::encodePacket(const picture::CapturedImage& image, AVPacket* packet) {
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

bool AviFileWriter::addFrame(const picture::CapturedImage& image) {
    if (broken_) {
        // The fault that broke the file stays the reason.
        qCWarning(lcCapture) << "frame refused: the file is broken";
        return false;
    }
    refusal_.clear();
    if (finished_)
        return refuse("frame refused: the file is closed");
    if (image.width != setup_.width || image.height != setup_.height ||
        image.layout != setup_.layout || image.empty())
        return refuse("a frame of " + std::to_string(image.width) + " x " +
                      std::to_string(image.height) + " " + picture::LayoutName(image.layout) +
                      " does not match the file's " + std::to_string(setup_.width) + " x " +
                      std::to_string(setup_.height) + " " + picture::LayoutName(setup_.layout));
    if (!file_.linked()) {
        // The file was removed (with its directory, say): frames written now would be lost
        // unseen, so the grab fails instead.
        broken_ = true;
        ioErrno_ = ENOENT;
        qCWarning(lcCapture).noquote()
            << "frame refused:" << QString::fromStdString(path()) << "was removed";
        return false;
    }
    av::PacketPtr packet = av::MakePacket();
    if (!packet) {
        ioErrno_ = ENOMEM;
        return false;
    }
    if (!encodePacket(image, packet.get())) {
        if (!encoder_) {
            ioErrno_ = ENOMEM;
            return false;
        }
        return refuse(std::string("the ") + CompressionName(setup_.compression) +
                      " encoder did not hand the frame out");
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
    ok = ok && live_.prepareFrame(before, static_cast<std::uint32_t>(packet->size),
                                  (packet->flags & AV_PKT_FLAG_KEY) != 0);
    if (!ok && ioErrno_ == 0)
        ioErrno_ = errno;
    if (ok) {
        const int written = av_write_frame(output_.get(), packet.get());
        if (written < 0 && ioErrno_ == 0)
            refusal_ = "FFmpeg did not take the frame: " + av::AvError(written);
        ok = written >= 0 && flush();
    }
    const bool noted = ok;
    if (ok) {
        live_.noteFrame(before, avio_tell(io_.get()), static_cast<std::uint32_t>(packet->size),
                        (packet->flags & AV_PKT_FLAG_KEY) != 0);
        // The frame's bytes are durable before the sizes and counts that include it.
        ok = live_.hideFrame() && padOpenedRiff() && barrier() &&
             live_.commit(avio_tell(io_.get()));
        if (!ok && ioErrno_ == 0)
            ioErrno_ = errno;
        ok = ok && sync();
    }
    if (!ok) {
        fail("frame write");
        // Cut back what reached the disk of this frame, so that the file ends on the last
        // whole frame (disk full, file size limit) and its header says so.
        if (live_.rollBack(start, noted))
            file_.sync(setup_.syncFile);
        return false;
    }
    ++frames_;
    // A chunk is its 8-byte head and its data, padded to an even length.
    largestChunk_ = std::max<std::int64_t>(largestChunk_, 8 + packet->size + (packet->size & 1));
    storedFrameBytes_ += FrameCostBytes(packet->size);
    return true;
}

std::int64_t FrameCostBytes(std::int64_t packetBytes) {
    return 8 + packetBytes + (packetBytes & 1) + kIndexBytesPerFrame;
}

std::int64_t AviFileWriter::freeBytes() const {
    struct statvfs room {};
    if (!file_.isOpen() || ::fstatvfs(file_.fd(), &room) != 0)
        return -1;
    return static_cast<std::int64_t>(room.f_bavail) * static_cast<std::int64_t>(room.f_frsize);
}

std::int64_t AviFileWriter::growthBound() const {
    if (largestChunk_ == 0)
        return 0;
    // The largest frame so far stands for the next: the first frame of a file is a key
    // frame, the largest kind. The trailer then indexes every frame, the next included.
    return largestChunk_ + kIndexBytesPerFrame * (frames_ + 1) + kIndexHeaderBytes;
}

std::int64_t AviFileWriter::fileBytes() const { return file_.size(); }

bool AviFileWriter::finish() {
    if (finished_)
        return true;
    finished_ = true;
    if (broken_) {
        // libavformat's index would list the frame that failed; the header kept after the
        // last good frame describes the file better than a trailer could.
        qCWarning(lcCapture).noquote()
            << "closing" << QString::fromStdString(path()) << "without trailer after a write error";
        return false;
    }
    const int rc = av_write_trailer(output_.get());
    bool ok = rc >= 0 && flush();
    // The trailer's index takes the place of the provisional one; nothing may follow it.
    const std::int64_t end = RiffChainEnd(file_.fd());
    if (ok && end > 0 && file_.size() > end && ::ftruncate(file_.fd(), end) != 0)
        ok = false;
    ok = ok && sync();
    qCInfo(lcCapture).noquote() << "closed" << QString::fromStdString(path()) << "with" << frames_
                                << "frames" << (ok ? "" : "(trailer failed)");
    return ok;
}

}  // namespace avi
