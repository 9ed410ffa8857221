// Ray paths in the layered model and the Green function of a ray type. Double precision
// throughout; the Green function hands its results back in single precision.
#include "ray.hpp"

#include <cmath>

#include "error.hpp"

namespace tolvane::ray {
namespace {

// A source closer than this to an interface (km) is moved this far into the layer, so that the
// source leg keeps a finite part of its layer. The single-precision 0.02 widened.
constexpr double kInterfaceMarginKm = static_cast<double>(0.02f);

// Bisection on T' stops once the ray of parameter p misses the range by at most this (km).
constexpr double kRangeToleranceKm = 0.01;
constexpr int kMaxBisectionSteps = 40;

// How far (s/km) below the slowness of the fastest layer the search for p starts: keeps that
// layer's vertical slowness real and non-zero.
constexpr double kCriticalMargin = 1e-9;

// |Im p| below this counts as a real ray parameter in the choice of root of eta.
constexpr double kRealParameterThreshold = 1e-8;
// sin(theta) above this selects the other root of eta.
constexpr double kRootFlipThreshold = 1e-8;
constexpr double kHalfPi = 1.5707963267948966;

// Sine of incidence at or beyond 1 (no real angle) is replaced by this, keeping the leg length
// finite. The single-precision 0.999999 widened.
constexpr double kMaxSine = static_cast<double>(0.999999f);
// Floor of the path length (km) so that spreading never divides by zero. 0.001f widened.
constexpr double kMinPathKm = static_cast<double>(0.001f);

struct ComplexSum {
  double re = 0.0;
  double im = 0.0;
};

// A term (n h) / eta of the time derivative, as complex division of a real numerator.
ComplexSum slowness_term(double weight, Complex64 eta) {
  const double norm = eta.imag() * eta.imag() + eta.real() * eta.real();
  return ComplexSum{.re = (weight * eta.real()) / norm, .im = (-weight * eta.imag()) / norm};
}

double clamped_sine(double ray_parameter, double velocity_km_s) {
  const double sine = ray_parameter * velocity_km_s;
  return sine < 1.0 ? sine : kMaxSine;
}

}  // namespace

// ---- Legs ----

RayPath::RayPath(state::Rays& rays, state::WaveMode mode) : rays_(rays), mode_(mode) {
  rays_.layer_indices.clear();
  rays_.wave_modes.clear();
}

void RayPath::push(std::size_t layer) {
  rays_.layer_indices.push_back(layer);
  rays_.wave_modes.push_back(mode_);
}

void RayPath::ascend_to(std::size_t from, std::size_t to) {
  if (from < to) return;
  for (std::size_t layer = from;; --layer) {
    push(layer);
    if (layer == to) return;
  }
}

std::size_t RayPath::descend_to_moho(std::span<const state::Layer> vmod, std::size_t from,
                                     std::size_t moho) {
  ensure(moho < vmod.size(), "Moho index {} is outside a model of {} layers", moho, vmod.size());
  if (from + 1 > moho) return from;
  for (std::size_t layer = from;; ++layer) {
    push(layer);
    // The ray turns at the bottom of this layer when the next one has no thickness.
    if (vmod[layer + 1].thickness_km == 0.0) return layer;
    if (layer + 2 > moho) return moho;
  }
}

void RayPath::moho_multiple(std::span<const state::Layer> vmod, std::size_t moho) {
  const std::size_t turning = descend_to_moho(vmod, 1, moho);
  ascend_to(turning, 1);
}

void enumerate_legs(state::Rays& rays, std::span<const state::Layer> vmod, std::size_t source_layer,
                    std::int32_t ray_type, state::WaveMode mode) {
  const state::RayShape shape = state::RayShape::from_ray_type(ray_type);
  ensure(!vmod.empty(), "the velocity model has no layers");
  const std::size_t moho = vmod.size() - 1;
  RayPath path(rays, mode);
  if (shape.kind == state::RayShape::Upgoing) {
    path.ascend_to(source_layer, 1);
  } else {
    const std::size_t turning = path.descend_to_moho(vmod, source_layer, moho);
    path.ascend_to(turning, 1);
  }
  for (std::int32_t m = 0; m < shape.multiples; ++m) path.moho_multiple(vmod, moho);
}

// ---- Source placement ----

std::optional<SourcePlacement> source_layer(std::span<const state::Layer> vmod, double depth_km) {
  double interface_km = 0.0;
  for (std::size_t i = 0; i < vmod.size(); ++i) {
    interface_km += vmod[i].thickness_km;  // bottom of layer i
    if (interface_km <= depth_km && depth_km - interface_km < kInterfaceMarginKm) {
      depth_km = interface_km + kInterfaceMarginKm;
    }
    if (interface_km > depth_km) {
      if (interface_km - depth_km < kInterfaceMarginKm)
        depth_km = interface_km - kInterfaceMarginKm;
      return SourcePlacement{.layer = i, .depth_km = depth_km};
    }
  }
  return std::nullopt;
}

SourcePlacement deepest_layer_with_thickness(std::span<const state::Layer> vmod) {
  std::optional<std::size_t> deepest;
  double moho_km = 0.0;
  for (std::size_t i = 0; i < vmod.size(); ++i) {
    if (vmod[i].thickness_km > 0.0) {
      deepest = i;
      moho_km += vmod[i].thickness_km;
    }
  }
  ensure(deepest.has_value(), "the velocity model has no layer of positive thickness");
  return SourcePlacement{.layer = *deepest, .depth_km = moho_km};
}

SourcePlacement place_source(std::span<const state::Layer> vmod, double depth_km) {
  if (const std::optional<SourcePlacement> placed = source_layer(vmod, depth_km)) return *placed;
  const SourcePlacement deepest = deepest_layer_with_thickness(vmod);
  return SourcePlacement{.layer = deepest.layer, .depth_km = deepest.depth_km - kInterfaceMarginKm};
}

// ---- Traversal counts ----

LayerFractions layer_fractions(std::span<const state::Layer> vmod, std::size_t layer,
                               double depth_km) {
  ensure(layer < vmod.size(), "layer {} is outside a model of {} layers", layer, vmod.size());
  double above_km = 0.0;
  for (std::size_t i = 0; i < layer; ++i) above_km += vmod[i].thickness_km;
  const double into_layer_km = depth_km - above_km;
  const double thickness = vmod[layer].thickness_km;
  return LayerFractions{.above = into_layer_km / thickness,
                        .below = (thickness - into_layer_km) / thickness};
}

void trim_traversal(state::RayState& state, std::size_t layer, std::size_t segment,
                    double fraction) {
  std::vector<float>& counts = checked_at(state.rays.wave_modes, segment).is_shear()
                                   ? state.travel.s_traversals
                                   : state.travel.p_traversals;
  float& count = checked_at(counts, layer);
  count = static_cast<float>(static_cast<double>(count) - fraction);
}

void build_ray_path(state::RayState& state, std::span<const state::Layer> vmod,
                    double source_depth_km, double receiver_depth_km) {
  const state::Rays& rays = state.rays;
  const std::size_t n = rays.segment_count();
  ensure(n > 0 && !rays.wave_modes.empty(), "build_ray_path needs at least one ray segment");
  ensure(rays.wave_modes.size() == n, "a ray of {} legs carries {} wave modes", n,
         rays.wave_modes.size());
  state.love = rays.wave_modes[0] == state::WaveMode::Sh ? 2 : 1;

  state::Travel& travel = state.travel;
  state::Coefficients& coefficients = state.coefficients;
  travel.reset_for(vmod.size());
  coefficients.reset_for(n);

  std::size_t deepest = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t layer = rays.layer_indices[j];
    ensure(layer < vmod.size(), "ray leg in layer {} is outside a model of {} layers", layer,
           vmod.size());
    (rays.wave_modes[j] == state::WaveMode::P ? travel.p_traversals : travel.s_traversals)[layer] +=
        1.0f;
    if (layer > deepest) deepest = layer;
  }

