// The vector kernels on 8 lanes with SLEEF's AVX2 functions (which use FMA). Built with
// -mavx2 -mfma: only reached after the CPU has been checked for both.
#include <sleef.h>

#include "radiation_lanes.hpp"
#include "simd.hpp"
#include "simd_lanes.hpp"

namespace tolvane::simd {
namespace {

struct Avx2Math {
  using Vec = float __attribute__((vector_size(32)));  // __m256 without may_alias
  static void sin_cos(Vec x, Vec& sin, Vec& cos) {
    const Sleef___m256_2 both = Sleef_sincosf8_u10avx2(x);
    sin = both.x;
    cos = both.y;
  }
  static Vec acos(Vec x) { return Sleef_acosf8_u10avx2(x); }
  static Vec exp(Vec x) { return Sleef_expf8_u10avx2(x); }
};

}  // namespace

extern constinit const KernelSet kAvx2Kernels{"avx2", 8, &radiation::horizontal_lanes<Avx2Math>,
                                              &radiation::vertical_lanes<Avx2Math>,
                                              &exp_lanes<Avx2Math>};

}  // namespace tolvane::simd
