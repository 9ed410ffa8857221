"""Sizes beyond what a run can number or hold are refused with a Python error, never a crash."""

import _varnett
import numpy as np
import pytest
from conftest import UNDER_ASAN, segment_kwargs
from test_simulator import make_config, make_segment, make_velocity, stations

F32 = np.float32
LARGEST_RECORD = 2147483520  # the largest f32 below 2^31: the longest record a run can number


def simulator(duration_s, dt):
    return _varnett.Simulator(
        make_config(duration_s=duration_s, dt=dt), _varnett.SlipModel([make_segment()]),
        make_velocity()
    )


@pytest.mark.parametrize(
    ("duration_s", "dt", "samples"),
    [
        (2147483648.0, 1.0, "2147483648"),
        (1e9, 1e-6, "999999986991104"),  # the f32 quotient, truncated
        (1e30, 1e-8, "100000010000000000000000000000000000000"),  # beyond 2^64: shortest digits
        (20.0, 0.0, "inf"),
        (float("inf"), 1.0, "inf"),
    ],
)
def test_records_beyond_the_32_bit_sample_numbers_are_refused(duration_s, dt, samples):
    with pytest.raises(ValueError) as info:
        simulator(duration_s, dt)
    assert str(info.value) == (
        f"duration_s / dt asks for a record of {samples} samples; a record holds at most "
        "2147483647"
    )


def test_the_longest_record_builds_and_runs_an_empty_batch():
    acc = simulator(float(LARGEST_RECORD), 1.0).run_stations(**stations([], [], []))
    assert acc.shape == (3, 0, LARGEST_RECORD) and acc.dtype == np.float32


def test_a_result_whose_size_overflows_is_a_memory_error():
    # 3 x n_station x n_time float32 needs more than 2^63 bytes once n_station passes 357913985.
    # The station arrays are allocated but never touched, so they take no memory.
    n = 358_000_000
    try:
        reals = np.zeros(n, F32)
        seeds = np.zeros(n, np.uint64)
    except MemoryError:
        pytest.skip("this machine does not lend 4 GB of untouched address space")
    with pytest.raises(MemoryError):
        simulator(float(LARGEST_RECORD), 1.0).run_stations(
            latitude_deg=reals, longitude_deg=reals, station_seed=seeds, kappa_s=reals,
            q_frequency_exponent=reals,
        )


def broadcast_grids(shape):
    """Four valid grids of any logical size in four bytes: every cell is the same element."""
    one = np.broadcast_to(F32(1.0), shape)
    return {"slip": one, "rise_time_s": one, "rupture_time_s": one, "stress_drop_bars": one}


@pytest.mark.parametrize(
    "shape",
    [
        pytest.param((2**30, 2**30), id="more-cells-than-a-vector-can-count"),
        pytest.param(
            (2**20, 2**20),
            id="more-bytes-than-memory",
            marks=pytest.mark.skipif(
                UNDER_ASAN, reason="AddressSanitizer reports a failed operator new instead of "
                "throwing std::bad_alloc"
            ),
        ),
    ],
)
def test_grids_too_large_to_hold_are_a_memory_error_before_they_are_read(shape):
    # Reading 2^60 cells to check their stress drops would take years: the room for the
    # subfaults is asked for first.
    with pytest.raises(MemoryError):
        _varnett.FaultSegment(**segment_kwargs(**broadcast_grids(shape)))


def test_broadcast_grids_that_fit_are_read_like_any_layout():
    segment = _varnett.FaultSegment(**segment_kwargs(**broadcast_grids((40, 50))))
    assert _varnett.SlipModel([segment]).subfault_count == 2000
