// Ray paths (legs, source placement, traversal counts) and Green functions checked against ray
// geometry worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "ray.hpp"
#include "state.hpp"

namespace tolvane::ray {
namespace {

using state::Direction;
using state::Interaction;
using state::Layer;
using state::RayShape;
using state::RayState;
using state::Takeoff;
using state::WaveMode;

template <class F>
void expect_internal_error(F&& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "expected InternalError: " << text;
  } catch (const InternalError& e) {
    EXPECT_EQ(e.what(), text);
  }
}

// The air layer every simulation model starts with; the receiver sits at its bottom.
constexpr double kAir = static_cast<double>(0.0001f);
constexpr double kMargin = static_cast<double>(0.02f);

struct LayerSpec {
  double thickness_km;
  double vp_km_s;
  double vsh_km_s;
  float qs;
};

std::vector<Layer> model(std::initializer_list<LayerSpec> specs) {
  std::vector<Layer> layers;
  double base_km = 0.0;
  for (const LayerSpec& s : specs) {
    base_km += s.thickness_km;
    layers.push_back(Layer{.depth_km = base_km,
                           .thickness_km = s.thickness_km,
                           .vp_km_s = s.vp_km_s,
                           .vsh_km_s = s.vsh_km_s,
                           .density_g_cm3 = 2.7,
                           .attenuation_p = 2.0f * s.qs,
                           .attenuation_s = s.qs});
  }
  return layers;
}

const LayerSpec kAirLayer{kAir, static_cast<double>(0.001f), static_cast<double>(0.0005f), 100.0f};

// Layers 0 (air) ... 5 (half-space). Layer tops: 1 at kAir, 2 at kAir + 2, 3 at kAir + 5,
// 4 at kAir + 10; the Moho at kAir + 20.
std::vector<Layer> five_layer_model() {
  return model({kAirLayer,
                {2.0, 4.0, 2.0, 100.0f},
                {3.0, 5.0, 3.0, 200.0f},
                {5.0, 6.0, 3.5, 300.0f},
                {10.0, 6.5, 3.8, 400.0f},
                {0.0, 8.0, 4.6, 1000.0f}});
}

// One crustal layer over a half-space.
constexpr double kCrustKm = 10.0;
constexpr double kCrustVs = 3.5;
constexpr float kCrustQs = 250.0f;
std::vector<Layer> one_layer_model() {
  return model({kAirLayer, {kCrustKm, 6.0, kCrustVs, kCrustQs}, {0.0, 8.0, 4.6, 1000.0f}});
}

std::vector<std::size_t> legs_of(std::int32_t ray_type, std::size_t source_layer,
                                 const std::vector<Layer>& vmod) {
  state::Rays rays;
  enumerate_legs(rays, vmod, source_layer, ray_type, WaveMode::P);
  for (const WaveMode mode : rays.wave_modes) EXPECT_EQ(mode, WaveMode::P);
  EXPECT_EQ(rays.wave_modes.size(), rays.segment_count());
  return rays.layer_indices;
}

using Legs = std::vector<std::size_t>;

// ---- Ray types and legs ----

TEST(RayShape, RayTypesGiveTheirShapeAndTakeoff) {
  struct Case {
    std::int32_t ray_type;
    RayShape::Kind kind;
    std::int32_t multiples;
    Takeoff takeoff;
  };
  const Case cases[] = {
      {1, RayShape::Upgoing, 0, Takeoff::Up}, {2, RayShape::DownToMoho, 0, Takeoff::Down},
      {3, RayShape::Upgoing, 1, Takeoff::Up}, {4, RayShape::DownToMoho, 1, Takeoff::Down},
      {7, RayShape::Upgoing, 3, Takeoff::Up}, {8, RayShape::DownToMoho, 3, Takeoff::Down},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ray_type);
    const RayShape shape = RayShape::from_ray_type(c.ray_type);
    EXPECT_EQ(shape.kind, c.kind);
    EXPECT_EQ(shape.multiples, c.multiples);
    EXPECT_EQ(Takeoff::from_ray_type(c.ray_type), c.takeoff);
  }
}

