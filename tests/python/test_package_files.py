"""Scenario, grid and station files: exact round trips and one-line errors for malformed input."""

from __future__ import annotations

import dataclasses
import pickle
from pathlib import Path

import numpy as np
import pytest
from package_helpers import guide_block, replace_segment, small_scenario, small_segment
from varnett import (
    InputError,
    Scenario,
    Stations,
    VelocityModel,
    read_grid,
    read_scenario,
    read_stations,
    seed_from_name,
    write_grid,
    write_scenario,
)
from varnett.demo import SCENARIO, STATIONS
from varnett.files import scenario_from_toml, scenario_to_toml

# Values whose text form is easy to get wrong: signed zero, NaN, infinities, the smallest
# subnormal, values with no short binary form, and the extremes of single precision.
AWKWARD_F32 = np.array(
    [[0.1, -0.0, np.nan, np.inf], [-np.inf, 1e-45, 3.4028235e38, 16777217.0]], dtype=np.float32
)


def random_f32(shape: tuple[int, int], seed: int) -> np.ndarray:
    bits = np.random.default_rng(seed).integers(0, 2**32, size=shape, dtype=np.uint64)
    values = bits.astype(np.uint32).view(np.float32)
    return np.where(np.isfinite(values), values, np.float32(1.5))


def awkward_scenario() -> Scenario:
    scenario = small_scenario(name='quote " backslash \\ tab \t and ünïcode')
    second = small_segment(
        slip=AWKWARD_F32,
        rise_time_s=random_f32((2, 4), 1),
        rupture_time_s=np.full((2, 4), -0.0),
        stress_drop_bars=np.full((2, 4), 1e-45),
        dip_deg=0.1,
        top_depth_km=float("nan"),
    )
    return dataclasses.replace(scenario, segments=(scenario.segments[0], second))


@pytest.mark.parametrize("inline_grids", [False, True])
def test_scenario_round_trip_is_exact(tmp_path: Path, inline_grids: bool) -> None:
    scenario = awkward_scenario()
    write_scenario(scenario, tmp_path / "quake.toml", inline_grids=inline_grids)
    grid_files = sorted(p.name for p in tmp_path.glob("*.txt"))
    assert grid_files == ([] if inline_grids else [
        "quake.segment1.rupture_time_s.txt", "quake.segment1.slip.txt",
        "quake.segment2.rise_time_s.txt", "quake.segment2.slip.txt",
    ])  # fmt: skip
    assert read_scenario(tmp_path / "quake.toml") == scenario


def test_bundled_scenario_survives_writing_and_pickling(tmp_path: Path) -> None:
    scenario = read_scenario(SCENARIO)
    assert scenario.segments[0].slip.shape == (15, 30)
    assert scenario.moment_magnitude() == pytest.approx(6.5, abs=0.005)
    write_scenario(scenario, tmp_path / "copy.toml")
    assert read_scenario(tmp_path / "copy.toml") == scenario
    assert scenario_from_toml(scenario_to_toml(scenario)) == scenario
    assert pickle.loads(pickle.dumps(scenario)) == scenario
    changed = replace_segment(scenario, slip=scenario.segments[0].slip * np.float32(1.5))
    assert changed != scenario


def test_grid_file_round_trip_keeps_every_bit(tmp_path: Path) -> None:
    for k, grid in enumerate([random_f32((40, 50), 3), AWKWARD_F32, np.zeros((0, 0))]):
        write_grid(tmp_path / f"g{k}.txt", grid, title="test")
        back = read_grid(tmp_path / f"g{k}.txt")
        assert back.dtype == np.float32
        assert back.shape == grid.shape
        assert back.tobytes() == np.asarray(grid, dtype=np.float32).tobytes()


def test_grid_file_accepts_comments_commas_and_blank_lines(tmp_path: Path) -> None:
    (tmp_path / "g.txt").write_text("# top row first\n1, 2 ,3\n\n4 5 6  # deeper\n")
    assert read_grid(tmp_path / "g.txt").tolist() == [[1, 2, 3], [4, 5, 6]]


def test_scalar_grids_fill_the_shape_of_the_given_grid(tmp_path: Path) -> None:
    text = scenario_to_toml(small_scenario()).replace(
        "stress_drop_bars = 50.0", "stress_drop_bars = 35"
    )
    segment = scenario_from_toml(text).segments[0]
    assert segment.stress_drop_bars.shape == (4, 6)
    assert (segment.stress_drop_bars == 35).all()


def test_station_round_trip_is_exact(tmp_path: Path) -> None:
    stations = Stations(
        name=("plain", "with, comma", 'with "quotes"', "#hash", "ünï"),
        latitude_deg=[0.1, -90.0, 89.99999, -0.0, 45.123456789],
        longitude_deg=[179.99999, -180.0, 1e-7, 12.5, -0.1],
        seed=[0, 1, 2**64 - 1, 2**63, 12345678901234567890],
        kappa_s=[0.04, 0.0, 1e-45, np.nan, 0.1],
        q_frequency_exponent=[0.6, 0.0, 1.0, 0.45, np.inf],
    )
    stations.write_csv(tmp_path / "s.csv")
    assert read_stations(tmp_path / "s.csv") == stations


