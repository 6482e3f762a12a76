// Tests of the FFmpeg capture window on the built-in test pattern: connect, callback,
// preview, single-frame AVI files, snapshots, driver dialogs and device failures.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/EventLoop.h"
#include "support/FileSizeLimit.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRow = kWidth * 3;  // 24-bit DIB row, already a multiple of four

struct Probe {
    QString codec;
    int width = 0;
    int height = 0;
    QString pixFmt;
    int frames = -1;        // frames that decode
    int headerFrames = -1;  // frames the file's header states
    QString rate;
};

// What ffprobe reads from a file, counting the frames it can actually decode.
Probe ProbeFile(const QString& path) {
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                              "-show_entries",
                              "stream=codec_name,width,height,pix_fmt,nb_read_frames,nb_frames,r_frame_rate",
                              "-of", "json", path});
    Probe probe;
    if (!ffprobe.waitForFinished(20000))
        return probe;
    const QJsonArray streams =
        QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object()["streams"].toArray();
    if (streams.isEmpty())
        return probe;
    const QJsonObject s = streams[0].toObject();
    probe.codec = s["codec_name"].toString();
    probe.width = s["width"].toInt();
    probe.height = s["height"].toInt();
    probe.pixFmt = s["pix_fmt"].toString();
    probe.frames = s["nb_read_frames"].toString("-1").toInt();
    probe.headerFrames = s["nb_frames"].toString("-1").toInt();
    probe.rate = s["r_frame_rate"].toString();
    return probe;
}

// The first frame of a video file as an RGB image, decoded by ffmpeg.
QImage FirstFrame(const QString& path) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-i", path, "-frames:v", "1", "-f", "image2pipe",
                            "-vcodec", "ppm", "-"});
    if (!ffmpeg.waitForFinished(20000))
        return {};
    return QImage::fromData(ffmpeg.readAllStandardOutput(), "PPM");
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool IsRed(QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; }

// The frame callback of the tests: records the header and paints the first rows of the
// buffer (the bottom of the picture in a DIB) pure red.
struct CallbackLog {
    int calls = 0;
    HWND window = nullptr;
    DWORD bytesUsed = 0;
    DWORD bufferLength = 0;
    int paintRows = 0;
};
CallbackLog g_log;

LRESULT RecordingCallback(HWND window, VIDEOHDR* header) {
    ++g_log.calls;
    g_log.window = window;
    g_log.bytesUsed = header->dwBytesUsed;
    g_log.bufferLength = header->dwBufferLength;
    for (int row = 0; row < g_log.paintRows; ++row) {
        BYTE* p = header->lpData + row * kRow;
        for (int x = 0; x < kWidth; ++x) {
            p[3 * x + 0] = 0;    // blue
            p[3 * x + 1] = 0;    // green
            p[3 * x + 2] = 255;  // red
        }
    }
    return 0;
}


// Answers the next modal dialog with the given object name: change() may alter it, then
// it is accepted. Any other modal dialog that shows up instead is rejected.
void AnswerModal(const char* objectName, std::function<void(QDialog*)> change) {
    auto* timer = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            if (started->elapsed() > 5000)
                timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (dialog->objectName() != QLatin1String(objectName)) {
            ADD_FAILURE() << "unexpected dialog " << dialog->objectName().toStdString();
            dialog->reject();
            return;
        }
        if (change)
            change(dialog);
        dialog->accept();
    });
    timer->start(10);
}

void ChooseItem(QDialog* dialog, const char* comboName, const QString& text) {
    auto* combo = dialog->findChild<QComboBox*>(comboName);
    ASSERT_NE(combo, nullptr) << comboName;
    const int index = combo->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    combo->setCurrentIndex(index);
}

class CapwinTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        g_log = {};
        registry_.settings().connectTimeoutMs = 1500;
        registry_.settings().frameWaitMs = 500;
        registry_.settings().reopenBoundMs = 1000;
        parent_.resize(640, 480);
    }

    FfmpegCaptureWindow* create() {
        CaptureWindow* w = registry_.capCreateCaptureWindowA("PrevWnd", WS_CHILD | WS_VISIBLE, 0, 0,
                                                             kWidth, kHeight, &parent_, 22);
        return dynamic_cast<FfmpegCaptureWindow*>(w);
    }

    FfmpegCaptureWindow* connected() {
        FfmpegCaptureWindow* w = create();
        if (w == nullptr || w->DriverConnect(registry_.testPatternIndex()) != 1)
            return nullptr;
        // As the recorder does: the status first, so the callback's frames match it.
        CAPSTATUS status{};
        w->GetStatus(&status, sizeof status);
        w->SetCallbackFrame(&RecordingCallback);
        return w;
    }

    QString path(const char* name) const { return dir_.filePath(name); }

    // Opens name, grabs count frames (each must succeed) and closes the file.
    void record(FfmpegCaptureWindow* w, const QString& file, int count) {
        ASSERT_EQ(w->FileSetCaptureFile(file.toLocal8Bit().constData()), TRUE);
        ASSERT_EQ(w->SingleFrameOpen(), TRUE);
        for (int i = 0; i < count; ++i)
            ASSERT_NE(w->SingleFrame(), 0) << "grab " << i;
        ASSERT_EQ(w->SingleFrameClose(), TRUE);
    }

    QTemporaryDir dir_;
    FfmpegDriverRegistry registry_{FfmpegDriverRegistry::Devices::None};
    QWidget parent_;
};

TEST_F(CapwinTest, RegistryListsThePatternAndCutsNamesToFit) {
    ASSERT_EQ(registry_.drivers().size(), 1u);
    std::array<char, 128> name{};
    std::array<char, 128> version{};
    ASSERT_EQ(registry_.capGetDriverDescriptionA(0, name.data(), 128, version.data(), 128), TRUE);
    EXPECT_STREQ(name.data(), FfmpegDriverRegistry::kTestPatternName);
    EXPECT_GT(std::strlen(version.data()), 0u);
    EXPECT_EQ(registry_.capGetDriverDescriptionA(1, name.data(), 128, version.data(), 128), FALSE);

    std::array<char, 8> small{};
    small.fill('x');
    ASSERT_EQ(registry_.capGetDriverDescriptionA(0, small.data(), 8, version.data(), 128), TRUE);
    EXPECT_EQ(std::string(small.data()), std::string(FfmpegDriverRegistry::kTestPatternName, 7));

    FfmpegDriverRegistry scanned;
    ASSERT_GE(scanned.drivers().size(), 1u);
    EXPECT_LE(scanned.drivers().size(), 10u);
    EXPECT_EQ(scanned.drivers().back().name, FfmpegDriverRegistry::kTestPatternName);
}

TEST_F(CapwinTest, CreatedWindowIsANamedVisibleChild) {
    FfmpegCaptureWindow* w = create();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), &parent_);
    EXPECT_EQ(w->objectName(), "PrevWnd");
    EXPECT_EQ(w->property("childId").toInt(), 22);
    EXPECT_EQ(w->geometry(), QRect(0, 0, kWidth, kHeight));
    EXPECT_FALSE(w->isHidden());
    CaptureWindow* hidden =
        registry_.capCreateCaptureWindowA("Hidden", WS_CHILD, 5, 6, 100, 80, &parent_, 1);
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->isHidden());
    EXPECT_EQ(registry_.capCreateCaptureWindowA("Bad", WS_CHILD, 0, 0, 0, 0, &parent_, 1), nullptr);
}

