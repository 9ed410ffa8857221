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

#include <array>
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
  float dt;                             // s
  float window_b;                       // exponent b of the window
  std::vector<float> frequency_hz;      // F entries: k / (N dt)
  std::vector<float> log_frequency_hz;  // F entries; bin 0 holds -inf
  std::vector<float> path_exponent;     // F entries: frequency_hz^(1 - q_exponent)
  std::vector<float> envelope_power;    // N entries: (i dt)^b, the same for every N of one dt and b
  std::vector<float> taper;             // N/10 entries: the raised cosine of radiate_and_invert
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

  // Whether the target amplitude depends on a path's fmax_hz: only with the high-cut.
  bool uses_fmax() const { return kappa_s <= 0.0f; }
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

 private:
  // The window depends on the plan only through its dt and exponent (the envelope powers of all
  // lengths agree where they overlap), so the envelope of the last refresh is kept and only
  // extended while these stay the same: a subfault's rays share one window.
  // Bits of the plan's dt and exponent and of the model's dt, eps, eta and the window duration.
  using WindowKey = std::array<std::uint32_t, 6>;
  void refresh_envelope(const SpectrumPlan& plan, const SourceModel& model, float window_s);

  WindowKey window_key_{};
  std::size_t envelope_ready_ = 0;  // entries of `envelope` that hold the window of window_key_
  double next_decay_ = 1.0;         // exp(-c t) of entry envelope_ready_, as accumulated
};

// The target amplitude of refresh into amplitude[1, F) (F entries at least); entry 0 is not
// written.
void target_amplitude(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path,
                      std::span<double> amplitude);

// Fills `spectrum` (exactly plan.np2 entries) with one realisation of the target spectrum of the
// last refresh, drawing np2 normals from `rng`. The result is Hermitian; bin 0 is 0.
void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<Complex> spectrum);

// The noise spectra of the three components of a (subfault, ray) pair, the first half of
// stochastic_spectrum for each: row c of `spectra` (its first N entries) as stochastic_spectrum
// has it just before scaling, with the normals drawn in the same order (all of row 0 first, then
// row 1, then row 2) and the window of the last refresh of `shape`. Returns per row the factor of
// that scaling, 1 / (dt sqrt(fsa / F)). The trend corrections and the sums fsa of the three rows
// run side by side. `noise` has 3 rows of at least N entries.
std::array<float, 3> noise_spectra(rng::DrawSource& rng, const SpectrumPlan& plan,
                                   const SpectrumShape& shape, Array2<float>& noise,
                                   Array2<Complex>& spectra);

// The rest of one component's chain in one pass over the bins, with the same operations in the
// same order and so the same bits as, in turn: the scaling of stochastic_spectrum by the target
// `amplitude` and `amp` (from noise_spectra), apply_site_amplification with `site_gain`, and
// radiate_and_invert with `radiation` and `taper`. `amplitude`, `site_gain` and `radiation` have
// F entries, `taper` N/10.
void shape_and_invert(std::span<Complex> spectrum, std::span<const double> amplitude, float amp,
                      std::span<const float> site_gain, std::span<const float> radiation,
                      std::span<const float> taper, std::span<float> time_series);

// Applies the gains `radiation` (F entries, at least 2) to the non-negative bins of `spectrum`
// (N >= 2F - 2 entries) and to their negative twins, transforms back and writes the real part,
// scaled by 1/(N * 0.4473) and tapered over the last N/10 samples, into `time_series` (N entries).
void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<float> time_series);
// The same with the taper factors given (a plan's `taper`, N/10 entries).
void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<const float> taper, std::span<float> time_series);

// The raised-cosine taper of a transform of length n: (cos((i + 1) pi / L) + 1) / 2 for
// i = 0 ... L - 1, L = n / 10.
std::vector<float> taper_factors(std::uint64_t n);

}  // namespace tolvane::stoc
