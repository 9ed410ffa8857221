# Type stubs of the extension module _varnett, for editors and type checkers.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

_Real: TypeAlias = SupportsFloat | SupportsIndex

@final
class FaultSegment:
    """One fault segment: geometry plus the four subfault grids.

    Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the
    row order the `.stoch` format itself uses.
    """

    def __new__(
        cls,
        *,
        longitude_deg: _Real,
        latitude_deg: _Real,
        strike_deg: _Real,
        dip_deg: _Real,
        rake_deg: _Real,
        top_depth_km: _Real,
        subfault_length_km: _Real,
        subfault_width_km: _Real,
        hypocentre_along_strike_km: _Real,
        hypocentre_down_dip_km: _Real,
        slip: npt.NDArray[np.float32],
        rise_time_s: npt.NDArray[np.float32],
        rupture_time_s: npt.NDArray[np.float32],
        stress_drop_bars: npt.NDArray[np.float32],
    ) -> FaultSegment: ...

@final
class SlipModel:
    """A whole slip model: one or more [`PyFaultSegment`]."""

    def __new__(cls, segments: Sequence[FaultSegment]) -> SlipModel: ...
    @property
    def subfault_count(self) -> int:
        """Total subfaults across all segments"""

@final
class VelocityModel1D:
    """The 1-D velocity model, already truncated at the Moho."""

    def __new__(
        cls,
        *,
        thickness_km: npt.NDArray[np.float32],
        vp_km_s: npt.NDArray[np.float64],
        vsh_km_s: npt.NDArray[np.float64],
        density_g_cm3: npt.NDArray[np.float64],
        quality_factor_p: npt.NDArray[np.float32],
        quality_factor_s: npt.NDArray[np.float32],
        vs_moho_km_s: _Real,
    ) -> VelocityModel1D: ...
    @property
    def layer_count(self) -> int:
        """Layers remaining after Moho truncation."""

@final
class SourceParameters:
    """The earthquake source: how strong the high-frequency radiation is, and how fast the
    rupture travels."""

    def __new__(
        cls,
        *,
        corner_frequency_constant: _Real,
        corner_frequency_alpha: _Real,
        rupture_velocity_fraction: _Real,
        rupture_velocity_shallow: _Real,
        rupture_velocity_deep: _Real,
        rupture_velocity_sigma: _Real,
    ) -> SourceParameters: ...

@final
class PathParameters:
    """The path from source to site shared by every station: which rays, and how duration grows
    with distance."""

    def __new__(
        cls, *, rayset: Sequence[SupportsIndex], path_duration_model: SupportsIndex
    ) -> PathParameters: ...

@final
class SiteParameters:
    """The near-surface parameters shared by every station.

    Quarter-wavelength site amplification is always applied and is not a field here.
    """

    def __new__(cls, *, fmax_hz: _Real) -> SiteParameters: ...

@final
class RecordParameters:
    """The shape of the record to produce."""

    def __new__(cls, *, duration_s: _Real, dt: _Real) -> RecordParameters: ...

@final
class HfConfig:
    """Everything needed to simulate, with nothing about where the inputs came from."""

    def __new__(
        cls,
        *,
        source: SourceParameters,
        path: PathParameters,
        site: SiteParameters,
        record: RecordParameters,
    ) -> HfConfig: ...

@final
class Simulator:
    """A configured simulation, ready to run stations against.

    Built once per source; the station-independent work — the air layer, the slip-model
    normalisation, the moment scaling — happens here rather than per station.

    # Threads, not processes

    `run_stations` releases the GIL and takes `&self`, so one of these can be shared across a
    **dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to
    send it between processes, and a silent re-normalisation on the far side is a worse
    failure than a loud one here.
    """

    def __new__(
        cls, config: HfConfig, slip_model: SlipModel, velocity_model: VelocityModel1D
    ) -> Simulator: ...
    def run_stations(
        self,
        *,
        latitude_deg: npt.NDArray[np.float32],
        longitude_deg: npt.NDArray[np.float32],
        station_seed: npt.NDArray[np.uint64],
        kappa_s: npt.NDArray[np.float32],
        q_frequency_exponent: npt.NDArray[np.float32],
    ) -> npt.NDArray[np.float32]:
        """Simulate a batch of stations.

        Returns acceleration in cm/s^2, shaped `(3, n_station, n_time)` with components
        ordered 090/000/vertical.
        """
