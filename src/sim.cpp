// The simulation driver: source preparation, path-duration tables and station runs.
#include "sim.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "constants.hpp"
#include "error.hpp"
#include "ray.hpp"
#include "site.hpp"
#include "wide_loops.hpp"

namespace tolvane::sim {

namespace {

// Weights at or below this carry no moment: they are neither counted nor simulated.
constexpr float kMomentThreshold = 0.001f;
// dyn*cm per (cm of slip * (km/s)^2 * g/cm^3 * km^2).
constexpr float kMomentUnits = 1e20f;
// dyn*cm per (bar * km^3).
constexpr float kSubeventUnits = 1e21f;

// Site amplification is evaluated at these frequencies (Hz).
constexpr float kSiteFrequencies[kSiteTableLength] = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,
                                                      0.3f,  0.5f,  0.7f,  1.0f,  2.0f,  3.0f, 5.0f,
                                                      7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

// Truncation toward zero into a size, saturating; negative and NaN give 0.
std::size_t saturating_size(float value) {
  if (!(value > 0.0f)) return 0;
  if (value >= static_cast<float>(std::numeric_limits<std::size_t>::max())) {
    return std::numeric_limits<std::size_t>::max();
  }
  return static_cast<std::size_t>(value);
}

std::size_t first_layer_below(std::span<const state::InputLayer> layers, float depth_km) {
  for (std::size_t k = 0; k < layers.size(); ++k) {
    if (layers[k].depth_km >= depth_km) return k;
  }
  return layers.size() - 1;
}

std::optional<SimError> check_dicing(const input::StochModel& slip) {
  const input::Segment& reference = slip.segments.front();
  for (std::size_t i = 1; i < slip.segments.size(); ++i) {
    const input::Segment& s = slip.segments[i];
    // Exact comparison: NaN differs from everything, 0 equals -0.
    if (!(s.subfault_length_km == reference.subfault_length_km)) {
      return SimError(SimError::InconsistentSegments{i, "subfault_length_km", s.subfault_length_km,
                                                     reference.subfault_length_km});
    }
    if (!(s.subfault_width_km == reference.subfault_width_km)) {
      return SimError(SimError::InconsistentSegments{i, "subfault_width_km", s.subfault_width_km,
                                                     reference.subfault_width_km});
    }
  }
  return std::nullopt;
}

float largest_shear_velocity(std::span<const state::Layer> vmod) {
  float fastest = -std::numeric_limits<float>::max();
  for (const state::Layer& layer : vmod) {
    const float v = static_cast<float>(layer.vsh_km_s);
    if (v > fastest) fastest = v;  // a NaN velocity leaves the running value
  }
  return fastest;
}

config::RuptureVelocityTaper rupture_taper(const config::RuptureVelocity& rv,
                                           float max_hypocentre_depth_km) {
  const float h = max_hypocentre_depth_km;
  const bool deep_source = h > 15.0f;
  return config::RuptureVelocityTaper{
      .frac = rv.frac,
      .shallow_factor = rv.shallow,
      .deep_factor = rv.deep,
      .shallow_top_km = 5.0f,
      .shallow_base_km = 8.0f,
      .deep_top_km = deep_source ? h : 15.0f,
      .deep_base_km = deep_source ? h + 5.0f : 20.0f,
  };
}

}  // namespace

// --- Path duration --------------------------------------------------------------------------

PathDurationTable PathDurationTable::constant_slope(float slope_s_per_km) {
  return PathDurationTable{{DurationSegment{0.0f, 0.0f, slope_s_per_km}}};
}

PathDurationTable PathDurationTable::from_breakpoints(std::span<const float> start_km,
                                                      std::span<const float> duration_s) {
  ensure(start_km.size() == duration_s.size() && start_km.size() >= 2,
         "a duration table needs matching breakpoints, got {} distances and {} durations",
         start_km.size(), duration_s.size());
  PathDurationTable table;
  float last_slope = 0.0f;
  for (std::size_t i = 0; i + 1 < start_km.size(); ++i) {
    last_slope = (duration_s[i + 1] - duration_s[i]) / (start_km[i + 1] - start_km[i]);
    table.pieces.push_back({start_km[i], duration_s[i], last_slope});
  }
  table.pieces.push_back({start_km.back(), duration_s.back(), last_slope});
  return table;
}

float PathDurationTable::duration_at(float r_km) const {
  const DurationSegment* chosen = nullptr;
  for (const DurationSegment& piece : pieces) {
    if (!(piece.start_km < r_km)) break;
    chosen = &piece;
  }
  if (chosen == nullptr) return 0.0f;
  return chosen->duration_s + (r_km - chosen->start_km) * chosen->slope_s_per_km;
}

PathDurationTable path_duration_table(config::PathDurationModel model) {
  using M = config::PathDurationModel;
  switch (model.value) {
    case M::Gp2010:
      return PathDurationTable::constant_slope(0.063f);
    case M::Wus:
      return PathDurationTable::constant_slope(0.07f);
    case M::Ena:
      return PathDurationTable::constant_slope(0.1f);
    case M::Bt2014Wus: {
      constexpr float distance[] = {0.0f, 7.0f, 45.0f, 125.0f, 175.0f, 270.0f};
      constexpr float duration[] = {0.0f, 2.4f, 8.4f, 10.9f, 17.4f, 34.2f};
      return PathDurationTable::from_breakpoints(distance, duration);
    }
    case M::Bt2015Ena: {
      constexpr float distance[] = {0.0f, 15.0f, 35.0f, 50.0f, 125.0f, 200.0f, 392.0f, 600.0f};
      constexpr float duration[] = {0.0f, 2.6f, 17.5f, 25.1f, 25.1f, 28.5f, 46.0f, 69.1f};
      return PathDurationTable::from_breakpoints(distance, duration);
    }
  }
  fail("unknown path duration model {}", static_cast<int>(model.value));
}

// --- Simulator construction -------------------------------------------------------------------

SourceStrength::SourceStrength(float stress_drop_bars, float avg_subfault_km,
                               float total_moment_dyn_cm, std::size_t subfault_count)
    : subevent_moment(stress_drop_bars * avg_subfault_km * avg_subfault_km * avg_subfault_km *
                      kSubeventUnits),
      moment_scale(total_moment_dyn_cm /
                   (std::sqrt(static_cast<float>(subfault_count)) * subevent_moment)) {}

float alpha_t(float dip_deg, float rake_deg, float calpha) {
  float dip_factor = 0.0f;  // also for NaN
  if (dip_deg >= 0.0f && dip_deg < 45.0f) {
    dip_factor = 1.0f;
  } else if (dip_deg >= 45.0f && dip_deg <= 90.0f) {
    dip_factor = (dip_deg - 45.0f) / -45.0f + 1.0f;
  }

  float folded = std::fmod(rake_deg, 360.0f);
  if (folded < 0.0f) folded += 360.0f;
  const float wrapped_rake_deg = folded > 180.0f ? folded - 360.0f : folded;
  float rake_factor = 0.0f;  // normal-faulting rakes and NaN
  if (wrapped_rake_deg >= 0.0f && wrapped_rake_deg <= 180.0f) {
    rake_factor = std::fabs(wrapped_rake_deg - 90.0f) / -90.0f + 1.0f;
  }
  return 1.0f / ((dip_factor * rake_factor) * calpha + 1.0f);
}

SegmentAngles SegmentAngles::for_segment(const input::Segment& segment, float corner_const,
                                         float calpha) {
  return SegmentAngles{
      .strike_rad = segment.strike_deg * kDegToRad,
      .dip_rad = segment.dip_deg * kDegToRad,
      .rake_rad = segment.rake_deg * kDegToRad,
      .corner_coeff = corner_const / alpha_t(segment.dip_deg, segment.rake_deg, calpha),
  };
}

std::string SimError::message() const {
  if (const auto* e = std::get_if<InconsistentSegments>(&detail_)) {
    return format(
        "segment {} has {} = {} km, but segment 0 has {} km; every segment must be diced the same "
        "way because the subfault size is one quantity for the whole run",
        e->segment, e->dimension, e->found, e->expected);
  }
  if (const auto* e = std::get_if<RecordTooLong>(&detail_)) {
    // Below 2^64 the truncated quotient is the exact sample count; beyond, its shortest digits.
    const std::string samples = e->samples < 18446744073709551616.0f
                                    ? format_number(static_cast<std::uint64_t>(e->samples))
                                    : format_number(e->samples);
    return format("duration_s / dt asks for a record of {} samples; a record holds at most {}",
                  samples, kMaxRecordSamples);
  }
  return "the slip model carries no moment: no subfault has a relative moment above 0.001";
}

NormalisedSource normalise_source(const input::StochModel& stoch,
                                  std::span<const state::InputLayer> vmod_in) {
  ensure(!vmod_in.empty(), "the velocity model has no layers");
  NormalisedSource out{};
  float side_sum = 0.0f;
  for (const input::Segment& s : stoch.segments) {
    side_sum += std::sqrt(s.subfault_length_km * s.subfault_width_km);
  }
  out.scale.avg_subfault_km = side_sum / static_cast<float>(stoch.segments.size());

  float relative_moment_sum = 0.0f;
  for (const input::Segment& s : stoch.segments) {
    std::vector<MomentWeight>& weights = out.weights.emplace_back();
    weights.reserve(s.subfault_total());
    const float row_depth_step_km = std::sin(s.dip_deg * kDegToRad) * s.subfault_width_km;
    float row = 0.0f;
    for (std::span<const input::Subfault> cells : s.depth_rows()) {
      const float row_depth_km = (row + 0.5f) * row_depth_step_km + s.top_depth_km;
      const state::InputLayer& layer = vmod_in[first_layer_below(vmod_in, row_depth_km)];
      const float rigidity_area = static_cast<float>(
          layer.vsh_km_s * layer.vsh_km_s * layer.density_g_cm3 *
          static_cast<double>(s.subfault_length_km) * static_cast<double>(s.subfault_width_km));
      for (const input::Subfault& cell : cells) {
        const float raw = cell.slip.cm * rigidity_area;
        weights.push_back({raw});
        relative_moment_sum += raw;
      }
      row += 1.0f;
    }
  }
  out.scale.total_moment_dyn_cm = relative_moment_sum * kMomentUnits;

  float weight_sum = 0.0f;
  for (const auto& weights : out.weights) {
    for (MomentWeight w : weights) {
      if (w.value > kMomentThreshold) {
        ++out.scale.subfault_count;
        weight_sum += w.value;
      }
    }
  }
  const float scale = static_cast<float>(out.scale.subfault_count) / weight_sum;
  for (auto& weights : out.weights) {
    for (MomentWeight& w : weights) w.value *= scale;
  }
  return out;
}

std::variant<Simulator, SimError> Simulator::create(const config::HfConfig& config,
                                                    const input::StochModel& slip,
                                                    std::span<const state::InputLayer> layers) {
  ensure(!slip.segments.empty(), "a slip model needs at least one segment");
  if (auto error = check_dicing(slip)) return *error;

  const std::vector<state::InputLayer> aired =
      input::insert_air_layer(std::vector<state::InputLayer>(layers.begin(), layers.end()));
  NormalisedSource source = normalise_source(slip, aired);
  if (source.scale.subfault_count == 0) return SimError(SimError::NoMoment{});
  // Checked here, not at the first station: a run would allocate the whole record first.
  const float record_samples = config.record.duration_s / config.record.dt_s;
  const std::size_t ndata = saturating_size(record_samples);
  if (ndata > kMaxRecordSamples) return SimError(SimError::RecordTooLong{record_samples});

  RunScalars run{
      .dt = config.record.dt_s,
      .fmax_hz = config.site.f_max_hz,
      .window_peak_fraction = 0.2f,
      .window_end_fraction = 0.05f,
      .corner_const = config.source.czero,
      .calpha = config.source.calpha,
      .rupture_velocity_sigma = config.source.rupture_velocity.rv_sig1,
      .avg_subfault_km = source.scale.avg_subfault_km,
      .conical_sample_count = 1000,
      .site_table_len = kSiteTableLength,
      .ndata = ndata,
      .max_shear_velocity_km_s = 0.0f,
  };
  Simulator sim(slip, rupture_taper(config.source.rupture_velocity, slip.max_hypocentre_depth_km),
                path_duration_table(config.path.path_duration), run);

  for (float f : kSiteFrequencies) sim.siteamp_log_freq.push_back(std::log(f));
  for (const input::Segment& s : sim.slip.segments) {
    std::vector<SourceStrength>& strengths = sim.strengths.emplace_back();
    strengths.reserve(s.subfault_total());
    for (const input::Subfault& cell : s.subfaults) {
      strengths.emplace_back(cell.stress_drop_bars, source.scale.avg_subfault_km,
                             source.scale.total_moment_dyn_cm, source.scale.subfault_count);
    }
    sim.angles.push_back(SegmentAngles::for_segment(s, run.corner_const, run.calpha));
  }
  sim.weights = std::move(source.weights);
  for (const state::InputLayer& layer : aired) sim.vmod.push_back(state::Layer::from_input(layer));
  sim.run.max_shear_velocity_km_s = largest_shear_velocity(sim.vmod);
  sim.rayset = config.path.rayset;
  return sim;
}

}  // namespace tolvane::sim

