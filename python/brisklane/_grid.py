"""Studies built on :func:`brisklane.price`: :func:`grid` (a product over a cartesian grid of its
fields) and :func:`convergence` (each sampler's error against its path count).

Both return a pandas ``DataFrame`` when pandas is installed (``pip install 'brisklane[pandas]'``)
and a list of dicts with the same keys otherwise, so that the studies never need more than the
core package.
"""

from __future__ import annotations

import itertools
import math
import numbers
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from brisklane import _schedule
from brisklane._api import (
    _SAMPLINGS,
    ConfigError,
    Estimate,
    PRODUCTS,
    _field_table,
    _read_fields,
    _suggestion,
    price,
)
from brisklane._progress import ProgressBar
from brisklane._replicates import mean_and_stderr, replicate_seeds
from brisklane.reference import basket_call_single_asset, black_scholes_call, heston_call, merton_call

__all__ = ["REFERENCES", "Table", "convergence", "fitted_slope", "grid", "reference_price"]

#: What :func:`grid` and :func:`convergence` return: a ``pandas.DataFrame``, or without pandas a
#: list of dicts (one per row). Typed ``Any`` so that scripts type-check with or without pandas.
Table = Any

PointProgress = Callable[[int, int], None]

#: The closed forms, by product: the function and the fields it takes, in order (canonical names,
#: as in :attr:`Estimate.config`). Heston's is exact for the model, not for its Euler steps, so
#: its error column shows the discretization bias as well as the noise.
REFERENCES: Dict[str, Tuple[Callable[..., float], Tuple[str, ...]]] = {
    "european_call": (black_scholes_call, ("s0", "k", "r", "sigma", "t")),
    "heston_european_call": (heston_call, ("s0", "k", "r", "v0", "kappa", "theta", "vol_of_vol", "rho", "t")),
    "merton_jump_diffusion_call": (
        merton_call,
        ("s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean", "jump_volatility"),
    ),
    "basket_call": (
        basket_call_single_asset,
        ("s01", "s02", "k", "r", "sigma1", "sigma2", "rho", "weight1", "weight2", "t"),
    ),
}

# The long run that stands in for a closed form: 16 replicates of this many times the largest count,
# on the best sampler, so that its error (about 1/8 of the best sampler's at the largest count when
# that sampler converges at n^-1/2, far less when it beats it) stays below the errors it measures.
_LONG_RUN = 4

# Products whose paths take one step: their convergence studies afford larger counts by default.
_ONE_STEP = ("european_call", "basket_call", "merton_jump_diffusion_call")


def reference_price(product: str, config: Mapping[str, Any]) -> float:
    """The closed-form price of `product` under `config` (canonical field names), NaN where there
    is none: a product without a closed form, or a basket that is not one lognormal asset."""
    entry = REFERENCES.get(product)
    if entry is None:
        return math.nan
    function, keys = entry
    values = [config.get(key) for key in keys]
    return math.nan if any(v is None for v in values) else float(function(*values))


def _table(rows: List[Dict[str, Any]], columns: Sequence[str]) -> Table:
    try:
        import pandas  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return rows
    return pandas.DataFrame(rows, columns=list(columns))


def _point_progress(
    progress: Union[None, bool, PointProgress],
) -> Tuple[Optional[PointProgress], Optional[ProgressBar]]:
    if progress is None or progress is False:
        return None, None
    if progress is True:
        bar = ProgressBar(unit="points")
        return (lambda done, total: bar(done, total, None)), bar
    if not callable(progress):
        raise TypeError(f"progress: expected True or a callable, got {type(progress).__name__}")
    return progress, None


def _canonical_names(product: str) -> Dict[str, str]:
    return {alias: name for name, aliases, _, _ in _field_table(product) for alias in aliases if alias != "n_threads"}


def _grid_points(product: str, axes: Mapping[str, Sequence[Any]], fields: Mapping[str, Any]) -> List[Dict[str, Any]]:
    """Every point's fields (the caller's spelling), first axis slowest; each point checked as
    price() would check it, so a bad value fails before anything runs."""
    if product not in PRODUCTS:
        raise ValueError(f"unknown product {product!r}{_suggestion(str(product), list(PRODUCTS))}")
    if not isinstance(axes, Mapping):
        raise TypeError(f"axes: expected a mapping of field names to values, got {type(axes).__name__}")
    if not axes:
        raise ConfigError("axes: give at least one axis, e.g. {'spot': [90, 100, 110]}")
    canonical = _canonical_names(product)
    seen: Dict[str, str] = {}
    for name, values in axes.items():
        if not isinstance(name, str) or name not in canonical:
            raise TypeError(f"axes: {product} has no field {name!r}{_suggestion(str(name), list(canonical))}")
        if name in fields or canonical[name] in seen:
            other = name if name in fields else seen[canonical[name]]
            raise TypeError(f"{canonical[name]} given twice, as axis {name!r} and as {other!r}")
        seen[canonical[name]] = name
        if isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
            raise TypeError(f"{name}: expected a sequence of values to try, got {type(values).__name__}")
        if len(values) == 0:
            raise ConfigError(f"{name}: the axis has no values")
    names = list(axes)
    points = [dict(zip(names, combination)) for combination in itertools.product(*(axes[n] for n in names))]
    for point in points:
        _read_fields(product, {**fields, **point})
    return points


