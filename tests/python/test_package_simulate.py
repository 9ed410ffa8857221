"""Scenarios built into the module, and parallel runs equal bit for bit to one direct call."""

from __future__ import annotations

import pickle
import warnings

import numpy as np
import pytest
import varnett
from package_helpers import (
    replace_segment,
    small_scenario,
    small_segment,
    some_stations,
)
from varnett.simulation import run_stations


@pytest.mark.parametrize(
    ("scenario", "error", "message", "note"),
    [
        (
            replace_segment(small_scenario(), stress_drop_bars=np.full((4, 6), -1.0)),
            ValueError,
            "stress_drop_bars must be positive and finite everywhere; got -1",
            "in [[segment]] 1 of the scenario",
        ),
        (
            replace_segment(small_scenario(), rise_time_s=np.ones((6, 4))),
            ValueError,
            (
                "slip (4, 6), rise_time_s (6, 4), rupture_time_s (4, 6) and stress_drop_bars "
                "(4, 6) must have the same shape -- they describe the same subfaults"
            ),
            "in [[segment]] 1 of the scenario",
        ),
        (
            small_scenario(segments=()),
            ValueError,
            "a slip model needs at least one segment",
            "in the segments of the scenario",
        ),
        (
            small_scenario(path=varnett.PathSettings(rayset=(1,), path_duration_model=3)),
            ValueError,
            "path_duration_model 3 is not one of 0, 1, 2, 11, 12",
            "in [path] of the scenario",
        ),
        (
            small_scenario(path=varnett.PathSettings(rayset=(2**31,), path_duration_model=0)),
            OverflowError,
            "number too large to fit in target type",
            "in [path] of the scenario",
        ),
        (
            small_scenario(record=varnett.RecordSettings(duration_s=3e9, dt=1.0)),
            ValueError,
            (
                "duration_s / dt asks for a record of 3000000000 samples; a record holds at most "
                "2147483647"
            ),
            "in [record] of the scenario",
        ),
        (
            small_scenario(segments=(small_segment(slip=np.zeros((4, 6))),)),
            ValueError,
            "the slip model carries no moment: no subfault has a relative moment above 0.001",
            "in the segments of the scenario",
        ),
    ],
)
def test_module_errors_keep_their_message_and_name_their_place(
    scenario: varnett.Scenario, error: type[Exception], message: str, note: str
) -> None:
    with pytest.raises(error) as caught:
        scenario.to_simulator()
    assert str(caught.value) == message
    assert caught.value.__notes__[-1] == note


def test_scenario_builds_a_simulator_and_stays_picklable() -> None:
    scenario = small_scenario()
    simulator = scenario.to_simulator()
    stations = some_stations(2)
    assert simulator.run_stations(**stations.run_arguments()).shape == (3, 2, 1200)
    with pytest.raises(TypeError):
        pickle.dumps(simulator)
    assert pickle.loads(pickle.dumps(scenario)) == scenario

    wider = small_segment(subfault_length_km=3.0)
    with pytest.raises(ValueError) as caught:
        small_scenario(segments=(small_segment(), wider)).to_simulator()
    assert str(caught.value).startswith(
        "segment 1 has subfault_length_km = 3 km, but segment 0 has 2 km"
    )
    assert caught.value.__notes__ == [
        "in the segments of the scenario; the message numbers them from 0"
    ]


@pytest.fixture(scope="module")
def direct() -> tuple[varnett.Scenario, varnett.Stations, np.ndarray]:
    """The small scenario at seven stations, in one direct call of the module."""
    scenario, stations = small_scenario(), some_stations(7)
    return scenario, stations, scenario.to_simulator().run_stations(**stations.run_arguments())


@pytest.mark.parametrize(("workers", "batch_size"), [(1, None), (2, 1), (3, 2), (2, 7), (4, 3)])
def test_simulate_equals_one_direct_call_bit_for_bit(
    direct: tuple[varnett.Scenario, varnett.Stations, np.ndarray],
    workers: int,
    batch_size: int | None,
) -> None:
    scenario, stations, expected = direct
    records = varnett.simulate(scenario, stations, workers=workers, batch_size=batch_size)
    assert records.acceleration.dtype == np.float32
    assert records.acceleration.tobytes() == expected.tobytes()
    assert records.dt_s == np.float32(0.01)
    assert records.stations == stations


def test_run_stations_handles_empty_tables_and_rejects_bad_sizes(
    direct: tuple[varnett.Scenario, varnett.Stations, np.ndarray],
) -> None:
    scenario, stations, expected = direct
    simulator = scenario.to_simulator()
    assert run_stations(simulator, stations[:0], workers=3).shape == (3, 0, expected.shape[2])
    with pytest.raises(ValueError, match="workers must be a positive integer, got 0"):
        run_stations(simulator, stations, workers=0)


def test_dask_on_two_worker_processes_equals_the_local_run(
    direct: tuple[varnett.Scenario, varnett.Stations, np.ndarray],
) -> None:
    distributed = pytest.importorskip("dask.distributed")
    import varnett.dask

    scenario, stations, expected = direct
    with warnings.catch_warnings():
        # The cluster's own start-up chatter (ports, resource warnings) is not under test.
        warnings.simplefilter("ignore")
        with (
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            acceleration = varnett.dask.simulate(scenario, stations, batch_size=2)
            assert acceleration.chunks[1] == (2, 2, 2, 1)
            computed = acceleration.compute()
            pids = set(client.run(lambda: __import__("os").getpid()).values())
    assert len(pids) == 2
    assert computed.dtype == np.float32
    assert computed.tobytes() == expected.tobytes()
