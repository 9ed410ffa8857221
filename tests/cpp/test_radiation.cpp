// SH and SV patterns against their closed forms, and the horizontal and vertical gain rows against
// conical averages computed independently in double precision from the same draws.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "error.hpp"
#include "radiation.hpp"
#include "radiation_kernels.hpp"

namespace tolvane::radiation {
namespace {

constexpr float kDegree = 0.017453292f;
constexpr double kPi = std::numbers::pi;
// A few f32 roundings on coefficients of order 1.
constexpr double kPatternTolerance = 2e-6;
// Averages of 1000 f32 terms (of order 1) against the same averages in double.
constexpr double kAverageTolerance = 1e-5;
constexpr std::uint64_t kSamples = 1000;

RadiationAngles degrees(float strike, float dip, float rake, float azimuth, float takeoff) {
  return {strike * kDegree, dip * kDegree, rake * kDegree, azimuth * kDegree, takeoff * kDegree};
}

struct Closed {
  double sh;
  double sv;
};

// The double-couple coefficients written out from their textbook form.
Closed closed_form(double strike, double dip, double rake, double azimuth, double takeoff) {
  const double l = rake, d = dip, i = takeoff, p = azimuth - strike;
  using std::cos, std::sin;
  return {
      .sh = cos(l) * cos(d) * cos(i) * sin(p) + cos(l) * sin(d) * sin(i) * cos(2 * p) +
            sin(l) * cos(2 * d) * cos(i) * cos(p) - 0.5 * sin(l) * sin(2 * d) * sin(i) * sin(2 * p),
      .sv = sin(l) * cos(2 * d) * cos(2 * i) * sin(p) - cos(l) * cos(d) * cos(2 * i) * cos(p) +
            0.5 * cos(l) * sin(d) * sin(2 * i) * sin(2 * p) -
            0.5 * sin(l) * sin(2 * d) * sin(2 * i) * (1 + sin(p) * sin(p)),
  };
}

Closed closed_form(const RadiationAngles& a) {
  return closed_form(a.strike_rad, a.dip_rad, a.rake_rad, a.azimuth_rad, a.takeoff_rad);
}

const std::vector<RadiationAngles> kOrientations = {
    degrees(0, 90, 0, 0, 90),          // vertical strike-slip, broadside
    degrees(30, 45, 90, 75, 120),      // thrust, upgoing ray
    degrees(200, 60, -45, 10, 150),    // oblique normal
    degrees(350, 20, 180, 300, 100),   // shallow dip, rake reversed
    degrees(123, 77, -120, 250, 45),   // downgoing ray
    degrees(0, 0, 0, 0, 0),            // degenerate: horizontal fault, vertical ray
    degrees(-40, 89, 10, 400, 179.5),  // angles outside their usual ranges
};

template <class F>
std::string internal_error_of(F&& call) {
  try {
    call();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "no error";
}

TEST(RadiationPattern, MatchesTheClosedForms) {
  for (const RadiationAngles& a : kOrientations) {
    const Closed expected = closed_form(a);
    const ShearRadiation pattern = radiation_pattern(a);
    EXPECT_NEAR(pattern.sh, expected.sh, kPatternTolerance) << a.strike_rad << " " << a.dip_rad;
    EXPECT_NEAR(pattern.sv, expected.sv, kPatternTolerance) << a.strike_rad << " " << a.dip_rad;
    EXPECT_EQ(sv_radiation(a), pattern.sv);
  }
}

TEST(RadiationPattern, VerticalStrikeSlipRadiatesPureShBroadside) {
  const AngleTerms t = AngleTerms::of(degrees(0, 90, 0, 0, 90));
  EXPECT_EQ(t.sin_rake, 0.0f);
  EXPECT_EQ(t.cos_rake, 1.0f);
  EXPECT_EQ(t.sin_dip, 1.0f);
  EXPECT_NEAR(t.cos_dip, 0.0f, 1e-7f);
  EXPECT_EQ(t.sin_takeoff, 1.0f);
  EXPECT_NEAR(t.cos_takeoff, 0.0f, 1e-7f);
  EXPECT_EQ(t.sin_az, 0.0f);
  EXPECT_EQ(t.cos_az, 1.0f);
  EXPECT_NEAR(sh_from(t), 1.0f, 1e-7f);
  EXPECT_NEAR(sv_from(t), 0.0f, 1e-7f);
}

// The horizontal conical average from its definition, in double, on the draws of `reference`:
// per sample take-off, azimuth, strike, dip and rake each move by (0.5 - u) * pi/2.
double reference_rms(rng::DrawSource& reference, const RadiationAngles& a, double component_rad) {
  double sum = 0.0;
  for (std::uint64_t n = 0; n < kSamples; ++n) {
    double u[5];
    for (double& x : u) x = reference.uniform();
    const auto moved = [](double angle, double uniform) {
      return (0.5 - uniform) * kPi / 2 + angle;
    };
    const double azimuth = moved(a.azimuth_rad, u[1]);
    const Closed c = closed_form(moved(a.strike_rad, u[2]), moved(a.dip_rad, u[3]),
                                 moved(a.rake_rad, u[4]), azimuth, moved(a.takeoff_rad, u[0]));
    const double p =
        c.sh * std::sin(component_rad - azimuth) + c.sv * std::cos(component_rad - azimuth);
    sum += p * p;
  }
  return std::sqrt(sum / kSamples);
}

TEST(HorizontalRadiation, FlatRowOfTheSignedRmsOfTheDrawnOrientations) {
  const rng::DrawSource pcg{rng::Pcg::seed(11)};
  const rng::DrawSource fixture{rng::FixtureDraws::seed(-3)};
  constexpr float kEast = -1.5707964f;
  struct Case {
    const rng::DrawSource& kind;
    RadiationAngles angles;
    float component_rad;
    bool negative;
    const char* why;
  };
  const std::vector<Case> cases = {
      {pcg, degrees(0, 90, 0, 0, 90), kEast, true, "pure SH seen from the east: -1"},
      {pcg, degrees(30, 45, 90, 75, 120), 0.0f, false, "thrust, north component"},
      {fixture, degrees(200, 60, -45, 10, 150), kEast, true, "fixture stream, east component"},
      {fixture, degrees(123, 77, -120, 250, 45), 0.0f, true, "downgoing ray, north component"},
  };
  // Bins across zero frequency and the 0.5 to 2 Hz band: the gain does not depend on them.
  const std::vector<float> frequency_hz = {0.0f, 0.0055f, 0.5f, 1.0f, 1.9f, 2.0f, 25.0f};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    constexpr std::uint64_t kSeed = 0x5EEDull;
    rng::DrawSource stream = c.kind.respawn(kSeed);
    rng::DrawSource reference = c.kind.respawn(kSeed);
    std::vector<float> radiation(frequency_hz.size());
    horizontal_radiation_spectrum(stream, c.angles, frequency_hz, c.component_rad, kSamples,
                                  radiation);

    const Closed theory = closed_form(c.angles);
    const double offset = double{c.component_rad} - c.angles.azimuth_rad;
    const double projected = std::sin(offset) * theory.sh + std::cos(offset) * theory.sv;
    ASSERT_GT(std::abs(projected), 0.05) << "the case must have a clear sign";
    ASSERT_EQ(projected < 0, c.negative);

    const double rms = reference_rms(reference, c.angles, c.component_rad);
    const double expected = projected < 0 ? -rms : rms;
    EXPECT_NEAR(radiation[0], expected, kAverageTolerance);
    for (float gain : radiation) EXPECT_EQ(gain, radiation[0]);
    EXPECT_EQ(stream.uniform(), reference.uniform()) << "exactly 5 uniforms per sample drawn";
  }
}

TEST(HorizontalRadiation, BlocksOfAnySizeDrawTheSameStream) {
  // 130 samples: two full blocks of 64 and a short one; the last draw must still line up.
  const rng::DrawSource root{rng::Pcg::seed(2)};
  rng::DrawSource stream = root.respawn(9);
  rng::DrawSource reference = root.respawn(9);
  std::vector<float> frequency_hz = {0.0f, 1.0f}, radiation(2);
  horizontal_radiation_spectrum(stream, degrees(10, 50, 70, 200, 110), frequency_hz, 0.0f, 130,
                                radiation);
  for (int n = 0; n < 5 * 130; ++n) reference.uniform();
  EXPECT_EQ(stream.uniform(), reference.uniform());
}

TEST(VerticalTakeoffCone, FortyDegreesAroundTheRayWithinTheUpwardHalf) {
  struct Case {
    float takeoff_deg, min_deg, max_deg;
  };
  for (const Case& c : {Case{170, 130, 180}, Case{100, 90, 140}, Case{30, 90, 70}}) {
    const TakeoffCone cone = vertical_takeoff_cone(c.takeoff_deg * kDegree);
    EXPECT_NEAR(cone.min_rad / kDegree, c.min_deg, 1e-4) << c.takeoff_deg;
    EXPECT_NEAR(cone.max_rad / kDegree, c.max_deg, 1e-4) << c.takeoff_deg;
  }
}

std::vector<float> uniform_row(std::uint64_t seed) {
  rng::DrawSource source{rng::Pcg::seed(seed)};
  std::vector<float> row(kSamples);
  source.fill_uniform(row);
  return row;
}

// Half the mean of |SV * sin(i')| over the cone, in double: i' uniform in cos(i') between the
// cone's bounds (ua = 0 at the lower bound), azimuth uniform over the circle.
double reference_vertical_average(const RadiationAngles& a, const std::vector<float>& ua,
                                  const std::vector<float>& ub) {
  const double low = std::max(a.takeoff_rad - 40 * kPi / 180, kPi / 2);
  const double high = std::min(a.takeoff_rad + 40 * kPi / 180, kPi);
  double sum = 0.0;
  for (std::size_t n = 0; n < kSamples; ++n) {
    const double takeoff = std::acos(ua[n] * std::cos(high) + (1 - ua[n]) * std::cos(low));
    const double azimuth = ub[n] * 2 * kPi;
    sum += std::abs(closed_form(a.strike_rad, a.dip_rad, a.rake_rad, azimuth, takeoff).sv *
                    std::sin(takeoff));
  }
  return sum / kSamples * 0.5;
}

TEST(VerticalRadiation, TheoreticalAtZeroFrequencyBlendingIntoTheConicalAverage) {
  const std::vector<float> ua = uniform_row(21), ub = uniform_row(22);
  // 0.001 and 0.01 Hz are the ends of the blend, 0.0055 Hz its midpoint.
  const std::vector<float> frequency_hz = {0.0f, 0.001f, 0.0055f, 0.01f, 0.05f, 12.0f};
  for (const RadiationAngles& a : {degrees(30, 45, 90, 75, 120), degrees(200, 60, -45, 10, 150),
                                   degrees(123, 77, -120, 250, 45)}) {
    std::vector<float> radiation(frequency_hz.size());
    vertical_radiation_spectrum(a, frequency_hz, ua, ub, kSamples, radiation);
    const double theoretical = closed_form(a).sv * std::sin(double{a.takeoff_rad});
    const double conical = reference_vertical_average(a, ua, ub);
    EXPECT_NEAR(radiation[0], theoretical, kPatternTolerance);
    EXPECT_EQ(radiation[1], radiation[0]);
    EXPECT_NEAR(radiation[2], (theoretical + conical) / 2, kAverageTolerance);
    EXPECT_NEAR(radiation[3], conical, kAverageTolerance);
    EXPECT_NEAR(radiation[4], conical, kAverageTolerance);
    EXPECT_EQ(radiation[5], radiation[4]);
  }
}

TEST(VerticalRadiation, SameRowsSameGainsWhateverTheOrder) {
  const std::vector<float> ua = uniform_row(5), ub = uniform_row(6);
  const std::vector<float> ua_copy = ua, ub_copy = ub;
  const std::vector<float> frequency_hz = {0.0f, 0.004f, 3.0f};
  const RadiationAngles first = degrees(30, 45, 90, 75, 120), second = degrees(0, 90, 0, 0, 95);
  const auto gains = [&](const RadiationAngles& a, const std::vector<float>& rows_a,
                         const std::vector<float>& rows_b) {
    std::vector<float> radiation(frequency_hz.size());
    vertical_radiation_spectrum(a, frequency_hz, rows_a, rows_b, kSamples, radiation);
    return radiation;
  };
  const std::vector<float> first_alone = gains(first, ua, ub);
  const std::vector<float> second_then = gains(second, ua, ub);
  EXPECT_EQ(gains(first, ua_copy, ub_copy), first_alone);
  EXPECT_EQ(gains(second, ua_copy, ub_copy), second_then);
}

// Gains of the scalar reference and of a vector kernel set differ only through the last bits of
// their sines, cosines and arc cosines: a few units in the last place of the row's largest gain
// (the blend of the vertical row mixes two gains of that size and can cancel to a smaller one).
constexpr int kKernelUlps = 8;

// How far `got` is from `expected`, in units in the last place of the row's largest magnitude.
double row_ulps_apart(const std::vector<float>& got, const std::vector<float>& expected) {
  float largest = 0.0f;
  for (const float g : expected) largest = std::max(largest, std::abs(g));
  const double ulp = std::nextafter(largest, INFINITY) - largest;
  double worst = 0.0;
  for (std::size_t b = 0; b < got.size(); ++b) {
    worst = std::max(worst, std::abs(double{got[b]} - expected[b]) / ulp);
  }
  return worst;
}

TEST(RadiationKernels, EveryRunnableSetAgreesWithTheScalarReference) {
  const simd::KernelSet& reference = simd::scalar_kernels();
  ASSERT_EQ(simd::runnable_kernels().front(), &reference);
  EXPECT_EQ(&simd::active_kernels(), simd::runnable_kernels().back());
  std::vector<RadiationAngles> orientations = kOrientations;
  rng::DrawSource angle_draws{rng::Pcg::seed(77)};
  for (int n = 0; n < 40; ++n) {
    float u[5];
    for (float& x : u) x = angle_draws.uniform();
    // Every fourth ray goes down, the others up.
    orientations.push_back(degrees(360 * u[0], 90 * u[1], 360 * u[2] - 180, 360 * u[3],
                                   90 + 90 * u[4] - (n % 4 == 0 ? 60 : 0)));
  }
  const std::vector<float> ua = uniform_row(31), ub = uniform_row(32);
  const std::vector<float> frequency_hz = {0.0f, 0.0055f, 2.0f};
  const rng::DrawSource root{rng::Pcg::seed(3)};
  for (const simd::KernelSet* set : simd::runnable_kernels()) {
    SCOPED_TRACE(set->name);
    // 1000 samples as in a run; 130 and 7 leave a last block, and a last vector, part full.
    for (const std::uint64_t samples : {kSamples, std::uint64_t{130}, std::uint64_t{7}}) {
      for (std::size_t k = 0; k < orientations.size(); ++k) {
        const RadiationAngles& a = orientations[k];
        std::vector<float> got(frequency_hz.size()), expected(frequency_hz.size());
        for (const float component_rad : {-1.5707964f, 0.0f}) {
          rng::DrawSource stream = root.respawn(k), reference_stream = root.respawn(k);
          kernels::horizontal_radiation_spectrum(*set, stream, a, frequency_hz, component_rad,
                                                 samples, got);
          kernels::horizontal_radiation_spectrum(reference, reference_stream, a, frequency_hz,
                                                 component_rad, samples, expected);
          EXPECT_LE(row_ulps_apart(got, expected), kKernelUlps) << k << " " << samples;
          EXPECT_EQ(stream.uniform(), reference_stream.uniform()) << "the same draws consumed";
        }
        kernels::vertical_radiation_spectrum(*set, a, frequency_hz, ua, ub, samples, got);
        kernels::vertical_radiation_spectrum(reference, a, frequency_hz, ua, ub, samples, expected);
        EXPECT_LE(row_ulps_apart(got, expected), kKernelUlps) << k << " " << samples;
      }
    }
  }
}

TEST(RadiationKernels, ArrivalGainsEqualTheThreeBuildersInTurn) {
  const std::vector<float> ua = uniform_row(41), ub = uniform_row(42);
  const std::vector<float> frequency_hz = {0.0f, 0.0055f, 2.0f};
  const std::array<float, 2> components = {-1.5707964f, 0.0f};
  const rng::DrawSource root{rng::Pcg::seed(4)};
  for (const simd::KernelSet* set : simd::runnable_kernels()) {
    SCOPED_TRACE(set->name);
    for (const std::uint64_t samples : {kSamples, std::uint64_t{130}, std::uint64_t{7}}) {
      RadiationScratch scratch(samples);
      for (std::size_t k = 0; k < kOrientations.size(); ++k) {
        const RadiationAngles& a = kOrientations[k];
        rng::DrawSource stream = root.respawn(k), reference = root.respawn(k);
        std::vector<std::vector<float>> got(3, std::vector<float>(frequency_hz.size()));
        std::vector<std::vector<float>> expected = got;
        kernels::arrival_radiation(*set, stream, a, frequency_hz, components, ua, ub, samples,
                                   scratch, {got[0], got[1], got[2]});
        for (std::size_t c = 0; c < 2; ++c) {
          kernels::horizontal_radiation_spectrum(*set, reference, a, frequency_hz, components[c],
                                                 samples, expected[c]);
        }
        kernels::vertical_radiation_spectrum(*set, a, frequency_hz, ua, ub, samples, expected[2]);
        EXPECT_EQ(got, expected) << k << " " << samples;
        EXPECT_EQ(stream.uniform(), reference.uniform()) << "the same draws consumed";
      }
    }
  }
}

TEST(RadiationGains, MalformedRowsAreInternalErrors) {
  const RadiationAngles a = degrees(30, 45, 90, 75, 120);
  const std::vector<float> frequency_hz(5), rows(kSamples), short_rows(kSamples - 1);
  std::vector<float> radiation(5), short_radiation(4);
  rng::DrawSource stream{rng::Pcg::seed(1)};
  EXPECT_EQ(internal_error_of([&] {
              horizontal_radiation_spectrum(stream, a, frequency_hz, 0.0f, kSamples,
                                            short_radiation);
            }),
            "a radiation row of 4 bins for 5 frequencies");
  EXPECT_EQ(internal_error_of([&] {
              vertical_radiation_spectrum(a, frequency_hz, rows, rows, kSamples, short_radiation);
            }),
            "a radiation row of 4 bins for 5 frequencies");
  EXPECT_EQ(internal_error_of([&] {
              vertical_radiation_spectrum(a, frequency_hz, short_rows, rows, kSamples, radiation);
            }),
            "the take-off row holds 999 uniforms for 1000 samples");
  EXPECT_EQ(internal_error_of([&] {
              vertical_radiation_spectrum(a, frequency_hz, rows, short_rows, kSamples, radiation);
            }),
            "the azimuth row holds 999 uniforms for 1000 samples");
}

}  // namespace
}  // namespace tolvane::radiation
