"""The varnett command line: help, exit codes, one-line errors, runs, plots and the demo."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from package_helpers import (
    guide_block,
    replace_segment,
    small_scenario,
    some_stations,
)
from varnett import Records, read_scenario, simulate
from varnett.cli import main
from varnett.demo import SCENARIO
from varnett.demo.generate import generate


def run_cli(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    try:
        status = main([str(a) for a in argv])
    except SystemExit as exit:  # argparse: --help and usage errors
        status = int(exit.code or 0)
    out, err = capsys.readouterr()
    return status, out, err


def inputs(tmp_path: Path, scenario=None, stations=None) -> tuple[Path, Path]:
    (scenario or small_scenario()).save(tmp_path / "s.toml")
    (stations or some_stations(3)).write_csv(tmp_path / "st.csv")
    return tmp_path / "s.toml", tmp_path / "st.csv"


@pytest.mark.parametrize(
    ("argv", "expected"),
    [
        ([], ["demo", "run", "plot"]),
        (["run"], ["--stations FILE", "--out RESULT", "--workers N", "--batch-size N"]),
        (["demo"], ["--out DIR", "--station-count N", "--workers N"]),
        (["plot"], ["RESULT", "--out DIR", "--stations NAMES"]),
    ],
)
def test_help_explains_every_option(
    capsys: pytest.CaptureFixture[str], argv: list[str], expected: list[str]
) -> None:
    status, out, _ = run_cli(capsys, *argv, "--help")
    assert status == 0
    for text in expected:
        assert text in out


def test_usage_errors_exit_with_status_2(capsys: pytest.CaptureFixture[str]) -> None:
    assert run_cli(capsys, "run", "s.toml", "--out", "r.npz")[0] == 2
    status, _, err = run_cli(capsys, "demo", "--workers", "0")
    assert status == 2
    assert "must be a positive integer, got '0'" in err


def one_error_line(err: str) -> str:
    assert err.endswith("\n")
    assert err.count("\n") == 1, err
    assert "Traceback" not in err
    assert err.startswith("varnett: error: ")
    return err.removeprefix("varnett: error: ").rstrip("\n")


def test_input_errors_are_one_line(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    scenario, stations = inputs(tmp_path)
    out = tmp_path / "r.npz"

    status, _, err = run_cli(capsys, "run", tmp_path / "nope.toml", "--stations", stations,
                             "--out", out)  # fmt: skip
    assert status == 1
    assert one_error_line(err) == f"{tmp_path / 'nope.toml'}: No such file or directory"

    status, _, err = run_cli(capsys, "run", scenario, "--stations", stations, "--out", tmp_path)
    assert status == 1
    assert (
        one_error_line(err) == f"{tmp_path}: is a folder; --out takes the name of the records file"
    )

    stations.write_text("name,lat,longitude_deg\nA,1,2\n")
    status, _, err = run_cli(capsys, "run", scenario, "--stations", stations, "--out", out)
    assert status == 1
    assert one_error_line(err).startswith(f"{stations} line 1: unknown column 'lat'")
    assert not out.exists()


def test_invalid_model_reports_the_module_message(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    grid = np.full((4, 6), 50.0)
    grid[1, 2] = 0.0
    bad = replace_segment(small_scenario(), stress_drop_bars=grid)
    scenario, stations = inputs(tmp_path, scenario=bad)
    status, _, err = run_cli(capsys, "run", scenario, "--stations", stations,
                             "--out", tmp_path / "r.npz")  # fmt: skip
    assert status == 1
    assert one_error_line(err) == (
        f"{scenario}: stress_drop_bars must be positive and finite everywhere; got 0 "
        "(in [[segment]] 1 of the scenario)"
    )


def test_installed_command_reports_errors_without_traceback(tmp_path: Path) -> None:
    command = Path(sys.executable).with_name("varnett")
    result = subprocess.run(
        [command, "plot", tmp_path / "missing.npz"], capture_output=True, text=True, check=False
    )
    assert result.returncode == 1
    assert (
        result.stderr == f"varnett: error: {tmp_path / 'missing.npz'}: No such file or directory\n"
    )


def test_plot_writes_four_pictures(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    stations = some_stations(3)
    acceleration = np.random.default_rng(5).standard_normal((3, 3, 500)).astype(np.float32)
    Records(acceleration, 0.02, stations, scenario=small_scenario()).save(tmp_path / "r.npz")
    status, out, _ = run_cli(capsys, "plot", tmp_path / "r.npz", "--out", tmp_path / "pics",
                             "--stations", "S00,S02")  # fmt: skip
    assert status == 0
    names = sorted(p.name for p in (tmp_path / "pics").iterdir())
    assert names == ["accelerograms.png", "map.png", "psa_distance.png", "spectra.png"]
    assert out.count("wrote ") == 4

    status, _, err = run_cli(capsys, "plot", tmp_path / "r.npz", "--stations", "S09")
    assert status == 1
    assert one_error_line(err) == f"{tmp_path / 'r.npz'}: no station named 'S09'"
    status, _, err = run_cli(capsys, "plot", tmp_path / "pics" / "map.png")
    assert status == 1
    assert "not a varnett records file" in one_error_line(err)


def test_run_saves_records_equal_to_simulate(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    scenario, stations = inputs(tmp_path)
    status, out, _ = run_cli(capsys, "run", scenario, "--stations", stations, "--out",
                             tmp_path / "r.npz", "--workers", "2", "--batch-size", "1",
                             "--intensity", tmp_path / "im.csv")  # fmt: skip
    assert status == 0
    saved = Records.load(tmp_path / "r.npz")
    expected = simulate(read_scenario(scenario), saved.stations, workers=1)
    assert saved == expected
    assert [line.split()[0] for line in out.splitlines()[2:5]] == ["S00", "S01", "S02"]
    assert len((tmp_path / "im.csv").read_text().splitlines()) == 1 + 3 * 3


def test_run_the_scenario_of_the_user_guide(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    (tmp_path / "quake.toml").write_text(guide_block("toml"))
    (tmp_path / "stations.csv").write_text(guide_block("csv"))
    status, out, err = run_cli(capsys, "run", tmp_path / "quake.toml", "--stations",
                               tmp_path / "stations.csv", "--out", tmp_path / "quake.npz")  # fmt: skip
    assert status == 0, err
    assert Records.load(tmp_path / "quake.npz").acceleration.shape == (3, 3, 4000)
    assert "CLOSE" in out


def test_bundled_demo_files_are_what_the_script_makes(tmp_path: Path) -> None:
    generate(tmp_path)
    for name in ("scenario.toml", "stations.csv"):
        assert (tmp_path / name).read_text() == (SCENARIO.parent / name).read_text()
    made, bundled = read_scenario(tmp_path / "scenario.toml"), read_scenario(SCENARIO)
    # The grids are rounded to 0.1 cm, 0.01 s and 0.001 s; another NumPy's FFT may move a
    # value across a rounding boundary, never further.
    for name, step in [("slip", 0.1), ("rise_time_s", 0.01), ("rupture_time_s", 0.001)]:
        difference = getattr(made.segments[0], name) - getattr(bundled.segments[0], name)
        assert np.abs(difference).max() <= step * 1.001


def test_demo_end_to_end(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    status, out, err = run_cli(capsys, "demo", "--out", tmp_path, "--station-count", "2")
    assert status == 0, err
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == ["accelerograms.png", "intensity.csv", "map.png", "psa_distance.png",
                       "records.npz", "spectra.png", "summary.txt"]  # fmt: skip
    records = Records.load(tmp_path / "records.npz")
    assert records.stations.name == ("VN01", "VN02")
    assert records.acceleration.shape == (3, 2, 6000)
    assert records.scenario == read_scenario(SCENARIO)
    assert 50.0 < records.pga().max() < 2000.0  # cm/s^2 a few km from a Mw 6.5 rupture
    assert "VN01" in out
    assert "2/2 stations" in err  # the progress bar
