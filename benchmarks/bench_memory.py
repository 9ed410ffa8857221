"""Peak memory of one batch run through the Python API, against the size of its result.

Runs the benchmark scenario's shape (one 30 km x 15 km segment in 1 km subfaults, rays 1 and 2,
60 s at 0.01 s) for a batch of stations in a fresh process and reports how far the process's peak
resident memory rose above what it held before the call.
"""

import resource
import sys

import _varnett
import numpy as np


def scenario():
    rows, columns = 15, 30
    rng = np.random.default_rng(12345)
    i, j = np.meshgrid(np.arange(columns) + 0.5, np.arange(rows) + 0.5)
    taper = np.sin(np.pi * i / columns) * np.sin(np.pi * j / rows)
    segment = _varnett.FaultSegment(
        longitude_deg=-118.0, latitude_deg=34.0, strike_deg=300.0, dip_deg=45.0, rake_deg=90.0,
        top_depth_km=1.0, subfault_length_km=1.0, subfault_width_km=1.0,
        hypocentre_along_strike_km=15.0, hypocentre_down_dip_km=10.0,
        slip=(60 + 200 * taper * rng.random((rows, columns))).astype(np.float32),
        rise_time_s=np.full((rows, columns), 1.5, np.float32),
        rupture_time_s=(np.hypot(i - 15, j - 10) / 2.8).astype(np.float32),
        stress_drop_bars=np.full((rows, columns), 50.0, np.float32),
    )
    velocity = _varnett.VelocityModel1D(
        thickness_km=np.array([0.5, 1.5, 3.0, 10.0, 17.0, 0.0], np.float32),
        vp_km_s=np.array([2.5, 4.0, 5.5, 6.2, 6.6, 7.8]),
        vsh_km_s=np.array([1.2, 2.1, 3.2, 3.6, 3.8, 4.5]),
        density_g_cm3=np.array([2.1, 2.3, 2.6, 2.8, 2.9, 3.3]),
        quality_factor_p=np.array([100, 200, 400, 600, 700, 1000], np.float32),
        quality_factor_s=np.array([50, 100, 200, 300, 350, 500], np.float32),
        vs_moho_km_s=4.4,
    )
    config = _varnett.HfConfig(
        source=_varnett.SourceParameters(
            corner_frequency_constant=1.8, corner_frequency_alpha=0.5,
            rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.2, rupture_velocity_sigma=0.1,
        ),
        path=_varnett.PathParameters(rayset=[1, 2], path_duration_model=0),
        site=_varnett.SiteParameters(fmax_hz=20.0),
        record=_varnett.RecordParameters(duration_s=60.0, dt=0.01),
    )
    return _varnett.Simulator(config, _varnett.SlipModel([segment]), velocity)


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def main(n_station):
    sim = scenario()
    distance = np.linspace(5.0, 100.0, n_station) / 111.0
    azimuth = np.deg2rad(137.5 * np.arange(n_station))
    stations = {
        "latitude_deg": (34.0 + distance * np.cos(azimuth)).astype(np.float32),
        "longitude_deg": (
            -118.0 + distance * np.sin(azimuth) / np.cos(np.deg2rad(34))
        ).astype(np.float32),
        "station_seed": np.arange(n_station, dtype=np.uint64),
        "kappa_s": np.full(n_station, 0.04, np.float32),
        "q_frequency_exponent": np.full(n_station, 0.6, np.float32),
    }
    before = peak_mb()
    acc = sim.run_stations(**stations)
    rise = peak_mb() - before
    result = acc.nbytes / 2**20
    print(f"batch of {n_station} stations: result array {result:.1f} MB, peak memory rose "
          f"{rise:.1f} MB, {rise - result:.1f} MB beyond the result")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 16)
