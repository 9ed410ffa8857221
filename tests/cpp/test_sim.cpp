// Path-duration tables, source preparation and the station run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>
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
}

TEST(Simulator, RecordBeyondThe32BitSampleNumbersIsRefused) {
  const StochModel slip({segment(1, 1, 1, 1)});
  // 2147483520 is the largest f32 below 2^31: the longest record a run can number.
  EXPECT_EQ(build(slip, hf_config(2147483520.0f, 1.0f)).ndata(), 2147483520u);
  const struct {
    float duration_s, dt_s;
    const char* samples;
  } refused[] = {
      {2147483648.0f, 1.0f, "2147483648"},
      {1e9f, 1e-6f, "999999986991104"},  // the f32 quotient, an exact integer
      {1e30f, 1e-8f, "100000010000000000000000000000000000000"},  // beyond 2^64: shortest digits
      {1.0f, 0.0f, "inf"},
      {-1.0f, -0.0f, "inf"},
  };
  for (const auto& c : refused) {
    auto built = Simulator::create(hf_config(c.duration_s, c.dt_s), slip, crust());
    ASSERT_TRUE(std::holds_alternative<SimError>(built)) << c.samples;
    EXPECT_EQ(std::get<SimError>(built).message(),
              std::string("duration_s / dt asks for a record of ") + c.samples +
                  " samples; a record holds at most 2147483647");
  }
}

}  // namespace
}  // namespace tolvane::sim