TEST(RayShape, NegativeRayTypesAreInternalErrors) {
  const std::vector<Layer> vmod = one_layer_model();
  for (const std::int32_t t : {-1, -2}) {
    const std::string text = format("ray type {} is negative; th1 would be undefined", t);
    expect_internal_error([&] { Takeoff::from_ray_type(t); }, text);
    expect_internal_error([&] { RayShape::from_ray_type(t); }, text);
    RayState state;
    expect_internal_error([&] { green_function(state, vmod, 5.0f, 10.0f, t, WaveMode::Sh); }, text);
  }
}

TEST(Direction, FlipsAndFollowsParity) {
  EXPECT_EQ(Direction(Direction::Up).flipped(), Direction::Down);
  EXPECT_EQ(Direction(Direction::Down).flipped(), Direction::Up);
  for (const std::int32_t k : {-3, -1, 1, 5}) EXPECT_EQ(Direction::from_parity(k), Direction::Down);
  for (const std::int32_t k : {-2, 0, 2, 6}) EXPECT_EQ(Direction::from_parity(k), Direction::Up);
  EXPECT_TRUE(WaveMode(WaveMode::Sv).is_shear());
  EXPECT_TRUE(WaveMode(WaveMode::Sh).is_shear());
  EXPECT_FALSE(WaveMode(WaveMode::P).is_shear());
}

TEST(RayPath, LegsOfTheFirstRayTypes) {
  const std::vector<Layer> vmod = five_layer_model();
  EXPECT_EQ(legs_of(1, 2, vmod), (Legs{2, 1}));
  EXPECT_EQ(legs_of(2, 2, vmod), (Legs{2, 3, 4, 4, 3, 2, 1}));
  EXPECT_EQ(legs_of(3, 2, vmod), (Legs{2, 1, 1, 2, 3, 4, 4, 3, 2, 1}));
  EXPECT_EQ(legs_of(4, 2, vmod), (Legs{2, 3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}));
  // From the last layer above the half-space the reflection turns at once.
  EXPECT_EQ(legs_of(2, 4, vmod), (Legs{4, 4, 3, 2, 1}));
  EXPECT_EQ(legs_of(1, 1, vmod), (Legs{1}));
  // A source in the air layer has no upgoing leg.
  EXPECT_EQ(legs_of(1, 0, vmod), (Legs{}));
}

TEST(RayPath, BuilderStepsAndTurningLayers) {
  const std::vector<Layer> vmod = five_layer_model();
  state::Rays rays;
  rays.layer_indices = {9, 9};
  rays.wave_modes = {WaveMode::P, WaveMode::P};
  RayPath path(rays, WaveMode::Sv);
  EXPECT_EQ(rays.segment_count(), 0u);  // the builder starts afresh
  path.ascend_to(1, 2);                 // nothing: from < to
  EXPECT_EQ(rays.segment_count(), 0u);
  EXPECT_EQ(path.descend_to_moho(vmod, 5, 5), 5u);  // at the Moho: nothing pushed
  EXPECT_EQ(path.descend_to_moho(vmod, 3, 5), 4u);
  path.moho_multiple(vmod, 5);
  EXPECT_EQ(rays.layer_indices, (Legs{3, 4, 1, 2, 3, 4, 4, 3, 2, 1}));
  for (const WaveMode mode : rays.wave_modes) EXPECT_EQ(mode, WaveMode::Sv);
  // A layer of thickness 0 higher up acts as the reflector.
  std::vector<Layer> thin = vmod;
  thin[3].thickness_km = 0.0;
  RayPath again(rays, WaveMode::Sv);
  EXPECT_EQ(again.descend_to_moho(thin, 1, 5), 2u);
  EXPECT_EQ(rays.layer_indices, (Legs{1, 2}));
}

