// Capture window figures: grab latency to a durable frame, CPU use of a live preview, bytes,
// CPU and SSIM per frame of every compression, and memory over ten thousand grabs.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/CaptureDlg.h"
#include "avi/AviFileWriter.h"
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "platform/power/PowerServices.h"

namespace {

using Clock = std::chrono::steady_clock;
Clock::time_point g_callbackAt;

LRESULT StampCallback(HWND, VIDEOHDR*) {
    g_callbackAt = Clock::now();
    return 0;
}

// CPU seconds of the whole process (RUSAGE_SELF) or of the calling thread (RUSAGE_THREAD).
double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<FfmpegCaptureWindow> Connect(FfmpegDriverRegistry& registry, int width,
                                             int height) {
    registry.settings().testPatternWidth = width;
    registry.settings().testPatternHeight = height;
    std::unique_ptr<FfmpegCaptureWindow> w(dynamic_cast<FfmpegCaptureWindow*>(
        registry.capCreateCaptureWindowA("PrevWnd", WS_CHILD, 0, 0, 320, 240, nullptr, 22)));
    if (!w || w->DriverConnect(registry.testPatternIndex()) != 1)
        return {};
    // The window hands the callback only frames of the size it last reported.
    w->GetStatus(&captureSettings.capStatus, sizeof captureSettings.capStatus);
    return w;
}

// From the grab request to the frame fsync-ed into the AVI file; "store" is the part after
// the frame callback (writing and syncing), the rest is waiting for a fresh frame and
// converting it. The files go to BENCH_DIR (default: the system's temporary directory).
void BM_GrabLatency(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const char* base = std::getenv("BENCH_DIR");
    QTemporaryDir dir(base ? QString(base) + "/bench_capture-XXXXXX" : QString());
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    auto w = Connect(registry, width, height);
    if (!dir.isValid() || !w) {
        state.SkipWithError("cannot connect to the test pattern");
        return;
    }
    w->SetCallbackFrame(&StampCallback);
    const QByteArray file = dir.filePath("bench.avi").toLocal8Bit();
    w->FileSetCaptureFile(file.constData());
    if (w->SingleFrameOpen() != TRUE) {
        state.SkipWithError("cannot open the AVI file");
        return;
    }
    // The recorder's requests come at any moment of the device's frame clock, not right
    // after the previous frame; a pause of up to one frame period between grabs does that.
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pauseUs(0, 40000);
    double storeMs = 0;
    double maxMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        state.ResumeTiming();
        const auto requested = Clock::now();
        if (w->SingleFrame() == 0) {
            state.SkipWithError("grab failed");
            break;
        }
        const auto done = Clock::now();
        storeMs += std::chrono::duration<double, std::milli>(done - g_callbackAt).count();
        maxMs = std::max(maxMs, std::chrono::duration<double, std::milli>(done - requested).count());
    }
    w->SingleFrameClose();
    state.counters["store_ms"] = storeMs / static_cast<double>(state.iterations());
    state.counters["max_ms"] = maxMs;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(width) * height * 3);
}
BENCHMARK(BM_GrabLatency)
    ->Args({320, 240})
    ->Args({640, 480})
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// CPU time (all threads of the process) of a connected window previewing at the default
// rate of 1000 ms, measured over about ten seconds and given per minute.
void BM_PreviewCpuPerMinute(benchmark::State& state) {
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    auto w = Connect(registry, 320, 240);
    if (!w) {
        state.SkipWithError("cannot connect to the test pattern");
        return;
    }
    w->SetCallbackFrame(&StampCallback);
    w->SetScale(TRUE);
    w->SetPreviewRate(1000);
    w->SetPreview(TRUE);
    w->show();
    double cpuPerMinute = 0;
    double uiCpuPerMinute = 0;
    for (auto _ : state) {
        const double cpuBefore = CpuSeconds(RUSAGE_SELF);
        const double uiBefore = CpuSeconds(RUSAGE_THREAD);
        QElapsedTimer wall;
        wall.start();
        QEventLoop loop;
        QTimer::singleShot(10000, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
        const double perMinute = 60000.0 / static_cast<double>(wall.elapsed());
        cpuPerMinute = (CpuSeconds(RUSAGE_SELF) - cpuBefore) * perMinute;
        uiCpuPerMinute = (CpuSeconds(RUSAGE_THREAD) - uiBefore) * perMinute;
    }
    // The rest of the process's time is the reader thread, which for the test pattern is
    // mostly lavfi drawing 25 pictures a second.
    state.counters["cpu_s_per_min"] = cpuPerMinute;
    state.counters["ui_cpu_s_per_min"] = uiCpuPerMinute;
    state.counters["cpu_percent"] = cpuPerMinute / 60.0 * 100.0;
}
BENCHMARK(BM_PreviewCpuPerMinute)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ---- Storage: bytes, CPU and SSIM per frame of every compression -------------------------

// The stamped frame of the last grab, as the capture window stored it.
picture::CapturedImage g_stamped;

LRESULT StampAndKeep(HWND window, VIDEOHDR* header) {
    FrameCallback(window, header);
    g_stamped.bytes.assign(header->lpData, header->lpData + header->dwBytesUsed);
    g_stamped.used = header->dwBytesUsed;
    return 0;
}

// Picks a compression in the capture window's own dialog, as a user would.
bool ChooseCompression(FfmpegCaptureWindow* w, avi::Compression c) {
    const QString name = QString::fromLatin1(avi::CompressionName(c));
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        answer.stop();
        auto* combo = dialog->findChild<QComboBox*>("compression");
        if (combo != nullptr && combo->findText(name) >= 0)
            combo->setCurrentIndex(combo->findText(name));
        dialog->accept();
    });
    answer.start(10);
    return w->DlgVideoCompression() == TRUE && w->compression() == c;
}