// --- Station run --------------------------------------------------------------------------------

namespace tolvane::sim {

namespace {

// The straight ray's window starts at 0.7 of its travel time at 3.7 km/s.
constexpr float kStraightRayFraction = 0.7f;
constexpr float kStraightRayVelocity = 3.7f;
// The straight ray's attenuation is that of a path of this quality factor.
constexpr float kStraightRayQ = 150.0f;
// The perturbed rupture-velocity fraction never exceeds this.
constexpr float kMaxRuptureFraction = 1.4f;
// The time window lasts this many times the sum of path and source durations.
constexpr float kWindowStretch = 2.12f;
// Vertical motion is synthesised up to this frequency at most (Hz).
constexpr float kVerticalFmaxCap = 15.0f;

std::int32_t add_samples(std::int32_t a, std::int32_t b) {
  std::int32_t sum = 0;
  ensure(!__builtin_add_overflow(a, b, &sum), "sample number {} + {} overflows", a, b);
  return sum;
}

std::size_t add_count(std::size_t a, std::size_t b) {
  std::size_t sum = 0;
  ensure(!__builtin_add_overflow(a, b, &sum), "a census counter overflows");
  return sum;
}

// Sample counts are compared with 32-bit sample numbers.
std::int32_t sample_count_i32(std::size_t count) {
  ensure(count <= static_cast<std::size_t>(INT32_MAX),
         "{} samples exceed the range of 32-bit sample numbers", count);
  return static_cast<std::int32_t>(count);
}

}  // namespace

float Component::capped_fmax(float fmax_hz) const {
  return value == Vertical ? std::fmin(fmax_hz, kVerticalFmaxCap) : fmax_hz;
}

float Component::azimuth_offset_rad() const {
  const float offset_deg = value == E090 ? -90.0f : 0.0f;
  return offset_deg * kDegToRad;
}

Clipping Clipping::for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run) {
  const float peak_sample =
      static_cast<float>(start_sample) + ((run.window_peak_fraction * window_s) / run.dt);
  const float overrun_samples = peak_sample - static_cast<float>(run.ndata);
  if (overrun_samples > 0.0f) return Clipping{1, overrun_samples * run.dt};
  return Clipping{};
}

