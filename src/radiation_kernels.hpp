// Kernels of the conical radiation averages: what each computes, and the gain builders with a
// given kernel set (simd.hpp) for tests that compare the sets.
//
// Both averages evaluate the radiation pattern on runs of samples and then sum the values one by
// one in sample order, so a kernel only decides how the values of a run are computed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "radiation.hpp"
#include "rng/source.hpp"
#include "simd.hpp"

namespace tolvane::radiation::kernels {

// Samples per block of the single-component builders: small enough for stack buffers.
inline constexpr std::size_t kBlockSamples = 64;
// Uniforms per horizontal sample, in draw order: take-off, azimuth, strike, dip, rake.
inline constexpr std::size_t kUniformsPerSample = 5;

// The horizontal kernel (simd::HorizontalKernel): projections[s], s < count, is the SH + SV
// pattern of the orientation perturbed by the five uniforms of sample s, projected onto the
// horizontal component at `component_rad`. `uniforms` holds them by position
// (DrawSource::fill_uniform_grouped): draw j of sample s at j * count + s.
void horizontal_projections(const RadiationAngles& angles, float component_rad,
                            const float* uniforms, std::size_t count, float* projections);

// What the samples of one vertical average share: the rake and dip terms, the strike and the
// cosines of the take-off cone's bounds.
struct VerticalFault {
  float sin_rake;
  float cos_rake;
  float sin_dip;
  float cos_dip;
  float strike_rad;
  float cos_min;  // cosine of the cone's lower take-off bound
  float cos_max;  // cosine of its upper bound
};

// The vertical kernel (simd::VerticalKernel): magnitudes[s], s < count, is |SV * sin(i')| for the
// take-off i' = acos(ua * cos_max + (1 - ua) * cos_min) and the azimuth ub * 2 pi.
void vertical_magnitudes(const VerticalFault& fault, const float* uniform_a, const float* uniform_b,
                         std::size_t count, float* magnitudes);

// These two, with the C library's functions, are the reference kernels of simd::scalar_kernels().

// The gain builders of radiation.hpp with the kernels of `set` (those take
// simd::active_kernels()).
using simd::KernelSet;
void horizontal_radiation_spectrum(const KernelSet& set, rng::DrawSource& rng,
                                   const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::uint64_t sample_count, std::span<float> radiation);
void vertical_radiation_spectrum(const KernelSet& set, const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::uint64_t sample_count, std::span<float> radiation);
void arrival_radiation(const KernelSet& set, rng::DrawSource& rng, const RadiationAngles& angles,
                       std::span<const float> frequency_hz,
                       const std::array<float, 2>& component_rad, std::span<const float> uniform_a,
                       std::span<const float> uniform_b, std::uint64_t sample_count,
                       RadiationScratch& scratch, const std::array<std::span<float>, 3>& radiation);

}  // namespace tolvane::radiation::kernels
