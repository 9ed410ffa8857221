// The simulation driver: station-independent preparation of a source (Simulator), path-duration
// tables, and the per-station run that windows, traces, synthesises and sums every (subfault,
// ray) pair into a three-component record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "array.hpp"
#include "config.hpp"
#include "geom.hpp"
#include "input.hpp"
#include "radiation.hpp"
#include "rng/source.hpp"
#include "state.hpp"
#include "stoc.hpp"

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
  // More samples than the 32-bit sample numbers of a run can count.
  struct RecordTooLong {
    float samples;  // duration_s / dt as the record length is computed from it
  };
  using Variant = std::variant<InconsistentSegments, NoMoment, RecordTooLong>;

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

// Sample numbers of a run are i32 counted from 1, so a record holds at most this many samples.
inline constexpr std::size_t kMaxRecordSamples = 2147483647;

// --- Station run records ----------------------------------------------------------------------

struct Station {
  float longitude;   // degrees east
  float latitude;    // degrees north
  std::string name;  // a label; the run does not read it
  float kappa_s;     // near-surface attenuation, s; <= 0 selects the fmax filter
  float q_exponent;  // frequency exponent of the path quality factor
};

// The three components, also the row of every three-row array.
struct Component {
  enum Value : std::uint8_t { E090 = 0, N000 = 1, Vertical = 2 };
  static constexpr Value kAll[] = {E090, N000, Vertical};

  constexpr Component(Value v) : value(v) {}

  // Vertical motion is synthesised up to 15 Hz at most.
  float capped_fmax(float fmax_hz) const;
  // Horizontal components project the radiation on their azimuth; E090 lies 90 degrees off.
  bool is_horizontal() const { return value != Vertical; }
  float azimuth_offset_rad() const;

  Value value;
};

// Window peaks that fall after the end of the record.
struct Clipping {
  std::size_t peaks_lost = 0;
  float worst_overrun_s = 0.0f;  // s; 0 when no peak is lost

  static Clipping for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run);
  Clipping& operator+=(const Clipping& other);
};

// Work counters of a station run.
struct Census {
  std::size_t pairs_attempted = 0;       // (subfault, ray) pairs of moment-carrying subfaults
  std::size_t pairs_outside_record = 0;  // of those, pairs that add nothing to the record
  std::size_t samples_computed = 0;      // sum of the transform lengths of contributing pairs
  std::size_t samples_accumulated = 0;   // sum of samples added per component row
  std::size_t transform_lengths = 0;     // distinct plan lengths of the station run

  Census& operator+=(const Census& other);
};

// The record of one station run.
struct Simulation {
  std::size_t ndata;
  float dt;
  Array2<float> acc;  // 3 rows (E090, N000, Vertical) x ndata samples, cm/s^2
  Clipping clipping;
  Census census;
};

// The station's pre-drawn uniforms of the vertical radiation average.
struct Deviates {
  std::vector<float> radv_uniform_a;
  std::vector<float> radv_uniform_b;
};

// Time windows of a segment's subfaults at one station, indexed by grid index.
struct WindowPass {
  std::vector<float> window_s;
  float tmax = 0.0f;
};

// What a subfault pass reads about its segment; valid for one segment of one station.
struct SegmentPass {
  std::size_t index;
  const input::Segment& seg;
  const geom::SubfaultGeometry& geom;
  const WindowPass& windows;
  const SegmentAngles& angles;
  std::span<const MomentWeight> weights;
  std::span<const SourceStrength> strengths;
};

// What every pass of a station run reads.
struct RunContext {
  std::span<const state::Layer> vmod;
  const config::RuptureVelocityTaper& rupture;
  const RunScalars& run;
  std::span<const config::RayType> rayset;
  const Deviates& deviates;
  std::span<const float> siteamp_log_freq;
  float kappa_s;
  std::uint64_t station_seed;
};

// Where a contribution of np2 samples lands in a record of ndata samples.
struct Placement {
  std::size_t skip;    // leading samples of the contribution dropped
  std::size_t offset;  // record element receiving the first kept sample
  std::size_t count;   // samples added

  static std::optional<Placement> clip(std::int32_t start_sample, std::size_t np2,
                                       std::size_t ndata);
};

struct TracedRay {
  float path_length_km;  // distance of the geometric spreading
  float qbar;            // path attenuation, s
  float window_start_s;  // start of the ray's window after the rupture time
  float takeoff_rad;     // from the downward vertical
};

struct Arrival {
  std::int32_t start_sample;
  radiation::RadiationAngles angles;

  std::optional<Placement> placement(std::size_t np2, std::size_t ndata) const {
    return Placement::clip(start_sample, np2, ndata);
  }
};

// What a subfault contributes, whatever the ray.
struct SubfaultSource {
  geom::SubfaultRay geometry;
  MomentWeight weight;
  SourceStrength strength;
  float rupture_time_s;
  float window_s;
  std::size_t layer;  // index in vmod of the layer holding the subfault
  float shear_velocity_km_s;
  float density_g_cm3;
  float corner_frequency_hz;

  // Nothing when the subfault's weight is below 0.001 (no draw is made then).
  static std::optional<SubfaultSource> gather(rng::DrawSource& rng, const SegmentPass& segment,
                                              std::size_t along_strike, std::size_t down_dip,
                                              const RunContext& ctx);
  // A lower bound of the start sample of every ray of the subfault.
  std::int32_t earliest_start_sample(const RunScalars& run,
                                     std::span<const config::RayType> rayset) const;
};

// Truncation toward zero into an i32, saturating; NaN gives 0.
std::int32_t trunc_i32(float x);

// Index of the first layer whose base is at or below depth_km; the last layer otherwise.
std::size_t source_layer_for(std::span<const state::Layer> vmod, float depth_km);

TracedRay trace_ray(state::RayState& state, const SubfaultSource& source, config::RayType ray_type,
                    const RunContext& ctx);
Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& segment, const RunScalars& run);

// Adds weight * subfault_acc[r][skip + m] to acc[r][offset + m] for the three rows.
void accumulate_subfault(Array2<float>& acc, const Array2<float>& subfault_acc, MomentWeight weight,
                         const Placement& at);

// Adds one segment's contribution to the station record; returns its diagnostics.
std::pair<Clipping, Census> subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                                          Array2<float>& acc, const SegmentPass& segment,
                                          const RunContext& ctx);

// The station stream and its two rows of pre-drawn uniforms.
std::pair<rng::DrawSource, Deviates> seed_and_predraw(std::uint64_t seed,
                                                      std::size_t radv_sample_count);

class Simulator {
 public:
  // Does all station-independent work once. `layers` is the Moho-truncated model (no air layer).
  static std::variant<Simulator, SimError> create(const config::HfConfig& config,
                                                  const input::StochModel& slip,
                                                  std::span<const state::InputLayer> layers);

  std::size_t ndata() const { return run.ndata; }

  // Simulates one station; reads the Simulator only, so runs may proceed on many threads.
  Simulation run_station(const Station& station, std::uint64_t seed) const;

  WindowPass time_window_pass(const input::Segment& segment, const geom::SubfaultGeometry& geom,
                              const SegmentAngles& angles,
                              std::span<const SourceStrength> strengths) const;

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
