// H.264 single-frame files on the built-in test pattern: the compression dialog offers the
// encoder only when FFmpeg has it, runs decode, key frames come often, odd sizes are padded,
// and a writer killed at any frame leaves a file that ffprobe, mediainfo and GStreamer's
// avidemux count alike.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "app/CaptureDlg.h"
#include "av/CaptureLog.h"
#include "avi/VideoEncoder.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/AviReaders.h"
#include "support/EventLoop.h"
#include "support/KilledChild.h"

namespace {

constexpr const char* kH264 = "H.264 (x264)";

bool HaveX264() { return avcodec_find_encoder_by_name("libx264") != nullptr; }

// Output of a tool, or empty when it fails or is missing.
QString Run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QString::fromLatin1(p.readAllStandardOutput());
}

struct Packets {
    int count = 0;
    std::vector<int> keyFrames;  // indexes of the key frames
};

Packets ProbePackets(const QString& path) {
    Packets result;
    const QString out = Run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                        "packet=flags", "-of", "csv=p=0", path});
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith('K'))
            result.keyFrames.push_back(result.count);
        ++result.count;
    }
    return result;
}

// Frames that ffprobe decodes, and the stream's codec, size and pixel format.
struct Stream {
    QString codec;
    QString pixFmt;
    int width = 0;
    int height = 0;
    int decoded = -1;
    int bFrames = -1;
};

Stream ProbeStream(const QString& path) {
    const QString out = Run("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                        "-show_entries",
                                        "stream=codec_name,pix_fmt,width,height,nb_read_frames,has_b_frames",
                                        "-of", "default=noprint_wrappers=1", path});
    Stream s;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        const QString key = line.section('=', 0, 0);
        const QString value = line.section('=', 1);
        if (key == "codec_name") s.codec = value;
        else if (key == "pix_fmt") s.pixFmt = value;
        else if (key == "width") s.width = value.toInt();
        else if (key == "height") s.height = value.toInt();
        else if (key == "nb_read_frames") s.decoded = value.toInt();
        else if (key == "has_b_frames") s.bFrames = value.toInt();
    }
    return s;
}

// The decoded last frame as RGB.
QImage LastFrame(const QString& path) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-sseof", "-0.5", "-i", path, "-update", "1",
                            "-f", "image2pipe", "-vcodec", "ppm", "-"});
    if (!ffmpeg.waitForFinished(30000))
        return {};
    const QByteArray all = ffmpeg.readAllStandardOutput();
    // The pipe holds every decoded frame back to back; take the last.
    const int at = all.lastIndexOf("P6\n");
    return at < 0 ? QImage() : QImage::fromData(all.mid(at), "PPM");
}

// Paints the bottom rows of each 24-bit frame (the first rows of the DIB) pure red.
int g_width = 0;
LRESULT PaintBottomRed(HWND, VIDEOHDR* header) {
    const int rowBytes = (g_width * 3 + 3) / 4 * 4;
    for (int row = 0; row < 8 && (row + 1) * rowBytes <= static_cast<int>(header->dwBytesUsed); ++row)
        for (int x = 0; x < g_width; ++x) {
            BYTE* p = header->lpData + row * rowBytes + 3 * x;
            p[0] = 0;
            p[1] = 0;
            p[2] = 255;
        }
    return 0;
}

// Answers the next compression dialog: reports its choices, picks `pick` if offered.
void AnswerCompression(QStringList* offered, const QString& pick) {
    OnNextModalDialog([=](QDialog* dialog) {
        auto* combo = dialog->findChild<QComboBox*>("compression");
        if (combo == nullptr || dialog->objectName() != capwin::kVideoCompressionDialog) {
            dialog->reject();
            return;
        }
        for (int i = 0; i < combo->count(); ++i)
            offered->push_back(combo->itemText(i));
        const int index = combo->findText(pick);
        if (index >= 0)
            combo->setCurrentIndex(index);
        dialog->accept();
    });
}

