"""The bundled demo: a Mw 6.5 reverse-faulting earthquake at twelve stations.

``varnett demo`` (or ``make demo``) simulates it and writes to ``demo-output/`` the records,
a summary table, the intensity measures and four pictures. The scenario files sit in this
folder and are made by :mod:`varnett.demo.generate`.
"""

from __future__ import annotations

import os
from pathlib import Path
from types import ModuleType

from ..records import Records

FOLDER = Path(__file__).parent
#: The bundled scenario file.
SCENARIO = FOLDER / "scenario.toml"
#: The bundled station table.
STATIONS = FOLDER / "stations.csv"


def write_outputs(records: Records, folder: str | os.PathLike[str], plot: ModuleType) -> list[Path]:
    """Write ``records.npz``, ``summary.txt``, ``intensity.csv`` and the pictures.

    Parameters
    ----------
    records : Records
    folder : str or path-like
        Output folder, created if missing.
    plot : module
        :mod:`varnett.plot` (passed in so that a missing matplotlib is reported before the
        simulation starts).

    Returns
    -------
    list of pathlib.Path
        The files written.
    """
    target = Path(folder)
    target.mkdir(parents=True, exist_ok=True)
    records.save(target / "records.npz")
    (target / "summary.txt").write_text(records.summary(), encoding="utf-8")
    (target / "intensity.csv").write_text(records.intensity_csv(), encoding="utf-8")
    pictures = plot.save_figures(records, target)
    return [target / "records.npz", target / "summary.txt", target / "intensity.csv", *pictures]
