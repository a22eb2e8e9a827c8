// Events that fall due at times on a frame clock.
#pragma once

namespace kov {

// Frame times carry rounding noise, so a frame counts as reaching a due time when it is no more than
// half a millisecond before it.
inline constexpr double kDueSlackSeconds = 0.0005;

// True when the frame at `t` seconds reaches the event due at `due` seconds.
inline bool isDueAt(double due, double t) { return !(due > t + kDueSlackSeconds); }

}  // namespace kov
