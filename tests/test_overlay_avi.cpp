// The stamp as a viewer sees it: frames of the built-in test pattern pass the frame callback
// with the default settings, are previewed and stored in an AVI file, and come back upright
// with the band near the top of the picture.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "platform/text/TextMask.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRowBytes = kWidth * 3;
constexpr int kBandRows = 12;
// With the text near the top (placement 2), h = 240 * 3 div 100 = 7; a bottom-up frame
// with the rows flipped shows text row 0 at picture row h - 1.
constexpr int kBandTop = 6;

// What the frame callback saw and left of the last frame, and the line it stamped.
struct Stamped {
    int calls = 0;
    std::vector<std::uint8_t> before;
    std::vector<std::uint8_t> after;
    std::string text;  // empty when the clock turned a second during the call
};
Stamped g_stamped;

// FrameCallback itself, with the frame copied on either side of it.
LRESULT RecordingFrameCallback(HWND window, VIDEOHDR* header) {
    ++g_stamped.calls;
    g_stamped.before.assign(header->lpData, header->lpData + header->dwBytesUsed);
    const std::time_t start = std::time(nullptr);
    const LRESULT result = FrameCallback(window, header);
    const std::time_t end = std::time(nullptr);
    g_stamped.after.assign(header->lpData, header->lpData + header->dwBytesUsed);
    g_stamped.text = start == end ? TimeStampText(start) : std::string();
    return result;
}

// Decodes the first frame of a file to top-down RGB24 rows.
std::vector<std::uint8_t> DecodeFirstFrame(const QString& path) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-nostdin", "-i", path, "-frames:v", "1", "-f",
                            "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (!ffmpeg.waitForFinished(20000) || ffmpeg.exitCode() != 0) {
        return {};
    }
    const QByteArray bytes = ffmpeg.readAllStandardOutput();
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// Byte c (R, G, B) of pixel x in picture row p of a bottom-up BGR frame.
std::uint8_t DibByte(const std::vector<std::uint8_t>& frame, int p, int x, int c) {
    return frame[static_cast<std::size_t>((kHeight - 1 - p) * kRowBytes + x * 3 + (2 - c))];
}

// The mask of the stamped line, one 0/1 byte per pixel of the band.
std::vector<std::uint8_t> LineMask(const std::string& text) {
    std::vector<std::uint8_t> mask(kWidth * kBandRows);
    RenderTextMask(text, kWidth, kBandRows, mask.data());
    return mask;
}

// Bytes of a top-down RGB picture that differ from the blend of `before` under `mask`
// placed with text row 0 at picture row `firstRow`, going down (or up when mirrored).
int BandMismatches(const std::vector<std::uint8_t>& picture,
                   const std::vector<std::uint8_t>& before,
                   const std::vector<std::uint8_t>& mask, int firstRow, bool mirrored) {
    int mismatches = 0;
    for (int y = 0; y < kBandRows; ++y) {
        const int p = mirrored ? firstRow + kBandRows - 1 - y : firstRow + y;
        for (int x = 0; x < kWidth; ++x) {
            const bool glyph = mask[y * kWidth + x] != 0;
            for (int c = 0; c < 3; ++c) {
                const std::uint8_t shown = picture[(p * kWidth + x) * 3 + c];
                mismatches += shown != BlendByte(DibByte(before, p, x, c), glyph);
            }
        }
    }
    return mismatches;
}

class OverlayAviTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        captureSettings = CaptureSettings{};  // the defaults: flip 1, text near the top
        g_stamped = {};
        registry_.settings().connectTimeoutMs = 3000;
        registry_.settings().frameWaitMs = 1000;
        registry_.settings().reopenBoundMs = 2000;
        parent_.resize(kWidth, kHeight);
        window_ = dynamic_cast<FfmpegCaptureWindow*>(registry_.capCreateCaptureWindowA(
            "PrevWnd", WS_CHILD | WS_VISIBLE, 0, 0, kWidth, kHeight, &parent_, 1));
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(window_->DriverConnect(registry_.testPatternIndex()), 1);
        // As the connect command does: the image size first, then the callback.
        ASSERT_EQ(window_->GetStatus(&captureSettings.capStatus, sizeof(CAPSTATUS)), TRUE);
        ASSERT_EQ(captureSettings.capStatus.uiImageWidth, UINT{kWidth});
        ASSERT_EQ(captureSettings.capStatus.uiImageHeight, UINT{kHeight});
        window_->SetCallbackFrame(&RecordingFrameCallback);
    }
    void TearDown() override {
        if (window_ != nullptr) {
            window_->DriverDisconnect();
        }
        captureSettings = CaptureSettings{};
    }

    // Grabs one frame into a new single-frame file; a grab whose callback straddled a
    // second is repeated into another file, so that the stamped line is known.
    QString RecordOneFrame() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const QString file = dir_.filePath(QStringLiteral("stamp%1.avi").arg(attempt));
            EXPECT_EQ(window_->FileSetCaptureFile(file.toLocal8Bit().constData()), TRUE);
            EXPECT_EQ(window_->SingleFrameOpen(), TRUE);
            const int callsBefore = g_stamped.calls;
            EXPECT_NE(window_->SingleFrame(), 0);
            EXPECT_EQ(window_->SingleFrameClose(), TRUE);
            EXPECT_EQ(g_stamped.calls, callsBefore + 1) << "the grab passed the callback once";
            if (!g_stamped.text.empty()) {
                return file;
            }
        }
        return {};
    }

    QTemporaryDir dir_;
    FfmpegDriverRegistry registry_{FfmpegDriverRegistry::Devices::None};
    QWidget parent_;
    FfmpegCaptureWindow* window_ = nullptr;
};