class H264Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveX264())
            GTEST_SKIP() << "this FFmpeg has no libx264";
        ASSERT_TRUE(dir_.isValid());
        registry_.settings().testPatternRate = 100;
        parent_.resize(640, 480);
    }

    std::unique_ptr<FfmpegCaptureWindow> connect(int width, int height) {
        registry_.settings().testPatternWidth = width;
        registry_.settings().testPatternHeight = height;
        g_width = width;
        std::unique_ptr<FfmpegCaptureWindow> w(dynamic_cast<FfmpegCaptureWindow*>(
            registry_.capCreateCaptureWindowA("PrevWnd", WS_CHILD, 0, 0, 320, 240, &parent_, 22)));
        if (!w || w->DriverConnect(registry_.testPatternIndex()) != 1)
            return {};
        // The window hands the callback only frames of the size it last reported.
        CAPSTATUS status{};
        w->GetStatus(&status, sizeof status);
        w->SetCallbackFrame(&PaintBottomRed);
        QStringList offered;
        AnswerCompression(&offered, kH264);
        if (w->DlgVideoCompression() != TRUE || w->compression() != avi::Compression::H264)
            return {};
        return w;
    }

    bool record(FfmpegCaptureWindow* w, const QString& file, int frames) {
        const QByteArray name = file.toLocal8Bit();
        if (w->FileSetCaptureFile(name.constData()) != TRUE || w->SingleFrameOpen() != TRUE)
            return false;
        for (int i = 0; i < frames; ++i)
            if (w->SingleFrame() == 0)
                return false;
        return w->SingleFrameClose() == TRUE;
    }

    QString path(const char* leaf) const { return dir_.filePath(leaf); }

    QTemporaryDir dir_;
    FfmpegDriverRegistry registry_{FfmpegDriverRegistry::Devices::None};
    QWidget parent_;
};

TEST_F(H264Test, RunsOfEverySizeDecodeWithTheWholePictureAndFrequentKeyFrames) {
    const struct {
        int width, height, frames;
        int codedWidth, codedHeight;
    } cases[] = {
        {320, 240, 5, 320, 240},
        {321, 241, 3, 322, 242},   // odd: padded, not cut
        {160, 120, 130, 160, 120}, // long enough for three groups
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto w = connect(c.width, c.height);
        ASSERT_NE(w, nullptr);
        const QString file = path("run") + QString::number(c.width) + ".avi";
        ASSERT_TRUE(record(w.get(), file, c.frames));
        const Stream s = ProbeStream(file);
        EXPECT_EQ(s.codec, "h264");
        EXPECT_EQ(s.pixFmt, "yuv420p");
        EXPECT_EQ(s.width, c.codedWidth);
        EXPECT_EQ(s.height, c.codedHeight);
        EXPECT_EQ(s.decoded, c.frames);
        EXPECT_EQ(s.bFrames, 0);
        const Packets packets = ProbePackets(file);
        EXPECT_EQ(packets.count, c.frames) << "one packet per grab, none held back";
        ASSERT_FALSE(packets.keyFrames.empty());
        EXPECT_EQ(packets.keyFrames.front(), 0);
        for (size_t i = 1; i < packets.keyFrames.size(); ++i)
            EXPECT_LE(packets.keyFrames[i] - packets.keyFrames[i - 1], avi::kH264KeyFrameInterval);
        EXPECT_LE(c.frames - 1 - packets.keyFrames.back(), avi::kH264KeyFrameInterval - 1);
        // The bottom rows the callback painted are in the picture, the padding included.
        const QImage last = LastFrame(file);
        ASSERT_EQ(last.size(), QSize(c.codedWidth, c.codedHeight));
        for (const QPoint at : {QPoint(c.width / 2, c.codedHeight - 1), QPoint(1, c.height - 2),
                                QPoint(c.codedWidth - 1, c.codedHeight - 1)}) {
            const QRgb p = last.pixel(at);
            // 4:2:0 chroma blurs a red edge a little; the pattern itself has no red.
            EXPECT_TRUE(qRed(p) > 140 && qRed(p) - std::max(qGreen(p), qBlue(p)) > 80)
                << "red expected at " << at.x() << "," << at.y() << " got " << std::hex << p;
        }
        EXPECT_GT(qGreen(last.pixel(c.width / 2, 2)) + qBlue(last.pixel(c.width / 2, 2)), 80)
            << "the top is the pattern's";
    }
}

