// Spectrum plans and their lengths, the target amplitude and window, the random spectrum and its
// inversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "array.hpp"
#include "error.hpp"
#include "fft.hpp"
#include "rng/source.hpp"
#include "site.hpp"
#include "stoc.hpp"

namespace tolvane::stoc {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Expects `call` to throw InternalError with exactly `message`.
template <class Call>
void expect_internal_error(Call call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no InternalError; expected: " << message;
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
}

TEST(SpectrumPlan, ArraysForEightSamplesAtOneEighthSecond) {
  const SpectrumPlan plan(8, 0.125f, 0.6f, 0.2f, 0.05f);
  EXPECT_EQ(plan.np2, 8u);
  EXPECT_EQ(plan.fold_count, 5u);
  EXPECT_EQ(plan.frequency_hz, (std::vector<float>{0, 1, 2, 3, 4}));
  EXPECT_EQ(plan.log_frequency_hz[0], -kInf);
  EXPECT_EQ(plan.log_frequency_hz[1], 0.0f);
  EXPECT_FLOAT_EQ(plan.log_frequency_hz[4], std::log(4.0f));
  EXPECT_EQ(plan.path_exponent[0], 0.0f);
  EXPECT_EQ(plan.path_exponent[1], 1.0f);
  EXPECT_NEAR(plan.path_exponent[4], 1.7411, 1e-4);
  ASSERT_EQ(plan.envelope_power.size(), 8u);
  EXPECT_EQ(plan.envelope_power[0], 0.0f);
  EXPECT_NEAR(plan.envelope_power[4], std::pow(0.5, 1.2531), 1e-4);
}

TEST(SpectrumPlan, ZeroFrequencyPowerFollowsTheSignOfTheExponent) {
  const std::pair<float, float> cases[] = {{0.6f, 0.0f}, {1.0f, 1.0f}, {1.5f, kInf}};
  for (auto [q_exponent, bin0] : cases) {
    EXPECT_EQ(SpectrumPlan(8, 0.125f, q_exponent, 0.2f, 0.05f).path_exponent[0], bin0)
        << q_exponent;
  }
}

TEST(SpectrumPlan, WindowExponentOfTheStandardWindow) {
  // -0.2 ln 0.05 = 0.59915 over (ln 0.2 - 1) 0.2 + 1 = 0.47811.
  EXPECT_NEAR(window_exponent(0.2f, 0.05f), 0.59915 / 0.47811, 1e-4);
}

TEST(SpectrumPlan, OddOrShortLengthsAreInternalErrors) {
  for (std::uint64_t np2 : {0u, 1u, 3u, 15u}) {
    expect_internal_error(
        [&] { SpectrumPlan(np2, 0.01f, 0.6f, 0.2f, 0.05f); },
        format("a spectrum plan needs an even length of at least 2, got {}", np2));
  }
}

TEST(SpectrumPlan, LengthForAWindow) {
  struct Case {
    float window_s, dt;
    std::uint64_t length;
  };
  const Case cases[] = {
      {10.0f, 0.01f, 2048}, {0.0f, 0.01f, 2},   {kNaN, 0.01f, 2},
      {10.0f, -0.01f, 2},   {1.0f, 0.01f, 224}, {3e18f, 1.0f, std::uint64_t{3} << 61},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpectrumPlan::length_for(c.window_s, c.dt), c.length) << c.window_s << " " << c.dt;
  }
  // A zero sample interval saturates the request past every admissible length.
  EXPECT_THROW(SpectrumPlan::length_for(10.0f, 0.0f), InternalError);
}

TEST(SpectrumPlan, LengthForAnArrivalIsCappedByTheRestOfTheRecord) {
  struct Case {
    std::int32_t start_sample;
    std::uint64_t ndata, length;
  };
  const Case cases[] = {
      {4000, 4096, 224},  // 97 samples left: good_length(194)
      {1, 4096, 2048},   {0, 4096, 2048}, {-5, 4096, 2048}, {1, 50, 112},
      {0, 50, 112},      {4097, 4096, 2}, {5000, 4096, 2},  {4096, 4096, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SpectrumPlan::length_for_arrival(10.0f, 0.01f, c.start_sample, c.ndata), c.length)
        << c.start_sample << " " << c.ndata;
  }
}

