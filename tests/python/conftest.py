"""Small valid inputs for the `_varnett` input classes."""

import os

import _varnett
import numpy as np
import pytest

F32 = np.float32
F64 = np.float64

# `make test-sanitize` runs these tests against an AddressSanitizer build of the extension, with
# the sanitizer runtime preloaded into the interpreter.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def grid(values, dtype=F32):
    return np.array(values, dtype=dtype)


def segment_kwargs(shape=(2, 3), **overrides):
    """Keyword arguments of a valid `FaultSegment`; `overrides` replaces any of them."""
    kwargs = {
        "longitude_deg": -118.5,
        "latitude_deg": 34.2,
        "strike_deg": 120.0,
        "dip_deg": 40.0,
        "rake_deg": 90.0,
        "top_depth_km": 2.0,
        "subfault_length_km": 2.5,
        "subfault_width_km": 1.5,
        "hypocentre_along_strike_km": 3.0,
        "hypocentre_down_dip_km": 2.0,
        "slip": np.full(shape, 100.0, F32),
        "rise_time_s": np.full(shape, 1.0, F32),
        "rupture_time_s": np.full(shape, 2.0, F32),
        "stress_drop_bars": np.full(shape, 50.0, F32),
    }
    kwargs.update(overrides)
    return kwargs


def layer_kwargs(thickness=(2.0, 3.0, 5.0), vsh=(2.0, 3.0, 4.5), vs_moho=4.4, **overrides):
    """Keyword arguments of a valid `VelocityModel1D`; `overrides` replaces any of them."""
    n = len(thickness)
    kwargs = {
        "thickness_km": np.array(thickness, F32),
        "vp_km_s": np.array(vsh, F64) * 1.7,
        "vsh_km_s": np.array(vsh, F64),
        "density_g_cm3": np.full(n, 2.6, F64),
        "quality_factor_p": np.full(n, 200.0, F32),
        "quality_factor_s": np.full(n, 100.0, F32),
        "vs_moho_km_s": vs_moho,
    }
    kwargs.update(overrides)
    return kwargs


SOURCE_KWARGS = {
    "corner_frequency_constant": 1.68,
    "corner_frequency_alpha": 0.0,
    "rupture_velocity_fraction": 0.8,
    "rupture_velocity_shallow": 0.6,
    "rupture_velocity_deep": 1.0,
    "rupture_velocity_sigma": 0.1,
}


@pytest.fixture
def segment():
    return _varnett.FaultSegment(**segment_kwargs())


@pytest.fixture
def config_parts():
    return {
        "source": _varnett.SourceParameters(**SOURCE_KWARGS),
        "path": _varnett.PathParameters(rayset=[1, 2], path_duration_model=0),
        "site": _varnett.SiteParameters(fmax_hz=25.0),
        "record": _varnett.RecordParameters(duration_s=20.0, dt=0.01),
    }


@pytest.fixture
def instances(segment, config_parts):
    """One instance of every class of the module, by class name."""
    built = {type(part).__name__: part for part in config_parts.values()}
    built["FaultSegment"] = segment
    built["SlipModel"] = _varnett.SlipModel([segment])
    built["VelocityModel1D"] = _varnett.VelocityModel1D(**layer_kwargs())
    built["HfConfig"] = _varnett.HfConfig(**config_parts)
    built["Simulator"] = _varnett.Simulator(
        built["HfConfig"], built["SlipModel"], built["VelocityModel1D"]
    )
    return built
