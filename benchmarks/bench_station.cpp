// Station-run benchmark: throughput on one and on all hardware threads, the cost per (subfault,
// ray) pair that reaches the record, and that cost against the floor of the method (six complex
// transforms and 3 N normal draws per pair) with a short profile of where a pair's time goes.
//
// Usage: bench_station [stations]   (default 16)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "fft.hpp"
#include "radiation.hpp"
#include "rng/source.hpp"
#include "scenario.hpp"
#include "sim.hpp"

namespace {

namespace tv = tolvane;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Median time per call of `body` over `rounds` rounds of `reps` calls, in microseconds.
template <class Body>
double micro_benchmark(int reps, Body&& body) {
  constexpr int rounds = 7;
  std::vector<double> per_call;
  for (int round = 0; round < rounds; ++round) {
    const Clock::time_point start = Clock::now();
    for (int r = 0; r < reps; ++r) body();
    per_call.push_back(seconds_since(start) * 1e6 / reps);
  }
  std::sort(per_call.begin(), per_call.end());
  return per_call[rounds / 2];
}

struct RunResult {
  double seconds;
  std::vector<tv::sim::Simulation> records;
};

// Runs every station on `threads` threads taking stations in turn; each thread first runs one
// untimed station so that its FFT plans exist, as on a long-lived worker.
RunResult run_all(const tv::sim::Simulator& sim, const std::vector<tv::sim::Station>& stations,
                  unsigned threads) {
  std::vector<tv::sim::Simulation> records(stations.size());
  std::atomic<std::size_t> next{0};
  std::latch warm(threads + 1);
  std::latch go(1);
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      sim.run_station(stations.front(), 0);
      warm.count_down();
      go.wait();
      for (std::size_t k; (k = next.fetch_add(1)) < stations.size();) {
        records[k] = sim.run_station(stations[k], 1000 + k);
      }
    });
  }
  warm.arrive_and_wait();
  const Clock::time_point start = Clock::now();
  go.count_down();
  for (std::thread& t : pool) t.join();
  return {seconds_since(start), std::move(records)};
}

bool identical(const std::vector<tv::sim::Simulation>& a,
               const std::vector<tv::sim::Simulation>& b) {
  for (std::size_t k = 0; k < a.size(); ++k) {
    for (std::size_t r = 0; r < 3; ++r) {
      const auto x = a[k].acc.row(r), y = b[k].acc.row(r);
      if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t station_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());

  auto built = tv::sim::Simulator::create(bench::scenario_config(), bench::scenario_slip(),
                                          bench::scenario_crust());
  const tv::sim::Simulator& sim = std::get<tv::sim::Simulator>(built);
  const std::vector<tv::sim::Station> stations = bench::scenario_stations(station_count);

  const RunResult serial = run_all(sim, stations, 1);
  const RunResult parallel = run_all(sim, stations, threads);

  tv::sim::Census census;
  for (const auto& r : serial.records) census += r.census;
  const std::size_t pairs = census.pairs_attempted - census.pairs_outside_record;
  const std::uint64_t typical_n = tv::fft::good_length(census.samples_computed / pairs);
  const double us_per_pair = serial.seconds * 1e6 / static_cast<double>(pairs);

  // The floor: six transforms and 3 N normals at the typical length.
  tv::Array2<tv::Complex> rows(2, typical_n);
  for (std::size_t k = 0; k < typical_n; ++k) rows.row(0)[k] = {std::sin(0.1f * k), 0.0f};
  const auto spectrum = rows.row(1);
  const double transforms_us = micro_benchmark(200, [&] {
    std::copy(rows.row(0).begin(), rows.row(0).end(), spectrum.begin());
    for (int c = 0; c < 3; ++c) {
      tv::fft::forward(spectrum);
      tv::fft::inverse(spectrum);
    }
  });
  tv::rng::DrawSource draws = tv::rng::DrawSource::for_station(1);
  std::vector<float> normals(3 * typical_n);
  const double normals_us = micro_benchmark(200, [&] { draws.fill_normal(normals); });

  // The radiation averages of a pair: two horizontal components and the vertical one.
  const std::uint64_t fold = typical_n / 2 + 1;
  std::vector<float> frequency(fold), gain(fold), ua(1000), ub(1000);
  for (std::size_t k = 0; k < fold; ++k) frequency[k] = 0.01f * k;
  draws.fill_uniform(ua);
  draws.fill_uniform(ub);
  const tv::radiation::RadiationAngles angles{0.3f, 0.8f, 1.5f, 2.0f, 2.4f};
  const double radiation_us = micro_benchmark(50, [&] {
    tv::radiation::horizontal_radiation_spectrum(draws, angles, frequency, -1.5707964f, 1000, gain);
    tv::radiation::horizontal_radiation_spectrum(draws, angles, frequency, 0.0f, 1000, gain);
    tv::radiation::vertical_radiation_spectrum(angles, frequency, ua, ub, 1000, gain);
  });
  const double floor_us = transforms_us + normals_us;
  const double rest_us = us_per_pair - transforms_us - normals_us - radiation_us;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("scenario: %zu subfaults, %zu rays, %zu samples at %.3g s, %zu stations 5-100 km\n",
              sim.slip.subfault_count, sim.rayset.size(), sim.ndata(), sim.run.dt, station_count);
  std::printf("pairs reaching the record: %zu of %zu; typical transform length N = %llu\n", pairs,
              census.pairs_attempted, static_cast<unsigned long long>(typical_n));
  std::printf("\n%-34s %12s %12s\n", "", "1 thread",
              (std::to_string(threads) + " threads").c_str());
  std::printf("%-34s %12.3f %12.3f\n", "stations per second", station_count / serial.seconds,
              station_count / parallel.seconds);
  std::printf("%-34s %12.1f %12.1f\n", "microseconds per pair (wall)", us_per_pair,
              parallel.seconds * 1e6 / static_cast<double>(pairs));
  std::printf("%-34s %12s %12.2f\n", "parallel speed-up", "", serial.seconds / parallel.seconds);
  std::printf("%-34s %12s %12s\n", "records identical across threads", "",
              identical(serial.records, parallel.records) ? "yes" : "NO");
  std::printf(
      "\nfloor per pair at N = %llu: six transforms %.1f us + 3N normals %.1f us = %.1f us\n",
      static_cast<unsigned long long>(typical_n), transforms_us, normals_us, floor_us);
  std::printf("measured per pair / floor: %.2f\n", us_per_pair / floor_us);
  std::printf("\nprofile of a pair (single thread):\n");
  const auto share = [&](const char* what, double us) {
    std::printf("  %-22s %8.1f us  %5.1f %%\n", what, us, 100.0 * us / us_per_pair);
  };
  share("transforms", transforms_us);
  share("normal draws", normals_us);
  share("radiation averages", radiation_us);
  share("the rest", rest_us);
  std::printf("\npeak resident memory of this program: %.1f MB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
