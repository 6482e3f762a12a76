// Single-frame AVI files written through libavformat, durable after every frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "av/AvCompat.h"
#include "av/AvHandles.h"
#include "avi/AviLiveHeader.h"
#include "avi/DurableFile.h"
#include "avi/VideoEncoder.h"
#include "picture/CaptureFormat.h"

namespace avi {

// libavformat's AVI muxer closes a RIFF and opens the next OpenDML "AVIX" one before the first
// packet that comes after the open RIFF has passed this size; it has no option for it.
constexpr std::int64_t kMuxerRiffBytes = std::int64_t{1} << 30;

struct AviSetup {
    int width = 320;
    int height = 240;
    picture::PixelLayout layout = picture::PixelLayout::Rgb24;
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
// The program reads it once, at its start.
// Otherwise kMuxerRiffBytes. The holes count towards the file's length, which the rollover
// compares with the size limit per file: every RIFF adds about 1 GiB, so with the default
// limit a file holds two RIFFs (2147 MB on the setup panel gives the second one room).
std::int64_t RiffBytesForTesting();

// Why a file could not be created or a frame not stored: the errno of the system call that
// failed, or, where the system is not to blame (an encoder that is missing or refuses, a
// frame of another format), 0 and what failed in words.
// What one frame whose data is packetBytes long takes in a file: its chunk (head, data,
// padding) and its index entries.
std::int64_t FrameCostBytes(std::int64_t packetBytes);

struct WriteFault {
    int error = 0;
    std::string what;
};

class AviFileWriter {
public:
    // Creates the file and writes its header; null (logged) when either fails, with why in
    // *fault, and then the file is removed again. A file that ends broken without a frame is removed on close; a file
    // with a frame is always kept.
    static std::unique_ptr<AviFileWriter> Create(const std::string& path, const AviSetup& setup,
                                                 WriteFault* fault = nullptr);
    ~AviFileWriter();
    AviFileWriter(const AviFileWriter&) = delete;
    AviFileWriter& operator=(const AviFileWriter&) = delete;

    // Adds one frame; true only when it is on disk and the file reads complete with it. A
    // failed write leaves the file as it was before the frame and refuses all further frames,
    // as does a file that was removed (its directory deleted, say).
    bool addFrame(const picture::CapturedImage& image);
    // Writes the index and the final header and closes the file.
    bool finish();

    bool broken() const { return broken_; }
    // Why the latest frame was refused or the file broke.
    WriteFault fault() const;
    std::int64_t frames() const { return frames_; }
    // How many bytes the file will still grow by when one more frame like the largest so far
    // is added and the file is finished (an upper bound), or 0 before the first frame.
    std::int64_t growthBound() const;
    // The open file's length now, or -1.
    std::int64_t fileBytes() const;
    // What the frames stored so far take in the file (FrameCostBytes of each): unlike the
    // file's length, no holes and no header.
    std::int64_t storedFrameBytes() const { return storedFrameBytes_; }
    // Room left for an unprivileged writer on the file system the file is on (statvfs), or
    // -1 when it cannot be told.
    std::int64_t freeBytes() const;
    // Whether the file still has its name (it was not removed, with its directory say).
    bool linked() const { return file_.linked(); }
    const std::string& path() const { return file_.path(); }

private:
    AviFileWriter() = default;
    bool openStream(const AviSetup& setup);
    bool encodePacket(const picture::CapturedImage& image, AVPacket* packet);
    bool writePacket(AVPacket* packet);
    bool flush();
    bool sync();
    bool barrier();
    bool writeHeadPatch();
    bool padOpenedRiff();
    void removeUnreadable();
    void fail(const char* what);
    // A refusal that is not the system's: logged, and kept as the fault's text.
    bool refuse(const std::string& what);
    static int onWrite(void* opaque, av::AvioWriteBuffer data, int size);
    static std::int64_t onSeek(void* opaque, std::int64_t offset, int whence);

    AviSetup setup_;
    DurableFile file_;
    int ioErrno_ = 0;
    std::string refusal_;  // what failed, for a failure that is not the system's
    bool broken_ = false;
    bool finished_ = false;
    bool unsynced_ = false;  // libavformat wrote since the last sync or barrier
    // libavformat's patches of the first sector, not written yet (see onWrite), or empty.
    std::vector<std::uint8_t> headPatch_;
    std::int64_t frames_ = 0;
    std::int64_t largestChunk_ = 0;  // bytes of the largest frame chunk in the file
    std::int64_t storedFrameBytes_ = 0;
    av::IoContextPtr io_;
    av::OutputContextPtr output_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<VideoEncoder> encoder_;
    // Keeps the header's placeholders and the open RIFF's index true after every frame.
    AviLiveHeader live_;
};

}  // namespace avi
