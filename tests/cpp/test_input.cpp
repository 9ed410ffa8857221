// Slip-model grid order, queries and summaries; velocity-model truncation and the air layer.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "error.hpp"
#include "input.hpp"

namespace tolvane::input {
namespace {

using state::InputLayer;

Segment make_segment(std::size_t columns, std::size_t rows, float length = 1.0f, float width = 1.0f,
                     float dip = 45.0f, float hypo_down_dip = 0.0f, float top = 0.0f) {
  std::vector<Subfault> cells;
  for (std::size_t k = 0; k < columns * rows; ++k) {
    cells.push_back({Slip{static_cast<float>(k)}, 1.0f, 0.0f, 10.0f});
  }
  return SegmentBuilder{.fault_lon_deg = 0.0f,
                        .fault_lat_deg = 0.0f,
                        .along_strike_count = columns,
                        .down_dip_count = rows,
                        .subfault_length_km = length,
                        .subfault_width_km = width,
                        .strike_deg = 0.0f,
                        .dip_deg = dip,
                        .rake_deg = 0.0f,
                        .top_depth_km = top,
                        .hypocentre_along_strike_km = 0.0f,
                        .hypocentre_down_dip_km = hypo_down_dip,
                        .subfaults = std::move(cells)}
      .build();
}

std::vector<std::pair<std::size_t, std::size_t>> cells_of(GridWalk walk) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (auto [i, j] : walk) out.emplace_back(i, j);
  return out;
}

TEST(Segment, GridOrderIndicesAndIterators) {
  // 2 rows down dip, 3 columns along strike: rows [[a b c] [d e f]] stored a..f.
  const Segment s = make_segment(3, 2);
  EXPECT_EQ(s.subfault_total(), 6u);
  EXPECT_EQ(s.grid_index(3, 1), 2u);
  EXPECT_EQ(s.grid_index(1, 2), 3u);
  EXPECT_EQ(s.at(2, 2).slip.cm, 4.0f);
  using P = std::vector<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(cells_of(s.strike_major()), (P{{1, 1}, {1, 2}, {2, 1}, {2, 2}, {3, 1}, {3, 2}}));
  EXPECT_EQ(cells_of(s.depth_major()), (P{{1, 1}, {2, 1}, {3, 1}, {1, 2}, {2, 2}, {3, 2}}));
  std::vector<float> first_of_row;
  for (auto row : s.depth_rows()) {
    EXPECT_EQ(row.size(), 3u);
    first_of_row.push_back(row[0].slip.cm);
  }
  EXPECT_EQ(first_of_row, (std::vector<float>{0.0f, 3.0f}));
}

TEST(Segment, IndicesOutsideTheGridAreInternalErrors) {
  const Segment s = make_segment(3, 2);
  for (auto [i, j] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 3}, {4, 1}}) {
    try {
      s.grid_index(i, j);
      FAIL() << i << "," << j;
    } catch (const InternalError& e) {
      EXPECT_EQ(e.what(), format("subfault ({},{}) is outside the 3x2 grid", i, j));
    }
  }
  EXPECT_THROW(s.at(0, 1), InternalError);
}

TEST(Segment, BuilderChecksTheCellCountAndSetsTheOffset) {
  const Segment s = make_segment(4, 2, 2.5f, 1.5f);
  EXPECT_EQ(s.along_strike_offset_km, 5.0f);
  try {
    SegmentBuilder{.fault_lon_deg = 0,
                   .fault_lat_deg = 0,
                   .along_strike_count = 2,
                   .down_dip_count = 2,
                   .subfault_length_km = 1,
                   .subfault_width_km = 1,
                   .strike_deg = 0,
                   .dip_deg = 0,
                   .rake_deg = 0,
                   .top_depth_km = 0,
                   .hypocentre_along_strike_km = 0,
                   .hypocentre_down_dip_km = 0,
                   .subfaults = std::vector<Subfault>(3)}
        .build();
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "subfault grid holds 3 entries, expected 2x2");
  }
}

TEST(StochModel, SummaryValues) {
  const StochModel one({make_segment(4, 2, 2.5f, 1.5f)});
  EXPECT_EQ(one.fault_area_km2, 30.0f);
  EXPECT_EQ(one.subfault_count, 8u);

  const StochModel two({make_segment(5, 2), make_segment(3, 2)});
  EXPECT_EQ(two.subfault_count, 16u);

  // dip 90, hypocentre 3 km down dip, top at 2 km: 5 km deep.
  const StochModel vertical({make_segment(1, 1, 1, 1, 90.0f, 3.0f, 2.0f)});
  EXPECT_FLOAT_EQ(vertical.max_hypocentre_depth_km, 5.0f);
  // A flat segment above the surface never lowers the depth below 0; NaN never replaces it.
  const StochModel above({make_segment(1, 1, 1, 1, 0.0f, 0.0f, -1.0f)});
  EXPECT_EQ(above.max_hypocentre_depth_km, 0.0f);
  const StochModel with_nan(
      {make_segment(1, 1, 1, 1, 90.0f, 3.0f, 2.0f), make_segment(1, 1, 1, 1, 90.0f, NAN, 2.0f)});
  EXPECT_FLOAT_EQ(with_nan.max_hypocentre_depth_km, 5.0f);
}

