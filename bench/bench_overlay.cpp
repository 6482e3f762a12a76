// Cost of stamping one frame: the whole callback, also as a preview at 30 frames a second
// whose text changes once a second, and its text and blend steps apart; then, for
// comparison, what ffmpeg's drawtext filter takes to stamp frames of the same sizes.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMask.h"
#include "platform/text/TextMaskCache.h"

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
#include <time.h>
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

// A grey 24-bit frame of the size, with the settings the callback reads set for it.
struct Frame {
    std::vector<std::uint8_t> bytes;
    VIDEOHDR header{};

    Frame(int width, int height) : bytes(std::size_t(width) * height * 3, 128) {
        captureSettings.capStatus.uiImageWidth = static_cast<UINT>(width);
        captureSettings.capStatus.uiImageHeight = static_cast<UINT>(height);
        captureSettings.textPlacement = 2;
        captureSettings.flipText = 1;
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<DWORD>(bytes.size());
        header.dwBytesUsed = static_cast<DWORD>(bytes.size());
    }
};

// The clock of a preview at 30 frames a second: a new second every 30th frame. It runs on
// from run to run, so that the text keeps changing as it would in a long preview.
struct PreviewClock {
    std::time_t now = std::time(nullptr);
    int frame = 0;
    std::time_t Next() {
        if (++frame == 30) {
            frame = 0;
            ++now;
        }
        return now;
    }
};
PreviewClock previewClock;

void SetBandBytes(benchmark::State& state, int width, int height) {
    // Bytes per second counts the band's bytes, the ones the callback blends.
    const BandGeometry band = ComputeBandGeometry(static_cast<std::uint32_t>(width),
                                                  static_cast<std::uint32_t>(height),
                                                  static_cast<std::uint32_t>(width * height * 3),
                                                  2, 1);
    state.SetBytesProcessed(state.iterations() * band.rowBytes * band.bandRows);
    state.counters["band_rows"] = static_cast<double>(band.bandRows);
}

void BM_FrameCallback(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    Frame frame(width, height);
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameCallback(nullptr, &frame.header));
        benchmark::ClobberMemory();
    }
    SetBandBytes(state, width, height);
}
BENCHMARK(BM_FrameCallback)->Apply(FrameSize);

// The callback as a preview at 30 frames a second sees it: the text changes every 30th
// frame, so one frame in 30 composes a new line from the glyph cells.
void BM_FrameCallback30fps(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    Frame frame(width, height);
    for (auto _ : state) {
        benchmark::DoNotOptimize(StampFrame(&frame.header, previewClock.Next()));
        benchmark::ClobberMemory();
    }
    SetBandBytes(state, width, height);
}
BENCHMARK(BM_FrameCallback30fps)->Apply(FrameSize);

// The same line at every call: the mask kept from the first, copied into the buffer.
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

// The line drawn whole for every call, as the mask was made before the glyph cells.
void BM_RenderTextMaskDirect(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int rows = std::max(static_cast<int>(state.range(1)) / 20, 12);
    std::vector<std::uint8_t> mask(std::size_t(width) * rows);
    const std::string text = TimeStampText(std::time(nullptr));
    for (auto _ : state) {
        benchmark::DoNotOptimize(RenderTextMaskDirect(text, width, rows, mask.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RenderTextMaskDirect)->Apply(FrameSize);

// A new line composed from cells already made: what the frame that starts a second adds.
void BM_ComposeTextMask(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int rows = std::max(static_cast<int>(state.range(1)) / 20, 12);
    const std::time_t start = std::time(nullptr);
    std::vector<std::string> texts;
    for (int second = 0; second < 60; ++second) {
        texts.push_back(TimeStampText(start + second));
    }
    TextMaskCache cache;
    for (const std::string& text : texts) {
        cache.Render(text, width, rows);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Render(texts[next], width, rows).bits);
        next = (next + 1) % texts.size();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ComposeTextMask)->Apply(FrameSize);

// The first line at a band height, every cell rendered: the frame after a change of the
// image size. The band alternates between its height and one row more.
void BM_ComposeTextMaskColdCells(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int rows = std::max(static_cast<int>(state.range(1)) / 20, 12);
    const std::string text = TimeStampText(std::time(nullptr));
    TextMaskCache cache;
    int extra = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Render(text, width, rows + extra).bits);
        extra ^= 1;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ComposeTextMaskColdCells)->Apply(FrameSize);

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

// Wall-clock and CPU time of this thread, in microseconds.
struct Spent {
    double wall = 0;
    double cpu = 0;
};

double ThreadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Time per call of `step` over `frames` calls.
template <typename Step>
Spent TimePerFrame(int frames, Step&& step) {
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuMicroseconds();
    for (int i = 0; i < frames; ++i) {
        step();
        benchmark::ClobberMemory();
    }
    const std::chrono::duration<double, std::micro> wall =
        std::chrono::steady_clock::now() - wallStart;
    return {wall.count() / frames, (ThreadCpuMicroseconds() - cpuStart) / frames};
}

// drawtext stamping the same line at the band's place and height, on a box darkened like
// our band (black at 30 % over the picture; the box covers the text only, not the width).
// Its cost per frame is the run with the filter less the run without, medians of five;
// negative when ffmpeg or the font is missing or a run failed.
double DrawtextMicroseconds(const FrameSizeRow& size, const BandGeometry& band) {
    const QString font =
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty() || !QFile::exists(font)) {
        return -1.0;
    }
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
        return -1.0;
    }
    return (Median(stamped) - Median(plain)) * 1e6 / size.drawtextFrames;
}

