"""Simulated records: the accelerations of a station table with what is needed to read them.

:class:`Records` holds the accelerations ``(3, n_station, n_time)`` in cm/s^2, components 090
(east), 000 (north) and vertical, with the sample interval, the station table and, when known,
the scenario that produced them. It saves to and loads from ``.npz`` files, computes intensity
measures and converts to an ObsPy ``Stream``.
"""

from __future__ import annotations

import io
import os
import zipfile
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import intensity
from ._arrays import same_bits
from .errors import InputError
from .files import scenario_from_toml, scenario_to_toml
from .geometry import rupture_distance_km
from .scenario import Scenario
from .stations import Stations

__all__ = ["COMPONENTS", "Records"]

#: Component names in the order of the first axis: east (090), north (000), vertical.
COMPONENTS: tuple[str, ...] = ("090", "000", "vertical")

_FORMAT = "varnett-records-1"
_ORIENTATION_CODES = {"090": "E", "000": "N", "vertical": "Z"}
_STATION_KEYS = ("latitude_deg", "longitude_deg", "seed", "kappa_s", "q_frequency_exponent")
_CM_PER_M = 100.0


@dataclass(frozen=True, eq=False)
class Records:
    """Three-component accelerograms of a table of stations.

    Parameters
    ----------
    acceleration : numpy.ndarray
        float32 array ``(n_component, n_station, n_time)``, cm/s^2.
    dt_s : float
        Sample interval, s; sample ``k`` is at time ``k * dt_s`` after the origin.
    stations : Stations
        The stations, in the order of the second axis.
    components : tuple of str, optional
        Names of the components along the first axis (default :data:`COMPONENTS`).
    scenario : Scenario or None, optional
        The scenario simulated; it gives distances and the fault for plots.

    Raises
    ------
    ValueError
        If the array's shape does not match the components and stations.
    """

    acceleration: npt.NDArray[np.float32]
    dt_s: float
    stations: Stations
    components: tuple[str, ...] = COMPONENTS
    scenario: Scenario | None = None

    def __post_init__(self) -> None:
        acceleration = np.asarray(self.acceleration, dtype=np.float32)
        object.__setattr__(self, "acceleration", acceleration)
        object.__setattr__(self, "components", tuple(self.components))
        object.__setattr__(self, "dt_s", float(self.dt_s))
        expected = (len(self.components), len(self.stations))
        if acceleration.ndim != 3 or acceleration.shape[:2] != expected:
            raise ValueError(
                f"acceleration of shape {acceleration.shape} does not match {expected[0]} "
                f"components and {expected[1]} stations: expected (n_component, n_station, "
                "n_time)"
            )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Records):
            return NotImplemented
        return (
            same_bits(self.acceleration, other.acceleration)
            and same_bits(np.float64(self.dt_s), np.float64(other.dt_s))
            and self.stations == other.stations
            and self.components == other.components
            and self.scenario == other.scenario
        )

    __hash__ = None  # type: ignore[assignment]

    @property
    def n_time(self) -> int:
        """Number of samples per trace."""
        return int(self.acceleration.shape[2])

    @property
    def time_s(self) -> np.ndarray:
        """Time of every sample after the origin, s."""
        return np.arange(self.n_time) * self.dt_s

    def station(self, name: str) -> np.ndarray:
        """The ``(n_component, n_time)`` accelerations of one station."""
        return self.acceleration[:, self.stations.index(name), :]

    # --- intensity measures ------------------------------------------------------------------

    def pga(self) -> np.ndarray:
        """Peak ground acceleration, cm/s^2, shaped ``(n_component, n_station)``."""
        return intensity.pga(self.acceleration)

    def pgv(self) -> np.ndarray:
        """Peak ground velocity, cm/s, shaped ``(n_component, n_station)``."""
        return intensity.pgv(self.acceleration, self.dt_s)

    def psa(
        self,
        periods_s: npt.ArrayLike = intensity.STANDARD_PERIODS_S,
        damping: float = intensity.STANDARD_DAMPING,
    ) -> np.ndarray:
        """Pseudo-spectral acceleration, cm/s^2, shaped ``(n_component, n_station, n_period)``.

        Parameters
        ----------
        periods_s : array_like, optional
            Oscillator periods, s (default :data:`varnett.intensity.STANDARD_PERIODS_S`).
        damping : float, optional
            Damping ratio (default 0.05).
        """
        return intensity.psa(self.acceleration, self.dt_s, periods_s, damping)

    def distance_km(self) -> np.ndarray:
        """Distance from each station to the nearest subfault centre, km (NaN without scenario)."""
        if self.scenario is None:
            return np.full(len(self.stations), np.nan)
        return rupture_distance_km(
            self.scenario, self.stations.latitude_deg, self.stations.longitude_deg
        )

    def summary(self) -> str:
        """A headline (scenario, Mw, record size) and a table of station, distance to the
        rupture (to the nearest subfault centre) and PGA of every component."""
        headline = f"{len(self.stations)} stations, {self.n_time} samples at {self.dt_s:g} s"
        if self.scenario is not None:
            name = self.scenario.name or "scenario"
            headline = f"{name}, Mw {self.scenario.moment_magnitude():.2f}: {headline}"
        distance = self.distance_km()
        peak = self.pga()
        head = ["station", "R_rup km"] + [f"PGA {c}" for c in self.components]
        rows = [
            [name, f"{distance[k]:.1f}"] + [f"{peak[c, k]:.2f}" for c in range(len(peak))]
            for k, name in enumerate(self.stations.name)
        ]
        widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
        lines = [
            "  ".join(
                cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i])
                for i, cell in enumerate(row)
            ).rstrip()
            for row in [head, *rows]
        ]
        return "\n".join([headline, *lines, "(PGA in cm/s^2)"]) + "\n"

    def intensity_csv(self, periods_s: npt.ArrayLike = intensity.STANDARD_PERIODS_S) -> str:
        """PGA, PGV and 5 %-damped PSA of every station and component as CSV text."""
        periods = np.asarray(periods_s, dtype=np.float64).reshape(-1)
        distance, peak_a, peak_v = self.distance_km(), self.pga(), self.pgv()
        spectra = self.psa(periods)
        head = ["station", "component", "r_rup_km", "pga_cm_s2", "pgv_cm_s"] + [
            f"psa_{p:g}s_cm_s2" for p in periods
        ]
        lines = [",".join(head)]
        for k, name in enumerate(self.stations.name):
            for c, component in enumerate(self.components):
                values = [distance[k], peak_a[c, k], peak_v[c, k], *spectra[c, k]]
                lines.append(",".join([name, component] + [f"{v:.6g}" for v in values]))
        return "\n".join(lines) + "\n"

    # --- files -------------------------------------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the records to a ``.npz`` file (NumPy's zip of arrays, no pickles).

        The scenario, when present, is stored as scenario TOML text with its grids inline, so
        the file stands alone.
        """
        arrays: dict[str, np.ndarray] = {
            "format": np.array(_FORMAT),
            "acceleration": self.acceleration,
            "dt_s": np.array(self.dt_s, dtype=np.float64),
            "components": np.array(self.components, dtype=str),
            "station_name": np.array(self.stations.name, dtype=str).reshape(-1),
            **{f"station_{key}": getattr(self.stations, key) for key in _STATION_KEYS},
        }
        if self.scenario is not None:
            arrays["scenario_toml"] = np.array(scenario_to_toml(self.scenario))
        with open(path, "wb") as stream:
            np.savez(stream, **arrays)  # type: ignore[arg-type]

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Records:
        """Read records written by :meth:`save`.

        Raises
        ------
        InputError
            If the file is not a varnett records file.
        OSError
            If the file cannot be read.
        """
        name = os.fspath(path)
        with open(path, "rb") as stream:
            raw = stream.read()
        try:
            with np.load(io.BytesIO(raw), allow_pickle=False) as data:
                if "format" not in data.files or str(data["format"]) != _FORMAT:
                    raise InputError(f"{name}: not a varnett records file")
                contents = {key: data[key] for key in data.files}
        except (zipfile.BadZipFile, ValueError, EOFError) as error:
            if isinstance(error, InputError):
                raise
            raise InputError(f"{name}: not a varnett records file ({error})") from None
        try:
            stations = Stations(
                name=tuple(str(s) for s in contents["station_name"]),
                **{key: contents[f"station_{key}"] for key in _STATION_KEYS},
            )
            scenario = (
                scenario_from_toml(str(contents["scenario_toml"]), source=f"{name} (scenario)")
                if "scenario_toml" in contents
                else None
            )
            return cls(
                acceleration=contents["acceleration"],
                dt_s=float(contents["dt_s"]),
                stations=stations,
                components=tuple(str(c) for c in contents["components"]),
                scenario=scenario,
            )
        except KeyError as error:
            raise InputError(f"{name}: records file lacks the array {error}") from None
        except ValueError as error:
            if isinstance(error, InputError):
                raise
            raise InputError(f"{name}: inconsistent records file: {error}") from None

    # --- ObsPy -------------------------------------------------------------------------------

    def to_obspy(
        self, *, network: str = "XX", location: str = "", starttime: object = None
    ) -> object:
        """The records as an ObsPy ``Stream``, one ``Trace`` per station and component.

        Traces hold float32 acceleration in m/s^2 (SI, as ObsPy expects of corrected data).
        Headers: the network and location given, the station name, a SEED channel code made of
        the band code for the sampling rate, ``N`` (accelerometer) and the orientation ``E``,
        ``N`` or ``Z``; ``starttime`` (default the epoch 1970-01-01), ``delta``, and
        ``coordinates`` (latitude, longitude, elevation 0) for ObsPy's distance plots.

        Parameters
        ----------
        network, location : str, optional
            SEED network and location codes.
        starttime : obspy.UTCDateTime or str, optional
            Time of the first sample, i.e. the earthquake's origin time.

        Returns
        -------
        obspy.Stream

        Raises
        ------
        ImportError
            If ObsPy is not installed (``pip install 'varnett[obspy]'``).
        """
        try:
            from obspy import Stream, Trace, UTCDateTime
            from obspy.core.util import AttribDict
        except ImportError as error:
            raise ImportError(
                "converting records to ObsPy needs ObsPy: pip install 'varnett[obspy]'"
            ) from error
        start = UTCDateTime(0) if starttime is None else UTCDateTime(starttime)
        band = _band_code(1.0 / self.dt_s)
        traces = []
        for k, name in enumerate(self.stations.name):
            for c, component in enumerate(self.components):
                orientation = _ORIENTATION_CODES.get(component, component[:1].upper())
                trace = Trace(
                    data=(self.acceleration[c, k] / np.float32(_CM_PER_M)).astype(np.float32),
                    header={
                        "network": network,
                        "station": name,
                        "location": location,
                        "channel": f"{band}N{orientation}",
                        "starttime": start,
                        "delta": self.dt_s,
                    },
                )
                trace.stats.coordinates = AttribDict(
                    latitude=float(self.stations.latitude_deg[k]),
                    longitude=float(self.stations.longitude_deg[k]),
                    elevation=0.0,
                )
                traces.append(trace)
        return Stream(traces=traces)


def _band_code(sampling_rate_hz: float) -> str:
    """SEED band code of a broadband-response instrument at this sampling rate."""
    for lowest, code in ((1000.0, "F"), (250.0, "C"), (80.0, "H"), (10.0, "B"), (1.0, "M")):
        if sampling_rate_hz >= lowest:
            return code
    return "L"
