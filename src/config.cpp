// Ray-code classification, path-duration deck codes and the rupture-velocity depth taper.
#include "config.hpp"

namespace tolvane::config {

RayKind RayType::kind() const {
  if (code == 0) return RayKind::StraightRay;
  // C++ remainder takes the sign of the dividend, so negative odd codes fall through.
  if (code % 2 == 1) return RayKind::Upgoing;
  return RayKind::Downgoing;
}

std::optional<PathDurationModel> PathDurationModel::from_deck(std::int32_t code) {
  if (code <= 0) return Gp2010;
  switch (code) {
    case 1:
      return Wus;
    case 2:
      return Ena;
    case 11:
      return Bt2014Wus;
    case 12:
      return Bt2015Ena;
    default:
      return std::nullopt;
  }
}

float RuptureVelocityTaper::factor(float depth_km) const {
  const float d = depth_km;
  float shallow;
  if (d >= shallow_base_km) {
    shallow = frac;
  } else if (d < shallow_top_km) {
    shallow = frac * shallow_factor;
  } else {
    float t = (d - shallow_top_km) * (1.0f - shallow_factor);
    t = t / (shallow_base_km - shallow_top_km);
    t = t + shallow_factor;
    shallow = t * frac;
  }

  if (d >= deep_base_km) return frac * deep_factor;
  if (d < deep_top_km) return shallow;
  float t = (d - deep_top_km) * (deep_factor - 1.0f);
  t = t / (deep_base_km - deep_top_km);
  t = t + 1.0f;
  return t * frac;
}

}  // namespace tolvane::config
