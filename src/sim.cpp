// The simulation driver: source preparation, path-duration tables and station runs.
#include "sim.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "error.hpp"

namespace tolvane::sim {

namespace {

constexpr float kDegToRad = 0.017453292f;  // pi/180 in single precision
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
      .ndata = saturating_size(config.record.duration_s / config.record.dt_s),
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
