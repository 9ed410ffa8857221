// Ray theory in the layered model: places a source in a layer, enumerates the legs of a ray type
// (the direct upgoing ray, the Moho reflection, Moho multiples), reduces them to per-layer
// traversal counts, and finds the ray that connects source and receiver with its travel time,
// path length and attenuation (the Green function).
//
// Notation: p is the ray parameter (horizontal slowness, s/km), X the epicentral range (km), eta
// the vertical slowness sqrt(1/v^2 - p^2) (s/km), h a layer's thickness (km), nP and nS the
// number of times the ray crosses a layer as a P or a shear wave. The Cagniard time function
// T(p) = p X + sum(n h eta) is stationary at the geometric ray; T'(p) = X - X(p) is the range
// still missing from the ray of parameter p.
//
// Layer 0 of the model is the air layer, whose bottom is the receiver; rays ascend to layer 1 and
// never enter layer 0. The last layer is the half-space below the Moho, with thickness 0.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "state.hpp"

namespace tolvane::ray {

using Complex64 = std::complex<double>;

// Builds the legs of a ray into a Rays record, every leg with the same wave mode. (Not the
// spectral path record of the stochastic spectrum.)
class RayPath {
 public:
  // Empties the leg lists of `rays`, keeping their capacity.
  RayPath(state::Rays& rays, state::WaveMode mode);

  void push(std::size_t layer);
  // Pushes from, from - 1, ..., to; nothing when from < to.
  void ascend_to(std::size_t from, std::size_t to);
  // Pushes a downward pass from layer `from`; returns the layer at whose bottom the ray turns: the
  // layer above the first one of thickness 0, else `moho`. Pushes nothing and returns `from`
  // when `from` is at or below the Moho.
  std::size_t descend_to_moho(std::span<const state::Layer> vmod, std::size_t from,
                              std::size_t moho);
  // One Moho multiple: down from layer 1 to the turning layer and back up to layer 1.
  void moho_multiple(std::span<const state::Layer> vmod, std::size_t moho);

 private:
  state::Rays& rays_;
  state::WaveMode mode_;
};

// Legs of `ray_type` (>= 1) from the source layer, all with wave mode `mode`.
void enumerate_legs(state::Rays& rays, std::span<const state::Layer> vmod, std::size_t source_layer,
                    std::int32_t ray_type, state::WaveMode mode);

// A source's layer and its depth after moving it off the interfaces.
struct SourcePlacement {
  std::size_t layer;
  double depth_km;
};

// The layer holding a source at `depth_km`, the depth moved to lie at least 0.02 km from the
// layer's top and bottom; nothing when the depth lies in the half-space (no layer bottom below
// it).
std::optional<SourcePlacement> source_layer(std::span<const state::Layer> vmod, double depth_km);

// The last layer of positive thickness and the depth of its bottom (the Moho), km.
SourcePlacement deepest_layer_with_thickness(std::span<const state::Layer> vmod);

// source_layer, or for a source in the half-space the deepest layer of positive thickness, just
// above its bottom.
SourcePlacement place_source(std::span<const state::Layer> vmod, double depth_km);

// The parts of a layer above and below a depth, as fractions of the layer's thickness.
struct LayerFractions {
  double above;
  double below;
};

LayerFractions layer_fractions(std::span<const state::Layer> vmod, std::size_t layer,
                               double depth_km);

// Lowers the traversal count of `layer`, in the wave type of leg `segment`, by `fraction`.
void trim_traversal(state::RayState& state, std::size_t layer, std::size_t segment,
                    double fraction);

// Fills state.travel, state.coefficients and state.love from the legs in state.rays: whole
// traversal counts, trimmed to the parts actually travelled in the source and receiver layers.
void build_ray_path(state::RayState& state, std::span<const state::Layer> vmod,
                    double source_depth_km, double receiver_depth_km);

// A layer on the ray's way with its traversal counts.
struct TraversedLayer {
  const state::Layer& layer;
  float p;  // crossings as a P wave
  float s;  // crossings as a shear wave
};

// Layers 0 ... deepest_layer of a built ray, in order, without copying anything.
class TraversedLayers {
 public:
  class Iterator {
   public:
    TraversedLayer operator*() const { return {layers_[index_], p_[index_], s_[index_]}; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    friend class TraversedLayers;
    Iterator(const TraversedLayers& range, std::size_t index)
        : layers_(range.layers_), p_(range.p_), s_(range.s_), index_(index) {}
    const state::Layer* layers_;
    const float* p_;
    const float* s_;
    std::size_t index_;
  };

  TraversedLayers(const state::RayState& state, std::span<const state::Layer> vmod);
  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, count_); }

 private:
  const state::Layer* layers_;
  const float* p_;
  const float* s_;
  std::size_t count_;
};

TraversedLayers traversed_layers(const state::RayState& state, std::span<const state::Layer> vmod);

// The ray connecting source and receiver.
struct GreenFunction {
  float rp0;    // ray parameter, s/km
  float stime;  // travel time, s
  float rpath;  // path length through the layers, km (never 0)
  float qbar;   // sum over the legs of travel time / Qs, s
};

// eta = sqrt(1/v^2 - p^2) with a fixed choice of root: for real p beyond 1/v, a negative imaginary
// value. v in km/s, p and eta in s/km.
Complex64 vertical_slowness(Complex64 ray_parameter, double velocity_km_s);

// T(p), s.
Complex64 cagniard_time(const state::RayState& state, std::span<const state::Layer> vmod,
                        Complex64 ray_parameter, double range_km);

// T'(p), km.
Complex64 cagniard_time_derivative(const state::RayState& state, std::span<const state::Layer> vmod,
                                   Complex64 ray_parameter, double range_km);

struct StationaryRay {
  double ray_parameter;  // s/km
  double travel_time_s;
};

// The real p in [0, 1/v_max) at which T is stationary, by bisection on T'; v_max is the fastest
// velocity on the ray. Beyond the reach of those rays, p stays just below 1/v_max.
StationaryRay stationary_ray_parameter(const state::RayState& state,
                                       std::span<const state::Layer> vmod, double range_km);

struct Spreading {
  double path_km;       // ray length through the layers
  float attenuation_s;  // sum of travel time / Qs over the legs
};

// Path length and attenuation leg by leg, every leg at the layer's shear velocity and Qs; the
// source leg covers only the part of its layer between the source and the layer's bottom (Down)
// or top (Up).
Spreading geometric_spreading(const state::RayState& state, std::span<const state::Layer> vmod,
                              double source_depth_km, double ray_parameter, state::Takeoff takeoff);

// The ray of `ray_type` (>= 1) with wave mode `wave_mode` from a source at `src_depth` km to the
// receiver at the bottom of the air layer, `range` km away. Overwrites `state`.
GreenFunction green_function(state::RayState& state, std::span<const state::Layer> vmod,
                             float src_depth, float range, std::int32_t ray_type,
                             state::WaveMode wave_mode);

}  // namespace tolvane::ray