TEST_F(H264Test, CompressionDialogOffersH264OnlyWhenTheEncoderExists) {
    // The dialog on its own, with the machine's FFmpeg and with ones lacking encoders.
    const std::function<const AVCodec*(const char*)> noX264 = [](const char* name) {
        return std::strcmp(name, "libx264") == 0 ? nullptr : avcodec_find_encoder_by_name(name);
    };
    const std::function<const AVCodec*(const char*)> none = [](const char*) {
        return static_cast<const AVCodec*>(nullptr);
    };
    const struct {
        const char* what;
        avi::EncoderLookup lookup;
        QStringList expected;
    } cases[] = {
        {"this FFmpeg",
         avi::DefaultEncoderLookup(),
         {"Uncompressed", "Motion JPEG", "FFV1 lossless", kH264}},
        {"without libx264", noX264, {"Uncompressed", "Motion JPEG", "FFV1 lossless"}},
        {"without any encoder", none, {"Uncompressed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QStringList offered;
        AnswerCompression(&offered, kH264);
        capwin::CompressionChoice chosen;
        ASSERT_TRUE(capwin::RunVideoCompressionDialog(&parent_, picture::PixelLayout::Rgb24,
                                                      &chosen, c.lookup));
        EXPECT_EQ(offered, c.expected);
        EXPECT_EQ(chosen.compression == avi::Compression::H264, c.expected.contains(kH264));
    }

    // Through the capture window: H.264 chosen while it existed, then gone (another FFmpeg
    // under the same program): the dialog no longer lists it and a file is refused, not
    // written broken.
    auto w = connect(320, 240);
    ASSERT_NE(w, nullptr);
    registry_.settings().encoderLookup = noX264;
    QStringList offered;
    AnswerCompression(&offered, kH264);
    EXPECT_EQ(w->DlgVideoCompression(), TRUE);
    EXPECT_FALSE(offered.contains(kH264));
    EXPECT_EQ(w->compression(), avi::Compression::None) << "the first choice instead";
    registry_.settings().encoderLookup = nullptr;
    AnswerCompression(&offered, kH264);
    ASSERT_EQ(w->DlgVideoCompression(), TRUE);
    registry_.settings().encoderLookup = noX264;
    const QByteArray file = path("gone.avi").toLocal8Bit();
    w->FileSetCaptureFile(file.constData());
    EXPECT_EQ(w->SingleFrameOpen(), FALSE);
    EXPECT_EQ(w->SingleFrame(), 0);
}

// A file or frame that fails for a reason not the system's (the encoder is gone, or holds
// frames back) is no "write error" with a made-up errno: the reason says what failed.
TEST_F(H264Test, AFailureThatIsNotTheSystemsSaysWhatFailed) {
    const avi::EncoderLookup noX264 = [](const char* name) {
        return std::strcmp(name, "libx264") == 0 ? nullptr : avcodec_find_encoder_by_name(name);
    };
    // libx264 with its default lookahead stands in for an encoder that holds frames back.
    const avi::EncoderLookup holdsBack = [](const char*) {
        return avcodec_find_encoder_by_name("libx264");
    };
    const struct {
        const char* what;
        avi::EncoderLookup lookup;
        const char* compression;
        bool opens;
        const char* says;  // in the reason's text
    } cases[] = {
        {"the encoder is gone", noX264, kH264, false, "H.264"},
        {"the encoder holds frames back", holdsBack, "Motion JPEG", true, "Motion JPEG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto w = connect(320, 240);
        ASSERT_NE(w, nullptr);
        QStringList offered;
        AnswerCompression(&offered, c.compression);
        ASSERT_EQ(w->DlgVideoCompression(), TRUE);
        // Chosen while the encoder was there; the files find it gone or changed.
        registry_.settings().encoderLookup = c.lookup;
        const QByteArray file = path("refused.avi").toLocal8Bit();
        w->FileSetCaptureFile(file.constData());
        ASSERT_EQ(w->SingleFrameOpen(), c.opens ? TRUE : FALSE);
        EXPECT_EQ(w->SingleFrame(), 0);
        const CaptureProblem problem = w->LastFailure();
        EXPECT_NE(problem.kind, CaptureFailureKind::WriteError);
        EXPECT_NE(problem.kind, CaptureFailureKind::None);
        EXPECT_TRUE(problem.text.contains(QLatin1String(c.says))) << problem.text.toStdString();
        EXPECT_FALSE(problem.text.contains(QLatin1String("Input/output error")));
        w->SingleFrameClose();
        registry_.settings().encoderLookup = nullptr;
        QFile::remove(path("refused.avi"));
    }
}

TEST(VideoEncoderTest, QualityIsReadInTheCLocaleWhateverTheUserLocale) {
    if (!HaveX264())
        GTEST_SKIP() << "this FFmpeg has no libx264";
    // A decimal comma in LC_NUMERIC must not cut the quality 23.5 down to 23.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "no German locale on this machine";
    avi::EncoderSetup setup;
    setup.width = 64;
    setup.height = 48;
    setup.compression = avi::Compression::H264;
    setup.crf = 23.5;
    auto encoder = avi::VideoEncoder::Open(setup, avi::DefaultEncoderLookup());
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_NE(encoder, nullptr);
    double crf = 0;
    ASSERT_GE(av_opt_get_double(encoder->context()->priv_data, "crf", 0, &crf), 0);
    EXPECT_DOUBLE_EQ(crf, 23.5);
}

// Kills a child that writes H.264 frames right after its n-th successful grab, while it is
// in the middle of the next one; the three readers must then agree on the frame count.
TEST_F(H264Test, KilledWriterLeavesAFileTheThreeReadersCountAlike) {
    // The pauses put the kill at different points of the next grab: waiting for the
    // picture, encoding it, writing it.
    const struct {
        int reported;
        int pauseUs;
    } cases[] = {{1, 0}, {8, 4000}, {30, 9000}, {61, 12000}};
    for (const auto [reported, pauseUs] : cases) {
        SCOPED_TRACE(reported);
        const QString file = path("killed") + QString::number(reported) + ".avi";
        const std::string name = file.toStdString();
        // H.264 is chosen here; the reader thread is stopped before the fork and the child
        // connects anew, since a forked process has none of its parent's threads.
        auto w = connect(320, 240);
        ASSERT_NE(w, nullptr);
        w->DriverDisconnect();
        const KilledChild child = KillAfterReports(
            reported, 20000,
            [&](const std::function<void()>& report) {
                if (w->DriverConnect(registry_.testPatternIndex()) == 1 &&
                    w->FileSetCaptureFile(name.c_str()) == TRUE && w->SingleFrameOpen() == TRUE)
                    for (int i = 0; i < 1000; ++i)
                        if (w->SingleFrame() != 0)
                            report();
            },  // killed long before the 1000th grab
            static_cast<useconds_t>(pauseUs));
        ASSERT_TRUE(child.killed) << "the child ended before it was killed";
        ASSERT_EQ(child.reported, reported);

        const int probed = ProbeStream(file).decoded;
        EXPECT_GE(probed, reported) << "every grab that answered success decodes";
        EXPECT_LE(probed, reported + 1);
        EXPECT_EQ(avireaders::Mediainfo(file), probed);
        EXPECT_EQ(avireaders::Gstreamer(file), probed);
        EXPECT_LT(QFileInfo(file).size(), qint64{1} << 30);
    }
}

// A run of the recorder itself on H.264 with a small size limit per file: the files roll
// over when the next frame, at the size it is stored in, would take one past the limit.
// (The frame callback's byte count is that of the uncompressed picture, 230400 bytes here,
// more than the whole limit.)
TEST_F(H264Test, RecorderRollsOverAtTheLimitCountingTheFramesAsStored) {
    const QString previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    FakePowerServices power;
    auto dlg = std::make_unique<CCaptureDlg>(Platform{&registry_, &power});
    dlg->Create();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->driverList->SetCurSel(registry_.testPatternIndex());
    dlg->OnConnect();
    ASSERT_EQ(dlg->captureState, Connected);
    auto* window = dynamic_cast<FfmpegCaptureWindow*>(dlg->captureWindow.data());
    ASSERT_NE(window, nullptr);
    QStringList offered;
    AnswerCompression(&offered, kH264);
    ASSERT_EQ(window->DlgVideoCompression(), TRUE);
    ASSERT_EQ(window->compression(), avi::Compression::H264);

    constexpr std::uint32_t kLimit = 20000;
    constexpr int kFrames = 90;
    const std::uint32_t savedLimit = captureSettings.maxFileBytes;
    captureSettings.maxFileBytes = kLimit;
    dlg->OnStart();
    for (int tick = 1; tick < kFrames && dlg->captureState == Capturing; ++tick)
        dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_GT(captureSettings.lastFrameBytes, kLimit) << "the callback counts raw bytes";
    dlg->OnStop();
    captureSettings.maxFileBytes = savedLimit;
    dlg.reset();
    QDir::setCurrent(previousDir);

    int total = 0;
    std::vector<int> perFile;
    for (int n = 0; n < 1000; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        if (!QFile::exists(path(leaf)))
            break;
        const int frames = ProbeStream(path(leaf)).decoded;
        ASSERT_GT(frames, 0) << leaf;
        EXPECT_LE(QFileInfo(path(leaf)).size(), kLimit) << leaf;
        perFile.push_back(frames);
        total += frames;
    }
    EXPECT_EQ(total, kFrames);
    ASSERT_GE(perFile.size(), 2u) << "the run rolled over";
    for (size_t i = 0; i + 1 < perFile.size(); ++i)
        EXPECT_GE(perFile[i], 10) << "file " << i << " was closed long before the limit";
}

}  // namespace

namespace {

// Messages of the capture window's log while it lives.
class LogCapture {
public:
    LogCapture() { previous_ = qInstallMessageHandler(&LogCapture::handle); }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    static QStringList& lines() {
        static QStringList all;
        return all;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text) {
        lines().push_back(text);
    }
    QtMessageHandler previous_ = nullptr;
};

// Full-range JPEG pictures go through the cached scaler without a new context (and an
// FFmpeg warning in the log) for every frame, and keep their full range.
TEST(ScalerTest, JpegRangeFormatsConvertOnceAndAtFullRange) {
    picture::CapturedImage white;
    white.width = 64;
    white.height = 32;
    white.layout = picture::PixelLayout::Rgb24;
    white.bytes.assign(static_cast<std::size_t>(64 * 3 * 32), 0xff);
    white.used = white.bytes.size();
    picture::Scaler scaler;
    av::ForwardFfmpegLog();
    LogCapture::lines().clear();
    const LogCapture capture;
    for (int i = 0; i < 5; ++i) {
        av::FramePtr frame = picture::ImageToFormat(white, AV_PIX_FMT_YUVJ420P, scaler);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->data[0][0], 255) << "full range: white is 255, not 235";
        EXPECT_NEAR(frame->data[1][0], 128, 1);
    }
    // And back: the full-range black of a JPEG decoder's frame is black, not grey.
    av::FramePtr black = av::MakeFrame();
    black->format = AV_PIX_FMT_YUVJ422P;
    black->width = 16;
    black->height = 16;
    ASSERT_GE(av_frame_get_buffer(black.get(), 0), 0);
    std::memset(black->data[0], 0, static_cast<std::size_t>(black->linesize[0]) * 16);
    std::memset(black->data[1], 128, static_cast<std::size_t>(black->linesize[1]) * 16);
    std::memset(black->data[2], 128, static_cast<std::size_t>(black->linesize[2]) * 16);
    picture::CapturedImage out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            picture::FrameToImage(black.get(), picture::PixelLayout::Rgb24, 16, 16, scaler, &out));
        EXPECT_EQ(out.bytes[0], 0);
    }
    const QStringList warnings = LogCapture::lines().filter("deprecated pixel format");
    EXPECT_TRUE(warnings.isEmpty()) << warnings.size() << " warnings, e.g. "
                                    << warnings.value(0).toStdString();
}

}  // namespace

