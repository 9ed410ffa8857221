"""`Simulator` and `run_stations` end to end on a small scenario."""

import os
import re
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import _varnett
import numpy as np
import pytest
from conftest import layer_kwargs, segment_kwargs

F32 = np.float32


def make_config(rayset=(1, 2), duration_s=20.0, dt=0.02, fmax_hz=20.0, sigma=0.1):
    return _varnett.HfConfig(
        source=_varnett.SourceParameters(
            corner_frequency_constant=1.8,
            corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8,
            rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.2,
            rupture_velocity_sigma=sigma,
        ),
        path=_varnett.PathParameters(rayset=list(rayset), path_duration_model=0),
        site=_varnett.SiteParameters(fmax_hz=fmax_hz),
        record=_varnett.RecordParameters(duration_s=duration_s, dt=dt),
    )


def make_velocity():
    return _varnett.VelocityModel1D(
        **layer_kwargs(thickness=(1.0, 4.0, 15.0, 0.0), vsh=(1.9, 3.0, 3.6, 4.5), vs_moho=4.4)
    )


def make_segment(**overrides):
    shape = (3, 4)
    rng = np.random.default_rng(7)
    kwargs = segment_kwargs(
        shape=shape,
        longitude_deg=-118.0,
        latitude_deg=34.0,
        strike_deg=120.0,
        dip_deg=45.0,
        top_depth_km=3.0,
        subfault_length_km=2.0,
        subfault_width_km=2.0,
        slip=rng.uniform(20.0, 120.0, shape).astype(F32),
        rupture_time_s=np.arange(12, dtype=F32).reshape(shape) * F32(0.4),
    )
    kwargs.update(overrides)
    return _varnett.FaultSegment(**kwargs)


@pytest.fixture(scope="module")
def simulator():
    return _varnett.Simulator(make_config(), _varnett.SlipModel([make_segment()]), make_velocity())


def stations(lat, lon, seed, kappa=0.04, q=0.6):
    lat = np.asarray(lat, F32)
    n = lat.size
    return {
        "latitude_deg": lat,
        "longitude_deg": np.broadcast_to(np.asarray(lon, F32), (n,)).copy(),
        "station_seed": np.broadcast_to(np.asarray(seed, np.uint64), (n,)).copy(),
        "kappa_s": np.full(n, kappa, F32),
        "q_frequency_exponent": np.full(n, q, F32),
    }


BATCH = stations([34.1, 34.3, 33.8, 34.05], [-118.2, -117.9, -118.4, -118.0], [1, 2, 3, 4])


def pick(batch, order):
    return {key: np.ascontiguousarray(value[order]) for key, value in batch.items()}


def test_result_layout(simulator):
    acc = simulator.run_stations(**BATCH)
    assert acc.shape == (3, 4, 1000)
    assert acc.dtype == np.float32
    assert acc.flags.c_contiguous and acc.flags.writeable and acc.flags.owndata
    assert acc.base is None
    assert np.isfinite(acc).all()
    assert np.abs(acc).max(axis=2).min() > 0  # every component of every station moves


def test_empty_batch(simulator):
    acc = simulator.run_stations(**stations([], [], []))
    assert acc.shape == (3, 0, 1000) and acc.dtype == np.float32


def test_station_records_do_not_depend_on_the_batch(simulator):
    whole = simulator.run_stations(**BATCH)
    for i in range(4):
        alone = simulator.run_stations(**pick(BATCH, [i]))
        assert np.array_equal(alone[:, 0], whole[:, i])
    order = [3, 1, 0, 2]
    assert np.array_equal(simulator.run_stations(**pick(BATCH, order)), whole[:, order])


def test_threads_sharing_one_simulator_give_identical_records(simulator):
    whole = simulator.run_stations(**BATCH)
    batches = [pick(BATCH, [i % 4, (i + 1) % 4]) for i in range(12)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda b: simulator.run_stations(**b), batches))
    for i, acc in enumerate(results):
        assert np.array_equal(acc, whole[:, [i % 4, (i + 1) % 4]])