TEST_F(CapwinTest, ConnectAnswersOneOnlyForADeliveringDevice) {
    struct Case {
        const char* what;
        WPARAM index;
        long long stallAfter;
        LRESULT reply;
    };
    const Case cases[] = {
        {"no driver selected", static_cast<WPARAM>(-1), -1, 0},
        {"index beyond the list", 1, -1, 0},
        {"pattern that sends nothing", 0, 0, 0},
        {"working pattern", 0, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registry_.setTestPatternStall(c.stallAfter);
        FfmpegCaptureWindow* w = create();
        ASSERT_NE(w, nullptr);
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(w->DriverConnect(c.index), c.reply);
        EXPECT_LT(t.elapsed(), registry_.settings().connectTimeoutMs + 2000);
        EXPECT_EQ(w->isConnected(), c.reply == 1);
        CAPSTATUS status{};
        w->GetStatus(&status, sizeof status);
        EXPECT_EQ(status.uiImageWidth, c.reply == 1 ? kWidth : 0u);
        EXPECT_EQ(status.uiImageHeight, c.reply == 1 ? kHeight : 0u);
        delete w;
    }
}

TEST_F(CapwinTest, ConnectSequenceOfTheRecorderIsTakenAndDefaultsAreSensible) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    CAPTUREPARMS parms{};
    ASSERT_EQ(w->GetSequenceSetup(&parms, sizeof parms), TRUE);
    EXPECT_EQ(parms.dwRequestMicroSecPerFrame, 66667u);
    EXPECT_EQ(parms.dwIndexSize, 34952u);
    EXPECT_EQ(parms.fCaptureAudio, FALSE);
    parms.dwRequestMicroSecPerFrame = 33333;
    parms.dwIndexSize = 324000;
    EXPECT_EQ(w->SetSequenceSetup(&parms, sizeof parms), TRUE);
    CAPTUREPARMS back{};
    w->GetSequenceSetup(&back, sizeof back);
    EXPECT_EQ(std::memcmp(&back, &parms, sizeof parms), 0);
    EXPECT_EQ(w->SetSequenceSetup(&parms, 10), FALSE) << "a short record is refused";

    const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    EXPECT_EQ(w->SetAudioFormat(&pcm, sizeof pcm), TRUE);
    EXPECT_EQ(std::memcmp(&w->audioFormat(), &pcm, sizeof pcm), 0);

    EXPECT_EQ(w->SetScale(TRUE), TRUE);
    EXPECT_EQ(w->SetPreviewRate(1000), TRUE);
    EXPECT_EQ(w->SetPreview(TRUE), TRUE);
    CAPSTATUS status{};
    ASSERT_EQ(w->GetStatus(&status, sizeof status), TRUE);
    EXPECT_EQ(status.fLiveWindow, TRUE);
    EXPECT_EQ(status.fScale, TRUE);
    EXPECT_EQ(w->GetStatus(&status, 20), FALSE);
}

TEST_F(CapwinTest, PreviewShowsTheFrameAsTheCallbackLeftIt) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    g_log.paintRows = 20;  // the bottom 20 rows of the picture
    w->SetScale(TRUE);
    w->SetPreviewRate(40);
    w->SetPreview(TRUE);
    ASSERT_TRUE(WaitFor([&] { return g_log.calls >= 3; }, 5000));
    EXPECT_EQ(g_log.window, w);
    EXPECT_EQ(g_log.bytesUsed, static_cast<DWORD>(kRow * kHeight));
    EXPECT_GE(g_log.bufferLength, g_log.bytesUsed);

    const QImage screen = w->grab().toImage();
    ASSERT_EQ(screen.size(), QSize(kWidth, kHeight));
    EXPECT_TRUE(IsRed(screen.pixel(kWidth / 2, kHeight - 5)))
        << "the callback's rows are at the bottom of the shown picture";
    EXPECT_TRUE(IsRed(screen.pixel(5, kHeight - 15)));
    EXPECT_FALSE(IsRed(screen.pixel(kWidth / 2, 5))) << "the top row is the pattern's";

    // One frame per preview period: a slow rate calls the callback rarely.
    w->SetPreviewRate(1000);
    const int before = g_log.calls;
    WaitFor([] { return false; }, 600);
    EXPECT_LE(g_log.calls - before, 1);
}

TEST_F(CapwinTest, UnconnectedWindowPaintsAHintAndLeavesTheContextMenuToItsParent) {
    struct Parent : QWidget {
        int menus = 0;
        void contextMenuEvent(QContextMenuEvent*) override { ++menus; }
    } parent;
    parent.resize(400, 300);
    CaptureWindow* w = registry_.capCreateCaptureWindowA("PrevWnd", WS_CHILD | WS_VISIBLE, 0, 0,
                                                         kWidth, kHeight, &parent, 22);
    ASSERT_NE(w, nullptr);
    const QImage screen = w->grab().toImage();
    const QColor corner = screen.pixelColor(2, 2);
    EXPECT_LT(corner.lightness(), 60) << "dark background";
    int bright = 0;
    for (int x = 0; x < kWidth; ++x)
        for (int y = kHeight / 3; y < 2 * kHeight / 3; ++y)
            bright += QColor(screen.pixel(x, y)).lightness() > 150;
    EXPECT_GT(bright, 50) << "the hint is drawn in the middle";

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), w->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(w, &event);
    EXPECT_EQ(parent.menus, 1);
}