def test_station_defaults_and_derived_seeds(tmp_path: Path) -> None:
    (tmp_path / "s.csv").write_text(
        "# a comment line\n"
        "longitude_deg, name, latitude_deg, kappa_s, seed\n"
        "22.5, VN01, 38.1, , \n"
        "\n"
        "22.6, B, 38.2, 0.02, 7\n"
    )
    stations = read_stations(tmp_path / "s.csv", kappa_s=0.03, q_frequency_exponent=0.5)
    assert stations.name == ("VN01", "B")
    assert stations.seed.tolist() == [seed_from_name("VN01"), 7]
    assert stations.kappa_s.tolist() == [np.float32(0.03), np.float32(0.02)]
    assert stations.q_frequency_exponent.tolist() == [np.float32(0.5)] * 2
    # The derivation is part of the file format: a seed must never change between versions.
    assert seed_from_name("VN01") == 12602768334018126633


def test_bundled_station_table() -> None:
    defaults = read_scenario(SCENARIO).station_defaults
    stations = read_stations(STATIONS, kappa_s=defaults.kappa_s)
    assert len(stations) == 12
    assert set(stations.kappa_s.tolist()) == {np.float32(0.04)}


BAD_STATION_FILES = [
    ("", "s.csv: no header line"),
    ("name,latitude_deg\nA,1\n", "s.csv: missing column 'longitude_deg'"),
    ("name,latitude_deg,longitude_deg,kapa_s\n", "s.csv line 1: unknown column 'kapa_s'"),
    ("name,latitude_deg,longitude_deg,name\n", "s.csv line 1: column 'name' appears twice"),
    ("name,latitude_deg,longitude_deg\nA,1\n", "s.csv line 2: 2 fields, but the header has 3"),
    ("name,latitude_deg,longitude_deg\nA,north,1\n",
     "s.csv line 2: latitude_deg 'north' is not a number"),
    ("name,latitude_deg,longitude_deg\nA,nan,1\n",
     "s.csv line 2: latitude_deg 'nan' is not a finite number"),
    ("name,latitude_deg,longitude_deg,seed\nA,1,1,-3\n",
     "s.csv line 2: seed '-3' is not an integer from 0 to 18446744073709551615"),
    ("name,latitude_deg,longitude_deg,seed\nA,1,1,18446744073709551616\n",
     "s.csv line 2: seed '18446744073709551616' is not an integer"),
    ("name,latitude_deg,longitude_deg\n,1,1\n", "s.csv line 2: the station name is empty"),
    ("name,latitude_deg,longitude_deg\nA,1,1\n\nA,2,2\n",
     "s.csv line 4: station 'A' already appears on line 2"),
]  # fmt: skip


@pytest.mark.parametrize(("content", "message"), BAD_STATION_FILES)
def test_malformed_station_files(tmp_path: Path, content: str, message: str) -> None:
    path = tmp_path / "s.csv"
    path.write_text(content)
    with pytest.raises(InputError) as caught:
        read_stations(path)
    text = str(caught.value)
    assert "\n" not in text
    assert text.startswith(str(tmp_path)), text
    assert message in text


def _scenario_with(tmp_path: Path, old: str, new: str) -> Path:
    text = scenario_to_toml(small_scenario(), grid_dir=tmp_path, stem="s")
    assert old in text, old
    (tmp_path / "s.toml").write_text(text.replace(old, new, 1))
    return tmp_path / "s.toml"