def test_seeds_change_records_and_names_do_not(simulator):
    same_place = stations([34.1, 34.1, 34.1], [-118.2] * 3, [11, 12, 11])
    acc = simulator.run_stations(**same_place)
    assert not np.array_equal(acc[:, 0], acc[:, 1])
    assert np.array_equal(acc[:, 0], acc[:, 2])  # station-0 and station-2: only the label differs


def test_fixture_generator_is_chosen_by_the_environment():
    script = textwrap.dedent(
        """
        import numpy as np, sys
        sys.path.insert(0, {tests!r})
        from test_simulator import BATCH, make_config, make_segment, make_velocity
        import _varnett
        sim = _varnett.Simulator(make_config(), _varnett.SlipModel([make_segment()]),
                                 make_velocity())
        np.save(sys.stdout.buffer, sim.run_stations(**BATCH))
        """
    ).format(tests=os.path.dirname(__file__))

    def run(env_value):
        env = {k: v for k, v in os.environ.items() if k != "TOLVANE_FIXTURE_RNG"}
        if env_value is not None:
            env["TOLVANE_FIXTURE_RNG"] = env_value
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             check=True).stdout
        import io

        return np.load(io.BytesIO(out))

    modern, fixture, empty = run(None), run("1"), run("")
    assert not np.array_equal(modern, fixture)
    assert np.array_equal(fixture, empty)  # present with any value, even empty


def test_argument_errors(simulator):
    wrong_seed = dict(BATCH, station_seed=BATCH["station_seed"].astype(np.int64))
    with pytest.raises(TypeError) as info:
        simulator.run_stations(**wrong_seed)
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert info.value.__notes__ == ["while processing 'station_seed'"]

    strided = dict(BATCH, latitude_deg=np.repeat(BATCH["latitude_deg"], 2)[::2])
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        simulator.run_stations(**strided)

    short = dict(BATCH, kappa_s=BATCH["kappa_s"][:3])
    with pytest.raises(ValueError) as info:
        simulator.run_stations(**short)
    assert str(info.value) == (
        "every station array must have one entry per station. Got lengths [4, 4, 4, 3, 4] for "
        "(latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)"
    )

    with pytest.raises(TypeError, match=re.escape("takes 0 positional arguments but 1 was")):
        simulator.run_stations(BATCH["latitude_deg"])


def test_construction_errors():
    config, velocity = make_config(), make_velocity()
    with pytest.raises(ValueError) as info:
        _varnett.Simulator(
            config,
            _varnett.SlipModel([make_segment(), make_segment(subfault_length_km=2.5)]),
            velocity,
        )
    assert str(info.value) == (
        "segment 1 has subfault_length_km = 2.5 km, but segment 0 has 2 km; every segment must "
        "be diced the same way because the subfault size is one quantity for the whole run"
    )
    quiet = make_segment(slip=np.zeros((3, 4), F32))
    with pytest.raises(ValueError, match="^the slip model carries no moment: no subfault has a "):
        _varnett.Simulator(config, _varnett.SlipModel([quiet]), velocity)
    with pytest.raises(TypeError) as info:
        _varnett.Simulator(config, velocity, velocity)
    assert str(info.value) == "'VelocityModel1D' object is not an instance of 'SlipModel'"
    assert info.value.__notes__ == ["while processing 'slip_model'"]


def test_result_too_large_is_a_memory_error():
    huge = _varnett.Simulator(
        make_config(duration_s=2e9, dt=1.0), _varnett.SlipModel([make_segment()]),
        make_velocity()
    )
    with pytest.raises(MemoryError):
        huge.run_stations(**stations([34.0] * 1000, [-118.0] * 1000, range(1000)))


