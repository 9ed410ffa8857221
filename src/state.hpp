// Layer records of the velocity model: the caller-side InputLayer and the simulation-side Layer
// read by ray tracing, the station run and the site amplification; and the ray records a Green
// function fills: the legs of a ray, its per-layer traversal counts and the interaction at the end
// of every leg, kept together in the reusable RayState scratch.
//
// In a simulation model layer 0 is the air layer (the receiver sits at its bottom) and the last
// layer is the half-space below the Moho, with thickness 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::state {

// A layer as the caller describes it. depth_km is the depth of the layer's base, filled in by
// build_velocity_model (0 as built from Python).
struct InputLayer {
  float depth_km;
  float thickness_km;    // 0 for the bottom half-space
  double vp_km_s;        // P velocity, km/s
  double vsh_km_s;       // SH velocity, km/s
  double density_g_cm3;  // g/cm^3
  float attenuation_p;   // P quality factor (travel times are divided by it)
  float attenuation_s;   // S quality factor
};

// The same layer as the simulation reads it: geometry widened to f64.
struct Layer {
  double depth_km;
  double thickness_km;
  double vp_km_s;
  double vsh_km_s;
  double density_g_cm3;
  float attenuation_p;
  float attenuation_s;

  // Depth and thickness are widened exactly; the rest is copied.
  static Layer from_input(const InputLayer& layer);
};

// Wave type of a ray leg.
struct WaveMode {
  enum Value : std::uint8_t { Sv = 0, Sh = 1, P = 2 };

  constexpr WaveMode(Value v) : value(v) {}
  friend constexpr bool operator==(WaveMode, WaveMode) = default;

  constexpr bool is_shear() const { return value == Sv || value == Sh; }

  Value value;
};

// Vertical direction of travel along a leg.
struct Direction {
  enum Value : std::uint8_t { Up = 0, Down = 1 };

  constexpr Direction(Value v) : value(v) {}
  friend constexpr bool operator==(Direction, Direction) = default;

  constexpr Direction flipped() const { return value == Up ? Down : Up; }
  // Down for odd k, Up for even k (negative k included).
  static constexpr Direction from_parity(std::int32_t k) { return (k & 1) != 0 ? Down : Up; }

  Value value;
};

// What happens at the end of a leg.
enum class Interaction : std::uint8_t { Transmission = 0, Reflection = 1, Direct = 2 };

// The first direction implied by a ray type.
struct Takeoff {
  enum Value : std::uint8_t { Up = 0, Down = 1 };

  constexpr Takeoff(Value v) : value(v) {}
  friend constexpr bool operator==(Takeoff, Takeoff) = default;

  // Up for odd ray types (direct ray first), Down for even ones (Moho reflection first).
  static Takeoff from_ray_type(std::int32_t ray_type);

  Value value;
};

// The legs a ray type asks for: the direct upgoing ray or the Moho reflection, followed by
// `multiples` Moho multiples.
struct RayShape {
  enum Kind : std::uint8_t { Upgoing = 0, DownToMoho = 1 };

  // Odd t: Upgoing with (t - 1) / 2 multiples; even t: DownToMoho with (t - 2) / 2.
  static RayShape from_ray_type(std::int32_t ray_type);

  Kind kind;
  std::int32_t multiples;
};

// The legs of a ray in travel order: the layer and wave mode of each.
struct Rays {
  std::vector<std::size_t> layer_indices;
  std::vector<WaveMode> wave_modes;
  std::int32_t degeneracy = 0;

  std::size_t segment_count() const { return layer_indices.size(); }
};

// How often the ray crosses each layer of the model, fractional in the source and receiver
// layers.
struct Travel {
  std::vector<float> p_traversals;  // one per layer, as a P wave
  std::vector<float> s_traversals;  // one per layer, as a shear wave
  std::size_t deepest_layer = 0;    // largest layer index on the path
  Direction takeoff = Direction::Up;

  // One zero count per layer; keeps the lists' capacity.
  void reset_for(std::size_t layer_count);
};

// The interaction at the end of each leg and the direction of each leg.
struct Coefficients {
  std::vector<Interaction> interactions;
  std::vector<Direction> directions;

  // segment_count times Transmission and Up; keeps the lists' capacity.
  void reset_for(std::size_t segment_count);
};

// Scratch of the Green-function computation: one per segment pass, overwritten by every call.
// Only the lists' capacity carries over from one ray to the next.
struct RayState {
  Rays rays;
  Travel travel;
  Coefficients coefficients;
  std::int32_t love = 0;  // 2 when the first leg is Sh, else 1
};

}  // namespace tolvane::state
