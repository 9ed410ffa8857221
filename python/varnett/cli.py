"""The ``varnett`` command line: ``varnett demo``, ``varnett run`` and ``varnett plot``.

Errors in the user's input (a missing file, a malformed table, an invalid model) end the command
with one line on standard error, ``varnett: error: ...``, and exit status 1; usage errors exit
with status 2. Anything else is a fault of the program and shows its traceback.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from importlib import metadata
from pathlib import Path
from types import ModuleType
from typing import TypeVar

from .errors import InputError
from .records import Records
from .scenario import Scenario
from .simulation import default_workers, records_for, run_stations
from .stations import Stations

__all__ = ["main"]

T = TypeVar("T")

DESCRIPTION = """\
Simulate high-frequency earthquake ground motion by the stochastic method.

  varnett demo                      simulate the bundled Mw 6.5 scenario into demo-output/
  varnett run SCENARIO --stations FILE --out RESULT
                                    simulate a scenario file at a station table
  varnett plot RESULT               draw the fault map, accelerograms, spectra and PSA

The file formats are described in docs/user-guide.md.
"""


class UserError(Exception):
    """An error in the user's input, reported as one line without a traceback."""


def _one_line(error: BaseException) -> str:
    """The error's message with its notes, on one line."""
    if isinstance(error, OSError) and error.strerror:
        text = f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    else:
        text = str(error) or type(error).__name__
    notes = getattr(error, "__notes__", [])
    text = " ".join(text.split())
    return f"{text} ({'; '.join(notes)})" if notes else text


def _guard(what: str, action: Callable[[], T], *, values: bool = False) -> T:
    """Run ``action``, turning a file error into a :class:`UserError`.

    With ``values``, the errors of the engine and of the data classes for invalid values
    (``ValueError``, ``TypeError``, ``OverflowError``) become one too, prefixed by ``what``.
    """
    try:
        return action()
    except (InputError, OSError) as error:
        raise UserError(_one_line(error)) from None
    except (ValueError, TypeError, OverflowError) as error:
        if not values:
            raise
        raise UserError(f"{what}: {_one_line(error)}") from None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}")
    return value


def _station_names(text: str) -> list[str]:
    return [name.strip() for name in text.split(",") if name.strip()]


