// Transform lengths, the cached FFT (definition, round trip, threads, alignment) and the baseline
// correction.
#include <gtest/gtest.h>

#include <array>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "array.hpp"
#include "error.hpp"
#include "fft.hpp"

namespace tolvane::fft {
namespace {

constexpr std::uint64_t kTwoTo63 = std::uint64_t{1} << 63;

// Single-precision FFTs of a few hundred points agree with the exact transform to a few ulps of the
// largest value; this leaves a margin of about ten.
constexpr float kTransformTolerance = 1e-5f;

TEST(GoodLength, SmallestAdmissibleLengthNotBelowTheRequest) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 2},
      {1, 2},
      {2, 2},
      {3, 4},
      {5, 6},
      {7, 8},
      {9, 10},
      {11, 12},
      {13, 14},
      {15, 16},
      {17, 20},
      {18, 20},
      {21, 24},
      {25, 28},
      {29, 32},
      {33, 40},
      {100, 112},
      {257, 320},
      {1000, 1024},
      {1025, 1280},
      {4097, 5120},
      {kTwoTo63, kTwoTo63},
      {kTwoTo63 - 1, kTwoTo63},
      {(kTwoTo63 / 8) * 7 + 1, kTwoTo63},
      {(kTwoTo63 / 8) * 7, (kTwoTo63 / 8) * 7},
  };
  for (auto [request, length] : cases) EXPECT_EQ(good_length(request), length) << request;
}

TEST(GoodLength, EveryLengthIsEvenWithOddPartOneThreeFiveOrSeven) {
  for (std::uint64_t request = 0; request <= 2000; ++request) {
    std::uint64_t odd = good_length(request);
    ASSERT_EQ(odd % 2, 0u) << request;
    while (odd % 2 == 0) odd /= 2;
    ASSERT_TRUE(odd == 1 || odd == 3 || odd == 5 || odd == 7) << request;
  }
}

TEST(GoodLength, RequestsAboveTwoTo63AreInternalErrors) {
  for (std::uint64_t request : {kTwoTo63 + 1, UINT64_MAX}) {
    try {
      good_length(request);
      ADD_FAILURE() << request;
    } catch (const InternalError& error) {
      EXPECT_EQ(std::string(error.what()),
                format("a transform length of at least {} overflows the size type; that is not "
                       "a real request",
                       request));
    }
  }
}

TEST(Transform, OddLengthIsAnInternalError) {
  std::vector<Complex> data(3);
  try {
    forward(data);
    ADD_FAILURE();
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "the transform requires an even length, got 3");
  }
}

std::vector<Complex> random_series(std::size_t n, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<Complex> data(n);
  for (Complex& x : data) x = {value(engine), value(engine)};
  return data;
}

// exp(sign * 2 pi i * k * shift / N), the transform of a unit impulse at `shift`.
Complex impulse_bin(std::size_t n, std::size_t k, std::size_t shift, double sign) {
  const double angle =
      sign * 2.0 * std::numbers::pi * static_cast<double>((k * shift) % n) / static_cast<double>(n);
  return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

TEST(Transform, ImpulsesFollowTheUnscaledDefinition) {
  for (std::size_t n : {2u, 6u, 14u, 40u, 112u, 320u}) {
    for (bool is_forward : {true, false}) {
      for (std::size_t shift : {0u, 1u}) {
        std::vector<Complex> data(n);
        data[shift] = 1.0f;
        transform(data, is_forward);
        for (std::size_t k = 0; k < n; ++k) {
          const Complex expected = impulse_bin(n, k, shift, is_forward ? -1.0 : 1.0);
          ASSERT_NEAR(data[k].real(), expected.real(), kTransformTolerance)
              << n << " " << is_forward << " " << shift << " " << k;
          ASSERT_NEAR(data[k].imag(), expected.imag(), kTransformTolerance)
              << n << " " << is_forward << " " << shift << " " << k;
        }
      }
    }
  }
}

TEST(Transform, ForwardThenInverseMultipliesByTheLength) {
  for (std::size_t n : {2u, 24u, 56u, 1280u}) {
    const std::vector<Complex> original = random_series(n, static_cast<unsigned>(n));
    std::vector<Complex> data = original;
    forward(data);
    inverse(data);
    const float length = static_cast<float>(n);
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_NEAR(data[k].real() / length, original[k].real(), kTransformTolerance)
          << n << " " << k;
      ASSERT_NEAR(data[k].imag() / length, original[k].imag(), kTransformTolerance)
          << n << " " << k;
    }
  }
}

TEST(Transform, MisalignedSpanGivesTheAlignedResultExactly) {
  constexpr std::size_t n = 96;
  const std::vector<Complex> input = random_series(n, 7);
  Array2<Complex> rows(2, n + 1);
  const std::span<Complex> aligned = rows.row(0).first(n);
  const std::span<Complex> misaligned = rows.row(1).subspan(1, n);  // 8 bytes past a boundary
  std::copy(input.begin(), input.end(), aligned.begin());
  std::copy(input.begin(), input.end(), misaligned.begin());
  forward(aligned);
  forward(misaligned);
  for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(aligned[k], misaligned[k]) << k;
}