TEST_F(CapwinTest, GrabbedFramesReadBackAsBottomUpDibAvi) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    CAPTUREPARMS parms{};
    w->GetSequenceSetup(&parms, sizeof parms);
    parms.dwRequestMicroSecPerFrame = 40000;
    w->SetSequenceSetup(&parms, sizeof parms);
    g_log.paintRows = 10;
    const QString file = path("run.avi");
    ASSERT_EQ(w->FileSetCaptureFile(file.toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(w->SingleFrame(), 0);
    CAPSTATUS status{};
    w->GetStatus(&status, sizeof status);
    EXPECT_EQ(status.dwCurrentVideoFrame, 5u);
    EXPECT_EQ(status.fCapFileExists, TRUE);
    EXPECT_EQ(g_log.calls, 5) << "every stored frame passed the callback";
    ASSERT_EQ(w->SingleFrameClose(), TRUE);
    EXPECT_EQ(w->SingleFrameClose(), FALSE) << "nothing left to close";

    const Probe p = ProbeFile(file);
    EXPECT_EQ(p.codec, "rawvideo");
    EXPECT_EQ(p.width, kWidth);
    EXPECT_EQ(p.height, kHeight);
    EXPECT_EQ(p.pixFmt, "bgr24");
    EXPECT_EQ(p.frames, 5);
    EXPECT_EQ(p.rate, "25/1");
    const QImage first = FirstFrame(file);
    ASSERT_EQ(first.size(), QSize(kWidth, kHeight));
    EXPECT_TRUE(IsRed(first.pixel(kWidth / 2, kHeight - 1))) << "first buffer row is the bottom";
    EXPECT_FALSE(IsRed(first.pixel(kWidth / 2, 0)));
    // A DIB AVI states a positive height: ffmpeg writes negative ones for top-down RGB.
    const QByteArray bytes = ReadFile(file);
    const int strf = bytes.indexOf("strf");
    ASSERT_GT(strf, 0);
    const qint32 height = qFromLittleEndian<qint32>(bytes.constData() + strf + 8 + 8);
    EXPECT_EQ(height, kHeight);
}

TEST_F(CapwinTest, GrabsWithoutAnOpenFileOrNameFail) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->SingleFrame(), 0) << "no file open";
    EXPECT_EQ(w->SingleFrameClose(), FALSE);
    // The recorder passes "" once all numbered names are taken.
    EXPECT_EQ(w->FileSetCaptureFile(""), FALSE);
    EXPECT_EQ(w->SingleFrameOpen(), FALSE);
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_EQ(w->FileSetCaptureFile(path("missing-dir/x.avi").toLocal8Bit().constData()), TRUE);
    EXPECT_EQ(w->SingleFrameOpen(), FALSE);
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_EQ(g_log.calls, 0) << "no frame was taken for a grab that cannot be stored";
}

TEST_F(CapwinTest, ExistingFilesAndSymlinksAreNeverOverwritten) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    w->SetPreviewRate(30);
    w->SetPreview(TRUE);
    ASSERT_TRUE(WaitFor([] { return g_log.calls > 0; }, 3000)) << "a frame for the bitmap";
    const QString target = path("target.dat");
    {
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    ASSERT_TRUE(QFile::link(target, path("link.avi")));
    ASSERT_TRUE(QFile::link(path("nowhere.dat"), path("dangling.avi")));
    ASSERT_TRUE(QFile::copy(target, path("existing.avi")));
    for (const char* name : {"existing.avi", "link.avi", "dangling.avi"}) {
        SCOPED_TRACE(name);
        const QByteArray file = path(name).toLocal8Bit();
        w->FileSetCaptureFile(file.constData());
        EXPECT_EQ(w->SingleFrameOpen(), FALSE);
        EXPECT_EQ(w->SingleFrame(), 0);
        EXPECT_EQ(w->FileSaveDib(file.constData()), FALSE);
    }
    EXPECT_EQ(ReadFile(target), "precious");
    EXPECT_EQ(ReadFile(path("existing.avi")), "precious");
    EXPECT_FALSE(QFile::exists(path("nowhere.dat")));
}

