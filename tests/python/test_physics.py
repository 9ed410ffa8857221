"""The whole chain against theory: one subfault, one straight ray, averaged over many seeds.

Every record of a single (subfault, ray) pair is windowed noise whose spectrum is normalised to
unit mean square and shaped by the target spectrum of the stochastic method. Averaged over seeds,
its squared Fourier amplitude must therefore equal the target (omega-squared source of the
subevent, the finite-fault scaling, 1/R spreading, path attenuation and kappa), times the mean
square of the radiation gain, over the fixed output scaling 0.4473. The target is computed here
from first principles, independently of the module.
"""

import itertools

import _varnett
import numpy as np
import pytest

F32 = np.float32

# The scenario: a vertical strike-slip subfault 10 km deep in a uniform crust over the mantle, so
# the quarter-wavelength site gain is 1 and the rupture velocity is frac * beta (no depth taper).
BETA, RHO = 3.5, 2.8  # km/s, g/cm^3
LENGTH = 2.0  # subfault side, km
DEPTH = 10.0  # subfault centre, km
SLIP = 50.0  # cm
STRESS = 40.0  # bars
FRAC, CZERO = 0.8, 1.8
KAPPA, Q_EXPONENT = 0.03, 0.6
DT, DURATION = 0.01, 80.0
STATION_LAT = 0.2  # degrees north of the subfault, on its meridian
OUTPUT_SCALE = 0.4473
SEEDS = 96


def simulate():
    one = (1, 1)
    segment = _varnett.FaultSegment(
        longitude_deg=0.0, latitude_deg=0.0, strike_deg=0.0, dip_deg=90.0, rake_deg=0.0,
        top_depth_km=DEPTH - LENGTH / 2, subfault_length_km=LENGTH, subfault_width_km=LENGTH,
        hypocentre_along_strike_km=1.0, hypocentre_down_dip_km=1.0,
        slip=np.full(one, SLIP, F32), rise_time_s=np.ones(one, F32),
        rupture_time_s=np.zeros(one, F32), stress_drop_bars=np.full(one, STRESS, F32),
    )
    velocity = _varnett.VelocityModel1D(
        thickness_km=np.array([30.0, 0.0], F32), vp_km_s=np.array([6.0, 8.0]),
        vsh_km_s=np.array([BETA, 4.6]), density_g_cm3=np.array([RHO, 3.3]),
        quality_factor_p=np.full(2, 600.0, F32), quality_factor_s=np.full(2, 300.0, F32),
        vs_moho_km_s=4.5,
    )
    config = _varnett.HfConfig(
        source=_varnett.SourceParameters(
            corner_frequency_constant=CZERO, corner_frequency_alpha=0.0,
            rupture_velocity_fraction=FRAC, rupture_velocity_shallow=0.6,
            rupture_velocity_deep=1.2, rupture_velocity_sigma=0.0,
        ),
        path=_varnett.PathParameters(rayset=[0], path_duration_model=0),
        site=_varnett.SiteParameters(fmax_hz=20.0),
        record=_varnett.RecordParameters(duration_s=DURATION, dt=DT),
    )
    sim = _varnett.Simulator(config, _varnett.SlipModel([segment]), velocity)
    return sim.run_stations(
        latitude_deg=np.full(SEEDS, STATION_LAT, F32),
        longitude_deg=np.zeros(SEEDS, F32),
        station_seed=np.arange(1, SEEDS + 1, dtype=np.uint64),
        kappa_s=np.full(SEEDS, KAPPA, F32),
        q_frequency_exponent=np.full(SEEDS, Q_EXPONENT, F32),
    )


def geometry():
    """Epicentral distance (meridian arc near the equator on WGS84), slant distance, take-off."""
    a, f = 6378.137, 1 / 298.257223563
    e2 = f * (2 - f)
    meridian_radius = a * (1 - e2)  # at the equator; 0.2 degrees away it changes by 1e-5
    horiz = np.deg2rad(STATION_LAT) * meridian_radius
    slant = np.hypot(horiz, DEPTH)
    return horiz, slant, np.pi - np.arctan2(horiz, DEPTH)


