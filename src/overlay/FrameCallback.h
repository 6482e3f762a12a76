// The frame callback that stamps local time, date and zone into every frame.
#pragma once

#include "platform/capwin/CapRecords.h"

#include <ctime>

// Blends the time-stamp band into the frame in place, by the placement and flip of the
// settings and the image size of captureSettings.capStatus. Returns 0 with the text off,
// otherwise the bottom of the drawn text in the mask.
LRESULT FrameCallback(HWND window, VIDEOHDR* header);

// FrameCallback for the local time of `now` rather than the current time; for tests and
// benchmarks that run a clock of their own.
LRESULT StampFrame(VIDEOHDR* header, std::time_t now);