def test_subfault_in_the_air_layer_is_an_internal_error():
    # A flat segment 5 cm deep lies inside the 10 cm air layer: no upgoing ray can leave it. Its
    # slip makes up for the air's tiny rigidity, so that it carries moment and is traced.
    one = (1, 1)
    flat = make_segment(
        dip_deg=0.0, top_depth_km=0.00005, slip=np.full(one, 1e10, F32),
        rise_time_s=np.ones(one, F32), rupture_time_s=np.zeros(one, F32),
        stress_drop_bars=np.full(one, 50.0, F32),
    )
    slip = _varnett.SlipModel([make_segment(), flat])
    sim = _varnett.Simulator(make_config(rayset=(1,)), slip, make_velocity())
    with pytest.raises(BaseException) as info:
        sim.run_stations(**stations([34.0], [-118.0], [1]))
    error = info.value
    assert type(error).__name__ == "InternalError"
    assert type(error).__module__ == "_varnett"
    assert not isinstance(error, Exception)
    assert error.args == ("build_ray_path needs at least one ray segment",)
    assert not hasattr(_varnett, "InternalError")

    # From a thread pool, each failing call re-acquires the lock and frees its partial result,
    # and healthy runs on another Simulator interleaved with them keep their exact records.
    healthy = _varnett.Simulator(
        make_config(rayset=(1,)), _varnett.SlipModel([make_segment()]), make_velocity()
    )
    expected = healthy.run_stations(**BATCH)

    def failing(seed):
        try:
            sim.run_stations(**stations([34.0], [-118.0], [seed]))
        except Exception:  # noqa: BLE001 -- what an ordinary handler would do
            return "caught by except Exception"
        except BaseException as error:  # noqa: BLE001
            return type(error).__name__
        return "no error"

    with ThreadPoolExecutor(max_workers=4) as pool:
        failures = [pool.submit(failing, seed) for seed in range(12)]
        records = [pool.submit(healthy.run_stations, **BATCH) for _ in range(6)]
        assert [f.result() for f in failures] == ["InternalError"] * 12
        assert all(np.array_equal(r.result(), expected) for r in records)
    assert sim.run_stations(**stations([], [], [])).shape == (3, 0, 1000)


def half_space():
    one = np.ones(1)
    return _varnett.VelocityModel1D(
        thickness_km=np.zeros(1, F32), vp_km_s=6.0 * one, vsh_km_s=3.5 * one,
        density_g_cm3=2.7 * one, quality_factor_p=np.full(1, 300.0, F32),
        quality_factor_s=np.full(1, 150.0, F32), vs_moho_km_s=4.4,
    )


@pytest.mark.parametrize(
    ("config", "velocity", "message"),
    [
        # A sample interval so small that the windows ask for transforms beyond 2^63 samples.
        (
            {"duration_s": 1e-28, "dt": 1e-30},
            make_velocity,
            (
                "^a transform length of at least 18446744073709551615 overflows the size type; "
                "that is not a real request$"
            ),
        ),
        # Arrivals beyond the 2^31 sample numbers of a run.
        (
            {"duration_s": 1e-7, "dt": 1e-9},
            make_velocity,
            r"^sample number 2147483647 \+ \d+ overflows$",
        ),
        # A homogeneous half-space: no layer has a thickness for a ray to cross.
        ({}, half_space, "^the velocity model has no layer of positive thickness$"),
    ],
    ids=["tiny-dt", "beyond-the-sample-numbers", "half-space"],
)
def test_other_internal_errors_a_caller_can_reach(config, velocity, message):
    sim = _varnett.Simulator(make_config(**config), _varnett.SlipModel([make_segment()]),
                             velocity())
    with pytest.raises(BaseException, match=message) as info:
        sim.run_stations(**stations([34.0], [-118.0], [1]))
    assert type(info.value).__name__ == "InternalError"


def test_run_stations_docstring_and_signature():
    method = _varnett.Simulator.run_stations
    assert method.__text_signature__ == (
        "($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)"
    )
    assert method.__doc__ == (
        "Simulate a batch of stations.\n\nReturns acceleration in cm/s^2, shaped "
        "`(3, n_station, n_time)` with components\nordered 090/000/vertical."
    )
