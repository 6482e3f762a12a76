// Cost of stamping one frame: the whole callback, and its text and blend steps apart.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMask.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

// 24-bit frames of the usual capture sizes, band near the top (placement 2), flipped.
void FrameSize(benchmark::internal::Benchmark* bench) {
    bench->Args({320, 240})->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160});
    bench->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
}

void BM_FrameCallback(benchmark::State& state) {
    const auto width = static_cast<UINT>(state.range(0));
    const auto height = static_cast<UINT>(state.range(1));
    captureSettings.capStatus.uiImageWidth = width;
    captureSettings.capStatus.uiImageHeight = height;
    captureSettings.textPlacement = 2;
    captureSettings.flipText = 1;
    std::vector<std::uint8_t> frame(std::size_t{width} * height * 3, 128);
    VIDEOHDR header{};
    header.lpData = frame.data();
    header.dwBufferLength = static_cast<DWORD>(frame.size());
    header.dwBytesUsed = static_cast<DWORD>(frame.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameCallback(nullptr, &header));
        benchmark::ClobberMemory();
    }
    const BandGeometry band = ComputeBandGeometry(width, height, header.dwBytesUsed, 2, 1);
    state.SetBytesProcessed(state.iterations() * band.rowBytes * band.bandRows);
    state.counters["band_rows"] = static_cast<double>(band.bandRows);
}
BENCHMARK(BM_FrameCallback)->Apply(FrameSize);

void BM_RenderTextMask(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int rows = std::max(static_cast<int>(state.range(1)) / 20, 12);
    std::vector<std::uint8_t> mask(std::size_t(width) * rows);
    const std::string text = TimeStampText(std::time(nullptr));
    for (auto _ : state) {
        benchmark::DoNotOptimize(RenderTextMask(text, width, rows, mask.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RenderTextMask)->Apply(FrameSize);

void BM_BlendBand(benchmark::State& state) {
    const auto width = static_cast<UINT>(state.range(0));
    const auto height = static_cast<UINT>(state.range(1));
    const BandGeometry band = ComputeBandGeometry(width, height, width * height * 3, 2, 1);
    std::vector<std::uint8_t> mask(std::size_t{width} * band.bandRows);
    RenderTextMask(TimeStampText(std::time(nullptr)), static_cast<int>(width),
                   static_cast<int>(band.bandRows), mask.data());
    std::vector<std::uint8_t> rows(std::size_t(band.rowBytes * band.bandRows), 128);
    for (auto _ : state) {
        for (std::int64_t y = 0; y < band.bandRows; ++y) {
            BlendBandRow(rows.data() + y * band.rowBytes, mask.data() + y * width, width, width,
                         3);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * band.rowBytes * band.bandRows);
}
BENCHMARK(BM_BlendBand)->Apply(FrameSize);

}  // namespace

int main(int argc, char** argv) {
    // Fonts need a GUI application, not a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