Clipping& Clipping::operator+=(const Clipping& other) {
  peaks_lost = add_count(peaks_lost, other.peaks_lost);
  worst_overrun_s = std::fmax(worst_overrun_s, other.worst_overrun_s);  // NaN yields the other
  return *this;
}

Census& Census::operator+=(const Census& other) {
  pairs_attempted = add_count(pairs_attempted, other.pairs_attempted);
  pairs_outside_record = add_count(pairs_outside_record, other.pairs_outside_record);
  samples_computed = add_count(samples_computed, other.samples_computed);
  samples_accumulated = add_count(samples_accumulated, other.samples_accumulated);
  return *this;
}

std::optional<Placement> Placement::clip(std::int32_t start_sample, std::size_t np2,
                                         std::size_t ndata) {
  const std::int32_t first = std::max(start_sample, 1);
  const std::int32_t last_sample =
      std::min(add_samples(start_sample, sample_count_i32(np2) - 1), sample_count_i32(ndata));
  if (last_sample < first) return std::nullopt;
  return Placement{.skip = static_cast<std::size_t>(first - start_sample),
                   .offset = static_cast<std::size_t>(first - 1),
                   .count = static_cast<std::size_t>(last_sample - first + 1)};
}

std::int32_t trunc_i32(float x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483648.0f) return INT32_MAX;
  if (x < -2147483648.0f) return INT32_MIN;
  return static_cast<std::int32_t>(x);
}

