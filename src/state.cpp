// Layer records of the velocity model and the ray records of the Green functions.
#include "state.hpp"

#include "error.hpp"

namespace tolvane::state {

Layer Layer::from_input(const InputLayer& layer) {
  return Layer{
      .depth_km = static_cast<double>(layer.depth_km),
      .thickness_km = static_cast<double>(layer.thickness_km),
      .vp_km_s = layer.vp_km_s,
      .vsh_km_s = layer.vsh_km_s,
      .density_g_cm3 = layer.density_g_cm3,
      .attenuation_p = layer.attenuation_p,
      .attenuation_s = layer.attenuation_s,
  };
}

namespace {
void ensure_ray_type_not_negative(std::int32_t ray_type) {
  ensure(ray_type >= 0, "ray type {} is negative; th1 would be undefined", ray_type);
}
}  // namespace

Takeoff Takeoff::from_ray_type(std::int32_t ray_type) {
  ensure_ray_type_not_negative(ray_type);
  return ray_type % 2 == 1 ? Up : Down;
}

RayShape RayShape::from_ray_type(std::int32_t ray_type) {
  ensure_ray_type_not_negative(ray_type);
  if (ray_type % 2 == 1) return RayShape{.kind = Upgoing, .multiples = (ray_type - 1) / 2};
  return RayShape{.kind = DownToMoho, .multiples = (ray_type - 2) / 2};
}

void Travel::reset_for(std::size_t layer_count) {
  p_traversals.assign(layer_count, 0.0f);
  s_traversals.assign(layer_count, 0.0f);
}

void Coefficients::reset_for(std::size_t segment_count) {
  interactions.assign(segment_count, Interaction::Transmission);
  directions.assign(segment_count, Direction::Up);
}

}  // namespace tolvane::state