namespace tolvane::sim {
namespace {

TEST(Placement, ClipsContributionsToTheRecord) {
  struct Case {
    std::int32_t start;
    std::size_t np2, ndata;
    std::optional<Placement> expected;
  };
  const Case cases[] = {
      {-5, 16, 100, Placement{6, 0, 10}},
      {-20, 16, 100, std::nullopt},
      {100, 16, 100, Placement{0, 99, 1}},
      {101, 16, 100, std::nullopt},
      {1, 16, 100, Placement{0, 0, 16}},
      {90, 16, 100, Placement{0, 89, 11}},
      {-14, 16, 100, Placement{15, 0, 1}},
      {-15, 16, 100, std::nullopt},
      {1, 16, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto got = Placement::clip(c.start, c.np2, c.ndata);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.start;
    if (got) {
      EXPECT_EQ(got->skip, c.expected->skip) << c.start;
      EXPECT_EQ(got->offset, c.expected->offset) << c.start;
      EXPECT_EQ(got->count, c.expected->count) << c.start;
    }
  }
  // 32-bit sample arithmetic: an overflow is an internal error, not a wrapped placement.
  EXPECT_THROW(Placement::clip(INT32_MAX, 16, 100), InternalError);
  EXPECT_EQ(Placement::clip(INT32_MAX - 15, 16, 100), std::nullopt);  // last sample INT32_MAX
  EXPECT_THROW(Placement::clip(1, 16, std::size_t{1} << 31), InternalError);
}

TEST(Clipping, PeaksBeyondTheRecordAndMerging) {
  RunScalars run{};
  run.dt = 0.5f;
  run.window_peak_fraction = 0.2f;
  run.ndata = 100;
  // Window 10 s: its peak lies 2 s = 4 samples after the start.
  EXPECT_EQ(Clipping::for_arrival(96, 10.0f, run).peaks_lost, 0u);  // exactly on the last sample
  const Clipping one = Clipping::for_arrival(97, 10.0f, run);
  EXPECT_EQ(one.peaks_lost, 1u);
  EXPECT_EQ(one.worst_overrun_s, 0.5f);
  EXPECT_EQ(Clipping::for_arrival(0, NAN, run).peaks_lost, 0u);

  Clipping total;
  total += one;
  total += Clipping{2, 3.0f};
  total += Clipping{1, NAN};
  EXPECT_EQ(total.peaks_lost, 4u);
  EXPECT_EQ(total.worst_overrun_s, 3.0f);
}

TEST(Samples, TruncationSaturatesAndLayersAreFoundByTheirBase) {
  EXPECT_EQ(trunc_i32(7.0f / 0.01f), 700);
  EXPECT_EQ(trunc_i32(-2.9f), -2);
  EXPECT_EQ(trunc_i32(NAN), 0);
  EXPECT_EQ(trunc_i32(INFINITY), INT32_MAX);
  EXPECT_EQ(trunc_i32(-3e9f), INT32_MIN);
  EXPECT_EQ(trunc_i32(2147483520.0f), 2147483520);

  std::vector<state::Layer> vmod;
  for (const InputLayer& l : input::insert_air_layer(crust())) {
    vmod.push_back(state::Layer::from_input(l));
  }
  EXPECT_EQ(source_layer_for(vmod, 0.00005f), 0u);
  EXPECT_EQ(source_layer_for(vmod, 2.0f), 1u);  // a depth on a base belongs to the layer above
  EXPECT_EQ(source_layer_for(vmod, 2.5f), 2u);
  EXPECT_EQ(source_layer_for(vmod, 50.0f), 3u);
  EXPECT_EQ(source_layer_for(vmod, NAN), 3u);
}

TEST(Components, FmaxCapAndRadiationOffsets) {
  EXPECT_EQ(Component(Component::Vertical).capped_fmax(20.0f), 15.0f);
  EXPECT_EQ(Component(Component::Vertical).capped_fmax(10.0f), 10.0f);
  EXPECT_EQ(Component(Component::Vertical).capped_fmax(NAN), 15.0f);
  EXPECT_EQ(Component(Component::E090).capped_fmax(20.0f), 20.0f);
  EXPECT_EQ(Component(Component::E090).azimuth_offset_rad(), -1.5707964f);
  EXPECT_EQ(Component(Component::N000).azimuth_offset_rad(), 0.0f);
}

// A one-segment Simulator whose station runs the tests below inspect.
struct Scenario {
  Scenario(std::vector<int> rays, float sigma = 0.1f) {
    config::HfConfig config = hf_config(30.0f, 0.02f);
    config.path.rayset.clear();
    for (int code : rays) config.path.rayset.push_back(config::RayType{code});
    config.source.rupture_velocity.rv_sig1 = sigma;
    sim.emplace(
        build(StochModel({segment(3, 2, 2.0f, 2.0f, {1, 2, 3, 0, 1, 2}, 60.0f, 1.0f)}), config));
  }
  Simulation run(float lat, float lon, std::uint64_t seed) const {
    return sim->run_station(Station{lon, lat, "s", 0.04f, 0.6f}, seed);
  }
  std::optional<Simulator> sim;
};

bool same_record(const Simulation& a, const Simulation& b) {
  for (std::size_t r = 0; r < 3; ++r) {
    const auto x = a.acc.row(r), y = b.acc.row(r);
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
  }
  return true;
}

TEST(StationRun, FarStationCountsEveryPairOutside) {
  const Scenario s({0, 1, 2});
  const Simulation far = s.run(60.0f, 30.0f, 5);   // thousands of km: after the 30 s record
  EXPECT_EQ(far.census.pairs_attempted, 5u * 3u);  // five subfaults carry moment
  EXPECT_EQ(far.census.pairs_outside_record, 15u);
  EXPECT_EQ(far.census.samples_computed, 0u);
  EXPECT_EQ(far.census.samples_accumulated, 0u);
  EXPECT_EQ(far.census.transform_lengths, 1u);  // the longest-window plan only
  for (std::size_t r = 0; r < 3; ++r) {
    for (float x : far.acc.row(r)) ASSERT_EQ(x, 0.0f);
  }
  EXPECT_EQ(far.clipping.peaks_lost, 15u);
  EXPECT_GT(far.clipping.worst_overrun_s, 100.0f);
}

TEST(StationRun, NearStationCensusAndDeterminism) {
  const Scenario s({1, 2});
  const Simulation a = s.run(0.05f, 0.02f, 42);
  EXPECT_EQ(a.census.pairs_attempted, 10u);
  EXPECT_LT(a.census.pairs_outside_record, 10u);
  EXPECT_GT(a.census.samples_computed, 0u);
  EXPECT_LE(a.census.samples_accumulated, a.census.samples_computed);
  EXPECT_GE(a.census.transform_lengths, 1u);

  Simulation other;
  std::thread worker([&] { other = s.run(0.05f, 0.02f, 42); });
  worker.join();
  EXPECT_TRUE(same_record(a, other));
  EXPECT_EQ(a.census.samples_computed, other.census.samples_computed);
  EXPECT_EQ(a.clipping.peaks_lost, other.clipping.peaks_lost);
  EXPECT_FALSE(same_record(a, s.run(0.05f, 0.02f, 43)));
}

TEST(StationRun, WindowsFarLongerThanTheRecordNeedNoMoreThanTheRecord) {
  // A corner-frequency constant of 1e-7 stretches every window past 1e7 s. Planned at full length
  // the work storage would take terabytes (std::bad_alloc); capped like every pair's transform,
  // at twice the 30 s record, it stays small, and the windows, starting long before the record,
  // add nothing to it.
  config::HfConfig config = hf_config(30.0f, 0.02f);
  config.source.czero = 1e-7f;
  const Simulator sim = build(StochModel({segment(3, 2, 2.0f, 2.0f, {}, 60.0f, 1.0f)}), config);
  const Simulation s = sim.run_station(Station{0.05f, 0.02f, "s", 0.04f, 0.6f}, 3);
  EXPECT_EQ(s.census.pairs_attempted, 12u);
  EXPECT_EQ(s.census.pairs_outside_record, 12u);
  EXPECT_EQ(s.census.transform_lengths, 1u);
  for (std::size_t r = 0; r < 3; ++r) {
    for (float x : s.acc.row(r)) ASSERT_EQ(x, 0.0f);
  }
}

TEST(StationRun, PredrawnUniformsComeFirstFromTheStationStream) {
  auto [rng, deviates] = seed_and_predraw(99, 1000);
  rng::DrawSource fresh = rng::DrawSource::for_station(99);
  std::vector<float> first(2001);
  fresh.fill_uniform(first);
  EXPECT_EQ(deviates.radv_uniform_a[0], first[0]);
  EXPECT_EQ(deviates.radv_uniform_a[999], first[999]);
  EXPECT_EQ(deviates.radv_uniform_b[0], first[1000]);
  EXPECT_EQ(deviates.radv_uniform_b[999], first[1999]);
}

TEST(StationRun, FixtureSeedsShareDeviatesButNotRecords) {
  setenv("TOLVANE_FIXTURE_RNG", "", 1);
  const std::uint64_t s = 7, t = s + (std::uint64_t{1} << 32);
  EXPECT_EQ(seed_and_predraw(s, 1000).second.radv_uniform_b,
            seed_and_predraw(t, 1000).second.radv_uniform_b);
  const Scenario scenario({1});
  const bool same = same_record(scenario.run(0.05f, 0.02f, s), scenario.run(0.05f, 0.02f, t));
  unsetenv("TOLVANE_FIXTURE_RNG");
  EXPECT_FALSE(same);
}

TEST(StationRun, GatherSkipsLightSubfaultsWithoutDrawing) {
  const Scenario s({1});
  const Simulator& sim = *s.sim;
  const input::Segment& seg = sim.slip.segments[0];
  const geom::SubfaultGeometry geometry =
      geom::subfault_geometry(geom::FaultPlane{{seg.fault_lat_deg, seg.fault_lon_deg},
                                               seg.strike_deg,
                                               seg.dip_deg,
                                               seg.top_depth_km,
                                               seg.along_strike_offset_km,
                                               seg.subfault_length_km,
                                               seg.subfault_width_km,
                                               seg.along_strike_count,
                                               seg.down_dip_count},
                              geom::GeoPoint{0.05f, 0.02f});
  const WindowPass windows = sim.time_window_pass(seg, geometry, sim.angles[0], sim.strengths[0]);
  std::vector<MomentWeight> weights = sim.weights[0];
  weights[0] = {0.001f};
  weights[1] = {std::nextafter(0.001f, 0.0f)};
  weights[2] = {NAN};
  const Deviates deviates;
  const RunContext ctx{sim.vmod, sim.rupture,          sim.run, sim.rayset,
                       deviates, sim.siteamp_log_freq, 0.04f,   1};
  const SegmentPass pass{0, seg, geometry, windows, sim.angles[0], weights, sim.strengths[0]};

  auto next_after = [&](std::size_t i, std::size_t j) {
    rng::DrawSource rng = rng::DrawSource::for_station(3);
    const bool gathered = SubfaultSource::gather(rng, pass, i, j, ctx).has_value();
    return std::pair{gathered, rng.uniform()};
  };
  rng::DrawSource untouched = rng::DrawSource::for_station(3);
  const float first = untouched.uniform();
  rng::DrawSource after_normal = rng::DrawSource::for_station(3);
  after_normal.normal();
  EXPECT_EQ(next_after(1, 1), std::pair(true, after_normal.uniform()));  // one normal drawn
  EXPECT_EQ(next_after(2, 1), std::pair(false, first));                  // below: no draw
  EXPECT_TRUE(next_after(3, 1).first);                                   // NaN passes

  // The perturbed rupture fraction is capped at 1.4: a huge sigma saturates the corner frequency.
  RunScalars wild = sim.run;
  wild.rupture_velocity_sigma = 50.0f;
  const RunContext wild_ctx{sim.vmod, sim.rupture,          wild,  sim.rayset,
                            deviates, sim.siteamp_log_freq, 0.04f, 1};
  float highest = 0.0f;
  for (std::uint64_t seed = 0; seed < 64; ++seed) {
    rng::DrawSource rng = rng::DrawSource::for_station(seed);
    const auto source = SubfaultSource::gather(rng, pass, 2, 2, wild_ctx);
    ASSERT_TRUE(source.has_value());
    highest = std::max(highest, source->corner_frequency_hz);
  }
  const float vs =
      static_cast<float>(sim.vmod[source_layer_for(sim.vmod, geometry.at(2, 2).depth_km)].vsh_km_s);
  EXPECT_EQ(highest,
            (((1.4f * sim.angles[0].corner_coeff) * vs) / sim.run.avg_subfault_km) / 3.1415927f);
}

TEST(StationRun, StraightRayArrivesAtSevenTenthsOfTheTravelTimeAt3_7) {
  const Scenario s({0});
  SubfaultSource source{.geometry = {.slant_km = 37.0f,
                                     .azimuth_rad = 0.0f,
                                     .takeoff_rad = 2.0f,
                                     .horiz_km = 30.0f,
                                     .depth_km = 10.0f},
                        .weight = {1.0f},
                        .strength = SourceStrength(50.0f, 1.0f, 1e24f, 1),
                        .rupture_time_s = 0.0f,
                        .window_s = 4.0f,
                        .layer = 1,
                        .shear_velocity_km_s = 3.0f,
                        .density_g_cm3 = 2.7f,
                        .corner_frequency_hz = 1.0f};
  RunScalars run = s.sim->run;
  run.dt = 0.01f;
  const Deviates deviates;
  const RunContext ctx{s.sim->vmod, s.sim->rupture,          run,   s.sim->rayset,
                       deviates,    s.sim->siteamp_log_freq, 0.04f, 1};
  state::RayState scratch;
  const TracedRay ray = trace_ray(scratch, source, config::RayType{0}, ctx);
  EXPECT_EQ(ray.window_start_s, 7.0f);
  EXPECT_EQ(ray.path_length_km, 37.0f);
  EXPECT_EQ(ray.qbar, 37.0f / (3.0f * 150.0f));
  EXPECT_EQ(ray.takeoff_rad, 2.0f);
  EXPECT_EQ(arrival_time_and_angles(ray, source, s.sim->angles[0], run).start_sample, 700);

  // Without a straight ray the bound is the fastest-layer travel time less the window peak.
  run.max_shear_velocity_km_s = 3.7f;
  const float travel = 37.0f / 3.7f - 0.2f * 4.0f;
  EXPECT_EQ(source.earliest_start_sample(run, std::vector<config::RayType>{{1}}),
            trunc_i32(travel / 0.01f));
  EXPECT_EQ(source.earliest_start_sample(run, std::vector<config::RayType>{{1}, {0}}),
            trunc_i32(std::min(travel, 7.0f) / 0.01f));
}

TEST(StationRun, AccumulationAddsWeightedSamplesInPlace) {
  Array2<float> acc(3, 6), pair(3, 4);
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t m = 0; m < 4; ++m) pair.row(r)[m] = static_cast<float>(10 * r + m);
    acc.row(r)[0] = 1.0f;
  }
  accumulate_subfault(acc, pair, MomentWeight{0.5f}, Placement{1, 3, 2});
  EXPECT_EQ(std::vector<float>(acc.row(0).begin(), acc.row(0).end()),
            (std::vector<float>{1, 0, 0, 0.5f, 1, 0}));
  EXPECT_EQ(acc.row(2)[3], 0.5f * 21.0f);
}

}  // namespace
}  // namespace tolvane::sim
