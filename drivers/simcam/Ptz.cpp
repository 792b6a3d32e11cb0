#include "Ptz.h"

#include <algorithm>
#include <cmath>

namespace simcam {

PtzPosition PtzPosition::Clamped() const
{
    return {std::clamp(pan, -180.0, 180.0), std::clamp(tilt, -90.0, 30.0), std::clamp(zoom, 1.0, 20.0),
            std::clamp(focus, 0.0, 1000.0)};
}

PtzPosition PtzHead::At(int64_t nowMs)
{
    Advance(nowMs);
    return m_position;
}

void PtzHead::MoveTo(int64_t nowMs, const PtzPosition& target, double speed)
{
    Advance(nowMs);
    const PtzPosition goal = target.Clamped();
    if (speed <= 0) {
        m_position = goal;
        m_motion = Motion::kNone;
        return;
    }
    // All axes arrive together; zoom and focus count as 10 degrees per unit
    // and per 100 units.
    const double distance =
        std::max({std::fabs(goal.pan - m_position.pan), std::fabs(goal.tilt - m_position.tilt),
                  10 * std::fabs(goal.zoom - m_position.zoom), std::fabs(goal.focus - m_position.focus) / 10});
    m_start = m_position;
    m_target = goal;
    m_startMs = nowMs;
    m_durationMs = distance / speed * 1000.0;
    m_motion = m_durationMs > 0 ? Motion::kTarget : Motion::kNone;
    if (m_motion == Motion::kNone)
        m_position = goal;
}

void PtzHead::MoveContinuously(int64_t nowMs, double panPerS, double tiltPerS, double zoomPerS, double focusPerS)
{
    Advance(nowMs);
    m_velocity[0] = panPerS;
    m_velocity[1] = tiltPerS;
    m_velocity[2] = zoomPerS;
    m_velocity[3] = focusPerS;
    const bool moving = panPerS != 0 || tiltPerS != 0 || zoomPerS != 0 || focusPerS != 0;
    m_motion = moving ? Motion::kVelocity : Motion::kNone;
}

void PtzHead::Stop(int64_t nowMs)
{
    Advance(nowMs);
    m_motion = Motion::kNone;
}

void PtzHead::Advance(int64_t nowMs)
{
    nowMs = std::max(nowMs, m_lastMs);
    const double elapsedS = static_cast<double>(nowMs - m_lastMs) / 1000.0;
    m_lastMs = nowMs;
    switch (m_motion) {
        case Motion::kNone:
            break;
        case Motion::kVelocity:
            m_position =
                PtzPosition{m_position.pan + m_velocity[0] * elapsedS, m_position.tilt + m_velocity[1] * elapsedS,
                            m_position.zoom + m_velocity[2] * elapsedS, m_position.focus + m_velocity[3] * elapsedS}
                    .Clamped();
            break;
        case Motion::kTarget: {
            const double f = std::min(1.0, static_cast<double>(nowMs - m_startMs) / m_durationMs);
            auto lerp = [f](double a, double b) { return a + (b - a) * f; };
            m_position = {lerp(m_start.pan, m_target.pan), lerp(m_start.tilt, m_target.tilt),
                          lerp(m_start.zoom, m_target.zoom), lerp(m_start.focus, m_target.focus)};
            if (f >= 1.0) {
                m_position = m_target;
                m_motion = Motion::kNone;
            }
            break;
        }
    }
}

}  // namespace simcam
