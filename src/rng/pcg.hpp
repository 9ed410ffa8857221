// PCG-XSH-RR 64/32: a 64-bit LCG state with an odd increment and a 32-bit output per step.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rng/draws.hpp"
#include "rng/normal.hpp"

namespace tolvane::rng {

class Pcg : public Draws<Pcg> {
 public:
  static constexpr std::uint64_t kMultiplier = 0x5851F42D4C957F2DULL;

  // Expands one 64-bit seed into state and increment (four pre-advanced outputs).
  static Pcg seed(std::uint64_t seed);
  Pcg respawn(std::uint64_t seed) const { return Pcg::seed(seed); }

  // XSH-RR output of the current state, then one LCG step.
  std::uint32_t next_output() {
    const std::uint32_t out = output_of(state_);
    state_ = state_ * kMultiplier + increment_;
    return out;
  }
  // Two outputs in a row, the first as the low half: the words the normal sampler consumes.
  // Both states come straight from the current one, so the two steps do not wait on each other.
  std::uint64_t next_word() {
    const std::uint64_t low = output_of(state_);
    const std::uint64_t high = output_of(state_ * kMultiplier + increment_);
    state_ = state_ * kMultiplierSquared + increment_ * (kMultiplier + 1);
    return low | high << 32;
  }

  float uniform() { return unit_interval_from(next_output()); }
  // The fillers of uniforms give what a loop over uniform() gives, computed on several lanes at
  // once: each lane follows its own outputs with jumps of the LCG (k steps of s -> s M + c are
  // one affine map). Integer arithmetic only, so every instruction set gives the same values.
  void fill_uniform(std::span<float> out) { fill_uniform_grouped(out, 1); }
  void fill_uniform_grouped(std::span<float> out, std::size_t group);
  float normal() { return static_cast<float>(standard_normal(*this)); }

  std::uint64_t state() const { return state_; }
  std::uint64_t increment() const { return increment_; }

  // rotate_right_32(low 32 bits of ((state >> 18) ^ state) >> 27, state >> 59)
  static std::uint32_t output_of(std::uint64_t state) {
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    return std::rotr(xorshifted, static_cast<int>(state >> 59));
  }

 private:
  // Two LCG steps at once: s -> s * M^2 + c * (M + 1).
  static constexpr std::uint64_t kMultiplierSquared = kMultiplier * kMultiplier;

  Pcg(std::uint64_t state, std::uint64_t increment) : state_(state), increment_(increment) {}
  std::uint64_t state_;
  std::uint64_t increment_;
};

}  // namespace tolvane::rng
