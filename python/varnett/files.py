"""File formats: scenario files (TOML), subfault grids (plain text) and station tables (CSV).

Every writer produces what its reader reads back to the same values, bit for bit: single-precision
values are written in the shortest decimal form that reads back to the same single-precision value,
double-precision values in Python's shortest ``repr``. Readers report a malformed file with one
:class:`~varnett.errors.InputError` whose message names the file and the place of the fault.
"""

from __future__ import annotations

import csv
import io
import math
import os
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import fields
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

from .errors import InputError
from .scenario import (
    GRID_NAMES,
    LAYER_COLUMNS,
    PathSettings,
    RecordSettings,
    Scenario,
    Segment,
    SiteSettings,
    SourceSettings,
    StationDefaults,
    VelocityModel,
)
from .stations import (
    DEFAULT_KAPPA_S,
    DEFAULT_Q_FREQUENCY_EXPONENT,
    Stations,
    seed_from_name,
)

__all__ = [
    "read_grid",
    "read_scenario",
    "read_stations",
    "scenario_from_toml",
    "scenario_to_toml",
    "write_grid",
    "write_scenario",
    "write_stations",
]

StrPath = str | os.PathLike[str]

_REQUIRED_STATION_COLUMNS = ("name", "latitude_deg", "longitude_deg")
_OPTIONAL_STATION_COLUMNS = ("seed", "kappa_s", "q_frequency_exponent")
_U64_MAX = 2**64 - 1


# --- numbers as text -------------------------------------------------------------------------


def format_f32(value: object) -> str:
    """Shortest decimal text that reads back to the same single-precision value."""
    return str(np.float32(value))


def format_f64(value: object) -> str:
    """Shortest decimal text that reads back to the same double-precision value."""
    return repr(float(value))  # type: ignore[arg-type]


# --- grids -----------------------------------------------------------------------------------


def read_grid(path: StrPath) -> np.ndarray:
    """Read a subfault grid from a plain text file.

    One line per row of subfaults down dip, the top row first; values separated by blanks or
    commas; ``#`` starts a comment; blank lines are skipped. A file with no rows gives an empty
    ``(0, 0)`` grid.

    Parameters
    ----------
    path : str or path-like
        The grid file.

    Returns
    -------
    numpy.ndarray
        float32 array of shape ``(down_dip, along_strike)``.

    Raises
    ------
    InputError
        For a value that is not a number or rows of unequal length.
    OSError
        If the file cannot be read.
    """
    name = os.fspath(path)
    rows: list[list[float]] = []
    first_line = 0
    with open(path, encoding="utf-8") as stream:
        for number, line in enumerate(stream, start=1):
            tokens = line.split("#", 1)[0].replace(",", " ").split()
            if not tokens:
                continue
            row = [_parse_number(t, f"{name} line {number}: {t!r}") for t in tokens]
            if rows and len(row) != len(rows[0]):
                raise InputError(
                    f"{name} line {number}: {len(row)} values, but the first row "
                    f"(line {first_line}) has {len(rows[0])}"
                )
            first_line = first_line or number
            rows.append(row)
    return _grid_array(rows)


def write_grid(path: StrPath, grid: np.ndarray, *, title: str = "") -> None:
    """Write a subfault grid as plain text, one row down dip per line, top row first.

    Parameters
    ----------
    path : str or path-like
        Destination file.
    grid : numpy.ndarray
        2-D array of shape ``(down_dip, along_strike)``, written in single precision.
    title : str, optional
        Text for the comment line at the top of the file.
    """
    grid = np.asarray(grid, dtype=np.float32)
    rows, columns = grid.shape
    header = (
        f"# {title + ': ' if title else ''}{rows} rows down dip (top row first) x "
        f"{columns} subfaults along strike\n"
    )
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(header)
        stream.writelines(" ".join(format_f32(v) for v in row) + "\n" for row in grid)


def _grid_array(rows: list[list[float]]) -> np.ndarray:
    if not rows:
        return np.zeros((0, 0), dtype=np.float32)
    return np.array(rows, dtype=np.float64).astype(np.float32)


def _parse_number(text: str, what: str) -> float:
    """``float(text)``; ``what`` names the text in the error (file, line, column)."""
    try:
        return float(text)
    except ValueError:
        raise InputError(f"{what} is not a number") from None


