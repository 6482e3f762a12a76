// Capture window figures: grab latency to a durable frame, and CPU use of a live preview.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"

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

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
