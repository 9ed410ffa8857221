// Station streams and the seeds of the subfault and ray streams.
#include "rng/source.hpp"

#include <cstdlib>

namespace tolvane::rng {

namespace {
constexpr const char* kFixtureVariable = "TOLVANE_FIXTURE_RNG";
}  // namespace

DrawSource DrawSource::for_station(std::uint64_t seed) {
  if (std::getenv(kFixtureVariable) != nullptr) {
    return DrawSource(
        FixtureDraws::seed(static_cast<std::int32_t>(static_cast<std::uint32_t>(seed))));
  }
  return DrawSource(Pcg::seed(seed));
}

std::uint64_t substream_seed(std::uint64_t station_seed, std::size_t segment,
                             std::size_t subfault) {
  const std::uint64_t segment_seed =
      mix64(station_seed ^ (static_cast<std::uint64_t>(segment) * FixtureDraws::kGolden));
  return mix64(segment_seed ^ static_cast<std::uint64_t>(subfault));
}

std::uint64_t ray_stream_seed(std::uint64_t subfault_seed, std::size_t ray) {
  return mix64(subfault_seed ^ ((static_cast<std::uint64_t>(ray) + 1) * FixtureDraws::kGolden));
}

}  // namespace tolvane::rng