std::size_t source_layer_for(std::span<const state::Layer> vmod, float depth_km) {
  ensure(!vmod.empty(), "the velocity model has no layers");
  const double depth = depth_km;
  for (std::size_t k = 0; k < vmod.size(); ++k) {
    if (vmod[k].depth_km >= depth) return k;
  }
  return vmod.size() - 1;
}

WindowPass Simulator::time_window_pass(const input::Segment& segment,
                                       const geom::SubfaultGeometry& geom,
                                       const SegmentAngles& segment_angles,
                                       std::span<const SourceStrength> segment_strengths) const {
  WindowPass out{std::vector<float>(segment.subfault_total(), 0.0f), 0.0f};
  const float corner_denominator = kPi * run.avg_subfault_km;
  for (auto [i, j] : segment.depth_major()) {
    const geom::SubfaultRay& ray = geom.at(i, j);
    const float vs = static_cast<float>(vmod[source_layer_for(vmod, ray.depth_km)].vsh_km_s);
    const float base = rupture.factor(ray.depth_km);
    const float fc = ((base * segment_angles.corner_coeff) * vs) / corner_denominator;
    const float path_s = path_duration.duration_at(ray.slant_km);
    const std::size_t k = segment.grid_index(i, j);
    const float source_s = (1.0f / fc) * std::sqrt(checked_at(segment_strengths, k).moment_scale);
    const float window = (path_s + source_s) * kWindowStretch;
    out.window_s[k] = window;
    if (window > out.tmax) out.tmax = window;  // a NaN window leaves tmax
  }
  return out;
}

