// Angle constants in single precision: the f32 values nearest to pi, pi/2, 2 pi and pi/180. Every
// single-precision angle computation uses these exact values.
#pragma once

namespace tolvane {

inline constexpr float kPi = 3.1415927f;
inline constexpr float kHalfPi = 1.5707964f;
inline constexpr float kTwoPi = 6.2831855f;
inline constexpr float kDegToRad = 0.017453292f;

}  // namespace tolvane
