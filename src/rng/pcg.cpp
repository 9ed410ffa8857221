// Seeding of the PCG-XSH-RR 64/32 generator.
#include "rng/pcg.hpp"

namespace tolvane::rng {

namespace {
// Increment of the fixed stream that expands a 64-bit seed into 128 bits of state.
constexpr std::uint64_t kSeedingIncrement = 0xA17654E46FBE17F3ULL;
}  // namespace

// Four outputs of the fixed stream from `seed` (each after its step), laid out little-endian as
// two 64-bit words a, b; the increment is b with its low bit forced on, and the state is a
// advanced once through the new stream.
Pcg Pcg::seed(std::uint64_t seed) {
  std::uint64_t s = seed;
  std::uint64_t words[4];
  for (std::uint64_t& w : words) {
    s = s * kMultiplier + kSeedingIncrement;
    w = output_of(s);
  }
  const std::uint64_t a = words[0] | words[1] << 32;
  const std::uint64_t b = words[2] | words[3] << 32;
  const std::uint64_t increment = b | 1;
  return Pcg((a + increment) * kMultiplier + increment, increment);
}

}  // namespace tolvane::rng
