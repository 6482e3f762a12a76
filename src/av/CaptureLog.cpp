// The logging categories of the capture window and its helpers, FFmpeg's own included.
#include "av/CaptureLog.h"

#include <cstdarg>
#include <mutex>
#include <string>

#include "av/RepeatLimiter.h"

extern "C" {
#include <libavutil/log.h>
}

// Debug lines (one per damaged camera picture, say) only when asked for with
// QT_LOGGING_RULES="brisolt.capwin.debug=true": nothing is logged per frame by default.
Q_LOGGING_CATEGORY(lcCapture, "brisolt.capwin", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFfmpeg, "brisolt.ffmpeg", QtWarningMsg)

namespace av {

namespace {

// FFmpeg logs from its own threads and ours; the limiter locks for itself.
RepeatLimiter& FfmpegRepeats() {
    static RepeatLimiter limiter;
    return limiter;
}

void FfmpegLine(void* ptr, int level, const char* format, va_list args) {
    // Below warning FFmpeg talks per frame and per packet: not worth formatting.
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int prefix = 1;
    if (av_log_format_line2(ptr, level, format, args, line, sizeof line, &prefix) < 0)
        return;
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty())
        return;
    // Some warnings come with every frame (a decoder's advice, a damaged camera picture):
    // one line a minute of each is enough to know it goes on.
    const RepeatLimiter::Verdict verdict =
        FfmpegRepeats().admit(RepeatKey(text.toStdString()), RepeatLimiter::Clock::now());
    if (!verdict.pass)
        return;
    if (verdict.heldBack > 0)
        qCWarning(lcFfmpeg).noquote() << text << "(held back" << verdict.heldBack
                                      << "times since it was last logged)";
    else
        qCWarning(lcFfmpeg).noquote() << text;
}

}  // namespace

void ForwardFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_WARNING);
        av_log_set_callback(&FfmpegLine);
    });
}

}  // namespace av
