// Seeding of the SplitMix64 fixture generator.
#include "rng/fixture.hpp"

namespace tolvane::rng {

FixtureDraws FixtureDraws::seed(std::int32_t irand) {
  return FixtureDraws(static_cast<std::uint64_t>(static_cast<std::int64_t>(irand)) ^ kGolden);
}

FixtureDraws FixtureDraws::respawn(std::uint64_t seed) const {
  return FixtureDraws::seed(static_cast<std::int32_t>(static_cast<std::uint32_t>(seed)));
}

}  // namespace tolvane::rng
