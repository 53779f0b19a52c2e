"""The typed pricing API: :func:`price` and its :class:`Estimate`.

A run is cut into blocks, pure units of work merged in block order, so the result depends on the
configuration and the block plan only: the same bits on any number of threads.
"""

from __future__ import annotations

import difflib
import functools
import math
import numbers
import os
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Mapping, Optional, Sequence, Tuple

from brisklane import _native

__all__ = ["ConfigError", "Estimate", "PRODUCTS", "default_blocks", "price"]

# Products priced through block plans, under the command line's names.
PRODUCTS: Tuple[str, ...] = (
    "european_call",
    "arithmetic_asian_call",
    "down_and_out_call",
    "lookback_call",
    "basket_call",
    "heston_european_call",
    "merton_jump_diffusion_call",
    "american_put",
    "bermudan_put",
    "arithmetic_asian_mlmc",
)

_Z95 = 1.959963984540054  # the 97.5% standard normal quantile
_PATHS_PER_BLOCK = 1 << 16
_MAX_DEFAULT_BLOCKS = 256
_MAX_COUNT = (1 << 64) - 1
_TECHNIQUES = ("standard", "antithetic", "control_variate")
_SAMPLINGS = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)


class ConfigError(ValueError):
    """A field's value, or the configuration as a whole, was rejected."""


@dataclass(frozen=True)
class Estimate:
    """A Monte Carlo price with its standard error and provenance.

    Attributes
    ----------
    price : float
        The estimate.
    stderr : float
        Its standard error.
    interval : tuple of float
        The 95% confidence interval, ``price -/+ 1.96 stderr``.
    n_paths : int
        Paths simulated (antithetic runs count both paths of each pair).
    blocks : int
        Blocks the run was cut into; with the configuration they fix the bits.
    elapsed : float
        Wall-clock seconds of the pricing.
    warnings : tuple of str
        Anything the caller should know about the run.
    details : dict
        The product's extra values: for the puts, the exercise counts, the regression steps and
        basis, and the schedule used; for the multilevel estimator, its levels, totals and
        replicate estimates (empty for the other products).
    config : dict
        Every field used, defaults filled in, and ``threads``, the worker count used.
    manifest : dict
        ``product``, ``config``, the block plan (``blocks``, ``threads``) and
        :func:`brisklane.engine_info`.
    """

    price: float
    stderr: float
    interval: Tuple[float, float]
    n_paths: int
    blocks: int
    elapsed: float
    warnings: Tuple[str, ...] = ()
    details: Mapping[str, Any] = field(default_factory=dict)
    config: Mapping[str, Any] = field(default_factory=dict)
    manifest: Mapping[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """The estimate as plain Python values (lists for tuples), ready for JSON."""
        out = asdict(self)
        out["interval"] = list(self.interval)
        out["warnings"] = list(self.warnings)
        return out

    def __repr__(self) -> str:
        low, high = self.interval
        return (
            f"Estimate(price={self.price:.6g} ± {self.stderr:.3g}, 95% [{low:.6g}, {high:.6g}], "
            f"n_paths={self.n_paths:,}, blocks={self.blocks}, elapsed={self.elapsed:.3g} s)"
        )


def default_blocks(n_paths: int) -> int:
    """The block count :func:`price` uses when none is given: one per 65,536 paths, 1 to 256.

    For the multilevel estimator, ``n_paths`` is its smallest level's count.

    A function of the configuration alone, never of the machine, so a result can be reproduced
    anywhere.
    """
    return max(1, min(_MAX_DEFAULT_BLOCKS, n_paths // _PATHS_PER_BLOCK))


def _available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _suggestion(name: str, known: list[str]) -> str:
    close = difflib.get_close_matches(name, known, n=1)
    return f"; did you mean '{close[0]}'?" if close else ""


def _checked_value(name: str, kind: str, value: Any) -> Any:
    """The value a field of `kind` accepts, or TypeError / ConfigError naming the field."""
    if kind == "real":
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name}: expected a real number, got {type(value).__name__}")
        number = float(value)
        if not math.isfinite(number):
            raise ConfigError(f"{name}: must be finite, got {number!r}")
        return number
    if kind == "counts":
        if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
            raise TypeError(f"{name}: expected a sequence of integers, got {type(value).__name__}")
        return [_checked_value(f"{name}[{i}]", "count", item) for i, item in enumerate(value)]
    if kind == "count":
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name}: expected an integer, got {type(value).__name__}")
        count = int(value)
        if not 0 <= count <= _MAX_COUNT:
            raise ConfigError(f"{name}: must be between 0 and 2**64 - 1, got {count}")
        return count
    if not isinstance(value, str):
        raise TypeError(f"{name}: expected a string, got {type(value).__name__}")
    allowed = {"technique": _TECHNIQUES, "sampling": _SAMPLINGS}.get(kind)
    text = value.strip().lower().replace("-", "_")
    if allowed is not None and text not in allowed:
        raise ConfigError(f"{name}: expected one of {', '.join(allowed)}, got {value!r}")
    return text


@functools.lru_cache(maxsize=None)
def _field_table(product: str) -> Tuple[Tuple[str, Tuple[str, ...], str, Any], ...]:
    """(name, aliases, kind, default) of each field of a product, read from the native module once."""
    return tuple(_native.product_fields(product))


def _read_fields(product: str, given: Mapping[str, Any]) -> dict[str, Any]:
    """The caller's fields under their canonical names, checked; unknown names raise TypeError."""
    table = _field_table(product)
    canonical = {alias: name for name, aliases, _, _ in table for alias in aliases}
    kinds = {name: kind for name, _, kind, _ in table}
    out: dict[str, Any] = {}
    spelled: dict[str, str] = {}
    for key, value in given.items():
        if key == "n_threads":
            raise TypeError("n_threads is not a field of price(): pass threads=N (the result does not depend on it)")
        if not isinstance(key, str) or key not in canonical:
            known = [alias for alias in canonical if alias != "n_threads"]
            raise TypeError(f"{product} has no field {key!r}{_suggestion(str(key), known)}")
        name = canonical[key]
        if name in spelled:
            raise TypeError(f"{name} given twice, as {spelled[name]!r} and {key!r}")
        spelled[name] = key
        if value is not None:
            out[name] = _checked_value(key, kinds[name], value)
    return out


def _positive_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}")
    if int(value) < 1:
        raise ConfigError(f"{name}: must be >= 1, got {int(value)}")
    return int(value)


