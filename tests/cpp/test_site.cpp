// Quarter-wavelength factors against an independent travel-time average, the gain curve's
// interpolation and ends, and the application to a spectrum with its conjugate mirror.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "simd.hpp"
#include "site.hpp"

namespace tolvane::site {
namespace {

using state::Layer;

// f32 rounding of a few sums, products and a logarithm or exponential; a wrong layer, time or
// interpolation step moves the results by orders of magnitude more.
constexpr double kFactorTolerance = 2e-6;
constexpr float kGainRelativeTolerance = 1e-6f;

const std::vector<float> kTableHz = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,
                                     0.3f,  0.5f,  0.7f,  1.0f,  2.0f,  3.0f, 5.0f,
                                     7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

std::vector<float> table_log_frequency() {
  std::vector<float> out;
  for (float f : kTableHz) out.push_back(std::log(f));
  return out;
}

Layer layer(double thickness_km, double vsh_km_s, double density_g_cm3) {
  return Layer{.depth_km = 0.0,
               .thickness_km = thickness_km,
               .vp_km_s = vsh_km_s * 1.7,
               .vsh_km_s = vsh_km_s,
               .density_g_cm3 = density_g_cm3,
               .attenuation_p = 500.0f,
               .attenuation_s = 250.0f};
}

const Layer kAir = layer(0.0001, 0.0005000000237487257, 0.0010000000474974513);

// The amplification from its definition: follow a vertical shear wave down for a quarter period
// from layer 1, staying in the source layer once it is reached, and average the velocity
// (depth reached over time) and the density over travel time.
double reference_factor(const std::vector<Layer>& vmod, std::size_t source_layer, double f_hz) {
  const double tq = 0.25 / f_hz;
  double time_left = tq, depth = 0.0, density_time = 0.0;
  for (std::size_t j = 1; time_left > 0.0; ++j) {
    const Layer& l = vmod.at(j);
    const double t =
        j == source_layer ? time_left : std::min(time_left, l.thickness_km / l.vsh_km_s);
    depth += t * l.vsh_km_s;
    density_time += t * l.density_g_cm3;
    time_left -= t;
  }
  const Layer& src = vmod[source_layer];
  return 0.5 * std::log((src.vsh_km_s * src.density_g_cm3) / ((density_time / tq) * (depth / tq)));
}

std::vector<float> factors_of(const std::vector<Layer>& vmod, std::size_t source_layer) {
  const std::vector<float> table = table_log_frequency();
  std::vector<float> factors(table.size());
  site_amplification_factors(vmod, source_layer, table, factors);
  return factors;
}

TEST(SiteFactors, MatchTheTravelTimeAverageOfTheTopQuarterWavelength) {
  // Quarter periods run from 25 s (0.01 Hz) to 3.6 ms (70 Hz): the high frequencies end in the
  // thin top layers, the low ones reach past the source and extend it downward.
  const std::vector<Layer> vmod = {kAir,
                                   layer(0.002, 0.4, 1.9),
                                   layer(0.03, 0.9, 2.1),
                                   layer(0.5, 2.0, 2.4),
                                   layer(4.0, 3.2, 2.6),
                                   layer(10.0, 3.6, 2.8),
                                   layer(0.0, 4.5, 3.3)};
  struct Case {
    std::size_t source_layer;
    const char* why;
  };
  for (const Case& c : {Case{4, "source in a middle layer"}, Case{6, "source in the half-space"},
                        Case{2, "source below one thin layer"}}) {
    SCOPED_TRACE(c.why);
    const std::vector<float> factors = factors_of(vmod, c.source_layer);
    for (std::size_t i = 0; i < kTableHz.size(); ++i) {
      EXPECT_NEAR(factors[i], reference_factor(vmod, c.source_layer, kTableHz[i]), kFactorTolerance)
          << kTableHz[i] << " Hz";
    }
    EXPECT_GT(factors.back(), factors.front()) << "shallow slow layers amplify high frequencies";
  }
}

TEST(SiteFactors, VanishWhereTheTopMatchesTheSource) {
  struct Case {
    std::vector<Layer> vmod;
    std::size_t source_layer;
    const char* why;
  };
  const std::vector<Case> cases = {
      {{kAir, layer(0.5, 3.0, 2.7), layer(2.0, 3.0, 2.7), layer(0.0, 3.0, 2.7)},
       3,
       "layers 1 to the source alike"},
      {{kAir, layer(0.001, 3.0, 2.7), layer(2.0, 1.0, 2.0), layer(0.0, 4.5, 3.3)},
       1,
       "source in layer 1 uses layer 1 alone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    for (float factor : factors_of(c.vmod, c.source_layer)) EXPECT_NEAR(factor, 0.0f, 1e-6f);
  }
  // ... and the gain is then 1 at every bin.
  const std::vector<float> table = table_log_frequency();
  const std::vector<float> factors = factors_of(cases[0].vmod, cases[0].source_layer);
  std::vector<float> log_f = {-std::numeric_limits<float>::infinity(),
                              std::log(0.001f),
                              std::log(0.15f),
                              std::log(4.0f),
                              std::log(100.0f),
                              std::log(200.0f)};
  std::vector<float> gain(log_f.size());
  site_gain_curve(log_f, table, factors, gain);
  for (float g : gain) EXPECT_NEAR(g, 1.0f, 2e-6f);
}

TEST(SiteFactors, BrokenModelsAreInternalErrors) {
  const std::vector<float> table = table_log_frequency();
  std::vector<float> factors(table.size());
  std::vector<float> short_factors(3);
  // A subfault in the air layer never meets its own layer on the walk: a quarter period longer
  // than the whole model runs off its bottom.
  const std::vector<Layer> model = {kAir, layer(1.0, 2.0, 2.2), layer(0.0, 3.5, 2.7)};
  struct Case {
    std::vector<Layer> vmod;
    std::size_t source_layer;
    std::span<float> out;
    std::string message;
  };
  const std::vector<Case> cases = {
      {model, 0, factors, "the quarter-wavelength walk ran past the last of 3 layers"},
      {{kAir},
       0,
       factors,
       "the site amplification needs a layer below the air layer, the model has 1 layers"},
      {model, 1, short_factors, "3 site factors for a site table of 20 frequencies"},
      {model, 3, factors, "index 3 is outside a list of 3 entries"},
  };
  for (const Case& c : cases) {
    try {
      site_amplification_factors(c.vmod, c.source_layer, table, c.out);
      ADD_FAILURE() << "no error for: " << c.message;
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(SiteGainCurve, InterpolatesInLogLogAndHoldsOutsideTheTable) {
  const std::vector<float> table = table_log_frequency();
  std::vector<float> factors;
  for (std::size_t i = 0; i < table.size(); ++i) factors.push_back(0.05f * (i * i % 7) - 0.1f);
  const std::vector<float> log_f = {
      -std::numeric_limits<float>::infinity(),  // DC: not read
      std::log(0.004f),                         // below the table
      table[0],                                 // on the first entry
      std::log(1.5f),                           // between 1 and 2 Hz
      table[11],                                // on the 2 Hz entry
      table[12],                                // on the next entry, one step of the bracket
      std::log(6.0f),                           // between 5 and 7 Hz, skipping nothing
      std::log(71.0f),                          // above the table
      std::log(400.0f),                         //
      std::numeric_limits<float>::quiet_NaN(),  // Nyquist: not read
  };
  // The straight line between entries i and i + 1, in double.
  const auto between = [&](std::size_t i, float x) {
    return factors[i] + (double{x} - table[i]) * (factors[i + 1] - factors[i]) /
                            (double{table[i + 1]} - table[i]);
  };
  const std::vector<double> expected_ln = {factors[0],
                                           factors[0],
                                           factors[0],
                                           between(10, log_f[3]),
                                           factors[11],
                                           factors[12],
                                           between(13, log_f[6]),
                                           factors[19],
                                           factors[19],
                                           factors[19]};
  std::vector<float> gain(log_f.size());
  site_gain_curve(log_f, table, factors, gain);
  for (std::size_t k = 0; k < gain.size(); ++k) {
    EXPECT_NEAR(gain[k], std::exp(expected_ln[k]), kGainRelativeTolerance * gain[k]) << "bin " << k;
  }
  // Exactly the exponential of the end factors, by the process's exponential (the C library's
  // in the scalar build).
  float ends[2] = {factors[0], factors[19]};
  simd::active_kernels().exp(ends, ends, 2);
  EXPECT_EQ(gain[0], ends[0]);
  EXPECT_EQ(gain.back(), ends[1]);
}

TEST(SiteGainCurve, MismatchedLengthsAreInternalErrors) {
  const std::vector<float> table = table_log_frequency();
  const std::vector<float> factors(table.size()), short_factors(5), log_f(6);
  std::vector<float> gain(6), short_gain(4);
  struct Case {
    std::span<const float> factors;
    std::span<float> gain;
    std::string message;
  };
  for (const Case& c :
       {Case{short_factors, gain, "5 site factors for a site table of 20 frequencies"},
        Case{factors, short_gain, "6 log frequencies for a gain curve of 4 bins"}}) {
    try {
      site_gain_curve(log_f, table, c.factors, c.gain);
      ADD_FAILURE() << "no error for: " << c.message;
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(ApplySiteAmplification, ScalesThePositiveHalfAndMirrorsItsConjugate) {
  // np2 = 8: bins 0..4 scaled, bins 5, 6, 7 rebuilt from 3, 2, 1 whatever they held.
  std::vector<Complex> spectrum = {{1, -2}, {3, 4},   {-5, 6}, {7, -8},
                                   {9, 10}, {99, 99}, {-1, 0}, {0, 42}};
  const std::vector<Complex> before = spectrum;
  const std::vector<float> gain = {2.0f, 0.5f, -1.0f, 3.0f, 0.25f};
  apply_site_amplification(spectrum, gain);
  for (std::size_t k = 0; k <= 4; ++k) {
    EXPECT_EQ(spectrum[k], Complex(before[k].real() * gain[k], before[k].imag() * gain[k]))
        << "bin " << k;
  }
  for (std::size_t k = 1; k < 4; ++k) EXPECT_EQ(spectrum[8 - k], std::conj(spectrum[k])) << k;
  EXPECT_EQ(spectrum[4], Complex(2.25f, 2.5f)) << "Nyquist is scaled, not conjugated";

  std::vector<Complex> shortest = {{1, 1}, {2, -2}};
  apply_site_amplification(shortest, std::vector<float>{3.0f, 5.0f});
  EXPECT_EQ(shortest, (std::vector<Complex>{{3, 3}, {10, -10}}));
}

TEST(ApplySiteAmplification, MalformedLengthsAreInternalErrors) {
  struct Case {
    std::size_t np2;
    std::size_t gain_bins;
    std::string message;
  };
  for (const Case& c : {
           Case{8, 4,
                "a gain curve covers the positive half plus Nyquist, 5 bins for a 8-point "
                "transform"},
           Case{9, 5, "a spectrum to amplify needs an even length of at least 2, got 9"},
           Case{0, 1, "a spectrum to amplify needs an even length of at least 2, got 0"},
       }) {
    std::vector<Complex> spectrum(c.np2);
    const std::vector<float> gain(c.gain_bins, 1.0f);
    try {
      apply_site_amplification(spectrum, gain);
      ADD_FAILURE() << "no error for: " << c.message;
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace tolvane::site
