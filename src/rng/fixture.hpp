// The fixture generator: SplitMix64 seeded from a signed 32-bit integer, for reference runs.
#pragma once

#include <cstdint>

#include "rng/draws.hpp"

namespace tolvane::rng {

class FixtureDraws : public Draws<FixtureDraws> {
 public:
  static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

  static FixtureDraws seed(std::int32_t irand);
  // Uses the low 32 bits of the seed, read as two's complement.
  FixtureDraws respawn(std::uint64_t seed) const;

  std::uint64_t next_word();
  float uniform() { return unit_interval_from(static_cast<std::uint32_t>(next_word() >> 32)); }
  float normal();

  std::uint64_t state() const { return state_; }

 private:
  explicit FixtureDraws(std::uint64_t state) : state_(state) {}
  std::uint64_t state_;
};

}  // namespace tolvane::rng
