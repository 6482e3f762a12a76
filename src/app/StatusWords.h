// The status line's words for counts, durations, sizes and the reasons of failures.
#pragma once

#include <QString>

#include <cstdint>

#include "platform/capwin/CaptureFailure.h"
#include "platform/power/PowerServices.h"

// "1 frame", "3 files".
QString Count(std::int64_t n, const char* thing);
// "45 s", "12 min", "3 h 20 min".
QString DurationWords(std::int64_t seconds);
// Reasons and sizes in words, as the status line writes them.
QString CaptureFailureWords(const CaptureProblem& problem);
QString PowerProblemWords(PowerStep step, const PowerProblem& problem);
QString ByteCountWords(qint64 bytes);
