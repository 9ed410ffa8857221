// Station-run benchmark: throughput on one and on all hardware threads, the cost per (subfault,
// ray) pair that reaches the record, and that cost against the floor of the method (six complex
// transforms and 3 N normal draws per pair) with a short profile of where a pair's time goes.
//
// Other load on the machine only ever slows a measurement down, so every figure is the fastest of
// several: of kRuns runs of the stations (serial and parallel runs taken in turn), and of the
// rounds of each micro-benchmark. Both sides of the ratio to the floor use that same estimate.
//
// Usage: bench_station [stations]   (default 16)
#include <sys/resource.h>

#include <algorithm>
#include <array>
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

// Runs of the stations per thread count.
constexpr int kRuns = 3;

// Fastest time per call of `body` over `rounds` rounds of `reps` calls, in microseconds.
template <class Body>
double micro_benchmark(int reps, Body&& body) {
  constexpr int rounds = 7;
  double fastest = 0.0;
  for (int round = 0; round < rounds; ++round) {
    const Clock::time_point start = Clock::now();
    for (int r = 0; r < reps; ++r) body();
    const double per_call = seconds_since(start) * 1e6 / reps;
    fastest = round == 0 ? per_call : std::min(fastest, per_call);
  }
  return fastest;
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

  // A first serial run gives the census and so the typical length of the floor.
  RunResult serial = run_all(sim, stations, 1);
  tv::sim::Census census;
  for (const auto& r : serial.records) census += r.census;
  const std::size_t pairs = census.pairs_attempted - census.pairs_outside_record;
  const std::uint64_t typical_n = tv::fft::good_length(census.samples_computed / pairs);

  // The floor: six transforms and 3 N normals at the typical length.
  tv::Array2<tv::Complex> rows(2, typical_n);
  for (std::size_t k = 0; k < typical_n; ++k) rows.row(0)[k] = {std::sin(0.1f * k), 0.0f};
  const auto spectrum = rows.row(1);
  const auto transforms = [&] {
    std::copy(rows.row(0).begin(), rows.row(0).end(), spectrum.begin());
    for (int c = 0; c < 3; ++c) {
      tv::fft::forward(spectrum);
      tv::fft::inverse(spectrum);
    }
  };
  tv::rng::DrawSource draws = tv::rng::DrawSource::for_station(1);
  std::vector<float> normals(3 * typical_n);
  const auto normal_draws = [&] { draws.fill_normal(normals); };

  // The radiation averages of a pair, as the pair computes them: two horizontal components and
  // the vertical one at once.
  const std::uint64_t fold = typical_n / 2 + 1;
  std::vector<float> frequency(fold), ua(1000), ub(1000);
  tv::Array2<float> gains(3, fold);
  for (std::size_t k = 0; k < fold; ++k) frequency[k] = 0.01f * k;
  draws.fill_uniform(ua);
  draws.fill_uniform(ub);
  const tv::radiation::RadiationAngles angles{0.3f, 0.8f, 1.5f, 2.0f, 2.4f};
  tv::radiation::RadiationScratch scratch(1000);
  const auto radiation = [&] {
    tv::radiation::arrival_radiation(draws, angles, frequency, {-1.5707964f, 0.0f}, ua, ub, 1000,
                                     scratch, {gains.row(0), gains.row(1), gains.row(2)});
  };

  // The baseline corrections of a pair's three noise series: three chains of dependent additions
  // over N samples, run side by side.
  const std::span<const float> series(normals);
  std::array<tv::fft::TrendLine, 3> lines{};
  const auto trend = [&] {
    lines = tv::fft::quadratic_trend_lines(0.01f, series.first(typical_n),
                                           series.subspan(typical_n, typical_n),
                                           series.subspan(2 * typical_n, typical_n));
  };

  // The runs and the micro-benchmarks take turns, so that both sides of the ratio meet the same
  // conditions on the machine.
  double transforms_us = micro_benchmark(200, transforms);
  double normals_us = micro_benchmark(200, normal_draws);
  double radiation_us = micro_benchmark(50, radiation);
  double trend_us = micro_benchmark(200, trend);
  RunResult parallel = run_all(sim, stations, threads);
  bool runs_identical = identical(serial.records, parallel.records);
  for (int run = 1; run < kRuns; ++run) {
    for (RunResult* best : {&serial, &parallel}) {
      const RunResult again = run_all(sim, stations, best == &serial ? 1 : threads);
      runs_identical = runs_identical && identical(serial.records, again.records);
      best->seconds = std::min(best->seconds, again.seconds);
    }
    transforms_us = std::min(transforms_us, micro_benchmark(200, transforms));
    normals_us = std::min(normals_us, micro_benchmark(200, normal_draws));
    radiation_us = std::min(radiation_us, micro_benchmark(50, radiation));
    trend_us = std::min(trend_us, micro_benchmark(200, trend));
  }
  const double us_per_pair = serial.seconds * 1e6 / static_cast<double>(pairs);
  const double floor_us = transforms_us + normals_us;
  const double rest_us = us_per_pair - transforms_us - normals_us - radiation_us - trend_us;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("scenario: %zu subfaults, %zu rays, %zu samples at %.3g s, %zu stations 5-100 km\n",
              sim.slip.subfault_count, sim.rayset.size(), sim.ndata(), sim.run.dt, station_count);
  std::printf("pairs reaching the record: %zu of %zu; typical transform length N = %llu\n", pairs,
              census.pairs_attempted, static_cast<unsigned long long>(typical_n));
  std::printf("\nfastest of %d runs each:\n%-34s %12s %12s\n", kRuns, "", "1 thread",
              (std::to_string(threads) + " threads").c_str());
  std::printf("%-34s %12.3f %12.3f\n", "stations per second", station_count / serial.seconds,
              station_count / parallel.seconds);
  std::printf("%-34s %12.1f %12.1f\n", "microseconds per pair (wall)", us_per_pair,
              parallel.seconds * 1e6 / static_cast<double>(pairs));
  std::printf("%-34s %12s %12.2f\n", "parallel speed-up", "", serial.seconds / parallel.seconds);
  std::printf("%-34s %12s %12s\n", "records identical across threads", "",
              runs_identical ? "yes" : "NO");
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
  share("trend corrections", trend_us);
  share("the rest", rest_us);
  std::printf("\npeak resident memory of this program: %.1f MB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