TEST_F(CapwinTest, SnapshotIsABitmapOfTheLastCallbackFrame) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const QString bmp = path("snap.bmp");
    EXPECT_EQ(w->FileSaveDib(bmp.toLocal8Bit().constData()), FALSE) << "no frame yet";
    EXPECT_FALSE(QFile::exists(bmp));
    g_log.paintRows = 12;
    w->SetPreviewRate(30);
    w->SetPreview(TRUE);
    ASSERT_TRUE(WaitFor([] { return g_log.calls > 0; }, 3000));
    ASSERT_EQ(w->FileSaveDib(bmp.toLocal8Bit().constData()), TRUE);
    const Probe p = ProbeFile(bmp);
    EXPECT_EQ(p.codec, "bmp");
    EXPECT_EQ(p.width, kWidth);
    EXPECT_EQ(p.height, kHeight);
    const QImage image(bmp);
    ASSERT_FALSE(image.isNull());
    EXPECT_TRUE(IsRed(image.pixel(kWidth / 2, kHeight - 2)));
    EXPECT_FALSE(IsRed(image.pixel(kWidth / 2, 2)));
}

TEST_F(CapwinTest, EveryCompressionChoiceGivesADecodableFile) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const struct {
        const char* choice;
        const char* codec;
    } cases[] = {{"Motion JPEG", "mjpeg"}, {"FFV1 lossless", "ffv1"}, {"Uncompressed", "rawvideo"}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice);
        AnswerModal(capwin::kVideoCompressionDialog,
                    [&](QDialog* d) { ChooseItem(d, "compression", c.choice); });
        EXPECT_EQ(w->DlgVideoCompression(), TRUE);
        const QString file = path("c") + QString::number(n++) + ".avi";
        record(w, file, 3);
        const Probe p = ProbeFile(file);
        EXPECT_EQ(p.codec, c.codec);
        EXPECT_EQ(p.width, kWidth);
        EXPECT_EQ(p.frames, 3);
    }
}

TEST_F(CapwinTest, FormatDialogChangesSizeAndLayout) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const struct {
        const char* size;
        const char* layout;
        int width, height, bytesPerPixel;
        const char* pixFmt;
    } cases[] = {{"640 x 480", "YUY2", 640, 480, 2, "yuyv422"},
                 {"160 x 120", "32-bit RGB", 160, 120, 4, "bgra"},
                 {"320 x 240", "24-bit RGB", 320, 240, 3, "bgr24"}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        AnswerModal(capwin::kVideoFormatDialog, [&](QDialog* d) {
            ChooseItem(d, "frameSize", c.size);
            ChooseItem(d, "pixelFormat", c.layout);
        });
        ASSERT_EQ(w->DlgVideoFormat(), TRUE);
        CAPSTATUS status{};
        w->GetStatus(&status, sizeof status);
        EXPECT_EQ(status.uiImageWidth, static_cast<UINT>(c.width));
        EXPECT_EQ(status.uiImageHeight, static_cast<UINT>(c.height));
        const QString file = path("f") + QString::number(n++) + ".avi";
        record(w, file, 2);
        EXPECT_EQ(g_log.bytesUsed, static_cast<DWORD>(c.width * c.height * c.bytesPerPixel));
        const Probe p = ProbeFile(file);
        EXPECT_EQ(p.codec, "rawvideo");
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
        EXPECT_EQ(p.pixFmt, c.pixFmt);
        EXPECT_EQ(p.frames, 2);
    }
}

TEST_F(CapwinTest, SourceAndDisplayDialogsTakeTheirChoices) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    AnswerModal(capwin::kVideoSourceDialog,
                [](QDialog* d) { ChooseItem(d, "pattern", "Colour bars, cycling hue"); });
    ASSERT_EQ(w->DlgVideoSource(), TRUE);
    EXPECT_TRUE(w->isConnected());
    const QString file = path("bars.avi");
    record(w, file, 1);
    EXPECT_EQ(ProbeFile(file).frames, 1);

    AnswerModal(capwin::kVideoDisplayDialog, [](QDialog* d) {
        auto* box = d->findChild<QCheckBox*>("scale");
        ASSERT_NE(box, nullptr);
        box->setChecked(true);
    });
    ASSERT_EQ(w->DlgVideoDisplay(), TRUE);
    CAPSTATUS status{};
    w->GetStatus(&status, sizeof status);
    EXPECT_EQ(status.fScale, TRUE);
}