BAD_SCENARIOS = [
    ("[site]", "[site", "s.toml: Expected ']'"),
    ("[record]\n", "[recrd]\n", "s.toml: top level: unknown key 'recrd'"),
    ("fmax_hz", "fmax", "s.toml: [site]: unknown key 'fmax'; expected fmax_hz"),
    ("dt = 0.01", "dt = '0.01'", "s.toml: [record]: dt must be a number, got the string '0.01'"),
    ("dt = 0.01", "dt = true", "s.toml: [record]: dt must be a number, got the boolean true"),
    ("rayset = [1, 2]", "rayset = [1.5]", "s.toml: [path]: rayset must be an array of integers"),
    ("[[segment]]", "[segment]", "s.toml: top level: segment must be an array of tables"),
    ("[[segment]]\n", "[[segment]]\nstrike = 3\n",
     "s.toml: [[segment]] 1: unknown key 'strike'"),
    ('slip = "s.segment1.slip.txt"', 'slip = "missing.txt"', "missing.txt"),
    ('slip = "s.segment1.slip.txt"\nrise_time_s = 0.8\nrupture_time_s = "s.segment1.rupture_time_s.txt"',
     "slip = 3.0\nrise_time_s = 0.8\nrupture_time_s = 0.0",
     ("s.toml: [[segment]] 1: give at least one of slip, rise_time_s, rupture_time_s, "
      "stress_drop_bars as a grid")),
    ('slip = "s.segment1.slip.txt"', "slip = [[1, 2], [3]]",
     "s.toml: [[segment]] 1: slip: row 2 has 1 values, but row 1 has 2"),
    ('slip = "s.segment1.slip.txt"', "slip = {a = 1}",
     "s.toml: [[segment]] 1: slip must be a grid file name, an array of rows"),
    ("  [2.0, 4.5, 2.6, 2.4, 260.0, 130.0],", "  [2.0, 4.5, 2.6],",
     "s.toml: [velocity_model]: layer 1 must be a row of 6 numbers"),
    ("vs_moho_km_s = 4.5\n", "", "s.toml: [velocity_model]: missing key 'vs_moho_km_s'"),
    ("dt = 0.01", "dt = 1" + "0" * 400, "s.toml: [record]: dt = 1000"),
    ("  [2.0, 4.5,", "  [2" + "0" * 400 + ", 4.5,", "[velocity_model]: layer 1 must be a row"),
]  # fmt: skip


@pytest.mark.parametrize(("old", "new", "message"), BAD_SCENARIOS)
def test_malformed_scenario_files(tmp_path: Path, old: str, new: str, message: str) -> None:
    path = _scenario_with(tmp_path, old, new)
    with pytest.raises((InputError, OSError)) as caught:
        read_scenario(path)
    text = str(caught.value)
    assert "\n" not in text
    assert message in text


def test_malformed_grid_file_names_file_and_line(tmp_path: Path) -> None:
    path = _scenario_with(tmp_path, "", "")
    grid = tmp_path / "s.segment1.slip.txt"
    lines = grid.read_text().splitlines()
    grid.write_text("\n".join([*lines[:3], lines[3] + " 7", *lines[4:]]) + "\n")
    with pytest.raises(
        InputError,
        match=r"s\.segment1\.slip\.txt line 4: 7 values, but the "
        r"first row \(line 2\) has 6",
    ):
        read_scenario(path)
    grid.write_text("1 2 x\n")
    with pytest.raises(InputError, match=r"slip\.txt line 1: 'x' is not a number"):
        read_scenario(path)


def test_station_table_rejects_inconsistent_columns() -> None:
    with pytest.raises(ValueError, match=r"Got lengths \[2, 2, 1, 2, 2, 2\]"):
        Stations(name=("a", "b"), latitude_deg=[1, 2], longitude_deg=[1])
    with pytest.raises(ValueError, match="station names must be unique; repeated: a"):
        Stations(name=("a", "a"), latitude_deg=[1, 2], longitude_deg=[1, 2])


def test_the_user_guide_examples_read(tmp_path: Path) -> None:
    (tmp_path / "quake.toml").write_text(guide_block("toml"))
    (tmp_path / "stations.csv").write_text(guide_block("csv"))
    scenario = read_scenario(tmp_path / "quake.toml")
    stations = read_stations(tmp_path / "stations.csv", kappa_s=0.05)
    assert scenario.segments[0].slip.shape == (3, 4)
    assert scenario.segments[0].rise_time_s.tolist() == [[np.float32(0.8)] * 4] * 3
    assert stations.kappa_s.tolist() == [np.float32(0.03), np.float32(0.05), np.float32(0.05)]


def test_seismic_moment_weighs_each_row_by_the_rigidity_of_its_layer() -> None:
    # A vertical fault from the surface: row centres at 1 and 3 km, in layers whose bases are
    # at 2 km and (the half-space, cut at the Moho velocity) below.
    model = VelocityModel.from_layers(
        [(2.0, 5.0, 3.0, 2.5, 300, 150), (9.0, 8.0, 4.6, 3.3, 500, 250)], vs_moho_km_s=4.5
    )
    segment = small_segment(
        dip_deg=90.0, top_depth_km=0.0, subfault_length_km=2.0, subfault_width_km=2.0,
        slip=[[100.0, 100.0, 100.0], [50.0, 50.0, 50.0]], rise_time_s=np.ones((2, 3)),
        rupture_time_s=np.zeros((2, 3)), stress_drop_bars=np.ones((2, 3)),
    )  # fmt: skip
    scenario = small_scenario(velocity_model=model, segments=(segment,))
    area_km2 = 2.0 * 2.0
    expected = 1e20 * area_km2 * 3 * (100.0 * 3.0**2 * 2.5 + 50.0 * 4.6**2 * 3.3)
    assert scenario.seismic_moment_dyn_cm() == pytest.approx(expected, rel=1e-6)
    assert scenario.moment_magnitude() == pytest.approx(
        (2 / 3) * (np.log10(expected) - 16.05), rel=1e-9
    )
