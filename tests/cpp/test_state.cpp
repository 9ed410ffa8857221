// Layer conversion.
#include <gtest/gtest.h>

#include "state.hpp"

namespace tolvane::state {
namespace {

TEST(Layer, FromInputWidensGeometryExactly) {
  const InputLayer in{.depth_km = 0.1f,
                      .thickness_km = 0.3f,
                      .vp_km_s = 5.1,
                      .vsh_km_s = 3.2,
                      .density_g_cm3 = 2.6,
                      .attenuation_p = 250.5f,
                      .attenuation_s = 120.25f};
  const Layer l = Layer::from_input(in);
  EXPECT_EQ(l.depth_km, static_cast<double>(0.1f));
  EXPECT_EQ(l.thickness_km, static_cast<double>(0.3f));
  EXPECT_EQ(l.vp_km_s, 5.1);
  EXPECT_EQ(l.vsh_km_s, 3.2);
  EXPECT_EQ(l.density_g_cm3, 2.6);
  EXPECT_EQ(l.attenuation_p, 250.5f);
  EXPECT_EQ(l.attenuation_s, 120.25f);
}

}  // namespace
}  // namespace tolvane::state
