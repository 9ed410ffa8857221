// Double-couple S-wave radiation patterns and the conical-average gain rows.
//
// The conical averages are the hot spot of a run: per (subfault, ray) the horizontal gains cost
// 2 x 1000 pattern evaluations on 10,000 fresh uniforms. A kernel (radiation_kernels.hpp) reads
// the uniforms of a run of samples (drawn by position in the sample for the horizontal average,
// the station's rows for the vertical one) and writes one value per sample; the values are then
// summed one by one in sample order (the order fixes the last bits). The single-component
// builders do this on stack blocks of kBlockSamples samples; arrival_radiation does it for the
// three components of an arrival at once, on the caller's scratch, and sums the three side by
// side. The scalar kernels here are the reference.
#include "radiation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "error.hpp"
#include "radiation_kernels.hpp"
#include "radiation_lanes.hpp"
#include "wide_loops.hpp"

namespace tolvane::radiation {

namespace {

using kernels::kBlockSamples;
using kernels::kUniformsPerSample;

// Half width of the vertical take-off cone: 40 degrees.
constexpr float kConeHalfWidthRad = 0.6981317f;
// The cone stays within the upward half: from horizontal (pi/2) to straight up (pi).
constexpr float kHorizontalTakeoffRad = 1.5707964f;
constexpr float kStraightUpTakeoffRad = 3.1415927f;
// The vertical gain is theoretical up to kBlendLowHz and conical above kBlendHighHz, linear in
// frequency between (kBlendWidthHz is their difference, as a constant of its own).
constexpr float kBlendLowHz = 0.001f;
constexpr float kBlendHighHz = 0.01f;
constexpr float kBlendWidthHz = 0.009f;

void ensure_row_matches(std::span<const float> frequency_hz, std::span<float> radiation) {
  ensure(radiation.size() == frequency_hz.size(), "a radiation row of {} bins for {} frequencies",
         radiation.size(), frequency_hz.size());
}

void ensure_rows_hold(std::span<const float> uniform_a, std::span<const float> uniform_b,
                      std::uint64_t sample_count) {
  ensure(uniform_a.size() >= sample_count, "the take-off row holds {} uniforms for {} samples",
         uniform_a.size(), sample_count);
  ensure(uniform_b.size() >= sample_count, "the azimuth row holds {} uniforms for {} samples",
         uniform_b.size(), sample_count);
}

std::size_t block_size(std::uint64_t done, std::uint64_t sample_count) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSamples, sample_count - done));
}

// The horizontal gain: the conical (root-mean-square) average with the sign of the unperturbed
// projection. Its blend weight towards the conical gain is 1 at every frequency, so the row is
// flat.
class HorizontalGain {
 public:
  HorizontalGain(const ShearRadiation& theoretical, const RadiationAngles& angles,
                 float component_rad) {
    const float offset_rad = component_rad - angles.azimuth_rad;
    const float projected =
        std::sin(offset_rad) * theoretical.sh + std::cos(offset_rad) * theoretical.sv;
    polarity_ = projected < 0.0f ? -1.0f : 1.0f;  // 0 and NaN count as positive
    theoretical_gain_ = std::abs(projected);
  }

  void fill(float sum_of_squares, std::uint64_t sample_count, std::span<float> radiation) const {
    const float conical_gain = std::sqrt(sum_of_squares / static_cast<float>(sample_count));
    const float gain = polarity_ * ((conical_gain - theoretical_gain_) + theoretical_gain_);
    std::fill(radiation.begin(), radiation.end(), gain);
  }

 private:
  float polarity_;
  float theoretical_gain_;
};

// radiation[k] for k < count: the theoretical gain up to kBlendLowHz, the conical gain above
// kBlendHighHz (and for a NaN frequency), linear in frequency between. Every bin computes the
// blend and then picks, so the loop has no branches and vectorises.
TOLVANE_WIDE_LOOPS void blend_row(float theoretical_gain, float conical_gain,
                                  const float* frequency_hz, std::size_t count, float* radiation) {
  for (std::size_t k = 0; k < count; ++k) {
    const float f = frequency_hz[k];
    const float blend = ((f + (-kBlendLowHz)) * (conical_gain - theoretical_gain)) / kBlendWidthHz +
                        theoretical_gain;
    radiation[k] = f <= kBlendLowHz ? theoretical_gain : (f <= kBlendHighHz ? blend : conical_gain);
  }
}

// The vertical gain: theoretical SV * sin(i) at zero frequency, blending into the conical average
// between kBlendLowHz and kBlendHighHz.
class VerticalGain {
 public:
  explicit VerticalGain(const RadiationAngles& angles) {
    const AngleTerms t = AngleTerms::of(angles);
    theoretical_gain_ = sv_from(t) * t.sin_takeoff;
    const TakeoffCone cone = vertical_takeoff_cone(angles.takeoff_rad);
    fault_ = {
        .sin_rake = t.sin_rake,
        .cos_rake = t.cos_rake,
        .sin_dip = t.sin_dip,
        .cos_dip = t.cos_dip,
        .strike_rad = angles.strike_rad,
        .cos_min = std::cos(cone.min_rad),
        .cos_max = std::cos(cone.max_rad),
    };
  }

