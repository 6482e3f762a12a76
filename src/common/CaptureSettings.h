// The process-wide settings record shared by the main window, the setup panel, the frame
// clock, the overlay and the power scheduling.
#pragma once

#include <QPointer>

#include "platform/capwin/CapRecords.h"

class CWnd;

struct CaptureSettings {
    std::int32_t previewRateMs = 1000;       // 33 .. 3000
    std::int32_t standbySeconds = 15;        // 15 .. 600
    std::uint32_t maxFileBytes = 2000000000; // whole millions, 1000000 .. 2147000000
    std::uint32_t lastFrameBytes = 0;        // byte count of the last stamped frame
    CAPSTATUS capStatus{};
    std::int32_t flipText = 1;               // 0 or 1
    std::int32_t textPlacement = 2;          // 0 none, 1 lower band, 2 upper band
    QPointer<CWnd> mainWindow;               // target of TIMER_PREVIEW_RATE
};

// The one instance. Everything touching it runs on the UI thread.
extern CaptureSettings captureSettings;
