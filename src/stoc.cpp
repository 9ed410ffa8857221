// Spectrum plans, the target amplitude, the windowed-noise spectrum and its inversion.
#include "stoc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "error.hpp"
#include "fft.hpp"

namespace tolvane::stoc {

namespace {

constexpr float kPi = 3.1415927f;      // pi in single precision
constexpr float kTwoPi = 6.2831855f;   // 2 pi in single precision
constexpr float kFourPi = 12.566371f;  // 4 pi in single precision
constexpr float kCmPerKm = 100000.0f;
// Average radiation pattern 0.63 x free-surface amplification 2 x partition onto a component 0.71.
constexpr float kRadiationAndPartition = 0.8946f;
constexpr float kInverseScaleFactor = 0.4473f;  // divides every inverse transform with N

// Truncation toward zero into a count, with saturation: negative and NaN give 0.
std::uint64_t saturating_count(float request) {
  constexpr float two_to_64 = 18446744073709551616.0f;
  if (!(request > 0.0f)) return 0;
  if (request >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(request);
}

}  // namespace

float window_exponent(float window_eps, float window_eta) {
  return ((-window_eps) * std::log(window_eta)) /
         ((std::log(window_eps) + (-1.0f)) * window_eps + 1.0f);
}

SpectrumPlan::SpectrumPlan(std::uint64_t np2, float dt, float q_exponent, float window_eps,
                           float window_eta)
    : np2(np2), fold_count(np2 / 2 + 1) {
  ensure(np2 >= 2 && np2 % 2 == 0, "a spectrum plan needs an even length of at least 2, got {}",
         np2);
  const float df = 1.0f / (static_cast<float>(np2) * dt);
  const float power = 1.0f - q_exponent;
  frequency_hz.resize(fold_count);
  log_frequency_hz.resize(fold_count);
  path_exponent.resize(fold_count);
  for (std::uint64_t k = 0; k < fold_count; ++k) {
    const float f = static_cast<float>(k) * df;
    frequency_hz[k] = f;
    log_frequency_hz[k] = std::log(f);
    path_exponent[k] = std::pow(f, power);
  }
  const float b = window_exponent(window_eps, window_eta);
  envelope_power.resize(np2);
  for (std::uint64_t i = 0; i < np2; ++i) {
    envelope_power[i] = std::pow(static_cast<float>(i) * dt, b);
  }
}

std::uint64_t SpectrumPlan::length_for(float window_s, float dt) {
  return fft::good_length(saturating_count((window_s + window_s) / dt));
}

std::uint64_t SpectrumPlan::length_for_arrival(float window_s, float dt, std::int32_t start_sample,
                                               std::uint64_t ndata) {
  const std::int64_t first = start_sample >= 2 ? start_sample : 1;
  ensure(ndata <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
         "a record of {} samples overflows a signed 64-bit sample count", ndata);
  std::int64_t remaining = static_cast<std::int64_t>(ndata) - first + 1;
  remaining = std::max<std::int64_t>(remaining, 1);
  // remaining <= 2^63 - 1, so twice it fits an unsigned 64-bit count.
  const std::uint64_t rest_of_record = 2 * static_cast<std::uint64_t>(remaining);
  return std::min(length_for(window_s, dt), fft::good_length(rest_of_record));
}

PlanCache::PlanCache(float dt, float q_exponent, float window_eps, float window_eta)
    : dt_(dt), q_exponent_(q_exponent), window_eps_(window_eps), window_eta_(window_eta) {}

const SpectrumPlan& PlanCache::for_length(std::uint64_t np2) {
  auto found = plans_.find(np2);
  if (found == plans_.end()) {
    found = plans_.try_emplace(np2, np2, dt_, q_exponent_, window_eps_, window_eta_).first;
  }
  return found->second;
}

SpectrumShape SpectrumShape::with_capacity(std::uint64_t n) {
  SpectrumShape shape;
  shape.envelope.assign(n, 0.0f);
  shape.amplitude.assign(n, 0.0);
  shape.deviates.assign(n, 0.0f);
  return shape;
}

void SpectrumShape::refresh(const SpectrumPlan& plan, const SourceModel& model,
                            const RayPath& path) {
  const std::size_t n = plan.np2;
  const std::size_t folds = plan.fold_count;
  ensure(n <= envelope.size() && folds <= amplitude.size(),
         "a plan of length {} does not fit a spectrum shape of capacity {}", n, envelope.size());

  // Unit-energy time window: envelope[i] = norm * t_i^b * exp(-c t_i), t_i = i dt, peaking at
  // eps T; the exponential is accumulated by repeated f64 multiplication.
  const float eps = model.window_eps;
  const float b = window_exponent(eps, model.window_eta);
  const float c = (b / eps) / path.window_s;
  const float fc2 = path.corner_frequency_hz * path.corner_frequency_hz;
  const float distance_cm = path.distance_km * kCmPerKm;
  const float e = (b + b) + 1.0f;
  const double gsa = e;
  const double gm = std::tgamma(gsa);
  const float aa = std::pow(c + c, e);
  const double decay_per_sample = std::exp(static_cast<double>(model.dt) * -static_cast<double>(c));
  // The integral of (t^b exp(-c t))^2 over t >= 0 is Gamma(2b + 1) / (2c)^(2b + 1).
  const float norm = static_cast<float>(std::sqrt(static_cast<double>(aa) / gm));
  double decay = 1.0;
  for (std::size_t i = 0; i < n; ++i) {
    envelope[i] = static_cast<float>(decay) * (plan.envelope_power[i] * norm);
    decay = decay * decay_per_sample;
  }

  // Target amplitude per bin: omega-squared subevent x subevent scaling x diminution / R.
  const float beta = path.shear_velocity_km_s * kCmPerKm;
  const float cc =
      kRadiationAndPartition / ((path.density_g_cm3 * kFourPi) * ((beta * beta) * beta));
  const float source_level = cc * path.subevent_moment;
  const float omgc = path.corner_frequency_hz * kTwoPi;
  const float omgm = path.fmax_hz * kTwoPi;
  const float scale = path.moment_scale;
  const float qbar = path.qbar;
  const float kappa = model.kappa_s;
  const float* frequency = plan.frequency_hz.data();
  const float* power = plan.path_exponent.data();
  double* out = amplitude.data();

  // The omega-squared acceleration spectrum of one subevent, and the subevent scaling that raises
  // frequencies below fc by C and leaves high frequencies alone.
  const auto subevent_source = [&](float omg) -> double {
    return ((omg * omg) / ((omg / omgc) * (omg / omgc) + 1.0f)) * source_level;
  };
  const auto subevent_scaling = [&](float f) {
    const float fr2 = f * f;
    return ((fr2 + fc2) * scale) / (fr2 * scale + fc2);
  };
  if (kappa <= 0.0f) {
    // First-order high-cut at fmax.
    for (std::size_t k = 1; k < folds; ++k) {
      const float f = frequency[k];
      const float omg = f * kTwoPi;
      const float path_attenuation = power[k] * qbar;
      const float a2 = 1.0f / (omg / omgm + 1.0f);
      const float a3 = std::exp(path_attenuation * (-kPi)) / distance_cm;
      const double a2a3 = static_cast<double>(a2) * static_cast<double>(a3);
      out[k] = static_cast<double>(subevent_scaling(f)) * (subevent_source(omg) * a2a3);
    }
  } else {
    // Near-surface kappa (also taken for a NaN kappa).
    for (std::size_t k = 1; k < folds; ++k) {
      const float f = frequency[k];
      const float omg = f * kTwoPi;
      const float path_attenuation = power[k] * qbar;
      const double a2a3 = std::exp((path_attenuation + kappa * f) * (-kPi)) / distance_cm;
      out[k] = static_cast<double>(subevent_scaling(f)) * (subevent_source(omg) * a2a3);
    }
  }
  dt = model.dt;
}

void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<Complex> spectrum) {
  const std::size_t n = plan.np2;
  const std::size_t folds = plan.fold_count;
  ensure(spectrum.size() == n, "a spectrum row of {} entries for a plan of length {}",
         spectrum.size(), n);
  ensure(n <= shape.deviates.size() && folds <= shape.amplitude.size(),
         "a plan of length {} does not fit a spectrum shape of capacity {}", n,
         shape.deviates.size());
  const float dt = shape.dt;
  const std::span<float> noise(shape.deviates.data(), n);
  rng.fill_normal(noise);
  fft::remove_quadratic_trend(dt, noise);

  // std::complex<float> is layout-compatible with float[2]; the flat view keeps the loops simple
  // enough to vectorise.
  float* bins = reinterpret_cast<float*>(spectrum.data());
  const float* window = shape.envelope.data();
  const float* draws = noise.data();
  for (std::size_t k = 0; k < n; ++k) {
    bins[2 * k] = draws[k] * window[k];
    bins[2 * k + 1] = 0.0f;
  }
  fft::forward(spectrum);

  // Sequential f32 sum, in increasing k: its rounding is part of the result.
  float fsa = 0.0f;
  for (std::size_t k = 0; k < folds; ++k) {
    const float re = bins[2 * k];
    const float im = bins[2 * k + 1];
    fsa = fsa + (re * re + im * im);
  }
  const float amp = 1.0f / (dt * std::sqrt(fsa / static_cast<float>(folds)));
  const double amp64 = amp;

  const double* amplitude = shape.amplitude.data();
  for (std::size_t k = 0; k < folds; ++k) {
    bins[2 * k] = static_cast<float>((static_cast<double>(bins[2 * k]) * amplitude[k]) * amp64);
    bins[2 * k + 1] =
        static_cast<float>((static_cast<double>(bins[2 * k + 1]) * amplitude[k]) * amp64);
  }

  // Negative frequencies: bin N - m is the conjugate of bin m; the Nyquist bin N/2 stays.
  const std::size_t half = n / 2;
  for (std::size_t m = 1; m < half; ++m) spectrum[n - m] = std::conj(spectrum[m]);
}

void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<float> time_series) {
  const std::size_t folds = radiation.size();
  const std::size_t n = spectrum.size();
  ensure(folds >= 2, "the radiation gains need at least 2 bins, got {}", folds);
  ensure(n >= 2 * folds - 2, "a spectrum row of {} entries is shorter than {} bins", n,
         2 * folds - 2);
  ensure(time_series.size() == n, "a time-series row of {} entries for a transform of length {}",
         time_series.size(), n);
  const std::size_t mirror_count = folds - 2;

  float* bins = reinterpret_cast<float*>(spectrum.data());
  for (std::size_t k = 0; k < folds; ++k) {
    bins[2 * k] *= radiation[k];
    bins[2 * k + 1] *= radiation[k];
  }
  // Negative frequencies take the gain of their positive twin: bin F + j pairs with F - 2 - j.
  for (std::size_t j = 0; j < mirror_count; ++j) {
    const float gain = radiation[folds - 2 - j];
    bins[2 * (folds + j)] *= gain;
    bins[2 * (folds + j) + 1] *= gain;
  }
  fft::inverse(spectrum);

  const float scale = 1.0f / (static_cast<float>(n) * kInverseScaleFactor);
  for (std::size_t k = 0; k < n; ++k) time_series[k] = bins[2 * k] * scale;

  // Raised-cosine taper over the last N/10 samples, from almost 1 down to almost 0.
  const std::size_t taper_len = n / 10;
  if (taper_len >= 1) {
    const float step = kPi / static_cast<float>(taper_len);
    float* tail = time_series.data() + (n - taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) {
      tail[i] = tail[i] * ((std::cos(static_cast<float>(i + 1) * step) + 1.0f) * 0.5f);
    }
  }
}

}  // namespace tolvane::stoc
