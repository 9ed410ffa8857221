"""Pictures of a simulation: the fault and stations on a map, accelerograms, spectra, PSA.

Every function returns a ``matplotlib.figure.Figure`` built without ``pyplot``, so nothing here
touches a global backend or opens a window; :func:`save_figures` writes PNG files with the Agg
renderer. Needs the ``plot`` extra: ``pip install 'varnett[plot]'``.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from .geometry import hypocentre, subfault_corners
from .records import Records
from .scenario import Segment

try:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("plotting needs matplotlib: pip install 'varnett[plot]'") from error

__all__ = [
    "accelerograms",
    "fault_map",
    "fourier_spectra",
    "pick_stations",
    "psa_distance",
    "save_figures",
]

#: Periods whose PSA is drawn against distance, s.
PSA_DISTANCE_PERIODS_S = (0.2, 1.0, 3.0)
_CM_S2_PER_G = 980.665


def pick_stations(records: Records, count: int = 4) -> list[str]:
    """Names of ``count`` stations spread from the nearest to the farthest (all if fewer)."""
    n = len(records.stations)
    if n <= count:
        return list(records.stations.name)
    distance = records.distance_km()
    key = np.arange(n) if np.isnan(distance).all() else np.argsort(distance, kind="stable")
    picks = np.unique(np.round(np.linspace(0, n - 1, count)).astype(int))
    return [records.stations.name[int(key[p])] for p in picks]


def _title(records: Records) -> str:
    if records.scenario is None:
        return ""
    name = records.scenario.name or "scenario"
    return f"{name} (Mw {records.scenario.moment_magnitude():.2f})"


def _slip_in_fault_plane(axes: Axes, segment: Segment, number: int, peak: float) -> object:
    """One segment's slip in its own plane, with the hypocentre and rupture-time contours."""
    rows, columns = segment.slip.shape
    extent = (0.0, columns * segment.subfault_length_km, rows * segment.subfault_width_km, 0.0)
    image = axes.imshow(
        segment.slip,
        cmap="magma_r",
        vmin=0.0,
        vmax=peak,
        extent=extent,
        aspect="equal",
        interpolation="nearest",
    )
    along = (np.arange(columns) + 0.5) * segment.subfault_length_km
    down = (np.arange(rows) + 0.5) * segment.subfault_width_km
    if rows > 1 and columns > 1 and np.ptp(segment.rupture_time_s) > 0:
        contours = axes.contour(
            along, down, segment.rupture_time_s, colors="deepskyblue", linewidths=0.8
        )
        axes.clabel(contours, fmt="%g s", fontsize=7)
    axes.plot(
        segment.hypocentre_along_strike_km,
        segment.hypocentre_down_dip_km,
        marker="*",
        markersize=16,
        color="gold",
        markeredgecolor="black",
        linestyle="none",
    )
    axes.set_xlabel("along strike (km)")
    axes.set_ylabel("down dip (km)")
    axes.set_title(f"segment {number}: slip, rupture time contours", fontsize=10)
    return image


