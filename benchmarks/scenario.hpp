// The benchmark scenario: a magnitude-6.5-like rupture on one 30 km x 15 km segment in 1 km
// subfaults, a layered crust, rays 1 and 2, 60 s records at 0.01 s, stations 5 to 100 km away.
#pragma once

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <cstdint>
#include <vector>

#include "config.hpp"
#include "input.hpp"
#include "sim.hpp"
#include "state.hpp"

namespace bench {

namespace tv = tolvane;

constexpr float kOriginLat = 34.0f, kOriginLon = -118.0f;

inline tv::config::HfConfig scenario_config() {
  return tv::config::HfConfig{
      .source =
          {.czero = 1.8f,
           .calpha = 0.5f,
           .rupture_velocity = {.frac = 0.8f, .shallow = 0.6f, .deep = 1.2f, .rv_sig1 = 0.1f}},
      .path = {.rayset = {tv::config::RayType{1}, tv::config::RayType{2}},
               .path_duration = tv::config::PathDurationModel::Gp2010},
      .site = {.f_max_hz = 20.0f},
      .record = {.duration_s = 60.0f, .dt_s = 0.01f},
  };
}

// Heterogeneous slip from a fixed linear congruential sequence, rupture times from a 2.8 km/s
// rupture front leaving a hypocentre at 15 km along strike, 10 km down dip.
inline tv::input::StochModel scenario_slip() {
  constexpr std::size_t columns = 30, rows = 15;
  std::vector<tv::input::Subfault> cells;
  std::uint64_t state = 12345;
  for (std::size_t j = 0; j < rows; ++j) {
    for (std::size_t i = 0; i < columns; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const float u = static_cast<float>(state >> 40) * 0x1.0p-24f;
      const float taper =
          std::sin(3.1415927f * (i + 0.5f) / columns) * std::sin(3.1415927f * (j + 0.5f) / rows);
      const float along = i + 0.5f - 15.0f, down = j + 0.5f - 10.0f;
      cells.push_back({.slip = {60.0f + 200.0f * taper * u},
                       .rise_time_s = 1.5f,
                       .rupture_time_s = std::hypot(along, down) / 2.8f,
                       .stress_drop_bars = 50.0f});
    }
  }
  tv::input::Segment segment = tv::input::SegmentBuilder{.fault_lon_deg = kOriginLon,
                                                         .fault_lat_deg = kOriginLat,
                                                         .along_strike_count = columns,
                                                         .down_dip_count = rows,
                                                         .subfault_length_km = 1.0f,
                                                         .subfault_width_km = 1.0f,
                                                         .strike_deg = 300.0f,
                                                         .dip_deg = 45.0f,
                                                         .rake_deg = 90.0f,
                                                         .top_depth_km = 1.0f,
                                                         .hypocentre_along_strike_km = 15.0f,
                                                         .hypocentre_down_dip_km = 10.0f,
                                                         .subfaults = std::move(cells)}
                                   .build();
  return tv::input::StochModel({std::move(segment)});
}

inline std::vector<tv::state::InputLayer> scenario_crust() {
  struct Row {
    float thickness;
    double vp, vs, rho;
    float qp, qs;
  };
  const Row rows[] = {
      {0.5f, 2.5, 1.2, 2.1, 100.0f, 50.0f},   {1.5f, 4.0, 2.1, 2.3, 200.0f, 100.0f},
      {3.0f, 5.5, 3.2, 2.6, 400.0f, 200.0f},  {10.0f, 6.2, 3.6, 2.8, 600.0f, 300.0f},
      {17.0f, 6.6, 3.8, 2.9, 700.0f, 350.0f}, {0.0f, 7.8, 4.5, 3.3, 1000.0f, 500.0f}};
  std::vector<tv::state::InputLayer> layers;
  for (const Row& r : rows) {
    layers.push_back({0.0f, r.thickness, r.vp, r.vs, r.rho, r.qp, r.qs});
  }
  return std::get<std::vector<tv::state::InputLayer>>(tv::input::build_velocity_model(layers, 4.4));
}

// `count` stations at distances from 5 to 100 km of the segment's reference point (one station: at
// 5 km), spread in azimuth by the golden angle.
inline std::vector<tv::sim::Station> scenario_stations(std::size_t count) {
  std::vector<tv::sim::Station> stations;
  const GeographicLib::Geodesic& earth = GeographicLib::Geodesic::WGS84();
  for (std::size_t k = 0; k < count; ++k) {
    const double spread = count > 1 ? static_cast<double>(k) / static_cast<double>(count - 1) : 0.0;
    const double distance_km = 5.0 + 95.0 * spread;
    const double azimuth = std::fmod(137.50776 * static_cast<double>(k), 360.0);
    double lat = 0.0, lon = 0.0;
    earth.Direct(kOriginLat, kOriginLon, azimuth, distance_km * 1000.0, lat, lon);
    stations.push_back({.longitude = static_cast<float>(lon),
                        .latitude = static_cast<float>(lat),
                        .name = "bench",
                        .kappa_s = 0.04f,
                        .q_exponent = 0.6f});
  }
  return stations;
}

}  // namespace bench
