// Reads back what the recorder wrote, with the ffprobe of the machine.
#pragma once

#include <QProcess>
#include <QString>

// The number of video frames ffprobe decodes from the file, or -1 when it cannot read it.
inline int DecodedFrames(const QString& path) {
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                              "-show_entries", "stream=nb_read_frames", "-of",
                              "default=nokey=1:noprint_wrappers=1", path});
    if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
        return -1;
    bool ok = false;
    const int frames = QString::fromLatin1(ffprobe.readAllStandardOutput()).trimmed().toInt(&ok);
    return ok ? frames : -1;
}
