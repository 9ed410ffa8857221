"""Fuzzing the `_varnett` API with hypothesis.

Every constructor and `run_stations` is called with random values (NaN, +-inf, +-0, subnormals,
huge and tiny numbers), random dtypes, ranks, memory layouts and lengths, and objects of the wrong
kind. Every call must either succeed or raise one of the documented exceptions -- TypeError,
ValueError, OverflowError, MemoryError or `_varnett.InternalError` -- with a message. A crash ends
the process, and so does a call that runs longer than the per-call limit (its traceback is
dumped): run this in a subprocess with a time limit, as `make fuzz` and tests/python/test_fuzz.py
do.

Sizes are bounded in the strategies, because a legitimately large input is slow, not hung: grids
of at most 3 x 3 subfaults (4 x 4 when only constructed) and 2 segments, at most 3 ray codes from
0 to 8 in a run (a ray code asks for (code - 1) / 2 Moho multiples, each a pass through every
layer, so its cost grows with the code), at most 5 layers and 4 stations, and records of at most
1024 samples, or beyond the 2^31 - 1 a record may hold, which is refused before anything is
allocated. Values are otherwise unrestricted: the scenarios that reach `run_stations` mix values
from physical ranges (so that records get built) with arbitrary ones.

    python fuzz_api.py [--examples N] [--seed N | --derandomize] [target ...]
"""

import argparse
import collections
import faulthandler
import math
import sys
import time
import warnings

import _varnett
import hypothesis
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)
# Far above the slowest example seen (well under a second); only a hang reaches it.
PER_CALL_LIMIT_S = 60.0
MAX_RUN_SAMPLES = 1024
LONGEST_RECORD = 2**31 - 1

OUTCOMES = collections.Counter()  # (target, outcome) -> calls
INTERNAL_ERRORS = collections.Counter()  # message -> calls
SLOWEST_S = collections.defaultdict(float)  # target -> the longest call, s


class UndocumentedOutcome(AssertionError):
    pass


def is_internal_error(error):
    kind = type(error)
    return (kind.__name__ == "InternalError" and kind.__module__ == "_varnett"
            and kind.__bases__ == (BaseException,))


def call(target, function, *args, **kwargs):
    """Calls `function`; returns its result, or None when it raised a documented exception."""
    faulthandler.dump_traceback_later(PER_CALL_LIMIT_S, exit=True)
    started = time.monotonic()
    try:
        result = function(*args, **kwargs)
    except DOCUMENTED as error:
        if not str(error):
            raise UndocumentedOutcome(f"{target}: {type(error).__name__} without a message")
        OUTCOMES[target, type(error).__name__] += 1
        return None
    except BaseException as error:
        if not is_internal_error(error):
            raise UndocumentedOutcome(f"{target}: undocumented {type(error).__name__}") from error
        if len(error.args) != 1 or not error.args[0]:
            raise UndocumentedOutcome(f"{target}: InternalError without a message") from error
        OUTCOMES[target, "InternalError"] += 1
        INTERNAL_ERRORS[error.args[0]] += 1
        return None
    finally:
        faulthandler.cancel_dump_traceback_later()
        SLOWEST_S[target] = max(SLOWEST_S[target], time.monotonic() - started)
    OUTCOMES[target, "ok"] += 1
    return result


# --- Objects of every kind --------------------------------------------------------------------


class WithFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"WithFloat({self.value!r})"


class WithIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"WithIndex({self.value!r})"


class NotAFloat:
    """__float__ returning a str: the interpreter's conversion raises TypeError."""

    def __float__(self):
        return "1.5"


class Subclass(np.ndarray):
    pass