std::optional<SubfaultSource> SubfaultSource::gather(rng::DrawSource& rng,
                                                     const SegmentPass& segment, std::size_t i,
                                                     std::size_t j, const RunContext& ctx) {
  const std::size_t k = segment.seg.grid_index(i, j);
  const MomentWeight weight = checked_at(segment.weights, k);
  if (weight.value < kMomentThreshold) return std::nullopt;  // NaN passes

  const geom::SubfaultRay geometry = segment.geom.at(i, j);
  const std::size_t layer = source_layer_for(ctx.vmod, geometry.depth_km);
  const float vs = static_cast<float>(ctx.vmod[layer].vsh_km_s);
  const float rho = static_cast<float>(ctx.vmod[layer].density_g_cm3);
  const float base = ctx.rupture.factor(geometry.depth_km);
  float rupture_fraction = base;
  const float sigma = ctx.run.rupture_velocity_sigma;
  if (sigma > 0.0f) {
    const float n = rng.normal();
    rupture_fraction = std::fmin(base * std::exp(n * sigma), kMaxRuptureFraction);
  }
  const float corner_frequency_hz =
      ((((rupture_fraction * segment.angles.corner_coeff) * vs) / ctx.run.avg_subfault_km) / kPi);
  return SubfaultSource{
      .geometry = geometry,
      .weight = weight,
      .strength = checked_at(segment.strengths, k),
      .rupture_time_s = segment.seg.at(i, j).rupture_time_s,
      .window_s = checked_at(segment.windows.window_s, k),
      .layer = layer,
      .shear_velocity_km_s = vs,
      .density_g_cm3 = rho,
      .corner_frequency_hz = corner_frequency_hz,
  };
}

std::int32_t SubfaultSource::earliest_start_sample(const RunScalars& run,
                                                   std::span<const config::RayType> rayset) const {
  const float travel_time_s = geometry.slant_km / run.max_shear_velocity_km_s;
  const float window_start_s = travel_time_s - (run.window_peak_fraction * window_s);
  float bound_s = window_start_s;
  for (config::RayType ray : rayset) {
    if (ray.kind() == config::RayKind::StraightRay) {
      const float straight_s = (geometry.slant_km * kStraightRayFraction) / kStraightRayVelocity;
      bound_s = std::fmin(window_start_s, straight_s);  // a NaN side yields the other
      break;
    }
  }
  return add_samples(trunc_i32(rupture_time_s / run.dt), trunc_i32(bound_s / run.dt));
}

TracedRay trace_ray(state::RayState& state, const SubfaultSource& source, config::RayType ray_type,
                    const RunContext& ctx) {
  const float vs = source.shear_velocity_km_s;
  const float slant = source.geometry.slant_km;
  const config::RayKind kind = ray_type.kind();
  if (kind == config::RayKind::StraightRay) {
    return TracedRay{
        .path_length_km = slant,
        .qbar = slant / (vs * kStraightRayQ),
        .window_start_s = (slant * kStraightRayFraction) / kStraightRayVelocity,
        .takeoff_rad = source.geometry.takeoff_rad,
    };
  }
  const ray::GreenFunction green =
      ray::green_function(state, ctx.vmod, source.geometry.depth_km, source.geometry.horiz_km,
                          ray_type.code, state::WaveMode::Sh);
  const float sine = green.rp0 * vs;
  const float incidence = sine > 1.0f ? kHalfPi : std::asin(sine);
  return TracedRay{
      .path_length_km = green.rpath,
      .qbar = green.qbar,
      .window_start_s = green.stime - (ctx.run.window_peak_fraction * source.window_s),
      .takeoff_rad = kind == config::RayKind::Upgoing ? kPi - incidence : incidence,
  };
}

Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& segment, const RunScalars& run) {
  return Arrival{
      .start_sample = add_samples(trunc_i32(source.rupture_time_s / run.dt),
                                  trunc_i32(ray.window_start_s / run.dt)),
      .angles = radiation::RadiationAngles{.strike_rad = segment.strike_rad,
                                           .dip_rad = segment.dip_rad,
                                           .rake_rad = segment.rake_rad,
                                           .azimuth_rad = source.geometry.azimuth_rad,
                                           .takeoff_rad = ray.takeoff_rad},
  };
}

