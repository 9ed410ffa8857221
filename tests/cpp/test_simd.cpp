// The kernel sets: which run, and the exponential of a row against the C library's.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "simd.hpp"

namespace tolvane::simd {
namespace {

// SLEEF's exponential is within 1.0 ulp of the true value, the C library's within about half an
// ulp: the two may differ by one unit in the last place.
constexpr std::int64_t kExpUlps = 1;

std::int64_t ulps_apart(float a, float b) {
  const auto ordered = [](float x) {
    const auto bits = std::bit_cast<std::int32_t>(x);
    return bits < 0 ? std::int64_t{INT32_MIN} - bits : std::int64_t{bits};
  };
  return std::abs(ordered(a) - ordered(b));
}

TEST(KernelSets, ScalarFirstWidestActive) {
  const std::span<const KernelSet* const> sets = runnable_kernels();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), &scalar_kernels());
  EXPECT_EQ(&active_kernels(), sets.back());
  for (std::size_t s = 1; s < sets.size(); ++s) EXPECT_GT(sets[s]->lanes, sets[s - 1]->lanes);
}

TEST(KernelSets, ExponentialOfARowAgreesWithTheCLibrary) {
  // Arguments over the range the spectra use (large negative diminutions, gains near 1), the
  // edges of the float range, and rows whose length is no multiple of any lane count.
  std::vector<float> x;
  for (float v = -110.0f; v < 90.0f; v += 0.0137f) x.push_back(v);
  const float special[] = {0.0f,
                           -0.0f,
                           -87.3f,
                           -103.9f,
                           -104.0f,
                           88.7f,
                           88.8f,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity()};
  x.insert(x.end(), std::begin(special), std::end(special));
  for (const KernelSet* set : runnable_kernels()) {
    SCOPED_TRACE(set->name);
    for (const std::size_t count : {x.size(), std::size_t{7}, std::size_t{1}}) {
      std::vector<float> y(count);
      set->exp(x.data() + x.size() - count, y.data(), count);
      for (std::size_t i = 0; i < count; ++i) {
        const float arg = x[x.size() - count + i];
        ASSERT_LE(ulps_apart(y[i], std::exp(arg)), set == &scalar_kernels() ? 0 : kExpUlps) << arg;
      }
    }
    std::vector<float> row = {0.5f, std::numeric_limits<float>::quiet_NaN(), -1.0f};
    set->exp(row.data(), row.data(), row.size());  // in place
    EXPECT_LE(ulps_apart(row[0], std::exp(0.5f)), kExpUlps);
    EXPECT_TRUE(std::isnan(row[1]));
    EXPECT_LE(ulps_apart(row[2], std::exp(-1.0f)), kExpUlps);
  }
}

}  // namespace
}  // namespace tolvane::simd
