// The fixture generator: SplitMix64 seeded from a signed 32-bit integer, for reference runs.
#pragma once

#include <cstdint>

#include "rng/draws.hpp"
#include "rng/normal.hpp"

namespace tolvane::rng {

// SplitMix64 finaliser without the increment; mix64(0) == 0. Also seeds the streams (source.hpp).
inline std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class FixtureDraws : public Draws<FixtureDraws> {
 public:
  static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

  // State = irand sign-extended to 64 bits, XOR the golden-ratio increment.
  static FixtureDraws seed(std::int32_t irand);
  // Uses the low 32 bits of the seed, read as two's complement.
  FixtureDraws respawn(std::uint64_t seed) const;

  std::uint64_t next_word() {
    state_ += kGolden;
    return mix64(state_);
  }
  float uniform() { return unit_interval_from(static_cast<std::uint32_t>(next_word() >> 32)); }
  float normal() { return static_cast<float>(standard_normal(*this)); }

  std::uint64_t state() const { return state_; }

 private:
  explicit FixtureDraws(std::uint64_t state) : state_(state) {}
  std::uint64_t state_;
};

}  // namespace tolvane::rng
