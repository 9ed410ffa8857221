// Path-duration tables, source preparation and the station run.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "error.hpp"
#include "sim.hpp"

namespace tolvane::sim {
namespace {

using config::PathDurationModel;
using input::Segment;
using input::SegmentBuilder;
using input::StochModel;
using input::Subfault;
using state::InputLayer;

TEST(PathDuration, TablesOfTheFiveModels) {
  struct Case {
    PathDurationModel model;
    float r_km;
    float expected_s;
  };
  const Case cases[] = {
      {PathDurationModel::Gp2010, 100.0f, 6.3f},
      {PathDurationModel::Wus, 100.0f, 7.0f},
      {PathDurationModel::Ena, 100.0f, 10.0f},
      {PathDurationModel::Bt2014Wus, 45.0f, 8.4f},  // starts must lie strictly below r
      {PathDurationModel::Bt2014Wus, 300.0f, 34.2f + 30.0f * (16.8f / 95.0f)},
      {PathDurationModel::Bt2015Ena, 60.0f, 25.1f},
      {PathDurationModel::Bt2015Ena, 125.0f, 25.1f},
      {PathDurationModel::Bt2015Ena, 700.0f, 69.1f + 100.0f * (23.1f / 208.0f)},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(path_duration_table(c.model).duration_at(c.r_km), c.expected_s, 1e-4f)
        << int(c.model.value) << " at " << c.r_km;
  }
  for (auto m : {PathDurationModel::Gp2010, PathDurationModel::Wus, PathDurationModel::Ena,
                 PathDurationModel::Bt2014Wus, PathDurationModel::Bt2015Ena}) {
    const PathDurationTable table = path_duration_table(m);
    EXPECT_EQ(table.duration_at(0.0f), 0.0f);
    EXPECT_EQ(table.duration_at(NAN), 0.0f);
    EXPECT_EQ(table.duration_at(-5.0f), 0.0f);
  }
}

TEST(PathDuration, BreakpointTablesKeepTheLastSlope) {
  const PathDurationTable t = path_duration_table(PathDurationModel::Bt2014Wus);
  ASSERT_EQ(t.pieces.size(), 6u);
  EXPECT_EQ(t.pieces[0].slope_s_per_km, 2.4f / 7.0f);
  EXPECT_EQ(t.pieces[5].slope_s_per_km, t.pieces[4].slope_s_per_km);
  EXPECT_EQ(t.pieces[5].start_km, 270.0f);
  EXPECT_EQ(path_duration_table(PathDurationModel::Bt2015Ena).pieces[3].slope_s_per_km, 0.0f);
}

TEST(SourceAngles, DipAndRakeFactors) {
  // alpha_t = 1 / (dip_factor * rake_factor * calpha + 1); with calpha 1 it reads off the product.
  struct Case {
    float dip, rake, product;
  };
  const Case cases[] = {
      {60.0f, 90.0f, 2.0f / 3.0f}, {90.0f, 90.0f, 0.0f},   {45.0f, 90.0f, 1.0f},
      {30.0f, 90.0f, 1.0f},        {30.0f, 450.0f, 1.0f},  {30.0f, 0.0f, 0.0f},
      {30.0f, 180.0f, 0.0f},       {30.0f, -180.0f, 0.0f}, {30.0f, -90.0f, 0.0f},
      {30.0f, 135.0f, 0.5f},       {-1.0f, 90.0f, 0.0f},   {91.0f, 90.0f, 0.0f},
      {NAN, 90.0f, 0.0f},          {30.0f, NAN, 0.0f},
  };
  for (const Case& c : cases) {
    EXPECT_FLOAT_EQ(1.0f / alpha_t(c.dip, c.rake, 1.0f) - 1.0f, c.product)
        << c.dip << " " << c.rake;
  }
}

Segment segment(std::size_t columns, std::size_t rows, float length, float width,
                std::vector<float> slip = {}, float dip = 90.0f, float top = 0.0f) {
  std::vector<Subfault> cells;
  for (std::size_t k = 0; k < columns * rows; ++k) {
    const float s = slip.empty() ? 1.0f : slip[k];
    cells.push_back({input::Slip{s}, 1.0f, 0.0f, 50.0f});
  }
  return SegmentBuilder{.fault_lon_deg = 0,
                        .fault_lat_deg = 0,
                        .along_strike_count = columns,
                        .down_dip_count = rows,
                        .subfault_length_km = length,
                        .subfault_width_km = width,
                        .strike_deg = 0,
                        .dip_deg = dip,
                        .rake_deg = 90,
                        .top_depth_km = top,
                        .hypocentre_along_strike_km = 0,
                        .hypocentre_down_dip_km = 0,
                        .subfaults = std::move(cells)}
      .build();
}

std::vector<InputLayer> crust() {
  // Base depths 2, 10 and 10 km (half-space), as build_velocity_model leaves them.
  return {{2.0f, 2.0f, 4.0, 2.0, 2.2, 200.0f, 100.0f},
          {10.0f, 8.0f, 6.0, 3.5, 2.7, 400.0f, 200.0f},
          {10.0f, 0.0f, 8.0, 4.6, 3.3, 800.0f, 400.0f}};
}

config::HfConfig hf_config(float duration_s = 60.0f, float dt_s = 0.01f) {
  return config::HfConfig{
      .source = {.czero = 1.8f, .calpha = 0.5f, .rupture_velocity = {0.8f, 0.6f, 1.2f, 0.0f}},
      .path = {.rayset = {config::RayType{1}, config::RayType{2}},
               .path_duration = PathDurationModel::Gp2010},
      .site = {.f_max_hz = 20.0f},
      .record = {.duration_s = duration_s, .dt_s = dt_s},
  };
}

std::string sim_error(const StochModel& slip) {
  auto built = Simulator::create(hf_config(), slip, crust());
  return std::get<SimError>(built).message();
}

TEST(Simulator, DicingCheckReportsTheFirstOffenceLengthFirst) {
  const StochModel differ(
      {segment(2, 2, 1.0f, 1.0f), segment(2, 2, 1.0f, 1.0f), segment(2, 2, 1.5f, 2.0f)});
  EXPECT_EQ(sim_error(differ),
            "segment 2 has subfault_length_km = 1.5 km, but segment 0 has 1 km; every segment must "
            "be diced the same way because the subfault size is one quantity for the whole run");
  const StochModel width({segment(2, 2, 1.0f, 1.0f), segment(2, 2, 1.0f, 0.25f)});
  EXPECT_NE(sim_error(width).find("segment 1 has subfault_width_km = 0.25 km, but segment 0 has 1"),
            std::string::npos);
  // NaN never equals itself, so a NaN width fails on segment 1 even when both are NaN.
  const StochModel nan({segment(2, 2, 1.0f, NAN), segment(2, 2, 1.0f, NAN)});
  EXPECT_NE(sim_error(nan).find("segment 1 has subfault_width_km = NaN km"), std::string::npos);
  // Zero of either sign is one size: the check passes and the zero area then carries no moment.
  const StochModel zeros({segment(1, 1, 0.0f, 1.0f), segment(1, 1, -0.0f, 1.0f)});
  EXPECT_EQ(sim_error(zeros),
            "the slip model carries no moment: no subfault has a relative moment above 0.001");
}

TEST(Simulator, SlipModelWithoutMomentIsRefused) {
  const StochModel quiet({segment(2, 2, 1.0f, 1.0f, {0, 0, 0, 0})});
  EXPECT_EQ(sim_error(quiet),
            "the slip model carries no moment: no subfault has a relative moment above 0.001");
}

Simulator build(const StochModel& slip, const config::HfConfig& config = hf_config()) {
  return std::get<Simulator>(Simulator::create(config, slip, crust()));
}

TEST(Simulator, NormalisationGivesMeanOneOverCarryingSubfaults) {
  // Vertical segment, 1 km rows: row centres at 0.5, 1.5 (layer 1) and 2.5 km (layer 2).
  const StochModel slip({segment(2, 3, 1.0f, 1.0f, {1, 3, 2, 0, 1, 1})});
  const Simulator sim = build(slip);
  const float rigid1 = static_cast<float>(2.0 * 2.0 * 2.2 * 1.0 * 1.0);
  const float rigid2 = static_cast<float>(3.5 * 3.5 * 2.7 * 1.0 * 1.0);
  const std::vector<float> raw = {rigid1, 3 * rigid1, 2 * rigid1, 0.0f, rigid2, rigid2};
  float sum = 0.0f;
  for (float r : raw) sum += r;
  const float scale = 5.0f / sum;
  ASSERT_EQ(sim.weights.size(), 1u);
  for (std::size_t k = 0; k < raw.size(); ++k) EXPECT_EQ(sim.weights[0][k].value, raw[k] * scale);
  EXPECT_EQ(sim.weights[0][3].value, 0.0f);  // zero slip keeps weight 0
  const SourceStrength& s = sim.strengths[0][0];
  EXPECT_EQ(s.subevent_moment, 50.0f * 1.0f * 1.0f * 1.0f * 1e21f);
  EXPECT_EQ(s.moment_scale, (sum * 1e20f) / (std::sqrt(5.0f) * s.subevent_moment));
  EXPECT_EQ(sim.run.avg_subfault_km, 1.0f);
}

TEST(Simulator, WeightAtTheThresholdIsScaledButNotCounted) {
  // Unit rigidity and area make each raw weight equal to the slip.
  const std::vector<InputLayer> unit = {{100.0f, 100.0f, 2.0, 1.0, 1.0, 100.0f, 50.0f},
                                        {100.0f, 0.0f, 8.0, 4.6, 3.3, 800.0f, 400.0f}};
  const StochModel slip({segment(3, 1, 1.0f, 1.0f, {2.0f, 0.001f, 4.0f})});
  const NormalisedSource n = normalise_source(slip, unit);
  EXPECT_EQ(n.scale.subfault_count, 2u);
  const float scale = 2.0f / (2.0f + 4.0f);
  EXPECT_EQ(n.weights[0][1].value, 0.001f * scale);
  EXPECT_EQ(n.weights[0][2].value, 4.0f * scale);
  EXPECT_EQ(n.scale.total_moment_dyn_cm, ((2.0f + 0.001f) + 4.0f) * 1e20f);
}

TEST(Simulator, RowBelowTheModelUsesTheHalfSpace) {
  const StochModel deep({segment(1, 1, 1.0f, 1.0f, {}, 90.0f, 50.0f)});
  const float rigid = static_cast<float>(4.6 * 4.6 * 3.3 * 1.0 * 1.0);
  EXPECT_EQ(normalise_source(deep, crust()).scale.total_moment_dyn_cm, rigid * 1e20f);
}

TEST(Simulator, RunScalarsTaperAndTables) {
  const Simulator sim = build(StochModel({segment(3, 2, 2.0f, 1.0f, {}, 60.0f)}));
  EXPECT_EQ(sim.ndata(), 6000u);
  EXPECT_EQ(sim.vmod.size(), 4u);  // air layer on top
  EXPECT_EQ(sim.vmod[0].thickness_km, static_cast<double>(0.0001f));
  EXPECT_EQ(sim.run.max_shear_velocity_km_s, 4.6f);
  EXPECT_EQ(sim.run.avg_subfault_km, std::sqrt(2.0f));
  EXPECT_EQ(sim.siteamp_log_freq.size(), 20u);
  EXPECT_EQ(sim.siteamp_log_freq[10], 0.0f);
  EXPECT_EQ(sim.siteamp_log_freq[19], std::log(70.0f));
  EXPECT_EQ(sim.rupture.deep_top_km, 15.0f);
  EXPECT_EQ(sim.rupture.deep_base_km, 20.0f);
  EXPECT_EQ(sim.angles[0].corner_coeff, 1.8f / alpha_t(60.0f, 90.0f, 0.5f));
  EXPECT_EQ(sim.angles[0].dip_rad, 60.0f * 0.017453292f);
  EXPECT_EQ(sim.rayset.size(), 2u);

  // A hypocentre 22 km deep moves the deep taper to 22..27 km.
  Segment s = segment(1, 1, 1.0f, 1.0f, {}, 90.0f, 20.0f);
  SegmentBuilder rebuilt{.fault_lon_deg = 0,
                         .fault_lat_deg = 0,
                         .along_strike_count = 1,
                         .down_dip_count = 1,
                         .subfault_length_km = 1,
                         .subfault_width_km = 1,
                         .strike_deg = 0,
                         .dip_deg = 90,
                         .rake_deg = 90,
                         .top_depth_km = 20,
                         .hypocentre_along_strike_km = 0,
                         .hypocentre_down_dip_km = 2,
                         .subfaults = s.subfaults};
  const Simulator deep = build(StochModel({std::move(rebuilt).build()}));
  EXPECT_EQ(deep.rupture.deep_top_km, 22.0f);
  EXPECT_EQ(deep.rupture.deep_base_km, 27.0f);

  // ndata saturates: a negative or NaN quotient gives 0.
  EXPECT_EQ(build(StochModel({segment(1, 1, 1, 1)}), hf_config(-1.0f, 0.01f)).ndata(), 0u);
  EXPECT_EQ(build(StochModel({segment(1, 1, 1, 1)}), hf_config(0.0f, 0.0f)).ndata(), 0u);
  EXPECT_EQ(build(StochModel({segment(1, 1, 1, 1)}), hf_config(1.0f, 0.0f)).ndata(), SIZE_MAX);
}

}  // namespace
}  // namespace tolvane::sim