TEST_F(OverlayAviTest, DecodedFrameShowsTheLineUprightNearTheTop) {
    const QString file = RecordOneFrame();
    ASSERT_FALSE(file.isEmpty()) << "the clock kept turning a second during the grab";
    ASSERT_EQ(g_stamped.before.size(), std::size_t{kRowBytes * kHeight});
    EXPECT_EQ(captureSettings.lastFrameBytes, std::uint32_t{kRowBytes * kHeight});

    const std::vector<std::uint8_t> picture = DecodeFirstFrame(file);
    ASSERT_EQ(picture.size(), std::size_t{kRowBytes * kHeight}) << "ffmpeg decoded nothing";
    if (const char* keep = std::getenv("BRISOLT_KEEP_STAMP_FRAME")) {
        // For a look at the result: the decoded picture as a PNG where the caller wants it.
        QImage(picture.data(), kWidth, kHeight, kRowBytes, QImage::Format_RGB888)
            .save(QDir(QString::fromLocal8Bit(keep)).filePath("decoded-stamp.png"));
    }

    // The file holds the frame as the callback left it, bottom row first.
    int stored = 0;
    for (int p = 0; p < kHeight; ++p) {
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                stored += picture[(p * kWidth + x) * 3 + c] == DibByte(g_stamped.after, p, x, c);
            }
        }
    }
    ASSERT_EQ(stored, kRowBytes * kHeight) << "the stored frame is not the stamped one";

    // Outside picture rows 6 .. 17 the pattern is untouched.
    for (int p = 0; p < kHeight; ++p) {
        if (p >= kBandTop && p < kBandTop + kBandRows) {
            continue;
        }
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(picture[(p * kWidth + x) * 3 + c], DibByte(g_stamped.before, p, x, c))
                    << "picture row " << p << " column " << x;
            }
        }
    }

    // In the band, the line's mask with its top row at the top: upright, not mirrored.
    const std::vector<std::uint8_t> mask = LineMask(g_stamped.text);
    int lit = 0;
    for (const std::uint8_t bit : mask) {
        lit += bit;
    }
    ASSERT_GT(lit, 100) << "no text in the mask of " << g_stamped.text;
    EXPECT_EQ(BandMismatches(picture, g_stamped.before, mask, kBandTop, false), 0)
        << "the band does not carry " << g_stamped.text << " upright at row " << kBandTop;
    EXPECT_GT(BandMismatches(picture, g_stamped.before, mask, kBandTop, true), 100)
        << "the check cannot tell upright from mirrored text";
}

TEST_F(OverlayAviTest, PreviewShowsTheStampedFrameUpright) {
    window_->SetPreviewRate(40);
    window_->SetPreview(TRUE);
    // Wait for a preview frame whose callback stayed within one second.
    QElapsedTimer timer;
    timer.start();
    int seen = g_stamped.calls;
    bool known = false;
    while (!known && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (g_stamped.calls != seen) {
            seen = g_stamped.calls;
            known = !g_stamped.text.empty();
        }
    }
    window_->SetPreview(FALSE);
    ASSERT_TRUE(known) << "no preview frame reached the callback";
    if (const char* keep = std::getenv("BRISOLT_KEEP_STAMP_FRAME")) {
        window_->grab().save(QDir(QString::fromLocal8Bit(keep)).filePath("preview-stamp.png"));
    }

    const QImage shown = window_->shownImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(shown.size(), QSize(kWidth, kHeight));
    std::vector<std::uint8_t> picture(kRowBytes * kHeight);
    for (int p = 0; p < kHeight; ++p) {
        std::copy_n(shown.constScanLine(p), kRowBytes, picture.begin() + p * kRowBytes);
    }
    const std::vector<std::uint8_t> mask = LineMask(g_stamped.text);
    EXPECT_EQ(BandMismatches(picture, g_stamped.before, mask, kBandTop, false), 0);
    // The row just above and just below the band show the pattern as it came.
    for (const int p : {kBandTop - 1, kBandTop + kBandRows}) {
        for (int x = 0; x < kWidth; ++x) {
            ASSERT_EQ(picture[(p * kWidth + x) * 3 + 1], DibByte(g_stamped.before, p, x, 1))
                << "picture row " << p;
        }
    }
}

}  // namespace
