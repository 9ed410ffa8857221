// Spectrum plans, the target amplitude, the windowed-noise spectrum and its inversion.
#include "stoc.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "constants.hpp"
#include "error.hpp"
#include "fft.hpp"
#include "simd.hpp"
#include "wide_loops.hpp"

namespace tolvane::stoc {

namespace {

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
    : np2(np2), fold_count(np2 / 2 + 1), dt(dt), window_b(window_exponent(window_eps, window_eta)) {
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
  envelope_power.resize(np2);
  for (std::uint64_t i = 0; i < np2; ++i) {
    envelope_power[i] = std::pow(static_cast<float>(i) * dt, window_b);
  }
  taper = taper_factors(np2);
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
  ensure(plan.np2 <= envelope.size() && plan.fold_count <= amplitude.size(),
         "a plan of length {} does not fit a spectrum shape of capacity {}", plan.np2,
         envelope.size());
  refresh_envelope(plan, model, path.window_s);
  target_amplitude(plan, model, path, amplitude);
  dt = model.dt;
}

void SpectrumShape::refresh_envelope(const SpectrumPlan& plan, const SourceModel& model,
                                     float window_s) {
  const std::size_t n = plan.np2;
  const WindowKey key{std::bit_cast<std::uint32_t>(plan.dt),
                      std::bit_cast<std::uint32_t>(plan.window_b),
                      std::bit_cast<std::uint32_t>(model.dt),
                      std::bit_cast<std::uint32_t>(model.window_eps),
                      std::bit_cast<std::uint32_t>(model.window_eta),
                      std::bit_cast<std::uint32_t>(window_s)};
  if (key != window_key_) {
    window_key_ = key;
    envelope_ready_ = 0;
    next_decay_ = 1.0;
  }
  if (envelope_ready_ >= n) return;

  // Unit-energy time window: envelope[i] = norm * t_i^b * exp(-c t_i), t_i = i dt, peaking at
  // eps T; the exponential is accumulated by repeated f64 multiplication, continued from where
  // the last refresh of this window stopped.
  const float eps = model.window_eps;
  const float b = window_exponent(eps, model.window_eta);
  const float c = (b / eps) / window_s;
  const float e = (b + b) + 1.0f;
  const double gsa = e;
  const double gm = std::tgamma(gsa);
  const float aa = std::pow(c + c, e);
  const double decay_per_sample = std::exp(static_cast<double>(model.dt) * -static_cast<double>(c));
  // The integral of (t^b exp(-c t))^2 over t >= 0 is Gamma(2b + 1) / (2c)^(2b + 1).
  const float norm = static_cast<float>(std::sqrt(static_cast<double>(aa) / gm));
  double decay = next_decay_;
  for (std::size_t i = envelope_ready_; i < n; ++i) {
    envelope[i] = static_cast<float>(decay) * (plan.envelope_power[i] * norm);
    decay = decay * decay_per_sample;
  }
  next_decay_ = decay;
  envelope_ready_ = n;
}

namespace {

// What every bin of a target amplitude shares.
struct AmplitudeTerms {
  float fc2;           // fc^2
  float distance_cm;   // R
  float source_level;  // cc M
  float omgc;          // 2 pi fc
  float omgm;          // 2 pi fmax
  float scale;         // C
  float qbar;
  float kappa;
};

// Bins handled per call of the exponential kernel: a stack row that stays in the first cache.
constexpr std::size_t kAmplitudeBlock = 256;

// The exponent of the diminution of each bin: -pi qbar f^(1 - eta), and -pi kappa f more with
// kappa.
template <bool kHighCut>
TOLVANE_WIDE_LOOPS void diminution_exponents(const AmplitudeTerms& t, const float* frequency,
                                             const float* power, std::size_t count, float* out) {
  for (std::size_t k = 0; k < count; ++k) {
    const float path_attenuation = power[k] * t.qbar;
    if constexpr (kHighCut) {
      out[k] = path_attenuation * (-kPi);
    } else {
      out[k] = (path_attenuation + t.kappa * frequency[k]) * (-kPi);
    }
  }
}

// The amplitude of each bin from its frequency and the exponential of its diminution exponent:
// omega-squared subevent x subevent scaling x diminution / R (x the first-order high-cut at fmax
// when kHighCut).
template <bool kHighCut>
TOLVANE_WIDE_LOOPS void amplitude_bins(const AmplitudeTerms& t, const float* frequency,
                                       const float* exponential, std::size_t count, double* out) {
  for (std::size_t k = 0; k < count; ++k) {
    const float f = frequency[k];
    const float omg = f * kTwoPi;
    double a2a3;
    if constexpr (kHighCut) {
      const float a2 = 1.0f / (omg / t.omgm + 1.0f);
      const float a3 = exponential[k] / t.distance_cm;
      a2a3 = static_cast<double>(a2) * static_cast<double>(a3);
    } else {
      a2a3 = exponential[k] / t.distance_cm;
    }
    // The omega-squared acceleration spectrum of one subevent, and the subevent scaling that
    // raises frequencies below fc by C and leaves high frequencies alone.
    const double subevent_source =
        ((omg * omg) / ((omg / t.omgc) * (omg / t.omgc) + 1.0f)) * t.source_level;
    const float fr2 = f * f;
    const float subevent_scaling = ((fr2 + t.fc2) * t.scale) / (fr2 * t.scale + t.fc2);
    out[k] = static_cast<double>(subevent_scaling) * (subevent_source * a2a3);
  }
}

template <bool kHighCut>
void amplitude_row(const AmplitudeTerms& t, const SpectrumPlan& plan, double* amplitude) {
  const simd::ExpKernel exp = simd::active_kernels().exp;
  float exponentials[kAmplitudeBlock];
  for (std::size_t first = 1; first < plan.fold_count; first += kAmplitudeBlock) {
    const std::size_t count = std::min(kAmplitudeBlock, plan.fold_count - first);
    const float* frequency = plan.frequency_hz.data() + first;
    diminution_exponents<kHighCut>(t, frequency, plan.path_exponent.data() + first, count,
                                   exponentials);
    exp(exponentials, exponentials, count);
    amplitude_bins<kHighCut>(t, frequency, exponentials, count, amplitude + first);
  }
}

}  // namespace

void target_amplitude(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path,
                      std::span<double> amplitude) {
  ensure(plan.fold_count <= amplitude.size(),
         "a plan of length {} does not fit an amplitude row of {}", plan.np2, amplitude.size());
  const float beta = path.shear_velocity_km_s * kCmPerKm;
  const float cc =
      kRadiationAndPartition / ((path.density_g_cm3 * kFourPi) * ((beta * beta) * beta));
  const AmplitudeTerms terms{
      .fc2 = path.corner_frequency_hz * path.corner_frequency_hz,
      .distance_cm = path.distance_km * kCmPerKm,
      .source_level = cc * path.subevent_moment,
      .omgc = path.corner_frequency_hz * kTwoPi,
      .omgm = path.fmax_hz * kTwoPi,
      .scale = path.moment_scale,
      .qbar = path.qbar,
      .kappa = model.kappa_s,
  };
  if (model.uses_fmax()) {
    amplitude_row<true>(terms, plan, amplitude.data());  // first-order high-cut at fmax
  } else {
    amplitude_row<false>(terms, plan, amplitude.data());  // near-surface kappa (also a NaN kappa)
  }
}

namespace {

// spectrum[k] = (noise[k] * envelope[k], 0) for the N entries of `spectrum`. std::complex<float>
// is layout-compatible with float[2]; the flat view keeps the loop simple enough to vectorise.
TOLVANE_WIDE_LOOPS void window_noise(std::span<const float> noise, std::span<const float> envelope,
                                     std::span<Complex> spectrum) {
  float* bins = reinterpret_cast<float*>(spectrum.data());
  const float* window = envelope.data();
  const float* draws = noise.data();
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    bins[2 * k] = draws[k] * window[k];
    bins[2 * k + 1] = 0.0f;
  }
}

// window_noise of the noise corrected by its trend line from sample 2 on, without storing the
// corrected noise: the same values, one pass fewer over the row.
TOLVANE_WIDE_LOOPS void window_corrected_noise(std::span<const float> noise, fft::TrendLine line,
                                               float dt, std::span<const float> envelope,
                                               std::span<Complex> spectrum) {
  float* bins = reinterpret_cast<float*>(spectrum.data());
  const float* window = envelope.data();
  const float* draws = noise.data();
  const std::size_t n = spectrum.size();
  for (std::size_t k = 0; k < n && k < 2; ++k) {
    bins[2 * k] = draws[k] * window[k];
    bins[2 * k + 1] = 0.0f;
  }
  const auto corrected_from_2 = [&](auto count) {
    for (decltype(count) k = 2; k < count; ++k) {
      bins[2 * k] = line.corrected(draws[k], static_cast<float>(k), dt) * window[k];
      bins[2 * k + 1] = 0.0f;
    }
  };
  // Sample numbers that fit 32 bits are converted from a 32-bit counter, which vectorises.
  if (n <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    corrected_from_2(static_cast<std::int32_t>(n));
  } else {
    corrected_from_2(n);
  }
}

// Sum of re^2 + im^2 over bins 0 ... F - 1 of each of K spectra: sequential f32 sums in increasing
// k, whose rounding is part of the result, run side by side.
template <std::size_t K>
TOLVANE_WIDE_LOOPS std::array<float, K> folded_power(const std::array<const Complex*, K>& spectra,
                                                     std::size_t folds) {
  std::array<float, K> fsa{};
  for (std::size_t k = 0; k < folds; ++k) {
    for (std::size_t s = 0; s < K; ++s) {
      const float re = spectra[s][k].real();
      const float im = spectra[s][k].imag();
      fsa[s] = fsa[s] + (re * re + im * im);
    }
  }
  return fsa;
}

// The scaling factor of a noise spectrum whose bins 0 ... F - 1 sum to `fsa` in power.
float noise_scale(float dt, float fsa, std::size_t folds) {
  return 1.0f / (dt * std::sqrt(fsa / static_cast<float>(folds)));
}

// A part of a bin of the non-negative frequencies scaled to the target amplitude: in f64, rounded
// once.
float scaled_part(float part, double amplitude, double amp) {
  return static_cast<float>((static_cast<double>(part) * amplitude) * amp);
}

// Bin N - m becomes the conjugate of bin m, m = 1 ... N/2 - 1; the Nyquist bin N/2 stays. A bin
// is moved as one 64-bit word whose top bit is the sign of its imaginary part: flipping that bit
// is the negation, and the word loop vectorises.
TOLVANE_WIDE_LOOPS void mirror_conjugates(std::span<Complex> spectrum) {
  using BinWord [[gnu::may_alias]] = std::uint64_t;  // may alias the floats of the bins
  static_assert(sizeof(Complex) == sizeof(BinWord) && std::endian::native == std::endian::little);
  constexpr BinWord kImaginarySign = BinWord{1} << 63;
  const std::size_t n = spectrum.size();
  BinWord* words = reinterpret_cast<BinWord*>(spectrum.data());
  for (std::size_t m = 1; m < n / 2; ++m) words[n - m] = words[m] ^ kImaginarySign;
}

// Scales bins 0 ... F - 1 to the target `amplitude` over the noise's root-mean-square `fsa` and
// rebuilds the negative frequencies.
void scale_to_target(float dt, float fsa, const double* amplitude, std::size_t folds,
                     std::span<Complex> spectrum) {
  const double amp64 = noise_scale(dt, fsa, folds);
  float* bins = reinterpret_cast<float*>(spectrum.data());
  for (std::size_t k = 0; k < folds; ++k) {
    bins[2 * k] = scaled_part(bins[2 * k], amplitude[k], amp64);
    bins[2 * k + 1] = scaled_part(bins[2 * k + 1], amplitude[k], amp64);
  }
  mirror_conjugates(spectrum);
}

// The real part of the inverse transform over N * 0.4473, tapered over its last N/10 samples by
// the raised cosine.
TOLVANE_WIDE_LOOPS void scaled_real_part(std::span<const Complex> spectrum,
                                         std::span<const float> taper,
                                         std::span<float> time_series) {
  const std::size_t n = spectrum.size();
  const float* bins = reinterpret_cast<const float*>(spectrum.data());
  const float scale = 1.0f / (static_cast<float>(n) * kInverseScaleFactor);
  for (std::size_t k = 0; k < n; ++k) time_series[k] = bins[2 * k] * scale;
  float* tail = time_series.data() + (n - taper.size());
  for (std::size_t i = 0; i < taper.size(); ++i) tail[i] = tail[i] * taper[i];
}

// Bins 0 ... F - 1 scaled to the target, then times the site gain, then times the radiation gain.
TOLVANE_WIDE_LOOPS void shape_bins(const double* amplitude, float amp, const float* site_gain,
                                   const float* radiation, std::size_t folds, float* bins) {
  const double amp64 = amp;
  for (std::size_t k = 0; k < folds; ++k) {
    const float re = scaled_part(bins[2 * k], amplitude[k], amp64);
    const float im = scaled_part(bins[2 * k + 1], amplitude[k], amp64);
    bins[2 * k] = (re * site_gain[k]) * radiation[k];
    bins[2 * k + 1] = (im * site_gain[k]) * radiation[k];
  }
}

void ensure_row_length(std::span<Complex> spectrum, std::size_t n) {
  ensure(spectrum.size() == n, "a spectrum row of {} entries for a plan of length {}",
         spectrum.size(), n);
}

}  // namespace

void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<Complex> spectrum) {
  const std::size_t n = plan.np2;
  const std::size_t folds = plan.fold_count;
  ensure_row_length(spectrum, n);
  ensure(n <= shape.deviates.size() && folds <= shape.amplitude.size(),
         "a plan of length {} does not fit a spectrum shape of capacity {}", n,
         shape.deviates.size());
  const std::span<float> noise(shape.deviates.data(), n);
  rng.fill_normal(noise);
  fft::remove_quadratic_trend(shape.dt, noise);
  window_noise(noise, std::span(shape.envelope).first(n), spectrum);
  fft::forward(spectrum);
  const float fsa = folded_power<1>({spectrum.data()}, folds)[0];
  scale_to_target(shape.dt, fsa, shape.amplitude.data(), folds, spectrum);
}

