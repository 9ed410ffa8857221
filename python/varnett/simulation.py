"""Station runs on a thread pool over one shared ``Simulator``.

``Simulator.run_stations`` releases the interpreter lock for the whole simulation and a station's
record depends only on the simulator, the station and its seed, so batches of stations can run on
many threads at once and be put together into exactly the array one call would return.
"""

from __future__ import annotations

import math
import os
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait

import _varnett
import numpy as np

from .progress import Progress
from .records import Records
from .scenario import Scenario
from .stations import Stations

__all__ = ["default_workers", "records_for", "run_stations", "simulate"]

#: Largest default batch: small enough that the progress bar moves and that threads finish
#: together, large enough that per-call overhead stays negligible.
MAX_DEFAULT_BATCH = 16
#: Batches per worker aimed at by the default batch size, so that uneven station costs even out.
BATCHES_PER_WORKER = 4


def default_workers() -> int:
    """Number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _batch_size(n_station: int, workers: int) -> int:
    return max(1, min(MAX_DEFAULT_BATCH, math.ceil(n_station / (BATCHES_PER_WORKER * workers))))


def _check_positive(name: str, value: int | None) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
        raise ValueError(f"{name} must be a positive integer, got {value!r}")


def run_stations(
    simulator: _varnett.Simulator,
    stations: Stations,
    *,
    workers: int | None = None,
    batch_size: int | None = None,
    progress: bool | None = None,
) -> np.ndarray:
    """Run a station table on a built ``Simulator`` in batches on a thread pool.

    Parameters
    ----------
    simulator : _varnett.Simulator
        Shared by all threads.
    stations : Stations
    workers : int, optional
        Number of threads (default: the CPUs available, :func:`default_workers`).
    batch_size : int, optional
        Stations per ``run_stations`` call (default: about four batches per worker, at most
        16 stations each).
    progress : bool or None, optional
        Progress bar on standard error: True always, False never, None (default) on a
        terminal once the run takes more than a second.

    Returns
    -------
    numpy.ndarray
        float32 ``(3, n_station, n_time)``, cm/s^2, identical bit for bit to
        ``simulator.run_stations(**stations.run_arguments())`` whatever the workers and batch
        size.
    """
    _check_positive("workers", workers)
    _check_positive("batch_size", batch_size)
    workers = workers or default_workers()
    n = len(stations)
    size = batch_size or _batch_size(n, workers)
    if n <= size:
        bar = Progress(n, progress)
        result = simulator.run_stations(**stations.run_arguments())
        bar.advance(n)
        bar.close()
        return result

    arguments = stations.run_arguments()
    bounds = [(start, min(start + size, n)) for start in range(0, n, size)]
    out: np.ndarray | None = None
    bar = Progress(n, progress)

    def run(start: int, stop: int) -> np.ndarray:
        return simulator.run_stations(**{k: v[start:stop] for k, v in arguments.items()})

    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="varnett") as pool:
        futures: dict[Future[np.ndarray], tuple[int, int]] = {
            pool.submit(run, start, stop): (start, stop) for start, stop in bounds
        }
        pending = set(futures)
        try:
            while pending:
                finished, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for future in finished:
                    batch = future.result()
                    start, stop = futures[future]
                    if out is None:
                        out = np.empty((batch.shape[0], n, batch.shape[2]), dtype=np.float32)
                    out[:, start:stop, :] = batch
                    bar.advance(stop - start)
        except BaseException:
            for future in pending:
                future.cancel()
            raise
        finally:
            bar.close()
    assert out is not None  # n > size >= 1, so at least one batch ran
    return out


def simulate(
    scenario: Scenario,
    stations: Stations,
    *,
    workers: int | None = None,
    batch_size: int | None = None,
    progress: bool | None = None,
) -> Records:
    """Simulate a scenario at a table of stations on this machine.

    Builds one ``Simulator`` from the scenario and runs the stations in batches on a thread
    pool sharing it (see :func:`run_stations`).

    Parameters
    ----------
    scenario : Scenario
    stations : Stations
    workers : int, optional
        Number of threads (default: the CPUs available).
    batch_size : int, optional
        Stations per call of the module (default: chosen from the station count and workers).
    progress : bool or None, optional
        Progress bar on standard error (default: on a terminal, for runs over a second).

    Returns
    -------
    Records
        The accelerations, identical bit for bit whatever ``workers`` and ``batch_size``.

    Raises
    ------
    ValueError, TypeError, OverflowError
        The module's error for an invalid scenario, with a note naming where it came from.

    Examples
    --------
    >>> import varnett
    >>> scenario = varnett.Scenario.load("scenario.toml")  # doctest: +SKIP
    >>> stations = varnett.Stations.read_csv("stations.csv")  # doctest: +SKIP
    >>> records = varnett.simulate(scenario, stations, workers=4)  # doctest: +SKIP
    >>> records.pga()  # doctest: +SKIP
    """
    simulator = scenario.to_simulator()
    acceleration = run_stations(
        simulator, stations, workers=workers, batch_size=batch_size, progress=progress
    )
    return records_for(scenario, stations, acceleration)


def records_for(scenario: Scenario, stations: Stations, acceleration: np.ndarray) -> Records:
    """Records of a run, with the sample interval the simulation used (single precision)."""
    return Records(
        acceleration=acceleration,
        dt_s=float(np.float32(scenario.record.dt)),
        stations=stations,
        scenario=scenario,
    )