std::vector<InputLayer> layers(std::vector<float> thickness, std::vector<double> vsh) {
  std::vector<InputLayer> out;
  for (std::size_t k = 0; k < thickness.size(); ++k) {
    out.push_back({.depth_km = 0.0f,
                   .thickness_km = thickness[k],
                   .vp_km_s = 1.7 * vsh[k],
                   .vsh_km_s = vsh[k],
                   .density_g_cm3 = 2.7,
                   .attenuation_p = 200.0f,
                   .attenuation_s = 100.0f + static_cast<float>(k)});
  }
  return out;
}

struct Cut {
  std::vector<float> depth, thickness;
};

Cut cut(const std::vector<InputLayer>& in, double vs_moho) {
  auto model = std::get<std::vector<InputLayer>>(build_velocity_model(in, vs_moho));
  Cut c;
  for (const auto& l : model) {
    c.depth.push_back(l.depth_km);
    c.thickness.push_back(l.thickness_km);
  }
  return c;
}

TEST(VelocityModel, CutAtTheMoho) {
  using V = std::vector<float>;
  const auto three = layers({2, 3, 5}, {2.0, 3.0, 4.5});
  Cut c = cut(three, 4.4);
  EXPECT_EQ(c.depth, (V{2, 5, 5}));
  EXPECT_EQ(c.thickness, (V{2, 3, 0}));
  c = cut(three, 5.0);
  EXPECT_EQ(c.depth, (V{2, 5, 10}));
  EXPECT_EQ(c.thickness, (V{2, 3, 0}));
  // A faster layer ends the model even if slower ones follow; equality counts as the Moho.
  c = cut(layers({2, 3, 5}, {2.0, 4.5, 3.0}), 4.4);
  EXPECT_EQ(c.depth, (V{2, 2}));
  c = cut(layers({2, 3, 5}, {2.0, 4.4, 3.0}), 4.4);
  EXPECT_EQ(c.thickness, (V{2, 0}));
  c = cut(layers({7}, {2.0}), 4.4);
  EXPECT_EQ(c.depth, (V{7}));
  EXPECT_EQ(c.thickness, (V{0}));
  // A NaN velocity never reaches the Moho.
  c = cut(layers({2, 3, 5}, {2.0, NAN, 4.5}), 4.4);
  EXPECT_EQ(c.depth, (V{2, 5, 5}));
}

TEST(VelocityModel, Errors) {
  auto empty = build_velocity_model({}, 4.4);
  EXPECT_EQ(std::get<ModelError>(empty).message(), "velocity model has no layers");
  auto moho = build_velocity_model(layers({2}, {2.0}), 1.5);
  EXPECT_EQ(std::get<ModelError>(moho).message(),
            "the first layer already reaches vs_moho = 1.5 km/s, so there is no model above the "
            "Moho to simulate");
  auto whole = build_velocity_model(layers({2}, {4.0}), 4.0);
  EXPECT_NE(std::get<ModelError>(whole).message().find("vs_moho = 4 km/s"), std::string::npos);
}

TEST(VelocityModel, AirLayerRule) {
  auto with_depth = [](float thickness, double vp) {
    auto l = layers({thickness, 1}, {2.0, 3.0});
    l[0].vp_km_s = vp;
    return std::get<std::vector<InputLayer>>(build_velocity_model(l, 4.0));
  };
  const auto aired = insert_air_layer(with_depth(0.5f, 5.0));
  ASSERT_EQ(aired.size(), 3u);
  EXPECT_EQ(aired[0].thickness_km, 0.0001f);
  EXPECT_EQ(aired[0].depth_km, 0.0001f);
  EXPECT_EQ(aired[0].vp_km_s, 0.0010000000474974513);
  EXPECT_EQ(aired[0].vsh_km_s, 0.0005000000237487257);
  EXPECT_EQ(aired[0].density_g_cm3, 0.0010000000474974513);
  EXPECT_EQ(aired[0].attenuation_s, 100.0f);
  EXPECT_EQ(aired[1].depth_km, 0.5f);  // the real layers keep their depths
  EXPECT_EQ(insert_air_layer(with_depth(0.0005f, 5.0)).size(), 2u);
  EXPECT_EQ(insert_air_layer(with_depth(0.5f, 0.005)).size(), 2u);
  EXPECT_THROW(insert_air_layer({}), InternalError);
}

}  // namespace
}  // namespace tolvane::input
