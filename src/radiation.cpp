// Double-couple S-wave radiation patterns and the conical-average gain rows.
//
// The conical averages are the hot spot of a run: per (subfault, ray) the horizontal gains cost
// 2 x 1000 pattern evaluations on 10,000 fresh uniforms. Both averages work on blocks of
// kBlockSamples samples: a branch-free kernel reads the block's uniforms (drawn into a fixed stack
// buffer for the horizontal average, the station's rows for the vertical one) and writes one value
// per sample into a stack buffer, and the values are then summed one by one in sample order (the
// order fixes the last bits). The kernels below are the scalar reference; a vectorised kernel can
// take their place over the same buffers.
#include "radiation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "error.hpp"

namespace tolvane::radiation {
namespace {

// Samples per block: enough to amortise the generator dispatch, small enough for the stack.
constexpr std::size_t kBlockSamples = 64;
// Uniforms per horizontal sample, in draw order: take-off, azimuth, strike, dip, rake.
constexpr std::size_t kUniformsPerSample = 5;

// Each horizontal sample moves every angle uniformly by up to +-pi/4: a width of pi/2.
constexpr float kPerturbationWidthRad = 1.5707964f;
// Half width of the vertical take-off cone: 40 degrees.
constexpr float kConeHalfWidthRad = 0.6981317f;
// The cone stays within the upward half: from horizontal (pi/2) to straight up (pi).
constexpr float kHorizontalTakeoffRad = 1.5707964f;
constexpr float kStraightUpTakeoffRad = 3.1415927f;
constexpr float kFullCircleRad = 6.2831855f;
// The vertical gain is theoretical up to kBlendLowHz and conical above kBlendHighHz, linear in
// frequency between (kBlendWidthHz is their difference, as a constant of its own).
constexpr float kBlendLowHz = 0.001f;
constexpr float kBlendHighHz = 0.01f;
constexpr float kBlendWidthHz = 0.009f;

float perturbed(float angle_rad, float uniform) {
  return (0.5f - uniform) * kPerturbationWidthRad + angle_rad;
}

// Kernel of the horizontal average: the projection of the pattern of each perturbed orientation
// onto the component. `uniforms` holds kUniformsPerSample draws per entry of `projections`.
void horizontal_projections(const RadiationAngles& angles, float component_rad,
                            std::span<const float> uniforms, std::span<float> projections) {
  for (std::size_t s = 0; s < projections.size(); ++s) {
    const float* u = uniforms.data() + s * kUniformsPerSample;
    const RadiationAngles sample_angles{
        .strike_rad = perturbed(angles.strike_rad, u[2]),
        .dip_rad = perturbed(angles.dip_rad, u[3]),
        .rake_rad = perturbed(angles.rake_rad, u[4]),
        .azimuth_rad = perturbed(angles.azimuth_rad, u[1]),
        .takeoff_rad = perturbed(angles.takeoff_rad, u[0]),
    };
    const ShearRadiation sample = radiation_pattern(sample_angles);
    const float offset_rad = component_rad - sample_angles.azimuth_rad;
    projections[s] = sample.sh * std::sin(offset_rad) + sample.sv * std::cos(offset_rad);
  }
}

// Kernel of the vertical average: |SV * sin(i')| for take-off angles uniform in cos(i') between
// `cos_min` and `cos_max` and azimuths uniform over the circle. `fault` carries the rake and dip
// terms, which the samples share.
void vertical_magnitudes(const AngleTerms& fault, float strike_rad, float cos_min, float cos_max,
                         std::span<const float> uniform_a, std::span<const float> uniform_b,
                         std::span<float> magnitudes) {
  for (std::size_t s = 0; s < magnitudes.size(); ++s) {
    const float ua = uniform_a[s];
    const float takeoff_rad = std::acos(ua * cos_max + (1.0f - ua) * cos_min);
    const float phi_rad = uniform_b[s] * kFullCircleRad - strike_rad;
    AngleTerms sample = fault;
    sample.sin_takeoff = std::sin(takeoff_rad);
    sample.cos_takeoff = std::cos(takeoff_rad);
    sample.sin_az = std::sin(phi_rad);
    sample.cos_az = std::cos(phi_rad);
    magnitudes[s] = std::abs(sv_from(sample) * sample.sin_takeoff);
  }
}

void ensure_row_matches(std::span<const float> frequency_hz, std::span<float> radiation) {
  ensure(radiation.size() == frequency_hz.size(), "a radiation row of {} bins for {} frequencies",
         radiation.size(), frequency_hz.size());
}

}  // namespace

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
  const float sl = t.sin_rake, cl = t.cos_rake, sd = t.sin_dip, cd = t.cos_dip;
  const float si = t.sin_takeoff, ci = t.cos_takeoff, sp = t.sin_az, cp = t.cos_az;
  const float a = (ci * (cd * cl)) * sp;
  const float b = (cp * cp - sp * sp) * ((cl * sd) * si);
  const float c = (ci * ((cd * cd - sd * sd) * sl)) * cp;
  const float d = (((si * ((sd * sl) * cd)) * 2.0f) * sp) * cp;
  return (c + (b + a)) - d;
}

