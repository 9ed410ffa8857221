// S-wave radiation of a double couple and the gains it puts on each component's spectrum.
//
// The theoretical SH and SV coefficients follow from the fault orientation and the ray's azimuth
// and take-off angle. Real sources are not that regular, so the gains use a conical average: the
// root-mean-square of the pattern over randomly perturbed orientations for the horizontal
// components, and the mean magnitude over a cone of take-off angles for the vertical one.
//
// Notation: lambda rake, delta dip, i take-off angle (from the downward vertical, > pi/2 leaves
// upward), phi = azimuth - strike (azimuths clockwise from north). All angles in radians, all
// arithmetic in single precision.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "rng/source.hpp"

namespace tolvane::radiation {

// Fault orientation and ray direction of one arrival, radians.
struct RadiationAngles {
  float strike_rad;
  float dip_rad;
  float rake_rad;
  float azimuth_rad;  // of the station seen from the subfault
  float takeoff_rad;  // of the ray at the source, from the downward vertical
};

// Sines and cosines of rake, dip, take-off and phi = azimuth - strike.
struct AngleTerms {
  float sin_rake;
  float cos_rake;
  float sin_dip;
  float cos_dip;
  float sin_takeoff;
  float cos_takeoff;
  float sin_az;  // sin(phi)
  float cos_az;  // cos(phi)

  static AngleTerms of(RadiationAngles angles);
};

// SH and SV radiation coefficients (dimensionless, at most 1 in magnitude for SH).
struct ShearRadiation {
  float sh;
  float sv;
};

// cl*cd*ci*sphi + cl*sd*si*cos2phi + sl*cos2delta*ci*cphi - sl*sin2delta*si*sin2phi/2.
float sh_from(const AngleTerms& t);
// sl*cos2delta*cos2i*sphi - cl*cd*cos2i*cphi + cl*sd*sin2i*sin2phi/2
// - sl*sin2delta*sin2i*(1 + sphi^2)/2.
float sv_from(const AngleTerms& t);

ShearRadiation radiation_pattern(const RadiationAngles& angles);
float sv_radiation(const RadiationAngles& angles);

// Gain row of a horizontal component whose direction is `component_rad` (the azimuth offset of the
// component: -pi/2 east, 0 north): the root-mean-square of the projected SH + SV pattern over
// `sample_count` orientations perturbed by up to +-pi/4 each, with the sign of the unperturbed
// projection. Draws 5 * sample_count uniforms from `rng`. `radiation` has one entry per entry of
// `frequency_hz` (Hz).
void horizontal_radiation_spectrum(rng::DrawSource& rng, const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::uint64_t sample_count, std::span<float> radiation);

// Gain row of the vertical component: the theoretical SV * sin(i) at zero frequency, blending
// linearly up to 0.01 Hz into half the mean of |SV * sin(i)| over `sample_count` rays spread
// uniformly in cos(i) over the take-off cone and uniformly in azimuth. `uniform_a` (take-off) and
// `uniform_b` (azimuth) are uniforms in [0, 1), at least `sample_count` each.
void vertical_radiation_spectrum(const RadiationAngles& angles, std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> uniform_b,
                                 std::uint64_t sample_count, std::span<float> radiation);

// Work rows of arrival_radiation, for `sample_count` samples per average.
struct RadiationScratch {
  explicit RadiationScratch(std::uint64_t sample_count);
  std::vector<float> uniforms;  // the draws of both horizontal averages, by position
  std::vector<float> values;    // the projections and magnitudes of the three averages
};

// The gain rows of one arrival's three components: radiation[0] and radiation[1] as
// horizontal_radiation_spectrum gives them for `component_rad[0]` and then `component_rad[1]`,
// drawing from `rng` in that order, and radiation[2] as vertical_radiation_spectrum gives it. The
// three averages are summed side by side, each in its own sample order.
void arrival_radiation(rng::DrawSource& rng, const RadiationAngles& angles,
                       std::span<const float> frequency_hz,
                       const std::array<float, 2>& component_rad, std::span<const float> uniform_a,
                       std::span<const float> uniform_b, std::uint64_t sample_count,
                       RadiationScratch& scratch, const std::array<std::span<float>, 3>& radiation);

// Take-off range of the vertical average: +-40 degrees around the ray, clipped to the upward half
// (pi/2 to pi). For a downgoing ray the clipped bounds cross (max_rad < min_rad); the samples
// then fall between the cosines of the two.
struct TakeoffCone {
  float min_rad;
  float max_rad;
};
TakeoffCone vertical_takeoff_cone(float takeoff_rad);

}  // namespace tolvane::radiation