def target_amplitude(freq):
    """Fourier acceleration amplitude (cm/s) of one subevent pair, before radiation."""
    _, slant, _ = geometry()
    moment = SLIP * BETA**2 * RHO * LENGTH * LENGTH * 1e20  # dyn cm
    subevent = STRESS * LENGTH**3 * 1e21
    scale = moment / subevent  # one carrying subfault
    fc = FRAC * CZERO * BETA / LENGTH / np.pi
    beta_cm = BETA * 1e5
    cc = 0.8946 / (4 * np.pi * RHO * beta_cm**3)
    omega, omega_c = 2 * np.pi * freq, 2 * np.pi * fc
    source = omega**2 / (1 + (omega / omega_c) ** 2) * cc * subevent
    subevent_scaling = (freq**2 + fc**2) * scale / (freq**2 * scale + fc**2)
    qbar = slant / (BETA * 150.0)  # the straight ray's path of quality factor 150
    path = np.exp(-np.pi * (freq ** (1 - Q_EXPONENT) * qbar + KAPPA * freq)) / (slant * 1e5)
    return subevent_scaling * source * path


def sh_sv(strike, dip, rake, takeoff, azimuth):
    """Double-couple SH and SV radiation coefficients (Aki & Richards convention)."""
    phi = azimuth - strike
    sl, cl, sd, cd = np.sin(rake), np.cos(rake), np.sin(dip), np.cos(dip)
    si, ci = np.sin(takeoff), np.cos(takeoff)
    sh = (cl * cd * ci * np.sin(phi) + cl * sd * si * np.cos(2 * phi)
          + sl * np.cos(2 * dip) * ci * np.cos(phi) - 0.5 * sl * np.sin(2 * dip) * si * np.sin(2 * phi))
    sv = (sl * np.cos(2 * dip) * np.cos(2 * takeoff) * np.sin(phi)
          - cl * cd * np.cos(2 * takeoff) * np.cos(phi)
          + 0.5 * cl * sd * np.sin(2 * takeoff) * np.sin(2 * phi)
          - 0.5 * sl * np.sin(2 * dip) * np.sin(2 * takeoff) * (1 + np.sin(phi) ** 2))
    return sh, sv


def mean_square_gains():
    """Expected squared radiation gain of the E, N and vertical components (Monte Carlo)."""
    rng = np.random.default_rng(0)
    n = 2_000_000
    _, _, takeoff = geometry()
    azimuth, strike, dip, rake = 0.0, 0.0, np.pi / 2, 0.0
    u = rng.random((5, n))
    quarter = np.pi / 4
    angles = [(0.5 - u[k]) * 2 * quarter + v for k, v in
              enumerate([takeoff, azimuth, strike, dip, rake])]
    t, az, s, d, r = angles
    sh, sv = sh_sv(s, d, r, t, az)
    gains = []
    for component in (-np.pi / 2, 0.0):
        delta = component - az
        gains.append(np.mean((sh * np.sin(delta) + sv * np.cos(delta)) ** 2))
    # Vertical: |SV sin i| averaged over a +-40 degree cone (kept upward) and all azimuths, halved.
    cone = np.deg2rad(40.0)
    cos_min = np.cos(max(takeoff - cone, np.pi / 2))
    cos_max = np.cos(min(takeoff + cone, np.pi))
    ua, ub = rng.random((2, n))
    tv = np.arccos(ua * cos_max + (1 - ua) * cos_min)
    _, sv_v = sh_sv(strike, dip, rake, tv, ub * 2 * np.pi)
    gains.append((0.5 * np.mean(np.abs(sv_v * np.sin(tv)))) ** 2)
    return np.array(gains)


def test_mean_spectrum_follows_the_target():
    acc = simulate()
    assert acc.shape == (3, SEEDS, int(DURATION / DT))
    spectra = np.abs(np.fft.rfft(acc.astype(np.float64), axis=2)) * DT
    freq = np.fft.rfftfreq(acc.shape[2], DT)
    mean_square = np.mean(spectra**2, axis=1)  # over seeds, per component and frequency

    expected = (target_amplitude(freq) / OUTPUT_SCALE) ** 2 * mean_square_gains()[:, None]
    edges = [0.5, 1, 2, 4, 8, 16]  # Hz: bands wide enough to average the noise down
    for lo, hi in itertools.pairwise(edges):
        band = (freq >= lo) & (freq < hi)
        ratio = mean_square[:, band].mean(axis=1) / expected[:, band].mean(axis=1)
        assert ratio == pytest.approx([1, 1, 1], rel=0.15), (lo, hi, ratio)