float sv_from(const AngleTerms& t) {
  const float sl = t.sin_rake, cl = t.cos_rake, sd = t.sin_dip, cd = t.cos_dip;
  const float si = t.sin_takeoff, ci = t.cos_takeoff, sp = t.sin_az, cp = t.cos_az;
  const float cos2i = ci * ci - si * si;
  const float e = (((cd * cd - sd * sd) * sl) * cos2i) * sp;
  const float f = (cos2i * (cd * cl)) * cp;
  const float h = (((((cl * sd) * si) * ci) * 2.0f) * sp) * cp;
  const float i = (sp * sp + 1.0f) * (((((sd * sl) * cd) * 2.0f) * si) * ci);
  return (h + (e - f)) - i;
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
  ensure_row_matches(frequency_hz, radiation);
  const ShearRadiation theoretical = radiation_pattern(angles);
  const float offset_rad = component_rad - angles.azimuth_rad;
  const float projected =
      std::sin(offset_rad) * theoretical.sh + std::cos(offset_rad) * theoretical.sv;
  const float polarity = projected < 0.0f ? -1.0f : 1.0f;  // 0 and NaN count as positive
  const float theoretical_gain = std::abs(projected);

  float uniforms[kBlockSamples * kUniformsPerSample];
  float projections[kBlockSamples];
  float sum_of_squares = 0.0f;
  for (std::uint64_t done = 0; done < sample_count;) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSamples, sample_count - done));
    const std::span<float> block_uniforms(uniforms, count * kUniformsPerSample);
    const std::span<float> block(projections, count);
    rng.fill_uniform(block_uniforms);
    horizontal_projections(angles, component_rad, block_uniforms, block);
    for (const float p : block) sum_of_squares = sum_of_squares + p * p;
    done += count;
  }
  const float conical_gain = std::sqrt(sum_of_squares / static_cast<float>(sample_count));

  // The horizontal gain is flat: its blend weight towards the conical gain is 1 at every
  // frequency, so every bin gets the conical gain with the sign of the theoretical projection.
  const float gain = polarity * ((conical_gain - theoretical_gain) + theoretical_gain);
  std::fill(radiation.begin(), radiation.end(), gain);
}

void vertical_radiation_spectrum(const RadiationAngles& angles, std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::uint64_t sample_count, std::span<float> radiation) {
  ensure_row_matches(frequency_hz, radiation);
  ensure(uniform_a.size() >= sample_count, "the take-off row holds {} uniforms for {} samples",
         uniform_a.size(), sample_count);
  ensure(uniform_b.size() >= sample_count, "the azimuth row holds {} uniforms for {} samples",
         uniform_b.size(), sample_count);
  const AngleTerms t = AngleTerms::of(angles);
  const float theoretical_gain = sv_from(t) * t.sin_takeoff;
  const TakeoffCone cone = vertical_takeoff_cone(angles.takeoff_rad);
  const float cos_min = std::cos(cone.min_rad);
  const float cos_max = std::cos(cone.max_rad);

  float magnitudes[kBlockSamples];
  float sum_of_magnitudes = 0.0f;
  for (std::uint64_t done = 0; done < sample_count;) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSamples, sample_count - done));
    const std::span<float> block(magnitudes, count);
    vertical_magnitudes(t, angles.strike_rad, cos_min, cos_max, uniform_a.subspan(done, count),
                        uniform_b.subspan(done, count), block);
    for (const float m : block) sum_of_magnitudes = sum_of_magnitudes + m;
    done += count;
  }
  const float conical_gain = (sum_of_magnitudes / static_cast<float>(sample_count)) * 0.5f;

  for (std::size_t k = 0; k < radiation.size(); ++k) {
    const float f = frequency_hz[k];
    if (f <= kBlendLowHz) {
      radiation[k] = theoretical_gain;
    } else if (f <= kBlendHighHz) {
      radiation[k] = ((f + (-kBlendLowHz)) * (conical_gain - theoretical_gain)) / kBlendWidthHz +
                     theoretical_gain;
    } else {
      radiation[k] = conical_gain;  // also for a NaN frequency
    }
  }
}

}  // namespace tolvane::radiation