TEST_F(CapwinTest, GrabsTakeAPictureCapturedAfterTheRequest) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    w->FileSetCaptureFile(path("fresh.avi").toLocal8Bit().constData());
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    // Pauses of different lengths put the requests at every point of the pattern's frame
    // clock; the newest frame at hand would mostly be older than the request.
    for (int pauseMs : {0, 7, 13, 21, 29, 36, 100}) {
        SCOPED_TRACE(pauseMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const std::int64_t requestUs = av_gettime_relative();
        ASSERT_NE(w->SingleFrame(), 0);
        EXPECT_GE(w->lastCaptureUs(), requestUs);
        EXPECT_LT(w->lastCaptureUs() - requestUs, 200000) << "one frame period, not more";
    }
    EXPECT_EQ(w->SingleFrameClose(), TRUE);
}

TEST_F(CapwinTest, DeadDeviceFailsTheGrabWithinTheBoundAndNeverGivesAnOldFrame) {
    registry_.setTestPatternStall(8);
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const QString file = path("dead.avi");
    w->FileSetCaptureFile(file.toLocal8Bit().constData());
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // 8 frames at 25 fps
    const int callsBefore = g_log.calls;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(w->SingleFrame(), 0);
    // A wait for a frame, then one reopen of the pattern that waits as long again.
    const int bound = 2 * registry_.settings().frameWaitMs;
    EXPECT_GE(t.elapsed(), bound - 100) << "it tried to reopen";
    EXPECT_LT(t.elapsed(), bound + 1500);
    EXPECT_EQ(g_log.calls, callsBefore) << "the last buffered frame must not be delivered";
    EXPECT_EQ(w->SingleFrameClose(), TRUE);
    EXPECT_LE(ProbeFile(file).frames, 0);
}

TEST_F(CapwinTest, StallOfARunningPatternFailsTheGrabWithinTheDefaultBound) {
    // The recorder's own tests rely on the default limits: a grab on a pattern that dies in
    // the middle of a run answers 0 within a couple of seconds.
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    std::unique_ptr<CaptureWindow> w(registry.capCreateCaptureWindowA(
        "PrevWnd", WS_CHILD, 0, 0, kWidth, kHeight, &parent_, 22));
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->DriverConnect(registry.testPatternIndex()), 1);
    w->FileSetCaptureFile(path("stall.avi").toLocal8Bit().constData());
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    ASSERT_NE(w->SingleFrame(), 0);
    registry.setTestPatternStall(0);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_EQ(w->SingleFrame(), 0) << "it stays dead";
    registry.setTestPatternStall(-1);
    EXPECT_NE(w->SingleFrame(), 0) << "and comes back when the fault is lifted";
    ASSERT_EQ(w->SingleFrameClose(), TRUE);
    EXPECT_EQ(ProbeFile(path("stall.avi")).frames, 2);
}

TEST_F(CapwinTest, DeviceThatComesBackIsReopenedByTheGrab) {
    registry_.setTestPatternStall(6, /*recovers=*/true);
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const QString file = path("back.avi");
    w->FileSetCaptureFile(file.toLocal8Bit().constData());
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    for (int grab = 0; grab < 2; ++grab) {
        SCOPED_TRACE(grab);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));  // past 6 frames
        QElapsedTimer t;
        t.start();
        EXPECT_NE(w->SingleFrame(), 0);
        EXPECT_GE(t.elapsed(), registry_.settings().frameWaitMs - 50) << "it did wait first";
    }
    ASSERT_EQ(w->SingleFrameClose(), TRUE);
    EXPECT_EQ(ProbeFile(file).frames, 2);
}

TEST_F(CapwinTest, DisconnectReleasesTheDeviceAndAllowsAReconnect) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->DriverDisconnect(), TRUE);
    EXPECT_FALSE(w->isConnected());
    w->FileSetCaptureFile(path("after.avi").toLocal8Bit().constData());
    EXPECT_EQ(w->SingleFrameOpen(), FALSE);
    EXPECT_EQ(w->DriverConnect(0), 1);
    EXPECT_EQ(w->DriverConnect(0), 1) << "connecting again replaces the connection";
}

// A forked child and the read end of its pipe.
struct Child {
    pid_t pid = -1;
    int fd = -1;
};

