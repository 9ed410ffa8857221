// Subfault geometry: geodesics against an independent solution, subfault placement, grid access.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "error.hpp"
#include "geom.hpp"

namespace tolvane::geom {
namespace {

template <class F>
void expect_internal_error(F&& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "expected InternalError: " << text;
  } catch (const InternalError& e) {
    EXPECT_EQ(e.what(), text);
  }
}

// Signed difference of two angles, in (-pi, pi].
double angle_difference(double a_rad, double b_rad) {
  return std::remainder(a_rad - b_rad, 2.0 * std::numbers::pi);
}

// Reference solutions from Karney's geographiclib for Python 2.1 (Geodesic.WGS84.Inverse on the
// single-precision coordinates widened to double). The single-precision columns round the
// reference distance (km) and azimuth (degrees in [0, 360), 360 -> 0), and multiply the azimuth
// by the single-precision pi/180.
struct GeodesicCase {
  const char* name;
  GeoPoint from;
  GeoPoint to;
  double distance_m;
  double azimuth_deg;
  float deltkm;
  float azesdg;
  float azes;
};

constexpr GeodesicCase kGeodesicCases[] = {
    {"short",
     {37.5f, -122.25f},
     {37.54999923706055f, -122.19999694824219f},
     7094.47817087777,
     38.52245893103399,
     7.094478130340576f,
     38.522457122802734f,
     0.6723437309265137f},
    {"long",
     {10.0f, 20.0f},
     {-45.0f, 95.0f},
     9634506.31656207,
     136.69657461229409,
     9634.505859375f,
     136.6965789794922f,
     2.385805368423462f},
    {"antimeridian",
     {51.25f, 179.75f},
     {52.5f, -178.5f},
     184023.92611366158,
     40.22495875328854,
     184.02392578125f,
     40.22496032714844f,
     0.7020580172538757f},
    {"just east of north",
     {10.0f, 20.0f},
     {30.0f, 20.010000228881836f},
     2214258.808485688,
     0.0254784890906961,
     2214.2587890625f,
     0.025478489696979523f,
     0.00044468353735283017f},
    {"just west of north",
     {10.0f, 20.0f},
     {30.0f, 19.989999771118164f},
     2214258.808485688,
     -0.0254784890906961,
     2214.2587890625f,
     359.9745178222656f,
     6.282740592956543f},
    {"nearly antipodal",
     {0.5f, 10.0f},
     {-0.75f, -170.25f},
     19972228.00711864,
     163.15084691959888,
     19972.228515625f,
     163.15084838867188f,
     2.8475193977355957f},
    {"rounds to 360",
     {10.0f, 20.0f},
     {60.0f, 19.999998092651367f},
     5548217.986256142,
     -1.2513529828731738e-06,
     5548.2177734375f,
     0.0f,
     0.0f},
};

constexpr double kDistanceToleranceM = 1e-3;
constexpr double kAzimuthToleranceDeg = 1e-6;

TEST(DistanceAzimuth, MatchesAnIndependentGeodesicSolution) {
  for (const GeodesicCase& c : kGeodesicCases) {
    SCOPED_TRACE(c.name);
    const GeodesicInverse g = geodesic_inverse(c.from, c.to);
    EXPECT_NEAR(g.distance_m, c.distance_m, kDistanceToleranceM);
    EXPECT_NEAR(g.azimuth_deg, c.azimuth_deg, kAzimuthToleranceDeg);
    const DistanceAzimuth d = distance_azimuth(c.from, c.to);
    EXPECT_EQ(d.deltkm, c.deltkm);
    EXPECT_EQ(d.azesdg, c.azesdg);
    EXPECT_EQ(d.azes, c.azes);
  }
}

TEST(DistanceAzimuth, AzimuthsThatRoundTo360BecomeNorth) {
  struct Case {
    double azimuth_deg;
    float azesdg;
  };
  const Case cases[] = {
      {-std::ldexp(1.0, -17), 0.0f},               // rounds up to 360
      {-std::ldexp(1.0, -16), 0.0f},               // half a step: ties to the even 360
      {-std::ldexp(1.0, -15), 360.0f - 0x1p-15f},  // the float just below 360
      {-90.0, 270.0f},
      {-180.0, 180.0f},
      {180.0, 180.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.azimuth_deg);
    const DistanceAzimuth d =
        to_distance_azimuth({.distance_m = 1500.0, .azimuth_deg = c.azimuth_deg});
    EXPECT_EQ(d.azesdg, c.azesdg);
    EXPECT_EQ(d.azes, c.azesdg * 0.017453292f);
    EXPECT_EQ(d.deltkm, 1.5f);
  }
}

// Subfaults 4 km along strike by 2 km down dip, top edge at 1 km, origin in the middle of it.
FaultPlane plane(GeoPoint origin, float strike_deg, float dip_deg, std::size_t columns,
                 std::size_t rows) {
  return FaultPlane{
      .origin = origin,
      .strike_deg = strike_deg,
      .dip_deg = dip_deg,
      .top_depth_km = 1.0f,
      .along_strike_offset_km = 0.5f * static_cast<float>(columns) * 4.0f,
      .subfault_length_km = 4.0f,
      .subfault_width_km = 2.0f,
      .along_strike_count = columns,
      .down_dip_count = rows,
  };
}

constexpr GeoPoint kOrigin{35.0f, -118.0f};

TEST(SubfaultGeometry, StationStraightAboveTheCentre) {
  // One vertical subfault: its centre lies on the origin, 2 km deep.
  const SubfaultGeometry g = subfault_geometry(plane(kOrigin, 0.0f, 90.0f, 1, 1), kOrigin);
  ASSERT_EQ(g.rays.size(), 1u);
  const SubfaultRay& ray = g.rays[0];
  EXPECT_EQ(ray.horiz_km, 0.0f);
  EXPECT_EQ(ray.depth_km, 2.0f);
  EXPECT_EQ(ray.slant_km, ray.depth_km);
  EXPECT_EQ(ray.takeoff_rad, 3.1415927f);
}

TEST(SubfaultGeometry, VerticalSegmentStacksItsRows) {
  const GeoPoint station{35.5f, -117.5f};
  const SubfaultGeometry g = subfault_geometry(plane(kOrigin, 30.0f, 90.0f, 3, 4), station);
  ASSERT_EQ(g.rays.size(), 12u);
  const float row_depths[] = {2.0f, 4.0f, 6.0f, 8.0f};  // top + (r + 0.5) * width
  for (std::size_t j = 1; j <= 4; ++j) {
    for (std::size_t i = 1; i <= 3; ++i) {
      SCOPED_TRACE(format("subfault ({},{})", i, j));
      const SubfaultRay ray = g.at(i, j);
      EXPECT_EQ(ray.depth_km, row_depths[j - 1]);
      // Same map position as the top row's subfault (to well below a float step of the position).
      EXPECT_NEAR(ray.horiz_km, g.at(i, 1).horiz_km, 1e-4);
      EXPECT_NEAR(ray.azimuth_rad, g.at(i, 1).azimuth_rad, 1e-6);
      EXPECT_EQ(ray.slant_km, std::sqrt(ray.horiz_km * ray.horiz_km + ray.depth_km * ray.depth_km));
      EXPECT_EQ(ray.takeoff_rad, 3.1415927f - std::atan2(ray.horiz_km, ray.depth_km));
    }
  }
}

TEST(SubfaultGeometry, CentresLieSymmetricallyAlongStrike) {
  // Three vertical subfaults seen from the origin: the first lies one subfault length behind the
  // origin along strike (so the origin is ahead of it, at the strike azimuth), the middle one on
  // it, the last one length ahead.
  constexpr double kAzimuthToleranceRad = 1e-3;  // flat projection versus the ellipsoid
  constexpr double kDistanceToleranceKm = 0.01;
  for (const float strike_deg : {0.0f, 45.0f, 90.0f, 200.0f}) {
    SCOPED_TRACE(strike_deg);
    const SubfaultGeometry g = subfault_geometry(plane(kOrigin, strike_deg, 90.0f, 3, 1), kOrigin);
    const double strike_rad = strike_deg * std::numbers::pi / 180.0;
    EXPECT_NEAR(angle_difference(g.at(1, 1).azimuth_rad, strike_rad), 0.0, kAzimuthToleranceRad);
    EXPECT_NEAR(angle_difference(g.at(3, 1).azimuth_rad, strike_rad + std::numbers::pi), 0.0,
                kAzimuthToleranceRad);
    EXPECT_NEAR(g.at(1, 1).horiz_km, 4.0, kDistanceToleranceKm);
    EXPECT_NEAR(g.at(3, 1).horiz_km, 4.0, kDistanceToleranceKm);
    EXPECT_NEAR(g.at(2, 1).horiz_km, 0.0, 1e-5);
  }
  // Strike 0: the first centre is south of the origin, the last north of it.
  const SubfaultGeometry north = subfault_geometry(plane(kOrigin, 0.0f, 90.0f, 3, 1), kOrigin);
  EXPECT_NEAR(angle_difference(north.at(1, 1).azimuth_rad, 0.0), 0.0, 1e-6);
  EXPECT_NEAR(angle_difference(north.at(3, 1).azimuth_rad, std::numbers::pi), 0.0, 1e-6);
}

TEST(SubfaultGeometry, DippingRowsMoveTowardsStrikePlus90) {
  // Dip 60: the row centre lies 1 km down dip, i.e. 0.5 km from the trace towards strike + 90
  // and 1 + sin 60 km deep, so the origin lies at strike + 270 degrees from it.
  // Single-precision coordinates place a centre to within about half a metre.
  constexpr double kPositionToleranceKm = 1e-3;
  for (const float strike_deg : {0.0f, 90.0f, 230.0f}) {
    SCOPED_TRACE(strike_deg);
    const SubfaultGeometry g = subfault_geometry(plane(kOrigin, strike_deg, 60.0f, 1, 1), kOrigin);
    const SubfaultRay ray = g.at(1, 1);
    const double back_rad = (strike_deg + 270.0) * std::numbers::pi / 180.0;
    EXPECT_NEAR(ray.horiz_km, 0.5, kPositionToleranceKm);
    EXPECT_NEAR(ray.depth_km, 1.0 + std::sqrt(3.0) / 2.0, 1e-6);
    EXPECT_NEAR(angle_difference(ray.azimuth_rad, back_rad), 0.0, 2e-3);
    EXPECT_NEAR(ray.takeoff_rad, std::numbers::pi - std::atan2(0.5, 1.0 + std::sqrt(3.0) / 2.0),
                kPositionToleranceKm);
  }
}

TEST(SubfaultGeometry, GridAccessFollowsStorageOrder) {
  const GeoPoint station{35.2f, -118.3f};
  const SubfaultGeometry g = subfault_geometry(plane(kOrigin, 10.0f, 45.0f, 3, 2), station);
  ASSERT_EQ(g.rays.size(), 6u);
  EXPECT_EQ(g.along_strike_count, 3u);
  EXPECT_EQ(g.down_dip_count, 2u);
  const auto same = [](const SubfaultRay& a, const SubfaultRay& b) {
    return a.slant_km == b.slant_km && a.azimuth_rad == b.azimuth_rad &&
           a.takeoff_rad == b.takeoff_rad && a.horiz_km == b.horiz_km && a.depth_km == b.depth_km;
  };
  EXPECT_TRUE(same(g.at(1, 1), g.rays.front()));
  EXPECT_TRUE(same(g.at(2, 1), g.rays[1]));
  EXPECT_TRUE(same(g.at(1, 2), g.rays[3]));
  EXPECT_TRUE(same(g.at(3, 2), g.rays.back()));
  EXPECT_LT(g.at(3, 1).depth_km, g.at(1, 2).depth_km);  // rows run down dip
  for (const auto& cell : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 0}, {4, 1}, {1, 3}}) {
    expect_internal_error(
        [&] { g.at(cell.first, cell.second); },
        format("subfault ({},{}) is outside the 3x2 grid", cell.first, cell.second));
  }
}

TEST(SubfaultGeometry, EmptyGridIsAnInternalError) {
  EXPECT_THROW(subfault_geometry(plane(kOrigin, 0.0f, 45.0f, 0, 2), kOrigin), InternalError);
  EXPECT_THROW(subfault_geometry(plane(kOrigin, 0.0f, 45.0f, 2, 0), kOrigin), InternalError);
}

}  // namespace
}  // namespace tolvane::geom
