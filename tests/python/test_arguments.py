"""Argument binding and conversion: the exact messages and the "while processing" note."""

import re

import numpy as np
import pytest
from _varnett import (
    FaultSegment,
    HfConfig,
    PathParameters,
    RecordParameters,
    SiteParameters,
    SlipModel,
    VelocityModel1D,
)
from conftest import F32, F64, layer_kwargs, segment_kwargs

BINDING_CASES = [
    # too many positional arguments
    (
        lambda s: SiteParameters(1.5),
        "SiteParameters.__new__() takes 0 positional arguments but 1 was given",
    ),
    (
        lambda s: SiteParameters(1, 2),
        "SiteParameters.__new__() takes 0 positional arguments but 2 were given",
    ),
    (
        lambda s: SlipModel([s], [s]),
        "SlipModel.__new__() takes 1 positional arguments but 2 were given",
    ),
    # unknown keyword, reported in the call's order
    (
        lambda s: SiteParameters(fmax_hz=1, fmax=2),
        "SiteParameters.__new__() got an unexpected keyword argument 'fmax'",
    ),
    (
        lambda s: RecordParameters(b=1, a=2),
        "RecordParameters.__new__() got an unexpected keyword argument 'b'",
    ),
    (
        lambda s: SlipModel(segment=[s]),
        "SlipModel.__new__() got an unexpected keyword argument 'segment'",
    ),
    # positional and keyword at once
    (
        lambda s: SlipModel([s], segments=[s]),
        "SlipModel.__new__() got multiple values for argument 'segments'",
    ),
    # missing parameters
    (
        lambda s: SlipModel(),
        "SlipModel.__new__() missing 1 required positional argument: 'segments'",
    ),
    (
        lambda s: RecordParameters(),
        "RecordParameters.__new__() missing 2 required keyword arguments: 'duration_s' and 'dt'",
    ),
    (
        lambda s: RecordParameters(dt=0.1),
        "RecordParameters.__new__() missing 1 required keyword argument: 'duration_s'",
    ),
    (
        lambda s: HfConfig(path=None),
        "HfConfig.__new__() missing 3 required keyword arguments: 'source', 'site', and 'record'",
    ),
    (
        lambda s: PathParameters(),
        "PathParameters.__new__() missing 2 required keyword arguments: 'rayset' and 'path_duration_model'",
    ),
    # precedence: positional count, then keywords, then missing; binding before any conversion
    (
        lambda s: SiteParameters(1, bogus=2),
        "SiteParameters.__new__() takes 0 positional arguments but 1 was given",
    ),
    (
        lambda s: RecordParameters(bogus=1),
        "RecordParameters.__new__() got an unexpected keyword argument 'bogus'",
    ),
    (
        lambda s: SiteParameters(fmax_hz="a", bogus=1),
        "SiteParameters.__new__() got an unexpected keyword argument 'bogus'",
    ),
    (
        lambda s: RecordParameters(duration_s="a"),
        "RecordParameters.__new__() missing 1 required keyword argument: 'dt'",
    ),
]


@pytest.mark.parametrize(("call", "message"), BINDING_CASES)
def test_binding_errors(segment, call, message):
    with pytest.raises(TypeError) as caught:
        call(segment)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


def test_missing_names_follow_declaration_order():
    with pytest.raises(TypeError) as caught:
        FaultSegment(**{k: v for k, v in reversed(segment_kwargs().items()) if k.endswith("_km")})
    assert str(caught.value) == (
        "FaultSegment.__new__() missing 9 required keyword arguments: 'longitude_deg', "
        "'latitude_deg', 'strike_deg', 'dip_deg', 'rake_deg', 'slip', 'rise_time_s', "
        "'rupture_time_s', and 'stress_drop_bars'"
    )


def test_slip_model_binds_its_parameter_by_keyword(segment):
    assert SlipModel(segments=[segment]).subfault_count == 6


