// Single-frame AVI files written through libavformat, durable after every frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capwin/AvHandles.h"
#include "platform/capwin/CaptureFormat.h"
#include "platform/capwin/VideoEncoder.h"

namespace capwin {

struct AviSetup {
    int width = 320;
    int height = 240;
    PixelLayout layout = PixelLayout::Rgb24;
    Compression compression = Compression::None;
    std::uint32_t microSecPerFrame = 66667;
    EncoderLookup encoderLookup;  // empty: the encoders of the FFmpeg we run on
    double crf = 23;              // H.264 constant quality
};

// Creates a file exclusively (never replacing or following anything) and fsync-ing it.
// Returns the descriptor or -1 with errno set. Also makes sure SIGXFSZ cannot kill us.
int CreateExclusive(const std::string& path);

// Writes all of data to fd at its offset, retrying short writes; false with errno set.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);

class AviFileWriter {
public:
    // Creates the file and writes its header; null (logged) when either fails.
    static std::unique_ptr<AviFileWriter> Create(const std::string& path, const AviSetup& setup);
    ~AviFileWriter();
    AviFileWriter(const AviFileWriter&) = delete;
    AviFileWriter& operator=(const AviFileWriter&) = delete;

    // Adds one frame; true only when it is on disk. A failed write leaves the file as it was
    // before the frame and refuses all further frames.
    bool addFrame(const CapturedImage& image);
    // Writes the index and the final header and closes the file.
    bool finish();

    bool broken() const { return broken_; }
    std::int64_t frames() const { return frames_; }
    const std::string& path() const { return path_; }

private:
    AviFileWriter() = default;
    bool openStream(const AviSetup& setup);
    bool encodePacket(const CapturedImage& image, AVPacket* packet);
    bool writePacket(AVPacket* packet);
    bool flush();
    bool sync();
    bool recordHeaderFields();
    bool patchHeader();
    bool writeCounters(std::int64_t end);
    void fail(const char* what);
    static int onWrite(void* opaque, std::uint8_t* data, int size);
    static std::int64_t onSeek(void* opaque, std::int64_t offset, int whence);

    std::string path_;
    AviSetup setup_;
    int fd_ = -1;
    int ioErrno_ = 0;
    bool broken_ = false;
    bool finished_ = false;
    std::int64_t frames_ = 0;
    IoContextPtr io_;
    OutputContextPtr output_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<VideoEncoder> encoder_;

    // Where the placeholders of the header sit, for keeping them true after every frame.
    std::int64_t riffSizeAt_ = -1;
    std::int64_t moviSizeAt_ = -1;
    std::int64_t moviDataAt_ = -1;
    std::int64_t totalFramesAt_ = -1;
    std::int64_t streamLengthAt_ = -1;
    std::uint32_t lastRiffSize_ = 0;
    bool inFirstRiff_ = true;
};

}  // namespace capwin