class LyingSequence:
    """A sequence whose reported length has nothing to do with its items."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __repr__(self):
        return f"LyingSequence({self.items!r}, {self.length})"


SPECIAL_REALS = [
    0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324, 1.4e-45, 1.1754942e-38,
    3.4028235e38, 3.5e38, 1.7976931348623157e308, -1e-300, 1e-20, 1e20, 2.0**31, 2.0**64,
]
WRONG_KINDS = [
    None, "1.5", b"1", "", [1.0], (1.0,), {}, object(), 1j, np.array([1.0, 2.0]), NotAFloat(),
    WithIndex(2**80), slice(1), 2**2000, -(2**1100),
]
wrong_kind = st.sampled_from(WRONG_KINDS)

floats = st.one_of(
    st.floats(), st.floats(width=32), st.sampled_from(SPECIAL_REALS),
    st.floats(min_value=-1e-300, max_value=1e-300),
)
# Anything the interpreter's float conversion takes, with any value.
reals = st.one_of(
    floats,
    floats,
    st.integers(-(2**1000), 2**1000),
    st.booleans(),
    st.floats(width=32).map(np.float32),
    st.floats(width=16).map(np.float16),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    floats.map(WithFloat),
    st.integers(-(2**40), 2**40).map(WithIndex),
)
# Anything the interpreter's integer conversion takes; a third of them beyond 32 bits.
integers = st.one_of(
    st.integers(-(2**31), 2**31 - 1),
    st.sampled_from([0, -1, 1, 2, 11, 12, 2**31 - 1, -(2**31)]),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, 2**64, -(2**64)]),
    st.integers(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    st.integers(-128, 127).map(np.int8),
    st.integers(-(2**40), 2**40).map(WithIndex),
)


@st.composite
def rarely(draw):
    """True about one time in four. (Hypothesis draws indices towards both ends of a range, so
    repeating an entry of sampled_from does not make it proportionally more likely.)"""
    return draw(st.booleans()) and draw(st.booleans())


OTHER_DTYPES = [
    "float16", "float32", "float64", ">f4", ">f8", "int8", "int32", "int64", "uint32", "uint64",
    ">u8", "bool", "complex64", "object", "U3", "datetime64[s]",
]


def elements_for(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind == "O":
        return st.one_of(st.none(), st.floats(), st.text(max_size=2))
    if dtype.kind == "U":
        return st.text(max_size=3)
    return hnp.from_dtype(dtype)


LAYOUTS = ["C", "F", "transposed", "reversed", "strided", "broadcast", "misaligned", "readonly",
           "subclass", "masked"]


def laid_out(array, layout):
    """`array`'s contents in another memory layout (a view or a copy with the same values)."""
    if layout == "F":
        return np.asfortranarray(array)
    if layout == "transposed" and array.ndim >= 2:
        return np.ascontiguousarray(array.T).T
    if layout == "reversed" and array.ndim >= 1:
        return np.ascontiguousarray(array[::-1])[::-1]
    if layout == "strided" and array.ndim >= 1:
        return np.repeat(array, 2, axis=0)[::2]
    if layout == "broadcast" and array.size > 0:
        return np.broadcast_to(array.flat[0], array.shape)
    if layout == "misaligned" and array.dtype.itemsize > 1 and array.dtype.kind != "O":
        moved = np.zeros(array.nbytes + 1, np.uint8)[1:].view(array.dtype).reshape(array.shape)
        moved[...] = array
        return moved
    if layout == "readonly":
        copy = array.copy()
        copy.flags.writeable = False
        return copy
    if layout == "subclass":
        return array.view(Subclass)
    if layout == "masked" and array.dtype.kind != "O":
        return np.ma.masked_array(array)
    return array


ODDITIES = ["dtype", "shape", "list", "wrong", "layout", "values"]


@st.composite
def arrays(draw, dtype, shape, elements=None, odd=False, any_layout=False):
    """An ndarray of `dtype` and `shape` with values from `elements`, in C order or, where
    `any_layout`, in any layout. An `odd` one deviates in one way: another dtype, rank or length,
    a plain list, an object of another kind, another layout or values of any kind."""
    oddity = draw(st.sampled_from(ODDITIES)) if odd else None
    if oddity == "wrong":
        return draw(wrong_kind)
    if oddity == "dtype":
        dtype, elements = draw(st.sampled_from(OTHER_DTYPES)), None
    if oddity == "shape":
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3))
    if oddity == "values" and np.dtype(dtype).kind == "f":
        elements = floats.map(np.dtype(dtype).type)
    array = draw(hnp.arrays(np.dtype(dtype), shape, elements=elements or elements_for(dtype),
                            fill=st.nothing()))
    if oddity == "list":
        return array.tolist()
    return laid_out(array, draw(st.sampled_from(LAYOUTS)) if any_layout or oddity else "C")


@st.composite
def odd_one(draw, names):
    """One of `names`, or None half of the time."""
    return draw(st.sampled_from(names)) if draw(st.booleans()) else None


