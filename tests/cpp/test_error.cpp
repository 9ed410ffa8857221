// Number formatting in messages and the assertion helper.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error.hpp"

namespace tolvane {
namespace {

TEST(FormatNumber, ShortestRoundTripInFixedNotation) {
  const std::pair<float, const char*> singles[] = {
      {2.5f, "2.5"},
      {4.0f, "4"},
      {-0.0f, "-0"},
      {0.0f, "0"},
      {0.1f, "0.1"},
      {1.0f / 3.0f, "0.33333334"},
      {1e-7f, "0.0000001"},
      {123456789.0f, "123456790"},
      {-1e30f, "-1000000000000000000000000000000"},
      {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
      {NAN, "NaN"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
  };
  for (auto [value, text] : singles) EXPECT_EQ(format_number(value), text);
  EXPECT_EQ(format_number(0.1), "0.1");
  EXPECT_EQ(format_number(4.4), "4.4");
  EXPECT_EQ(format_number(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(format_number(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(format_number(1e300).size(), 301u);
  EXPECT_EQ(format_number(std::int64_t{-12}), "-12");
}

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format("subfault ({},{}) is outside the {}x{} grid", 0, 1, std::size_t{3}, 2u),
            "subfault (0,1) is outside the 3x2 grid");
  EXPECT_EQ(format("{} and {}", "a", 2.5f), "a and 2.5");
  EXPECT_EQ(format("no placeholders"), "no placeholders");
}

TEST(Ensure, ThrowsInternalErrorWithTheFormattedText) {
  EXPECT_NO_THROW(ensure(true, "never {}", 1));
  try {
    ensure(false, "ray type {} is negative; th1 would be undefined", -1);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "ray type -1 is negative; th1 would be undefined");
  }
}

}  // namespace
}  // namespace tolvane
