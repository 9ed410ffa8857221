"""Station tables: names, coordinates, seeds and the per-station site and path parameters."""

from __future__ import annotations

import hashlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._arrays import flat_buffer, frozen, same_bits

__all__ = [
    "DEFAULT_KAPPA_S",
    "DEFAULT_Q_FREQUENCY_EXPONENT",
    "Stations",
    "seed_from_name",
]

#: Near-surface attenuation used when a station table gives no kappa: a common value for
#: rock sites in active crustal regions (Anderson & Hough, 1984), in seconds.
DEFAULT_KAPPA_S = 0.04
#: Frequency exponent of the path quality factor, Q(f) = Q0 f^eta, used when a station table
#: gives none: typical of tectonically active crust.
DEFAULT_Q_FREQUENCY_EXPONENT = 0.6

_U64_MAX = 2**64 - 1


def seed_from_name(name: str) -> int:
    """Derive a station's 64-bit seed from its name.

    The seed is the first eight bytes of the BLAKE2b digest (8-byte digest size) of the name
    encoded as UTF-8, read as a little-endian unsigned integer. The same name gives the same
    seed on every machine and in every Python version.

    Parameters
    ----------
    name : str
        Station name.

    Returns
    -------
    int
        A seed in ``[0, 2**64)``.
    """
    digest = hashlib.blake2b(name.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _column(values: object, dtype: type[np.generic], n: int) -> np.ndarray:
    """One read-only column of ``n`` entries; a scalar is repeated for every station."""
    array = np.array(values, dtype=dtype)
    return frozen(np.full(n, array, dtype=dtype) if array.ndim == 0 else array, dtype)


@dataclass(frozen=True, eq=False)
class Stations:
    """A table of stations, in the order their records are produced.

    Parameters
    ----------
    name : sequence of str
        Unique station names.
    latitude_deg, longitude_deg : array_like
        Geographic coordinates in degrees (kept in single precision, as the simulation uses
        them).
    seed : array_like of uint64, optional
        Seeds of the stations' random draws. Missing seeds are derived from the names with
        :func:`seed_from_name`.
    kappa_s : array_like or float, optional
        Near-surface attenuation kappa in seconds (default :data:`DEFAULT_KAPPA_S`).
    q_frequency_exponent : array_like or float, optional
        Frequency exponent of the path quality factor (default
        :data:`DEFAULT_Q_FREQUENCY_EXPONENT`).

    Raises
    ------
    ValueError
        If the columns differ in length or the names are not unique.
    """

    name: tuple[str, ...]
    latitude_deg: npt.NDArray[np.float32]
    longitude_deg: npt.NDArray[np.float32]
    seed: npt.NDArray[np.uint64] | None = None
    kappa_s: npt.NDArray[np.float32] | float = DEFAULT_KAPPA_S
    q_frequency_exponent: npt.NDArray[np.float32] | float = DEFAULT_Q_FREQUENCY_EXPONENT

    def __post_init__(self) -> None:
        names = tuple(str(n) for n in self.name)
        n = len(names)
        seed = self.seed if self.seed is not None else [seed_from_name(s) for s in names]
        columns = {
            "name": names,
            "latitude_deg": _column(self.latitude_deg, np.float32, n),
            "longitude_deg": _column(self.longitude_deg, np.float32, n),
            "seed": _column(np.asarray(seed, dtype=np.uint64) if n else [], np.uint64, n),
            "kappa_s": _column(self.kappa_s, np.float32, n),
            "q_frequency_exponent": _column(self.q_frequency_exponent, np.float32, n),
        }
        lengths = [len(c) for c in columns.values()]
        if len(set(lengths)) != 1 or any(np.ndim(c) != 1 for c in columns.values()):
            raise ValueError(
                "every station column must have one entry per station. Got lengths "
                f"{lengths} for ({', '.join(columns)})"
            )
        for station in names:
            if not station or station != station.strip() or not station.isprintable():
                raise ValueError(
                    f"station name {station!r} must be printable text, non-empty, without "
                    "leading or trailing blanks"
                )
        duplicates = sorted({s for s in names if names.count(s) > 1})
        if duplicates:
            raise ValueError(f"station names must be unique; repeated: {', '.join(duplicates)}")
        for key, value in columns.items():
            object.__setattr__(self, key, value)

    def __len__(self) -> int:
        return len(self.name)

    def __getitem__(self, index: slice | Sequence[int] | npt.NDArray[np.integer]) -> Stations:
        """The stations selected by a slice or by an array of indices, as a new table."""
        picks = np.arange(len(self))[index]
        return Stations(
            name=tuple(self.name[i] for i in picks),
            latitude_deg=self.latitude_deg[picks],
            longitude_deg=self.longitude_deg[picks],
            seed=self.seed[picks],
            kappa_s=self.kappa_s[picks],
            q_frequency_exponent=self.q_frequency_exponent[picks],
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Stations):
            return NotImplemented
        return self.name == other.name and all(
            same_bits(getattr(self, key), getattr(other, key)) for key in _ARRAY_COLUMNS
        )

    __hash__ = None  # type: ignore[assignment]

    def index(self, name: str) -> int:
        """Position of the station called ``name``.

        Raises
        ------
        KeyError
            If there is no such station.
        """
        try:
            return self.name.index(name)
        except ValueError:
            raise KeyError(f"no station named {name!r}") from None

    def select(self, names: Iterable[str]) -> Stations:
        """The named stations, in the order given."""
        return self[[self.index(n) for n in names]]

    def run_arguments(self) -> dict[str, np.ndarray]:
        """The keyword arguments of ``_varnett.Simulator.run_stations`` for these stations."""
        return {
            "latitude_deg": flat_buffer(self.latitude_deg),
            "longitude_deg": flat_buffer(self.longitude_deg),
            "station_seed": flat_buffer(self.seed),
            "kappa_s": flat_buffer(self.kappa_s),
            "q_frequency_exponent": flat_buffer(self.q_frequency_exponent),
        }

    @classmethod
    def read_csv(
        cls,
        path: str,
        *,
        kappa_s: float = DEFAULT_KAPPA_S,
        q_frequency_exponent: float = DEFAULT_Q_FREQUENCY_EXPONENT,
    ) -> Stations:
        """Read a station table; see :func:`varnett.files.read_stations`."""
        from .files import read_stations

        return read_stations(path, kappa_s=kappa_s, q_frequency_exponent=q_frequency_exponent)

    def write_csv(self, path: str) -> None:
        """Write the table with every column; see :func:`varnett.files.write_stations`."""
        from .files import write_stations

        write_stations(self, path)


_ARRAY_COLUMNS = ("latitude_deg", "longitude_deg", "seed", "kappa_s", "q_frequency_exponent")