// ---- Source placement ----

TEST(SourcePlacement, SourcesKeepClearOfInterfaces) {
  // Interfaces at 1, 3 and 7 km; the half-space below 7 km.
  const std::vector<Layer> vmod = model({{1.0, 4.0, 2.0, 100.0f},
                                         {2.0, 5.0, 3.0, 100.0f},
                                         {4.0, 6.0, 3.5, 100.0f},
                                         {0.0, 8.0, 4.6, 100.0f}});
  struct Case {
    const char* name;
    double depth_km;
    std::size_t layer;
    double placed_km;
  };
  const Case cases[] = {
      {"inside a layer", 2.0, 1, 2.0},
      {"exactly at an interface", 3.0, 2, 3.0 + kMargin},
      {"just below an interface", 3.01, 2, 3.0 + kMargin},
      {"0.01 km above a base", 2.99, 1, 3.0 - kMargin},
      {"at the Moho", 7.0, 2, 7.0 - kMargin},
      {"below the Moho", 50.0, 2, 7.0 - kMargin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SourcePlacement placed = place_source(vmod, c.depth_km);
    EXPECT_EQ(placed.layer, c.layer);
    EXPECT_DOUBLE_EQ(placed.depth_km, c.placed_km);
  }
  EXPECT_FALSE(source_layer(vmod, 50.0).has_value());
  const SourcePlacement deepest = deepest_layer_with_thickness(vmod);
  EXPECT_EQ(deepest.layer, 2u);
  EXPECT_EQ(deepest.depth_km, 7.0);
}

// ---- Traversal counts ----

RayState built_ray(const std::vector<Layer>& vmod, std::int32_t ray_type, double source_depth_km,
                   WaveMode mode = WaveMode::Sh) {
  RayState state;
  const SourcePlacement source = place_source(vmod, source_depth_km);
  enumerate_legs(state.rays, vmod, source.layer, ray_type, mode);
  build_ray_path(state, vmod, source.depth_km, kAir);
  return state;
}

TEST(BuildRayPath, OneLegCountsTheDistanceBetweenSourceAndReceiver) {
  const std::vector<Layer> vmod = five_layer_model();
  struct Case {
    const char* name;
    double source_km;
    double receiver_km;
    Direction direction;
  };
  const Case cases[] = {
      {"receiver above", 1.5, kAir, Direction::Up},
      {"receiver below", 0.5, 1.0, Direction::Down},
  };
  for (const WaveMode mode : {WaveMode::Sh, WaveMode::P}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      RayState state;
      RayPath(state.rays, mode).push(1);
      build_ray_path(state, vmod, c.source_km, c.receiver_km);
      const state::Travel& t = state.travel;
      const std::vector<float>& counts = mode.is_shear() ? t.s_traversals : t.p_traversals;
      const std::vector<float>& others = mode.is_shear() ? t.p_traversals : t.s_traversals;
      EXPECT_FLOAT_EQ(counts[1], std::abs(c.source_km - c.receiver_km) / 2.0);
      EXPECT_EQ(others, std::vector<float>(vmod.size(), 0.0f));
      EXPECT_EQ(t.takeoff, c.direction);
      EXPECT_EQ(state.coefficients.directions, std::vector<Direction>{c.direction});
      EXPECT_EQ(state.coefficients.interactions, std::vector<Interaction>{Interaction::Direct});
      EXPECT_EQ(t.deepest_layer, 1u);
      EXPECT_EQ(state.love, mode == WaveMode::Sh ? 2 : 1);
    }
  }
}

