// Helpers for kernels over GCC vectors of floats, and the exponential of a row over lanes.
//
// A vector kernel is a template over a `Math` that names a vector of floats (`Vec`) and SLEEF's
// functions on it:
//   static void sin_cos(Vec x, Vec& sin, Vec& cos);
//   static Vec acos(Vec x);
//   static Vec exp(Vec x);
//
// Everything here has internal linkage (an unnamed namespace in a header, on purpose): the vector
// translation units compile it with their own instruction-set flags, and a copy built for one CPU
// must never be shared with code that runs on another.
#pragma once

#include <cstddef>

namespace tolvane::simd {
namespace {

template <class V>
constexpr std::size_t kLanesOf = sizeof(V) / sizeof(float);

// Every lane set to `x`.
template <class V>
V splat(float x) {
  V v;
  for (std::size_t l = 0; l < kLanesOf<V>; ++l) v[l] = x;
  return v;
}

// |x| lane by lane: the sign bit cleared, as fabsf does.
template <class V>
V magnitude(V x) {
  using Bits = decltype(x < x);  // the integer vector of the same shape
  return reinterpret_cast<V>(reinterpret_cast<Bits>(x) & 0x7FFFFFFF);
}

// The first `used` lanes from p (whole vectors in one load); the others 0.
template <class V>
V load(const float* p, std::size_t used) {
  V v = {};
  if (used == kLanesOf<V>) {
    __builtin_memcpy(&v, p, sizeof v);
  } else {
    for (std::size_t l = 0; l < used; ++l) v[l] = p[l];
  }
  return v;
}

template <class V>
void store(float* p, V v, std::size_t used) {
  if (used == kLanesOf<V>) {
    __builtin_memcpy(p, &v, sizeof v);
  } else {
    for (std::size_t l = 0; l < used; ++l) p[l] = v[l];
  }
}

// y[i] = exp(x[i]), i < count. Lanes past `count` compute on zeros and are not stored.
template <class Math>
void exp_lanes(const float* x, float* y, std::size_t count) {
  using V = typename Math::Vec;
  for (std::size_t first = 0; first < count; first += kLanesOf<V>) {
    const std::size_t used = count - first < kLanesOf<V> ? count - first : kLanesOf<V>;
    store(y + first, Math::exp(load<V>(x + first, used)), used);
  }
}

}  // namespace
}  // namespace tolvane::simd
