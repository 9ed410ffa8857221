// Subfault geometry: subfault centres on the Earth and their distances and azimuths to a station.
#include "geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <limits>

#include "constants.hpp"
#include "error.hpp"

namespace tolvane::geom {
namespace {

float degrees_to_radians(float degrees) {
  return (degrees * kPi) / 180.0f;
}

// Ellipsoid kilometres per degree of longitude and of latitude at the segment origin.
struct LocalScale {
  float km_per_deg_lon;  // ddx
  float km_per_deg_lat;  // ddy
};

LocalScale local_scale(float lat0_deg) {
  const DistanceAzimuth east = distance_azimuth({lat0_deg, 0.0f}, {lat0_deg, 1.0f});
  const DistanceAzimuth north = distance_azimuth({lat0_deg, 0.0f}, {lat0_deg + 1.0f, 0.0f});
  // The azimuths are close to 90 and 0 degrees: project the one-degree steps on east and north.
  const float east_rad = degrees_to_radians(east.azesdg);
  const float north_rad = degrees_to_radians(north.azesdg);
  return LocalScale{
      .km_per_deg_lon = std::sin(east_rad) * east.deltkm,
      .km_per_deg_lat = std::cos(north_rad) * north.deltkm,
  };
}

std::size_t checked_grid_size(std::size_t along_strike_count, std::size_t down_dip_count) {
  ensure(along_strike_count > 0 && down_dip_count > 0,
         "a subfault grid needs at least one subfault each way, got {}x{}", along_strike_count,
         down_dip_count);
  std::size_t size = 0;
  ensure(!__builtin_mul_overflow(along_strike_count, down_dip_count, &size) &&
             size <= std::numeric_limits<std::size_t>::max() / sizeof(SubfaultRay),
         "a {}x{} subfault grid does not fit in memory", along_strike_count, down_dip_count);
  return size;
}

}  // namespace

SubfaultRay SubfaultGeometry::at(std::size_t i, std::size_t j) const {
  ensure(i >= 1 && i <= along_strike_count && j >= 1 && j <= down_dip_count,
         "subfault ({},{}) is outside the {}x{} grid", i, j, along_strike_count, down_dip_count);
  return rays[(j - 1) * along_strike_count + (i - 1)];
}

GeodesicInverse geodesic_inverse(GeoPoint from, GeoPoint to) {
  // A function-local static inside GeographicLib; Inverse is const, so threads may share it.
  const GeographicLib::Geodesic& wgs84 = GeographicLib::Geodesic::WGS84();
  double distance_m = 0.0;
  double azimuth_deg = 0.0;
  double back_azimuth_deg = 0.0;  // not used
  wgs84.Inverse(static_cast<double>(from.lat_deg), static_cast<double>(from.lon_deg),
                static_cast<double>(to.lat_deg), static_cast<double>(to.lon_deg), distance_m,
                azimuth_deg, back_azimuth_deg);
  return GeodesicInverse{.distance_m = distance_m, .azimuth_deg = azimuth_deg};
}

DistanceAzimuth to_distance_azimuth(const GeodesicInverse& geodesic) {
  double azimuth_deg = geodesic.azimuth_deg;
  if (azimuth_deg < 0.0) azimuth_deg += 360.0;
  // An azimuth within half a single-precision step of 360 rounds up to 360, which is north.
  float azesdg = static_cast<float>(azimuth_deg);
  if (azesdg >= 360.0f) azesdg = 0.0f;
  return DistanceAzimuth{
      .deltkm = static_cast<float>(geodesic.distance_m / 1000.0),
      .azes = azesdg * kDegToRad,
      .azesdg = azesdg,
  };
}

DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station) {
  return to_distance_azimuth(geodesic_inverse(event, station));
}

SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station) {
  const std::size_t columns = plane.along_strike_count;
  SubfaultGeometry geometry{
      .rays = {},
      .along_strike_count = columns,
      .down_dip_count = plane.down_dip_count,
  };
  geometry.rays.reserve(checked_grid_size(columns, plane.down_dip_count));

  const float lat0 = plane.origin.lat_deg;
  const float lon0 = plane.origin.lon_deg;
  const LocalScale scale = local_scale(lat0);
  const float strike_rad = degrees_to_radians(plane.strike_deg);
  const float dip_rad = degrees_to_radians(plane.dip_deg);
  const float sin_strike = std::sin(strike_rad);
  const float cos_strike = std::cos(strike_rad);
  const float sin_dip = std::sin(dip_rad);
  const float cos_dip = std::cos(dip_rad);

  for (std::size_t row = 0; row < plane.down_dip_count; ++row) {
    // Row centre, measured in the fault plane from the top edge, then projected.
    const float down_dip =
        static_cast<float>(row) * plane.subfault_width_km + (0.5f * plane.subfault_width_km);
    const float depth_km = sin_dip * down_dip + plane.top_depth_km;
    const float dip_offset_km = down_dip * cos_dip;  // horizontal, towards strike + 90 degrees
    for (std::size_t k = 1; k <= columns; ++k) {
      const float along =
          (static_cast<float>(k) - 0.5f) * plane.subfault_length_km - plane.along_strike_offset_km;
      const float east_km = along * sin_strike + cos_strike * dip_offset_km;
      const float north_km = cos_strike * along - dip_offset_km * sin_strike;
      const GeoPoint centre{
          .lat_deg = north_km / scale.km_per_deg_lat + lat0,
          .lon_deg = lon0 + east_km / scale.km_per_deg_lon,
      };
      const DistanceAzimuth d = distance_azimuth(centre, station);
      geometry.rays.push_back(SubfaultRay{
          .slant_km = std::sqrt(d.deltkm * d.deltkm + depth_km * depth_km),
          .azimuth_rad = d.azes,
          .takeoff_rad = kPi - std::atan2(d.deltkm, depth_km),
          .horiz_km = d.deltkm,
          .depth_km = depth_km,
      });
    }
  }
  return geometry;
}

}  // namespace tolvane::geom