def fault_map(records: Records) -> Figure:
    """The stations and the slip projected to the surface, beside the slip in the fault plane.

    Without a scenario, only the stations are drawn.
    """
    scenario = records.scenario
    segments = scenario.segments if scenario is not None else ()
    figure = Figure(figsize=(14.0 if segments else 8.0, 7.0), layout="constrained")
    if segments:
        grid = figure.add_gridspec(len(segments), 2, width_ratios=(1.0, 1.0))
        axes = figure.add_subplot(grid[:, 0])
    else:
        axes = figure.add_subplot()
    latitudes = [records.stations.latitude_deg.astype(float)]
    peak = max((float(s.slip.max(initial=0.0)) for s in segments), default=0.0) or 1.0
    image = None
    for number, segment in enumerate(segments, start=1):
        lat, lon, _ = subfault_corners(segment)
        axes.pcolormesh(
            lon, lat, segment.slip, cmap="magma_r", vmin=0.0, vmax=peak, edgecolors="none"
        )
        axes.plot(lon[0], lat[0], color="black", linewidth=2.0)  # the top edge
        hyp_lat, hyp_lon, hyp_depth = hypocentre(segment)
        axes.plot(
            hyp_lon,
            hyp_lat,
            marker="*",
            markersize=16,
            color="gold",
            markeredgecolor="black",
            linestyle="none",
            label=f"hypocentre ({hyp_depth:.1f} km deep)" if number == 1 else None,
        )
        latitudes.append(lat.reshape(-1))
        image = _slip_in_fault_plane(figure.add_subplot(grid[number - 1, 1]), segment, number, peak)
    if image is not None:
        figure.colorbar(image, ax=figure.axes[1:], label="slip (cm)", shrink=0.8)
    stations = records.stations
    axes.plot(
        stations.longitude_deg,
        stations.latitude_deg,
        marker="^",
        markersize=10,
        color="tab:blue",
        markeredgecolor="black",
        linestyle="none",
        label="stations",
    )
    for name, lat, lon in zip(stations.name, stations.latitude_deg, stations.longitude_deg):
        axes.annotate(
            name, (float(lon), float(lat)), xytext=(5, 5), textcoords="offset points", fontsize=9
        )
    points = np.concatenate(latitudes)
    mean_latitude = float(points.mean()) if points.size else 0.0
    axes.set_aspect(1.0 / np.cos(np.radians(mean_latitude)))
    axes.set_xlabel("longitude (degrees)")
    axes.set_ylabel("latitude (degrees)")
    axes.grid(True, linewidth=0.4, alpha=0.5)
    axes.legend(loc="best", fontsize=9)
    axes.set_title("stations and the slip seen from above (thick line: top edge)", fontsize=10)
    figure.suptitle(_title(records) or "stations")
    return figure


def accelerograms(records: Records, stations: Sequence[str] | None = None) -> Figure:
    """Three-component accelerograms of a few stations, one row per station."""
    names = list(stations) if stations is not None else pick_stations(records)
    distance = records.distance_km()
    figure = Figure(figsize=(12.0, 1.0 + 2.0 * max(len(names), 1)), layout="constrained")
    grid = figure.subplots(max(len(names), 1), len(records.components), sharex=True, squeeze=False)
    time = records.time_s
    for row, name in enumerate(names):
        k = records.stations.index(name)
        trace = records.acceleration[:, k, :]
        limit = float(np.abs(trace).max(initial=0.0)) * 1.1 or 1.0
        for c, component in enumerate(records.components):
            axes = grid[row, c]
            axes.plot(time, trace[c], linewidth=0.6, color="black")
            axes.set_ylim(-limit, limit)
            peak = float(np.abs(trace[c]).max(initial=0.0))
            axes.text(
                0.99,
                0.95,
                f"PGA {peak:.1f} cm/s² ({peak / _CM_S2_PER_G:.3f} g)",
                transform=axes.transAxes,
                ha="right",
                va="top",
                fontsize=8,
            )
            if row == 0:
                axes.set_title(component)
            if c == 0:
                label = name if np.isnan(distance[k]) else f"{name}\n{distance[k]:.0f} km"
                axes.set_ylabel(f"{label}\ncm/s²")
            if row == len(names) - 1:
                axes.set_xlabel("time (s)")
    figure.suptitle(f"Accelerograms — {_title(records)}" if _title(records) else "Accelerograms")
    return figure


def _smoothed_amplitude(trace: np.ndarray, dt_s: float, bands: np.ndarray) -> np.ndarray:
    """Fourier amplitude (cm/s) averaged in logarithmic frequency bands (RMS per band; NaN
    for a band that holds no frequency of the transform)."""
    amplitude = np.abs(np.fft.rfft(trace.astype(np.float64))) * dt_s
    frequency = np.fft.rfftfreq(trace.size, dt_s)
    index = np.digitize(frequency, bands)
    out = np.full(bands.size - 1, np.nan)
    for b in range(1, bands.size):
        values = amplitude[index == b]
        if values.size:
            out[b - 1] = np.sqrt(np.mean(values**2))
    return out


