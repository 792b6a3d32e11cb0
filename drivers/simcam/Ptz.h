// The pan-tilt-zoom head of one camera: a position that moves at once, at
// a given speed towards a target, or continuously at given velocities.
#pragma once

#include <cstdint>

namespace simcam {

struct PtzPosition {
    double pan = 0;      // degrees, -180..180
    double tilt = 0;     // degrees, -90..30
    double zoom = 1;     // factor, 1..20
    double focus = 500;  // 0..1000

    PtzPosition Clamped() const;
};

class PtzHead {
public:
    // The position at time nowMs (the clock of the device; it never runs
    // backwards).
    PtzPosition At(int64_t nowMs);

    // Towards target at `speed` degrees per second; at once when speed <= 0.
    void MoveTo(int64_t nowMs, const PtzPosition& target, double speed);
    // Continuous motion in degrees (pan, tilt), factor (zoom) and focus
    // units per second; all zero stops.
    void MoveContinuously(int64_t nowMs, double panPerS, double tiltPerS, double zoomPerS, double focusPerS);
    void Stop(int64_t nowMs);

private:
    void Advance(int64_t nowMs);

    enum class Motion { kNone, kTarget, kVelocity };
    PtzPosition m_position;
    Motion m_motion = Motion::kNone;
    PtzPosition m_start;
    PtzPosition m_target;
    int64_t m_startMs = 0;
    double m_durationMs = 0;
    double m_velocity[4] = {0, 0, 0, 0};
    int64_t m_lastMs = 0;
};

}  // namespace simcam