// Per-frame SSIM (all planes, in 4:4:4 so that chroma loss counts) of a file against the
// reference file: the mean and the worst frame, or -1 when ffmpeg fails.
struct Ssim {
    double mean = -1;
    double worst = -1;
    int frames = 0;
};

Ssim MeasureSsim(const QString& file, const QString& reference, const QString& statsPath) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-i", file, "-i", reference, "-lavfi",
                            "[0:v]format=yuv444p[a];[1:v]format=yuv444p[b];[a][b]ssim=stats_file=" +
                                statsPath,
                            "-f", "null", "-"});
    Ssim result;
    if (!ffmpeg.waitForFinished(600000) || ffmpeg.exitCode() != 0)
        return result;
    QFile stats(statsPath);
    if (!stats.open(QIODevice::ReadOnly))
        return result;
    double sum = 0;
    result.worst = 1;
    for (const QByteArray& line : stats.readAll().split('\n')) {
        const int at = line.indexOf("All:");
        if (at < 0)
            continue;
        // QByteArray::toDouble reads the C locale whatever LC_NUMERIC says.
        const double all = line.mid(at + 4).split(' ').front().toDouble();
        sum += all;
        result.worst = std::min(result.worst, all);
        ++result.frames;
    }
    if (result.frames > 0)
        result.mean = sum / result.frames;
    return result;
}

