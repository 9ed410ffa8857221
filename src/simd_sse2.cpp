// The vector kernels on 4 lanes with SLEEF's SSE2 functions (every x86-64 CPU has SSE2).
#include <sleef.h>

#include "radiation_lanes.hpp"
#include "simd.hpp"
#include "simd_lanes.hpp"

namespace tolvane::simd {
namespace {

struct Sse2Math {
  using Vec = float __attribute__((vector_size(16)));  // __m128 without may_alias
  static void sin_cos(Vec x, Vec& sin, Vec& cos) {
    const Sleef___m128_2 both = Sleef_sincosf4_u10sse2(x);
    sin = both.x;
    cos = both.y;
  }
  static Vec acos(Vec x) { return Sleef_acosf4_u10sse2(x); }
  static Vec exp(Vec x) { return Sleef_expf4_u10sse2(x); }
};

}  // namespace

extern constinit const KernelSet kSse2Kernels{"sse2", 4, &radiation::horizontal_lanes<Sse2Math>,
                                              &radiation::vertical_lanes<Sse2Math>,
                                              &exp_lanes<Sse2Math>};

}  // namespace tolvane::simd