  // The first leg points down when the ray ends above the source after an odd number of passes
  // through the source layer, or below it after an even number.
  const std::size_t first = rays.layer_indices[0];
  const std::size_t last = rays.layer_indices[n - 1];
  std::int32_t passes = 0;
  for (const std::size_t layer : rays.layer_indices) passes += layer == first ? 1 : 0;
  const bool ends_deeper = last > first;
  const bool first_down =
      ends_deeper != (state::Direction::from_parity(passes + 1) == state::Direction::Down);
  state::Direction takeoff = first_down ? state::Direction::Down : state::Direction::Up;

  if (n == 1) {
    if (!(receiver_depth_km < source_depth_km)) takeoff = state::Direction::Down;
    travel.takeoff = takeoff;
    coefficients.directions[0] = takeoff;
    coefficients.interactions[0] = state::Interaction::Direct;
  } else {
    travel.takeoff = takeoff;
    coefficients.directions[0] = takeoff;
    for (std::size_t j = 0; j + 1 < n; ++j) {
      const bool reflects = rays.layer_indices[j + 1] == rays.layer_indices[j];
      coefficients.interactions[j] =
          reflects ? state::Interaction::Reflection : state::Interaction::Transmission;
      coefficients.directions[j + 1] =
          reflects ? coefficients.directions[j].flipped() : coefficients.directions[j];
    }
  }