@st.composite
def calls(draw, arguments):
    """(args, kwargs) for a constructor: the keyword arguments drawn from `arguments`, sometimes
    with one replaced by an object of the wrong kind, one missing, one unknown, or a positional
    argument added."""
    kwargs = draw(st.fixed_dictionaries(arguments))
    args = ()
    change = draw(st.sampled_from(["wrong", "drop", "unknown", "positional"])) if draw(
        rarely()) else "none"
    if change in ("wrong", "drop") and kwargs:
        name = draw(st.sampled_from(sorted(kwargs)))
        if change == "wrong":
            kwargs[name] = draw(wrong_kind)
        else:
            del kwargs[name]
    elif change == "unknown":
        kwargs["bogus"] = 1.0
    elif change == "positional":
        args = (1.0,)
    return args, kwargs


# --- Arguments of every class -----------------------------------------------------------------

SOURCE = ["corner_frequency_constant", "corner_frequency_alpha", "rupture_velocity_fraction",
          "rupture_velocity_shallow", "rupture_velocity_deep", "rupture_velocity_sigma"]
SEGMENT_SCALARS = ["longitude_deg", "latitude_deg", "strike_deg", "dip_deg", "rake_deg",
                   "top_depth_km", "subfault_length_km", "subfault_width_km",
                   "hypocentre_along_strike_km", "hypocentre_down_dip_km"]
GRIDS = ["slip", "rise_time_s", "rupture_time_s", "stress_drop_bars"]
LAYERS = [("thickness_km", "float32"), ("vp_km_s", "float64"), ("vsh_km_s", "float64"),
          ("density_g_cm3", "float64"), ("quality_factor_p", "float32"),
          ("quality_factor_s", "float32")]
STATIONS = [("latitude_deg", "float32"), ("longitude_deg", "float32"), ("station_seed", "uint64"),
            ("kappa_s", "float32"), ("q_frequency_exponent", "float32")]

ray_sets = st.one_of(
    st.lists(integers, max_size=6),
    st.lists(integers, max_size=6).map(tuple),
    st.integers(0, 6).map(range),
    st.lists(st.integers(0, 9), max_size=4).map(lambda codes: np.array(codes, np.int64)),
    st.lists(st.integers(0, 9), max_size=4).map(iter),  # an iterator is not a sequence
    st.binary(max_size=4),
    st.text(max_size=3),
    st.builds(LyingSequence, st.lists(st.integers(0, 4), max_size=3),
              st.sampled_from([0, 2, 2**40, -1])),
)


@st.composite
def grids(draw, max_side):
    min_side = 0 if draw(rarely()) else 1  # now and then an empty grid
    shape = draw(hnp.array_shapes(min_dims=2, max_dims=2, min_side=min_side, max_side=max_side))
    positive = st.floats(min_value=0.0, exclude_min=True, width=32, allow_infinity=False)
    odd = draw(odd_one(GRIDS))
    return {name: draw(arrays(np.float32, shape, positive if name == "stress_drop_bars" else None,
                              odd=name == odd, any_layout=True))
            for name in GRIDS}


@st.composite
def velocity_arguments(draw):
    count = 0 if draw(rarely()) else draw(st.integers(1, 5))  # now and then no layer at all
    odd = draw(odd_one([name for name, _ in LAYERS]))
    kwargs = {name: draw(arrays(dtype, (count,), odd=name == odd)) for name, dtype in LAYERS}
    # Mostly a Moho faster than the first layer, so that the model is kept.
    first = kwargs["vsh_km_s"]
    if draw(rarely()) or not (isinstance(first, np.ndarray) and first.size and first.ndim == 1
                              and first.dtype == np.float64):
        kwargs["vs_moho_km_s"] = draw(reals)
    else:
        kwargs["vs_moho_km_s"] = math.inf if math.isnan(first[0]) else float(first[0]) + draw(
            st.floats(0.0, math.inf, exclude_min=True))
    return kwargs


