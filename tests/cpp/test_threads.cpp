// One Simulator driven from many threads at once, station after station: every thread's records
// must equal a serial run bit for bit. Built with -fsanitize=thread (make test-tsan), the same
// program checks that the station runs share nothing writable: the Simulator, the per-thread FFT
// plans (made concurrently by fresh threads, and destroyed concurrently when they end) and the
// process-wide ellipsoid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim.hpp"

namespace tolvane::sim {
namespace {

using input::SegmentBuilder;
using input::StochModel;
using input::Subfault;
using state::InputLayer;

constexpr std::size_t kThreads = 8;
// Each thread runs the whole station list this many times, starting at a different station, so
// that at any moment the threads are at different stations and transform lengths.
constexpr std::size_t kRounds = 2;

input::Segment fault_segment(float lon, float lat, float strike, float dip) {
  std::vector<Subfault> cells;
  const float slip[] = {30, 80, 120, 60, 10, 90};
  for (std::size_t k = 0; k < 6; ++k) {
    cells.push_back({input::Slip{slip[k]}, 1.0f, 0.5f * static_cast<float>(k), 40.0f});
  }
  return SegmentBuilder{.fault_lon_deg = lon,
                        .fault_lat_deg = lat,
                        .along_strike_count = 3,
                        .down_dip_count = 2,
                        .subfault_length_km = 2.0f,
                        .subfault_width_km = 2.0f,
                        .strike_deg = strike,
                        .dip_deg = dip,
                        .rake_deg = 90.0f,
                        .top_depth_km = 2.0f,
                        .hypocentre_along_strike_km = 3.0f,
                        .hypocentre_down_dip_km = 2.0f,
                        .subfaults = std::move(cells)}
      .build();
}

Simulator two_segment_simulator() {
  const config::HfConfig config{
      .source = {.czero = 1.8f, .calpha = 0.5f, .rupture_velocity = {0.8f, 0.6f, 1.2f, 0.1f}},
      .path = {.rayset = {config::RayType{0}, config::RayType{1}, config::RayType{2}},
               .path_duration = config::PathDurationModel::Gp2010},
      .site = {.f_max_hz = 20.0f},
      .record = {.duration_s = 30.0f, .dt_s = 0.02f},
  };
  const std::vector<InputLayer> crust = {{0.0f, 2.0f, 4.0, 2.0, 2.2, 200.0f, 100.0f},
                                         {0.0f, 8.0f, 6.0, 3.5, 2.7, 400.0f, 200.0f},
                                         {0.0f, 0.0f, 8.0, 4.6, 3.3, 800.0f, 400.0f}};
  const StochModel slip(
      {fault_segment(0.0f, 0.0f, 10.0f, 60.0f), fault_segment(0.03f, 0.05f, 40.0f, 45.0f)});
  return std::get<Simulator>(Simulator::create(config, slip, crust));
}

// Near and far stations, the fmax filter (kappa 0), and a station at an undefined position.
std::vector<Station> stations() {
  std::vector<Station> out;
  const float positions[][2] = {{0.02f, 0.05f}, {0.1f, -0.1f},  {-0.2f, 0.3f}, {0.4f, 0.0f},
                                {0.0f, 0.7f},   {-0.5f, -0.5f}, {5.0f, 5.0f},  {NAN, 0.1f}};
  for (std::size_t k = 0; k < std::size(positions); ++k) {
    out.push_back(Station{.longitude = positions[k][0],
                          .latitude = positions[k][1],
                          .name = std::to_string(k),
                          .kappa_s = k % 3 == 0 ? 0.0f : 0.04f,
                          .q_exponent = 0.5f + 0.05f * static_cast<float>(k)});
  }
  return out;
}

std::uint64_t seed_of(std::size_t station) {
  return 0x9e3779b97f4a7c15ull * (station + 1);
}

bool identical(const Simulation& a, const Simulation& b) {
  for (std::size_t r = 0; r < 3; ++r) {
    const auto x = a.acc.row(r), y = b.acc.row(r);
    // Bitwise: a NaN sample must be the same NaN in both.
    if (x.size() != y.size() || std::memcmp(x.data(), y.data(), x.size_bytes()) != 0) return false;
  }
  return a.census.pairs_attempted == b.census.pairs_attempted &&
         a.census.pairs_outside_record == b.census.pairs_outside_record &&
         a.census.samples_computed == b.census.samples_computed &&
         a.census.samples_accumulated == b.census.samples_accumulated &&
         a.census.transform_lengths == b.census.transform_lengths &&
         a.clipping.peaks_lost == b.clipping.peaks_lost &&
         std::memcmp(&a.clipping.worst_overrun_s, &b.clipping.worst_overrun_s, sizeof(float)) == 0;
}

TEST(Threads, EightThreadsOnOneSimulatorMatchASerialRun) {
  const Simulator sim = two_segment_simulator();
  const std::vector<Station> list = stations();
  std::vector<Simulation> serial;
  for (std::size_t k = 0; k < list.size(); ++k) {
    serial.push_back(sim.run_station(list[k], seed_of(k)));
  }
  // The scenario exercises what it should: some pairs add to records, some fall outside.
  std::size_t added = 0, outside = 0;
  for (const Simulation& s : serial) {
    added += s.census.pairs_attempted - s.census.pairs_outside_record;
    outside += s.census.pairs_outside_record;
  }
  ASSERT_GT(added, 0u);
  ASSERT_GT(outside, 0u);

  // Mismatches per thread, written by that thread only and read after join.
  std::vector<std::size_t> mismatches(kThreads, 0), runs(kThreads, 0);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (std::size_t n = 0; n < kRounds * list.size(); ++n) {
        const std::size_t k = (t + n) % list.size();
        const Simulation got = sim.run_station(list[k], seed_of(k));
        ++runs[t];
        if (!identical(got, serial[k])) ++mismatches[t];
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    EXPECT_EQ(runs[t], kRounds * list.size()) << "thread " << t;
    EXPECT_EQ(mismatches[t], 0u) << "thread " << t;
  }
}

}  // namespace
}  // namespace tolvane::sim
