// Frame counts of an AVI file as three independent readers see them: ffprobe (decoding),
// mediainfo (its header and index parsing) and GStreamer's avidemux (buffers it pushes).
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace avireaders {

// Output of a reader run, or an empty string when it did not run to its end.
inline QString Run(const QString& program, const QStringList& args, int timeoutMs = 120000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit)
        return {};
    return QString::fromLocal8Bit(p.readAll());
}

// Frames ffprobe decodes, -1 when it cannot read the file.
inline int Ffprobe(const QString& path) {
    bool ok = false;
    const int n = Run("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                  "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                                  path})
                      .trimmed()
                      .toInt(&ok);
    return ok ? n : -1;
}

// The frame count mediainfo states, -1 when it states none.
inline int Mediainfo(const QString& path) {
    bool ok = false;
    const int n = Run("mediainfo", {"--Inform=Video;%FrameCount%", path}).trimmed().toInt(&ok);
    return ok ? n : -1;
}

// Buffers GStreamer's AVI demuxer hands to its sink, -1 when the pipeline fails.
inline int Gstreamer(const QString& path) {
    const QString out = Run("gst-launch-1.0", {"-v", "filesrc", "location=" + path, "!",
                                               "avidemux", "!", "fakesink", "silent=false"});
    if (!out.contains("Execution ended") && !out.contains("EOS"))
        return -1;
    return static_cast<int>(out.count("chain   ******* (fakesink0:sink)"));
}

}  // namespace avireaders
