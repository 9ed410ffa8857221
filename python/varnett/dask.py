"""Distributed runs: the stations of a scenario as a Dask array, chunked by station batch.

A ``Simulator`` cannot be pickled, on purpose: it is rebuilt, never shipped. Each task carries
the picklable :class:`~varnett.scenario.Scenario` (sent to each worker once, as one shared
graph input) and a token naming it; every worker process builds one ``Simulator`` per scenario
on first use and keeps it for later batches, shared by the worker's threads. Numbers are
identical to a local run, because a station's record depends only on the scenario, the station
and its seed.

Needs the ``dask`` extra: ``pip install 'varnett[dask]'``.

Examples
--------
>>> from dask.distributed import Client, LocalCluster  # doctest: +SKIP
>>> client = Client(LocalCluster(n_workers=4, processes=True))  # doctest: +SKIP
>>> acceleration = varnett.dask.simulate(scenario, stations, batch_size=32)  # doctest: +SKIP
>>> peak = abs(acceleration).max(axis=2).compute()  # doctest: +SKIP
"""

from __future__ import annotations

import threading
from collections import OrderedDict

import _varnett
import numpy as np

from .scenario import Scenario
from .stations import Stations

try:
    import dask
    import dask.array as da
    from dask.base import tokenize
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("varnett.dask needs Dask: pip install 'varnett[dask]'") from error

__all__ = ["DEFAULT_BATCH_SIZE", "simulate"]

#: Stations per chunk by default: a few seconds of work per task for scenarios of a few hundred
#: subfaults, so that scheduling overhead stays small.
DEFAULT_BATCH_SIZE = 32
#: Simulators kept per worker process: enough for a handful of scenarios run side by side,
#: few enough that memory does not grow with every scenario ever seen.
CACHED_SIMULATORS = 4

_cache: OrderedDict[str, _varnett.Simulator] = OrderedDict()
_cache_lock = threading.Lock()


def simulator_for(token: str, scenario: Scenario) -> _varnett.Simulator:
    """The ``Simulator`` of a scenario in this process, built on first use.

    Parameters
    ----------
    token : str
        A name for the scenario's contents (Dask's ``tokenize``); equal tokens share one
        simulator.
    scenario : Scenario
    """
    with _cache_lock:
        simulator = _cache.get(token)
        if simulator is None:
            simulator = scenario.to_simulator()
            _cache[token] = simulator
            while len(_cache) > CACHED_SIMULATORS:
                _cache.popitem(last=False)
        else:
            _cache.move_to_end(token)
        return simulator


def _run_batch(token: str, scenario: Scenario, stations: Stations) -> np.ndarray:
    return simulator_for(token, scenario).run_stations(**stations.run_arguments())


def simulate(
    scenario: Scenario, stations: Stations, *, batch_size: int = DEFAULT_BATCH_SIZE
) -> da.Array:
    """The accelerations of a station table as a lazy Dask array.

    Computing it with a ``dask.distributed`` client runs the batches on the cluster's
    workers; without a client, Dask's default scheduler runs them locally.

    Parameters
    ----------
    scenario : Scenario
    stations : Stations
    batch_size : int, optional
        Stations per chunk (default :data:`DEFAULT_BATCH_SIZE`).

    Returns
    -------
    dask.array.Array
        float32 ``(3, n_station, n_time)``, cm/s^2, chunked ``(3, batch_size, n_time)``;
        computed, it equals the local run bit for bit.

    Raises
    ------
    ValueError, TypeError, OverflowError
        The module's error for an invalid scenario: a ``Simulator`` is built here once, on the
        client, to check the scenario and learn the record length before any task is sent.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
    token = tokenize(scenario)
    probe = simulator_for(token, scenario).run_stations(**stations[:0].run_arguments())
    n_component, _, n_time = probe.shape
    shared_scenario = dask.delayed(scenario, pure=True)
    chunks = []
    for start in range(0, len(stations), batch_size):
        batch = stations[start : start + batch_size]
        task = dask.delayed(_run_batch, pure=True)(token, shared_scenario, batch)
        chunks.append(da.from_delayed(task, (n_component, len(batch), n_time), dtype=np.float32))
    if not chunks:
        return da.from_array(probe, chunks=probe.shape)
    return da.concatenate(chunks, axis=1)