TOLVANE_WIDE_LOOPS void accumulate_subfault(Array2<float>& acc, const Array2<float>& subfault_acc,
                                            MomentWeight weight, const Placement& at) {
  for (std::size_t r = 0; r < 3; ++r) {
    const std::span<float> out = acc.row(r).subspan(at.offset, at.count);
    const std::span<const float> in = subfault_acc.row(r).subspan(at.skip, at.count);
    for (std::size_t m = 0; m < at.count; ++m) out[m] = out[m] + (weight.value * in[m]);
  }
}

namespace {

// Work storage of one segment pass, sized for the segment's longest window and reused per pair.
struct PassStorage {
  PassStorage(std::size_t np2_max, std::size_t fold_max, std::uint64_t conical_sample_count)
      : spectrum(3, np2_max),
        subfault_acc(3, np2_max),
        radiation(3, fold_max),
        siteamp_factors(kSiteTableLength),
        shape(stoc::SpectrumShape::with_capacity(np2_max)),
        noise(3, np2_max),
        amplitude(3, fold_max),
        radiation_scratch(conical_sample_count) {}

  Array2<Complex> spectrum;
  Array2<float> subfault_acc;
  Array2<float> radiation;  // the gain rows of the three components
  std::vector<float> siteamp_factors;
  stoc::SpectrumShape shape;
  state::RayState ray_state;
  Array2<float> noise;       // the three components' noise series
  Array2<double> amplitude;  // a component's own target amplitude, when it differs from the shape's
  radiation::RadiationScratch radiation_scratch;
  // Site gain rows by (transform length, source layer).
  std::map<std::pair<std::uint64_t, std::size_t>, std::vector<float>> site_gains;
};

// The site gain of a plan's bins for a source in `layer`. It depends on nothing else in a station
// run, so each (length, layer) is computed once per pass and kept.
std::span<const float> site_gain_for(const stoc::SpectrumPlan& plan, std::size_t layer,
                                     const RunContext& ctx, PassStorage& work) {
  const std::pair<std::uint64_t, std::size_t> key{plan.np2, layer};
  auto found = work.site_gains.find(key);
  if (found == work.site_gains.end()) {
    std::vector<float> gain(plan.fold_count);
    site::site_amplification_factors(ctx.vmod, layer, ctx.siteamp_log_freq, work.siteamp_factors);
    site::site_gain_curve(plan.log_frequency_hz, ctx.siteamp_log_freq, work.siteamp_factors, gain);
    found = work.site_gains.emplace(key, std::move(gain)).first;
  }
  return found->second;
}

// The target amplitude of each component. The first component refreshes the shape; a later one
// whose capped fmax differs needs an amplitude of its own only with the fmax high-cut, since
// neither the window nor the kappa amplitude depends on fmax.
std::array<std::span<const double>, 3> component_amplitudes(
    const stoc::SpectrumPlan& plan, const stoc::SourceModel& model, const SubfaultSource& source,
    const TracedRay& ray, const RunContext& ctx, PassStorage& work) {
  std::array<std::span<const double>, 3> amplitudes;
  std::span<const double> current;
  float built_for = std::numeric_limits<float>::quiet_NaN();
  for (Component c : Component::kAll) {
    const float fmax_hz = c.capped_fmax(ctx.run.fmax_hz);
    if (!(fmax_hz == built_for)) {
      const stoc::RayPath path{
          .distance_km = ray.path_length_km,
          .window_s = source.window_s,
          .shear_velocity_km_s = source.shear_velocity_km_s,
          .density_g_cm3 = source.density_g_cm3,
          .corner_frequency_hz = source.corner_frequency_hz,
          .subevent_moment = source.strength.subevent_moment,
          .moment_scale = source.strength.moment_scale,
          .fmax_hz = fmax_hz,
          .qbar = ray.qbar,
      };
      if (current.empty()) {
        work.shape.refresh(plan, model, path);
        current = work.shape.amplitude;
      } else if (model.uses_fmax()) {
        const std::span<double> own = work.amplitude.row(c.value);
        stoc::target_amplitude(plan, model, path, own);
        current = own;
      }
      built_for = fmax_hz;
    }
    amplitudes[c.value] = current;
  }
  return amplitudes;
}

// Synthesises the three components of one (subfault, ray) pair into work.subfault_acc: the
// stochastic spectra, the site gain, the radiation gains and the inverse transforms, fused into
// fewer passes over the rows than the steps are written in, with the same operations in the same
// order on every value and the same draws in the same order.
void synthesise_pair(rng::DrawSource& ray_rng, const stoc::SpectrumPlan& plan,
                     const stoc::SourceModel& model, const SubfaultSource& source,
                     const TracedRay& ray, const Arrival& arrival, const RunContext& ctx,
                     PassStorage& work) {
  const std::size_t np2 = plan.np2;
  const std::size_t fold_count = plan.fold_count;

  const std::array<std::span<const double>, 3> amplitudes =
      component_amplitudes(plan, model, source, ray, ctx, work);
  const std::array<float, 3> amp =
      stoc::noise_spectra(ray_rng, plan, work.shape, work.noise, work.spectrum);

  const std::span<const float> site_gain = site_gain_for(plan, source.layer, ctx, work);

  std::array<std::span<float>, 3> radiation;
  for (Component c : Component::kAll) {
    radiation[c.value] = work.radiation.row(c.value).first(fold_count);
  }
  radiation::arrival_radiation(ray_rng, arrival.angles, plan.frequency_hz,
                               {Component(Component::E090).azimuth_offset_rad(),
                                Component(Component::N000).azimuth_offset_rad()},
                               ctx.deviates.radv_uniform_a, ctx.deviates.radv_uniform_b,
                               ctx.run.conical_sample_count, work.radiation_scratch, radiation);

  for (Component c : Component::kAll) {
    stoc::shape_and_invert(work.spectrum.row(c.value).first(np2), amplitudes[c.value], amp[c.value],
                           site_gain, radiation[c.value], plan.taper,
                           work.subfault_acc.row(c.value).first(np2));
  }
}

}  // namespace