def _point_task(product: str, fields: Dict[str, Any], options: Dict[str, Any]) -> Estimate:
    """One grid point, run where it is sent."""
    return price(product, **options, **fields)


def _row(product: str, point: Mapping[str, Any], estimate: Estimate, with_reference: bool) -> Dict[str, Any]:
    low, high = estimate.interval
    row: Dict[str, Any] = dict(point)
    row.update(
        price=estimate.price,
        stderr=estimate.stderr,
        interval_low=low,
        interval_high=high,
        n_paths=estimate.n_paths,
        elapsed=estimate.elapsed,
    )
    if with_reference:
        reference = reference_price(product, estimate.config)
        miss = estimate.price - reference
        row["reference"] = reference
        if math.isnan(reference):
            row["error_in_stderr"] = math.nan
        elif estimate.stderr > 0:
            row["error_in_stderr"] = miss / estimate.stderr
        else:
            row["error_in_stderr"] = 0.0 if miss == 0 else math.copysign(math.inf, miss)
    for name, greek in estimate.greeks.items():
        row[name] = greek.value
        row[f"{name}_stderr"] = greek.stderr
    if estimate.bounds is not None:
        row.update(
            lower_bound=estimate.bounds.lower,
            lower_bound_stderr=estimate.bounds.lower_stderr,
            upper_bound=estimate.bounds.upper,
            upper_bound_stderr=estimate.bounds.upper_stderr,
        )
    return row


def grid(
    product: str,
    /,
    axes: Mapping[str, Sequence[Any]],
    *,
    executor: Optional[Any] = None,
    progress: Union[None, bool, PointProgress] = None,
    threads: Optional[int] = None,
    blocks: Optional[int] = None,
    target_stderr: Optional[float] = None,
    max_paths: Optional[int] = None,
    replicates: Optional[int] = None,
    greeks: Union[None, bool, Sequence[str]] = None,
    bounds: bool = False,
    inner_paths: Optional[int] = None,
    outer_paths: Optional[int] = None,
    **fields: Any,
) -> Table:
    """Price a product at every point of a cartesian grid of its fields.

    Parameters
    ----------
    product : str
        One of :data:`brisklane.PRODUCTS`.
    axes : mapping of str to sequence
        Field names (any name or alias :func:`brisklane.price` accepts) to the values to try, e.g.
        ``{"spot": [90, 100, 110], "sigma": [0.1, 0.2]}``. The points are the cartesian product,
        the first axis varying slowest. A list-valued field (``exercise_steps``) takes a sequence
        of lists.
    executor : concurrent.futures.Executor or distributed.Client, optional
        Run each point as one task there (a point that fails is submitted again, as price's
        blocks are); each task prices on one thread unless `threads` says otherwise. Without
        one, the points run one after another on price's own threads. Either way every point
        has the bits of a direct :func:`brisklane.price` call.
    progress : bool or callable, optional
        ``True`` draws a bar of points on stderr; a callable gets ``(points_done, points_total)``
        on the calling thread after each point.
    threads, blocks, target_stderr, max_paths, replicates, greeks, bounds, inner_paths, outer_paths
        Passed to :func:`brisklane.price` at every point.
    **fields
        The fields held fixed, e.g. ``n_paths=10**5, strike=100``.

    Returns
    -------
    pandas.DataFrame or list of dict
        One row per point: a column per axis under the caller's name, then ``price``,
        ``stderr``, ``interval_low``, ``interval_high``, ``n_paths`` and ``elapsed``. For
        products with a closed form (the European: Black-Scholes; Heston; Merton; the basket)
        also ``reference`` and ``error_in_stderr``, ``(price - reference) / stderr``, NaN at
        points where the closed form does not apply (a basket that is not one lognormal asset);
        for other products the two columns are absent. With `greeks`, a column per Greek and
        ``<greek>_stderr``; with `bounds`, ``lower_bound``, ``upper_bound`` and their
        ``_stderr``. A list of dicts with the same keys when pandas is not installed.

    Raises
    ------
    TypeError
        An unknown axis or field (with a suggestion), a field given twice (as an axis and a
        field, or under two aliases), or a value of the wrong type; the message names the field.
    ConfigError
        No axes, an empty axis, or a value out of range (checked at every point before any
        runs).

    Examples
    --------
    >>> import brisklane
    >>> table = brisklane.grid("european_call", {"spot": [90, 100, 110], "sigma": [0.1, 0.2]}, n_paths=10**5)
    >>> table[["spot", "sigma", "price", "reference", "error_in_stderr"]]
    """
    points = _grid_points(product, axes, fields)
    callback, bar = _point_progress(progress)
    options: Dict[str, Any] = dict(
        threads=threads,
        blocks=blocks,
        target_stderr=target_stderr,
        max_paths=max_paths,
        replicates=replicates,
        greeks=greeks,
        bounds=bounds,
        inner_paths=inner_paths,
        outer_paths=outer_paths,
    )
    estimates: Dict[int, Estimate] = {}
    total = len(points)

    def finished(index: int, estimate: Estimate) -> None:
        estimates[index] = estimate
        if callback is not None:
            callback(len(estimates), total)

    try:
        if callback is not None:
            callback(0, total)
        if executor is None:
            for index, point in enumerate(points):
                finished(index, _point_task(product, {**fields, **point}, options))
        else:
            # Several points share the executor's workers: one thread each unless the caller
            # chose, so a process pool is not oversubscribed.
            remote = {**options, "threads": 1 if threads is None else threads}
            tasks = {i: (_point_task, (product, {**fields, **p}, remote)) for i, p in enumerate(points)}
            warnings: List[str] = []
            _schedule.run_tasks(
                tasks,
                executor=executor,
                threads=1,
                local=lambda i, _stop: _point_task(*tasks[i][1]),
                on_result=finished,
                tick=lambda: None,
                warnings=warnings,
            )
    finally:
        if bar is not None:
            bar.close()
    with_reference = product in REFERENCES
    rows = [_row(product, points[i], estimates[i], with_reference) for i in range(total)]
    columns = list(rows[0])
    return _table(rows, columns)


