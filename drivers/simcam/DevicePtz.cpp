// Pan, tilt and zoom of the device's cameras.

#include "Device.h"

#include "Text.h"
#include "simcam.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace simcam {
namespace {

constexpr double kWideFieldOfView = 60.0;  // horizontal degrees at zoom 1
constexpr double kStepDegrees = 5.0;       // one MoveCamera2 step at zoom 1
constexpr double kZoomStep = 1.25;

const char* const kSupportedCommands[] = {"Stop",     "Up",        "Down",      "Left",     "Right",    "ZoomIn",
                                          "ZoomOut",  "Home",      "FocusNear", "FocusFar", "UpLeft",   "UpRight",
                                          "DownLeft", "DownRight", "Preset",    "Absolute", "AreaZoom", "CenterClick"};

// Unit motion of a command: pan, tilt, zoom, focus.
struct Direction {
    double pan, tilt, zoom, focus;
};

bool DirectionOf(int command, Direction& d)
{
    switch (command) {
        case SIMCAM_PTZ_UP:
            d = {0, 1, 0, 0};
            return true;
        case SIMCAM_PTZ_DOWN:
            d = {0, -1, 0, 0};
            return true;
        case SIMCAM_PTZ_LEFT:
            d = {-1, 0, 0, 0};
            return true;
        case SIMCAM_PTZ_RIGHT:
            d = {1, 0, 0, 0};
            return true;
        case SIMCAM_PTZ_ZOOM_IN:
            d = {0, 0, 1, 0};
            return true;
        case SIMCAM_PTZ_ZOOM_OUT:
            d = {0, 0, -1, 0};
            return true;
        case SIMCAM_PTZ_FOCUS_NEAR:
            d = {0, 0, 0, -1};
            return true;
        case SIMCAM_PTZ_FOCUS_FAR:
            d = {0, 0, 0, 1};
            return true;
        case SIMCAM_PTZ_UP_LEFT:
            d = {-1, 1, 0, 0};
            return true;
        case SIMCAM_PTZ_UP_RIGHT:
            d = {1, 1, 0, 0};
            return true;
        case SIMCAM_PTZ_DOWN_LEFT:
            d = {-1, -1, 0, 0};
            return true;
        case SIMCAM_PTZ_DOWN_RIGHT:
            d = {1, -1, 0, 0};
            return true;
        default:
            return false;
    }
}

int Hundredths(double v) { return static_cast<int>(std::lround(v * 100.0)); }

}  // namespace

void Device::MoveStep(int camera, int direction)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return;
    const int64_t now = NowMs();
    if (direction == SIMCAM_PTZ_STOP) {
        c->ptz.Stop(now);
        return;
    }
    PtzPosition p = c->ptz.At(now);
    if (direction == SIMCAM_PTZ_HOME) {
        c->ptz.MoveTo(now, PtzPosition{}, 0);
        return;
    }
    Direction d{};
    if (!DirectionOf(direction, d))
        return;
    const double step = kStepDegrees / p.zoom;
    p.pan += d.pan * step;
    p.tilt += d.tilt * step;
    p.zoom = d.zoom > 0 ? p.zoom * kZoomStep : d.zoom < 0 ? p.zoom / kZoomStep : p.zoom;
    p.focus += d.focus * 50;
    c->ptz.MoveTo(now, p, 0);
}

void Device::MoveRelative(int camera, int panHundredths, int tiltHundredths, int zoomHundredths)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return;
    const int64_t now = NowMs();
    PtzPosition p = c->ptz.At(now);
    p.pan += panHundredths / 100.0;
    p.tilt += tiltHundredths / 100.0;
    p.zoom += zoomHundredths / 100.0;
    c->ptz.MoveTo(now, p, 0);
}

void Device::MoveContinuously(const char* password, int camera, int speedX, int speedY, int speedZ)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (!PasswordOkLocked(password) || c == nullptr)
        return;
    auto rate = [](int speed) { return std::clamp(speed, -100, 100); };
    c->ptz.MoveContinuously(NowMs(), rate(speedX) * 0.5, rate(speedY) * 0.5, rate(speedZ) * 0.05, 0);
}

void Device::PtzCommand(const char* password, int camera, int command, int speed)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (!PasswordOkLocked(password) || c == nullptr)
        return;
    const int64_t now = NowMs();
    if (command == SIMCAM_PTZ_STOP) {
        c->ptz.Stop(now);
        return;
    }
    if (command == SIMCAM_PTZ_HOME) {
        c->ptz.MoveTo(now, PtzPosition{}, 0);
        return;
    }
    Direction d{};
    if (!DirectionOf(command, d))
        return;
    const double s = speed <= 0 ? 50 : std::min(speed, 100);
    c->ptz.MoveContinuously(now, d.pan * s * 0.5, d.tilt * s * 0.5, d.zoom * s * 0.05, d.focus * s * 5);
}

