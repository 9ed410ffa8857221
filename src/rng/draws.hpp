// The interface every generator offers: uniform(), normal(), respawn(seed), and the two fillers,
// which each generator gets from here as a loop over its own uniform() or normal().
#pragma once

#include <cstdint>
#include <span>

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
};

}  // namespace tolvane::rng
