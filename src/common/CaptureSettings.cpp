// The one settings record of the process.
#include "common/CaptureSettings.h"

CaptureSettings captureSettings;
