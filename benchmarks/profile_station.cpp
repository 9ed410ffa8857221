// A quiet driver for instruction-count profiles (valgrind --tool=callgrind): runs a few stations of
// the benchmark scenario on one thread, with nothing else in the process. With a file name it also
// writes the records there (raw f32, station after station), to compare two builds bit for bit; a
// kappa of 0 or less there takes the fmax high-cut instead of the scenario's kappa.
//
// Usage: profile_station [stations [records-file [kappa_s]]]   (default 2 stations, no file)
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "scenario.hpp"
#include "sim.hpp"

int main(int argc, char** argv) {
  namespace tv = tolvane;
  const std::size_t station_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;
  std::FILE* records = argc > 2 ? std::fopen(argv[2], "wb") : nullptr;
  auto built = tv::sim::Simulator::create(bench::scenario_config(), bench::scenario_slip(),
                                          bench::scenario_crust());
  const tv::sim::Simulator& sim = std::get<tv::sim::Simulator>(built);
  tv::sim::Census census;
  std::uint64_t seed = 1000;
  for (tv::sim::Station station : bench::scenario_stations(station_count)) {
    if (argc > 3) station.kappa_s = std::strtof(argv[3], nullptr);
    const tv::sim::Simulation run = sim.run_station(station, seed++);
    census += run.census;
    for (std::size_t r = 0; records != nullptr && r < 3; ++r) {
      std::fwrite(run.acc.row(r).data(), sizeof(float), run.acc.row(r).size(), records);
    }
  }
  if (records != nullptr) std::fclose(records);
  std::printf("pairs reaching the record: %zu, samples computed: %zu\n",
              census.pairs_attempted - census.pairs_outside_record, census.samples_computed);
  return 0;
}
