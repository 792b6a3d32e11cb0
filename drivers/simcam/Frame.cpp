#include "Frame.h"

#include "Font.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace simcam {
namespace {

constexpr double kWideFieldOfView = 60.0;  // horizontal degrees at zoom 1
constexpr double kBarWidth = 15.0;         // degrees of azimuth per colour bar
constexpr double kBallPeriodMs = 4000.0;

struct Rgb {
    uint8_t r, g, b;
};

// The classic bars at 75 %: white, yellow, cyan, green, magenta, red, blue, black.
constexpr Rgb kBars[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                          {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};

class Canvas {
public:
    Canvas(int width, int height) : m_width(width), m_height(height), m_pixels(size_t(width) * height * 3) {}

    void Set(int x, int y, Rgb c)
    {
        if (x < 0 || y < 0 || x >= m_width || y >= m_height)
            return;
        uint8_t* p = &m_pixels[(size_t(y) * m_width + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }

    void FillRect(int x0, int y0, int w, int h, Rgb c)
    {
        for (int y = std::max(0, y0); y < std::min(m_height, y0 + h); ++y)
            for (int x = std::max(0, x0); x < std::min(m_width, x0 + w); ++x)
                Set(x, y, c);
    }

    // Text in white on a black box, `scale` pixels per font pixel.
    void Text(int x, int y, const std::string& text, int scale)
    {
        const int advance = (kGlyphWidth + 1) * scale;
        FillRect(x - scale, y - scale, advance * int(text.size()) + scale, (kGlyphHeight + 2) * scale, {0, 0, 0});
        for (size_t i = 0; i < text.size(); ++i) {
            const uint8_t* rows = Glyph(text[i]);
            for (int gy = 0; gy < kGlyphHeight; ++gy)
                for (int gx = 0; gx < kGlyphWidth; ++gx)
                    if (rows[gy] & (0x10 >> gx))
                        FillRect(x + int(i) * advance + gx * scale, y + gy * scale, scale, scale, {255, 255, 255});
        }
    }

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    uint8_t* Row(int y) { return &m_pixels[size_t(y) * m_width * 3]; }
    const uint8_t* Data() const { return m_pixels.data(); }

private:
    int m_width;
    int m_height;
    std::vector<uint8_t> m_pixels;
};

// The world as the PTZ head sees it: colour bars by azimuth, shaded in
// bands of elevation, with a dark horizon.
void DrawScene(Canvas& canvas, const FrameSpec& view)
{
    const int w = canvas.Width();
    const int h = canvas.Height();
    const double hfov = kWideFieldOfView / view.zoom;
    const double vfov = hfov * h / w;

    std::vector<Rgb> columns(w);
    const double degreesPerPixel = hfov / w;
    for (int x = 0; x < w; ++x) {
        const double azimuth = view.pan + ((x + 0.5) / w - 0.5) * hfov;
        const long bar = static_cast<long>(std::floor(azimuth / kBarWidth));
        columns[x] = kBars[((bar % 8) + 8) % 8];
        // A thin mark every 5 degrees, so that small pans are visible.
        const double offMark = std::fabs(azimuth - 5.0 * std::round(azimuth / 5.0));
        if (offMark < degreesPerPixel / 2)
            columns[x] = {40, 40, 40};
    }
    const double horizonHalfWidth = vfov / h;  // about one pixel
    for (int y = 0; y < h; ++y) {
        const double elevation = view.tilt - ((y + 0.5) / h - 0.5) * vfov;
        const bool lightBand = static_cast<long>(std::floor(elevation / 10.0)) % 2 == 0;
        const bool horizon = std::fabs(elevation) < horizonHalfWidth;
        uint8_t* row = canvas.Row(y);
        for (int x = 0; x < w; ++x) {
            Rgb c = columns[x];
            if (horizon)
                c = {0, 0, 0};
            else if (!lightBand)
                c = {uint8_t(c.r * 3 / 4), uint8_t(c.g * 3 / 4), uint8_t(c.b * 3 / 4)};
            row[3 * x] = c.r;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.b;
        }
    }
}

// A ball crossing the picture, so that consecutive frames differ.
void DrawBall(Canvas& canvas, int64_t timeMs)
{
    const int w = canvas.Width();
    const int h = canvas.Height();
    const double phase = std::fmod(static_cast<double>(timeMs), kBallPeriodMs) / kBallPeriodMs;
    const int cx = static_cast<int>(w * (0.5 + 0.4 * std::sin(2 * std::numbers::pi * phase)));
    const int cy = static_cast<int>(h * 0.75);
    const int radius = std::max(4, h / 14);
    for (int y = -radius; y <= radius; ++y)
        for (int x = -radius; x <= radius; ++x)
            if (x * x + y * y <= radius * radius)
                canvas.Set(cx + x, cy + y, {250, 250, 250});
}

void DrawOverlay(Canvas& canvas, const FrameSpec& view)
{
    const int scale = std::max(1, canvas.Height() / 180);
    const int line = (kGlyphHeight + 3) * scale;
    char text[96];
    int y = 2 * scale;
    std::snprintf(text, sizeof text, "CAM %d %s", view.camera, view.playback ? "PLAYBACK" : "LIVE");
    canvas.Text(2 * scale, y, text, scale);
    std::snprintf(text, sizeof text, "FRAME %06llu", static_cast<unsigned long long>(view.frameNo));
    canvas.Text(2 * scale, y += line, text, scale);
    canvas.Text(2 * scale, y += line, FormatUtc(view.timeMs), scale);
    std::snprintf(text, sizeof text, "P%+07.2f T%+06.2f Z%05.2f", view.pan, view.tilt, view.zoom);
    canvas.Text(2 * scale, y += line, text, scale);
    if (!view.status.empty())
        canvas.Text(2 * scale, y += line, view.status, scale);
}

struct Compressor {
    tjhandle handle = tjInitCompress();
    ~Compressor()
    {
        if (handle != nullptr)
            tjDestroy(handle);
    }
};

}  // namespace

std::string FormatUtc(int64_t timeMs)
{
    const time_t seconds = static_cast<time_t>(timeMs >= 0 ? timeMs / 1000 : (timeMs - 999) / 1000);
    const int millis = static_cast<int>(timeMs - static_cast<int64_t>(seconds) * 1000);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

Block RenderJpeg(const FrameSpec& view)
{
    Canvas canvas(view.width, view.height);
    DrawScene(canvas, view);
    DrawBall(canvas, view.timeMs);
    DrawOverlay(canvas, view);

    Compressor compressor;
    if (compressor.handle == nullptr)
        throw std::runtime_error("simcam: no JPEG compressor");
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    if (tjCompress2(compressor.handle, canvas.Data(), view.width, 0, view.height, TJPF_RGB, &jpeg, &jpegSize,
                    TJSAMP_420, view.quality, TJFLAG_FASTDCT) != 0) {
        tjFree(jpeg);
        throw std::runtime_error(std::string("simcam: JPEG encoding failed: ") + tjGetErrorStr2(compressor.handle));
    }
    Block block = Block::Copy(jpeg, jpegSize);
    tjFree(jpeg);
    return block;
}

}  // namespace simcam
