// Bitmap snapshots of the current frame, encoded by libavcodec's BMP encoder.
#pragma once

#include <string>

#include "picture/CaptureFormat.h"

namespace avi {

// Writes the image as a 24-bit BMP into a newly created file (never replacing anything) and
// syncs it; false (logged) on any failure.
bool SaveDibSnapshot(const std::string& path, const picture::CapturedImage& image);

}  // namespace avi
