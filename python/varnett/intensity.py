"""Intensity measures of acceleration records: PGA, PGV and pseudo-spectral acceleration.

Notation: ``a`` ground acceleration, ``x`` relative displacement of a linear single-degree-of-
freedom oscillator of natural period ``T`` (circular frequency ``w = 2 pi / T``) and damping ratio
``z``, obeying ``x'' + 2 z w x' + w^2 x = -a``. The pseudo-spectral acceleration is
``PSA(T) = w^2 max |x|``.

The oscillator is integrated by the piecewise-exact method (Nigam & Jennings, 1969): the ground
acceleration is taken as linear between samples, and over each step the state ``(x, x')`` is
advanced by the exact solution for such an input. The step matrices come from the exponential of
the oscillator's system matrix augmented by the input and its slope, so the recurrence is exact
for piecewise-linear input whatever the ratio of period to sample interval. The recurrence is a
second-order linear filter of the input, run with ``scipy.signal.lfilter``.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
from scipy.linalg import expm
from scipy.signal import lfilter

__all__ = [
    "STANDARD_PERIODS_S",
    "oscillator_displacement",
    "pga",
    "pgv",
    "psa",
    "velocity",
]

#: Oscillator periods in seconds at which PSA is reported by default: the periods common in
#: ground-motion models (e.g. the NGA-West2 set between 0.01 and 10 s).
STANDARD_PERIODS_S: tuple[float, ...] = (
    0.01, 0.02, 0.03, 0.05, 0.075, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5, 0.75,
    1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.5, 10.0,
)  # fmt: skip

#: Damping ratio of the standard response spectrum.
STANDARD_DAMPING = 0.05


def pga(acceleration: npt.ArrayLike) -> np.ndarray:
    """Peak ground acceleration: the largest absolute value along the last axis (time)."""
    return np.abs(np.asarray(acceleration, dtype=np.float64)).max(axis=-1, initial=0.0)


def velocity(acceleration: npt.ArrayLike, dt_s: float) -> np.ndarray:
    """Ground velocity from rest by the trapezoidal rule along the last axis.

    Consistent with piecewise-linear acceleration between samples; units are those of the
    acceleration times seconds (cm/s for cm/s^2).
    """
    a = np.asarray(acceleration, dtype=np.float64)
    v = np.zeros_like(a)
    np.cumsum((a[..., 1:] + a[..., :-1]) * (0.5 * dt_s), axis=-1, out=v[..., 1:])
    return v


def pgv(acceleration: npt.ArrayLike, dt_s: float) -> np.ndarray:
    """Peak ground velocity: the largest absolute value of :func:`velocity` along time."""
    return np.abs(velocity(acceleration, dt_s)).max(axis=-1, initial=0.0)


def _step_filter(period_s: float, damping: float, dt_s: float) -> tuple[np.ndarray, ...]:
    """Filter coefficients ``b``, ``a`` and the initial state for an oscillator at rest.

    State ``s = (x, x')``; over one step with input ``a`` linear from ``a0`` to ``a1``,
    ``s1 = A s0 + p a0 + q a1``. Eliminating ``x'`` gives the filter
    ``x[n+1] = tr(A) x[n] - det(A) x[n-1] + q1 a[n+1] + b1 a[n] + b2 a[n-1]``.
    """
    w = 2.0 * np.pi / period_s
    # d/dt (x, x', a, slope) with a' = slope and slope constant over the step.
    system = np.array([
        [0.0, 1.0, 0.0, 0.0],
        [-w * w, -2.0 * damping * w, -1.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
        [0.0, 0.0, 0.0, 0.0],
    ])  # fmt: skip
    step = expm(system * dt_s)
    a = step[:2, :2]
    q = step[:2, 3] / dt_s
    p = step[:2, 2] - q
    b = np.array([q[0], p[0] - a[1, 1] * q[0] + a[0, 1] * q[1], a[0, 1] * p[1] - a[1, 1] * p[0]])
    den = np.array([1.0, -(a[0, 0] + a[1, 1]), a[0, 0] * a[1, 1] - a[0, 1] * a[1, 0]])
    # Initial filter state making x[0] = 0 and x[1] = p0 a[0] + q0 a[1]: at rest at the first
    # sample, the input starting at a[0] (the transposed direct form of lfilter).
    zi_per_a0 = np.array([-b[0], a[1, 1] * q[0] - a[0, 1] * q[1]])
    return b, den, zi_per_a0


def oscillator_displacement(
    acceleration: npt.ArrayLike, dt_s: float, period_s: float, damping: float = STANDARD_DAMPING
) -> np.ndarray:
    """Relative displacement of an oscillator at rest at the first sample.

    Parameters
    ----------
    acceleration : array_like
        Ground acceleration, time along the last axis.
    dt_s : float
        Sample interval, s.
    period_s : float
        Natural period of the oscillator, s.
    damping : float, optional
        Damping ratio (default 0.05).

    Returns
    -------
    numpy.ndarray
        Displacement at every sample, float64, same shape as ``acceleration``; units of the
        acceleration times s^2.
    """
    a = np.asarray(acceleration, dtype=np.float64)
    b, den, zi_per_a0 = _step_filter(period_s, damping, dt_s)
    if a.shape[-1] == 0:
        return a.copy()
    zi = zi_per_a0 * a[..., :1]
    x, _ = lfilter(b, den, a, axis=-1, zi=zi)
    return x


def psa(
    acceleration: npt.ArrayLike,
    dt_s: float,
    periods_s: npt.ArrayLike = STANDARD_PERIODS_S,
    damping: float = STANDARD_DAMPING,
) -> np.ndarray:
    """Pseudo-spectral acceleration ``(2 pi / T)^2 max |x|`` at each period.

    Parameters
    ----------
    acceleration : array_like
        Ground acceleration, time along the last axis, any leading shape.
    dt_s : float
        Sample interval, s.
    periods_s : array_like, optional
        Oscillator periods, s (default :data:`STANDARD_PERIODS_S`).
    damping : float, optional
        Damping ratio (default 0.05, the standard 5 %).

    Returns
    -------
    numpy.ndarray
        float64 of shape ``acceleration.shape[:-1] + (n_periods,)``, in the units of the
        acceleration.
    """
    a = np.asarray(acceleration, dtype=np.float64)
    periods = np.asarray(periods_s, dtype=np.float64).reshape(-1)
    out = np.empty(a.shape[:-1] + periods.shape)
    for k, period in enumerate(periods):
        x = oscillator_displacement(a, dt_s, float(period), damping)
        peak = np.abs(x).max(axis=-1, initial=0.0)
        out[..., k] = (2.0 * np.pi / period) ** 2 * peak
    return out