ARGUMENTS = {
    "SourceParameters": calls(dict.fromkeys(SOURCE, reals)),
    "PathParameters": calls({"rayset": ray_sets, "path_duration_model": integers}),
    "SiteParameters": calls({"fmax_hz": reals}),
    "RecordParameters": calls({"duration_s": reals, "dt": reals}),
    "FaultSegment": grids(4).flatmap(
        lambda g: calls({**dict.fromkeys(SEGMENT_SCALARS, reals), **{k: st.just(v) for k, v in
                                                                     g.items()}})),
    "VelocityModel1D": velocity_arguments().flatmap(
        lambda a: calls({k: st.just(v) for k, v in a.items()})),
}


@st.composite
def instances_or_wrong(draw, valid, always=False):
    """`valid`, or now and then (`always` when asked) an object of another class or kind."""
    if not always and not draw(rarely()):
        return valid
    others = [_varnett.SiteParameters(fmax_hz=1.0), _varnett.RecordParameters(duration_s=1, dt=1)]
    return draw(st.sampled_from([*others, *WRONG_KINDS, [valid]]))


# --- Scenarios that reach a station run -------------------------------------------------------


def record_samples(duration_s, dt):
    """The record length a Simulator computes: the f32 quotient, truncated and saturated."""
    with np.errstate(all="ignore"):
        quotient = np.float32(duration_s) / np.float32(dt)
    if not quotient > 0:
        return 0
    return math.inf if math.isinf(quotient) else int(quotient)


class Physical:
    """Draws a scenario's values from physical ranges, except one field (or none), chosen per
    scenario, that takes arbitrary values: a broken value then meets otherwise sound inputs."""

    FIELDS = (
        "corner_frequency_constant", "corner_frequency_alpha", "rupture_velocity_fraction",
        "rupture_velocity_shallow", "rupture_velocity_deep", "rupture_velocity_sigma", "fmax_hz",
        "dt", "duration_s", "subfault_size_km", *SEGMENT_SCALARS, *GRIDS,
        *(name for name, _ in LAYERS), "vs_moho_km_s", *(name for name, _ in STATIONS),
    )

    def __init__(self, draw):
        self.draw = draw
        self.wild = draw(st.sampled_from(self.FIELDS)) if draw(st.booleans()) else None

    def elements(self, name, low, high):
        return floats if name == self.wild else st.floats(low, high)

    def value(self, name, low, high):
        return self.draw(self.elements(name, low, high))

    def array(self, name, dtype, shape, low, high):
        elements = self.elements(name, low, high).map(np.dtype(dtype).type)
        return self.draw(hnp.arrays(dtype, shape, elements=elements, fill=st.nothing()))


def run_record(physical):
    dt = physical.value("dt", 0.002, 0.05)
    duration = physical.draw(st.integers(0, MAX_RUN_SAMPLES).map(
        lambda n: float(np.float32(n) * np.float32(dt))))
    if physical.wild == "duration_s":
        duration = physical.draw(floats)
    if MAX_RUN_SAMPLES < record_samples(duration, dt) <= LONGEST_RECORD:
        duration = float(np.float32(MAX_RUN_SAMPLES) * np.float32(dt))  # long is slow, not wrong
    return _varnett.RecordParameters(duration_s=duration, dt=dt)


def run_segment(physical, size_km):
    shape = physical.draw(hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=3))
    ranges = {"slip": (1.0, 500.0), "rise_time_s": (0.1, 5.0), "rupture_time_s": (0.0, 10.0),
              "stress_drop_bars": (1.0, 200.0)}
    kwargs = {name: laid_out(physical.array(name, np.float32, shape, *ranges[name]),
                             physical.draw(st.sampled_from(LAYOUTS)))
              for name in ranges}
    kwargs.update(
        longitude_deg=physical.value("longitude_deg", -0.5, 0.5),
        latitude_deg=physical.value("latitude_deg", -0.5, 0.5),
        strike_deg=physical.value("strike_deg", 0.0, 360.0),
        dip_deg=physical.value("dip_deg", 5.0, 90.0),
        rake_deg=physical.value("rake_deg", -180.0, 180.0),
        top_depth_km=physical.value("top_depth_km", 0.0, 20.0),
        subfault_length_km=size_km,
        subfault_width_km=size_km,
        hypocentre_along_strike_km=physical.value("hypocentre_along_strike_km", 0.0, 10.0),
        hypocentre_down_dip_km=physical.value("hypocentre_down_dip_km", 0.0, 10.0),
    )
    return call("scenario", _varnett.FaultSegment, **kwargs)


