// Subfault geometry: places the centre of every subfault of a planar segment on the Earth and
// measures from it to a station (epicentral distance and azimuth on the WGS84 ellipsoid, slant
// distance and straight-ray take-off angle).
//
// Subfault centres come from a flat local projection around the segment origin, scaled by the
// ellipsoid's length of one degree of latitude and longitude there; distances and azimuths to the
// station are geodesics on the ellipsoid. All arithmetic is single precision except inside the
// geodesic solver.
#pragma once

#include <cstddef>
#include <vector>

namespace tolvane::geom {

struct GeoPoint {
  float lat_deg;
  float lon_deg;
};

// The geometry of one fault segment.
struct FaultPlane {
  GeoPoint origin;  // reference point: the middle of the segment's top edge
  float strike_deg;
  float dip_deg;
  float top_depth_km;            // depth of the top edge
  float along_strike_offset_km;  // from the start of the top edge to `origin`
  float subfault_length_km;      // along strike
  float subfault_width_km;       // down dip
  std::size_t along_strike_count;
  std::size_t down_dip_count;
};

// One subfault as seen from one station.
struct SubfaultRay {
  float slant_km;     // straight line from the subfault centre to the station at the surface
  float azimuth_rad;  // from the subfault centre to the station, clockwise from north, [0, 2 pi)
  float takeoff_rad;  // straight ray, from the downward vertical (pi: station straight above)
  float horiz_km;     // epicentral distance along the ellipsoid
  float depth_km;     // depth of the subfault centre
};

// Every subfault of a segment, in grid storage order: row by row from the top edge, along strike
// within a row.
struct SubfaultGeometry {
  std::vector<SubfaultRay> rays;
  std::size_t along_strike_count;
  std::size_t down_dip_count;

  // Along-strike index i and down-dip index j, both counted from 1.
  SubfaultRay at(std::size_t i, std::size_t j) const;
};

// The ellipsoid solver's answer in its own precision.
struct GeodesicInverse {
  double distance_m;
  double azimuth_deg;  // forward azimuth at the first point, -180 to 180
};

struct DistanceAzimuth {
  float deltkm;  // epicentral distance, km
  float azes;    // azimuth, radians
  float azesdg;  // azimuth, degrees in [0, 360)
};

// Inverse geodesic problem on WGS84 from `from` to `to` (the f32 coordinates widened to f64).
GeodesicInverse geodesic_inverse(GeoPoint from, GeoPoint to);

// Rounds the solver's answer to single precision, the azimuth into [0, 360) degrees.
DistanceAzimuth to_distance_azimuth(const GeodesicInverse& geodesic);

DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station);

SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station);

}  // namespace tolvane::geom