namespace {

// An encoder that keeps frames back (here libx264 with its default lookahead, standing in
// for the JPEG encoder) must fail every grab: once a frame is held, the packets that come
// out later would each land one or more frames late in the file.
TEST(VideoEncoderTest, AnEncoderThatHoldsFramesBackFailsEveryFrame) {
    if (!HaveX264())
        GTEST_SKIP() << "this FFmpeg has no libx264";
    const avi::EncoderLookup buffering = [](const char*) {
        return avcodec_find_encoder_by_name("libx264");
    };
    avi::EncoderSetup setup;
    setup.width = 64;
    setup.height = 48;
    setup.compression = avi::Compression::MotionJpeg;
    auto encoder = avi::VideoEncoder::Open(setup, buffering);
    ASSERT_NE(encoder, nullptr);
    picture::CapturedImage grey;
    grey.width = 64;
    grey.height = 48;
    grey.bytes.assign(static_cast<std::size_t>(64 * 3 * 48), 0x80);
    grey.used = grey.bytes.size();
    av::PacketPtr packet = av::MakePacket();
    int accepted = 0;
    for (int i = 0; i < 80; ++i) {
        accepted += encoder->encode(grey, i, packet.get()) ? 1 : 0;
        av_packet_unref(packet.get());
    }
    EXPECT_EQ(accepted, 0);

    // The H.264 set-up itself hands every frame out at once.
    setup.compression = avi::Compression::H264;
    encoder = avi::VideoEncoder::Open(setup, avi::DefaultEncoderLookup());
    ASSERT_NE(encoder, nullptr);
    for (int i = 0; i < 80; ++i) {
        ASSERT_TRUE(encoder->encode(grey, i, packet.get())) << "frame " << i;
        EXPECT_EQ(packet->pts, i);
        EXPECT_EQ((packet->flags & AV_PKT_FLAG_KEY) != 0, i % avi::kH264KeyFrameInterval == 0)
            << "frame " << i;
        av_packet_unref(packet.get());
    }
}

}  // namespace

