// The simulation driver: station-independent preparation of a source (Simulator), path-duration
// tables, and the per-station run that windows, traces, synthesises and sums every (subfault,
// ray) pair into a three-component record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "config.hpp"
#include "input.hpp"
#include "state.hpp"

namespace tolvane::sim {

// --- Path duration --------------------------------------------------------------------------

// One straight piece of a path-duration table.
struct DurationSegment {
  float start_km;        // distance at which the piece begins
  float duration_s;      // duration at start_km
  float slope_s_per_km;  // growth beyond start_km
};

// Path duration against distance, as pieces ordered by start_km, the first starting at 0 km.
struct PathDurationTable {
  std::vector<DurationSegment> pieces;

  static PathDurationTable constant_slope(float slope_s_per_km);
  // One piece per breakpoint; the last keeps growing at the last interval's slope.
  static PathDurationTable from_breakpoints(std::span<const float> start_km,
                                            std::span<const float> duration_s);

  // Duration (s) at distance r_km; 0 at or below the first breakpoint and for NaN.
  float duration_at(float r_km) const;
};

PathDurationTable path_duration_table(config::PathDurationModel model);

// --- Simulator construction -------------------------------------------------------------------

// Relative seismic moment of one subfault (mean 1 over the moment-carrying subfaults).
struct MomentWeight {
  float value;
};

struct SourceStrength {
  float subevent_moment;  // dyn*cm: stress drop times the cube of the mean subfault size
  float moment_scale;     // total moment / (sqrt(carrying subfaults) * subevent_moment)

  SourceStrength(float stress_drop_bars, float avg_subfault_km, float total_moment_dyn_cm,
                 std::size_t subfault_count);
};

struct SourceScale {
  float avg_subfault_km;
  float total_moment_dyn_cm;
  std::size_t subfault_count;  // subfaults whose raw weight exceeds 0.001
};

struct SegmentAngles {
  float strike_rad;
  float dip_rad;
  float rake_rad;
  float corner_coeff;  // corner-frequency constant raised by the dip and rake factor

  static SegmentAngles for_segment(const input::Segment& segment, float corner_const, float calpha);
};

// The dip and rake term of the corner coefficient: 1 / (dip_factor * rake_factor * calpha + 1).
float alpha_t(float dip_deg, float rake_deg, float calpha);

struct RunScalars {
  float dt;
  float fmax_hz;
  float window_peak_fraction;
  float window_end_fraction;
  float corner_const;
  float calpha;
  float rupture_velocity_sigma;
  float avg_subfault_km;
  std::size_t conical_sample_count;
  std::size_t site_table_len;
  std::size_t ndata;
  float max_shear_velocity_km_s;
};

// Why a Simulator cannot be built.
class SimError {
 public:
  // A segment diced differently from segment 0.
  struct InconsistentSegments {
    std::size_t segment;
    const char* dimension;  // "subfault_length_km" or "subfault_width_km"
    float found;
    float expected;
  };
  // No subfault carries moment: the normalisation would divide zero by zero.
  struct NoMoment {};
  using Variant = std::variant<InconsistentSegments, NoMoment>;

  explicit SimError(Variant detail) : detail_(detail) {}
  const Variant& detail() const { return detail_; }
  std::string message() const;

 private:
  Variant detail_;
};

struct NormalisedSource {
  SourceScale scale;
  std::vector<std::vector<MomentWeight>> weights;  // per segment, per subfault in storage order
};

// Relative moments from slip and the rigidity of each row's layer, scaled to mean 1 over the
// subfaults whose raw weight exceeds 0.001. `vmod_in` is the air-layered velocity model.
NormalisedSource normalise_source(const input::StochModel& stoch,
                                  std::span<const state::InputLayer> vmod_in);

inline constexpr std::size_t kSiteTableLength = 20;

class Simulator {
 public:
  // Does all station-independent work once. `layers` is the Moho-truncated model (no air layer).
  static std::variant<Simulator, SimError> create(const config::HfConfig& config,
                                                  const input::StochModel& slip,
                                                  std::span<const state::InputLayer> layers);

  std::size_t ndata() const { return run.ndata; }

  input::StochModel slip;
  std::vector<std::vector<MomentWeight>> weights;
  std::vector<std::vector<SourceStrength>> strengths;
  std::vector<state::Layer> vmod;  // air layer first
  config::RuptureVelocityTaper rupture;
  PathDurationTable path_duration;
  std::vector<SegmentAngles> angles;
  std::vector<config::RayType> rayset;
  RunScalars run;
  std::vector<float> siteamp_log_freq;  // ln of the site frequency table, kSiteTableLength

 private:
  Simulator(input::StochModel slip_in, config::RuptureVelocityTaper rupture_in,
            PathDurationTable path_duration_in, RunScalars run_in)
      : slip(std::move(slip_in)),
        rupture(rupture_in),
        path_duration(std::move(path_duration_in)),
        run(run_in) {}
};

}  // namespace tolvane::sim
