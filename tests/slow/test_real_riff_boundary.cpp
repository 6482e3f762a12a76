// Slow: a file killed after it crossed libavformat's real 1 GiB RIFF boundary (full-size
// 1280x720 32-bit frames, as a day of uncompressed recording writes them) reads with every
// frame in ffprobe, mediainfo and GStreamer. Writes about 1.1 GB per case; not part of the
// default test run (see the README).
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>

#include "avi/AviFileWriter.h"
#include "support/AviReaders.h"
#include "support/KilledChild.h"

using namespace av;
using namespace avi;
using namespace picture;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 4;

// Writes frames in a child that reports each one and then waits to be killed.
int WriteAndKill(const std::string& path, int frames) {
    return KillAfterReports(frames, 120000, [&](const std::function<void()>& report) {
               AviSetup setup;
               setup.width = kWidth;
               setup.height = kHeight;
               setup.layout = PixelLayout::Rgb32;
               CapturedImage image;
               image.width = kWidth;
               image.height = kHeight;
               image.layout = PixelLayout::Rgb32;
               image.bytes.assign(kFrameBytes, 0x40);
               image.used = kFrameBytes;
               auto writer = AviFileWriter::Create(path, setup);
               for (int i = 0; writer && i < frames; ++i) {
                   image.bytes[static_cast<std::size_t>(i) % kFrameBytes] ^= 0xff;
                   if (!writer->addFrame(image))
                       break;
                   report();
               }
               ::pause();
           }).reported;
}

TEST(RealRiffBoundary, AFileKilledPastOneGibReadsWithEveryFrame) {
    // The first RIFF takes 292 such frames; 293 is the first of the AVIX, 300 lies inside it.
    for (const int frames : {293, 300}) {
        SCOPED_TRACE("killed after frame " + std::to_string(frames));
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString file = dir.path() + "/big.avi";
        ASSERT_EQ(WriteAndKill(file.toStdString(), frames), frames);
        EXPECT_EQ(avireaders::Ffprobe(file), frames);
        EXPECT_EQ(avireaders::Mediainfo(file), frames);
        EXPECT_EQ(avireaders::Gstreamer(file), frames);
    }
}

}  // namespace
