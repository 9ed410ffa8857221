"""A small end-to-end run for `make memcheck`: every class built, a batch of stations simulated on
two threads, and the failures a caller can meet (binding, conversion, validation, an internal
error, a result too large for memory), so that valgrind sees every path through the module."""

import threading

import _varnett
import numpy as np

F32, F64 = np.float32, np.float64


def segment(**overrides):
    shape = (2, 3)
    kwargs = {
        "longitude_deg": -118.0, "latitude_deg": 34.0, "strike_deg": 120.0, "dip_deg": 45.0,
        "rake_deg": 90.0, "top_depth_km": 3.0, "subfault_length_km": 2.0,
        "subfault_width_km": 2.0, "hypocentre_along_strike_km": 3.0, "hypocentre_down_dip_km": 2.0,
        "slip": np.linspace(20.0, 120.0, 6, dtype=F32).reshape(shape),
        "rise_time_s": np.ones(shape, F32),
        "rupture_time_s": np.arange(6, dtype=F32).reshape(shape).T.copy().T * F32(0.4),
        "stress_drop_bars": np.full(shape, 50.0, F32),
    }
    kwargs.update(overrides)
    return _varnett.FaultSegment(**kwargs)


def config(rayset=(0, 1, 2), duration_s=20.0):
    return _varnett.HfConfig(
        source=_varnett.SourceParameters(
            corner_frequency_constant=1.8, corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.2, rupture_velocity_sigma=0.1,
        ),
        path=_varnett.PathParameters(rayset=list(rayset), path_duration_model=11),
        site=_varnett.SiteParameters(fmax_hz=20.0),
        record=_varnett.RecordParameters(duration_s=duration_s, dt=0.02),
    )


velocity = _varnett.VelocityModel1D(
    thickness_km=np.array([1.0, 4.0, 15.0, 0.0], F32),
    vp_km_s=np.array([3.2, 5.1, 6.1, 7.6]),
    vsh_km_s=np.array([1.9, 3.0, 3.6, 4.5]),
    density_g_cm3=np.array([2.2, 2.5, 2.7, 3.2]),
    quality_factor_p=np.full(4, 200.0, F32),
    quality_factor_s=np.full(4, 100.0, F32),
    vs_moho_km_s=4.4,
)
simulator = _varnett.Simulator(config(), _varnett.SlipModel([segment(), segment(strike_deg=150.0)]),
                               velocity)


def stations(n, seed0=1):
    return {
        "latitude_deg": np.linspace(33.8, 34.3, n, dtype=F32),
        "longitude_deg": np.linspace(-118.4, -117.9, n, dtype=F32),
        "station_seed": np.arange(seed0, seed0 + n, dtype=np.uint64),
        "kappa_s": np.where(np.arange(n) % 2 == 0, F32(0.04), F32(0.0)),
        "q_frequency_exponent": np.full(n, 0.6, F32),
    }


serial = simulator.run_stations(**stations(4))
threaded = [None, None]


def worker(k):
    threaded[k] = simulator.run_stations(**stations(4))


threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert all(np.array_equal(serial, r) for r in threaded)
assert np.isfinite(serial).all() and np.abs(serial).max() > 0


def expect(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{function} did not raise {error}")


expect(TypeError, _varnett.SiteParameters, 1.0)
expect(TypeError, _varnett.SiteParameters, fmax_hz="x")
expect(OverflowError, _varnett.PathParameters, rayset=[2**40], path_duration_model=0)
expect(ValueError, segment, stress_drop_bars=np.zeros((2, 3), F32))
expect(ValueError, _varnett.SlipModel, [])
expect(ValueError, simulator.run_stations, **{**stations(3), "kappa_s": np.zeros(2, F32)})
expect(TypeError, simulator.run_stations, **{**stations(3), "latitude_deg": np.zeros(6, F32)[::2]})
expect(ValueError, _varnett.Simulator, config(duration_s=1e12), _varnett.SlipModel([segment()]),
       velocity)
air = segment(dip_deg=0.0, top_depth_km=0.00005, slip=np.full((2, 3), 1e10, F32))
expect(BaseException, _varnett.Simulator(config(rayset=(1,)), _varnett.SlipModel([air]),
                                         velocity).run_stations, **stations(1))
huge = _varnett.Simulator(config(duration_s=4e7), _varnett.SlipModel([segment()]), velocity)
expect(MemoryError, huge.run_stations, **stations(1000))
print("end to end: ok")
