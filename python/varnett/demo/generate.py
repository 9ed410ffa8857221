"""Make the bundled demo scenario: a hypothetical Mw 6.5 reverse-faulting earthquake.

Run ``python -m varnett.demo.generate [FOLDER]`` to write the files (by default into this
package folder, replacing the bundled ones): ``scenario.toml``, the grids ``slip.txt``,
``rise_time_s.txt`` and ``rupture_time_s.txt``, and ``stations.csv``. The result depends only
on the constants below and the seed of the random slip field.

The fault is one segment 30 km along strike and 15 km down dip in 1 km subfaults. Its slip is a
von Karman random field (correlation lengths 10 km along strike and 5 km down dip, Hurst
exponent 0.75, after Mai & Beroza, 2002), made non-negative, tapered towards the buried edges
and scaled so that the moment, slip x rigidity x area, gives Mw 6.5. The rupture starts at the
hypocentre and spreads at a constant 2.8 km/s (0.8 of a shear velocity of 3.5 km/s); the rise
time grows with the square root of the slip around the mean of Somerville et al. (1999). Twelve
stations lie between 5 and 100 km from the rupture, at spread azimuths.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

from ..files import format_f32, read_grid, write_grid
from ..geometry import km_per_degree, rupture_distance_km
from ..scenario import Scenario

FOLDER = Path(__file__).parent

SEED = 20260611
MAGNITUDE = 6.5
ALONG_STRIKE, DOWN_DIP = 30, 15
SUBFAULT_KM = 1.0
HYPOCENTRE_ALONG_KM, HYPOCENTRE_DOWN_KM = 10.0, 11.0
RUPTURE_VELOCITY_KM_S = 2.8
STRESS_DROP_BARS = 50.0
CORRELATION_KM = (5.0, 10.0)  # down dip, along strike
HURST = 0.75
SLIP_SPREAD = 0.7  # standard deviation of the slip field relative to its mean
EDGE_TAPER_KM = 3.0

#: The stations' distances to the rupture (km) and their azimuths from the fault's centre.
STATION_DISTANCES_KM = (5, 8, 12, 17, 23, 30, 38, 47, 58, 70, 84, 100)
STATION_AZIMUTHS_DEG = (30, 200, 320, 110, 250, 70, 160, 290, 0, 220, 130, 40)

SCENARIO_TEMPLATE = """\
# The varnett demo: a hypothetical Mw 6.5 reverse-faulting earthquake in a layered crust.
# Made by `python -m varnett.demo.generate` (varnett/demo/generate.py), which also writes the
# grids slip.txt, rise_time_s.txt and rupture_time_s.txt and the station table stations.csv.
# Units: km, s, km/s, g/cm^3, cm (slip), bars (stress drop), degrees.
name = "Demo: reverse fault, 30 km x 15 km"

[source]
# Corner frequency of each subfault: fc = C * vr / (pi * dl), with vr the rupture velocity and
# dl the subfault size (1 km); C = 2.1 is the usual value for this summation of subevents.
corner_frequency_constant = 2.1
# Raises C for shallow-dipping reverse faults: C * (1 + alpha * dip factor * rake factor),
# i.e. up to 10 % here (dip 40 degrees, rake 100 degrees).
corner_frequency_alpha = 0.1
# Rupture velocity: 0.8 of the local shear velocity, reduced to 0.7 of that above 5 km depth
# (tapering back to the full value at 8 km), unchanged at depth, and perturbed per subfault by
# a log-normal factor with a standard deviation of 0.1.
rupture_velocity_fraction = 0.8
rupture_velocity_shallow = 0.7
rupture_velocity_deep = 1.0
rupture_velocity_sigma = 0.1

[path]
# Rays traced from every subfault: 1 the direct up-going wave, 2 the reflection from the Moho.
rayset = [1, 2]
# Path duration growing by 0.063 s per km of distance (code 0).
path_duration_model = 0

[site]
# High-cut frequency of the filter 1 / (1 + f / fmax) that replaces kappa at stations whose
# kappa_s is 0 or less (15 Hz at most on the vertical component); unused where kappa > 0.
fmax_hz = 20.0

[record]
# 60 s of motion sampled at 100 Hz.
duration_s = 60.0
dt = 0.01

[station_defaults]
# For stations whose table gives no kappa_s or q_frequency_exponent: kappa 0.04 s (rock sites
# in active crust) and Q(f) = Q0 f^0.6.
kappa_s = 0.04
q_frequency_exponent = 0.6