def _default_path_counts(product: str) -> Tuple[int, ...]:
    top = 18 if product in _ONE_STEP else 16
    return tuple(2**e for e in range(10, top + 1, 2))


def fitted_slope(path_counts: Sequence[float], errors: Sequence[float]) -> float:
    """The least-squares slope of log(error) against log(paths); NaN with fewer than two
    positive errors."""
    pairs = [(math.log(n), math.log(e)) for n, e in zip(path_counts, errors) if e > 0 and math.isfinite(e)]
    if len(pairs) < 2:
        return math.nan
    mx = math.fsum(x for x, _ in pairs) / len(pairs)
    my = math.fsum(y for _, y in pairs) / len(pairs)
    sxx = math.fsum((x - mx) ** 2 for x, _ in pairs)
    return math.fsum((x - mx) * (y - my) for x, y in pairs) / sxx if sxx > 0 else math.nan


def convergence(
    product: str,
    /,
    samplings: Optional[Sequence[str]] = None,
    path_counts: Optional[Sequence[int]] = None,
    replicates: int = 16,
    *,
    reference: Optional[float] = None,
    threads: Optional[int] = None,
    executor: Optional[Any] = None,
    progress: Union[None, bool, PointProgress] = None,
    **fields: Any,
) -> Table:
    """Each sampler's error against its path count: RMSE over replicates and the fitted rate.

    At each sampler and path count, `replicates` independent randomizations of the run are
    priced: exactly the replicates of ``brisklane.price(product, sampling=..., n_paths=n,
    replicates=R)`` (the same seeds, the same bits), each priced on its own so that its own
    reported standard error is kept too.

    Parameters
    ----------
    product : str
        One of :data:`brisklane.PRODUCTS` with an ``n_paths`` field.
    samplings : sequence of str, optional
        Default: all five samplers for products with a ``sampling`` field, else
        ``("pseudorandom",)`` (Heston, Merton and the puts draw pseudorandom numbers only).
    path_counts : sequence of int, optional
        Default 2**10, 2**12, ..., 2**18 for one-step products (European, basket, Merton),
        up to 2**16 for the stepped ones.
    replicates : int, optional
        Replicates per point, at least 2 (default 16).
    reference : float, optional
        The true price to measure errors against. Default: the closed form where the product
        has one at these fields (see :func:`grid`); else a long run, the mean of 16 replicates
        of the best sampler the product has (scrambled Sobol with a Brownian bridge, else
        pseudorandom) at 4 times the largest path count, whose own error is in
        ``reference_stderr``.
    threads, executor
        Passed to :func:`brisklane.price`.
    progress : bool or callable, optional
        ``True`` for a bar, or a callable getting ``(points_done, points_total)``, one point
        being one sampler at one path count.
    **fields
        The product's other fields (not ``n_paths`` or ``sampling``).

    Returns
    -------
    pandas.DataFrame or list of dict
        One row per sampler and path count: ``sampling``, ``n_paths``, ``rmse`` (root mean
        square of the replicate prices' errors against the reference), ``spread`` (the
        replicates' sample standard deviation: the error estimate that needs no reference),
        ``mean_stderr`` (the mean of the runs' own standard errors, which for quasi-Monte Carlo
        samplers treat the points as independent and so overstate the error), ``slope`` (the
        sampler's least-squares slope of log rmse against log n_paths, the same on each of its
        rows; -0.5 is the Monte Carlo rate), ``reference`` and ``reference_stderr`` (the long
        run's standard error; 0 for a closed form or a reference given).

    Examples
    --------
    >>> table = brisklane.convergence("european_call", path_counts=[2**10, 2**12, 2**14])
    >>> table.groupby("sampling")["slope"].first()
    """
    if product not in PRODUCTS:
        raise ValueError(f"unknown product {product!r}{_suggestion(str(product), list(PRODUCTS))}")
    canonical = _canonical_names(product)
    if "n_paths" not in canonical.values():
        raise ConfigError(f"convergence: {product} has no n_paths field to vary")
    for name in fields:
        if canonical.get(name) in ("n_paths", "sampling"):
            raise TypeError(f"{name}: set by convergence(); use path_counts= and samplings=")
    has_sampling = "sampling" in canonical.values()
    if samplings is None:
        samplings = _SAMPLINGS if has_sampling else ("pseudorandom",)
    if isinstance(samplings, str) or not samplings:
        raise ConfigError("samplings: give a non-empty sequence of sampler names")
    if not has_sampling and any(s != "pseudorandom" for s in samplings):
        raise ConfigError(f"samplings: {product} samples pseudorandom numbers only")
    counts = _default_path_counts(product) if path_counts is None else tuple(path_counts)
    if not counts:
        raise ConfigError("path_counts: give at least one path count")
    for n in counts:
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 2:
            raise ConfigError(f"path_counts: expected integers >= 2, got {n!r}")
    if isinstance(replicates, bool) or not isinstance(replicates, numbers.Integral) or replicates < 2:
        raise ConfigError(f"replicates: must be an integer >= 2 (their spread is the error), got {replicates!r}")
    base = dict(fields)
    defaults = {name: default for name, _, _, default in _field_table(product)}
    seed = int(_read_fields(product, base).get("seed", defaults["seed"]))
    seeds = replicate_seeds(seed, int(replicates))
    options: Dict[str, Any] = dict(threads=threads, executor=executor)

    def run(sampling: str, n: int, seed: int) -> Estimate:
        chosen = {"sampling": sampling} if has_sampling else {}
        return price(product, **options, **base, **chosen, n_paths=int(n), seed=seed)

    reference_stderr = 0.0
    if reference is None:
        reference = reference_price(product, {**defaults, **_read_fields(product, base)})
        if math.isnan(reference):
            best = "scrambled_sobol_brownian_bridge" if has_sampling else "pseudorandom"
            chosen = {"sampling": best} if has_sampling else {}
            long = price(product, **options, **base, **chosen, n_paths=_LONG_RUN * max(counts), replicates=16)
            reference, reference_stderr = long.price, long.stderr
    elif isinstance(reference, bool) or not isinstance(reference, numbers.Real) or not math.isfinite(reference):
        raise TypeError(f"reference: expected a finite real number, got {reference!r}")
    callback, bar = _point_progress(progress)
    total = len(samplings) * len(counts)
    rows: List[Dict[str, Any]] = []
    try:
        for sampling in samplings:
            own: List[Dict[str, Any]] = []
            for n in counts:
                if callback is not None:
                    callback(len(rows) + len(own), total)
                estimates = [run(sampling, n, s) for s in seeds]
                prices = [e.price for e in estimates]
                rmse = math.sqrt(math.fsum((p - reference) ** 2 for p in prices) / len(prices))
                spread = mean_and_stderr(prices)[1] * math.sqrt(len(prices))
                mean_stderr = math.fsum(e.stderr for e in estimates) / len(estimates)
                own.append(dict(sampling=sampling, n_paths=int(n), rmse=rmse, spread=spread, mean_stderr=mean_stderr))
            slope = fitted_slope([r["n_paths"] for r in own], [r["rmse"] for r in own])
            rows += [{**r, "slope": slope, "reference": reference, "reference_stderr": reference_stderr} for r in own]
        if callback is not None:
            callback(total, total)
    finally:
        if bar is not None:
            bar.close()
    columns = ["sampling", "n_paths", "rmse", "spread", "mean_stderr", "slope", "reference", "reference_stderr"]
    return _table(rows, columns)