TEST(Transform, EachThreadBuildsOnePlanPerLengthAndDirection) {
  // Two threads at once transform the same length; each fills its own cache, once per key, and
  // both get the main thread's result bit for bit.
  constexpr std::size_t n = 448;
  const std::vector<Complex> input = random_series(n, 11);
  std::vector<Complex> reference = input;
  forward(reference);

  struct Outcome {
    std::vector<std::size_t> counts;
    std::vector<Complex> result;
  };
  const auto work = [&](Outcome& out) {
    out.counts.push_back(thread_plan_count());
    for (int repeat = 0; repeat < 3; ++repeat) {
      out.result = input;
      forward(out.result);
    }
    out.counts.push_back(thread_plan_count());
    std::vector<Complex> other = input;
    inverse(other);
    out.counts.push_back(thread_plan_count());
    other.resize(2 * n);
    forward(other);
    out.counts.push_back(thread_plan_count());
  };
  Outcome first, second;
  std::thread a(work, std::ref(first));
  std::thread b(work, std::ref(second));
  a.join();
  b.join();
  for (const Outcome* outcome : {&first, &second}) {
    EXPECT_EQ(outcome->counts, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(outcome->result, reference);
  }
}

TEST(RemoveQuadraticTrend, ConstantSeriesExample) {
  std::vector<float> series{1.0f, 1.0f, 1.0f};
  remove_quadratic_trend(1.0f, series);
  EXPECT_EQ(series, (std::vector<float>{1.0f, 1.0f, 0.0f}));
}

// Final velocity and displacement with the correction's own rules: trapezoids, and the exact
// double integral of a piecewise-linear acceleration. In f64, to measure the f32 correction.
std::pair<double, double> final_motion(const std::vector<float>& a, double dt) {
  double velocity = 0.0;
  double displacement = 0.0;
  for (std::size_t k = 1; k < a.size(); ++k) {
    displacement += dt * velocity + dt * dt * (2.0 * a[k - 1] + a[k]) / 6.0;
    velocity += 0.5 * dt * (a[k - 1] + a[k]);
  }
  return {velocity, displacement};
}

TEST(RemoveQuadraticTrend, CorrectedSeriesEndsNearlyAtRest) {
  // Noise with an offset and a drift, so the uncorrected series ends far from rest.
  constexpr std::size_t n = 2000;
  constexpr float dt = 0.01f;
  std::mt19937 engine(3);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> series(n);
  for (std::size_t k = 0; k < n; ++k) series[k] = noise(engine) + 0.5f + 0.001f * k;
  const auto [v0, d0] = final_motion(series, dt);

  std::vector<float> corrected = series;
  remove_quadratic_trend(dt, corrected);
  const auto [v1, d1] = final_motion(corrected, dt);

  // Samples 0 and 1 are left out of the correction, which leaves a residue of a few samples'
  // worth out of n: about 3/n of the original final motion.
  constexpr double kResidueFraction = 10.0 / n;
  EXPECT_LT(std::abs(v1), kResidueFraction * std::abs(v0)) << v0;
  EXPECT_LT(std::abs(d1), kResidueFraction * std::abs(d0)) << d0;
  EXPECT_EQ(corrected[0], series[0]);
  EXPECT_EQ(corrected[1], series[1]);
}

TEST(RemoveQuadraticTrend, LinesOfThreeAtOnceGiveTheBitsOfEachAlone) {
  std::mt19937 engine(4);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (const std::size_t n : {2, 3, 1000}) {
    std::array<std::vector<float>, 3> series, alone;
    for (std::size_t s = 0; s < 3; ++s) {
      for (std::size_t k = 0; k < n; ++k) series[s].push_back(noise(engine) + 0.1f * s);
      alone[s] = series[s];
      remove_quadratic_trend(0.01f, alone[s]);
    }
    const std::array<TrendLine, 3> lines =
        quadratic_trend_lines(0.01f, series[0], series[1], series[2]);
    for (std::size_t s = 0; s < 3; ++s) {
      std::vector<float> corrected = series[s];
      for (std::size_t k = 2; k < n; ++k) {
        corrected[k] = lines[s].corrected(series[s][k], static_cast<float>(k), 0.01f);
      }
      EXPECT_EQ(corrected, alone[s]) << n << " " << s;
    }
  }
  std::vector<float> a(10), b(10), c(9);
  EXPECT_THROW(quadratic_trend_lines(0.01f, a, b, c), InternalError);
}

TEST(RemoveQuadraticTrend, FewerThanTwoSamplesIsAnInternalError) {
  std::vector<float> series{1.0f};
  EXPECT_THROW(remove_quadratic_trend(1.0f, series), InternalError);
}

}  // namespace
}  // namespace tolvane::fft