TEST(PlanCache, BuildsEachLengthOnce) {
  PlanCache cache(0.01f, 0.6f, 0.2f, 0.05f);
  EXPECT_EQ(cache.plan_count(), 0u);
  const SpectrumPlan& first = cache.for_length(64);
  EXPECT_EQ(&cache.for_length(64), &first);
  EXPECT_EQ(cache.plan_count(), 1u);
  const SpectrumPlan& other = cache.for_length(80);
  EXPECT_EQ(other.np2, 80u);
  EXPECT_EQ(cache.plan_count(), 2u);
  EXPECT_EQ(&cache.for_length(64), &first);
  EXPECT_EQ(first.np2, 64u);
  EXPECT_EQ(first.frequency_hz[1], SpectrumPlan(64, 0.01f, 0.6f, 0.2f, 0.05f).frequency_hz[1]);
}

// A strike-slip subevent 20 km away in a crust of 3.5 km/s and 2.8 g/cm^3.
constexpr RayPath kPath{.distance_km = 20.0f,
                        .window_s = 10.0f,
                        .shear_velocity_km_s = 3.5f,
                        .density_g_cm3 = 2.8f,
                        .corner_frequency_hz = 1.0f,
                        .subevent_moment = 1e22f,
                        .moment_scale = 4.0f,
                        .fmax_hz = 1000.0f,
                        .qbar = 0.0f};
constexpr SourceModel kModel{.dt = 0.01f, .window_eps = 0.2f, .window_eta = 0.05f, .kappa_s = 0.0f};
constexpr float kQExponent = 0.6f;

SpectrumPlan standard_plan() {
  return SpectrumPlan(SpectrumPlan::length_for(kPath.window_s, kModel.dt), kModel.dt, kQExponent,
                      kModel.window_eps, kModel.window_eta);
}

TEST(SpectrumShape, WithCapacityIsZeroFilled) {
  const SpectrumShape shape = SpectrumShape::with_capacity(6);
  EXPECT_EQ(shape.envelope, std::vector<float>(6, 0.0f));
  EXPECT_EQ(shape.amplitude, std::vector<double>(6, 0.0));
  EXPECT_EQ(shape.deviates, std::vector<float>(6, 0.0f));
  EXPECT_EQ(shape.dt, 0.0f);
}

TEST(SpectrumShape, EnvelopeHasUnitEnergyAndPeaksAtEpsilonTimesT) {
  const SpectrumPlan plan = standard_plan();
  ASSERT_EQ(plan.np2, 2048u);
  SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
  shape.refresh(plan, kModel, kPath);
  EXPECT_EQ(shape.dt, kModel.dt);
  double energy = 0.0;
  std::size_t peak = 0;
  for (std::size_t i = 0; i < plan.np2; ++i) {
    energy += static_cast<double>(shape.envelope[i]) * shape.envelope[i] * kModel.dt;
    if (shape.envelope[i] > shape.envelope[peak]) peak = i;
  }
  EXPECT_NEAR(energy, 1.0, 1e-3);
  EXPECT_NEAR(static_cast<double>(peak) * kModel.dt, 0.2 * kPath.window_s, kModel.dt);
  EXPECT_EQ(shape.amplitude[0], 0.0);
}

TEST(SpectrumShape, AmplitudeMatchesItsLowAndHighFrequencyLimits) {
  // Far below fc the subevent scaling raises the spectrum by C: C cc M w^2 D(f) / R; far above fc
  // it is cc M wc^2 D(f) / R. D is the diminution: exp(-pi qbar f^(1 - eta)) times the high-cut
  // 1/(1 + f/fmax) when kappa <= 0, or exp(-pi kappa f) otherwise.
  struct Case {
    float kappa_s, corner_frequency_hz, fmax_hz, qbar;
    bool low;
  };
  const Case cases[] = {
      {0.0f, 50.0f, 1000.0f, 0.0f, true},
      {0.04f, 50.0f, 1000.0f, 0.01f, true},
      {-1.0f, 0.05f, 10.0f, 0.01f, false},
      {0.04f, 0.05f, 10.0f, 0.0f, false},
  };
  const SpectrumPlan plan = standard_plan();
  const double cc = 0.8946 / (4.0 * std::numbers::pi * kPath.density_g_cm3 *
                              std::pow(kPath.shear_velocity_km_s * 1e5, 3));
  const double distance_cm = kPath.distance_km * 1e5;
  for (const Case& c : cases) {
    SourceModel model = kModel;
    model.kappa_s = c.kappa_s;
    RayPath path = kPath;
    path.corner_frequency_hz = c.corner_frequency_hz;
    path.fmax_hz = c.fmax_hz;
    path.qbar = c.qbar;
    SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
    shape.refresh(plan, model, path);

    const std::size_t k = c.low ? 1 : plan.fold_count - 1;
    const double f = plan.frequency_hz[k];
    const double omega = 2.0 * std::numbers::pi * f;
    const double omega_c = 2.0 * std::numbers::pi * c.corner_frequency_hz;
    const double high_cut = c.kappa_s <= 0.0f ? 1.0 / (1.0 + f / c.fmax_hz)
                                              : std::exp(-std::numbers::pi * c.kappa_s * f);
    const double diminution =
        high_cut * std::exp(-std::numbers::pi * c.qbar * std::pow(f, 1.0 - kQExponent));
    const double level = c.low ? path.moment_scale * cc * path.subevent_moment * omega * omega
                               : cc * path.subevent_moment * omega_c * omega_c;
    const double expected = level * diminution / distance_cm;
    EXPECT_NEAR(shape.amplitude[k] / expected, 1.0, 1e-4) << c.kappa_s << " " << c.low;
    EXPECT_EQ(shape.amplitude[0], 0.0);

    if (c.kappa_s > 0.0f) {  // kappa replaces the high-cut: fmax plays no part
      const std::vector<double> before = shape.amplitude;
      path.fmax_hz = 1.0f;
      shape.refresh(plan, model, path);
      EXPECT_EQ(shape.amplitude, before) << c.kappa_s;
    }
  }
}