TEST(BuildRayPath, UpgoingStartDropsTheSourceLayerBelowTheSource) {
  const std::vector<Layer> vmod = five_layer_model();
  const RayState state = built_ray(vmod, 1, 3.0);  // layer 2 spans kAir + 2 ... kAir + 5
  EXPECT_EQ(state.travel.takeoff, Direction::Up);
  EXPECT_EQ(state.coefficients.directions, (std::vector<Direction>{Direction::Up, Direction::Up}));
  EXPECT_EQ(state.coefficients.interactions,
            (std::vector<Interaction>{Interaction::Transmission, Interaction::Transmission}));
  EXPECT_EQ(state.travel.s_traversals,
            (std::vector<float>{0.0f, 1.0f, static_cast<float>(1.0 - (kAir + 5.0 - 3.0) / 3.0),
                                0.0f, 0.0f, 0.0f}));
  EXPECT_FLOAT_EQ(state.travel.s_traversals[2], (3.0 - (kAir + 2.0)) / 3.0);
  EXPECT_EQ(state.travel.deepest_layer, 2u);
}

TEST(BuildRayPath, DowngoingStartDropsTheSourceLayerAboveTheSource) {
  const std::vector<Layer> vmod = five_layer_model();
  const RayState state = built_ray(vmod, 2, 3.0);
  const Direction d = Direction::Down;
  const Direction u = Direction::Up;
  const Interaction t = Interaction::Transmission;
  EXPECT_EQ(state.travel.takeoff, d);
  EXPECT_EQ(state.coefficients.directions, (std::vector<Direction>{d, d, d, u, u, u, u}));
  EXPECT_EQ(state.coefficients.interactions,
            (std::vector<Interaction>{t, t, Interaction::Reflection, t, t, t, t}));
  const std::vector<float>& s = state.travel.s_traversals;
  EXPECT_EQ(s[0], 0.0f);
  EXPECT_EQ(s[1], 1.0f);  // the receiver trim at the top of layer 1 removes nothing
  EXPECT_FLOAT_EQ(s[2], 2.0 - (3.0 - (kAir + 2.0)) / 3.0);
  EXPECT_EQ(s[3], 2.0f);
  EXPECT_EQ(s[4], 2.0f);
  EXPECT_EQ(s[5], 0.0f);
  EXPECT_EQ(state.travel.deepest_layer, 4u);

  // A multiple after the direct ray: the source layer is passed three times, the ray starts up.
  const RayState multiple = built_ray(vmod, 3, 3.0);
  EXPECT_EQ(multiple.travel.takeoff, Direction::Up);
  EXPECT_FLOAT_EQ(multiple.travel.s_traversals[2], 3.0 - (kAir + 5.0 - 3.0) / 3.0);
  // From the last layer above the half-space the reflection starts down.
  const RayState bottom = built_ray(vmod, 2, 15.0);
  EXPECT_EQ(bottom.travel.takeoff, Direction::Down);
  EXPECT_FLOAT_EQ(bottom.travel.s_traversals[4], 2.0 - (15.0 - (kAir + 10.0)) / 10.0);
}

TEST(BuildRayPath, TraversedLayersWalkDownToTheDeepestLayer) {
  const std::vector<Layer> vmod = five_layer_model();
  const RayState state = built_ray(vmod, 2, 3.0, WaveMode::P);
  std::size_t i = 0;
  for (const TraversedLayer t : traversed_layers(state, vmod)) {
    EXPECT_EQ(&t.layer, &vmod[i]);
    EXPECT_EQ(t.p, state.travel.p_traversals[i]);
    EXPECT_EQ(t.s, 0.0f);
    ++i;
  }
  EXPECT_EQ(i, 5u);
}

TEST(BuildRayPath, EmptyRaysAreInternalErrors) {
  const std::vector<Layer> vmod = five_layer_model();
  const std::string text = "build_ray_path needs at least one ray segment";
  RayState state;
  expect_internal_error([&] { build_ray_path(state, vmod, 1.0, kAir); }, text);
  // A source in the air layer has no upgoing leg ...
  expect_internal_error([&] { green_function(state, vmod, 0.00005f, 5.0f, 1, WaveMode::Sh); },
                        text);
  // ... and its reflection would start in the air layer.
  EXPECT_THROW(green_function(state, vmod, 0.00005f, 5.0f, 2, WaveMode::Sh), InternalError);
  EXPECT_THROW(green_function(state, std::vector<Layer>{}, 1.0f, 5.0f, 1, WaveMode::Sh),
               InternalError);
}

