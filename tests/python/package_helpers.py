"""Shared fixtures of the varnett package tests: a small scenario and engine availability."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np
from varnett import (
    PathSettings,
    RecordSettings,
    Scenario,
    Segment,
    SiteSettings,
    SourceSettings,
    Stations,
    VelocityModel,
)


def small_segment(**changes: object) -> Segment:
    """A 4 x 6 segment of 2 km subfaults with varied slip and rupture times."""
    rng = np.random.default_rng(7)
    rows, columns = 4, 6
    fields = {
        "longitude_deg": -117.5,
        "latitude_deg": 35.7,
        "strike_deg": 320.0,
        "dip_deg": 60.0,
        "rake_deg": 170.0,
        "top_depth_km": 1.0,
        "subfault_length_km": 2.0,
        "subfault_width_km": 2.0,
        "hypocentre_along_strike_km": 4.0,
        "hypocentre_down_dip_km": 5.0,
        "slip": rng.uniform(20.0, 120.0, (rows, columns)),
        "rise_time_s": np.full((rows, columns), 0.8),
        "rupture_time_s": rng.uniform(0.0, 4.0, (rows, columns)),
        "stress_drop_bars": np.full((rows, columns), 50.0),
    }
    fields.update(changes)
    return Segment(**fields)  # type: ignore[arg-type]


def small_scenario(**changes: object) -> Scenario:
    """A quick scenario: one small segment, a three-layer crust, 12 s records."""
    fields = {
        "name": "small test",
        "source": SourceSettings(
            corner_frequency_constant=2.1,
            corner_frequency_alpha=0.1,
            rupture_velocity_fraction=0.8,
            rupture_velocity_shallow=0.7,
            rupture_velocity_deep=1.0,
            rupture_velocity_sigma=0.1,
        ),
        "path": PathSettings(rayset=(1, 2), path_duration_model=0),
        "site": SiteSettings(fmax_hz=20.0),
        "record": RecordSettings(duration_s=12.0, dt=0.01),
        "velocity_model": VelocityModel.from_layers(
            [
                (2.0, 4.5, 2.6, 2.4, 260.0, 130.0),
                (15.0, 6.1, 3.5, 2.7, 350.0, 175.0),
                (0.0, 8.0, 4.6, 3.3, 460.0, 230.0),
            ],
            vs_moho_km_s=4.5,
        ),
        "segments": (small_segment(),),
    }
    fields.update(changes)
    return Scenario(**fields)  # type: ignore[arg-type]


def replace_segment(scenario: Scenario, **changes: object) -> Scenario:
    """The scenario with its first segment changed."""
    segment = dataclasses.replace(scenario.segments[0], **changes)
    return dataclasses.replace(scenario, segments=(segment, *scenario.segments[1:]))


def some_stations(n: int = 7) -> Stations:
    """Stations around the small scenario's fault, with mixed kappa and Q exponents."""
    angle = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    distance_deg = np.linspace(0.05, 0.6, n)
    return Stations(
        name=tuple(f"S{k:02d}" for k in range(n)),
        latitude_deg=35.7 + distance_deg * np.cos(angle),
        longitude_deg=-117.5 + distance_deg * np.sin(angle),
        kappa_s=np.linspace(0.02, 0.06, n),
        q_frequency_exponent=np.linspace(0.4, 0.8, n),
    )


GUIDE = Path(__file__).parents[2] / "docs" / "user-guide.md"


def guide_block(language: str) -> str:
    """The first code block of a language in the user guide."""
    text = GUIDE.read_text(encoding="utf-8")
    start = text.index(f"```{language}\n") + len(language) + 4
    return text[start : text.index("```", start)]
