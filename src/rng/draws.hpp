// The interface every generator offers: uniform(), normal(), respawn(seed), and the two fillers,
// which each generator gets from here as a loop over its own uniform() or normal().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"

namespace tolvane::rng {

// (word >> 8) * 2^-24: one of the 2^24 values k * 2^-24, exact in f32; 0 is possible, 1 is not.
inline float unit_interval_from(std::uint32_t word) {
  return static_cast<float>(word >> 8) * 0x1p-24f;
}

template <class Generator>
struct Draws {
  // The loops run on a local copy, which the compiler keeps in registers, and store it back once.
  void fill_uniform(std::span<float> out) {
    Generator g = static_cast<Generator&>(*this);
    for (float& x : out) x = g.uniform();
    static_cast<Generator&>(*this) = g;
  }
  void fill_normal(std::span<float> out) {
    Generator g = static_cast<Generator&>(*this);
    for (float& x : out) x = g.normal();
    static_cast<Generator&>(*this) = g;
  }
  // The draws of fill_uniform, taken in groups of `group` and stored by position in the group:
  // with R = out.size() / group groups, draw j of group r goes to out[j * R + r], so the j-th
  // draws of all groups form one row. out.size() is a multiple of `group` (at least 1).
  void fill_uniform_grouped(std::span<float> out, std::size_t group) {
    ensure(group >= 1 && out.size() % group == 0, "{} uniforms do not make groups of {}",
           out.size(), group);
    const std::size_t groups = out.size() / group;
    Generator g = static_cast<Generator&>(*this);
    for (std::size_t r = 0; r < groups; ++r) {
      for (std::size_t j = 0; j < group; ++j) out[j * groups + r] = g.uniform();
    }
    static_cast<Generator&>(*this) = g;
  }
};

}  // namespace tolvane::rng
