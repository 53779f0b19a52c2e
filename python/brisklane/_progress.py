"""A one-line progress bar for long pricings, drawn on a terminal stream."""

from __future__ import annotations

import sys
import time
from typing import Any, Optional, TextIO


def _count(n: float) -> str:
    """A path count or rate in a few characters: 950, 12.5k, 3.20M, 1.00G."""
    for unit, size in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if abs(n) >= size:
            return f"{n / size:.3g}{unit}"
    return f"{n:.0f}"


def _duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, rest = divmod(int(seconds), 60)
    if minutes < 60:
        return f"{minutes} min {rest:02d} s"
    return f"{minutes // 60} h {minutes % 60:02d} min"


class ProgressBar:
    """Draws ``paths done / total, rate, ETA and the running price ± stderr`` on one line.

    Parameters
    ----------
    stream : text stream, optional
        Where to draw; default ``sys.stderr``.
    delay : float, optional
        Seconds to stay silent first, so that short runs draw nothing.
    unit : str, optional
        What is counted (default ``"paths"``; a grid counts ``"points"``).
    """

    _WIDTH = 24
    _REDRAW_SECONDS = 0.1

    def __init__(self, stream: Optional[TextIO] = None, delay: float = 0.0, unit: str = "paths") -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.unit = unit
        self.delay = delay
        self.started = time.perf_counter()
        self.drawn_at = -1.0
        self.visible = False

    def __call__(self, paths_done: int, paths_total: int, running: Optional[Any]) -> None:
        now = time.perf_counter()
        elapsed = now - self.started
        final = paths_done >= paths_total
        if elapsed < self.delay or (not final and now - self.drawn_at < self._REDRAW_SECONDS):
            return
        self.drawn_at = now
        share = paths_done / paths_total if paths_total else 1.0
        filled = int(round(share * self._WIDTH))
        bar = "#" * filled + "." * (self._WIDTH - filled)
        rate = paths_done / elapsed if elapsed > 0 else 0.0
        eta = (paths_total - paths_done) / rate if rate > 0 else float("inf")
        parts = [f"{share:4.0%} [{bar}] {_count(paths_done)}/{_count(paths_total)} {self.unit}", f"{_count(rate)}/s"]
        parts.append(f"{_duration(elapsed)}" if final else f"ETA {_duration(eta) if rate > 0 else '?'}")
        if running is not None:
            parts.append(f"{running.price:.6g} ± {running.stderr:.2g}")
        self.stream.write("\r" + "  ".join(parts) + "\x1b[K")
        self.stream.flush()
        self.visible = True

    def close(self) -> None:
        """Ends the line, if anything was drawn."""
        if self.visible:
            self.stream.write("\n")
            self.stream.flush()
            self.visible = False