# --- scenario files --------------------------------------------------------------------------


class _Table:
    """A TOML table with typed access and one-line errors naming the file and the table."""

    def __init__(self, data: object, where: str, source: str) -> None:
        self.where, self.source = where, source
        if not isinstance(data, dict):
            self.fail(f"must be a table, got {_describe(data)}")
        self.data: dict[str, Any] = data  # type: ignore[assignment]

    def fail(self, message: str) -> NoReturn:
        raise InputError(f"{self.source}: {self.where}: {message}")

    def only(self, allowed: Iterable[str]) -> None:
        allowed = list(allowed)
        for key in self.data:
            if key not in allowed:
                self.fail(f"unknown key {key!r}; expected {_listing(allowed)}")

    def get(self, key: str) -> Any:
        if key not in self.data:
            self.fail(f"missing key {key!r}")
        return self.data[key]

    def number(self, key: str) -> float:
        value = self.get(key)
        if isinstance(value, bool) or not isinstance(value, int | float):
            self.fail(f"{key} must be a number, got {_describe(value)}")
        try:
            return float(value)
        except OverflowError:
            self.fail(f"{key} = {value} is too large for a number")

    def integer(self, key: str) -> int:
        value = self.get(key)
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(f"{key} must be an integer, got {_describe(value)}")
        return value

    def integers(self, key: str) -> tuple[int, ...]:
        value = self.get(key)
        if not isinstance(value, list) or any(
            isinstance(v, bool) or not isinstance(v, int) for v in value
        ):
            self.fail(f"{key} must be an array of integers, got {_describe(value)}")
        return tuple(value)

    def settings(self, cls: type) -> Any:
        names = [f.name for f in fields(cls)]
        self.only(names)
        return cls(**{name: self.number(name) for name in names})


def _is_number(value: object) -> bool:
    """A TOML integer or float that converts to a double (booleans are not numbers)."""
    if isinstance(value, bool) or not isinstance(value, int | float):
        return False
    try:
        float(value)
    except OverflowError:
        return False
    return True


def _describe(value: object) -> str:
    if isinstance(value, str):
        return f"the string {value!r}"
    if isinstance(value, bool):
        return f"the boolean {str(value).lower()}"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return f"{value!r}"


def _listing(names: Iterable[str]) -> str:
    return ", ".join(names)


_TOP_LEVEL = (
    "name",
    "source",
    "path",
    "site",
    "record",
    "station_defaults",
    "velocity_model",
    "segment",
)


def read_scenario(path: StrPath) -> Scenario:
    """Read a scenario file.

    The file is TOML with the tables ``[source]``, ``[path]``, ``[site]``, ``[record]``,
    ``[velocity_model]``, an optional ``[station_defaults]`` and one ``[[segment]]`` per fault
    segment; see the user guide (``docs/user-guide.md``) for every key. Grid file names are
    taken relative to the scenario file's folder.

    Parameters
    ----------
    path : str or path-like
        The scenario file.

    Returns
    -------
    Scenario

    Raises
    ------
    InputError
        For malformed TOML, a missing or unknown key, a value of the wrong kind, or a bad grid.
    OSError
        If the scenario file or a grid file cannot be read.
    """
    name = os.fspath(path)
    with open(path, "rb") as stream:
        raw = stream.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"{name}: not UTF-8 text ({error.reason})") from None
    return scenario_from_toml(text, base_dir=Path(name).parent, source=name)