std::pair<Clipping, Census> subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                                          Array2<float>& acc, const SegmentPass& segment,
                                          const RunContext& ctx) {
  const RunScalars& run = ctx.run;
  const input::Segment& seg = segment.seg;
  const std::size_t ray_count = ctx.rayset.size();
  const std::int32_t ndata = sample_count_i32(run.ndata);
  const stoc::SourceModel model{.dt = run.dt,
                                .window_eps = run.window_peak_fraction,
                                .window_eta = run.window_end_fraction,
                                .kappa_s = ctx.kappa_s};

  // The work storage fits the longest transform any pair of the segment can use. A pair's length
  // is capped at twice what is left of the record, so the longest window is planned under the
  // same cap: a window far longer than the record (a tiny corner frequency, a subfault in the air
  // layer) then costs no more memory than the record itself instead of gigabytes.
  const stoc::SpectrumPlan& longest = plans.for_length(
      stoc::SpectrumPlan::length_for_arrival(segment.windows.tmax, run.dt, 1, run.ndata));
  PassStorage work(longest.np2, longest.fold_count, run.conical_sample_count);
  Clipping clipping;
  Census census;

  for (auto [i, j] : seg.strike_major()) {
    const std::uint64_t subfault_seed =
        rng::substream_seed(ctx.station_seed, segment.index, seg.grid_index(i, j));
    rng::DrawSource subfault_rng = rng.respawn(subfault_seed);
    const std::optional<SubfaultSource> source =
        SubfaultSource::gather(subfault_rng, segment, i, j, ctx);
    if (!source) continue;

    const std::int32_t earliest = source->earliest_start_sample(run, ctx.rayset);
    if (earliest > ndata) {
      census.pairs_attempted = add_count(census.pairs_attempted, ray_count);
      census.pairs_outside_record = add_count(census.pairs_outside_record, ray_count);
      const Clipping lost = Clipping::for_arrival(earliest, source->window_s, run);
      for (std::size_t r = 0; r < ray_count; ++r) clipping += lost;
      continue;
    }

    for (std::size_t ray_index = 0; ray_index < ray_count; ++ray_index) {
      rng::DrawSource ray_rng = rng.respawn(rng::ray_stream_seed(subfault_seed, ray_index));
      const TracedRay ray = trace_ray(work.ray_state, *source, ctx.rayset[ray_index], ctx);
      const Arrival arrival = arrival_time_and_angles(ray, *source, segment.angles, run);
      clipping += Clipping::for_arrival(arrival.start_sample, source->window_s, run);
      census.pairs_attempted = add_count(census.pairs_attempted, 1);
      if (arrival.start_sample > ndata) {
        census.pairs_outside_record = add_count(census.pairs_outside_record, 1);
        continue;
      }
      const stoc::SpectrumPlan& plan = plans.for_length(stoc::SpectrumPlan::length_for_arrival(
          source->window_s, run.dt, arrival.start_sample, run.ndata));
      const std::optional<Placement> placement = arrival.placement(plan.np2, run.ndata);
      if (!placement) {
        census.pairs_outside_record = add_count(census.pairs_outside_record, 1);
        continue;
      }
      census.samples_computed = add_count(census.samples_computed, plan.np2);
      census.samples_accumulated = add_count(census.samples_accumulated, placement->count);

      synthesise_pair(ray_rng, plan, model, *source, ray, arrival, ctx, work);
      accumulate_subfault(acc, work.subfault_acc, source->weight, *placement);
    }
  }
  return {clipping, census};
}