def run_velocity(physical):
    count = physical.draw(st.integers(1, 5))
    ranges = {"thickness_km": (0.5, 20.0), "vp_km_s": (1.0, 8.0), "vsh_km_s": (0.5, 4.5),
              "density_g_cm3": (1.5, 3.5), "quality_factor_p": (10.0, 2000.0),
              "quality_factor_s": (10.0, 1000.0)}
    kwargs = {name: physical.array(name, dtype, count, *ranges[name]) for name, dtype in LAYERS}
    kwargs["vs_moho_km_s"] = physical.value("vs_moho_km_s", 4.5, 5.0)
    return call("scenario", _varnett.VelocityModel1D, **kwargs)


@st.composite
def scenarios(draw):
    """A Simulator's three inputs (None for one whose constructor refused its values) and the
    station arrays of a run."""
    physical = Physical(draw)
    config = _varnett.HfConfig(
        source=_varnett.SourceParameters(
            corner_frequency_constant=physical.value("corner_frequency_constant", 0.5, 3.0),
            corner_frequency_alpha=physical.value("corner_frequency_alpha", 0.0, 1.0),
            rupture_velocity_fraction=physical.value("rupture_velocity_fraction", 0.5, 1.0),
            rupture_velocity_shallow=physical.value("rupture_velocity_shallow", 0.3, 1.0),
            rupture_velocity_deep=physical.value("rupture_velocity_deep", 0.8, 1.5),
            rupture_velocity_sigma=physical.value("rupture_velocity_sigma", 0.0, 0.3),
        ),
        path=_varnett.PathParameters(
            rayset=draw(st.lists(st.integers(0, 8), max_size=3)),
            path_duration_model=draw(st.sampled_from([0, 1, 2, 11, 12, -4])),
        ),
        site=_varnett.SiteParameters(fmax_hz=physical.value("fmax_hz", 5.0, 50.0)),
        record=run_record(physical),
    )
    # Every segment is diced alike, as a Simulator requires.
    size_km = physical.value("subfault_size_km", 0.5, 5.0)
    segments = [run_segment(physical, size_km) for _ in range(draw(st.integers(1, 2)))]
    slip = call("scenario", _varnett.SlipModel, [s for s in segments if s is not None])
    return (config, slip, run_velocity(physical)), station_arrays(physical)


def station_arrays(physical):
    count = physical.draw(st.integers(0, 4))
    lengths = [count] * 5
    if physical.draw(rarely()):
        lengths = physical.draw(st.lists(st.integers(0, 4), min_size=5, max_size=5))
    near = {"latitude_deg": (-1.0, 1.0), "longitude_deg": (-1.0, 1.0), "kappa_s": (-0.01, 0.08),
            "q_frequency_exponent": (0.0, 1.0)}
    odd = physical.draw(odd_one([name for name, _ in STATIONS]))
    out = {}
    for (name, dtype), n in zip(STATIONS, lengths):
        elements = physical.elements(name, *near[name]).map(np.float32) if name in near else None
        out[name] = physical.draw(arrays(dtype, (n,), elements, odd=name == odd))
    return out


# --- Targets ----------------------------------------------------------------------------------


def fuzz_constructor(name):
    cls = getattr(_varnett, name)

    @given(ARGUMENTS[name])
    def fuzz(arguments):
        args, kwargs = arguments
        call(name, cls, *args, **kwargs)

    return fuzz


def fuzz_hf_config():
    parts = {
        "source": _varnett.SourceParameters(**dict.fromkeys(SOURCE, 1.0)),
        "path": _varnett.PathParameters(rayset=[1], path_duration_model=0),
        "site": _varnett.SiteParameters(fmax_hz=1.0),
        "record": _varnett.RecordParameters(duration_s=1.0, dt=1.0),
    }

    @given(calls({name: instances_or_wrong(part) for name, part in parts.items()}))
    def fuzz(arguments):
        args, kwargs = arguments
        call("HfConfig", _varnett.HfConfig, *args, **kwargs)

    return fuzz