// The goals of the stamp's cost in one table: the callback, as such and as a 30 frames a
// second preview, against its blend step alone (CPU time of this thread, which the other
// load of the machine does not inflate) and against ffmpeg drawtext (wall clock, as ffmpeg
// reports it). Blend and callbacks run in turns, five times each, over as many frames as
// one drawtext run.
void PrintGoals(bool withDrawtext) {
    tzset();
    std::printf("\nPer frame, 24-bit, band near the top: medians of 5 runs, wall clock us "
                "(CPU us of this thread)\n");
    std::printf("%-9s %4s %17s %17s %17s %8s %8s %11s %8s %8s  %s\n", "size", "band",
                "blend", "callback", "callback 30fps", "cb/bl", "30/bl", "drawtext", "dt/cb",
                "dt/30", "goals");
    for (const FrameSizeRow& size : kSizes) {
        Frame frame(size.width, size.height);
        const auto width = static_cast<std::uint32_t>(size.width);
        const auto height = static_cast<std::uint32_t>(size.height);
        const BandGeometry band =
            ComputeBandGeometry(width, height, frame.header.dwBytesUsed, 2, 1);
        std::vector<std::uint8_t> mask(std::size_t{width} * band.bandRows);
        RenderTextMask(TimeStampText(std::time(nullptr)), size.width,
                       static_cast<int>(band.bandRows), mask.data());
        // The callback's own blend step: the same rows of the same frame.
        const auto blend = [&] {
            for (std::int64_t y = 0; y < band.bandRows; ++y) {
                BlendBandRow(frame.bytes.data() + BandFrameRow(band, y) * band.rowBytes,
                             mask.data() + y * width, width, width, 3);
            }
        };
        const auto callback = [&] {
            benchmark::DoNotOptimize(FrameCallback(nullptr, &frame.header));
        };
        const auto preview = [&] {
            benchmark::DoNotOptimize(StampFrame(&frame.header, previewClock.Next()));
        };
        // Warm up: cells of this band height, pages of the frame.
        TimePerFrame(60, preview);
        std::vector<double> blendWall, blendCpu, callbackWall, callbackCpu, previewWall,
            previewCpu;
        for (int run = 0; run < 5; ++run) {
            const Spent b = TimePerFrame(size.drawtextFrames, blend);
            const Spent c = TimePerFrame(size.drawtextFrames, callback);
            const Spent p = TimePerFrame(size.drawtextFrames, preview);
            blendWall.push_back(b.wall);
            blendCpu.push_back(b.cpu);
            callbackWall.push_back(c.wall);
            callbackCpu.push_back(c.cpu);
            previewWall.push_back(p.wall);
            previewCpu.push_back(p.cpu);
        }
        const double bw = Median(blendWall), bc = Median(blendCpu);
        const double cw = Median(callbackWall), cc = Median(callbackCpu);
        const double pw = Median(previewWall), pc = Median(previewCpu);
        const double drawtext = withDrawtext ? DrawtextMicroseconds(size, band) : -1.0;

        // Within 1.3x of the blend, and 10x faster than drawtext (5x at 320x240).
        const double needed = size.width <= 320 ? 5.0 : 10.0;
        const bool blendGoal = cc <= 1.3 * bc && pc <= 1.3 * bc;
        std::string goals = blendGoal ? "blend ok" : "blend MISSED";
        if (drawtext > 0) {
            goals += drawtext >= needed * std::max(cw, pw) ? ", drawtext ok" : ", drawtext MISSED";
        }
        char sizeText[16];
        std::snprintf(sizeText, sizeof sizeText, "%dx%d", size.width, size.height);
        std::printf("%-9s %4lld %8.1f (%6.1f) %8.1f (%6.1f) %8.1f (%6.1f) %7.2fx %7.2fx ",
                    sizeText, static_cast<long long>(band.bandRows), bw, bc, cw, cc, pw, pc,
                    cc / bc, pc / bc);
        if (drawtext > 0) {
            std::printf("%11.1f %7.1fx %7.1fx  %s\n", drawtext, drawtext / cw, drawtext / pw,
                        goals.c_str());
        } else {
            std::printf("%11s %8s %8s  %s\n", "-", "-", "-", goals.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Fonts need a GUI application, not a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    // --skip_drawtext leaves out the ffmpeg runs (a few seconds), --skip_goals the whole
    // table of goals.
    bool drawtext = true;
    bool goals = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--skip_drawtext") == 0) {
            drawtext = false;
        } else if (std::strcmp(argv[i], "--skip_goals") == 0) {
            goals = false;
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
    if (goals) {
        PrintGoals(drawtext);
    }
    return 0;
}
