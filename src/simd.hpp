// Vector kernels, one set per x86-64 instruction set, and the choice among them.
//
// A set holds the few loops of a run that are worth writing for vector lanes by hand because they
// call mathematical functions: the pattern evaluations of the conical radiation averages (see
// radiation_kernels.hpp) and the exponential of a row. The scalar set calls the C library and is
// the reference. The vector sets evaluate the same expressions in the same order over 4, 8 or 16
// lanes with SLEEF's 1.0-ulp functions, so they differ from the reference only by those
// functions' last bits. The set in use is chosen once per process from the CPU's features: every
// run on one machine takes the same kernels, whatever the build, thread or batch.
#pragma once

#include <cstddef>
#include <span>

namespace tolvane::radiation {
struct RadiationAngles;
namespace kernels {
struct VerticalFault;
}  // namespace kernels
}  // namespace tolvane::radiation

namespace tolvane::simd {

// The radiation kernels (radiation_kernels.hpp says what they compute).
using HorizontalKernel = void (*)(const radiation::RadiationAngles& angles, float component_rad,
                                  const float* uniforms, std::size_t count, float* projections);
using VerticalKernel = void (*)(const radiation::kernels::VerticalFault& fault,
                                const float* uniform_a, const float* uniform_b, std::size_t count,
                                float* magnitudes);
// y[i] = exp(x[i]) for i < count, in single precision; y may be x.
using ExpKernel = void (*)(const float* x, float* y, std::size_t count);

struct KernelSet {
  const char* name;
  std::size_t lanes;
  HorizontalKernel horizontal;
  VerticalKernel vertical;
  ExpKernel exp;
};

// The C library kernels: the reference, and the fallback where no vector set runs.
const KernelSet& scalar_kernels();
// Every set this CPU can run, the scalar one first and the widest last.
std::span<const KernelSet* const> runnable_kernels();
// The widest runnable set, chosen on the first call and kept for the process.
const KernelSet& active_kernels();

}  // namespace tolvane::simd