def fourier_spectra(records: Records, stations: Sequence[str] | None = None) -> Figure:
    """Fourier amplitude spectra of a few stations, one panel per component."""
    names = list(stations) if stations is not None else pick_stations(records)
    distance = records.distance_km()
    nyquist = 0.5 / records.dt_s
    lowest = max(0.05, 4.0 / (records.n_time * records.dt_s))  # a few frequency samples per band
    bands = np.geomspace(lowest, nyquist, 60)
    centres = np.sqrt(bands[1:] * bands[:-1])
    figure = Figure(figsize=(13.0, 4.5), layout="constrained")
    panels = figure.subplots(1, len(records.components), sharey=True, squeeze=False)[0]
    colours = [f"C{k % 10}" for k in range(len(names))]
    for c, component in enumerate(records.components):
        axes = panels[c]
        for name, colour in zip(names, colours):
            k = records.stations.index(name)
            spectrum = _smoothed_amplitude(records.acceleration[c, k], records.dt_s, bands)
            label = name if np.isnan(distance[k]) else f"{name} ({distance[k]:.0f} km)"
            filled = ~np.isnan(spectrum)  # the narrowest low bands may hold no frequency
            axes.loglog(centres[filled], spectrum[filled], color=colour, linewidth=1.2, label=label)
        axes.set_title(component)
        axes.set_xlabel("frequency (Hz)")
        axes.grid(True, which="both", linewidth=0.3, alpha=0.5)
    panels[0].set_ylabel("Fourier amplitude of acceleration (cm/s)")
    panels[0].legend(fontsize=8)
    figure.suptitle("Fourier spectra" + (f" — {_title(records)}" if _title(records) else ""))
    return figure


def psa_distance(records: Records) -> Figure:
    """PGA and 5 %-damped PSA against distance: geometric mean of the two horizontals."""
    distance = records.distance_km()
    horizontal = [c for c, name in enumerate(records.components) if name != "vertical"]
    periods = np.array(PSA_DISTANCE_PERIODS_S)
    spectra = records.psa(periods)
    peak = records.pga()
    measures = [("PGA", peak)] + [(f"PSA {p:g} s", spectra[..., k]) for k, p in enumerate(periods)]
    figure = Figure(figsize=(4.0 * len(measures), 4.2), layout="constrained")
    panels = figure.subplots(1, len(measures), squeeze=False)[0]
    x = distance if not np.isnan(distance).all() else np.arange(1, len(distance) + 1)
    for axes, (label, values) in zip(panels, measures):
        mean = np.exp(np.mean(np.log(np.maximum(values[horizontal], 1e-30)), axis=0))
        axes.loglog(
            x,
            mean / _CM_S2_PER_G,
            marker="o",
            linestyle="none",
            color="tab:red",
            markeredgecolor="black",
            label="horizontal (geometric mean)",
        )
        if "vertical" in records.components:
            vertical = values[records.components.index("vertical")]
            axes.loglog(
                x,
                vertical / _CM_S2_PER_G,
                marker="s",
                linestyle="none",
                color="tab:gray",
                markersize=4,
                label="vertical",
            )
        axes.set_title(label)
        axes.set_xlabel("distance to rupture (km)" if x is distance else "station number")
        axes.grid(True, which="both", linewidth=0.3, alpha=0.5)
    panels[0].set_ylabel("acceleration (g)")
    panels[0].legend(fontsize=8)
    figure.suptitle(
        "Peak and 5 %-damped spectral acceleration"
        + (f" — {_title(records)}" if _title(records) else "")
    )
    return figure


def save_figures(
    records: Records,
    folder: str | os.PathLike[str],
    *,
    stations: Sequence[str] | None = None,
    dpi: int = 120,
) -> list[Path]:
    """Write ``map.png``, ``accelerograms.png``, ``spectra.png`` and ``psa_distance.png``.

    Parameters
    ----------
    records : Records
    folder : str or path-like
        Output folder, created if missing.
    stations : sequence of str, optional
        Stations for the accelerograms and spectra (default: four spread over distance).
    dpi : int, optional
        Resolution of the PNG files.

    Returns
    -------
    list of pathlib.Path
        The files written.
    """
    target = Path(folder)
    target.mkdir(parents=True, exist_ok=True)
    figures = {
        "map.png": fault_map(records),
        "accelerograms.png": accelerograms(records, stations),
        "spectra.png": fourier_spectra(records, stations),
        "psa_distance.png": psa_distance(records),
    }
    written = []
    for name, figure in figures.items():
        figure.savefig(target / name, dpi=dpi)
        written.append(target / name)
    return written
