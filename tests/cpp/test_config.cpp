// Ray-code kinds, path-duration deck codes and the rupture-velocity taper.
#include <gtest/gtest.h>

#include <cmath>

#include "config.hpp"

namespace tolvane::config {
namespace {

TEST(RayType, KindFollowsCodeParityAndSign) {
  const std::pair<std::int32_t, RayKind> cases[] = {
      {0, RayKind::StraightRay}, {1, RayKind::Upgoing},         {2, RayKind::Downgoing},
      {3, RayKind::Upgoing},     {4, RayKind::Downgoing},       {-1, RayKind::Downgoing},
      {-2, RayKind::Downgoing},  {INT32_MAX, RayKind::Upgoing},
  };
  for (auto [code, kind] : cases) EXPECT_EQ(RayType{code}.kind(), kind) << code;
}

TEST(PathDurationModel, FromDeckMapsTheFiveCodes) {
  EXPECT_EQ(PathDurationModel::from_deck(0), PathDurationModel::Gp2010);
  EXPECT_EQ(PathDurationModel::from_deck(-7), PathDurationModel::Gp2010);
  EXPECT_EQ(PathDurationModel::from_deck(INT32_MIN), PathDurationModel::Gp2010);
  EXPECT_EQ(PathDurationModel::from_deck(1), PathDurationModel::Wus);
  EXPECT_EQ(PathDurationModel::from_deck(2), PathDurationModel::Ena);
  EXPECT_EQ(PathDurationModel::from_deck(11), PathDurationModel::Bt2014Wus);
  EXPECT_EQ(PathDurationModel::from_deck(12), PathDurationModel::Bt2015Ena);
  for (std::int32_t code : {3, 10, 13, INT32_MAX}) {
    EXPECT_FALSE(PathDurationModel::from_deck(code).has_value()) << code;
  }
}

TEST(RuptureVelocityTaper, FactorAcrossTheZones) {
  const RuptureVelocityTaper taper{.frac = 0.8f,
                                   .shallow_factor = 0.6f,
                                   .deep_factor = 1.2f,
                                   .shallow_top_km = 5.0f,
                                   .shallow_base_km = 8.0f,
                                   .deep_top_km = 15.0f,
                                   .deep_base_km = 20.0f};
  const std::pair<float, float> cases[] = {
      {4.0f, 0.48f}, {5.0f, 0.48f},  {6.5f, 0.64f},  {8.0f, 0.8f},   {12.0f, 0.8f},
      {15.0f, 0.8f}, {17.5f, 0.88f}, {20.0f, 0.96f}, {30.0f, 0.96f}, {-3.0f, 0.48f},
  };
  for (auto [depth, expected] : cases) EXPECT_FLOAT_EQ(taper.factor(depth), expected) << depth;
  // The constant branches are exact products; the interpolations meet them at the zone tops.
  EXPECT_EQ(taper.factor(8.0f), 0.8f);
  EXPECT_EQ(taper.factor(20.0f), 0.8f * 1.2f);
  EXPECT_EQ(taper.factor(5.0f), taper.factor(4.9f));
  EXPECT_TRUE(std::isnan(taper.factor(NAN)));
}

TEST(RuptureVelocityTaper, DeepRuleTakesPrecedence) {
  // Overlapping zones: below deep_base_km the deep value wins over the shallow one.
  const RuptureVelocityTaper taper{.frac = 1.0f,
                                   .shallow_factor = 0.5f,
                                   .deep_factor = 2.0f,
                                   .shallow_top_km = 5.0f,
                                   .shallow_base_km = 8.0f,
                                   .deep_top_km = 1.0f,
                                   .deep_base_km = 3.0f};
  EXPECT_EQ(taper.factor(4.0f), 2.0f);
  EXPECT_EQ(taper.factor(2.0f), 1.5f);
}

}  // namespace
}  // namespace tolvane::config
