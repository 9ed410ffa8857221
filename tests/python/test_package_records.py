"""Records: intensity measures against closed forms, .npz round trips, ObsPy and plots."""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pytest
from package_helpers import small_scenario, some_stations
from varnett import InputError, Records
from varnett.intensity import STANDARD_PERIODS_S, oscillator_displacement, pgv, psa

DT = 0.01
N = 2500


def step_response(a0: float, period: float, damping: float, t: np.ndarray) -> np.ndarray:
    """Displacement of an oscillator at rest under a step of ground acceleration a0 at t = 0."""
    w = 2 * np.pi / period
    wd = w * np.sqrt(1 - damping**2)
    decay = np.exp(-damping * w * t)
    return -(a0 / w**2) * (1 - decay * (np.cos(wd * t) + damping * w / wd * np.sin(wd * t)))


def ramp_response(c: float, period: float, damping: float, t: np.ndarray) -> np.ndarray:
    """Displacement of an oscillator at rest under ground acceleration c t."""
    w = 2 * np.pi / period
    wd = w * np.sqrt(1 - damping**2)
    c1 = -(c / w**2) * (2 * damping / w)
    c2 = (c / w**2 + damping * w * c1) / wd
    return -(c / w**2) * (t - 2 * damping / w) + np.exp(-damping * w * t) * (
        c1 * np.cos(wd * t) + c2 * np.sin(wd * t)
    )


@pytest.mark.parametrize("period", [0.015, 0.1, 1.0, 4.0])
@pytest.mark.parametrize("damping", [0.05, 0.3])
def test_oscillator_is_exact_for_piecewise_linear_input(period: float, damping: float) -> None:
    t = np.arange(N) * DT
    for ground, exact in [
        (np.full(N, 150.0), step_response(150.0, period, damping, t)),
        (40.0 * t, ramp_response(40.0, period, damping, t)),
    ]:
        x = oscillator_displacement(ground, DT, period, damping)
        assert np.abs(x - exact).max() <= 1e-11 * np.abs(exact).max()
        w = 2 * np.pi / period
        assert psa(ground, DT, [period], damping)[0] == pytest.approx(
            w**2 * np.abs(exact).max(), rel=1e-11
        )


def test_psa_of_a_step_approaches_the_dynamic_overshoot() -> None:
    # A step excites a damped oscillator to 1 + exp(-z pi / sqrt(1 - z^2)) times the step.
    t = np.arange(20000) * 0.001
    spectrum = psa(np.full(t.size, 100.0), 0.001, [0.5], 0.05)
    assert spectrum[0] == pytest.approx(
        100.0 * (1 + np.exp(-0.05 * np.pi / np.sqrt(1 - 0.0025))), rel=1e-4
    )


def test_peak_measures_and_shapes() -> None:
    acceleration = np.zeros((3, 2, 101), dtype=np.float32)
    acceleration[0, 0, :] = 2.0  # constant: velocity 2 t, peak 2 cm/s after 1 s
    acceleration[1, 1, 50] = -7.0
    records = Records(acceleration, DT, some_stations(2))
    assert records.pga().tolist() == [[2.0, 0.0], [0.0, 7.0], [0.0, 0.0]]
    assert records.pgv()[0, 0] == pytest.approx(2.0)
    assert pgv(acceleration[1, 1], DT) == pytest.approx(0.07)
    assert records.psa().shape == (3, 2, len(STANDARD_PERIODS_S))
    with pytest.raises(ValueError, match=r"does not match 3 components and 3 stations"):
        Records(acceleration, DT, some_stations(3))


def synthetic_records(n_station: int = 5) -> Records:
    rng = np.random.default_rng(11)
    envelope = np.exp(-(((np.arange(1200) * DT) - 4.0) ** 2))
    acceleration = (rng.standard_normal((3, n_station, 1200)) * envelope * 80.0).astype(np.float32)
    return Records(acceleration, DT, some_stations(n_station), scenario=small_scenario())


def test_records_round_trip_through_npz(tmp_path: Path) -> None:
    records = synthetic_records()
    records.save(tmp_path / "r.npz")
    back = Records.load(tmp_path / "r.npz")
    assert back == records
    assert back.scenario == records.scenario
    bare = Records(records.acceleration[:, :0], DT, records.stations[:0])
    bare.save(tmp_path / "empty.npz")
    assert Records.load(tmp_path / "empty.npz") == bare


def test_loading_something_else_is_a_one_line_error(tmp_path: Path) -> None:
    (tmp_path / "text.npz").write_text("not a zip file")
    np.savez(tmp_path / "other.npz", x=np.zeros(3))
    for name in ("text.npz", "other.npz"):
        with pytest.raises(InputError, match=f"{name}: not a varnett records file"):
            Records.load(tmp_path / name)


def test_summary_lists_distance_and_pga() -> None:
    records = synthetic_records(3)
    headline, *lines = records.summary().splitlines()
    assert headline == "small test, Mw 6.16: 3 stations, 1200 samples at 0.01 s"
    assert lines[0].split() == [
        "station",
        "R_rup",
        "km",
        "PGA",
        "090",
        "PGA",
        "000",
        "PGA",
        "vertical",
    ]
    assert [line.split()[0] for line in lines[1:4]] == list(records.stations.name)
    distance, pga = records.distance_km(), records.pga()
    assert float(lines[2].split()[1]) == pytest.approx(distance[1], abs=0.05)
    assert float(lines[2].split()[4]) == pytest.approx(pga[2, 1], abs=0.005)


def test_rupture_distance_of_a_station_above_a_subfault() -> None:
    from varnett.geometry import rupture_distance_km, subfault_centres

    scenario = small_scenario()
    lat, lon, depth = subfault_centres(scenario.segments[0])
    distance = rupture_distance_km(scenario, [lat[0, 2], lat[0, 2] + 1.0], [lon[0, 2]] * 2)
    assert distance[0] == pytest.approx(depth[0, 2])
    assert 100.0 < distance[1] < 112.0  # one degree of latitude away


def test_obspy_stream_headers() -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        obspy = pytest.importorskip("obspy")
    records = synthetic_records(2)
    stream = records.to_obspy(network="VN", starttime="2026-06-11T10:00:00")
    assert len(stream) == 6
    trace = stream.select(station="S01", channel="HNZ")[0]
    assert trace.stats.network == "VN"
    assert trace.stats.delta == pytest.approx(DT)
    assert trace.stats.starttime == obspy.UTCDateTime("2026-06-11T10:00:00")
    assert trace.stats.coordinates.latitude == pytest.approx(records.stations.latitude_deg[1])
    assert np.allclose(trace.data * 100.0, records.acceleration[2, 1], rtol=1e-6)
    assert [t.stats.channel for t in stream[:3]] == ["HNE", "HNN", "HNZ"]


def test_figures_are_written(tmp_path: Path) -> None:
    plot = pytest.importorskip("varnett.plot")
    written = plot.save_figures(synthetic_records(), tmp_path, dpi=40)
    assert [p.name for p in written] == [
        "map.png",
        "accelerograms.png",
        "spectra.png",
        "psa_distance.png",
    ]
    for path in written:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
