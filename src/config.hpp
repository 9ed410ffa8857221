// Configuration records: source strength and rupture velocity, rays and path duration, site and
// record shape, plus the three small rules other areas call (ray-code classification, the
// path-duration deck codes and the depth taper of the rupture velocity). All reals are f32.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tolvane::config {

struct RuptureVelocity {
  float frac;     // rupture velocity as a fraction of the local shear velocity
  float shallow;  // multiplier of frac at shallow depth
  float deep;     // multiplier of frac at great depth
  float rv_sig1;  // sigma of the per-subfault log-normal perturbation; <= 0 switches it off
};

struct SourceParameters {
  float czero;   // corner-frequency constant
  float calpha;  // corner-frequency dip/rake coefficient
  RuptureVelocity rupture_velocity;
};

enum class RayKind : std::uint8_t { StraightRay = 0, Upgoing = 1, Downgoing = 2 };

// One ray code as the caller gave it: 0 is the straight ray, odd codes start upward, even codes
// reflect at the Moho first; (code - 1) / 2 or (code - 2) / 2 Moho multiples follow.
struct RayType {
  std::int32_t code;

  RayKind kind() const;
};

// Which path-duration table the run uses. An enumeration with a rule attached: the value is the
// ordinal below, not the external deck code.
struct PathDurationModel {
  enum Value : std::uint8_t { Gp2010 = 0, Wus = 1, Ena = 2, Bt2014Wus = 3, Bt2015Ena = 4 };

  constexpr PathDurationModel(Value v) : value(v) {}
  friend constexpr bool operator==(PathDurationModel, PathDurationModel) = default;

  // Maps the external deck code: 0 and negatives -> Gp2010, 1 Wus, 2 Ena, 11 Bt2014Wus,
  // 12 Bt2015Ena; any other code has no model.
  static std::optional<PathDurationModel> from_deck(std::int32_t code);

  Value value;
};

struct PathParameters {
  std::vector<RayType> rayset;  // traced from every subfault to every station, in caller order
  PathDurationModel path_duration;
};

struct SiteParameters {
  float f_max_hz;  // upper frequency limit of the synthesis, Hz
};

struct RecordParameters {
  float duration_s;  // record length, s
  float dt_s;        // sample interval, s
};

// "Everything needed to simulate, with nothing about where the inputs came from."
struct HfConfig {
  SourceParameters source;
  PathParameters path;
  SiteParameters site;
  RecordParameters record;
};

// Depth taper of the rupture velocity: frac * shallow_factor above shallow_top_km, rising
// linearly to frac at shallow_base_km, constant to deep_top_km, then linearly to
// frac * deep_factor at deep_base_km and below. Depths in km.
struct RuptureVelocityTaper {
  float frac;
  float shallow_factor;
  float deep_factor;
  float shallow_top_km;
  float shallow_base_km;
  float deep_top_km;
  float deep_base_km;

  float factor(float depth_km) const;
};

}  // namespace tolvane::config
