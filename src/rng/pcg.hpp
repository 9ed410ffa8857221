// PCG-XSH-RR 64/32: a 64-bit LCG state with an odd increment and a 32-bit output per step.
#pragma once

#include <cstdint>

#include "rng/draws.hpp"

namespace tolvane::rng {

class Pcg : public Draws<Pcg> {
 public:
  static constexpr std::uint64_t kMultiplier = 0x5851F42D4C957F2DULL;

  // Expands one 64-bit seed into state and increment (four pre-advanced outputs).
  static Pcg seed(std::uint64_t seed);
  Pcg respawn(std::uint64_t seed) const { return Pcg::seed(seed); }

  // XSH-RR output of the current state, then one LCG step.
  std::uint32_t next_output();
  // Two outputs in a row, the first as the low half: the words the normal sampler consumes.
  std::uint64_t next_word();

  float uniform() { return unit_interval_from(next_output()); }
  float normal();

  std::uint64_t state() const { return state_; }
  std::uint64_t increment() const { return increment_; }

 private:
  Pcg(std::uint64_t state, std::uint64_t increment) : state_(state), increment_(increment) {}
  std::uint64_t state_;
  std::uint64_t increment_;
};

}  // namespace tolvane::rng