// Threads of this process, by id.
std::vector<pid_t> ThreadIds() {
    std::vector<pid_t> ids;
    for (const QString& name : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        ids.push_back(static_cast<pid_t>(name.toInt()));
    return ids;
}

// CPU seconds a thread of this process has run (the scheduler's own count, in ns), or 0
// once it has ended.
double ThreadCpuSeconds(pid_t id) {
    QFile stat(QString("/proc/self/task/%1/schedstat").arg(id));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    return stat.readLine().split(' ').front().toDouble() / 1e9;
}

// Grabs `frames` frames of the moving pattern at width x height through the capture window
// (uncompressed: the reference), stores every stamped frame also with each compression
// (H.264 at a few qualities besides the default), and prints one row per compression.
// The grabs start periodMs apart whatever the encoders took, so the pattern moves by the
// same amount between grabs (25 pattern frames a second), as a scene does between the
// frames of a time-lapse. An encoder's CPU counts the grabbing thread's time in it and
// all of the threads it started (an encoder with worker threads does its work there).
void StorageTable(int width, int height, int frames, int periodMs, const QString& dir) {
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    auto w = Connect(registry, width, height);
    if (!w) {
        std::printf("%dx%d: cannot connect to the test pattern\n", width, height);
        return;
    }
    w->GetStatus(&captureSettings.capStatus, sizeof captureSettings.capStatus);
    w->SetCallbackFrame(&StampAndKeep);
    const QString tag = QString("%1x%2").arg(width).arg(height);
    const QString reference = dir + "/reference-" + tag + ".avi";
    const QByteArray referenceName = reference.toLocal8Bit();
    w->FileSetCaptureFile(referenceName.constData());
    if (w->SingleFrameOpen() != TRUE) {
        std::printf("%s: cannot open the reference file\n", qPrintable(tag));
        return;
    }
    struct Row {
        avi::Compression compression;
        double crf;
        QString label;
        QString file;
        std::unique_ptr<avi::AviFileWriter> writer;
        double cpuS = 0;
        std::vector<pid_t> threads;  // those the encoder started
    };
    std::vector<pid_t> known = ThreadIds();
    // Threads that appeared since the last look belong to the row that just ran.
    auto claimThreads = [&known](Row& row) {
        for (pid_t id : ThreadIds())
            if (std::find(known.begin(), known.end(), id) == known.end()) {
                known.push_back(id);
                row.threads.push_back(id);
            }
    };
    std::vector<Row> rows;
    for (avi::Compression c : avi::AvailableCompressions(avi::DefaultEncoderLookup())) {
        const bool h264 = c == avi::Compression::H264;
        const std::vector<double> qualities = h264 ? std::vector<double>{23, 28, 33, 38}
                                                   : std::vector<double>{23};
        for (double crf : qualities) {
            const QString name =
                QString::fromLatin1(avi::EncoderName(c) ? avi::EncoderName(c) : "raw");
            Row row{c,
                    crf,
                    h264 ? QString("H.264 CRF %1").arg(crf)
                         : QString::fromLatin1(avi::CompressionName(c)),
                    dir + "/" + name + (h264 ? QString("-crf%1").arg(crf) : QString()) + "-" + tag +
                        ".avi",
                    nullptr,
                    0,
                    {}};
            avi::AviSetup setup;
            setup.width = width;
            setup.height = height;
            setup.compression = c;
            setup.crf = crf;
            row.writer = avi::AviFileWriter::Create(row.file.toStdString(), setup);
            if (!row.writer) {
                std::printf("%s: cannot open %s\n", qPrintable(tag), qPrintable(row.label));
                return;
            }
            claimThreads(row);
            rows.push_back(std::move(row));
        }
    }
    double grabCpuS = 0;
    int late = 0;
    auto next = Clock::now();
    for (int i = 0; i < frames; ++i) {
        next += std::chrono::milliseconds(periodMs);
        if (Clock::now() > next)
            ++late;
        std::this_thread::sleep_until(next);
        g_stamped.width = width;
        g_stamped.height = height;
        g_stamped.layout = picture::PixelLayout::Rgb24;
        const double before = CpuSeconds(RUSAGE_THREAD);
        if (w->SingleFrame() == 0) {
            std::printf("%s: grab %d failed\n", qPrintable(tag), i);
            return;
        }
        grabCpuS += CpuSeconds(RUSAGE_THREAD) - before;
        if (i == 0) {
            Row grab;  // threads the grab started belong to no encoder
            claimThreads(grab);
        }
        for (Row& row : rows) {
            const double start = CpuSeconds(RUSAGE_THREAD);
            if (!row.writer->addFrame(g_stamped)) {
                std::printf("%s: %s refused frame %d\n", qPrintable(tag), qPrintable(row.label), i);
                return;
            }
            row.cpuS += CpuSeconds(RUSAGE_THREAD) - start;
            if (i == 0)
                claimThreads(row);
        }
    }
    for (Row& row : rows)
        for (pid_t id : row.threads)
            row.cpuS += ThreadCpuSeconds(id);
    w->SingleFrameClose();
    double mjpegBytes = 0;
    std::printf("\n%s, %d frames, grabs %d ms apart (%d late); grab (pattern to DIB, stamp, "
                "reference file): %.2f ms CPU a frame\n",
                qPrintable(tag), frames, periodMs, late, grabCpuS * 1000 / frames);
    std::printf("%-16s %12s %10s %12s %10s %10s %12s %8s\n", "compression", "file bytes",
                "bytes/frm", "CPU ms/frm", "SSIM mean", "SSIM min", "GB/week 1/min", "threads");
    for (Row& row : rows) {
        row.writer->finish();
        row.writer.reset();
        const double bytes = static_cast<double>(QFileInfo(row.file).size());
        const double perFrame = bytes / frames;
        if (row.compression == avi::Compression::MotionJpeg)
            mjpegBytes = perFrame;
        const Ssim ssim = MeasureSsim(row.file, reference, row.file + ".ssim");
        std::printf("%-16s %12.0f %10.0f %12.2f %10.4f %10.4f %12.2f %8zu", qPrintable(row.label),
                    bytes, perFrame, row.cpuS * 1000 / frames, ssim.mean, ssim.worst,
                    perFrame * 60 * 24 * 7 / 1e9, row.threads.size() + 1);
        if (row.compression == avi::Compression::H264 && mjpegBytes > 0)
            std::printf("   %.1fx smaller than Motion JPEG%s", mjpegBytes / perFrame,
                        row.crf == 23 ? " (goal: 10x at SSIM >= 0.95; CRF 23 is the default)" : "");
        std::printf("\n");
        if (ssim.frames != frames)
            std::printf("  (SSIM over %d of %d frames)\n", ssim.frames, frames);
    }
}

// A recording through the capture window alone, in the compression chosen in its dialog:
// the file's size, as a user would see it.
void Recording(avi::Compression c, int width, int height, int frames, int pauseMs,
               const QString& dir) {
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    auto w = Connect(registry, width, height);
    if (!w || !ChooseCompression(w.get(), c)) {
        std::printf("cannot record %s\n", avi::CompressionName(c));
        return;
    }
    w->GetStatus(&captureSettings.capStatus, sizeof captureSettings.capStatus);
    w->SetCallbackFrame(&FrameCallback);
    const QString file =
        dir + QString("/recording-%1-%2x%3.avi").arg(avi::EncoderName(c)).arg(width).arg(height);
    const QByteArray name = file.toLocal8Bit();
    w->FileSetCaptureFile(name.constData());
    if (w->SingleFrameOpen() != TRUE)
        return;
    int stored = 0;
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        stored += w->SingleFrame() != 0;
    }
    w->SingleFrameClose();
    std::printf("recording %-14s %dx%d: %d frames, %lld bytes\n", avi::CompressionName(c), width,
                height, stored, static_cast<long long>(QFileInfo(file).size()));
}

