// Slip-model construction and queries, and the velocity-model rules.
#include "input.hpp"

#include <cmath>

#include "constants.hpp"
#include "error.hpp"

namespace tolvane::input {

GridCell GridWalk::Iterator::operator*() const {
  const std::size_t inner = walk_->strike_outer_ ? walk_->rows_ : walk_->columns_;
  const std::size_t outer_index = position_ / inner + 1;
  const std::size_t inner_index = position_ % inner + 1;
  return walk_->strike_outer_ ? GridCell{outer_index, inner_index}
                              : GridCell{inner_index, outer_index};
}

std::size_t Segment::grid_index(std::size_t i, std::size_t j) const {
  ensure(i >= 1 && i <= along_strike_count && j >= 1 && j <= down_dip_count,
         "subfault ({},{}) is outside the {}x{} grid", i, j, along_strike_count, down_dip_count);
  return (j - 1) * along_strike_count + (i - 1);
}

Subfault Segment::at(std::size_t i, std::size_t j) const {
  return checked_at(subfaults, grid_index(i, j));
}

Segment SegmentBuilder::build() && {
  std::size_t cells = 0;
  const bool overflow = __builtin_mul_overflow(along_strike_count, down_dip_count, &cells);
  ensure(!overflow && subfaults.size() == cells, "subfault grid holds {} entries, expected {}x{}",
         subfaults.size(), along_strike_count, down_dip_count);
  Segment segment;
  segment.fault_lon_deg = fault_lon_deg;
  segment.fault_lat_deg = fault_lat_deg;
  segment.along_strike_count = along_strike_count;
  segment.down_dip_count = down_dip_count;
  segment.subfault_length_km = subfault_length_km;
  segment.subfault_width_km = subfault_width_km;
  segment.strike_deg = strike_deg;
  segment.dip_deg = dip_deg;
  segment.rake_deg = rake_deg;
  segment.top_depth_km = top_depth_km;
  segment.hypocentre_along_strike_km = hypocentre_along_strike_km;
  segment.hypocentre_down_dip_km = hypocentre_down_dip_km;
  segment.along_strike_offset_km =
      (static_cast<float>(along_strike_count) * 0.5f) * subfault_length_km;
  segment.subfaults = std::move(subfaults);
  return segment;
}

StochModel::StochModel(std::vector<Segment> segments_in) : segments(std::move(segments_in)) {
  ensure(!segments.empty(), "a slip model needs at least one segment");
  for (const Segment& s : segments) {
    std::size_t cells = 0;
    ensure(!__builtin_mul_overflow(s.along_strike_count, s.down_dip_count, &cells) &&
               !__builtin_add_overflow(subfault_count, cells, &subfault_count),
           "the subfault count of the slip model overflows");
    const float length = static_cast<float>(s.along_strike_count) * s.subfault_length_km;
    const float area = (length * static_cast<float>(s.down_dip_count)) * s.subfault_width_km;
    fault_area_km2 += area;
    const float depth = std::sin(s.dip_deg * kDegToRad) * s.hypocentre_down_dip_km + s.top_depth_km;
    // A NaN candidate compares false and never replaces the running depth.
    if (depth > max_hypocentre_depth_km) max_hypocentre_depth_km = depth;
  }
}

std::string ModelError::message() const {
  if (std::holds_alternative<NoLayers>(detail_)) return "velocity model has no layers";
  return format(
      "the first layer already reaches vs_moho = {} km/s, so there is no model above the Moho to "
      "simulate",
      std::get<MohoAtFirstLayer>(detail_).vs_moho_km_s);
}

std::variant<std::vector<state::InputLayer>, ModelError> build_velocity_model(
    std::span<const state::InputLayer> layers, double vs_moho_km_s) {
  if (layers.empty()) return ModelError(ModelError::NoLayers{});
  if (layers[0].vsh_km_s >= vs_moho_km_s) {
    return ModelError(ModelError::MohoAtFirstLayer{vs_moho_km_s});
  }

  std::vector<state::InputLayer> model;
  model.reserve(layers.size());
  model.push_back(layers[0]);
  model.back().depth_km = layers[0].thickness_km;
  for (std::size_t k = 1; k < layers.size(); ++k) {
    state::InputLayer layer = layers[k];
    const float above = model.back().depth_km;
    // A NaN velocity never reaches the Moho.
    if (layer.vsh_km_s >= vs_moho_km_s) {
      layer.depth_km = above;
      layer.thickness_km = 0.0f;
      model.push_back(layer);
      return model;
    }
    layer.depth_km = above + layer.thickness_km;
    model.push_back(layer);
  }
  model.back().thickness_km = 0.0f;
  return model;
}

std::vector<state::InputLayer> insert_air_layer(std::vector<state::InputLayer> layers) {
  const state::InputLayer& first = checked_at(layers, 0);
  if (first.depth_km > 0.001f && first.vp_km_s > 0.01) {
    const state::InputLayer air{
        .depth_km = 0.0001f,
        .thickness_km = 0.0001f,
        .vp_km_s = static_cast<double>(0.001f),
        .vsh_km_s = static_cast<double>(0.0005f),
        .density_g_cm3 = static_cast<double>(0.001f),
        .attenuation_p = first.attenuation_p,
        .attenuation_s = first.attenuation_s,
    };
    layers.insert(layers.begin(), air);
  }
  return layers;
}

}  // namespace tolvane::input