def price(
    product: str,
    config: Optional[Mapping[str, Any]] = None,
    /,
    *,
    threads: Optional[int] = None,
    blocks: Optional[int] = None,
    **fields: Any,
) -> Estimate:
    """Price a product on a block plan.

    Parameters
    ----------
    product : str
        One of :data:`PRODUCTS` (the command line's names), e.g. ``"european_call"``. The puts
        generate their paths by blocks and regress on the calling thread: every plan gives the
        serial run's bits.
    config : mapping, optional
        Field values by name or alias, as the module functions read them; keyword
        fields override it.
    threads : int, optional
        Worker threads; default: the processors available. Never changes the result.
    blocks : int, optional
        Blocks the run is cut into; default :func:`default_blocks` of ``n_paths``. With the
        configuration, the blocks fix every bit of the result. Where the module function would
        run the units on W worker threads, ``blocks=W`` gives exactly its W-worker result (and
        ``blocks=1`` its serial one); elsewhere every plan draws the serial run's numbers and
        agrees with it to rounding (exactly with ``blocks=1``). The default therefore need not
        equal the module function's default, whose worker count is the machine's.
    **fields
        Field values, e.g. ``spot=105, sigma=0.25, n_paths=10**6``.

    Returns
    -------
    Estimate

    Raises
    ------
    TypeError
        An unknown field (with a suggestion), ``n_threads`` (use ``threads``), or a value of the
        wrong type; the message names the field.
    ConfigError
        A value out of range, or the core's own validation message.
    KeyboardInterrupt
        On Ctrl-C, once every worker has stopped.

    Examples
    --------
    >>> import brisklane
    >>> est = brisklane.price("arithmetic_asian_call", spot=100, strike=100, n_paths=10**5)
    >>> est.price, est.stderr
    """
    if product not in PRODUCTS:
        raise ValueError(f"unknown product {product!r}{_suggestion(str(product), list(PRODUCTS))}")
    merged: dict[str, Any] = dict(config or {})
    merged.update(fields)
    values = _read_fields(product, merged)
    defaults = {name: default for name, _, _, default in _field_table(product)}
    if "n_paths" in defaults:
        n_paths = values.get("n_paths", defaults["n_paths"])
    else:  # the multilevel estimator: its finest level's count
        n_paths = min(values.get("paths_per_level", defaults["paths_per_level"]) or [1])
    plan_blocks = default_blocks(n_paths) if blocks is None else _positive_int("blocks", blocks)
    workers = _available_cpus() if threads is None else _positive_int("threads", threads)
    used_threads = min(workers, plan_blocks)

    start = time.perf_counter()
    try:
        result = _native.price_planned(product, values, plan_blocks, used_threads)
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise ConfigError(str(error)) from None
        raise
    elapsed = time.perf_counter() - start

    used = dict(result["config"])
    used.pop("n_threads", None)
    used["threads"] = used_threads
    details = result.get("details", {})
    if "n_paths" in used:
        simulated = used["n_paths"]
        if used.get("technique") == "antithetic":
            simulated += simulated % 2
    else:
        simulated = details["total_paths"]
    estimate, stderr = result["price"], result["stderr"]
    if estimate is None or stderr is None:  # a non-finite result
        raise ConfigError(f"{product}: the configuration gives no finite price")
    return Estimate(
        price=estimate,
        stderr=stderr,
        interval=(estimate - _Z95 * stderr, estimate + _Z95 * stderr),
        n_paths=simulated,
        blocks=plan_blocks,
        elapsed=elapsed,
        warnings=tuple(result.get("warnings", ())),
        details=details,
        config=used,
        manifest={
            "product": product,
            "config": used,
            "blocks": plan_blocks,
            "threads": used_threads,
            "engine": _native.engine_info(),
        },
    )