namespace {

// The quality set in the compression dialog reaches the encoder: a higher CRF makes the
// same frames smaller. The setting is offered only while H.264 is the choice.
TEST_F(H264Test, QualityFromTheDialogReachesTheEncoder) {
    auto w = connect(320, 240);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->crf(), 23) << "the default";
    std::vector<bool> enabled;
    OnNextModalDialog([&enabled](QDialog* dialog) {
        auto* combo = dialog->findChild<QComboBox*>("compression");
        auto* quality = dialog->findChild<QSpinBox*>("quality");
        if (combo == nullptr || quality == nullptr) {
            dialog->reject();
            return;
        }
        enabled.push_back(quality->isEnabled());  // H.264 is the choice so far
        combo->setCurrentIndex(combo->findText("Motion JPEG"));
        enabled.push_back(quality->isEnabled());
        combo->setCurrentIndex(combo->findText(kH264));
        enabled.push_back(quality->isEnabled());
        quality->setValue(40);
        dialog->accept();
    });
    ASSERT_EQ(w->DlgVideoCompression(), TRUE);
    EXPECT_EQ(enabled, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(w->crf(), 40);
    const QString coarse = path("crf40.avi");
    ASSERT_TRUE(record(w.get(), coarse, 10));

    QStringList offered;
    AnswerCompression(&offered, kH264);
    auto fine = connect(320, 240);  // a new window: the default quality again
    ASSERT_NE(fine, nullptr);
    EXPECT_EQ(fine->crf(), 23);
    const QString normal = path("crf23.avi");
    ASSERT_TRUE(record(fine.get(), normal, 10));
    EXPECT_EQ(ProbeStream(coarse).decoded, 10);
    // Headers and index weigh much in files of ten small frames; the frames shrink more.
    EXPECT_LT(QFileInfo(coarse).size() * 5, QFileInfo(normal).size() * 4)
        << "CRF 40 keeps less than CRF 23";
}

}  // namespace

