// The logging categories of the capture window and its helpers, FFmpeg's own included.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCapture)
// FFmpeg's own messages, warnings and errors only.
Q_DECLARE_LOGGING_CATEGORY(lcFfmpeg)

namespace av {
// Sends FFmpeg's own warnings and errors to lcFfmpeg instead of stderr, each repeated
// message at most once a minute (once per process).
void ForwardFfmpegLog();
}  // namespace av