def scenario_from_toml(
    text: str, *, base_dir: StrPath = ".", source: str = "<scenario>"
) -> Scenario:
    """Parse a scenario from TOML text; grid file names are taken relative to ``base_dir``."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise InputError(f"{source}: {error}") from None
    top = _Table(document, "top level", source)
    top.only(_TOP_LEVEL)
    title = document.get("name", "")
    if not isinstance(title, str):
        top.fail(f"name must be a string, got {_describe(title)}")

    def table(key: str) -> _Table:
        return _Table(top.get(key), f"[{key}]", source)

    path_table = table("path")
    path_table.only(["rayset", "path_duration_model"])
    defaults = (
        _Table(document["station_defaults"], "[station_defaults]", source).settings(StationDefaults)
        if "station_defaults" in document
        else StationDefaults()
    )
    segments = top.get("segment")
    if not isinstance(segments, list):
        top.fail("segment must be an array of tables: write each segment as [[segment]]")
    return Scenario(
        name=title,
        source=table("source").settings(SourceSettings),
        path=PathSettings(
            rayset=path_table.integers("rayset"),
            path_duration_model=path_table.integer("path_duration_model"),
        ),
        site=table("site").settings(SiteSettings),
        record=table("record").settings(RecordSettings),
        station_defaults=defaults,
        velocity_model=_velocity_model(table("velocity_model")),
        segments=tuple(
            _segment(_Table(data, f"[[segment]] {k}", source), Path(base_dir))
            for k, data in enumerate(segments, start=1)
        ),
    )


def _velocity_model(table: _Table) -> VelocityModel:
    table.only(["vs_moho_km_s", "layers"])
    layers = table.get("layers")
    if not isinstance(layers, list):
        table.fail(f"layers must be an array of rows, got {_describe(layers)}")
    width = len(LAYER_COLUMNS)
    for number, row in enumerate(layers, start=1):
        if not isinstance(row, list) or len(row) != width or not all(_is_number(v) for v in row):
            table.fail(
                f"layer {number} must be a row of {width} numbers "
                f"({_listing(LAYER_COLUMNS)}), got {row!r}"
            )
    return VelocityModel.from_layers(layers, vs_moho_km_s=table.number("vs_moho_km_s"))


def _segment(table: _Table, base_dir: Path) -> Segment:
    geometry = [f.name for f in fields(Segment) if f.name not in GRID_NAMES]
    table.only([*geometry, *GRID_NAMES])
    scalars = {name: table.number(name) for name in geometry}
    grids: dict[str, np.ndarray | float] = {}
    for name in GRID_NAMES:
        value = table.get(name)
        if isinstance(value, str):
            grids[name] = read_grid(base_dir / value)
        elif isinstance(value, list):
            grids[name] = _inline_grid(table, name, value)
        elif isinstance(value, int | float) and not isinstance(value, bool):
            grids[name] = float(value)
        else:
            table.fail(
                f"{name} must be a grid file name, an array of rows, or one number for every "
                f"subfault; got {_describe(value)}"
            )
    shape = next((g.shape for g in grids.values() if isinstance(g, np.ndarray)), None)
    if shape is None:
        table.fail(
            f"give at least one of {_listing(GRID_NAMES)} as a grid (a file name or an array "
            "of rows); it sets the number of subfaults"
        )
    full = {
        name: g if isinstance(g, np.ndarray) else np.full(shape, g, dtype=np.float32)
        for name, g in grids.items()
    }
    return Segment(**scalars, **full)


def _inline_grid(table: _Table, name: str, rows: list[Any]) -> np.ndarray:
    for number, row in enumerate(rows, start=1):
        if not isinstance(row, list) or not all(_is_number(v) for v in row):
            table.fail(f"{name}: row {number} must be an array of numbers")
        if len(row) != len(rows[0]):
            table.fail(f"{name}: row {number} has {len(row)} values, but row 1 has {len(rows[0])}")
    return _grid_array([[float(v) for v in row] for row in rows])


def write_scenario(scenario: Scenario, path: StrPath, *, inline_grids: bool = False) -> None:
    """Write a scenario file that :func:`read_scenario` reads back to an equal scenario.

    Parameters
    ----------
    scenario : Scenario
    path : str or path-like
        The TOML file to write.
    inline_grids : bool, optional
        Write the grids into the TOML file as arrays of rows. By default each grid that is not
        one value throughout goes to a text file beside the TOML file, named
        ``<stem>.segment<k>.<grid>.txt``; a grid holding one value is written as that value.
    """
    target = Path(path)
    grid_dir = None if inline_grids else target.parent
    text = scenario_to_toml(scenario, grid_dir=grid_dir, stem=target.stem)
    with open(target, "w", encoding="utf-8") as stream:
        stream.write(text)


def scenario_to_toml(
    scenario: Scenario, *, grid_dir: StrPath | None = None, stem: str = "scenario"
) -> str:
    """The scenario as TOML text.

    With ``grid_dir`` None every grid is written inline; otherwise grids go to text files in
    ``grid_dir`` (see :func:`write_scenario`).
    """
    out = io.StringIO()
    out.write("# varnett scenario: one earthquake and the settings to simulate it.\n")
    if scenario.name:
        out.write(f"name = {_toml_string(scenario.name)}\n")
    for key, settings in (
        ("source", scenario.source),
        ("site", scenario.site),
        ("record", scenario.record),
        ("station_defaults", scenario.station_defaults),
    ):
        out.write(f"\n[{key}]\n")
        for f in fields(settings):
            out.write(f"{f.name} = {format_f64(getattr(settings, f.name))}\n")
    out.write("\n[path]\n")
    out.write(f"rayset = [{', '.join(str(int(r)) for r in scenario.path.rayset)}]\n")
    out.write(f"path_duration_model = {int(scenario.path.path_duration_model)}\n")

    model = scenario.velocity_model
    out.write("\n[velocity_model]\n")
    out.write(f"vs_moho_km_s = {format_f64(model.vs_moho_km_s)}\n")
    out.write(f"# {', '.join(LAYER_COLUMNS)}\nlayers = [\n")
    formats = [
        format_f32 if dtype is np.float32 else format_f64 for dtype in LAYER_COLUMNS.values()
    ]
    for row in model.layers:
        out.write(f"  [{', '.join(fmt(v) for fmt, v in zip(formats, row))}],\n")
    out.write("]\n")

    for number, segment in enumerate(scenario.segments, start=1):
        out.write("\n[[segment]]\n")
        for key, value in segment.geometry.items():
            out.write(f"{key} = {format_f64(value)}\n")
        for name in GRID_NAMES:
            out.write(f"{name} = {_grid_value(segment, name, number, grid_dir, stem)}\n")
    return out.getvalue()


def _grid_value(
    segment: Segment, name: str, number: int, grid_dir: StrPath | None, stem: str
) -> str:
    grid = getattr(segment, name)
    uniform = grid.size > 0 and len(np.unique(grid.view(np.uint32))) == 1
    if name != GRID_NAMES[0] and uniform:
        return format_f32(grid.flat[0])
    if grid_dir is None:
        rows = ",\n".join(f"  [{', '.join(format_f32(v) for v in row)}]" for row in grid)
        return f"[\n{rows},\n]" if grid.shape[0] else "[]"
    file_name = f"{stem}.segment{number}.{name}.txt"
    write_grid(Path(grid_dir) / file_name, grid, title=f"{name} of segment {number}")
    return _toml_string(file_name)


def _toml_string(text: str) -> str:
    """A TOML basic string: quotes, backslashes and control characters escaped."""
    escaped = []
    for char in text:
        if char in '"\\':
            escaped.append("\\" + char)
        elif ord(char) < 0x20 or ord(char) == 0x7F:
            escaped.append(f"\\u{ord(char):04X}")
        else:
            escaped.append(char)
    return '"' + "".join(escaped) + '"'


# --- station tables --------------------------------------------------------------------------


def read_stations(
    path: StrPath,
    *,
    kappa_s: float = DEFAULT_KAPPA_S,
    q_frequency_exponent: float = DEFAULT_Q_FREQUENCY_EXPONENT,
) -> Stations:
    """Read a station table from a CSV file.

    The first line names the columns: ``name``, ``latitude_deg`` and ``longitude_deg`` are
    required; ``seed``, ``kappa_s`` and ``q_frequency_exponent`` are optional, in any order.
    Lines starting with ``#`` and blank lines are skipped. An optional column that is absent,
    or a cell left empty, takes its default: the seed derived from the station name
    (:func:`~varnett.stations.seed_from_name`), and the ``kappa_s`` and
    ``q_frequency_exponent`` given here.

    Parameters
    ----------
    path : str or path-like
        The CSV file.
    kappa_s, q_frequency_exponent : float, optional
        Defaults for the optional columns (a scenario's ``[station_defaults]``).

    Returns
    -------
    Stations

    Raises
    ------
    InputError
        For a missing, unknown or repeated column, a row of the wrong length, a value that is
        not a number, a seed outside ``[0, 2**64)``, an empty or repeated name.
    OSError
        If the file cannot be read.
    """
    name = os.fspath(path)
    with open(path, encoding="utf-8", newline="") as stream:
        lines = [
            (n, line)
            for n, line in enumerate(stream, start=1)
            if line.strip() and not line.lstrip().startswith("#")
        ]
    if not lines:
        raise InputError(
            f"{name}: no header line; expected the columns {_listing(_REQUIRED_STATION_COLUMNS)}"
        )
    header_line, header_text = lines[0]
    header = [h.strip() for h in next(csv.reader([header_text]))]
    known = _REQUIRED_STATION_COLUMNS + _OPTIONAL_STATION_COLUMNS
    for column in header:
        if column not in known:
            raise InputError(
                f"{name} line {header_line}: unknown column {column!r}; expected {_listing(known)}"
            )
        if header.count(column) > 1:
            raise InputError(f"{name} line {header_line}: column {column!r} appears twice")
    for column in _REQUIRED_STATION_COLUMNS:
        if column not in header:
            raise InputError(
                f"{name}: missing column {column!r}; the header line has {_listing(header)}"
            )

    defaults: Mapping[str, float] = {
        "kappa_s": kappa_s,
        "q_frequency_exponent": q_frequency_exponent,
    }
    table: dict[str, list[Any]] = {column: [] for column in known}
    seen: dict[str, int] = {}
    for number, text in lines[1:]:
        cells = [c.strip() for c in next(csv.reader([text]))]
        where = f"{name} line {number}"
        if len(cells) != len(header):
            raise InputError(
                f"{where}: {len(cells)} fields, but the header has {len(header)} columns"
            )
        row = dict(zip(header, cells))
        station = row["name"]
        if not station:
            raise InputError(f"{where}: the station name is empty")
        if station in seen:
            raise InputError(
                f"{where}: station {station!r} already appears on line {seen[station]}"
            )
        seen[station] = number
        table["name"].append(station)
        for column in ("latitude_deg", "longitude_deg"):
            table[column].append(_cell_number(row[column], column, where))
        table["seed"].append(
            _cell_seed(row.get("seed", ""), where) if row.get("seed") else seed_from_name(station)
        )
        for column, default in defaults.items():
            cell = row.get(column, "")
            table[column].append(_cell_number(cell, column, where) if cell else default)
    return Stations(
        name=tuple(table["name"]),
        latitude_deg=np.array(table["latitude_deg"], dtype=np.float32),
        longitude_deg=np.array(table["longitude_deg"], dtype=np.float32),
        seed=np.array(table["seed"], dtype=np.uint64),
        kappa_s=np.array(table["kappa_s"], dtype=np.float32),
        q_frequency_exponent=np.array(table["q_frequency_exponent"], dtype=np.float32),
    )


def _cell_number(text: str, column: str, where: str) -> float:
    value = _parse_number(text, f"{where}: {column} {text!r}")
    if column in ("latitude_deg", "longitude_deg") and not math.isfinite(value):
        raise InputError(f"{where}: {column} {text!r} is not a finite number")
    return value


def _cell_seed(text: str, where: str) -> int:
    if not text.isdigit() or not text.isascii() or int(text) > _U64_MAX:
        raise InputError(f"{where}: seed {text!r} is not an integer from 0 to {_U64_MAX}")
    return int(text)


def write_stations(stations: Stations, path: StrPath) -> None:
    """Write a station table with all six columns; :func:`read_stations` reads it back equal."""
    with open(path, "w", encoding="utf-8", newline="") as stream:
        stream.write(",".join(_REQUIRED_STATION_COLUMNS + _OPTIONAL_STATION_COLUMNS) + "\n")
        for k, station in enumerate(stations.name):
            cells = [
                _csv_name(station),
                format_f32(stations.latitude_deg[k]),
                format_f32(stations.longitude_deg[k]),
                str(int(stations.seed[k])),
                format_f32(stations.kappa_s[k]),
                format_f32(stations.q_frequency_exponent[k]),
            ]
            stream.write(",".join(cells) + "\n")


def _csv_name(name: str) -> str:
    """A name as a CSV field, quoted when it holds a separator or quote or would read as a comment."""
    if name.startswith("#") or "," in name or '"' in name:
        return '"' + name.replace('"', '""') + '"'
    return name