CONVERSION_CASES = [
    # reals
    (lambda s: SiteParameters(fmax_hz="a"), TypeError, "must be real number, not str", "fmax_hz"),
    (
        lambda s: SiteParameters(fmax_hz=None),
        TypeError,
        "must be real number, not NoneType",
        "fmax_hz",
    ),
    (
        lambda s: SiteParameters(fmax_hz=10**400),
        OverflowError,
        "int too large to convert to float",
        "fmax_hz",
    ),
    (
        lambda s: VelocityModel1D(**layer_kwargs(vs_moho=[4.4])),
        TypeError,
        "must be real number, not list",
        "vs_moho_km_s",
    ),
    # sequences of integers
    (
        lambda s: PathParameters(rayset="123", path_duration_model=0),
        TypeError,
        "a str cannot be taken as a sequence of items",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=5, path_duration_model=0),
        TypeError,
        "'int' object is not an instance of 'Sequence'",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset={1, 2}, path_duration_model=0),
        TypeError,
        "'set' object is not an instance of 'Sequence'",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=None, path_duration_model=0),
        TypeError,
        "'None' is not an instance of 'Sequence'",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=[1, 1.0], path_duration_model=0),
        TypeError,
        "'float' object cannot be interpreted as an integer",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=[2**31], path_duration_model=0),
        OverflowError,
        "number too large to fit in target type",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=[2**70], path_duration_model=0),
        OverflowError,
        "number too large to fit in target type",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=[-(2**31) - 1], path_duration_model=0),
        OverflowError,
        "number too small to fit in target type",
        "rayset",
    ),
    (
        lambda s: PathParameters(rayset=[], path_duration_model=2**31),
        OverflowError,
        "number too large to fit in target type",
        "path_duration_model",
    ),
    (
        lambda s: PathParameters(rayset=[], path_duration_model=-(2**80)),
        OverflowError,
        "number too small to fit in target type",
        "path_duration_model",
    ),
    (
        lambda s: PathParameters(rayset=[], path_duration_model="1"),
        TypeError,
        "'str' object cannot be interpreted as an integer",
        "path_duration_model",
    ),
    # instances
    (
        lambda s: SlipModel([s, 1]),
        TypeError,
        "'int' object is not an instance of 'FaultSegment'",
        "segments",
    ),
    (
        lambda s: SlipModel([None]),
        TypeError,
        "'None' is not an instance of 'FaultSegment'",
        "segments",
    ),
    (
        lambda s: SlipModel(s),
        TypeError,
        "'FaultSegment' object is not an instance of 'Sequence'",
        "segments",
    ),
    # arrays: wrong class, dtype, dimension count or byte order
    (
        lambda s: FaultSegment(**segment_kwargs(slip=np.ones((2, 3), F64))),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "slip",
    ),
    (
        lambda s: FaultSegment(**segment_kwargs(slip=np.ones(6, F32))),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "slip",
    ),
    (
        lambda s: FaultSegment(**segment_kwargs(rise_time_s=np.ones((2, 3, 1), F32))),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "rise_time_s",
    ),
    (
        lambda s: FaultSegment(**segment_kwargs(slip=[[1.0, 2.0, 3.0]] * 2)),
        TypeError,
        "'list' object is not an instance of 'ndarray'",
        "slip",
    ),
    (
        lambda s: FaultSegment(**segment_kwargs(stress_drop_bars=np.ones((2, 3), ">f4"))),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "stress_drop_bars",
    ),
    (
        lambda s: VelocityModel1D(**layer_kwargs(vp_km_s=np.ones(3, F32))),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "vp_km_s",
    ),
    (
        lambda s: VelocityModel1D(**layer_kwargs(thickness_km=None)),
        TypeError,
        "'None' is not an instance of 'ndarray'",
        "thickness_km",
    ),
]


@pytest.mark.parametrize(("call", "error", "message", "name"), CONVERSION_CASES)
def test_conversion_errors_keep_their_class_and_gain_a_note(segment, call, error, message, name):
    with pytest.raises(error) as caught:
        call(segment)
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{name}'"]


def test_hfconfig_checks_its_parts_in_order(config_parts):
    wrong = dict(config_parts, path=None, record=config_parts["site"])
    with pytest.raises(
        TypeError, match=re.escape("'None' is not an instance of 'PathParameters'")
    ) as caught:
        HfConfig(**wrong)
    assert caught.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(TypeError) as caught:
        HfConfig(**dict(config_parts, record=config_parts["site"]))
    assert str(caught.value) == "'SiteParameters' object is not an instance of 'RecordParameters'"


def test_conversion_runs_in_declaration_order_not_call_order():
    kwargs = segment_kwargs(stress_drop_bars=None, longitude_deg="east")
    with pytest.raises(TypeError) as caught:
        FaultSegment(**dict(reversed(kwargs.items())))
    assert caught.value.__notes__ == ["while processing 'longitude_deg'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class Rays:
    """A sequence whose length cannot be asked: the length is only a hint."""

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return index

    def __len__(self):
        raise RuntimeError("no length")


@pytest.mark.parametrize(
    "value", [3, 3.5, np.float32(3.5), np.float64(3.5), np.int64(3), True, Index(3), Real()]
)
def test_reals_accept_what_float_accepts(value):
    SiteParameters(fmax_hz=value)


@pytest.mark.parametrize(
    "rayset",
    [[0, 1], (0, np.int64(1), Index(2)), range(4), np.arange(3), b"\x01\x02", Rays(), []],
)
def test_ray_sets_accept_any_sequence_of_integers(rayset):
    PathParameters(rayset=rayset, path_duration_model=Index(11))


def test_arrays_are_accepted_read_only_and_as_subclasses():
    class Sub(np.ndarray):
        pass

    kwargs = layer_kwargs()
    for value in kwargs.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    kwargs["vp_km_s"] = kwargs["vp_km_s"].view(Sub)
    assert VelocityModel1D(**kwargs).layer_count == 3