[velocity_model]
# A generic continental crust over the mantle. The model is cut at the first layer whose shear
# velocity reaches vs_moho_km_s, here the mantle at 35 km. Quality factors Qs = 50 Vs (Vs in
# km/s) and Qp = 2 Qs.
vs_moho_km_s = 4.5
# thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s
layers = [
{layers}
]

[[segment]]
# The middle of the top edge, strike 120 degrees, dipping 40 degrees to the south-west,
# reverse slip with a small left-lateral part (rake 100 degrees).
longitude_deg = {longitude}
latitude_deg = {latitude}
strike_deg = 120.0
dip_deg = 40.0
rake_deg = 100.0
top_depth_km = 2.0
subfault_length_km = {subfault}
subfault_width_km = {subfault}
# The hypocentre is deep in the fault, a third of the way along strike: the rupture runs up
# dip and towards the south-east.
hypocentre_along_strike_km = {hyp_along}
hypocentre_down_dip_km = {hyp_down}
# Grids of {rows} rows down dip (top row first) by {columns} subfaults along strike.
slip = "slip.txt"
rise_time_s = "rise_time_s.txt"
rupture_time_s = "rupture_time_s.txt"
# The same stress drop on every subfault.
stress_drop_bars = {stress_drop}
"""

LAYERS = (
    # thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s
    (0.5, 3.2, 1.8, 2.2, 180.0, 90.0),
    (1.5, 4.5, 2.6, 2.4, 260.0, 130.0),
    (3.0, 5.5, 3.2, 2.6, 320.0, 160.0),
    (12.0, 6.1, 3.5, 2.7, 350.0, 175.0),
    (10.0, 6.5, 3.7, 2.85, 370.0, 185.0),
    (8.0, 6.9, 3.95, 3.0, 395.0, 197.5),
    (0.0, 8.0, 4.6, 3.3, 460.0, 230.0),
)
ORIGIN = (38.0, 22.0)  # latitude, longitude of the middle of the top edge


def von_karman_field(rng: np.random.Generator) -> np.ndarray:
    """A zero-mean, unit-variance random field on the grid with a von Karman spectrum."""
    rows, columns = 2 * DOWN_DIP, 2 * ALONG_STRIKE  # padded against wrap-around
    kz = np.fft.fftfreq(rows, d=SUBFAULT_KM) * 2.0 * np.pi
    kx = np.fft.fftfreq(columns, d=SUBFAULT_KM) * 2.0 * np.pi
    k2 = (kz[:, None] * CORRELATION_KM[0]) ** 2 + (kx[None, :] * CORRELATION_KM[1]) ** 2
    amplitude = (1.0 + k2) ** (-(HURST + 1.0) / 2.0)
    noise = np.fft.fft2(rng.standard_normal((rows, columns)))
    field = np.real(np.fft.ifft2(noise * amplitude))[:DOWN_DIP, :ALONG_STRIKE]
    return (field - field.mean()) / field.std()


def edge_taper() -> np.ndarray:
    """Cosine taper to zero slip at the sides and the bottom; the top edge keeps its slip."""

    def ramp(n: int, both: bool) -> np.ndarray:
        position = (np.arange(n) + 0.5) * SUBFAULT_KM
        distance = (
            np.minimum(position, n * SUBFAULT_KM - position)
            if both
            else (n * SUBFAULT_KM - position)
        )
        return np.where(
            distance < EDGE_TAPER_KM, 0.5 - 0.5 * np.cos(np.pi * distance / EDGE_TAPER_KM), 1.0
        )

    return ramp(DOWN_DIP, both=False)[:, None] * ramp(ALONG_STRIKE, both=True)[None, :]


def rupture_times() -> np.ndarray:
    """Time for the rupture front to reach each subfault centre from the hypocentre, s."""
    along = (np.arange(ALONG_STRIKE) + 0.5) * SUBFAULT_KM - HYPOCENTRE_ALONG_KM
    down = (np.arange(DOWN_DIP) + 0.5) * SUBFAULT_KM - HYPOCENTRE_DOWN_KM
    return np.hypot(down[:, None], along[None, :]) / RUPTURE_VELOCITY_KM_S


def layer_rows() -> str:
    return "\n".join("  [" + ", ".join(format_f32(v) for v in layer) + "]," for layer in LAYERS)


def scenario_text() -> str:
    return SCENARIO_TEMPLATE.format(
        layers=layer_rows(),
        latitude=ORIGIN[0],
        longitude=ORIGIN[1],
        subfault=SUBFAULT_KM,
        hyp_along=HYPOCENTRE_ALONG_KM,
        hyp_down=HYPOCENTRE_DOWN_KM,
        rows=DOWN_DIP,
        columns=ALONG_STRIKE,
        stress_drop=STRESS_DROP_BARS,
    )


def write_scenario_files(folder: Path) -> Scenario:
    """Write the scenario and its grids into ``folder`` and return it as read back."""
    rng = np.random.default_rng(SEED)
    shape = np.maximum(1.0 + SLIP_SPREAD * von_karman_field(rng), 0.0) * edge_taper()
    (folder / "scenario.toml").write_text(scenario_text(), encoding="utf-8")
    write_grid(
        folder / "rupture_time_s.txt", np.round(rupture_times(), 3), title="rupture time (s)"
    )
    moment = 10.0 ** (1.5 * MAGNITUDE + 16.05)
    mean_rise_s = 2.03e-9 * moment ** (1.0 / 3.0)  # Somerville et al. (1999)
    root = np.sqrt(shape)
    rise = np.clip(mean_rise_s * root / root[shape > 0].mean(), 0.5 * mean_rise_s, 2 * mean_rise_s)
    write_grid(folder / "rise_time_s.txt", np.round(rise, 2), title="rise time (s)")

    # Scale the slip to the target moment with the simulation's own rigidities.
    write_grid(folder / "slip.txt", shape, title="slip (cm), unscaled")
    unscaled = Scenario.load(folder / "scenario.toml")
    slip = np.round(shape * moment / unscaled.seismic_moment_dyn_cm(), 1)
    write_grid(folder / "slip.txt", slip, title="slip (cm)")
    return Scenario.load(folder / "scenario.toml")


def station_table(scenario: Scenario) -> str:
    """Stations at the listed rupture distances, found by bisection along each azimuth."""
    segment = scenario.segments[0]
    east_km, north_km = km_per_degree(segment.latitude_deg)
    dip = math.radians(segment.dip_deg)
    strike = math.radians(segment.strike_deg)
    # Centre of the fault's surface projection, from the middle of the top edge.
    half_width = 0.5 * DOWN_DIP * SUBFAULT_KM * math.cos(dip)
    centre = (
        segment.latitude_deg - half_width * math.sin(strike) / north_km,
        segment.longitude_deg + half_width * math.cos(strike) / east_km,
    )

    def place(r_km: float, azimuth_deg: float) -> tuple[float, float]:
        direction = math.radians(azimuth_deg)
        return (
            round(centre[0] + r_km * math.cos(direction) / north_km, 4),
            round(centre[1] + r_km * math.sin(direction) / east_km, 4),
        )

    lines = ["name,latitude_deg,longitude_deg"]
    for number, (target, azimuth) in enumerate(
        zip(STATION_DISTANCES_KM, STATION_AZIMUTHS_DEG), start=1
    ):
        low, high = 0.0, 2.0 * target + 50.0
        for _ in range(60):
            middle = 0.5 * (low + high)
            latitude, longitude = place(middle, azimuth)
            distance = rupture_distance_km(scenario, [latitude], [longitude])[0]
            low, high = (middle, high) if distance < target else (low, middle)
        latitude, longitude = place(high, azimuth)
        lines.append(f"VN{number:02d},{latitude:.4f},{longitude:.4f}")
    return "\n".join(lines) + "\n"


def generate(folder: Path = FOLDER) -> Scenario:
    """Write every demo file into ``folder``; returns the scenario."""
    folder.mkdir(parents=True, exist_ok=True)
    scenario = write_scenario_files(folder)
    (folder / "stations.csv").write_text(station_table(scenario), encoding="utf-8")
    return scenario


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "folder",
        nargs="?",
        type=Path,
        default=FOLDER,
        help="where to write the files (default: the bundled demo folder)",
    )
    folder = parser.parse_args().folder
    scenario = generate(folder)
    slip = read_grid(folder / "slip.txt")
    print(
        f"wrote {folder}: Mw {scenario.moment_magnitude():.3f}, "
        f"mean slip {slip.mean():.1f} cm, peak slip {slip.max():.1f} cm"
    )


if __name__ == "__main__":
    main()
