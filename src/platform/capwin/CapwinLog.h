// The logging category of the capture window and its helpers.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCapwin)

namespace capwin {
// Sends FFmpeg's own messages to the category instead of stderr (once per process).
void ForwardFfmpegLog();
}  // namespace capwin
