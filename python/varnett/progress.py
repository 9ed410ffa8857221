"""A progress bar on standard error for long station runs."""

from __future__ import annotations

import math
import sys
import time
from typing import TextIO

__all__ = ["Progress"]

#: A run that finishes sooner than this shows no bar when the bar is automatic, s.
AUTO_DELAY_S = 1.0
#: Least time between two updates of the bar, s: keeps a fast run from flooding the terminal.
REFRESH_S = 0.2
#: Least time between two lines when standard error is not a terminal, s.
LINE_INTERVAL_S = 5.0
_BAR_WIDTH = 30


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(round(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


class Progress:
    """Counts finished stations and draws a bar with the elapsed and remaining time.

    On a terminal the bar is redrawn in place; otherwise a line is written now and then and
    at the end.

    Parameters
    ----------
    total : int
        Number of stations in the run.
    enabled : bool or None
        True shows the bar, False never; None shows it on a terminal once the run has taken
        longer than :data:`AUTO_DELAY_S`.
    stream : text stream, optional
        Where to draw (default ``sys.stderr``).
    label : str, optional
        Text before the bar.
    """

    def __init__(
        self,
        total: int,
        enabled: bool | None = None,
        *,
        stream: TextIO | None = None,
        label: str = "simulating",
    ) -> None:
        self.total, self.done, self.label = total, 0, label
        self.stream = stream if stream is not None else sys.stderr
        self.tty = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = enabled
        self.started = time.monotonic()
        self.last_drawn = -float("inf")
        self.drawn = False

    def advance(self, stations: int) -> None:
        """Record ``stations`` more finished stations and redraw when it is time."""
        self.done += stations
        now = time.monotonic()
        interval = REFRESH_S if self.tty else LINE_INTERVAL_S
        if self._visible(now) and now - self.last_drawn >= interval:
            self._draw(now)

    def close(self) -> None:
        """Draw the final state, if the bar was shown, and end its line."""
        now = time.monotonic()
        if self.drawn or (self.enabled and self.total):
            self._draw(now)
            if self.tty:
                self.stream.write("\n")
                self.stream.flush()

    def _visible(self, now: float) -> bool:
        if self.enabled is None:
            return self.tty and now - self.started >= AUTO_DELAY_S
        return self.enabled

    def _draw(self, now: float) -> None:
        elapsed = now - self.started
        fraction = self.done / self.total if self.total else 1.0
        filled = round(_BAR_WIDTH * fraction)
        bar = "#" * filled + "-" * (_BAR_WIDTH - filled)
        remaining = elapsed / fraction - elapsed if fraction > 0 else float("nan")
        eta = "?" if math.isnan(remaining) else _clock(remaining)
        text = (
            f"{self.label} [{bar}] {self.done}/{self.total} stations, "
            f"{_clock(elapsed)} elapsed, {eta} left"
        )
        self.stream.write(("\r" + text) if self.tty else (text + "\n"))
        self.stream.flush()
        self.last_drawn, self.drawn = now, True