// ---- Memory over a long run ---------------------------------------------------------------

long ResidentKiB() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long size = 0;
    long resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &size, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Prints a line of the memory table at grab 100, 1000, every 2500th and the last, and keeps
// the resident set at 100 and at the end for the goal.
class MemoryTable {
public:
    MemoryTable(const QString& file, int grabs) : file_(file), grabs_(grabs) { wall_.start(); }
    void Sample(int i) {
        if (i != 100 && i != 1000 && i % 2500 != 0 && i != grabs_)
            return;
        const long rss = ResidentKiB();
        const struct mallinfo2 heap = mallinfo2();
        if (i == 100)
            rssAt100_ = rss;
        rssAtEnd_ = rss;
        std::printf("%8d %10ld %12zu %12lld %8.1f\n", i, rss, heap.uordblks / 1024,
                    static_cast<long long>(QFileInfo(file_).size() / 1024),
                    static_cast<double>(wall_.elapsed()) / 1000);
    }
    long Growth() const { return rssAtEnd_ - rssAt100_; }

private:
    QString file_;
    int grabs_;
    long rssAt100_ = 0;
    long rssAtEnd_ = 0;
    QElapsedTimer wall_;
};

// Grabs `grabs` frames into one file as fast as the pattern delivers them (400 a second)
// and prints the resident set and the heap in use along the way.
void MemoryRun(avi::Compression c, int grabs, const QString& dir) {
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    registry.settings().testPatternRate = 400;
    auto w = Connect(registry, 320, 240);
    if (!w || !ChooseCompression(w.get(), c)) {
        std::printf("cannot run %s\n", avi::CompressionName(c));
        return;
    }
    w->GetStatus(&captureSettings.capStatus, sizeof captureSettings.capStatus);
    w->SetCallbackFrame(&FrameCallback);
    const QString file = dir + QString("/memory-%1.avi").arg(avi::EncoderName(c));
    const QByteArray name = file.toLocal8Bit();
    w->FileSetCaptureFile(name.constData());
    if (w->SingleFrameOpen() != TRUE)
        return;
    std::printf("\nmemory, %s 320x240 into one file\n%8s %10s %12s %12s %8s\n",
                avi::CompressionName(c), "grabs", "RSS KiB", "heap KiB", "file KiB", "s");
    MemoryTable table(file, grabs);
    for (int i = 1; i <= grabs; ++i) {
        if (w->SingleFrame() == 0) {
            std::printf("grab %d failed\n", i);
            break;
        }
        // The event loop runs between grabs as it does between timer ticks.
        QCoreApplication::processEvents();
        table.Sample(i);
    }
    w->SingleFrameClose();
    std::printf("RSS after %d grabs - after 100: %+ld KiB (goal: within 2048)\n", grabs,
                table.Growth());
    QFile::remove(file);
}

// Power services that do nothing: the recorder's run below decides to sleep between frames,
// arms its wake timer and is told that the computer slept and woke at once. Nothing here
// can suspend the machine.
class NoPower : public PowerServices {
public:
    bool EnableWakePrivilege() override { return true; }
    WakeTimerHandle CreateWaitableTimer(const char*) override {
        // A handle that names nothing: only these services look behind it.
        static char timer;
        return WakeTimerHandle(reinterpret_cast<WakeTimerObject*>(&timer), [](WakeTimerObject*) {});
    }
    bool SetWaitableTimer(const WakeTimerHandle&, const FILETIME&, WakeTimerApcProc,
                          void*) override {
        return true;
    }
    bool CancelWaitableTimer(const WakeTimerHandle&) override { return true; }
    bool Suspend() override { return true; }
    bool Hibernate() override { return false; }
};