  // Keep only the parts of the end layers the ray actually crosses.
  const LayerFractions at_receiver = layer_fractions(vmod, last, receiver_depth_km);
  trim_traversal(state, last, n - 1,
                 coefficients.directions[n - 1] == state::Direction::Down ? at_receiver.below
                                                                          : at_receiver.above);
  const LayerFractions at_source = layer_fractions(vmod, first, source_depth_km);
  trim_traversal(state, first, 0,
                 takeoff == state::Direction::Down ? at_source.above : at_source.below);

  travel.deepest_layer = deepest;
}

TraversedLayers::TraversedLayers(const state::RayState& state, std::span<const state::Layer> vmod)
    : layers_(vmod.data()),
      p_(state.travel.p_traversals.data()),
      s_(state.travel.s_traversals.data()),
      count_(state.travel.deepest_layer + 1) {
  const std::size_t deepest = state.travel.deepest_layer;
  ensure(deepest < vmod.size() && deepest < state.travel.p_traversals.size() &&
             deepest < state.travel.s_traversals.size(),
         "deepest layer {} is outside the ray's {} layers", deepest,
         state.travel.p_traversals.size());
}

TraversedLayers traversed_layers(const state::RayState& state, std::span<const state::Layer> vmod) {
  return TraversedLayers(state, vmod);
}

// ---- Time functions ----

Complex64 vertical_slowness(Complex64 ray_parameter, double velocity_km_s) {
  const double a = ray_parameter.real();
  const double b = ray_parameter.imag();
  // eta^2 = X + iY
  const double x = (1.0 / (velocity_km_s * velocity_km_s) - a * a) + b * b;
  const double y = (-2.0 * b) * a;
  double theta = 0.0;
  if (std::abs(b) >= kRealParameterThreshold) {
    theta = 0.5 * std::atan2(y, x);
  } else if (x < 0.0) {
    theta = kHalfPi;
  }
  double c = std::cos(theta);
  double s = std::sin(theta);
  if (c <= 0.0 || s > kRootFlipThreshold) {
    c = -c;
    s = -s;
  }
  const double r = std::sqrt(std::sqrt(x * x + y * y));
  return Complex64(c * r, s * r);
}

Complex64 cagniard_time(const state::RayState& state, std::span<const state::Layer> vmod,
                        Complex64 ray_parameter, double range_km) {
  double re = 0.0;
  double im = 0.0;
  for (const TraversedLayer t : traversed_layers(state, vmod)) {
    const double n_p = static_cast<double>(t.p);
    const double n_s = static_cast<double>(t.s);
    const double h = t.layer.thickness_km;
    const Complex64 eta_p = t.p > 0.0f ? vertical_slowness(ray_parameter, t.layer.vp_km_s) : 0.0;
    const Complex64 eta_s = t.s > 0.0f ? vertical_slowness(ray_parameter, t.layer.vsh_km_s) : 0.0;
    re = (eta_s.real() * n_s) * h + (re + (eta_p.real() * n_p) * h);
    im = (eta_s.imag() * n_s) * h + (im + (eta_p.imag() * n_p) * h);
  }
  return Complex64(ray_parameter.real() * range_km + re, ray_parameter.imag() * range_km + im);
}

Complex64 cagniard_time_derivative(const state::RayState& state, std::span<const state::Layer> vmod,
                                   Complex64 ray_parameter, double range_km) {
  ComplexSum sum;
  for (const TraversedLayer t : traversed_layers(state, vmod)) {
    const double h = t.layer.thickness_km;
    // A NaN count is not 0 and contributes.
    if (t.p != 0.0f) {
      const ComplexSum term = slowness_term(static_cast<double>(t.p) * h,
                                            vertical_slowness(ray_parameter, t.layer.vp_km_s));
      sum.re = sum.re + term.re;
      sum.im = sum.im + term.im;
    }
    if (t.s != 0.0f) {
      const ComplexSum term = slowness_term(static_cast<double>(t.s) * h,
                                            vertical_slowness(ray_parameter, t.layer.vsh_km_s));
      sum.re = sum.re + term.re;
      sum.im = sum.im + term.im;
    }
  }
  const double a = ray_parameter.real();
  const double b = ray_parameter.imag();
  return Complex64(range_km - (a * sum.re - b * sum.im), 0.0 - (b * sum.re + a * sum.im));
}