namespace {

// The stream says how its YUV was made from the RGB picture (BT.601, limited range), so
// that a player does not assume the HD matrix and shift the colours of HD recordings.
TEST(VideoEncoderTest, StreamSaysTheColourMatrixItsPicturesWereConvertedWith) {
    if (!HaveX264())
        GTEST_SKIP() << "this FFmpeg has no libx264";
    avi::EncoderSetup setup;
    setup.width = 1280;
    setup.height = 720;
    setup.compression = avi::Compression::H264;
    auto encoder = avi::VideoEncoder::Open(setup, avi::DefaultEncoderLookup());
    ASSERT_NE(encoder, nullptr);
    picture::CapturedImage orange;
    orange.width = setup.width;
    orange.height = setup.height;
    for (int i = 0; i < setup.width * setup.height; ++i)
        orange.bytes.insert(orange.bytes.end(), {0x20, 0x90, 0xf0});  // B, G, R
    orange.used = orange.bytes.size();
    av::PacketPtr packet = av::MakePacket();
    ASSERT_TRUE(encoder->encode(orange, 0, packet.get()));

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    ASSERT_NE(codec, nullptr);
    av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    ASSERT_TRUE(decoder);
    ASSERT_GE(avcodec_open2(decoder.get(), codec, nullptr), 0);
    ASSERT_GE(avcodec_send_packet(decoder.get(), packet.get()), 0);
    ASSERT_GE(avcodec_send_packet(decoder.get(), nullptr), 0);
    av::FramePtr frame = av::MakeFrame();
    ASSERT_GE(avcodec_receive_frame(decoder.get(), frame.get()), 0);
    EXPECT_EQ(frame->colorspace, AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
    EXPECT_EQ(frame->color_primaries, AVCOL_PRI_SMPTE170M);
    EXPECT_EQ(frame->color_trc, AVCOL_TRC_SMPTE170M);
    // And the matrix is the one the numbers were made with: BT.601 luma of this orange.
    const double luma = 16 + 219 * (0.299 * 0xf0 + 0.587 * 0x90 + 0.114 * 0x20) / 255;
    EXPECT_NEAR(frame->data[0][frame->linesize[0] * 360 + 640], luma, 2.0);
}

}  // namespace