std::array<float, 3> noise_spectra(rng::DrawSource& rng, const SpectrumPlan& plan,
                                   const SpectrumShape& shape, Array2<float>& noise,
                                   Array2<Complex>& spectra) {
  const std::size_t n = plan.np2;
  const std::size_t folds = plan.fold_count;
  ensure(n <= shape.envelope.size() && n <= noise.cols() && n <= spectra.cols() &&
             noise.rows() == 3 && spectra.rows() == 3,
         "a plan of length {} does not fit the work rows of {} entries", n, spectra.cols());
  std::array<std::span<float>, 3> series;
  std::array<std::span<Complex>, 3> rows;
  for (std::size_t c = 0; c < 3; ++c) {
    series[c] = noise.row(c).first(n);
    rows[c] = spectra.row(c).first(n);
    rng.fill_normal(series[c]);
  }
  const std::array<fft::TrendLine, 3> lines =
      fft::quadratic_trend_lines(shape.dt, series[0], series[1], series[2]);
  for (std::size_t c = 0; c < 3; ++c) {
    window_corrected_noise(series[c], lines[c], shape.dt, std::span(shape.envelope).first(n),
                           rows[c]);
    fft::forward(rows[c]);
  }
  const std::array<float, 3> fsa =
      folded_power<3>({rows[0].data(), rows[1].data(), rows[2].data()}, folds);
  std::array<float, 3> amp;
  for (std::size_t c = 0; c < 3; ++c) amp[c] = noise_scale(shape.dt, fsa[c], folds);
  return amp;
}

