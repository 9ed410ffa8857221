// The stochastic spectrum of one subfault seen along one ray, and the per-length plans behind it.
//
// Gaussian noise is shaped in time by a window t^b exp(-c t) as long as the subfault's duration,
// transformed, normalised to unit mean-square amplitude over the non-negative frequencies and
// multiplied by the target amplitude: an omega-squared subevent, the subevent scaling of the
// finite-fault sum, 1/R spreading, anelastic attenuation exp(-pi qbar f^(1-eta)) and near-surface
// kappa (or a first-order fmax high-cut). After the site and radiation gains it is transformed
// back, scaled and tapered at its end.
//
// Notation: N = np2, the transform length; F = fold_count = N/2 + 1, the bins from zero frequency
// to Nyquist; eps and eta_w the window's peak fraction and end level; b, c its exponent and decay.
// Signals and spectra are f32, the target amplitude f64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "array.hpp"
#include "rng/source.hpp"

namespace tolvane::stoc {

// Exponent b of the window t^b exp(-c t) that peaks at eps * T and has fallen to eta_w of its peak
// at T; about 1.25 for eps = 0.2, eta_w = 0.05.
float window_exponent(float window_eps, float window_eta);

// Everything about a transform length that does not depend on the subfault. Immutable once built.
struct SpectrumPlan {
  // `dt` in s; `q_exponent` the eta of Q(f) = Q0 f^eta. Internal assertion unless np2 is even and
  // at least 2.
  SpectrumPlan(std::uint64_t np2, float dt, float q_exponent, float window_eps, float window_eta);

  // Transform length for a window of `window_s` seconds: at least twice the window.
  static std::uint64_t length_for(float window_s, float dt);
  // The same, but never longer than twice what is left of a record of `ndata` samples from
  // `start_sample` (1-based; values below 1 count as 1).
  static std::uint64_t length_for_arrival(float window_s, float dt, std::int32_t start_sample,
                                          std::uint64_t ndata);

  std::uint64_t np2;
  std::uint64_t fold_count;
  std::vector<float> frequency_hz;      // F entries: k / (N dt)
  std::vector<float> log_frequency_hz;  // F entries; bin 0 holds -inf
  std::vector<float> path_exponent;     // F entries: frequency_hz^(1 - q_exponent)
  std::vector<float> envelope_power;    // N entries: (i dt)^b
};

// The plans of one station run, built on first request and kept until the run ends.
class PlanCache {
 public:
  PlanCache(float dt, float q_exponent, float window_eps, float window_eta);

  // The plan for `np2`, built on the first request. The reference stays valid for the cache's life.
  const SpectrumPlan& for_length(std::uint64_t np2);
  // Number of distinct lengths planned so far (the census's transform_lengths).
  std::size_t plan_count() const { return plans_.size(); }

 private:
  float dt_;  // s
  float q_exponent_;
  float window_eps_;
  float window_eta_;
  std::unordered_map<std::uint64_t, SpectrumPlan> plans_;
};

// What one segment pass fixes for every subfault.
struct SourceModel {
  float dt;          // sample interval, s
  float window_eps;  // peak of the time window as a fraction of its duration
  float window_eta;  // window level at the end of its duration, relative to the peak
  float kappa_s;     // near-surface kappa, s; 0 or less selects the fmax high-cut instead
};

// The spectral view of one subfault, ray and component.
struct RayPath {
  float distance_km;          // distance of the 1/R geometric spreading
  float window_s;             // duration T of the time window
  float shear_velocity_km_s;  // shear velocity at the source
  float density_g_cm3;        // density at the source
  float corner_frequency_hz;  // subfault corner frequency fc
  float subevent_moment;      // moment of one subevent, dyn cm
  float moment_scale;         // C: low frequencies are raised by C relative to one subevent
  float fmax_hz;              // high-cut frequency, used only when kappa_s <= 0
  float qbar;                 // s; attenuation exp(-pi qbar f^(1 - q_exponent))
};

// Work buffers of one segment pass, sized once for its longest transform.
struct SpectrumShape {
  // Three zero-filled buffers of n entries; dt = 0.
  static SpectrumShape with_capacity(std::uint64_t n);

  // Recomputes envelope[0, N) and amplitude[1, F) for `plan` and sets dt. Internal assertion if
  // the plan is longer than the buffers.
  void refresh(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path);

  std::vector<float> envelope;    // the unit-energy time window of the current plan
  std::vector<double> amplitude;  // target amplitude spectrum; entry 0 stays 0
  std::vector<float> deviates;    // scratch for the noise series
  float dt = 0.0f;                // s, of the last refresh
};

// Fills `spectrum` (exactly plan.np2 entries) with one realisation of the target spectrum of the
// last refresh, drawing np2 normals from `rng`. The result is Hermitian; bin 0 is 0.
void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<Complex> spectrum);

// Applies the gains `radiation` (F entries, at least 2) to the non-negative bins of `spectrum`
// (N >= 2F - 2 entries) and to their negative twins, transforms back and writes the real part,
// scaled by 1/(N * 0.4473) and tapered over the last N/10 samples, into `time_series` (N entries).
void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<float> time_series);

}  // namespace tolvane::stoc
