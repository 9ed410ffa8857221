// Quarter-wavelength site amplification: factors at the table frequencies, the gain curve over a
// spectrum's bins, and its application to a spectrum.
#include "site.hpp"

#include <cmath>

#include "error.hpp"
#include "simd.hpp"
#include "wide_loops.hpp"

namespace tolvane::site {
namespace {

// Upper knot above the last table entry: a log frequency no bin reaches, so the slope is zero
// and the last factor holds up to Nyquist.
constexpr float kBeyondTableLogFrequency = 1e15f;

float narrow(double value) {
  return static_cast<float>(value);
}

// Vertical shear travel time through a layer, s.
double crossing_time_s(const state::Layer& layer) {
  return layer.thickness_km / layer.vsh_km_s;
}

// Shear velocity and density averaged over travel time down to the depth a vertical shear wave
// reaches in the quarter period `tq` (s). The walk stops at the source layer, whose properties
// are extended downward for whatever time is left.
struct QuarterWavelengthAverage {
  float velocity_km_s;
  float density_g_cm3;
};

QuarterWavelengthAverage quarter_wavelength_average(std::span<const state::Layer> vmod,
                                                    std::size_t source_layer, float tq) {
  ensure(vmod.size() >= 2,
         "the site amplification needs a layer below the air layer, the model has {} layers",
         vmod.size());
  float depth_km = 0.0f;      // H: thickness of the layers passed completely
  float density_time = 0.0f;  // A: sum of density * travel time over those layers
  float time_above_s = 0.0f;  // travel time down to the top of layer j
  float time_below_s = narrow(crossing_time_s(vmod[1]));  // ... and to its base
  std::size_t j = 1;
  while (!(time_below_s >= tq) && j != source_layer) {
    ++j;
    ensure(j < vmod.size(), "the quarter-wavelength walk ran past the last of {} layers",
           vmod.size());
    const state::Layer& passed = vmod[j - 1];
    time_above_s = time_below_s;
    depth_km = narrow(depth_km + passed.thickness_km);
    density_time =
        narrow(density_time + (passed.density_g_cm3 * passed.thickness_km) / passed.vsh_km_s);
    time_below_s = narrow(time_above_s + crossing_time_s(vmod[j]));
  }
  const state::Layer& last = vmod[j];
  const float remaining_s = tq - time_above_s;
  return {
      .velocity_km_s = narrow((depth_km + double{remaining_s} * last.vsh_km_s) / tq),
      .density_g_cm3 = narrow((density_time + double{remaining_s} * last.density_g_cm3) / tq),
  };
}

// One bracketing point of the gain interpolation.
struct Knot {
  float log_frequency;
  float factor;
};

// ln gain[k] for k < count on the straight line between `lower` and `upper`.
TOLVANE_WIDE_LOOPS void interpolate_logs(Knot lower, Knot upper, const float* log_frequency,
                                         std::size_t count, float* gain) {
  const float rise = upper.factor - lower.factor;
  const float run = upper.log_frequency - lower.log_frequency;
  for (std::size_t k = 0; k < count; ++k) {
    gain[k] = (log_frequency[k] - lower.log_frequency) * rise / run + lower.factor;
  }
}

}  // namespace

void site_amplification_factors(std::span<const state::Layer> vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency,
                                std::span<float> factors) {
  ensure(factors.size() == table_log_frequency.size(),
         "{} site factors for a site table of {} frequencies", factors.size(),
         table_log_frequency.size());
  const state::Layer& source = checked_at(vmod, source_layer);
  const float source_impedance = narrow(source.vsh_km_s * source.density_g_cm3);
  for (std::size_t i = 0; i < factors.size(); ++i) {
    const float tq = 0.25f / std::exp(table_log_frequency[i]);
    const QuarterWavelengthAverage top = quarter_wavelength_average(vmod, source_layer, tq);
    factors[i] = 0.5f * std::log(source_impedance / (top.density_g_cm3 * top.velocity_km_s));
  }
}

void site_gain_curve(std::span<const float> log_frequency_hz,
                     std::span<const float> table_log_frequency, std::span<const float> factors,
                     std::span<float> gain) {
  ensure(factors.size() == table_log_frequency.size(),
         "{} site factors for a site table of {} frequencies", factors.size(),
         table_log_frequency.size());
  ensure(!factors.empty(), "a site table needs at least one frequency");
  ensure(log_frequency_hz.size() == gain.size(), "{} log frequencies for a gain curve of {} bins",
         log_frequency_hz.size(), gain.size());
  ensure(!gain.empty(), "a gain curve covers at least the zero-frequency bin");

  // The row first holds the natural logarithms of the gains, then their exponentials, all at once.
  const std::size_t last_entry = factors.size() - 1;
  gain.front() = factors.front();
  gain.back() = factors[last_entry];

  // The bracket only moves forward: the bins come in increasing frequency. Bins are taken in
  // runs that stay in one bracket; each run is interpolated in a loop of its own.
  Knot lower{0.0f, factors[0]};
  Knot upper{table_log_frequency[0], factors[0]};
  std::size_t entry = 0;
  bool table_passed = false;
  const auto moves_on = [&](float x) { return x > upper.log_frequency && !table_passed; };
  const std::size_t end = gain.size() - 1;  // the last bin is not interpolated
  for (std::size_t k = 1; k < end;) {
    while (moves_on(log_frequency_hz[k])) {
      lower = upper;
      if (entry == last_entry) {
        upper = {kBeyondTableLogFrequency, factors[last_entry]};
        table_passed = true;
      } else {
        ++entry;
        upper = {table_log_frequency[entry], factors[entry]};
      }
    }
    std::size_t run_end = k + 1;
    while (run_end < end && !moves_on(log_frequency_hz[run_end])) ++run_end;
    interpolate_logs(lower, upper, log_frequency_hz.data() + k, run_end - k, gain.data() + k);
    k = run_end;
  }
  simd::active_kernels().exp(gain.data(), gain.data(), gain.size());
}

void apply_site_amplification(std::span<Complex> spectrum, std::span<const float> gain) {
  const std::size_t np2 = spectrum.size();
  const std::size_t np = np2 / 2;
  ensure(gain.size() == np + 1,
         "a gain curve covers the positive half plus Nyquist, {} bins for a {}-point transform",
         np + 1, np2);
  ensure(np2 >= 2 && np2 % 2 == 0,
         "a spectrum to amplify needs an even length of at least 2, got {}", np2);
  for (std::size_t k = 0; k <= np; ++k) {
    spectrum[k] = Complex(spectrum[k].real() * gain[k], spectrum[k].imag() * gain[k]);
  }
  for (std::size_t k = 1; k < np; ++k) spectrum[np2 - k] = std::conj(spectrum[k]);
}

}  // namespace tolvane::site
