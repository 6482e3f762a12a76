// The logging category of the capture window and its helpers.
#include "platform/capwin/CapwinLog.h"

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

Q_LOGGING_CATEGORY(lcCapwin, "brisolt.capwin")

namespace capwin {

namespace {

void FfmpegLine(void* ptr, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(ptr, level, format, args, line, sizeof line, &prefix);
    QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty())
        return;
    // FFmpeg's warnings are mostly advice for command-line users; only its errors count.
    if (level <= AV_LOG_ERROR)
        qCWarning(lcCapwin).noquote() << "ffmpeg:" << text;
    else
        qCDebug(lcCapwin).noquote() << "ffmpeg:" << text;
}

}  // namespace

void ForwardFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&FfmpegLine); });
}

}  // namespace capwin