TEST(SpectrumShape, KeptWindowEqualsAFreshOne) {
  // A shape keeps its window while only the plan's length grows (a subfault's next ray) and
  // extends it; any other change of the window starts it again.
  const SpectrumPlan short_plan(1024, kModel.dt, kQExponent, kModel.window_eps, kModel.window_eta);
  const SpectrumPlan long_plan(2560, kModel.dt, kQExponent, kModel.window_eps, kModel.window_eta);
  const SpectrumPlan other_dt(2560, 0.02f, kQExponent, kModel.window_eps, kModel.window_eta);
  RayPath longer_window = kPath;
  longer_window.window_s = 12.0f;
  SourceModel other_model = kModel;
  other_model.dt = 0.02f;
  struct Step {
    const SpectrumPlan& plan;
    const SourceModel& model;
    const RayPath& path;
  };
  const std::vector<Step> steps = {
      {short_plan, kModel, kPath},         {long_plan, kModel, kPath},
      {short_plan, kModel, kPath},         {long_plan, kModel, longer_window},
      {long_plan, kModel, kPath},          {other_dt, other_model, kPath},
      {short_plan, kModel, longer_window}, {long_plan, kModel, longer_window},
  };
  SpectrumShape kept = SpectrumShape::with_capacity(long_plan.np2);
  for (std::size_t s = 0; s < steps.size(); ++s) {
    const Step& step = steps[s];
    kept.refresh(step.plan, step.model, step.path);
    SpectrumShape fresh = SpectrumShape::with_capacity(long_plan.np2);
    fresh.refresh(step.plan, step.model, step.path);
    const std::size_t n = step.plan.np2;
    EXPECT_TRUE(
        std::equal(fresh.envelope.begin(), fresh.envelope.begin() + n, kept.envelope.begin()))
        << "step " << s;
    EXPECT_TRUE(std::equal(fresh.amplitude.begin(), fresh.amplitude.begin() + step.plan.fold_count,
                           kept.amplitude.begin()))
        << "step " << s;
  }
}

TEST(SpectrumShape, PlanLongerThanTheBuffersIsAnInternalError) {
  const SpectrumPlan plan(16, 0.01f, kQExponent, 0.2f, 0.05f);
  SpectrumShape shape = SpectrumShape::with_capacity(8);
  expect_internal_error([&] { shape.refresh(plan, kModel, kPath); },
                        "a plan of length 16 does not fit a spectrum shape of capacity 8");
}

rng::DrawSource test_stream(std::uint64_t seed) {
  return rng::DrawSource(rng::Pcg::seed(seed));
}

TEST(StochasticSpectrum, HermitianWithZeroMeanAndDrawsOneNormalPerSample) {
  const SpectrumPlan plan = standard_plan();
  SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
  shape.refresh(plan, kModel, kPath);
  Array2<Complex> rows(1, plan.np2);
  rng::DrawSource stream = test_stream(5);
  rng::DrawSource twin = test_stream(5);
  stochastic_spectrum(stream, plan, shape, rows.row(0));

  const std::span<const Complex> spectrum = rows.row(0);
  const std::size_t n = plan.np2;
  EXPECT_EQ(spectrum[0], Complex(0.0f, 0.0f));
  for (std::size_t m = 1; m < n / 2; ++m) ASSERT_EQ(spectrum[n - m], std::conj(spectrum[m])) << m;

  std::vector<float> skipped(n);
  twin.fill_normal(skipped);
  EXPECT_EQ(stream.normal(), twin.normal());
}

