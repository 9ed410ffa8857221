// Seeding of the PCG-XSH-RR 64/32 generator, and its fillers of uniforms on several lanes.
#include "rng/pcg.hpp"

#include <cstddef>

#include "error.hpp"
#include "wide_loops.hpp"

namespace tolvane::rng {

namespace {
// Increment of the fixed stream that expands a 64-bit seed into 128 bits of state.
constexpr std::uint64_t kSeedingIncrement = 0xA17654E46FBE17F3ULL;

// Lanes of the generator of uniforms: one group of draws per lane.
constexpr std::size_t kLanes = 8;
using Words = std::uint64_t __attribute__((vector_size(8 * kLanes)));
using Outputs = std::uint32_t __attribute__((vector_size(4 * kLanes)));
using Counts = std::int32_t __attribute__((vector_size(4 * kLanes)));
using Uniforms = float __attribute__((vector_size(4 * kLanes)));

// k steps s -> s M + c of the LCG at once: s -> s M^k + c (M^(k-1) + ... + M + 1).
struct Jump {
  std::uint64_t multiplier;
  std::uint64_t increment_factor;  // times c gives the increment of the jump

  // This jump, then `next`.
  Jump then(const Jump& next) const {
    return {multiplier * next.multiplier,
            increment_factor * next.multiplier + next.increment_factor};
  }
};

Jump jump_of(std::uint64_t steps) {
  Jump result{1, 0};
  for (Jump power{Pcg::kMultiplier, 1}; steps != 0; steps >>= 1, power = power.then(power)) {
    if ((steps & 1) != 0) result = result.then(power);
  }
  return result;
}

// Groups of at most this many draws are filled on lanes; each row of a group has its own.
constexpr std::size_t kMaxLaneRows = 8;

// Rows `group` x `groups` of uniforms (row j: draw j of every group) for the first `blocked`
// groups, a multiple of kLanes, from the states of the first draws of groups 0 ... kLanes - 1 in
// `states`; these then hold the states of the draws that follow. Every row runs its own lanes,
// so the rows' LCG steps do not wait on each other. Built for several instruction sets
// (wide_loops.hpp); vectors pass through memory, since the variants differ in their calling
// conventions.
TOLVANE_WIDE_LOOPS void uniform_rows(std::uint64_t* states, std::uint64_t increment,
                                     std::size_t group, std::size_t groups, std::size_t blocked,
                                     float* out) {
  // Each row follows its own lanes: from one block of groups to the next is kLanes groups on.
  const Jump next_block = jump_of(kLanes * group);
  const std::uint64_t block_increment = increment * next_block.increment_factor;
  Words rows[kMaxLaneRows];
  __builtin_memcpy(&rows[0], states, sizeof rows[0]);
  for (std::size_t j = 1; j < group; ++j) rows[j] = rows[j - 1] * Pcg::kMultiplier + increment;
  for (std::size_t first = 0; first < blocked; first += kLanes) {
    for (std::size_t j = 0; j < group; ++j) {
      const Words lanes = rows[j];
      const Outputs xorshifted = __builtin_convertvector(((lanes >> 18) ^ lanes) >> 27, Outputs);
      const Outputs rotation = __builtin_convertvector(lanes >> 59, Outputs);
      const Outputs word = (xorshifted >> rotation) | (xorshifted << ((-rotation) & 31));
      const Uniforms u =
          __builtin_convertvector(reinterpret_cast<Counts>(word >> 8), Uniforms) * 0x1p-24f;
      __builtin_memcpy(out + j * groups + first, &u, sizeof u);
      rows[j] = lanes * next_block.multiplier + block_increment;
    }
  }
  __builtin_memcpy(states, &rows[0], sizeof rows[0]);
}

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

void Pcg::fill_uniform_grouped(std::span<float> out, std::size_t group) {
  ensure(group >= 1 && out.size() % group == 0, "{} uniforms do not make groups of {}", out.size(),
         group);
  if (group > kMaxLaneRows) {
    Draws<Pcg>::fill_uniform_grouped(out, group);
    return;
  }
  const std::size_t groups = out.size() / group;
  const std::size_t blocked = groups - groups % kLanes;
  if (blocked > 0) {
    std::uint64_t states[kLanes];
    const Jump to_next_group = jump_of(group);
    std::uint64_t s = state_;
    for (std::uint64_t& lane : states) {
      lane = s;
      s = s * to_next_group.multiplier + increment_ * to_next_group.increment_factor;
    }
    uniform_rows(states, increment_, group, groups, blocked, out.data());
    state_ = states[0];
  }
  for (std::size_t r = blocked; r < groups; ++r) {
    for (std::size_t j = 0; j < group; ++j) out[j * groups + r] = uniform();
  }
}

}  // namespace tolvane::rng