// ---- Time functions ----

TEST(VerticalSlowness, RootsOfTheSquare) {
  const double v = 4.0;
  // Real p below 1/v: the positive real root.
  EXPECT_DOUBLE_EQ(vertical_slowness({0.1, 0.0}, v).real(), std::sqrt(1.0 / 16.0 - 0.01));
  EXPECT_EQ(vertical_slowness({0.1, 0.0}, v).imag(), 0.0);
  // Beyond 1/v: negative imaginary, with the real part left over from cos(pi/2).
  const Complex64 beyond = vertical_slowness({0.5, 0.0}, v);
  EXPECT_DOUBLE_EQ(beyond.imag(), -std::sqrt(0.25 - 1.0 / 16.0));
  EXPECT_LT(beyond.real(), 0.0);
  EXPECT_NEAR(beyond.real(), 0.0, 1e-16);
  // Complex p: a root of 1/v^2 - p^2, the root fixed by the sign of Im p.
  for (const Complex64 p : {Complex64(0.1, 0.05), Complex64(0.1, -0.05), Complex64(0.3, 0.2)}) {
    SCOPED_TRACE(p.real() + p.imag());
    const Complex64 eta = vertical_slowness(p, v);
    const Complex64 square = 1.0 / (v * v) - p * p;
    EXPECT_NEAR((eta * eta).real(), square.real(), 1e-15);
    EXPECT_NEAR((eta * eta).imag(), square.imag(), 1e-15);
  }
  EXPECT_GT(vertical_slowness({0.1, 0.05}, v).real(), 0.0);
  EXPECT_LT(vertical_slowness({0.1, -0.05}, v).real(), 0.0);
}

TEST(CagniardTime, DerivativeMatchesDifferencesOfTheTime) {
  const std::vector<Layer> vmod = five_layer_model();
  constexpr double kStep = 1e-6;
  for (const WaveMode mode : {WaveMode::Sh, WaveMode::P}) {
    const RayState state = built_ray(vmod, 4, 3.0, mode);
    const double p_max = 1.0 / (mode == WaveMode::P ? 6.5 : 3.8);
    for (const Complex64 p :
         {Complex64(0.3 * p_max, 0.0), Complex64(0.8 * p_max, 0.0), Complex64(0.5 * p_max, 0.01)}) {
      SCOPED_TRACE(p.real());
      const double range_km = 40.0;
      const Complex64 slope = (cagniard_time(state, vmod, p + kStep, range_km) -
                               cagniard_time(state, vmod, p - kStep, range_km)) /
                              (2.0 * kStep);
      const Complex64 derivative = cagniard_time_derivative(state, vmod, p, range_km);
      EXPECT_NEAR(derivative.real(), slope.real(), 1e-4 * std::abs(slope));
      EXPECT_NEAR(derivative.imag(), slope.imag(), 1e-4 * std::abs(slope));
    }
  }
}

// ---- Green functions ----

// The bisection stops once the ray of parameter p misses the range by at most this (km).
constexpr double kRangeToleranceKm = 0.01;

// Range (km) reached at depth span `vertical_km` by a straight ray of parameter p in a layer of
// velocity v.
double reach_km(double p, double v, double vertical_km) {
  return vertical_km * p * v / std::sqrt(1.0 - p * p * v * v);
}

