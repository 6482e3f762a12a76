// Single-frame AVI files written through libavformat, durable after every frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capwin/AvCompat.h"
#include "platform/capwin/AvHandles.h"
#include "platform/capwin/AviLiveHeader.h"
#include "platform/capwin/CaptureFormat.h"
#include "platform/capwin/VideoEncoder.h"

namespace capwin {

// libavformat's AVI muxer closes a RIFF and opens the next OpenDML "AVIX" one before the first
// packet that comes after the open RIFF has passed this size; it has no option for it.
constexpr std::int64_t kMuxerRiffBytes = std::int64_t{1} << 30;

struct AviSetup {
    int width = 320;
    int height = 240;
    PixelLayout layout = PixelLayout::Rgb24;
    Compression compression = Compression::None;
    std::uint32_t microSecPerFrame = 66667;
    // Bytes of frames after which a RIFF is closed. The muxer cannot be told a smaller size,
    // so a smaller one is reached by opening each RIFF's movi list with a JUNK chunk of
    // kMuxerRiffBytes - riffBytes left as a hole in the file: the muxer's own roll-over runs,
    // the file's offsets are those of a file past 1 GiB, and the disk holds only the frames.
    // For tests; values of kMuxerRiffBytes and more mean the muxer's size.
    std::int64_t riffBytes = kMuxerRiffBytes;
    // Frames per OpenDML index segment of an unfinished file past its first RIFF: the
    // bytes each frame rewrites are bounded by it (see AviLiveHeader). Tests lower it.
    std::uint32_t indexSegmentFrames = 4096;
    // The step that makes the written bytes durable (fsync); tests put a file system's
    // refusal here.
    int (*syncFile)(int fd) = nullptr;
    EncoderLookup encoderLookup;  // empty: the encoders of the FFmpeg we run on
    double crf = 23;              // H.264 constant quality
};

// Test knob: the environment variable BRISOLT_TEST_RIFF_BYTES, when it holds a number of
// bytes from 65536 to kMuxerRiffBytes, lowers the RIFF size of the files the capture window
// writes (see AviSetup::riffBytes), so that a manual run crosses a RIFF boundary in seconds.
// Otherwise kMuxerRiffBytes. The holes count towards the file's length, which the rollover
// compares with the size limit per file: every RIFF adds about 1 GiB, so with the default
// limit a file holds two RIFFs (2147 MB on the setup panel gives the second one room).
std::int64_t RiffBytesForTesting();

// fsync (or the given replacement) of fd. A file system that cannot sync files at all
// (EINVAL, as some FUSE and network mounts answer) counts as success: the recording goes on
// and the log says once that frames are not made durable. False with errno set otherwise.
bool SyncFile(int fd, int (*syncFile)(int) = nullptr);

// A new file without a name in the directory that path names (O_TMPFILE), or -1 where the
// file system has no such files. NameUnnamed then links it under path, never replacing a
// file of that name (false with errno EEXIST), and syncs the directory.
int CreateUnnamed(const std::string& path);
bool NameUnnamed(int fd, const std::string& path);

// A new file for path: without a name where the file system allows (CreateUnnamed; then
// *unnamed is true and NameUnnamed must follow), else created under path at once
// (CreateExclusive). -1 with errno set when neither works.
int CreateForWriting(const std::string& path, bool* unnamed);

// Creates a file exclusively (never replacing or following anything) and fsync-ing it.
// Returns the descriptor or -1 with errno set. Also makes sure SIGXFSZ cannot kill us.
int CreateExclusive(const std::string& path);

// Writes all of data to fd at its offset, retrying short writes; false with errno set.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);

class AviFileWriter {
public:
    // Creates the file and writes its header; null (logged) when either fails, with the
    // errno of the failure in *error (0 when it was not the system's), and then the file is
    // removed again. A file that ends broken without a frame is removed on close; a file
    // with a frame is always kept.
    static std::unique_ptr<AviFileWriter> Create(const std::string& path, const AviSetup& setup,
                                                 int* error = nullptr);
    ~AviFileWriter();
    AviFileWriter(const AviFileWriter&) = delete;
    AviFileWriter& operator=(const AviFileWriter&) = delete;

    // Adds one frame; true only when it is on disk and the file reads complete with it. A
    // failed write leaves the file as it was before the frame and refuses all further frames,
    // as does a file that was removed (its directory deleted, say).
    bool addFrame(const CapturedImage& image);
    // Writes the index and the final header and closes the file.
    bool finish();

    bool broken() const { return broken_; }
    // The errno of the write that broke the file; 0 when none did.
    int lastErrno() const { return ioErrno_; }
    std::int64_t frames() const { return frames_; }
    // How many bytes the file will still grow by when one more frame like the largest so far
    // is added and the file is finished (an upper bound), or 0 before the first frame.
    std::int64_t growthBound() const;
    // The open file's length now, or -1.
    std::int64_t fileBytes() const;
    const std::string& path() const { return path_; }

private:
    AviFileWriter() = default;
    bool openStream(const AviSetup& setup);
    bool encodePacket(const CapturedImage& image, AVPacket* packet);
    bool writePacket(AVPacket* packet);
    bool flush();
    bool sync();
    bool padOpenedRiff();
    bool stillLinked() const;
    void removeUnreadable();
    void fail(const char* what);
    static int onWrite(void* opaque, AvioWriteBuffer data, int size);
    static std::int64_t onSeek(void* opaque, std::int64_t offset, int whence);

    std::string path_;
    AviSetup setup_;
    int fd_ = -1;
    int ioErrno_ = 0;
    bool broken_ = false;
    bool finished_ = false;
    std::int64_t frames_ = 0;
    std::int64_t largestChunk_ = 0;  // bytes of the largest frame chunk in the file
    IoContextPtr io_;
    OutputContextPtr output_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<VideoEncoder> encoder_;
    // Keeps the header's placeholders and the open RIFF's index true after every frame.
    AviLiveHeader live_;
};

}  // namespace capwin
