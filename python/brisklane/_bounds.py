"""Price bounds for the American and Bermudan puts around their Longstaff-Schwartz estimate.

The in-sample LSM price fits its exercise rule and values it on the same paths, so its bias has
no known sign. :func:`put_bounds` brackets the price instead: the fitted rule valued on fresh
paths is a lower bound, and the Andersen-Broadie dual of that rule, by nested simulation, an
upper bound (mc_core/put_bounds.hpp has the formulas and the seed rules).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional, Tuple

from brisklane import _native

__all__ = ["Bounds", "put_bounds", "BOUNDS_PRODUCTS"]

BOUNDS_PRODUCTS: Tuple[str, ...] = ("american_put", "bermudan_put")

# About 8 s for the default put on one AVX-512 core (17 s on the scalar target), with a gap
# near 0.5% of the price; the inner paths' noise is what widens the gap when they are fewer.
DEFAULT_INNER_PATHS = 500
DEFAULT_OUTER_PATHS = 2000


@dataclass(frozen=True)
class Bounds:
    """An interval for a put price: a lower bound, an upper bound and their standard errors.

    Attributes
    ----------
    lower : float
        The fitted exercise rule's value on `lower_paths` independent paths.
    lower_stderr : float
        Its standard error (sample standard deviation over sqrt(lower_paths)); 0 when the
        rule exercises at once.
    upper : float
        ``lower`` plus the mean duality gap of `outer_paths` outer paths.
    upper_stderr : float
        ``sqrt(lower_stderr**2 + gap_stderr**2)``: the two estimates use independent streams.
    inner_paths : int
        Inner paths per continuation value, in antithetic pairs.
    outer_paths : int
        Outer paths of the dual.
    lower_paths : int
        Paths of the lower bound.
    in_sample : float
        The usual in-sample LSM price, for comparison.
    gap_stderr : float
        Standard error of the mean duality gap ``upper - lower``.
    inner_estimates : int
        Continuation values estimated by inner simulation.
    """

    lower: float
    lower_stderr: float
    upper: float
    upper_stderr: float
    inner_paths: int
    outer_paths: int
    lower_paths: int
    in_sample: float = float("nan")
    gap_stderr: float = float("nan")
    inner_estimates: int = 0

    @property
    def gap(self) -> float:
        """The duality gap ``upper - lower``: how far the fitted rule may be from optimal."""
        return self.upper - self.lower

    def interval(self, z: float = 3.0) -> Tuple[float, float]:
        """``(lower - z lower_stderr, upper + z upper_stderr)``: the bracket at `z` standard errors.

        Parameters
        ----------
        z : float, optional
            Standard errors below the lower and above the upper bound (default 3).

        Returns
        -------
        tuple of float
        """
        return self.lower - z * self.lower_stderr, self.upper + z * self.upper_stderr


def put_bounds(
    product: str,
    values: Mapping[str, Any],
    *,
    inner_paths: int = DEFAULT_INNER_PATHS,
    outer_paths: int = DEFAULT_OUTER_PATHS,
    lower_paths: Optional[int] = None,
    threads: int = 1,
) -> Bounds:
    """Bound a put's price from below and above with its fitted Longstaff-Schwartz exercise rule.

    Parameters
    ----------
    product : str
        ``"american_put"`` or ``"bermudan_put"``.
    values : mapping
        The put's fields by name or alias, read as :func:`brisklane.price` reads them.
    inner_paths : int, optional
        Inner paths per continuation value (default 500), rounded up to whole antithetic pairs.
        Fewer make the upper bound looser, never invalid.
    outer_paths : int, optional
        Outer paths of the dual (default 2000, at least 2).
    lower_paths : int, optional
        Paths of the lower bound (default: the config's ``n_paths``; at least 2).
    threads : int, optional
        Threads for the outer paths and the fit's paths (default 1; 0: the processors
        available). Never changes a bit of the result.

    Returns
    -------
    Bounds

    Raises
    ------
    ValueError
        An unknown product.
    TypeError, OverflowError
        A count that is not a non-negative integer.
    PanicException
        A value the core rejects, with its message (:func:`brisklane.price` turns it into
        ``ConfigError``).
    KeyboardInterrupt
        On Ctrl-C, once the core has stopped.

    Examples
    --------
    >>> from brisklane._bounds import put_bounds
    >>> b = put_bounds("american_put", {"s0": 36.0, "k": 40.0, "r": 0.06, "n_steps": 50})
    >>> b.lower, b.upper, b.gap
    """
    if product not in BOUNDS_PRODUCTS:
        raise ValueError(f"put_bounds: expected one of {BOUNDS_PRODUCTS}, got {product!r}")
    result = _native.put_bounds(product, values, inner_paths, outer_paths, lower_paths or 0, threads)
    return Bounds(
        lower=_real(result["lower"]),
        lower_stderr=_real(result["lower_stderr"]),
        upper=_real(result["upper"]),
        upper_stderr=_real(result["upper_stderr"]),
        inner_paths=int(result["inner_paths"]),
        outer_paths=int(result["outer_paths"]),
        lower_paths=int(result["lower_paths"]),
        in_sample=_real(result["in_sample"]),
        gap_stderr=_real(result["gap_stderr"]),
        inner_estimates=int(result["inner_estimates"]),
    )


def _real(value: Optional[float]) -> float:
    """The native side writes a non-finite number as None."""
    return float("nan") if value is None else float(value)
