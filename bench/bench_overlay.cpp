// Cost of stamping one frame: the whole callback, and its text and blend steps apart; then,
// for comparison, what ffmpeg's drawtext filter takes to stamp frames of the same sizes.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMask.h"

#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct FrameSizeRow {
    int width;
    int height;
    int drawtextFrames;  // frames per ffmpeg run: enough for a run of about a second
};
constexpr FrameSizeRow kSizes[] = {
    {320, 240, 6000}, {640, 480, 3000}, {1920, 1080, 1000}, {3840, 2160, 400}};

// 24-bit frames of the usual capture sizes, band near the top (placement 2), flipped.
void FrameSize(benchmark::internal::Benchmark* bench) {
    for (const FrameSizeRow& size : kSizes) {
        bench->Args({size.width, size.height});
    }
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
    // Bytes per second counts the band's bytes, the ones the callback blends.
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

// Wall-clock seconds of one ffmpeg run that makes `frames` grey frames of the size and
// passes them through `filter` (none when empty) to the null muxer; negative on failure.
double FfmpegSeconds(const FrameSizeRow& size, int frames, const QString& filter) {
    QStringList arguments = {
        "-nostdin", "-hide_banner", "-benchmark", "-f", "lavfi", "-i",
        QStringLiteral("color=c=gray:s=%1x%2:r=30").arg(size.width).arg(size.height),
        "-frames:v", QString::number(frames)};
    if (!filter.isEmpty()) {
        arguments << "-vf" << filter;
    }
    arguments << "-f" << "null" << "-";
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", arguments);
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
        return -1.0;
    }
    static const QRegularExpression rtime(QStringLiteral("rtime=([0-9.]+)s"));
    const QRegularExpressionMatch match = rtime.match(ffmpeg.readAllStandardError());
    return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// drawtext stamping the same line at the band's place and height, on a box darkened like
// our band (black at 30 % over the picture; the box covers the text only, not the width).
// Its cost per frame is the run with the filter less the run without, medians of five.
void CompareWithDrawtext() {
    const QString font =
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty() || !QFile::exists(font)) {
        std::printf("\nffmpeg or %s missing: no drawtext comparison\n",
                    font.toLocal8Bit().constData());
        return;
    }
    tzset();
    std::printf("\nPer frame, 24-bit, band near the top: FrameCallback against ffmpeg drawtext\n");
    std::printf("%-10s %6s %14s %14s %8s\n", "size", "band", "callback us", "drawtext us",
                "ratio");
    for (const FrameSizeRow& size : kSizes) {
        const BandGeometry band = ComputeBandGeometry(
            static_cast<std::uint32_t>(size.width), static_cast<std::uint32_t>(size.height),
            static_cast<std::uint32_t>(size.width * size.height * 3), 2, 1);
        const QString drawtext =
            QStringLiteral("drawtext=fontfile=%1:text='%{localtime\\:%Hh%Mm%Ss%B%d,%Y}%2':"
                           "fontsize=%3:fontcolor=white:x=0:y=%4:box=1:boxcolor=black@0.3")
                .arg(font, QString::fromLocal8Bit(tzname[0]))
                .arg(band.bandRows)
                .arg(band.bandOffset);
        std::vector<double> plain;
        std::vector<double> stamped;
        for (int run = 0; run < 5; ++run) {
            plain.push_back(FfmpegSeconds(size, size.drawtextFrames, {}));
            stamped.push_back(FfmpegSeconds(size, size.drawtextFrames, drawtext));
        }
        if (*std::min_element(plain.begin(), plain.end()) < 0 ||
            *std::min_element(stamped.begin(), stamped.end()) < 0) {
            std::printf("%4dx%-5d ffmpeg failed\n", size.width, size.height);
            continue;
        }
        const double drawtextUs =
            (Median(stamped) - Median(plain)) * 1e6 / size.drawtextFrames;

        // The callback timed the same way: the median of five runs over as many frames.
        captureSettings.capStatus.uiImageWidth = static_cast<UINT>(size.width);
        captureSettings.capStatus.uiImageHeight = static_cast<UINT>(size.height);
        captureSettings.textPlacement = 2;
        captureSettings.flipText = 1;
        std::vector<std::uint8_t> frame(std::size_t(size.width) * size.height * 3, 128);
        VIDEOHDR header{};
        header.lpData = frame.data();
        header.dwBufferLength = static_cast<DWORD>(frame.size());
        header.dwBytesUsed = static_cast<DWORD>(frame.size());
        std::vector<double> callback;
        for (int run = 0; run < 5; ++run) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < size.drawtextFrames; ++i) {
                benchmark::DoNotOptimize(FrameCallback(nullptr, &header));
                benchmark::ClobberMemory();
            }
            const std::chrono::duration<double, std::micro> spent =
                std::chrono::steady_clock::now() - start;
            callback.push_back(spent.count() / size.drawtextFrames);
        }
        const double callbackUs = Median(callback);
        std::printf("%4dx%-5d %6lld %14.1f %14.1f %7.1fx\n", size.width, size.height,
                    static_cast<long long>(band.bandRows), callbackUs, drawtextUs,
                    drawtextUs / callbackUs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Fonts need a GUI application, not a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    // --skip_drawtext leaves out the ffmpeg runs (a few seconds).
    bool drawtext = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--skip_drawtext") == 0) {
            drawtext = false;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (drawtext) {
        CompareWithDrawtext();
    }
    return 0;
}
