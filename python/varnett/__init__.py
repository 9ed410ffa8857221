"""varnett: high-frequency earthquake ground motion by the stochastic method.

The package around the extension module ``_varnett``: scenario and station files, parallel runs
on threads (:func:`simulate`) or on a Dask cluster (:mod:`varnett.dask`), records with intensity
measures, plots (:mod:`varnett.plot`) and the ``varnett`` command line.
"""

from .errors import InputError
from .files import (
    read_grid,
    read_scenario,
    read_stations,
    write_grid,
    write_scenario,
    write_stations,
)
from .intensity import STANDARD_PERIODS_S
from .records import COMPONENTS, Records
from .scenario import (
    PathSettings,
    RecordSettings,
    Scenario,
    Segment,
    SiteSettings,
    SourceSettings,
    StationDefaults,
    VelocityModel,
)
from .simulation import run_stations, simulate
from .stations import Stations, seed_from_name

__all__ = [
    "COMPONENTS",
    "STANDARD_PERIODS_S",
    "InputError",
    "PathSettings",
    "RecordSettings",
    "Records",
    "Scenario",
    "Segment",
    "SiteSettings",
    "SourceSettings",
    "StationDefaults",
    "Stations",
    "VelocityModel",
    "read_grid",
    "read_scenario",
    "read_stations",
    "run_stations",
    "seed_from_name",
    "simulate",
    "write_grid",
    "write_scenario",
    "write_stations",
]