TEST(StochasticSpectrum, MeanSquareOverTheTargetIsOneOverDtSquared) {
  // The noise spectrum is normalised to unit mean square over bins 0 ... F-1 and divided by dt, so
  // |S_k|^2 dt^2 / A_k^2 averages to 1 over the bins (bin 0, where A is 0, aside).
  const SpectrumPlan plan = standard_plan();
  SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
  RayPath path = kPath;
  path.qbar = 0.02f;
  shape.refresh(plan, kModel, path);
  Array2<Complex> rows(1, plan.np2);
  constexpr int kRealisations = 4;
  double mean = 0.0;
  for (int r = 0; r < kRealisations; ++r) {
    rng::DrawSource stream = test_stream(100 + r);
    stochastic_spectrum(stream, plan, shape, rows.row(0));
    double sum = 0.0;
    for (std::size_t k = 1; k < plan.fold_count; ++k) {
      const double dt = kModel.dt;
      sum += std::norm(std::complex<double>(rows.row(0)[k])) * dt * dt /
             (shape.amplitude[k] * shape.amplitude[k]);
    }
    mean += sum / static_cast<double>(plan.fold_count - 1) / kRealisations;
  }
  // Only the small zero-frequency share of the noise is lost: a fraction of order 1/F.
  EXPECT_NEAR(mean, 1.0, 0.01);
}

TEST(StochasticSpectrum, RowOfTheWrongLengthIsAnInternalError) {
  const SpectrumPlan plan(16, 0.01f, kQExponent, 0.2f, 0.05f);
  SpectrumShape shape = SpectrumShape::with_capacity(16);
  shape.refresh(plan, kModel, kPath);
  std::vector<Complex> row(14);
  rng::DrawSource stream = test_stream(1);
  expect_internal_error([&] { stochastic_spectrum(stream, plan, shape, row); },
                        "a spectrum row of 14 entries for a plan of length 16");
}

// The chain of one pair written step by step: three stochastic spectra (the vertical one with its
// own fmax, refreshing when it differs), the site gain, the radiation gains and the inversions.
struct StepByStep {
  std::vector<std::vector<double>> amplitudes;
  Array2<float> series;
};

StepByStep chain_step_by_step(rng::DrawSource& stream, const SpectrumPlan& plan,
                              const SourceModel& model, const std::array<RayPath, 3>& paths,
                              const std::vector<float>& site_gain,
                              const std::array<std::vector<float>, 3>& radiation) {
  SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
  Array2<Complex> spectra(3, plan.np2);
  StepByStep out{{}, Array2<float>(3, plan.np2)};
  float built_for = kNaN;
  for (std::size_t c = 0; c < 3; ++c) {
    if (!(paths[c].fmax_hz == built_for)) {
      shape.refresh(plan, model, paths[c]);
      built_for = paths[c].fmax_hz;
    }
    out.amplitudes.push_back(shape.amplitude);
    stochastic_spectrum(stream, plan, shape, spectra.row(c));
  }
  for (std::size_t c = 0; c < 3; ++c) site::apply_site_amplification(spectra.row(c), site_gain);
  for (std::size_t c = 0; c < 3; ++c) {
    radiate_and_invert(spectra.row(c), radiation[c], out.series.row(c));
  }
  return out;
}