void shape_and_invert(std::span<Complex> spectrum, std::span<const double> amplitude, float amp,
                      std::span<const float> site_gain, std::span<const float> radiation,
                      std::span<const float> taper, std::span<float> time_series) {
  const std::size_t n = spectrum.size();
  const std::size_t folds = n / 2 + 1;
  ensure(n >= 2 && n % 2 == 0 && amplitude.size() >= folds && site_gain.size() == folds &&
             radiation.size() == folds && taper.size() == n / 10 && time_series.size() == n,
         "rows of {}, {}, {} and {} entries for a transform of length {}", amplitude.size(),
         site_gain.size(), radiation.size(), time_series.size(), n);
  shape_bins(amplitude.data(), amp, site_gain.data(), radiation.data(), folds,
             reinterpret_cast<float*>(spectrum.data()));
  // Bin N - m would take the conjugate of bin m after the site gain and then the gain of bin m:
  // negating a part commutes with the rounded product, so it is the conjugate of the final bin m.
  mirror_conjugates(spectrum);
  fft::inverse(spectrum);
  scaled_real_part(spectrum, taper, time_series);
}

std::vector<float> taper_factors(std::uint64_t n) {
  const std::size_t taper_len = n / 10;
  std::vector<float> taper(taper_len);
  if (taper_len >= 1) {
    const float step = kPi / static_cast<float>(taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) {
      taper[i] = (std::cos(static_cast<float>(i + 1) * step) + 1.0f) * 0.5f;
    }
  }
  return taper;
}

void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<float> time_series) {
  radiate_and_invert(spectrum, radiation, taper_factors(spectrum.size()), time_series);
}

void radiate_and_invert(std::span<Complex> spectrum, std::span<const float> radiation,
                        std::span<const float> taper, std::span<float> time_series) {
  const std::size_t folds = radiation.size();
  const std::size_t n = spectrum.size();
  ensure(folds >= 2, "the radiation gains need at least 2 bins, got {}", folds);
  ensure(n >= 2 * folds - 2, "a spectrum row of {} entries is shorter than {} bins", n,
         2 * folds - 2);
  ensure(time_series.size() == n, "a time-series row of {} entries for a transform of length {}",
         time_series.size(), n);
  ensure(taper.size() == n / 10, "a taper of {} factors for a transform of length {}", taper.size(),
         n);
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
  scaled_real_part(spectrum, taper, time_series);
}

}  // namespace tolvane::stoc
