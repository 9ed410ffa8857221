// The conical-average kernels on 8 lanes with SLEEF's AVX2 functions (which use FMA). Built with
// -mavx2 -mfma: only reached after the CPU has been checked for both.
#include <sleef.h>

#include "radiation_lanes.hpp"

namespace tolvane::radiation::kernels {
namespace {

struct Avx2Math {
  using Vec = __m256;
  static void sin_cos(Vec x, Vec& sin, Vec& cos) {
    const Sleef___m256_2 both = Sleef_sincosf8_u10avx2(x);
    sin = both.x;
    cos = both.y;
  }
  static Vec acos(Vec x) { return Sleef_acosf8_u10avx2(x); }
};

}  // namespace

extern constinit const KernelSet kAvx2Kernels{"avx2", 8, &horizontal_lanes<Avx2Math>,
                                              &vertical_lanes<Avx2Math>};

}  // namespace tolvane::radiation::kernels