int Device::PtzCommandSupported(const char* password, int camera, int command)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    if (CameraAt(camera) == nullptr)
        return SIMCAM_E_CAMERA;
    return command >= SIMCAM_PTZ_STOP && command <= SIMCAM_PTZ_DOWN_RIGHT ? 1 : 0;
}

int Device::QueryPtzMove(const char* password, int camera)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    return CameraAt(camera) != nullptr ? 1 : SIMCAM_E_CAMERA;
}

int Device::GetPosition(int camera, int* pan, int* tilt, int* zoom)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    const PtzPosition p = c->ptz.At(NowMs());
    if (pan != nullptr)
        *pan = Hundredths(p.pan);
    if (tilt != nullptr)
        *tilt = Hundredths(p.tilt);
    if (zoom != nullptr)
        *zoom = Hundredths(p.zoom);
    return SIMCAM_OK;
}

int Device::GetAbsolute(const char* password, int camera, int* pan, int* tilt, int* zoom, int* focus)
{
    double p = 0, t = 0, z = 0, f = 0;
    const int result = GetAbsoluteDoubles(password, camera, &p, &t, &z, &f);
    if (result != SIMCAM_OK)
        return result;
    if (pan != nullptr)
        *pan = Hundredths(p);
    if (tilt != nullptr)
        *tilt = Hundredths(t);
    if (zoom != nullptr)
        *zoom = Hundredths(z);
    if (focus != nullptr)
        *focus = static_cast<int>(std::lround(f));
    return SIMCAM_OK;
}

int Device::GetAbsoluteDoubles(const char* password, int camera, double* pan, double* tilt, double* zoom, double* focus)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    const PtzPosition p = c->ptz.At(NowMs());
    if (pan != nullptr)
        *pan = p.pan;
    if (tilt != nullptr)
        *tilt = p.tilt;
    if (zoom != nullptr)
        *zoom = p.zoom;
    if (focus != nullptr)
        *focus = p.focus;
    return SIMCAM_OK;
}

void Device::SetAbsolute(const char* password, int camera, const PtzPosition& target, double speed)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (!PasswordOkLocked(password) || c == nullptr)
        return;
    c->ptz.MoveTo(NowMs(), target, speed);
}

void Device::AreaZoom(const char* password, int camera, int x, int y, int width, int height, int speed)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (!PasswordOkLocked(password) || c == nullptr)
        return;
    const int64_t now = NowMs();
    PtzPosition p = c->ptz.At(now);
    const double w = m_config.width;
    const double h = m_config.height;
    const double hfov = kWideFieldOfView / p.zoom;
    const double vfov = hfov * h / w;
    const double cx = x + std::max(width, 0) / 2.0;
    const double cy = y + std::max(height, 0) / 2.0;
    p.pan += (cx / w - 0.5) * hfov;
    p.tilt -= (cy / h - 0.5) * vfov;
    if (width > 0 && height > 0)
        p.zoom *= std::min(w / width, h / height);
    c->ptz.MoveTo(now, p, std::clamp(speed, 0, 100));
}

int Device::QueryPresets(int camera, int maxCount, char** names)
{
    std::lock_guard lock(m_mutex);
    const Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    if (maxCount <= 0 || names == nullptr)
        return 0;
    const int n = std::min(maxCount, static_cast<int>(c->presets.size()));
    for (int i = 0; i < n; ++i)
        CopyToCallerBuffer(names[i], c->presets[static_cast<size_t>(i)].first);
    return n;
}

int Device::MoveToPreset(int camera, const char* name)
{
    std::lock_guard lock(m_mutex);
    Camera* c = CameraAt(camera);
    if (c == nullptr)
        return SIMCAM_E_CAMERA;
    if (name == nullptr)
        return SIMCAM_E_ARGUMENT;
    for (const auto& [presetName, position] : c->presets) {
        if (presetName == name) {
            c->ptz.MoveTo(NowMs(), position, 0);
            return SIMCAM_OK;
        }
    }
    return SIMCAM_E_NOT_FOUND;
}

int Device::QueryPtzSupported(const char* password, char** names)
{
    std::lock_guard lock(m_mutex);
    if (!PasswordOkLocked(password))
        return SIMCAM_E_PASSWORD;
    const int n = static_cast<int>(std::size(kSupportedCommands));
    if (names != nullptr)
        for (int i = 0; i < n; ++i)
            CopyToCallerBuffer(names[i], kSupportedCommands[i]);
    return n;
}

}  // namespace simcam
