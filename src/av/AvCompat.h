// The one place that knows how the FFmpeg releases we build with differ, from Debian 12's
// FFmpeg 5.1 up to Debian testing's. Code elsewhere uses these names and no version macros.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avio.h>
#include <libavformat/version.h>
}

namespace av {

// The buffer an AVIO write callback is handed: const from libavformat 61 (FFmpeg 7.0) on.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using AvioWriteBuffer = const std::uint8_t*;
#else
using AvioWriteBuffer = std::uint8_t*;
#endif

}  // namespace av
