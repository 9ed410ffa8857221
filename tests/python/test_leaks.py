"""Thousands of calls, successful and failing, leak neither references nor memory."""

import os
import sys
import tracemalloc

import _varnett
import numpy as np
import pytest
from conftest import UNDER_ASAN, layer_kwargs, segment_kwargs
from test_simulator import make_segment, make_velocity, stations

F32 = np.float32

# Grids and records large enough that leaking one per call shows: a leaked Segment holds 64 kB of
# subfaults, a leaked station record 3 x 8000 float32 (96 kB).
GRID = (32, 128)
RECORD = {"duration_s": 160.0, "dt": 0.02}


def one_subfault_segment():
    one = (1, 1)
    return make_segment(
        slip=np.full(one, 50.0, F32), rise_time_s=np.ones(one, F32),
        rupture_time_s=np.zeros(one, F32), stress_drop_bars=np.full(one, 50.0, F32),
    )


def air_segment():
    """A flat subfault inside the air layer: its upgoing ray cannot be traced (InternalError)."""
    one = (1, 1)
    return make_segment(
        dip_deg=0.0, top_depth_km=0.00005, slip=np.full(one, 1e10, F32),
        rise_time_s=np.ones(one, F32), rupture_time_s=np.zeros(one, F32),
        stress_drop_bars=np.full(one, 50.0, F32),
    )


def build_cases():
    """(name, call, expected exception or None, the argument objects whose counts must hold)."""
    grids = segment_kwargs(shape=GRID)
    layers = layer_kwargs()
    source = _varnett.SourceParameters(
        corner_frequency_constant=1.8, corner_frequency_alpha=0.5, rupture_velocity_fraction=0.8,
        rupture_velocity_shallow=0.6, rupture_velocity_deep=1.2, rupture_velocity_sigma=0.1,
    )
    rays = [1, 2**40]
    path = _varnett.PathParameters(rayset=[1], path_duration_model=0)
    site = _varnett.SiteParameters(fmax_hz=20.0)
    record = _varnett.RecordParameters(**RECORD)
    config = _varnett.HfConfig(source=source, path=path, site=site, record=record)
    segment = one_subfault_segment()
    segments = [segment, segment]
    slip = _varnett.SlipModel([segment])
    velocity = make_velocity()
    simulator = _varnett.Simulator(config, slip, velocity)
    failing = _varnett.Simulator(config, _varnett.SlipModel([air_segment()]), velocity)
    batch = stations([34.0], [-118.0], [7])
    short = dict(batch, kappa_s=np.zeros(0, F32))
    wrong_dtype = dict(batch, q_frequency_exponent=batch["q_frequency_exponent"].astype(np.float64))
    bad_stress = dict(grids, stress_drop_bars=np.full(GRID, -1.0, F32))
    bad_last_grid = dict(grids, stress_drop_bars=grids["stress_drop_bars"].astype(np.float64))
    config_parts = {"source": source, "path": path, "site": site, "record": record}

    return [
        ("FaultSegment", lambda: _varnett.FaultSegment(**grids), None, grids.values()),
        ("FaultSegment stress", lambda: _varnett.FaultSegment(**bad_stress), ValueError,
         bad_stress.values()),
        ("FaultSegment dtype", lambda: _varnett.FaultSegment(**bad_last_grid), TypeError,
         bad_last_grid.values()),
        ("FaultSegment binding", lambda: _varnett.FaultSegment(**grids, extra=1), TypeError,
         grids.values()),
        ("SlipModel", lambda: _varnett.SlipModel(segments), None, [segment, segments]),
        ("SlipModel item", lambda: _varnett.SlipModel([segment, rays]), TypeError,
         [segment, rays]),
        ("VelocityModel1D", lambda: _varnett.VelocityModel1D(**layers), None, layers.values()),
        ("VelocityModel1D Moho", lambda: _varnett.VelocityModel1D(**{**layers,
                                                                     "vs_moho_km_s": 1.0}),
         ValueError, layers.values()),
        ("SourceParameters", lambda: _varnett.SourceParameters(
            corner_frequency_constant=1.8, corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.2, rupture_velocity_sigma=rays), TypeError, [rays, *rays]),
        ("PathParameters", lambda: _varnett.PathParameters(rayset=rays[:1], path_duration_model=0),
         None, [rays, *rays]),
        ("PathParameters overflow", lambda: _varnett.PathParameters(rayset=rays,
                                                                    path_duration_model=0),
         OverflowError, [rays, *rays]),
        ("SiteParameters", lambda: _varnett.SiteParameters(fmax_hz="x"), TypeError, []),
        ("RecordParameters", lambda: _varnett.RecordParameters(**RECORD), None, []),
        ("HfConfig", lambda: _varnett.HfConfig(**config_parts), None, config_parts.values()),
        ("HfConfig last part", lambda: _varnett.HfConfig(**{**config_parts, "record": site}),
         TypeError, config_parts.values()),
        ("Simulator", lambda: _varnett.Simulator(config, slip, velocity), None,
         [config, slip, velocity]),
        ("Simulator type", lambda: _varnett.Simulator(config, slip, config), TypeError,
         [config, slip]),
        ("run_stations", lambda: simulator.run_stations(**batch), None,
         [simulator, *batch.values()]),
        ("run_stations lengths", lambda: simulator.run_stations(**short), ValueError,
         [simulator, *short.values()]),
        ("run_stations dtype", lambda: simulator.run_stations(**wrong_dtype), TypeError,
         [simulator, *wrong_dtype.values()]),
        ("run_stations internal error", lambda: failing.run_stations(**batch), BaseException,
         [failing, *batch.values()]),
    ]


def run(case, times):
    _, call, error, _ = case
    for _ in range(times):
        if error is None:
            call()
        else:
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError(f"{case[0]} did not raise {error.__name__}")


CASES = build_cases()


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_calls_leave_the_reference_counts_of_their_arguments(case):
    watched = list(case[3])
    run(case, 3)
    before = [sys.getrefcount(x) for x in watched]
    run(case, 200)
    assert [sys.getrefcount(x) for x in watched] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer holds freed memory in quarantine")
def test_process_memory_stays_flat():
    # C++ allocations do not show in tracemalloc: the resident size is what would grow. After a
    # warm-up (thread-local FFT plans, allocator pools), 150 more rounds of every case must not
    # add more than a few leaked objects' worth.
    for case in CASES:
        run(case, 20)
    before = resident_bytes()
    for case in CASES:
        run(case, 150)
    grown = resident_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes over {150 * len(CASES)} calls"


def test_python_allocations_stay_flat():
    # Exceptions, notes, results and their NumPy buffers are Python allocations: tracemalloc sees
    # a leak of even one small object per call.
    for case in CASES:
        run(case, 20)
    tracemalloc.start()
    try:
        start = tracemalloc.take_snapshot()
        for case in CASES:
            run(case, 100)
        growth = tracemalloc.take_snapshot().compare_to(start, "lineno")
    finally:
        tracemalloc.stop()
    grown = sum(stat.size_diff for stat in growth)
    assert grown < 64 * 1024, "\n".join(str(stat) for stat in growth[:10])