TEST(PairChain, FusedPassesGiveTheBitsOfTheStepByStepChain) {
  const SpectrumPlan plan(640, kModel.dt, kQExponent, kModel.window_eps, kModel.window_eta);
  const std::size_t folds = plan.fold_count;
  std::vector<float> site_gain(folds);
  for (std::size_t k = 0; k < folds; ++k) site_gain[k] = 1.0f + 0.5f * std::sin(0.01f * k);
  // Two flat horizontal rows, one of them negative, and a vertical row that changes over the bins.
  std::array<std::vector<float>, 3> radiation = {std::vector<float>(folds, -0.61f),
                                                 std::vector<float>(folds, 0.47f),
                                                 std::vector<float>(folds, 0.3f)};
  radiation[2][0] = 0.12f;
  radiation[2][1] = 0.2f;
  std::array<RayPath, 3> paths = {kPath, kPath, kPath};
  paths[2].fmax_hz = 15.0f;
  for (const float kappa_s : {0.0f, 0.04f}) {  // the vertical amplitude differs only without kappa
    SCOPED_TRACE(kappa_s);
    SourceModel model = kModel;
    model.kappa_s = kappa_s;
    rng::DrawSource stream = test_stream(8), twin = test_stream(8);
    const StepByStep reference =
        chain_step_by_step(stream, plan, model, paths, site_gain, radiation);

    SpectrumShape shape = SpectrumShape::with_capacity(plan.np2);
    shape.refresh(plan, model, paths[0]);
    std::vector<double> vertical_amplitude(folds, 0.0);
    target_amplitude(plan, model, paths[2], vertical_amplitude);
    Array2<float> noise(3, plan.np2), series(3, plan.np2);
    Array2<Complex> spectra(3, plan.np2);
    const std::array<float, 3> amp = noise_spectra(twin, plan, shape, noise, spectra);
    for (std::size_t c = 0; c < 3; ++c) {
      const std::vector<double>& amplitude = c < 2 ? shape.amplitude : vertical_amplitude;
      EXPECT_TRUE(std::equal(reference.amplitudes[c].begin(),
                             reference.amplitudes[c].begin() + folds, amplitude.begin()));
      shape_and_invert(spectra.row(c), amplitude, amp[c], site_gain, radiation[c], plan.taper,
                       series.row(c));
      for (std::size_t k = 0; k < plan.np2; ++k) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(series.row(c)[k]),
                  std::bit_cast<std::uint32_t>(reference.series.row(c)[k]))
            << c << " " << k;
      }
    }
    EXPECT_EQ(stream.uniform(), twin.uniform()) << "the same normals drawn";
  }
}

TEST(RadiateAndInvert, UnitGainsReturnTheSeriesOverTheScaleTapered) {
  // The taper covers the last N/10 samples with (1 + cos(pi (i + 1) / L)) / 2.
  const std::pair<std::size_t, std::vector<double>> cases[] = {
      {8, {}},
      {20, {0.5, 0.0}},
      {40, {0.8535534, 0.5, 0.1464466, 0.0}},
  };
  std::mt19937 engine(9);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (const auto& [n, taper] : cases) {
    std::vector<float> x(n);
    for (float& v : x) v = value(engine);
    Array2<Complex> rows(1, n);
    const std::span<Complex> spectrum = rows.row(0);
    for (std::size_t k = 0; k < n; ++k) spectrum[k] = x[k];
    fft::forward(spectrum);
    const std::vector<float> gains(n / 2 + 1, 1.0f);
    std::vector<float> series(n);
    radiate_and_invert(spectrum, gains, series);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t tail_start = n - taper.size();
      const double factor = k < tail_start ? 1.0 : taper[k - tail_start];
      EXPECT_NEAR(series[k], x[k] / 0.4473 * factor, 2e-5) << n << " " << k;
    }
  }
}

TEST(RadiateAndInvert, NegativeFrequenciesTakeTheGainOfTheirTwin) {
  // A cosine at bin m lives in bins m and N - m; with gain 1 + k at bin k both halves must be
  // scaled by 1 + m for the series to stay a cosine.
  constexpr std::size_t n = 8;
  std::vector<float> gains(n / 2 + 1);
  for (std::size_t k = 0; k < gains.size(); ++k) gains[k] = 1.0f + static_cast<float>(k);
  for (std::size_t m = 0; m <= n / 2; ++m) {
    Array2<Complex> rows(1, n);
    const std::span<Complex> spectrum = rows.row(0);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = std::cos(2.0 * std::numbers::pi * static_cast<double>(m * i) / n);
      spectrum[i] = static_cast<float>(x[i]);
    }
    fft::forward(spectrum);
    std::vector<float> series(n);
    radiate_and_invert(spectrum, gains, series);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_NEAR(series[i], (1.0 + m) * x[i] / 0.4473, 1e-5 * (1.0 + m)) << m << " " << i;
    }
  }
}

TEST(RadiateAndInvert, MismatchedRowsAreInternalErrors) {
  struct Case {
    std::size_t spectrum, gains, series;
    std::string message;
  };
  const Case cases[] = {
      {8, 1, 8, "the radiation gains need at least 2 bins, got 1"},
      {6, 5, 6, "a spectrum row of 6 entries is shorter than 8 bins"},
      {8, 5, 7, "a time-series row of 7 entries for a transform of length 8"},
  };
  for (const Case& c : cases) {
    std::vector<Complex> spectrum(c.spectrum);
    std::vector<float> gains(c.gains, 1.0f);
    std::vector<float> series(c.series);
    expect_internal_error([&] { radiate_and_invert(spectrum, gains, series); }, c.message);
  }
}

}  // namespace
}  // namespace tolvane::stoc
