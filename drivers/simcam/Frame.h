// Renders the test picture of one frame and encodes it as JPEG.
#pragma once

#include "Block.h"

#include <cstdint>
#include <string>

namespace simcam {

struct FrameSpec {
    int width = 1280;
    int height = 720;
    int quality = 80;
    int camera = 1;
    uint64_t frameNo = 0;
    int64_t timeMs = 0;  // UTC, ms since 1970
    double pan = 0;      // degrees
    double tilt = 0;     // degrees
    double zoom = 1;     // factor
    bool playback = false;
    std::string status;  // an extra line, e.g. the I/O states
};

// The JPEG of the frame; throws std::runtime_error when encoding fails.
Block RenderJpeg(const FrameSpec& view);

// "YYYY-MM-DD HH:MM:SS.mmm" in UTC.
std::string FormatUtc(int64_t timeMs);

}  // namespace simcam