def _add_run_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--workers",
        type=_positive_int,
        default=None,
        metavar="N",
        help=f"threads simulating stations at once (default: the CPUs available, "
        f"{default_workers()} here); one shared simulator serves them all",
    )
    parser.add_argument(
        "--batch-size",
        type=_positive_int,
        default=None,
        metavar="N",
        help="stations per call of the simulation engine (default: about four batches per "
        "thread, at most 16 stations each); results do not depend on it",
    )
    parser.add_argument(
        "--quiet",
        action="store_true",
        help="no progress bar on standard error and no summary table",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``varnett`` command."""
    parser = argparse.ArgumentParser(
        prog="varnett",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo",
        help="simulate the bundled Mw 6.5 scenario and draw it",
        description="Simulate the bundled scenario (a Mw 6.5 reverse fault, 30 km x 15 km in "
        "1 km subfaults, a layered crust, twelve stations from 5 to 100 km) and "
        "write records.npz, summary.txt, intensity.csv and four pictures to the "
        "output folder.",
    )
    demo.add_argument(
        "--out",
        type=Path,
        default=Path("demo-output"),
        metavar="DIR",
        help="output folder, created if missing (default: demo-output)",
    )
    demo.add_argument(
        "--station-count",
        type=_positive_int,
        default=None,
        metavar="N",
        help="simulate only the first N stations of the demo (a quick check)",
    )
    _add_run_options(demo)
    demo.set_defaults(handler=_demo)

    run = commands.add_parser(
        "run",
        help="simulate a scenario file at a table of stations",
        description="Simulate the earthquake of a scenario file (TOML) at the stations of a "
        "CSV table and save the three-component records (.npz). A summary table "
        "(station, distance to the rupture, PGA per component) goes to standard "
        "output, a progress bar to standard error.",
    )
    run.add_argument(
        "scenario",
        type=Path,
        metavar="SCENARIO",
        help="scenario file (TOML: settings, fault segments, velocity model)",
    )
    run.add_argument(
        "--stations",
        type=Path,
        required=True,
        metavar="FILE",
        help="station table (CSV with the columns name, latitude_deg, "
        "longitude_deg and optionally seed, kappa_s, q_frequency_exponent)",
    )
    run.add_argument(
        "--out",
        type=Path,
        required=True,
        metavar="RESULT",
        help="where to save the records (.npz; read it with "
        "varnett.Records.load or draw it with varnett plot)",
    )
    run.add_argument(
        "--intensity",
        type=Path,
        default=None,
        metavar="CSV",
        help="also write PGA, PGV and 5%%-damped PSA of every station and "
        "component to this CSV file",
    )
    _add_run_options(run)
    run.set_defaults(handler=_run)

    plot = commands.add_parser(
        "plot",
        help="draw the pictures of saved records",
        description="Draw map.png (fault slip and stations), accelerograms.png, spectra.png "
        "(Fourier amplitude) and psa_distance.png (PGA and PSA against distance) "
        "from a records file. Needs matplotlib (pip install 'varnett[plot]').",
    )
    plot.add_argument(
        "result",
        type=Path,
        metavar="RESULT",
        help="records file written by varnett run or varnett demo",
    )
    plot.add_argument(
        "--out",
        type=Path,
        default=None,
        metavar="DIR",
        help="folder for the pictures (default: the folder of RESULT)",
    )
    plot.add_argument(
        "--stations",
        type=_station_names,
        default=None,
        metavar="NAMES",
        help="comma-separated stations for the accelerograms and spectra "
        "(default: four spread from the nearest to the farthest)",
    )
    plot.set_defaults(handler=_plot)
    return parser


def _version() -> str:
    try:
        return metadata.version("varnett")
    except metadata.PackageNotFoundError:
        return "unknown"


def _simulate(
    scenario: Scenario, stations: Stations, args: argparse.Namespace, scenario_name: str
) -> Records:
    simulator = _guard(scenario_name, scenario.to_simulator, values=True)
    acceleration = run_stations(
        simulator,
        stations,
        workers=args.workers,
        batch_size=args.batch_size,
        progress=not args.quiet,
    )
    return records_for(scenario, stations, acceleration)


def _read_inputs(scenario_path: Path, stations_path: Path) -> tuple[Scenario, Stations]:
    scenario = _guard(str(scenario_path), lambda: Scenario.load(scenario_path))
    defaults = scenario.station_defaults
    stations = _guard(
        str(stations_path),
        lambda: Stations.read_csv(
            stations_path,
            kappa_s=defaults.kappa_s,
            q_frequency_exponent=defaults.q_frequency_exponent,
        ),
        values=True,
    )
    return scenario, stations


def _run(args: argparse.Namespace) -> int:
    scenario, stations = _read_inputs(args.scenario, args.stations)
    if args.out.is_dir():
        raise UserError(f"{args.out}: is a folder; --out takes the name of the records file")
    _guard(str(args.out), lambda: args.out.parent.mkdir(parents=True, exist_ok=True))
    records = _simulate(scenario, stations, args, str(args.scenario))
    _guard(str(args.out), lambda: records.save(args.out))
    if args.intensity is not None:
        _guard(
            str(args.intensity),
            lambda: args.intensity.write_text(records.intensity_csv(), encoding="utf-8"),
        )
    if not args.quiet:
        sys.stdout.write(records.summary())
        sys.stdout.write(f"records written to {args.out}\n")
    return 0


def _plot_module() -> ModuleType:
    try:
        from . import plot
    except ImportError as error:
        raise UserError(str(error)) from None
    return plot


def _plot(args: argparse.Namespace) -> int:
    plot = _plot_module()
    records = _guard(str(args.result), lambda: Records.load(args.result))
    if args.stations is not None:
        for name in args.stations:
            if name not in records.stations.name:
                raise UserError(f"{args.result}: no station named {name!r}")
    folder = args.out if args.out is not None else args.result.parent
    written = _guard(
        str(folder),
        lambda: plot.save_figures(records, folder, stations=args.stations),
    )
    for path in written:
        sys.stdout.write(f"wrote {path}\n")
    return 0


def _demo(args: argparse.Namespace) -> int:
    from . import demo

    plot = _plot_module()
    if args.out.exists() and not args.out.is_dir():
        raise UserError(f"{args.out}: is a file; --out takes the name of a folder")
    scenario, stations = _read_inputs(demo.SCENARIO, demo.STATIONS)
    if args.station_count is not None:
        stations = stations[: args.station_count]
    records = _simulate(scenario, stations, args, str(demo.SCENARIO))
    written = _guard(str(args.out), lambda: demo.write_outputs(records, args.out, plot))
    if not args.quiet:
        sys.stdout.write(records.summary())
    for path in written:
        sys.stdout.write(f"wrote {path}\n")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``varnett`` command; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return int(args.handler(args))
    except UserError as error:
        sys.stderr.write(f"varnett: error: {error}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("\nvarnett: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
