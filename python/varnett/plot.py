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

try:
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


def fault_map(records: Records) -> Figure:
    """The slip of every subfault projected to the surface, the hypocentre and the stations."""
    figure = Figure(figsize=(8.0, 7.0), layout="constrained")
    axes = figure.add_subplot()
    latitudes = [records.stations.latitude_deg.astype(float)]
    if records.scenario is not None:
        mesh = None
        peak = max(float(s.slip.max(initial=0.0)) for s in records.scenario.segments) or 1.0
        for segment in records.scenario.segments:
            lat, lon, _ = subfault_corners(segment)
            mesh = axes.pcolormesh(
                lon,
                lat,
                segment.slip,
                cmap="magma_r",
                vmin=0.0,
                vmax=peak,
                edgecolors="none",
                alpha=0.9,
            )
            axes.plot(lon[0], lat[0], color="black", linewidth=2.0)  # the top edge
            hyp_lat, hyp_lon, hyp_depth = hypocentre(segment)
            axes.plot(
                hyp_lon,
                hyp_lat,
                marker="*",
                markersize=18,
                color="gold",
                markeredgecolor="black",
                linestyle="none",
                label=f"hypocentre ({hyp_depth:.1f} km deep)",
            )
            latitudes.append(lat.reshape(-1))
        if mesh is not None:
            figure.colorbar(mesh, ax=axes, label="slip (cm)", shrink=0.8)
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
    mean_latitude = float(np.mean(np.concatenate(latitudes))) if len(stations) else 0.0
    axes.set_aspect(1.0 / np.cos(np.radians(mean_latitude)))
    axes.set_xlabel("longitude (degrees)")
    axes.set_ylabel("latitude (degrees)")
    axes.grid(True, linewidth=0.4, alpha=0.5)
    axes.legend(loc="best", fontsize=9)
    axes.set_title(_title(records) or "stations")
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
    """Fourier amplitude (cm/s) averaged in logarithmic frequency bands (RMS per band)."""
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
            axes.loglog(centres, spectrum, color=colour, linewidth=1.2, label=label)
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
