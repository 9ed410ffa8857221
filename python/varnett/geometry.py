"""Where the subfaults are: positions for maps and source-to-station distances for summaries.

The subfault centres are laid out as the simulation lays them out: a flat local projection around
the segment's reference point (the middle of its top edge), with the lengths of one degree of
latitude and longitude on the WGS84 ellipsoid at the reference latitude. Distances here serve
summaries and plots; they are not the simulation's own and agree with the geodesic ones to well
under a percent within a few hundred kilometres.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .scenario import Scenario, Segment

__all__ = [
    "hypocentre",
    "km_per_degree",
    "rupture_distance_km",
    "subfault_centres",
    "subfault_corners",
]

_WGS84_A_KM = 6378.137
_WGS84_F = 1.0 / 298.257223563
_WGS84_E2 = _WGS84_F * (2.0 - _WGS84_F)


def _km_per_degree(phi: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    w = 1.0 - _WGS84_E2 * np.sin(phi) ** 2
    east = np.radians(1.0) * _WGS84_A_KM * np.cos(phi) / np.sqrt(w)
    north = np.radians(1.0) * _WGS84_A_KM * (1.0 - _WGS84_E2) / w**1.5
    return east, north


def km_per_degree(latitude_deg: float) -> tuple[float, float]:
    """Lengths of one degree of longitude and of latitude at a latitude on WGS84, km."""
    east, north = _km_per_degree(np.radians(np.float64(latitude_deg)))
    return float(east), float(north)


def _plane_points(
    segment: Segment, along_km: np.ndarray, down_dip_km: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Latitude, longitude and depth of points given in the fault plane.

    ``along_km`` is measured along strike from the start of the top edge, ``down_dip_km`` down
    dip from the top edge.
    """
    strike, dip = np.radians(segment.strike_deg), np.radians(segment.dip_deg)
    half_length = 0.5 * segment.slip.shape[1] * segment.subfault_length_km
    along = along_km - half_length
    horizontal = down_dip_km * np.cos(dip)
    east = along * np.sin(strike) + horizontal * np.cos(strike)
    north = along * np.cos(strike) - horizontal * np.sin(strike)
    east_km, north_km = km_per_degree(segment.latitude_deg)
    latitude = segment.latitude_deg + north / north_km
    longitude = segment.longitude_deg + east / east_km
    depth = segment.top_depth_km + down_dip_km * np.sin(dip)
    return latitude, longitude, depth


def subfault_centres(segment: Segment) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Latitude, longitude (degrees) and depth (km) of every subfault centre.

    Returns
    -------
    tuple of numpy.ndarray
        Three arrays shaped like the segment's grids, ``(down_dip, along_strike)``.
    """
    rows, columns = segment.slip.shape
    along = (np.arange(columns) + 0.5) * segment.subfault_length_km
    down = (np.arange(rows) + 0.5) * segment.subfault_width_km
    return _plane_points(segment, *np.meshgrid(along, down))


def subfault_corners(segment: Segment) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Latitude, longitude and depth of the subfault corners, shaped ``(rows + 1, columns + 1)``.

    Suited to ``matplotlib``'s ``pcolormesh`` to draw the grid's surface projection.
    """
    rows, columns = segment.slip.shape
    along = np.arange(columns + 1) * segment.subfault_length_km
    down = np.arange(rows + 1) * segment.subfault_width_km
    return _plane_points(segment, *np.meshgrid(along, down))


def hypocentre(segment: Segment) -> tuple[float, float, float]:
    """Latitude, longitude and depth of the segment's hypocentre."""
    latitude, longitude, depth = _plane_points(
        segment,
        np.array(segment.hypocentre_along_strike_km),
        np.array(segment.hypocentre_down_dip_km),
    )
    return float(latitude), float(longitude), float(depth)


def rupture_distance_km(
    scenario: Scenario, latitude_deg: npt.ArrayLike, longitude_deg: npt.ArrayLike
) -> np.ndarray:
    """Distance from each station to the nearest subfault centre of any segment, km.

    Parameters
    ----------
    scenario : Scenario
    latitude_deg, longitude_deg : array_like
        Station coordinates, degrees; the stations are at the surface.

    Returns
    -------
    numpy.ndarray
        float64, one distance per station.
    """
    lat = np.asarray(latitude_deg, dtype=np.float64).reshape(-1, 1)
    lon = np.asarray(longitude_deg, dtype=np.float64).reshape(-1, 1)
    best = np.full(lat.shape[0], np.inf)
    if lat.size == 0:
        return best
    for segment in scenario.segments:
        clat, clon, depth = (c.reshape(1, -1) for c in subfault_centres(segment))
        # Scale at the mid-latitude of each station-subfault pair: a station's distance
        # depends on that station alone.
        east_km, north_km = _km_per_degree(np.radians(0.5 * (lat + clat)))
        east = (lon - clon) * east_km
        north = (lat - clat) * north_km
        distance = np.sqrt(east**2 + north**2 + depth**2)
        best = np.minimum(best, distance.min(axis=1, initial=np.inf))
    return best
