// The interface every generator offers: uniform(), normal(), respawn(seed), and the two fillers,
// which each generator gets from here as a loop over its own uniform() or normal().
#pragma once

#include <cstdint>
#include <span>

namespace tolvane::rng {

// (word >> 8) * 2^-24: one of the 2^24 values k * 2^-24, exact in f32; 0 is possible, 1 is not.
inline float unit_interval_from(std::uint32_t word) {
  return static_cast<float>(word >> 8) * 5.9604645e-8f;
}

template <class Generator>
struct Draws {
  void fill_uniform(std::span<float> out) {
    Generator& g = static_cast<Generator&>(*this);
    for (float& x : out) x = g.uniform();
  }
  void fill_normal(std::span<float> out) {
    Generator& g = static_cast<Generator&>(*this);
    for (float& x : out) x = g.normal();
  }
};

}  // namespace tolvane::rng
