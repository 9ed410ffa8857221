// Block kernels of the conical radiation averages and the choice among them.
//
// Both averages evaluate the radiation pattern on blocks of up to kBlockSamples samples and then
// sum the block's values one by one in sample order, so a kernel only decides how the values of a
// block are computed. The scalar kernels use the C library's sinf, cosf and acosf and are the
// reference. The vector kernels evaluate the same expressions, in the same order, over 4, 8 or
// 16 lanes with SLEEF's 1.0-ulp sine, cosine and arc cosine; they differ from the reference only
// by those functions' last bits. The set in use is chosen once per process from the CPU's
// features, so every run on one machine takes the same kernels, whatever the build or thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "radiation.hpp"
#include "rng/source.hpp"

namespace tolvane::radiation::kernels {

// Samples per block of the single-component builders: small enough for stack buffers.
inline constexpr std::size_t kBlockSamples = 64;
// Uniforms per horizontal sample, in draw order: take-off, azimuth, strike, dip, rake.
inline constexpr std::size_t kUniformsPerSample = 5;

// projections[s], s < count: the SH + SV pattern of the orientation perturbed by the five
// uniforms of sample s, projected onto the horizontal component at `component_rad`. `uniforms`
// holds them by position (DrawSource::fill_uniform_grouped): draw j of sample s at j * count + s.
using HorizontalKernel = void (*)(const RadiationAngles& angles, float component_rad,
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

// magnitudes[s], s < count: |SV * sin(i')| for the take-off
// i' = acos(ua * cos_max + (1 - ua) * cos_min) and the azimuth ub * 2 pi.
using VerticalKernel = void (*)(const VerticalFault& fault, const float* uniform_a,
                                const float* uniform_b, std::size_t count, float* magnitudes);

struct KernelSet {
  const char* name;
  std::size_t lanes;
  HorizontalKernel horizontal;
  VerticalKernel vertical;
};

// The C library kernels: the reference, and the fallback where no vector set runs.
const KernelSet& scalar_kernels();
// Every set this CPU can run, the scalar one first and the widest last.
std::span<const KernelSet* const> runnable_kernels();
// The widest runnable set, chosen on the first call and kept for the process.
const KernelSet& active_kernels();

// The gain builders of radiation.hpp with the kernels of `set` (those take active_kernels()).
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
