// The vector kernels on 16 lanes with SLEEF's AVX-512F functions. Built with -mavx512f:
// only reached after the CPU has been checked for it. SLEEF's AVX2 and AVX-512F functions share
// one FMA-based algorithm, so these kernels give the AVX2 kernels' values at twice the width.
#include <sleef.h>

#include "radiation_lanes.hpp"
#include "simd.hpp"
#include "simd_lanes.hpp"

namespace tolvane::simd {
namespace {

struct Avx512Math {
  using Vec = float __attribute__((vector_size(64)));  // __m512 without may_alias
  static void sin_cos(Vec x, Vec& sin, Vec& cos) {
    const Sleef___m512_2 both = Sleef_sincosf16_u10avx512f(x);
    sin = both.x;
    cos = both.y;
  }
  static Vec acos(Vec x) { return Sleef_acosf16_u10avx512f(x); }
  static Vec exp(Vec x) { return Sleef_expf16_u10avx512f(x); }
};

}  // namespace

extern constinit const KernelSet kAvx512Kernels{
    "avx512f", 16, &radiation::horizontal_lanes<Avx512Math>, &radiation::vertical_lanes<Avx512Math>,
    &exp_lanes<Avx512Math>};

}  // namespace tolvane::simd
