"""Scenarios: the plain, picklable description of one earthquake and the settings to simulate it.

A :class:`Scenario` holds the fault segments with their subfault grids, the layered crust, and the
source, path, site and record settings, with the field names of the ``_varnett`` constructors.
:meth:`Scenario.to_simulator` builds the module's input objects and its ``Simulator``; every value
is checked there, by the module, so errors carry the module's own messages.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field, fields, is_dataclass

import _varnett
import numpy as np
import numpy.typing as npt

from ._arrays import flat_buffer, frozen, same_bits
from .stations import DEFAULT_KAPPA_S, DEFAULT_Q_FREQUENCY_EXPONENT

__all__ = [
    "GRID_NAMES",
    "LAYER_COLUMNS",
    "PathSettings",
    "RecordSettings",
    "Scenario",
    "Segment",
    "SiteSettings",
    "SourceSettings",
    "StationDefaults",
    "VelocityModel",
]

#: The four subfault grids of a segment, in the order the module takes them.
GRID_NAMES = ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")

#: The columns of a velocity-model layer, top layer first, and their precision in the module.
LAYER_COLUMNS: dict[str, type[np.generic]] = {
    "thickness_km": np.float32,
    "vp_km_s": np.float64,
    "vsh_km_s": np.float64,
    "density_g_cm3": np.float64,
    "quality_factor_p": np.float32,
    "quality_factor_s": np.float32,
}


class _Value:
    """Equality field by field, with arrays equal only bit for bit and NaN equal to NaN: the
    equality a file round trip must keep."""

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return _equal_fields(self, other)

    __hash__ = None  # type: ignore[assignment]


def _equal_fields(a: object, b: object) -> bool:
    """Field-by-field equality where arrays must agree bit for bit and NaN equals NaN."""
    return all(_same(getattr(a, f.name), getattr(b, f.name)) for f in fields(a))  # type: ignore[arg-type]


def _same(x: object, y: object) -> bool:
    if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
        return same_bits(x, y)
    if is_dataclass(x) and type(x) is type(y):
        return _equal_fields(x, y)
    if isinstance(x, tuple) and isinstance(y, tuple):
        return len(x) == len(y) and all(_same(p, q) for p, q in zip(x, y))
    if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
        return True
    return x == y


@dataclass(frozen=True, eq=False)
class SourceSettings(_Value):
    """Source strength and rupture velocity (the module's ``SourceParameters``).

    Parameters
    ----------
    corner_frequency_constant : float
        Corner-frequency constant of the subevent spectra.
    corner_frequency_alpha : float
        Increase of the corner frequency with dip and rake (0 switches it off).
    rupture_velocity_fraction : float
        Rupture velocity as a fraction of the local shear-wave velocity.
    rupture_velocity_shallow, rupture_velocity_deep : float
        Multipliers of the fraction above 5 km and at great depth.
    rupture_velocity_sigma : float
        Standard deviation of the per-subfault log-normal perturbation of the rupture
        velocity (0 or less switches it off).
    """

    corner_frequency_constant: float
    corner_frequency_alpha: float
    rupture_velocity_fraction: float
    rupture_velocity_shallow: float
    rupture_velocity_deep: float
    rupture_velocity_sigma: float

    def build(self) -> _varnett.SourceParameters:
        """The module's ``SourceParameters``."""
        return _varnett.SourceParameters(**_settings(self))


@dataclass(frozen=True, eq=False)
class PathSettings(_Value):
    """Rays and path duration (the module's ``PathParameters``).

    Parameters
    ----------
    rayset : sequence of int
        Ray codes traced from every subfault to every station (0 the straight ray; odd codes
        up-going, even codes down-going rays).
    path_duration_model : int
        Path-duration model: 0 (or negative), 1, 2, 11 or 12.
    """

    rayset: tuple[int, ...]
    path_duration_model: int

    def __post_init__(self) -> None:
        object.__setattr__(self, "rayset", tuple(self.rayset))

    def build(self) -> _varnett.PathParameters:
        """The module's ``PathParameters``."""
        return _varnett.PathParameters(
            rayset=list(self.rayset), path_duration_model=self.path_duration_model
        )


@dataclass(frozen=True, eq=False)
class SiteSettings(_Value):
    """Site parameters shared by every station (the module's ``SiteParameters``).

    Parameters
    ----------
    fmax_hz : float
        Upper frequency limit of the synthesis, Hz.
    """

    fmax_hz: float

    def build(self) -> _varnett.SiteParameters:
        """The module's ``SiteParameters``."""
        return _varnett.SiteParameters(fmax_hz=self.fmax_hz)


@dataclass(frozen=True, eq=False)
class RecordSettings(_Value):
    """Length and sampling of the records (the module's ``RecordParameters``).

    Parameters
    ----------
    duration_s : float
        Record length, s.
    dt : float
        Sample interval, s.
    """

    duration_s: float
    dt: float

    def build(self) -> _varnett.RecordParameters:
        """The module's ``RecordParameters``."""
        return _varnett.RecordParameters(duration_s=self.duration_s, dt=self.dt)


@dataclass(frozen=True, eq=False)
class StationDefaults(_Value):
    """Per-station values used for stations whose table leaves them out.

    Parameters
    ----------
    kappa_s : float
        Near-surface attenuation kappa, s.
    q_frequency_exponent : float
        Frequency exponent of the path quality factor.
    """

    kappa_s: float = DEFAULT_KAPPA_S
    q_frequency_exponent: float = DEFAULT_Q_FREQUENCY_EXPONENT


@dataclass(frozen=True, eq=False)
class VelocityModel(_Value):
    """A 1-D layered crust, top layer first (the module's ``VelocityModel1D``).

    The arrays hold one entry per layer, in the precision the module takes them
    (:data:`LAYER_COLUMNS`). The module cuts the model at the first layer whose shear velocity
    reaches ``vs_moho_km_s``; that layer becomes the half-space.

    Parameters
    ----------
    thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s : array_like
        Thickness (km), P and SH velocities (km/s), density (g/cm^3) and P and S quality
        factors of each layer.
    vs_moho_km_s : float
        Shear velocity at which the model is cut, km/s.
    """

    thickness_km: npt.NDArray[np.float32]
    vp_km_s: npt.NDArray[np.float64]
    vsh_km_s: npt.NDArray[np.float64]
    density_g_cm3: npt.NDArray[np.float64]
    quality_factor_p: npt.NDArray[np.float32]
    quality_factor_s: npt.NDArray[np.float32]
    vs_moho_km_s: float

    def __post_init__(self) -> None:
        for name, dtype in LAYER_COLUMNS.items():
            object.__setattr__(self, name, frozen(getattr(self, name), dtype))

    @classmethod
    def from_layers(cls, layers: Sequence[Sequence[float]], vs_moho_km_s: float) -> VelocityModel:
        """Build from a table of rows in the order of :data:`LAYER_COLUMNS`."""
        columns = [[row[k] for row in layers] for k in range(len(LAYER_COLUMNS))]
        return cls(*columns, vs_moho_km_s=vs_moho_km_s)

    @property
    def layers(self) -> list[tuple[float, ...]]:
        """The layer table: one row per layer in the order of :data:`LAYER_COLUMNS`."""
        return [tuple(row) for row in zip(*(getattr(self, c) for c in LAYER_COLUMNS))]

    def build(self) -> _varnett.VelocityModel1D:
        """The module's ``VelocityModel1D``."""
        return _varnett.VelocityModel1D(
            **{name: flat_buffer(getattr(self, name)) for name in LAYER_COLUMNS},
            vs_moho_km_s=self.vs_moho_km_s,
        )


@dataclass(frozen=True, eq=False)
class Segment(_Value):
    """One planar fault segment and its subfault grids (the module's ``FaultSegment``).

    The grids are float32 arrays of shape ``(down_dip, along_strike)``: row 0 is the row of
    subfaults along the top edge, as in the ``.stoch`` format.

    Parameters
    ----------
    longitude_deg, latitude_deg : float
        Reference point of the segment: the middle of its top edge.
    strike_deg, dip_deg, rake_deg : float
        Orientation and slip direction, degrees.
    top_depth_km : float
        Depth of the top edge, km.
    subfault_length_km, subfault_width_km : float
        Size of one subfault along strike and down dip, km.
    hypocentre_along_strike_km, hypocentre_down_dip_km : float
        Hypocentre on the segment, from the start of the top edge, km.
    slip : array_like
        Slip of each subfault, cm.
    rise_time_s : array_like
        Rise time of each subfault, s.
    rupture_time_s : array_like
        Time the rupture reaches each subfault, s.
    stress_drop_bars : array_like
        Stress drop of each subfault, bars.
    """

    longitude_deg: float
    latitude_deg: float
    strike_deg: float
    dip_deg: float
    rake_deg: float
    top_depth_km: float
    subfault_length_km: float
    subfault_width_km: float
    hypocentre_along_strike_km: float
    hypocentre_down_dip_km: float
    slip: npt.NDArray[np.float32]
    rise_time_s: npt.NDArray[np.float32]
    rupture_time_s: npt.NDArray[np.float32]
    stress_drop_bars: npt.NDArray[np.float32]

    def __post_init__(self) -> None:
        for name in GRID_NAMES:
            object.__setattr__(self, name, frozen(getattr(self, name), np.float32))

    @property
    def geometry(self) -> dict[str, float]:
        """The ten scalar fields (position, orientation, subfault size, hypocentre)."""
        return {f.name: getattr(self, f.name) for f in fields(self) if f.name not in GRID_NAMES}

    def build(self) -> _varnett.FaultSegment:
        """The module's ``FaultSegment``."""
        return _varnett.FaultSegment(
            **self.geometry, **{name: getattr(self, name) for name in GRID_NAMES}
        )


@dataclass(frozen=True, eq=False)
class Scenario(_Value):
    """Everything needed to simulate one earthquake, apart from the stations.

    Parameters
    ----------
    source : SourceSettings
    path : PathSettings
    site : SiteSettings
    record : RecordSettings
    velocity_model : VelocityModel
    segments : sequence of Segment
        The fault segments; all must be diced into subfaults of the same size.
    station_defaults : StationDefaults, optional
        Kappa and Q exponent for stations whose table leaves them out.
    name : str, optional
        A title for summaries and plots.

    Examples
    --------
    >>> scenario = Scenario.load("scenario.toml")  # doctest: +SKIP
    >>> simulator = scenario.to_simulator()  # doctest: +SKIP
    """

    source: SourceSettings
    path: PathSettings
    site: SiteSettings
    record: RecordSettings
    velocity_model: VelocityModel
    segments: tuple[Segment, ...]
    station_defaults: StationDefaults = field(default_factory=StationDefaults)
    name: str = ""

    def __post_init__(self) -> None:
        object.__setattr__(self, "segments", tuple(self.segments))

    @classmethod
    def load(cls, path: str) -> Scenario:
        """Read a scenario file; see :func:`varnett.files.read_scenario`."""
        from .files import read_scenario

        return read_scenario(path)

    def save(self, path: str, *, inline_grids: bool = False) -> None:
        """Write a scenario file; see :func:`varnett.files.write_scenario`."""
        from .files import write_scenario

        write_scenario(self, path, inline_grids=inline_grids)

    def config(self) -> _varnett.HfConfig:
        """The module's ``HfConfig`` built from the four settings."""
        with _context("[source]"):
            source = self.source.build()
        with _context("[path]"):
            path = self.path.build()
        with _context("[site]"):
            site = self.site.build()
        with _context("[record]"):
            record = self.record.build()
        return _varnett.HfConfig(source=source, path=path, site=site, record=record)

    def slip_model(self) -> _varnett.SlipModel:
        """The module's ``SlipModel`` built from the segments."""
        built = []
        for number, segment in enumerate(self.segments, start=1):
            with _context(f"[[segment]] {number}"):
                built.append(segment.build())
        with _context("the segments"):
            return _varnett.SlipModel(built)

    def seismic_moment_dyn_cm(self) -> float:
        """Seismic moment of the slip model, dyn cm.

        Slip times rigidity times subfault area, summed over the subfaults, with the rigidity
        ``density * vsh^2`` of the layer holding the centre of each row of subfaults (the layer
        whose base is the first at or below the row's centre depth; the half-space below the
        last base), as the simulation weighs the subfaults.
        """
        vm = self.velocity_model
        vsh = np.asarray(vm.vsh_km_s, dtype=np.float64)
        reaches = np.flatnonzero(vsh >= vm.vs_moho_km_s)
        kept = (reaches[0] + 1) if reaches.size else len(vsh)
        base_km = np.cumsum(np.asarray(vm.thickness_km, dtype=np.float64)[:kept])
        if reaches.size and kept > 1:
            base_km[-1] = base_km[-2]
        total = 0.0
        for segment in self.segments:
            rows = segment.slip.shape[0]
            step_km = np.sin(np.radians(segment.dip_deg)) * segment.subfault_width_km
            depth_km = (np.arange(rows) + 0.5) * step_km + segment.top_depth_km
            layer = np.minimum(np.searchsorted(base_km, depth_km, side="left"), kept - 1)
            rigidity = vsh[layer] ** 2 * np.asarray(vm.density_g_cm3, dtype=np.float64)[layer]
            area = segment.subfault_length_km * segment.subfault_width_km
            row_slip = segment.slip.astype(np.float64).sum(axis=1)
            total += float(np.sum(row_slip * rigidity) * area)
        return total * 1e20

    def moment_magnitude(self) -> float:
        """Moment magnitude ``(2/3) (log10 M0 - 16.05)`` of :meth:`seismic_moment_dyn_cm`."""
        return (2.0 / 3.0) * (np.log10(self.seismic_moment_dyn_cm()) - 16.05)

    def to_simulator(self) -> _varnett.Simulator:
        """Build the module's ``Simulator`` for this scenario.

        Returns
        -------
        _varnett.Simulator
            Ready to run stations; one may be shared by many threads.

        Raises
        ------
        ValueError, TypeError, OverflowError
            The module's own error for an invalid value, with a note naming the part of the
            scenario it came from (e.g. ``in [[segment]] 2 of the scenario``, segments counted
            from 1 as in the file).
        """
        config = self.config()
        slip_model = self.slip_model()
        with _context("[velocity_model]"):
            velocity_model = self.velocity_model.build()
        try:
            return _varnett.Simulator(config, slip_model, velocity_model)
        except ValueError as error:
            error.add_note(_simulator_error_context(str(error)))
            raise


def _simulator_error_context(message: str) -> str:
    """Where in the scenario a ``Simulator`` construction error comes from."""
    if message.startswith("duration_s / dt"):
        return "in [record] of the scenario"
    if message.startswith("segment "):
        # The simulator's own messages count segments from 0.
        return "in the segments of the scenario; the message numbers them from 0"
    return "in the segments of the scenario"


def _settings(settings: object) -> dict[str, object]:
    return {f.name: getattr(settings, f.name) for f in fields(settings)}  # type: ignore[arg-type]


@contextlib.contextmanager
def _context(where: str, remark: str = "") -> Iterator[None]:
    """Add a note naming the part of the scenario to an error raised by the module."""
    try:
        yield
    except (ValueError, TypeError, OverflowError) as error:
        error.add_note(f"in {where} of the scenario{remark}")
        raise