bool KillChild(const Child& child) {
    ::close(child.fd);
    ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST_F(CapwinTest, KilledWriterLeavesEveryGrabbedFrameDecodable) {
    const QString file = path("killed.avi");
    const std::string name = file.toStdString();
    constexpr int kReported = 5;
    // The child reports each grab that answered success and goes on grabbing; it is killed
    // right after the fifth report, in the middle of a later grab.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        FfmpegCaptureWindow* w = connected();
        if (w != nullptr && w->FileSetCaptureFile(name.c_str()) == TRUE &&
            w->SingleFrameOpen() == TRUE) {
            for (int i = 0; i < 200; ++i)
                if (w->SingleFrame() != 0)
                    (void)!::write(fds[1], "1", 1);
        }
        ::_exit(3);  // the parent kills us long before this
    }
    ASSERT_GT(pid, 0);
    ::close(fds[1]);
    Child child{pid, fds[0]};
    std::string reports;
    pollfd p{child.fd, POLLIN, 0};
    char c;
    while (static_cast<int>(reports.size()) < kReported && ::poll(&p, 1, 10000) > 0 &&
           ::read(child.fd, &c, 1) == 1)
        reports += c;
    EXPECT_TRUE(KillChild(child)) << "the child was still running when killed";
    ASSERT_EQ(static_cast<int>(reports.size()), kReported);
    const Probe probe = ProbeFile(file);
    EXPECT_EQ(probe.codec, "rawvideo");
    EXPECT_EQ(probe.width, kWidth);
    EXPECT_GE(probe.frames, kReported) << "every grab that answered success decodes";
    EXPECT_LE(probe.frames, kReported + 1);
    EXPECT_GE(probe.headerFrames, kReported) << "the header counts the frames too";
    EXPECT_LE(probe.headerFrames, probe.frames);
}


TEST_F(CapwinTest, FileSizeLimitFailsTheGrabAndKeepsTheFramesBefore) {
    FfmpegCaptureWindow* w = connected();
    ASSERT_NE(w, nullptr);
    const QString file = path("limited.avi");
    ASSERT_EQ(w->FileSetCaptureFile(file.toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    std::string replies;
    {
        // Room for the header and two frames of 230400 bytes, not for a third.
        const FileSizeLimit limit(600000);
        ASSERT_TRUE(limit.ok());
        for (int i = 0; i < 4; ++i)
            replies += w->SingleFrame() != 0 ? '1' : '0';
    }
    EXPECT_EQ(replies, "1100") << "once a write failed, no later grab reports success";
    EXPECT_EQ(w->SingleFrameClose(), FALSE) << "the file could not be finished cleanly";
    const Probe p = ProbeFile(file);
    EXPECT_EQ(p.frames, 2) << "the file ends on the last whole frame";
    EXPECT_EQ(p.headerFrames, 2);
    EXPECT_LE(QFileInfo(file).size(), 600000);
}

TEST(CapwinDevice, FirstV4l2DeviceConnectsAndGrabs) {
    FfmpegDriverRegistry registry;
    if (registry.drivers().size() < 2)
        GTEST_SKIP() << "no V4L2 capture device on this machine";
    const capwin::DriverEntry& device = registry.drivers().front();
    EXPECT_EQ(device.kind, device::DeviceKind::V4l2);
    EXPECT_EQ(device.path.rfind("/dev/", 0), 0u) << device.path;
    QTemporaryDir dir;
    QWidget parent;
    std::unique_ptr<CaptureWindow> w(
        registry.capCreateCaptureWindowA("PrevWnd", WS_CHILD, 0, 0, kWidth, kHeight, &parent, 22));
    ASSERT_NE(w, nullptr);
    if (w->DriverConnect(0) != 1)
        GTEST_SKIP() << "the device " << device.path << " is busy or sends nothing";
    CAPSTATUS status{};
    ASSERT_EQ(w->GetStatus(&status, sizeof status), TRUE);
    const QString file = dir.filePath("camera.avi");
    w->FileSetCaptureFile(file.toLocal8Bit().constData());
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    ASSERT_NE(w->SingleFrame(), 0);
    ASSERT_EQ(w->SingleFrameClose(), TRUE);
    const Probe p = ProbeFile(file);
    EXPECT_EQ(p.frames, 1);
    EXPECT_EQ(p.width, static_cast<int>(status.uiImageWidth));
    EXPECT_EQ(p.height, static_cast<int>(status.uiImageHeight));
}

}  // namespace
