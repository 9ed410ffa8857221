// Draw sources: the seeded streams every random number of a station comes from.
//
// Streams form three levels: one per station (from the caller's seed), one per (segment, subfault)
// and one per ray of a subfault, each seeded from the level above, so a station's record depends
// only on its own seed. A DrawSource is either the standard PCG-XSH-RR 64/32 generator or the
// SplitMix64 fixture generator, selected by the environment variable TOLVANE_FIXTURE_RNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "rng/fixture.hpp"
#include "rng/pcg.hpp"

namespace tolvane::rng {

class DrawSource {
 public:
  using Variant = std::variant<Pcg, FixtureDraws>;

  explicit DrawSource(Variant generator) : generator_(generator) {}

  // The station stream: FixtureDraws of the seed's low 32 bits when TOLVANE_FIXTURE_RNG is present
  // in the environment (any value), Pcg of the seed otherwise. Reads the environment every call.
  static DrawSource for_station(std::uint64_t seed);

  // A new stream of the same kind seeded from `seed`; this one is neither read nor changed.
  DrawSource respawn(std::uint64_t seed) const {
    return std::visit([seed](const auto& g) { return DrawSource(g.respawn(seed)); }, generator_);
  }

  float uniform() {
    return std::visit([](auto& g) { return g.uniform(); }, generator_);
  }
  float normal() {
    return std::visit([](auto& g) { return g.normal(); }, generator_);
  }
  // Both fillers choose the generator once and fill the whole slice with it, in index order.
  void fill_uniform(std::span<float> out) {
    std::visit([out](auto& g) { g.fill_uniform(out); }, generator_);
  }
  void fill_normal(std::span<float> out) {
    std::visit([out](auto& g) { g.fill_normal(out); }, generator_);
  }
  // fill_uniform's draws stored by their position in groups of `group` (see Draws).
  void fill_uniform_grouped(std::span<float> out, std::size_t group) {
    std::visit([out, group](auto& g) { g.fill_uniform_grouped(out, group); }, generator_);
  }

  const Variant& generator() const { return generator_; }

 private:
  Variant generator_;
};

// mix64 (the SplitMix64 finaliser, mix64(0) == 0) is in fixture.hpp.

// Seed of the stream of subfault `subfault` (grid index) of segment `segment` (0-based).
std::uint64_t substream_seed(std::uint64_t station_seed, std::size_t segment, std::size_t subfault);
// Seed of the stream of ray `ray` (0-based position in the rayset) of a subfault.
std::uint64_t ray_stream_seed(std::uint64_t subfault_seed, std::size_t ray);

}  // namespace tolvane::rng