std::pair<rng::DrawSource, Deviates> seed_and_predraw(std::uint64_t seed,
                                                      std::size_t radv_sample_count) {
  rng::DrawSource rng = rng::DrawSource::for_station(seed);
  Deviates deviates{std::vector<float>(radv_sample_count), std::vector<float>(radv_sample_count)};
  rng.fill_uniform(deviates.radv_uniform_a);
  rng.fill_uniform(deviates.radv_uniform_b);
  return {rng, std::move(deviates)};
}

Simulation Simulator::run_station(const Station& station, std::uint64_t seed) const {
  auto [rng, deviates] = seed_and_predraw(seed, run.conical_sample_count);
  Simulation out{.ndata = run.ndata,
                 .dt = run.dt,
                 .acc = Array2<float>(3, run.ndata),
                 .clipping = {},
                 .census = {}};
  stoc::PlanCache plans(run.dt, station.q_exponent, run.window_peak_fraction,
                        run.window_end_fraction);
  const RunContext ctx{.vmod = vmod,
                       .rupture = rupture,
                       .run = run,
                       .rayset = rayset,
                       .deviates = deviates,
                       .siteamp_log_freq = siteamp_log_freq,
                       .kappa_s = station.kappa_s,
                       .station_seed = seed};
  const std::size_t segment_count =
      std::min({slip.segments.size(), angles.size(), weights.size(), strengths.size()});
  for (std::size_t index = 0; index < segment_count; ++index) {
    const input::Segment& seg = slip.segments[index];
    const geom::FaultPlane plane{
        .origin = {.lat_deg = seg.fault_lat_deg, .lon_deg = seg.fault_lon_deg},
        .strike_deg = seg.strike_deg,
        .dip_deg = seg.dip_deg,
        .top_depth_km = seg.top_depth_km,
        .along_strike_offset_km = seg.along_strike_offset_km,
        .subfault_length_km = seg.subfault_length_km,
        .subfault_width_km = seg.subfault_width_km,
        .along_strike_count = seg.along_strike_count,
        .down_dip_count = seg.down_dip_count,
    };
    const geom::SubfaultGeometry geometry = geom::subfault_geometry(
        plane, geom::GeoPoint{.lat_deg = station.latitude, .lon_deg = station.longitude});
    const WindowPass windows = time_window_pass(seg, geometry, angles[index], strengths[index]);
    const SegmentPass segment{.index = index,
                              .seg = seg,
                              .geom = geometry,
                              .windows = windows,
                              .angles = angles[index],
                              .weights = weights[index],
                              .strengths = strengths[index]};
    const auto [clipping, census] = subfault_pass(rng, plans, out.acc, segment, ctx);
    out.clipping += clipping;
    out.census += census;
  }
  out.census.transform_lengths = plans.plan_count();
  return out;
}

}  // namespace tolvane::sim
