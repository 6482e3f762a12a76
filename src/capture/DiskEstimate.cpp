// How long the disk lasts and how many frames a file holds, in the status line's words.
#include "capture/DiskEstimate.h"

#include <algorithm>

namespace disk {

namespace {
// A file's RIFF and list heads, the stream header and the index heads, rounded up.
constexpr std::int64_t kFileHeaderBytes = 8192;
}  // namespace

std::int64_t BytesPerFrame(bool compressed, std::int64_t rawFrameBytes, std::int64_t storedBytes,
                           std::int64_t storedFrames) {
    if (!compressed)
        return std::max<std::int64_t>(0, rawFrameBytes);
    return storedFrames > 0 ? (storedBytes + storedFrames - 1) / storedFrames : 0;
}

std::int64_t FramesInSpan(std::int64_t spanSeconds, std::int64_t intervalSeconds) {
    if (spanSeconds <= 0 || intervalSeconds <= 0)
        return 0;
    return spanSeconds / intervalSeconds + 1;
}

QString RoomWords(std::int64_t bytes) {
    // Two significant digits are all an estimate has; C-locale digits whatever the locale.
    const double value = static_cast<double>(std::max<std::int64_t>(0, bytes));
    struct Unit {
        double size;
        const char* name;
    };
    static constexpr Unit kUnits[] = {{1e12, "TB"}, {1e9, "GB"}, {1e6, "MB"}, {1e3, "kB"}};
    for (const Unit& unit : kUnits) {
        if (value >= unit.size) {
            const double n = value / unit.size;
            return QString::number(n, 'f', n < 10 ? 1 : 0) + QLatin1Char(' ') +
                   QLatin1String(unit.name);
        }
    }
    return QString::number(bytes) + QStringLiteral(" bytes");
}

QString LastsWords(std::int64_t seconds) {
    if (seconds < 120)
        return QStringLiteral("less than 2 min");
    if (seconds < 2 * 3600)
        return QStringLiteral("about %1 min").arg(seconds / 60);
    if (seconds < 2 * 86400)
        return QStringLiteral("about %1 h").arg(seconds / 3600);
    if (seconds < 365LL * 86400)
        return QStringLiteral("about %1 days").arg(seconds / 86400);
    return QStringLiteral("more than a year");
}

QString RunDiskWords(const RunDisk& disk) {
    if (disk.freeBytes < 0)
        return {};
    QString words = QStringLiteral("disk: ");
    if (disk.runNeedsBytes > 0)
        words += QStringLiteral("this run needs about %1; ").arg(RoomWords(disk.runNeedsBytes));
    words += RoomWords(disk.freeBytes) + QStringLiteral(" free");
    if (disk.bytesPerFrame > 0 && disk.intervalSeconds > 0) {
        // Every frame still to come is one interval of recording.
        const std::int64_t frames = disk.freeBytes / disk.bytesPerFrame;
        words += QStringLiteral(", ") + LastsWords(frames * disk.intervalSeconds) +
                 QStringLiteral(" at this rate");
    }
    return words;
}

std::int64_t RunShortfall(std::int64_t framesInRun, std::int64_t framesStored,
                          std::int64_t bytesPerFrame, std::int64_t freeBytes) {
    if (bytesPerFrame <= 0 || freeBytes < 0)
        return 0;
    const std::int64_t toCome = std::max<std::int64_t>(0, framesInRun - framesStored);
    if (toCome <= freeBytes / bytesPerFrame)
        return 0;
    return framesInRun * bytesPerFrame;
}

std::int64_t FramesPerFile(std::int64_t maxFileBytes, std::int64_t bytesPerFrame) {
    if (bytesPerFrame <= 0 || maxFileBytes <= kFileHeaderBytes)
        return 0;
    return (maxFileBytes - kFileHeaderBytes) / bytesPerFrame;
}

QString FileCapacityWords(std::int64_t maxFileBytes, bool compressed, std::int64_t rawFrameBytes,
                          std::int64_t averageStoredBytes) {
    if (rawFrameBytes <= 0)
        return {};
    const auto count = [maxFileBytes](std::int64_t bytes) {
        return QString::number(FramesPerFile(maxFileBytes, bytes));
    };
    if (!compressed)
        return QStringLiteral("At this limit one file holds %1 frames of %2 each.")
            .arg(count(rawFrameBytes), RoomWords(rawFrameBytes));
    if (averageStoredBytes > 0)
        return QStringLiteral(
                   "At this limit one file holds about %1 compressed frames, at "
                   "the %2 a frame has taken on average so far.")
            .arg(count(averageStoredBytes), RoomWords(averageStoredBytes));
    return QStringLiteral(
               "At this limit one file holds at least %1 frames: compressed, a "
               "frame takes less than the %2 of an uncompressed one; how much "
               "less shows once frames are stored.")
        .arg(count(rawFrameBytes), RoomWords(rawFrameBytes));
}

}  // namespace disk
