// The SH and SV expressions, written once for a float or a vector of floats, and the kernels of
// the conical averages over vectors of lanes (`horizontal_lanes<Math>`, `vertical_lanes<Math>`,
// with `Math` as in simd_lanes.hpp).
//
// Every lane runs the scalar reference's operations in the same order (the build never contracts
// them into fused multiply-adds), so lanes and reference differ only where the library functions
// differ. Internal linkage throughout, for the reason given in simd_lanes.hpp.
#pragma once

#include <cstddef>

#include "radiation.hpp"
#include "radiation_kernels.hpp"
#include "simd_lanes.hpp"

namespace tolvane::radiation {
namespace {

// Sines and cosines: l rake, d dip, i take-off, p phi = azimuth - strike.
template <class T>
T sh_of(T sl, T cl, T sd, T cd, T si, T ci, T sp, T cp) {
  const T a = (ci * (cd * cl)) * sp;
  const T b = (cp * cp - sp * sp) * ((cl * sd) * si);
  const T c = (ci * ((cd * cd - sd * sd) * sl)) * cp;
  const T d = (((si * ((sd * sl) * cd)) * 2.0f) * sp) * cp;
  return (c + (b + a)) - d;
}

template <class T>
T sv_of(T sl, T cl, T sd, T cd, T si, T ci, T sp, T cp) {
  const T cos2i = ci * ci - si * si;
  const T e = (((cd * cd - sd * sd) * sl) * cos2i) * sp;
  const T f = (cos2i * (cd * cl)) * cp;
  const T h = (((((cl * sd) * si) * ci) * 2.0f) * sp) * cp;
  const T i = (sp * sp + 1.0f) * (((((sd * sl) * cd) * 2.0f) * si) * ci);
  return (h + (e - f)) - i;
}

// Each horizontal sample moves an angle uniformly by up to +-pi/4: a width of pi/2.
constexpr float kPerturbationWidthRad = 1.5707964f;
constexpr float kFullCircleRad = 6.2831855f;

template <class T>
T perturbed(float angle_rad, T uniform) {
  return (0.5f - uniform) * kPerturbationWidthRad + angle_rad;
}

using simd::kLanesOf;
using simd::load;
using simd::magnitude;
using simd::splat;
using simd::store;

template <class Math>
void horizontal_lanes(const RadiationAngles& angles, float component_rad, const float* uniforms,
                      std::size_t count, float* projections) {
  using V = typename Math::Vec;
  constexpr std::size_t lanes = kLanesOf<V>;
  const float* takeoff_u = uniforms;
  const float* azimuth_u = uniforms + count;
  const float* strike_u = uniforms + 2 * count;
  const float* dip_u = uniforms + 3 * count;
  const float* rake_u = uniforms + 4 * count;
  for (std::size_t first = 0; first < count; first += lanes) {
    // Lanes past `count` compute on zeros and are not stored.
    const std::size_t used = count - first < lanes ? count - first : lanes;
    const V takeoff = perturbed(angles.takeoff_rad, load<V>(takeoff_u + first, used));
    const V azimuth = perturbed(angles.azimuth_rad, load<V>(azimuth_u + first, used));
    const V strike = perturbed(angles.strike_rad, load<V>(strike_u + first, used));
    const V dip = perturbed(angles.dip_rad, load<V>(dip_u + first, used));
    const V rake = perturbed(angles.rake_rad, load<V>(rake_u + first, used));
    V sl, cl, sd, cd, si, ci, sp, cp, so, co;
    Math::sin_cos(rake, sl, cl);
    Math::sin_cos(dip, sd, cd);
    Math::sin_cos(takeoff, si, ci);
    Math::sin_cos(azimuth - strike, sp, cp);
    Math::sin_cos(component_rad - azimuth, so, co);
    const V sh = sh_of(sl, cl, sd, cd, si, ci, sp, cp);
    const V sv = sv_of(sl, cl, sd, cd, si, ci, sp, cp);
    store(projections + first, sh * so + sv * co, used);
  }
}

template <class Math>
void vertical_lanes(const kernels::VerticalFault& fault, const float* uniform_a,
                    const float* uniform_b, std::size_t count, float* magnitudes) {
  using V = typename Math::Vec;
  constexpr std::size_t lanes = kLanesOf<V>;
  const V sl = splat<V>(fault.sin_rake), cl = splat<V>(fault.cos_rake);
  const V sd = splat<V>(fault.sin_dip), cd = splat<V>(fault.cos_dip);
  for (std::size_t first = 0; first < count; first += lanes) {
    const std::size_t used = count - first < lanes ? count - first : lanes;
    const V ua = load<V>(uniform_a + first, used);
    const V ub = load<V>(uniform_b + first, used);
    const V takeoff = Math::acos(ua * fault.cos_max + (1.0f - ua) * fault.cos_min);
    V si, ci, sp, cp;
    Math::sin_cos(takeoff, si, ci);
    Math::sin_cos(ub * kFullCircleRad - fault.strike_rad, sp, cp);
    store(magnitudes + first, magnitude(sv_of(sl, cl, sd, cd, si, ci, sp, cp) * si), used);
  }
}

}  // namespace
}  // namespace tolvane::radiation