  const kernels::VerticalFault& fault() const { return fault_; }

  void fill(float sum_of_magnitudes, std::uint64_t sample_count,
            std::span<const float> frequency_hz, std::span<float> radiation) const {
    const float conical_gain = (sum_of_magnitudes / static_cast<float>(sample_count)) * 0.5f;
    blend_row(theoretical_gain_, conical_gain, frequency_hz.data(), radiation.size(),
              radiation.data());
  }

 private:
  float theoretical_gain_;
  kernels::VerticalFault fault_;
};

}  // namespace

RadiationScratch::RadiationScratch(std::uint64_t sample_count)
    : uniforms(2 * kUniformsPerSample * sample_count), values(3 * sample_count) {}

namespace kernels {

// The reference kernels.
void horizontal_projections(const RadiationAngles& angles, float component_rad,
                            const float* uniforms, std::size_t count, float* projections) {
  for (std::size_t s = 0; s < count; ++s) {
    const auto u = [&](std::size_t j) { return uniforms[j * count + s]; };
    const RadiationAngles sample_angles{
        .strike_rad = perturbed(angles.strike_rad, u(2)),
        .dip_rad = perturbed(angles.dip_rad, u(3)),
        .rake_rad = perturbed(angles.rake_rad, u(4)),
        .azimuth_rad = perturbed(angles.azimuth_rad, u(1)),
        .takeoff_rad = perturbed(angles.takeoff_rad, u(0)),
    };
    const ShearRadiation sample = radiation_pattern(sample_angles);
    const float offset_rad = component_rad - sample_angles.azimuth_rad;
    projections[s] = sample.sh * std::sin(offset_rad) + sample.sv * std::cos(offset_rad);
  }
}

void vertical_magnitudes(const VerticalFault& fault, const float* uniform_a, const float* uniform_b,
                         std::size_t count, float* magnitudes) {
  for (std::size_t s = 0; s < count; ++s) {
    const float ua = uniform_a[s];
    const float takeoff_rad = std::acos(ua * fault.cos_max + (1.0f - ua) * fault.cos_min);
    const float phi_rad = uniform_b[s] * kFullCircleRad - fault.strike_rad;
    const AngleTerms sample{
        .sin_rake = fault.sin_rake,
        .cos_rake = fault.cos_rake,
        .sin_dip = fault.sin_dip,
        .cos_dip = fault.cos_dip,
        .sin_takeoff = std::sin(takeoff_rad),
        .cos_takeoff = std::cos(takeoff_rad),
        .sin_az = std::sin(phi_rad),
        .cos_az = std::cos(phi_rad),
    };
    magnitudes[s] = std::abs(sv_from(sample) * sample.sin_takeoff);
  }
}

void horizontal_radiation_spectrum(const KernelSet& set, rng::DrawSource& rng,
                                   const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::uint64_t sample_count, std::span<float> radiation) {
  ensure_row_matches(frequency_hz, radiation);
  const HorizontalGain gain(radiation_pattern(angles), angles, component_rad);
  float uniforms[kBlockSamples * kUniformsPerSample];
  float projections[kBlockSamples];
  float sum_of_squares = 0.0f;
  for (std::uint64_t done = 0; done < sample_count;) {
    const std::size_t count = block_size(done, sample_count);
    rng.fill_uniform_grouped(std::span(uniforms, count * kUniformsPerSample), kUniformsPerSample);
    set.horizontal(angles, component_rad, uniforms, count, projections);
    for (std::size_t s = 0; s < count; ++s) {
      sum_of_squares = sum_of_squares + projections[s] * projections[s];
    }
    done += count;
  }
  gain.fill(sum_of_squares, sample_count, radiation);
}

void vertical_radiation_spectrum(const KernelSet& set, const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::uint64_t sample_count, std::span<float> radiation) {
  ensure_row_matches(frequency_hz, radiation);
  ensure_rows_hold(uniform_a, uniform_b, sample_count);
  const VerticalGain gain(angles);
  float magnitudes[kBlockSamples];
  float sum_of_magnitudes = 0.0f;
  for (std::uint64_t done = 0; done < sample_count;) {
    const std::size_t count = block_size(done, sample_count);
    set.vertical(gain.fault(), uniform_a.data() + done, uniform_b.data() + done, count, magnitudes);
    for (std::size_t s = 0; s < count; ++s) sum_of_magnitudes = sum_of_magnitudes + magnitudes[s];
    done += count;
  }
  gain.fill(sum_of_magnitudes, sample_count, frequency_hz, radiation);
}

void arrival_radiation(const KernelSet& set, rng::DrawSource& rng, const RadiationAngles& angles,
                       std::span<const float> frequency_hz,
                       const std::array<float, 2>& component_rad, std::span<const float> uniform_a,
                       std::span<const float> uniform_b, std::uint64_t sample_count,
                       RadiationScratch& scratch,
                       const std::array<std::span<float>, 3>& radiation) {
  for (const std::span<float> row : radiation) ensure_row_matches(frequency_hz, row);
  ensure_rows_hold(uniform_a, uniform_b, sample_count);
  const std::size_t count = sample_count;
  const std::size_t per_component = kUniformsPerSample * count;
  ensure(scratch.uniforms.size() >= 2 * per_component && scratch.values.size() >= 3 * count,
         "radiation scratch of {} uniforms for {} samples", scratch.uniforms.size(), count);

  const ShearRadiation theoretical = radiation_pattern(angles);
  const std::array<HorizontalGain, 2> horizontal = {
      HorizontalGain(theoretical, angles, component_rad[0]),
      HorizontalGain(theoretical, angles, component_rad[1])};
  const VerticalGain vertical(angles);

  float* const uniforms = scratch.uniforms.data();
  float* const first = scratch.values.data();
  float* const second = first + count;
  float* const magnitudes = second + count;
  // All draws of the first component, then all of the second.
  rng.fill_uniform_grouped(std::span(uniforms, per_component), kUniformsPerSample);
  rng.fill_uniform_grouped(std::span(uniforms + per_component, per_component), kUniformsPerSample);
  set.horizontal(angles, component_rad[0], uniforms, count, first);
  set.horizontal(angles, component_rad[1], uniforms + per_component, count, second);
  set.vertical(vertical.fault(), uniform_a.data(), uniform_b.data(), count, magnitudes);

  float squares_first = 0.0f, squares_second = 0.0f, sum_of_magnitudes = 0.0f;
  for (std::size_t s = 0; s < count; ++s) {
    squares_first = squares_first + first[s] * first[s];
    squares_second = squares_second + second[s] * second[s];
    sum_of_magnitudes = sum_of_magnitudes + magnitudes[s];
  }
  horizontal[0].fill(squares_first, sample_count, radiation[0]);
  horizontal[1].fill(squares_second, sample_count, radiation[1]);
  vertical.fill(sum_of_magnitudes, sample_count, frequency_hz, radiation[2]);
}

}  // namespace kernels