// The recorder itself: frame ticks of the main window (size check, title, counter, grab,
// the sleep decision) as fast as the pattern delivers, into one file.
void RecorderMemoryRun(avi::Compression c, int grabs, const QString& dir) {
    const QString previous = QDir::currentPath();
    if (!QDir::setCurrent(dir))
        return;
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    registry.settings().testPatternRate = 400;
    NoPower power;
    auto dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
    dlg->Create();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->driverList->SetCurSel(registry.testPatternIndex());
    dlg->OnConnect();
    auto* w = dynamic_cast<FfmpegCaptureWindow*>(dlg->captureWindow.data());
    if (dlg->captureState != Connected || w == nullptr || !ChooseCompression(w, c)) {
        std::printf("the recorder cannot run %s\n", avi::CompressionName(c));
        QDir::setCurrent(previous);
        return;
    }
    std::printf(
        "\nmemory, the recorder's frame ticks, %s 320x240 into one file\n"
        "%8s %10s %12s %12s %8s\n",
        avi::CompressionName(c), "grabs", "RSS KiB", "heap KiB", "file KiB", "s");
    MemoryTable table(dir + "/brslt000.avi", grabs);
    dlg->OnStart();
    for (int i = 2; i <= grabs && dlg->captureState == Capturing; ++i) {
        dlg->OnTimer(TIMER_FRAME);
        QCoreApplication::processEvents();
        table.Sample(i);
    }
    const bool ran = dlg->captureState == Capturing;
    dlg->OnStop();
    std::printf("%s; RSS after %d grabs - after 100: %+ld KiB (goal: within 2048)\n",
                ran ? "run complete" : "the run failed", dlg->frameCount, table.Growth());
    dlg.reset();
    QFile::remove(dir + "/brslt000.avi");
    QDir::setCurrent(previous);
}

}  // namespace

// Our own options, taken out before Google Benchmark sees the rest.
struct Options {
    bool tables = true;       // --tables=0 runs only the Google Benchmark cases
    bool benchmarks = true;   // --benchmarks=0 runs only the tables
    int frames = 30;          // --frames=N per size in the storage table
    int periodMs = 400;       // --period_ms=N from grab to grab of the storage table
    int pauseMs = 200;        // --pause_ms=N between grabs of the 1920x1080 recordings
    int grabs = 10000;        // --grabs=N of the memory run
};

Options TakeOptions(int* argc, char** argv) {
    Options o;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const char* a = argv[i];
        auto value = [a](const char* name, int* out) {
            const std::size_t n = std::strlen(name);
            if (std::strncmp(a, name, n) != 0)
                return false;
            *out = std::atoi(a + n);
            return true;
        };
        int flag = 0;
        if (value("--tables=", &flag))
            o.tables = flag != 0;
        else if (value("--benchmarks=", &flag))
            o.benchmarks = flag != 0;
        else if (!value("--frames=", &o.frames) && !value("--pause_ms=", &o.pauseMs) &&
                 !value("--period_ms=", &o.periodMs) &&
                 !value("--grabs=", &o.grabs))
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return o;
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // tables appear as they are made
    const Options options = TakeOptions(&argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (options.benchmarks)
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!options.tables)
        return 0;
    const char* base = std::getenv("BENCH_DIR");
    QTemporaryDir dir(base ? QString(base) + "/bench_capture-XXXXXX" : QString());
    if (!dir.isValid())
        return 1;
    // BENCH_KEEP=1 leaves the files (in BENCH_DIR) for a look with other tools.
    dir.setAutoRemove(std::getenv("BENCH_KEEP") == nullptr);
    for (avi::Compression c : {avi::Compression::H264, avi::Compression::MotionJpeg})
        MemoryRun(c, std::max(100, options.grabs), dir.path());
    RecorderMemoryRun(avi::Compression::H264, std::max(100, options.grabs), dir.path());
    // The large frames last, so that the memory figures above start from a small heap.
    for (const auto& [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}})
        StorageTable(w, h, std::max(1, options.frames), std::max(1, options.periodMs), dir.path());
    std::printf("\n");
    for (avi::Compression c : {avi::Compression::MotionJpeg, avi::Compression::H264})
        Recording(c, 1920, 1080, 30, options.pauseMs, dir.path());

    return 0;
}