TEST(GreenFunction, RaysInOneLayerAreStraightLines) {
  // The direct ray and the Moho reflection (its image source mirrored in the Moho) in one layer of
  // velocity v: travel time R / v and length R over the vertical span V = R cos(i).
  //
  // Tolerances from the bisection: T is concave in p and stationary at the true p*, so
  //   0 <= T(p*) - T(p) <= |T'(p)| |p* - p| <= 0.01 km * p_max,
  // and the ray of the returned p reaches X - T'(p), within 0.01 km of the range, which moves
  // the length by at most 0.01 km * (length / V). The length's source leg is measured from the
  // top of layer 1, leaving out the air layer (kAir) that the travel time includes.
  const std::vector<Layer> vmod = one_layer_model();
  const double moho_km = kAir + kCrustKm;
  const double p_max = 1.0 / kCrustVs - 1e-9;
  struct Case {
    std::int32_t ray_type;
    float depth_km;
    float range_km;
  };
  const Case cases[] = {{1, 5.0f, 10.0f}, {1, 8.0f, 3.0f},  {1, 2.0f, 30.0f},
                        {2, 5.0f, 10.0f}, {2, 8.0f, 60.0f}, {2, 2.0f, 0.5f}};
  RayState state;
  for (const Case& c : cases) {
    SCOPED_TRACE(format("ray type {} from {} km at {} km", c.ray_type, c.depth_km, c.range_km));
    const double z = c.depth_km;
    const double x = c.range_km;
    const bool direct = c.ray_type == 1;
    const double time_span_km = direct ? z - kAir : (moho_km - z) + (moho_km - kAir);
    const double path_span_km = direct ? z : (kCrustKm - z) + kCrustKm;
    const double straight_km = std::hypot(x, time_span_km);

    const GreenFunction g =
        green_function(state, vmod, c.depth_km, c.range_km, c.ray_type, WaveMode::Sh);
    EXPECT_NEAR(g.stime, straight_km / kCrustVs,
                kRangeToleranceKm * p_max + 2e-7 * straight_km / kCrustVs);
    EXPECT_LE(g.stime, straight_km / kCrustVs * (1.0 + 2e-7));
    const double length_km = straight_km * path_span_km / time_span_km;
    EXPECT_NEAR(g.rpath, length_km,
                kRangeToleranceKm * path_span_km / time_span_km + 2e-7 * length_km);
    EXPECT_FLOAT_EQ(g.qbar, g.rpath / (kCrustVs * kCrustQs));

    // The returned p: its ray misses the range by at most the tolerance, and T' says so (up to
    // the single-precision traversal counts, which set the vertical span to about 1e-7).
    const StationaryRay ray = stationary_ray_parameter(state, vmod, x);
    EXPECT_EQ(g.rp0, static_cast<float>(ray.ray_parameter));
    const double reach = reach_km(ray.ray_parameter, kCrustVs, time_span_km);
    EXPECT_LE(std::abs(reach - x), kRangeToleranceKm * (1.0 + 1e-6));
    EXPECT_NEAR(cagniard_time_derivative(state, vmod, ray.ray_parameter, x).real(), x - reach,
                4e-7 * reach);
  }
}

