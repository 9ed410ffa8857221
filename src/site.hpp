// Quarter-wavelength site amplification.
//
// A wave leaving a subfault at depth reaches the surface through layers of falling impedance and
// is amplified by sqrt(source impedance / mean impedance over the top quarter wavelength). The
// amplification is evaluated from the velocity model at the frequencies of the site table, spread
// over the bins of a spectrum by linear interpolation in log frequency and log amplitude, and
// multiplied into each component's spectrum, rebuilding the negative-frequency half so that the
// time series stays real.
//
// Notation: f frequency (Hz), tq = 1/(4f) quarter period (s), vs shear velocity (km/s),
// rho density (g/cm^3), H depth (km), A = sum of rho * (travel time) over the layers passed.
#pragma once

#include <cstddef>
#include <span>

#include "array.hpp"
#include "state.hpp"

namespace tolvane::site {

// Natural log of the amplification at each table frequency, for a source in layer
// `source_layer` of `vmod` (layer 0 is the air layer and is never walked).
// `table_log_frequency`: ln(Hz) of the table entries; `factors` has one entry per table entry.
void site_amplification_factors(std::span<const state::Layer> vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency,
                                std::span<float> factors);

// Linear gain of every non-negative-frequency bin (DC .. Nyquist, np + 1 entries) of a spectrum:
// ln amplification interpolated linearly in ln frequency between the table entries that bracket
// the bin and held constant outside the table. `log_frequency_hz`: ln(Hz) of every bin,
// increasing; the entries of DC and Nyquist are not read.
void site_gain_curve(std::span<const float> log_frequency_hz,
                     std::span<const float> table_log_frequency, std::span<const float> factors,
                     std::span<float> gain);

// Multiplies the bins DC .. Nyquist of a spectrum of even length np2 by `gain` (np2/2 + 1
// entries) and overwrites the negative-frequency half with the complex conjugates.
void apply_site_amplification(std::span<Complex> spectrum, std::span<const float> gain);

}  // namespace tolvane::site