StationaryRay stationary_ray_parameter(const state::RayState& state,
                                       std::span<const state::Layer> vmod, double range_km) {
  double fastest = 0.0;
  for (const TraversedLayer t : traversed_layers(state, vmod)) {
    // Written so that a NaN velocity leaves `fastest` unchanged.
    if (t.p > 0.0f && t.layer.vp_km_s > fastest) fastest = t.layer.vp_km_s;
    if (t.s > 0.0f && t.layer.vsh_km_s > fastest) fastest = t.layer.vsh_km_s;
  }
  const double p_max = (1.0 / fastest) - kCriticalMargin;
  const auto missing_range = [&](double p) {
    return cagniard_time_derivative(state, vmod, Complex64(p, 0.0), range_km).real();
  };

  double p = p_max;
  // T' < 0 at p_max: the ray that reaches the range has a smaller p.
  if (missing_range(p_max) < 0.0) {
    double lo = 0.0;
    double hi = p_max;
    p = 0.5 * hi;
    for (int step = 1;; ++step) {
      const double d = missing_range(p);
      if (std::abs(d) <= kRangeToleranceKm || step == kMaxBisectionSteps) break;
      if (d > 0.0) {
        lo = p;
      } else {
        hi = p;
      }
      p = (hi + lo) * 0.5;
    }
  }
  return StationaryRay{
      .ray_parameter = p,
      .travel_time_s = cagniard_time(state, vmod, Complex64(p, 0.0), range_km).real()};
}

// ---- Spreading and attenuation ----

Spreading geometric_spreading(const state::RayState& state, std::span<const state::Layer> vmod,
                              double source_depth_km, double ray_parameter,
                              state::Takeoff takeoff) {
  const std::vector<std::size_t>& legs = state.rays.layer_indices;
  const std::size_t k = checked_at(legs, 0);
  ensure(k >= 1, "the ray starts in the air layer; its source lies above the receiver");
  ensure(k < vmod.size(), "ray leg in layer {} is outside a model of {} layers", k, vmod.size());

  // Top of the source layer, the air layer not counted.
  double top_km = 0.0;
  for (std::size_t i = 1; i < k; ++i) top_km += vmod[i].thickness_km;
  const state::Layer& source = vmod[k];
  const double partial_km = takeoff == state::Takeoff::Down
                                ? (top_km + source.thickness_km) - source_depth_km
                                : source_depth_km - top_km;

  double sine = clamped_sine(ray_parameter, source.vsh_km_s);
  double denom = 1.0 / std::sqrt(1.0 - sine * sine);
  double leg_km = partial_km * denom;
  double leg_s = leg_km / source.vsh_km_s;
  double path_km = leg_km;
  float attenuation_s = static_cast<float>(leg_s / static_cast<double>(source.attenuation_s));

  for (std::size_t j = 1; j < legs.size(); ++j) {
    const std::size_t m = legs[j];
    ensure(m < vmod.size(), "ray leg in layer {} is outside a model of {} layers", m, vmod.size());
    const state::Layer& layer = vmod[m];
    sine = clamped_sine(ray_parameter, layer.vsh_km_s);
    denom = 1.0 / std::sqrt(1.0 - sine * sine);
    leg_km = denom * layer.thickness_km;
    path_km = path_km + leg_km;
    leg_s = leg_km / layer.vsh_km_s;
    attenuation_s = static_cast<float>(leg_s / static_cast<double>(layer.attenuation_s) +
                                       static_cast<double>(attenuation_s));
  }
  if (path_km == 0.0) path_km = kMinPathKm;
  return Spreading{.path_km = path_km, .attenuation_s = attenuation_s};
}

// ---- Green function ----

GreenFunction green_function(state::RayState& state, std::span<const state::Layer> vmod,
                             float src_depth, float range, std::int32_t ray_type,
                             state::WaveMode wave_mode) {
  ensure(!vmod.empty(), "the velocity model has no layers");
  state.rays.degeneracy = 1;
  const double receiver_depth_km = vmod[0].thickness_km;
  const SourcePlacement source = place_source(vmod, static_cast<double>(src_depth));
  enumerate_legs(state.rays, vmod, source.layer, ray_type, wave_mode);
  build_ray_path(state, vmod, source.depth_km, receiver_depth_km);
  const StationaryRay ray = stationary_ray_parameter(state, vmod, static_cast<double>(range));
  const Spreading spreading = geometric_spreading(state, vmod, source.depth_km, ray.ray_parameter,
                                                  state::Takeoff::from_ray_type(ray_type));
  return GreenFunction{
      .rp0 = static_cast<float>(ray.ray_parameter),
      .stime = static_cast<float>(ray.travel_time_s),
      .rpath = static_cast<float>(spreading.path_km),
      .qbar = spreading.attenuation_s,
  };
}

}  // namespace tolvane::ray
