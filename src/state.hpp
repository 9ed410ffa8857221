// Layer records of the velocity model: the caller-side InputLayer and the simulation-side Layer
// read by ray tracing, the station run and the site amplification.
//
// In a simulation model layer 0 is the air layer (the receiver sits at its bottom) and the last
// layer is the half-space below the Moho, with thickness 0.
#pragma once

#include <cstddef>
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

}  // namespace tolvane::state