AngleTerms AngleTerms::of(RadiationAngles angles) {
  const float phi_rad = angles.azimuth_rad - angles.strike_rad;
  return AngleTerms{
      .sin_rake = std::sin(angles.rake_rad),
      .cos_rake = std::cos(angles.rake_rad),
      .sin_dip = std::sin(angles.dip_rad),
      .cos_dip = std::cos(angles.dip_rad),
      .sin_takeoff = std::sin(angles.takeoff_rad),
      .cos_takeoff = std::cos(angles.takeoff_rad),
      .sin_az = std::sin(phi_rad),
      .cos_az = std::cos(phi_rad),
  };
}

float sh_from(const AngleTerms& t) {
  return sh_of(t.sin_rake, t.cos_rake, t.sin_dip, t.cos_dip, t.sin_takeoff, t.cos_takeoff, t.sin_az,
               t.cos_az);
}

float sv_from(const AngleTerms& t) {
  return sv_of(t.sin_rake, t.cos_rake, t.sin_dip, t.cos_dip, t.sin_takeoff, t.cos_takeoff, t.sin_az,
               t.cos_az);
}

ShearRadiation radiation_pattern(const RadiationAngles& angles) {
  const AngleTerms t = AngleTerms::of(angles);
  return {sh_from(t), sv_from(t)};
}

float sv_radiation(const RadiationAngles& angles) {
  return sv_from(AngleTerms::of(angles));
}

TakeoffCone vertical_takeoff_cone(float takeoff_rad) {
  return {std::max(takeoff_rad + (-kConeHalfWidthRad), kHorizontalTakeoffRad),
          std::min(takeoff_rad + kConeHalfWidthRad, kStraightUpTakeoffRad)};
}

void horizontal_radiation_spectrum(rng::DrawSource& rng, const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::uint64_t sample_count, std::span<float> radiation) {
  kernels::horizontal_radiation_spectrum(simd::active_kernels(), rng, angles, frequency_hz,
                                         component_rad, sample_count, radiation);
}

void vertical_radiation_spectrum(const RadiationAngles& angles, std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::uint64_t sample_count, std::span<float> radiation) {
  kernels::vertical_radiation_spectrum(simd::active_kernels(), angles, frequency_hz, uniform_a,
                                       uniform_b, sample_count, radiation);
}

void arrival_radiation(rng::DrawSource& rng, const RadiationAngles& angles,
                       std::span<const float> frequency_hz,
                       const std::array<float, 2>& component_rad, std::span<const float> uniform_a,
                       std::span<const float> uniform_b, std::uint64_t sample_count,
                       RadiationScratch& scratch,
                       const std::array<std::span<float>, 3>& radiation) {
  kernels::arrival_radiation(simd::active_kernels(), rng, angles, frequency_hz, component_rad,
                             uniform_a, uniform_b, sample_count, scratch, radiation);
}

}  // namespace tolvane::radiation
