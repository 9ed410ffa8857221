"""What every class of `_varnett` shares: order, docs, immutability, no stray references."""

import copy
import importlib
import pickle
import sys
import weakref

import _varnett
import pytest
from conftest import layer_kwargs, segment_kwargs

CLASSES = [
    "FaultSegment",
    "SlipModel",
    "VelocityModel1D",
    "SourceParameters",
    "PathParameters",
    "SiteParameters",
    "RecordParameters",
    "HfConfig",
    "Simulator",
]

DOCS = {
    "FaultSegment": (
        (
            "(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
            "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, "
            "hypocentre_down_dip_km, slip, rise_time_s, rupture_time_s, stress_drop_bars)"
        ),
        (
            "One fault segment: geometry plus the four subfault grids.\n"
            "\n"
            "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
            "row order the `.stoch` format itself uses."
        ),
    ),
    "SlipModel": ("(segments)", "A whole slip model: one or more [`PyFaultSegment`]."),
    "VelocityModel1D": (
        (
            "(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
            "quality_factor_s, vs_moho_km_s)"
        ),
        "The 1-D velocity model, already truncated at the Moho.",
    ),
    "SourceParameters": (
        (
            "(*, corner_frequency_constant, corner_frequency_alpha, rupture_velocity_fraction, "
            "rupture_velocity_shallow, rupture_velocity_deep, rupture_velocity_sigma)"
        ),
        (
            "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
            "rupture travels."
        ),
    ),
    "PathParameters": (
        "(*, rayset, path_duration_model)",
        (
            "The path from source to site shared by every station: which rays, and how duration "
            "grows\nwith distance."
        ),
    ),
    "SiteParameters": (
        "(*, fmax_hz)",
        (
            "The near-surface parameters shared by every station.\n"
            "\n"
            "Quarter-wavelength site amplification is always applied and is not a field here."
        ),
    ),
    "RecordParameters": ("(*, duration_s, dt)", "The shape of the record to produce."),
    "HfConfig": (
        "(*, source, path, site, record)",
        "Everything needed to simulate, with nothing about where the inputs came from.",
    ),
    "Simulator": (
        "(config, slip_model, velocity_model)",
        (
            "A configured simulation, ready to run stations against.\n"
            "\n"
            "Built once per source; the station-independent work \u2014 the air layer, the slip-model\n"
            "normalisation, the moment scaling \u2014 happens here rather than per station.\n"
            "\n"
            "# Threads, not processes\n"
            "\n"
            "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
            "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
            "send it between processes, and a silent re-normalisation on the far side is a worse\n"
            "failure than a loud one here."
        ),
    ),
}


def test_module_holds_exactly_the_classes_in_order():
    public = [name for name in vars(_varnett) if not name.startswith("__")]
    assert public == CLASSES
    assert all(isinstance(getattr(_varnett, name), type) for name in CLASSES)
    assert _varnett.__doc__ == ""
    assert not hasattr(_varnett, "InternalError")


def test_every_execution_of_the_module_shares_the_type_objects():
    original = sys.modules.pop("_varnett")
    try:
        fresh = importlib.import_module("_varnett")
        assert fresh is not original
        assert [getattr(fresh, name) for name in CLASSES] == [
            getattr(original, name) for name in CLASSES
        ]
    finally:
        sys.modules["_varnett"] = original


@pytest.mark.parametrize("name", CLASSES)
def test_docstring_and_text_signature(name):
    cls = getattr(_varnett, name)
    signature, doc = DOCS[name]
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert cls.__module__ == "_varnett"
    assert cls.__qualname__ == name


@pytest.mark.parametrize(
    ("cls", "name", "doc"),
    [
        (_varnett.SlipModel, "subfault_count", "Total subfaults across all segments"),
        (_varnett.VelocityModel1D, "layer_count", "Layers remaining after Moho truncation."),
    ],
)
def test_property_docstrings(cls, name, doc):
    assert getattr(cls, name).__doc__ == doc


@pytest.mark.parametrize("name", CLASSES)
def test_instances_are_immutable_plain_values(instances, name):
    obj = instances[name]
    cls = type(obj)
    for attribute in ["subfault_count", "layer_count", "anything"]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, 1)
        with pytest.raises(AttributeError):
            delattr(obj, attribute)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(obj, protocol=protocol)
    with pytest.raises(TypeError, match="cannot pickle"):
        copy.copy(obj)


def test_instances_hold_their_type_and_release_it():
    cls = _varnett.SiteParameters
    before = sys.getrefcount(cls)
    objs = [cls(fmax_hz=1.0) for _ in range(50)]
    assert sys.getrefcount(cls) == before + 50
    del objs
    assert sys.getrefcount(cls) == before


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda kw: _varnett.VelocityModel1D(**kw), None),
        (lambda kw: _varnett.VelocityModel1D(**kw, bogus=1), TypeError),
        (lambda kw: _varnett.VelocityModel1D(**{**kw, "vs_moho_km_s": "x"}), TypeError),
        (lambda kw: _varnett.VelocityModel1D(**{**kw, "vs_moho_km_s": 1.0}), ValueError),
    ],
)
def test_constructors_keep_no_reference_to_their_arguments(make, error):
    kwargs = layer_kwargs()
    before = [sys.getrefcount(value) for value in kwargs.values()]
    if error is None:
        kept = make(kwargs)
        assert kept.layer_count == 3
    else:
        with pytest.raises(error):
            make(kwargs)
    assert [sys.getrefcount(value) for value in kwargs.values()] == before


def test_slip_model_keeps_no_reference_to_its_segments():
    segment = _varnett.FaultSegment(**segment_kwargs())
    segments = [segment, segment]
    before = sys.getrefcount(segment), sys.getrefcount(segments)
    model = _varnett.SlipModel(segments)
    assert (sys.getrefcount(segment), sys.getrefcount(segments)) == before
    del segments, segment
    assert model.subfault_count == 12