def fuzz_slip_model():
    segment = _varnett.FaultSegment(**dict.fromkeys(SEGMENT_SCALARS, 1.0),
                                    **{name: np.ones((1, 2), np.float32) for name in GRIDS})

    @st.composite
    def sequences(draw):
        items = [segment] * draw(st.integers(0, 3))
        if items and draw(rarely()):  # one item of another class or kind
            items[draw(st.integers(0, len(items) - 1))] = draw(instances_or_wrong(segment, True))
        shape = draw(st.sampled_from(["list", "tuple", "lying"]))
        if shape == "lying":
            return LyingSequence(items, draw(st.sampled_from([0, 5, 2**40])))
        return tuple(items) if shape == "tuple" else items

    odd = st.sampled_from([segment, "segments", iter([segment]), {0: segment}, b"\x01",
                           np.array([segment, segment], dtype=object), range(2), *WRONG_KINDS])
    segments = rarely().flatmap(lambda is_odd: odd if is_odd else sequences())

    @given(segments, st.booleans())
    def fuzz(value, by_keyword):
        if by_keyword:
            call("SlipModel", _varnett.SlipModel, segments=value)
        else:
            call("SlipModel", _varnett.SlipModel, value)

    return fuzz


def fuzz_simulator():
    @given(scenarios(), st.data())
    def fuzz(scenario, data):
        args = [data.draw(instances_or_wrong(x)) for x in scenario[0]]
        call("Simulator", _varnett.Simulator, *args)

    return fuzz


def fuzz_run_stations():
    empty = {name: np.zeros(0, dtype) for name, dtype in STATIONS}

    @given(scenarios())
    def fuzz(scenario):
        inputs, stations = scenario
        if None in inputs:
            return
        simulator = call("scenario", _varnett.Simulator, *inputs)
        if simulator is None:
            return
        result = call("run_stations", simulator.run_stations, **stations)
        if result is not None:
            n_time = simulator.run_stations(**empty).shape[2]
            assert result.dtype == np.float32 and result.flags.c_contiguous
            assert result.shape == (3, len(stations["latitude_deg"]), n_time)

    return fuzz


TARGETS = {
    **{name: (lambda name=name: fuzz_constructor(name)) for name in ARGUMENTS},
    "HfConfig": fuzz_hf_config,
    "SlipModel": fuzz_slip_model,
    "Simulator": fuzz_simulator,
    "run_stations": fuzz_run_stations,
}


def summary(target):
    outcomes = {outcome: n for (t, outcome), n in sorted(OUTCOMES.items()) if t == target}
    return sum(outcomes.values()), ", ".join(f"{k} {v}" for k, v in outcomes.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--examples", type=int, default=200, help="examples per target")
    parser.add_argument("--seed", type=int, help="hypothesis seed (random when omitted)")
    parser.add_argument("--derandomize", action="store_true", help="the same examples every run")
    parser.add_argument("targets", nargs="*", help=f"some of {', '.join(TARGETS)} (all)")
    options = parser.parse_args()
    unknown = set(options.targets) - set(TARGETS)
    if unknown:
        parser.error(f"unknown targets {sorted(unknown)}")
    warnings.simplefilter("ignore")  # NumPy's deprecations of odd conversions are not the point
    faulthandler.enable()

    seed = options.seed if options.seed is not None else int.from_bytes(
        np.random.SeedSequence().generate_state(1).tobytes(), "little")
    mode = "derandomized" if options.derandomize else f"seed {seed}"
    print(f"fuzz: {options.examples} examples per target, {mode}", flush=True)
    started = time.monotonic()
    for name in options.targets or TARGETS:
        test = settings(max_examples=options.examples, deadline=None, database=None,
                        derandomize=options.derandomize,
                        suppress_health_check=list(HealthCheck))(TARGETS[name]())
        if not options.derandomize:
            test = hypothesis.seed(seed)(test)
        t0 = time.monotonic()
        test()
        count, outcomes = summary(name)
        print(f"  {name}: {count} calls in {time.monotonic() - t0:.1f} s, the slowest "
              f"{SLOWEST_S[name]:.3f} s ({outcomes})", flush=True)
    count, outcomes = summary("scenario")
    print(f"  scenario inputs of Simulator and run_stations: {count} calls ({outcomes})")
    for message, n in INTERNAL_ERRORS.most_common():
        print(f"  InternalError x{n}: {message}")
    print(f"fuzz: {sum(OUTCOMES.values())} calls, each succeeded or raised a documented exception "
          f"with a message ({time.monotonic() - started:.1f} s)")


if __name__ == "__main__":
    sys.exit(main())
