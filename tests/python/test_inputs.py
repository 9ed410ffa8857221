"""Validation and building of the eight input classes."""

import re

import numpy as np
import pytest
from _varnett import FaultSegment, PathParameters, SlipModel, SourceParameters, VelocityModel1D
from conftest import F32, F64, SOURCE_KWARGS, grid, layer_kwargs, segment_kwargs

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def raises_exactly(error, message):
    return pytest.raises(error, match="^" + re.escape(message) + "$")


def unaligned(values, dtype):
    """A copy of `values` whose data start one byte past an aligned address."""
    values = np.asarray(values, dtype)
    raw = np.zeros(values.nbytes + 1, np.uint8)
    view = raw[1:].view(dtype).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


# --- PathParameters -------------------------------------------------------------------------


@pytest.mark.parametrize("code", [0, -4, 1, 2, 11, 12])
def test_path_duration_codes_that_map(code):
    PathParameters(rayset=[1, 2, 3], path_duration_model=code)


@pytest.mark.parametrize("code", [3, 10, 13, 2**31 - 1])
def test_path_duration_codes_that_do_not_map(code):
    with raises_exactly(ValueError, f"path_duration_model {code} is not one of 0, 1, 2, 11, 12"):
        PathParameters(rayset=[1], path_duration_model=code)


def test_negative_ray_codes_are_refused_first_in_order():
    with raises_exactly(ValueError, "ray type -2 is negative; th1 would be undefined") as caught:
        PathParameters(rayset=[0, 1, -2, -3], path_duration_model=3)
    assert not hasattr(caught.value, "__notes__")


def test_both_path_arguments_are_converted_before_any_check():
    with pytest.raises(TypeError) as caught:
        PathParameters(rayset=[-1], path_duration_model="x")
    assert caught.value.__notes__ == ["while processing 'path_duration_model'"]


def test_source_parameters_take_any_values():
    SourceParameters(**dict(SOURCE_KWARGS, rupture_velocity_sigma=float("nan")))


# --- FaultSegment ---------------------------------------------------------------------------


def test_grid_shapes_must_agree():
    kwargs = segment_kwargs(
        rise_time_s=np.ones((3, 2), F32), stress_drop_bars=-np.ones((2, 3), F32)
    )
    message = (
        "slip (2, 3), rise_time_s (3, 2), rupture_time_s (2, 3) and stress_drop_bars (2, 3) "
        "must have the same shape -- they describe the same subfaults"
    )
    with raises_exactly(ValueError, message) as caught:
        FaultSegment(**kwargs)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize(
    ("stress", "reported"),
    [
        ([[1.0, 0.0, np.nan]], "0"),
        ([[-0.0, -0.0]], "-0"),
        ([[1.0], [np.nan]], "NaN"),
        ([[np.inf, -1.0]], "inf"),
        ([[2.0, -np.inf]], "-inf"),
        ([[1e-45, -2.5]], "-2.5"),
        ([[3.0, -0.1]], "-0.1"),
        ([[5.0, -16777216.0]], "-16777216"),
    ],
)
def test_stress_drop_reports_the_first_failing_value(stress, reported):
    stress = grid(stress)
    kwargs = segment_kwargs(shape=stress.shape, stress_drop_bars=stress)
    message = f"stress_drop_bars must be positive and finite everywhere; got {reported}"
    with raises_exactly(ValueError, message):
        FaultSegment(**kwargs)


def test_subnormal_stress_drops_pass():
    stress = np.full((2, 2), np.finfo(F32).smallest_subnormal, F32)
    FaultSegment(**segment_kwargs(shape=(2, 2), stress_drop_bars=stress))


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_grids_are_refused(shape):
    with raises_exactly(ValueError, "a segment needs at least one subfault; got an empty grid"):
        FaultSegment(**segment_kwargs(shape=shape))


# Row-major order meets -3 first, column-major order (and Fortran memory order) meets 0 first.
STRESS = [[1.0, 2.0, -3.0], [0.0, 5.0, 6.0]]


def reversed_view(values):
    return np.array(values, F32)[::-1, ::-1].copy()[::-1, ::-1]


def strided_view(values):
    big = np.zeros((4, 9), F32)
    big[::2, ::3] = values
    return big[::2, ::3]


