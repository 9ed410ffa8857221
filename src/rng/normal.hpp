// Standard-normal sampler of the ziggurat kind over a caller's 64-bit word source.
//
// The method is Doornik's ZIGNOR (J. A. Doornik, "An Improved Ziggurat Method to Generate Normal
// Random Samples", 2005) with 256 layers instead of his 128: the half-normal density
// f(x) = exp(-x^2/2) is covered by 256 layers of equal area v, a symmetric sign is drawn apart,
// and the layer index and the position in the layer come from separate random bits, which removes
// the correlation between layer and value of Marsaglia & Tsang's original ("The Ziggurat Method
// for Generating Random Variables", 2000). The fast-path test is Marsaglia & Tsang's integer
// comparison against a precomputed bound.
//
// Layers (x_1 = r = 3.6541528853610088 > x_2 > ... > x_255 > x_256 = 0):
//   layer 0      the strip [0, r] x [0, f(r)] plus the tail beyond r; width x_0 = v / f(r);
//   layer i > 0  the rectangle [0, x_i] x [f(x_i), f(x_{i+1})].
//
// One attempt takes one 64-bit word w:
//   bits 0-7    layer index i;
//   bit 8       sign (set: negative);
//   bits 9-10   unused;
//   bits 11-63  magnitude m, a 53-bit integer; the candidate is x = m * 2^-53 * x_i.
// If m is below the layer's bound floor(2^53 * x_{i+1} / x_i), x lies in the part of the layer
// under the curve and is returned (about 99% of attempts). Otherwise layer 0 samples the tail by
// Marsaglia's method (two further words per try), and the other layers take one further word for
// the height of the point in the layer's wedge and accept x when the point lies under f; a
// rejected attempt starts again with a new word. Every word comes from the same source, in order,
// so the deviates are a function of the source's stream alone.
//
// The tables are generated in high-precision decimal arithmetic (make_normal_tables.py) and the
// logarithm of the slow paths is computed here with basic arithmetic only, so the sampler gives
// the same bits on every machine, independent of the mathematics library.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tolvane::rng {

namespace ziggurat {

inline constexpr std::size_t kLayers = 256;
inline constexpr std::uint64_t kLayerMask = kLayers - 1;
inline constexpr int kSignBit = 8;
inline constexpr int kMagnitudeShift = 11;  // keeps the top 53 bits
inline constexpr double kTwoToMinus53 = 0x1p-53;

struct Layer {
  std::uint64_t fast_bound;  // magnitudes below this lie under the curve
  double width;              // x_i * 2^-53: magnitude to abscissa
};

extern const double kTailStart;                               // r
extern const std::array<Layer, kLayers> kLayerTable;          // indexed by layer
extern const std::array<double, kLayers + 1> kDensityAtEdge;  // f(x_i), i = 0 ... 256

// Natural logarithm of a positive normal double, by basic arithmetic only (reproducible bit for
// bit wherever IEEE double arithmetic is): u = m * 2^e with m in [sqrt(1/2), sqrt(2)), and
// log(m) = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.172, summed to s^21 (error below 2^-56).
// The slow paths need it only on (0, 1]; it is accurate to a few units in the last place there.
inline double log_positive(double u) {
  constexpr std::uint64_t kMantissaBits = 0x000FFFFFFFFFFFFFULL;
  constexpr std::uint64_t kExponentOfOne = 0x3FF0000000000000ULL;
  constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;
  constexpr double kLn2High = 0x1.62e42fee00000p-1;  // trailing zeros: e * kLn2High is exact
  constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(u);
  int exponent = static_cast<int>(bits >> 52) - 1023;
  double m = std::bit_cast<double>((bits & kMantissaBits) | kExponentOfOne);  // [1, 2)
  if (m >= kSqrt2) {
    m *= 0.5;
    exponent += 1;
  }
  const double s = (m - 1.0) / (m + 1.0);
  const double z = s * s;
  double series = 1.0 / 21;
  for (const double c : {1.0 / 19, 1.0 / 17, 1.0 / 15, 1.0 / 13, 1.0 / 11, 1.0 / 9, 1.0 / 7,
                         1.0 / 5, 1.0 / 3, 1.0}) {
    series = series * z + c;
  }
  const double e = exponent;
  return e * kLn2High + (e * kLn2Low + 2.0 * s * series);
}

inline double with_sign_of(double magnitude, std::uint64_t word) {
  const std::uint64_t sign = (word >> kSignBit & 1) << 63;
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) | sign);
}

// (0, 1]: never 0, so its logarithm is finite.
inline double open_unit_from(std::uint64_t word) {
  return static_cast<double>((word >> kMagnitudeShift) + 1) * kTwoToMinus53;
}

// Marsaglia (1964): x = -log(u1) / r, y = -log(u2), accept when 2y > x^2; r + x is then
// distributed as the normal tail beyond r.
template <class Words>
double tail(Words& words) {
  for (;;) {
    const double x = -log_positive(open_unit_from(words.next_word())) / kTailStart;
    const double y = -log_positive(open_unit_from(words.next_word()));
    if (y + y > x * x) return kTailStart + x;
  }
}

// The attempts after a first one that missed the fast path: tail, wedges and retries.
template <class Words>
double beyond_fast_path(std::uint64_t word, Words& words) {
  for (;;) {
    const std::size_t i = word & kLayerMask;
    const std::uint64_t magnitude = word >> kMagnitudeShift;
    const double x = static_cast<double>(magnitude) * kLayerTable[i].width;
    if (magnitude < kLayerTable[i].fast_bound) return with_sign_of(x, word);
    if (i == 0) return with_sign_of(tail(words), word);
    const double below = kDensityAtEdge[i];
    const double above = kDensityAtEdge[i + 1];
    const double height = below + static_cast<double>(words.next_word() >> kMagnitudeShift) *
                                      kTwoToMinus53 * (above - below);
    if (log_positive(height) < -0.5 * x * x) return with_sign_of(x, word);
    word = words.next_word();
  }
}

}  // namespace ziggurat

// One standard-normal deviate from the 64-bit words of `words.next_word()`.
template <class Words>
inline double standard_normal(Words& words) {
  const std::uint64_t word = words.next_word();
  const ziggurat::Layer& layer = ziggurat::kLayerTable[word & ziggurat::kLayerMask];
  const std::uint64_t magnitude = word >> ziggurat::kMagnitudeShift;
  if (magnitude < layer.fast_bound) [[likely]] {
    return ziggurat::with_sign_of(static_cast<double>(magnitude) * layer.width, word);
  }
  return ziggurat::beyond_fast_path(word, words);
}

}  // namespace tolvane::rng
