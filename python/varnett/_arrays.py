"""Small helpers for the read-only NumPy arrays held by the package's data classes."""

from __future__ import annotations

import numpy as np


def frozen(values: object, dtype: type[np.generic]) -> np.ndarray:
    """A read-only C-contiguous copy of ``values`` in ``dtype``."""
    array = np.array(values, dtype=dtype, order="C")
    array.setflags(write=False)
    return array


def same_bits(a: object, b: object) -> bool:
    """True when two arrays agree in dtype, shape and every bit.

    NaN equals NaN and -0 differs from 0: the comparison a file round trip must pass.
    """
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def flat_buffer(values: np.ndarray) -> np.ndarray:
    """``values`` as the module reads flat arrays: C-contiguous and aligned.

    Arrays that arrived by pickle, e.g. on a Dask worker, may sit at unaligned offsets in a
    message buffer; those are copied, all others passed as they are.
    """
    return np.require(values, requirements=["C_CONTIGUOUS", "ALIGNED"])
