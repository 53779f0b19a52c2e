"""What every command shares: the exit statuses, the user-facing error, the library and a timed call."""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, Tuple

EXIT_OK = 0
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE: what `cmd | head -1` reports for a tool that takes the signal


class CliError(Exception):
    """A user-facing error: reported as one ``error:`` line, exit status 2."""


def library() -> Any:
    """Import the brisklane package on first need.

    Returns
    -------
    module
        The ``brisklane`` package, whose functions the commands call.

    Raises
    ------
    CliError
        If the package (or its native module) cannot be imported.
    """
    try:
        import brisklane
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise CliError(f"cannot import brisklane: {exc}") from None
    return brisklane


def timed_call(function: Callable[[Any], Dict[str, Any]], config: Dict[str, Any]) -> Tuple[Dict[str, Any], float]:
    """Call a library function on a configuration and time the call.

    Parameters
    ----------
    function : callable
        A library function taking one configuration dictionary.
    config : dict
        The configuration passed to it.

    Returns
    -------
    result : dict
        What the function returned.
    seconds : float
        The wall time of the call.
    """
    start = time.perf_counter()
    result = function(config)
    return result, time.perf_counter() - start
