// Transform lengths, the in-place complex FFT and the baseline correction of a noise series.
//
// Every transform length is 2^k * m with m in {1, 3, 5, 7}, so FFTW factors it into radices 2, 3,
// 5 and 7 only. Transforms are unnormalised (an inverse after a forward multiplies by N) and run
// with plans cached per thread: each thread builds a plan once per (length, direction) and keeps
// it until the thread ends. Plans are made with FFTW_ESTIMATE only, so every thread makes the same
// plan for the same length and a station's record does not depend on the thread that ran it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "array.hpp"

namespace tolvane::fft {

// The smallest even length 2^k * m (m in 1, 3, 5, 7) not below `at_least`; 0, 1 and 2 give 2.
// Requests above 2^63 have no such length in 64 bits: internal assertion.
std::uint64_t good_length(std::uint64_t at_least);

// In-place discrete Fourier transform, unscaled: X[k] = sum_n x[n] exp(-+2 pi i k n / N) with the
// minus sign for `forward`. `data` must have an even length (internal assertion otherwise); an
// empty span is left as it is.
void transform(std::span<Complex> data, bool forward);
inline void forward(std::span<Complex> data) {
  transform(data, true);
}
inline void inverse(std::span<Complex> data) {
  transform(data, false);
}

// Number of plans in the calling thread's cache (one per length and direction transformed so far).
std::size_t thread_plan_count();

// Adds a straight line c1 + c2 * t to samples 2 onward so that the series, integrated once
// (trapezoids) and twice (exact for piecewise-linear acceleration), ends at rest. `dt` in s;
// at least 2 samples.
void remove_quadratic_trend(float dt, std::span<float> acceleration);

// The straight line remove_quadratic_trend adds to samples 2 onward.
struct TrendLine {
  float c1;  // intercept, in the series' units
  float c2;  // slope, the series' units per s

  // Sample `k` (>= 2, as a float) of the corrected series, from its value before.
  float corrected(float value, float k, float dt) const { return (value + c1) + (k * c2) * dt; }
};

// The lines remove_quadratic_trend would add to three series of one length, each as for the
// series alone; the series are left as they are. The integrations are chains of dependent
// additions; three side by side, in the lanes of one vector, cost about what one costs.
std::array<TrendLine, 3> quadratic_trend_lines(float dt, std::span<const float> first,
                                               std::span<const float> second,
                                               std::span<const float> third);

}  // namespace tolvane::fft
