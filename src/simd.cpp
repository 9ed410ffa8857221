// The scalar kernel set and the choice of the set a process uses.
#include "simd.hpp"

#include <array>
#include <cmath>

#include "radiation_kernels.hpp"

namespace tolvane::simd {

// The vector sets, each in a translation unit of its own built for its instruction set.
extern const KernelSet kSse2Kernels;
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;

namespace {

void exp_scalar(const float* x, float* y, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) y[i] = std::exp(x[i]);
}

constexpr KernelSet kScalarKernels{"scalar", 1, &radiation::kernels::horizontal_projections,
                                   &radiation::kernels::vertical_magnitudes, &exp_scalar};

// The sets this CPU runs, scalar first, widest last. The AVX sets need the OS to save the wider
// registers too, which the compiler's CPU test checks along with the instruction bits.
struct Runnable {
  std::array<const KernelSet*, 4> sets{};
  std::size_t count = 0;

  Runnable() {
    sets[count++] = &kScalarKernels;
#if defined(TOLVANE_X86_KERNELS)
    __builtin_cpu_init();
    sets[count++] = &kSse2Kernels;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
      sets[count++] = &kAvx2Kernels;
    }
    if (__builtin_cpu_supports("avx512f")) sets[count++] = &kAvx512Kernels;
#endif
  }
};

const Runnable& runnable() {
  static const Runnable sets;
  return sets;
}

}  // namespace

const KernelSet& scalar_kernels() {
  return kScalarKernels;
}

std::span<const KernelSet* const> runnable_kernels() {
  const Runnable& r = runnable();
  return std::span(r.sets).first(r.count);
}

const KernelSet& active_kernels() {
  static const KernelSet& widest = *runnable_kernels().back();
  return widest;
}

}  // namespace tolvane::simd