TEST(GreenFunction, StationAboveTheSourceGivesTheVerticalTravelTime) {
  struct Case {
    const char* name;
    std::vector<Layer> vmod;
    float depth_km;
    double vertical_time_s;
    double p_max;
  };
  const Case cases[] = {
      {"one layer", one_layer_model(), 6.0f, (6.0 - kAir) / kCrustVs, 1.0 / kCrustVs},
      {"three layers", five_layer_model(), 6.0f, 2.0 / 2.0 + 3.0 / 3.0 + (6.0 - kAir - 5.0) / 3.5,
       1.0 / 3.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RayState state;
    const GreenFunction g = green_function(state, c.vmod, c.depth_km, 0.0f, 1, WaveMode::Sh);
    EXPECT_NEAR(g.stime, c.vertical_time_s, kRangeToleranceKm * c.p_max + 1e-6);
    EXPECT_GT(g.rp0, 0.0f);
    EXPECT_LT(g.rp0, 0.01f);
  }
}

TEST(GreenFunction, BeyondTheCriticalRangeTheRayParameterStaysBelowTheFastestLayer) {
  // Direct ray from layer 2: the fastest layer on its way is layer 2 (the faster layers below and
  // the half-space are not traversed), for P by its P velocity.
  const std::vector<Layer> vmod = five_layer_model();
  for (const auto& [mode, fastest] : {std::pair{WaveMode::Sh, 3.0}, std::pair{WaveMode::P, 5.0}}) {
    SCOPED_TRACE(fastest);
    RayState state;
    const GreenFunction g = green_function(state, vmod, 3.0f, 1e6f, 1, mode);
    const double p_max = 1.0 / fastest - 1e-9;
    EXPECT_EQ(g.rp0, static_cast<float>(p_max));
    EXPECT_EQ(g.stime, static_cast<float>(cagniard_time(state, vmod, p_max, 1e6).real()));
    EXPECT_TRUE(std::isfinite(g.rpath));
  }
}

TEST(GeometricSpreading, SinesBeyondOneAreClampedAndZeroLengthIsFloored) {
  const std::vector<Layer> vmod =
      model({kAirLayer, {10.0, 6.0, 4.0, 200.0f}, {0.0, 8.0, 4.6, 1000.0f}});
  const RayState state = built_ray(vmod, 1, 5.0);
  // The source leg runs from 5 km up to the top of layer 1, counted without the air layer.
  const double clamp = static_cast<double>(0.999999f);
  for (const double p : {0.25, 0.5, std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(p);
    const Spreading s = geometric_spreading(state, vmod, 5.0, p, Takeoff::Up);
    EXPECT_DOUBLE_EQ(s.path_km, 5.0 / std::sqrt(1.0 - clamp * clamp));
    EXPECT_FLOAT_EQ(s.attenuation_s, s.path_km / 4.0 / 200.0);
  }
  EXPECT_DOUBLE_EQ(geometric_spreading(state, vmod, 5.0, 0.0, Takeoff::Up).path_km, 5.0);
  EXPECT_DOUBLE_EQ(geometric_spreading(state, vmod, 5.0, 0.0, Takeoff::Down).path_km, 5.0);
  EXPECT_EQ(geometric_spreading(state, vmod, 0.0, 0.1, Takeoff::Up).path_km,
            static_cast<double>(0.001f));
}

TEST(GreenFunction, ScratchIsReusedWithoutCarryOver) {
  const std::vector<Layer> vmod = five_layer_model();
  RayState reused;
  green_function(reused, vmod, 12.0f, 30.0f, 6, WaveMode::Sh);  // the longest ray first
  const std::size_t* legs = reused.rays.layer_indices.data();
  const float* counts = reused.travel.s_traversals.data();
  const Direction* directions = reused.coefficients.directions.data();
  for (const std::int32_t ray_type : {1, 2, 3}) {
    SCOPED_TRACE(ray_type);
    RayState fresh;
    const GreenFunction a = green_function(reused, vmod, 3.0f, 20.0f, ray_type, WaveMode::Sh);
    const GreenFunction b = green_function(fresh, vmod, 3.0f, 20.0f, ray_type, WaveMode::Sh);
    EXPECT_EQ(a.rp0, b.rp0);
    EXPECT_EQ(a.stime, b.stime);
    EXPECT_EQ(a.rpath, b.rpath);
    EXPECT_EQ(a.qbar, b.qbar);
    EXPECT_EQ(reused.rays.layer_indices, fresh.rays.layer_indices);
    EXPECT_EQ(reused.travel.s_traversals, fresh.travel.s_traversals);
    EXPECT_EQ(reused.travel.deepest_layer, fresh.travel.deepest_layer);
    EXPECT_EQ(reused.coefficients.directions, fresh.coefficients.directions);
    EXPECT_EQ(reused.rays.degeneracy, 1);
    EXPECT_EQ(reused.rays.layer_indices.data(), legs);
    EXPECT_EQ(reused.travel.s_traversals.data(), counts);
    EXPECT_EQ(reused.coefficients.directions.data(), directions);
  }
}

}  // namespace
}  // namespace tolvane::ray