LAYOUTS = {
    "C order": lambda v: np.array(v, F32),
    "Fortran order": lambda v: np.asfortranarray(np.array(v, F32)),
    "transposed view": lambda v: np.array(v, F32).T.copy().T,
    "reversed view": reversed_view,
    "strided view": strided_view,
    "unaligned": lambda v: unaligned(v, F32),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_grids_are_read_in_row_major_order_in_any_layout(layout):
    stress = layout(STRESS)
    assert stress.tolist() == STRESS
    with raises_exactly(
        ValueError, "stress_drop_bars must be positive and finite everywhere; got -3"
    ):
        FaultSegment(**segment_kwargs(stress_drop_bars=stress))

    grids = {
        name: layout(np.full((2, 3), 7.0)) for name in ["slip", "rise_time_s", "rupture_time_s"]
    }
    segment = FaultSegment(**segment_kwargs(**grids, stress_drop_bars=layout(np.abs(STRESS) + 1)))
    assert SlipModel([segment]).subfault_count == 6


# --- SlipModel ------------------------------------------------------------------------------


def test_slip_model_needs_a_segment():
    with raises_exactly(ValueError, "a slip model needs at least one segment"):
        SlipModel([])


def test_slip_model_counts_every_segment(segment):
    other = FaultSegment(**segment_kwargs(shape=(5, 2)))
    assert SlipModel([segment]).subfault_count == 6
    assert SlipModel((segment, segment)).subfault_count == 12
    assert SlipModel([segment, other]).subfault_count == 16


# --- VelocityModel1D ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("thickness", "vsh", "vs_moho", "count"),
    [
        ((2.0, 3.0, 5.0), (2.0, 3.0, 4.5), 4.4, 3),
        ((2.0, 3.0, 5.0), (2.0, 3.0, 4.5), 5.0, 3),
        ((2.0, 3.0, 5.0), (2.0, 4.5, 3.0), 4.4, 2),
        ((2.0, 3.0, 5.0), (2.0, 4.4, 3.0), 4.4, 2),
        ((1.0,), (2.0,), 4.4, 1),
    ],
)
def test_layer_count_after_the_moho_cut(thickness, vsh, vs_moho, count):
    model = VelocityModel1D(**layer_kwargs(thickness, vsh, vs_moho))
    assert model.layer_count == count


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        (
            layer_kwargs(vs_moho=1.5),
            (
                "the first layer already reaches vs_moho = 1.5 km/s, so there is no model above the "
                "Moho to simulate"
            ),
        ),
        (layer_kwargs(thickness=(), vsh=()), "velocity model has no layers"),
        (
            layer_kwargs(thickness=(1.0,) * 5, vsh=(2.0,) * 5, quality_factor_s=np.ones(4, F32)),
            (
                "every layer property must have one entry per layer. Got lengths [5, 5, 5, 5, 5, 4] "
                "for (thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
                "quality_factor_s)"
            ),
        ),
        (
            layer_kwargs(vp_km_s=np.ones(0, F64), vs_moho=1.0),
            (
                "every layer property must have one entry per layer. Got lengths [3, 0, 3, 3, 3, 3] "
                "for (thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
                "quality_factor_s)"
            ),
        ),
    ],
)
def test_velocity_model_errors(kwargs, message):
    with raises_exactly(ValueError, message) as caught:
        VelocityModel1D(**kwargs)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize(
    "replace",
    [
        {"vp_km_s": np.linspace(5.0, 8.0, 6)[::2]},
        {"vp_km_s": np.linspace(5.0, 8.0, 3)[::-1]},
        {"density_g_cm3": unaligned([2.6, 2.7, 2.8], F64)},
        {"quality_factor_s": unaligned([100.0, 100.0, 100.0], F32)},
        # not contiguous wins over unequal lengths
        {"thickness_km": np.ones(10, F32)[::2], "quality_factor_p": np.ones(2, F32)},
    ],
)
def test_flat_arrays_must_be_contiguous_and_aligned(replace):
    with raises_exactly(TypeError, NOT_CONTIGUOUS) as caught:
        VelocityModel1D(**layer_kwargs(**replace))
    assert not hasattr(caught.value, "__notes__")


def test_flat_arrays_are_read_after_every_conversion():
    with pytest.raises(TypeError) as caught:
        VelocityModel1D(**layer_kwargs(vp_km_s=np.ones(6, F64)[::2], vs_moho="fast"))
    assert caught.value.__notes__ == ["while processing 'vs_moho_km_s'"]


def test_flat_arrays_with_one_element_may_have_any_stride():
    kwargs = layer_kwargs(thickness=(1.0,), vsh=(2.0,), vp_km_s=np.ones(4, F64)[1::7])
    assert VelocityModel1D(**kwargs).layer_count == 1
