"""The typed pricing API: :func:`price` and its :class:`Estimate`.

A run is cut into blocks, pure units of work merged in block order, so the result depends on the
configuration and the block plan only: the same bits on any number of threads.
"""

from __future__ import annotations

import dataclasses
import difflib
import functools
import math
import numbers
import os
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from brisklane import _native, _schedule
from brisklane._bounds import BOUNDS_PRODUCTS, Bounds, put_bounds
from brisklane._progress import ProgressBar
from brisklane._replicates import mean_and_stderr, replicate_seeds, student_t_quantile

__all__ = ["GREEKS", "Bounds", "ConfigError", "Estimate", "Greek", "PRODUCTS", "default_blocks", "price"]

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
_MAX_PATHS_FACTOR = 1024  # max_paths by default: this many times the first round's paths
_PROGRESS_SECONDS = 0.25  # a progress callback hears from a run at least this often
_NOT_BLOCKWISE = ("american_put", "bermudan_put")
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


#: The Greeks :func:`price` estimates, in this order.
GREEKS: Tuple[str, ...] = ("delta", "gamma", "vega", "rho", "theta")
# Products with Greeks, priced through their native "<product>.greeks" entries, and their Greeks'
# names in the entries' order: the basket has a delta, a gamma and a vega per asset.
_WITH_GREEKS: Dict[str, Tuple[str, ...]] = {
    "european_call": GREEKS,
    "arithmetic_asian_call": GREEKS,
    "down_and_out_call": GREEKS,
    "lookback_call": GREEKS,
    "basket_call": ("delta_1", "delta_2", "gamma_1", "gamma_2", "vega_1", "vega_2", "rho", "theta"),
    "heston_european_call": GREEKS,
    "merton_jump_diffusion_call": GREEKS,
}


@dataclass(frozen=True)
class Greek:
    """One Greek: its estimate and standard error, from the price's own paths."""

    value: float
    stderr: float


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
        The 95% confidence interval, ``price -/+ 1.96 stderr``; with replicates, ``price -/+
        t stderr`` with t the 97.5% quantile of Student's t with R - 1 degrees of freedom.
    n_paths : int
        Paths simulated, every replicate's (antithetic runs count both paths of each pair).
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
        :func:`brisklane.engine_info`; with replicates, ``replicates`` and ``replicate_seeds``.
    replicate_prices : tuple of float
        Each replicate's price, in replicate order (empty without replicates).
    greeks : dict of str to Greek
        With ``greeks=``, each Greek asked for by name (``greeks["delta"].value``, ``.stderr``).
    bounds : Bounds or None
        With ``bounds=True`` (the puts), the interval the true price lies in: ``lower``,
        ``lower_stderr``, ``upper``, ``upper_stderr``.
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
    replicate_prices: Tuple[float, ...] = ()
    greeks: Mapping[str, Greek] = field(default_factory=dict)
    bounds: Optional[Bounds] = None

    def to_dict(self) -> dict[str, Any]:
        """The estimate as plain Python values (lists for tuples), ready for JSON."""
        out = asdict(self)
        out["interval"] = list(self.interval)
        out["warnings"] = list(self.warnings)
        out["replicate_prices"] = list(self.replicate_prices)
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


# The range of each real field that has one, by canonical name: (lowest,
# highest, whether the lowest is allowed). A field not listed takes any finite
# value (rates, weights, the mean log jump).
_BOUNDS: Dict[str, Tuple[float, float, bool]] = {
    **dict.fromkeys(("s0", "s01", "s02", "t", "barrier"), (0.0, math.inf, False)),
    **dict.fromkeys(
        ("k", "sigma", "sigma1", "sigma2", "v0", "kappa", "theta", "vol_of_vol", "jump_intensity", "jump_volatility"),
        (0.0, math.inf, True),
    ),
    "rho": (-1.0, 1.0, True),
}


def _bounded(spelled: str, name: str, number: float) -> float:
    """`number` if it lies in field `name`'s range, else ConfigError naming the field as the caller spelled it."""
    bound = _BOUNDS.get(name)
    if bound is None:
        return number
    low, high, low_allowed = bound
    if (number > low or (low_allowed and number == low)) and number <= high:
        return number
    if high < math.inf:
        raise ConfigError(f"{spelled}: must be between {low:g} and {high:g}, got {number!r}")
    raise ConfigError(f"{spelled}: must be {'>=' if low_allowed else '>'} {low:g}, got {number!r}")


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
            checked = _checked_value(key, kinds[name], value)
            out[name] = _bounded(key, name, checked) if kinds[name] == "real" else checked
    return out


def _positive_real(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a real number, got {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number > 0):
        raise ConfigError(f"{name}: must be a finite number > 0, got {number!r}")
    return number


def _positive_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}")
    if int(value) < 1:
        raise ConfigError(f"{name}: must be >= 1, got {int(value)}")
    return int(value)


ProgressCallback = Callable[[int, int, Optional[Estimate]], None]


def _native_call(function: Callable[..., Any], *args: Any) -> Any:
    """A native entry's result, with the core's validation failures as ConfigError."""
    try:
        return function(*args)
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise ConfigError(str(error)) from None
        raise


class _Run:
    """One product's fields on a plan: how many paths they make and how they grow."""

    def __init__(self, product: str, values: Mapping[str, Any], blocks: int) -> None:
        self.product = product
        self.values = dict(values)
        self.blocks = blocks
        self.defaults = {name: default for name, _, _, default in _field_table(product)}

    def field(self, name: str) -> Any:
        return self.values.get(name, self.defaults[name])

    @property
    def multilevel(self) -> bool:
        return "n_paths" not in self.defaults

    @property
    def paths(self) -> int:
        """Paths simulated (both paths of every antithetic pair; every level's)."""
        if self.multilevel:
            return int(sum(self.field("paths_per_level")))
        n = int(self.field("n_paths"))
        return n + n % 2 if self.field_or("technique", "standard") == "antithetic" else n

    def field_or(self, name: str, fallback: Any) -> Any:
        return self.values.get(name, self.defaults.get(name, fallback))

    def _units(self) -> Optional[Tuple[int, int]]:
        """(units, paths per unit) of a run whose k >= 2 first blocks are exactly the run of
        those units on k blocks: pseudorandom runs of the products whose blocks run apart (a
        pseudorandom block's draws never depend on the block count, from two blocks on). None
        for structured samplers, the puts and the multilevel estimator."""
        if self.multilevel or self.product in _NOT_BLOCKWISE:
            return None
        if self.field_or("sampling", "pseudorandom") != "pseudorandom":
            return None
        n = int(self.field("n_paths"))
        if self.field_or("technique", "standard") == "antithetic":
            return n - n // 2, 2
        return n, 1

    def prefix(self, k: int) -> Optional["_Run"]:
        """The run of the first k blocks alone (2 <= k < blocks), or None."""
        shape = self._units()
        if shape is None or not 2 <= k < self.blocks:
            return None
        units, per_unit = shape
        return self.scaled(sum(_schedule.split_counts(units, self.blocks)[:k]) * per_unit, k)

    @property
    def block_paths(self) -> Optional[int]:
        """Paths per block when every block has the same units and blocks grow alike (see
        `prefix`): a round of twice the blocks then reuses these. None otherwise."""
        shape = self._units()
        if shape is None or shape[0] % self.blocks:
            return None
        return shape[0] // self.blocks * shape[1]

    def seeded(self, seed: int) -> "_Run":
        """The same run under another seed."""
        return _Run(self.product, {**self.values, "seed": seed}, self.blocks)

    def scaled(self, paths: int, blocks: int) -> "_Run":
        """The same run with `paths` paths (per level, `paths` times its count) on `blocks` blocks."""
        values = dict(self.values)
        if self.multilevel:
            values["paths_per_level"] = [int(n) * paths for n in self.field("paths_per_level")]
        else:
            values["n_paths"] = paths
        return _Run(self.product, values, blocks)


class _Pricing:
    """Runs plans for :func:`price`: natively in one call, or block by block on local threads or
    an executor when progress is reported or blocks are reused."""

    def __init__(
        self,
        product: str,
        threads: int,
        executor: Optional[Any],
        progress: Optional[ProgressCallback],
    ) -> None:
        self.product = product
        self.threads = threads
        self.executor = executor
        self.progress = progress
        self.warnings: List[str] = []
        self.done_before = 0  # paths of earlier rounds' blocks this round reuses
        self.last_report = -math.inf
        self.reported_done = 0
        # While replicates run: the paths of the replicates before this one, every replicate's
        # paths, and the estimate of the replicates done (which the callback sees as running).
        self.replicate_view: Optional[Tuple[int, int, Optional[Estimate]]] = None

    def report(self, done: int, total: int, running: Optional[Estimate], force: bool = False) -> None:
        now = time.perf_counter()
        if self.progress is None or (not force and now - self.last_report < _PROGRESS_SECONDS):
            return
        self.last_report = now
        if self.replicate_view is not None:
            before, total, running = self.replicate_view
            done += before
        self.reported_done = max(self.reported_done, done)
        self.progress(self.reported_done, total, running)

    def price(self, run: _Run, reuse: Optional[Dict[int, bytes]] = None) -> Tuple[Dict[str, Any], Dict[int, bytes]]:
        """The native result of a run, and its blocks' bytes when it ran block by block."""
        if self.executor is None and self.progress is None and reuse is None:
            return _native_call(_native.price_planned, self.product, run.values, run.blocks, self.threads), {}
        if not _native_call(_native.check_planned, self.product, run.values, run.blocks):
            return self.whole(run), {}
        return self.by_blocks(run, dict(reuse or {}))

    def whole(self, run: _Run) -> Dict[str, Any]:
        """A product whose blocks cannot run apart: one task (or one local call)."""
        total = run.paths
        self.report(0, total, None, force=True)
        if self.executor is None:
            result = _native_call(_native.price_planned, self.product, run.values, run.blocks, self.threads)
        else:
            results: Dict[int, Any] = {}
            _schedule.run_tasks(
                {0: (_schedule.whole_task, (self.product, run.values, run.blocks))},
                executor=self.executor,
                threads=1,
                local=lambda _, __: _native_call(_native.price_planned, self.product, run.values, run.blocks, 1),
                on_result=results.__setitem__,
                tick=lambda: None,
                warnings=self.warnings,
            )
            result = results[0]
        self.report(total, total, None, force=True)
        return dict(result)

    def by_blocks(self, run: _Run, parts: Dict[int, bytes]) -> Tuple[Dict[str, Any], Dict[int, bytes]]:
        total = run.paths
        shares = _schedule.split_counts(total, run.blocks)
        done = [sum(shares[b] for b in parts)]
        running: Dict[int, Optional[Estimate]] = {}

        def running_estimate() -> Optional[Estimate]:
            prefix = 0
            while prefix in parts:
                prefix += 1
            if prefix not in running:
                partial = run.prefix(prefix)
                running[prefix] = None
                if partial is not None:
                    done_parts = [parts[b] for b in range(prefix)]
                    result = _native.merge_blocks(self.product, partial.values, prefix, done_parts)
                    if result["price"] is not None and result["stderr"] is not None:
                        running[prefix] = _estimate_of(self.product, partial, result, 0.0, None, (), {})
            return running[prefix]

        missing = [b for b in range(run.blocks) if b not in parts]
        # Local threads take one block per task (a block costs nothing to start there).
        tasks_wanted = (
            len(missing)
            if self.executor is None
            else _schedule.TASKS_PER_SLOT * _schedule.executor_slots(self.executor)
        )
        groups = _schedule.chunks(missing, tasks_wanted)

        def on_result(index: int, partials: List[bytes]) -> None:
            for b, partial in zip(groups[index], partials):
                parts[b] = partial
                done[0] += shares[b]

        tasks = {
            g: (_schedule.blocks_task, (self.product, run.values, run.blocks, group)) for g, group in enumerate(groups)
        }
        self.report(done[0], total, running_estimate(), force=True)
        _schedule.run_tasks(
            tasks,
            executor=self.executor,
            threads=self.threads,
            local=_schedule.local_blocks(self.product, run.values, run.blocks, groups),
            on_result=on_result,
            tick=lambda: self.report(done[0], total, running_estimate()),
            warnings=self.warnings,
        )
        result = _native_call(
            _native.merge_blocks, self.product, run.values, run.blocks, [parts[b] for b in range(run.blocks)]
        )
        if self.progress is not None:
            self.report(total, total, _estimate_of(self.product, run, result, 0.0, None, (), {}), force=True)
        return dict(result), parts

    def until(self, run: _Run, target: float, max_paths: int) -> Tuple[Dict[str, Any], _Run, int]:
        """Rounds of twice the paths on twice the blocks until the stderr reaches `target`;
        the last round stops at `max_paths`. Returns the last round's result, its run and the
        number of rounds."""
        first = run
        reuse: Optional[Dict[int, bytes]] = None
        rounds = 0
        scale = 1
        while True:
            result, parts = self.price(run, reuse)
            rounds += 1
            stderr = result.get("stderr")
            if stderr is not None and stderr <= target:
                return result, run, rounds
            if run.paths >= max_paths:
                break
            scale *= 2
            following = first.scaled(_scaled_count(first, scale), first.blocks * scale)
            if following.paths > max_paths:
                last = _last_round(first, max_paths)
                if last is None or last.paths <= run.paths:
                    break
                following = last
            alike = run.block_paths is not None and run.blocks >= 2 and following.block_paths == run.block_paths
            reuse = parts if alike else None
            run = following
        self.warnings.append(
            f"max_paths={max_paths:,} reached before target_stderr={target:g}: "
            f"stderr {_number(result.get('stderr'))} at {run.paths:,} paths"
        )
        return result, run, rounds


    def replicated(self, run: _Run, seeds: Sequence[int]) -> List[Dict[str, Any]]:
        """The results of `run` under each of `seeds`, one replicate after another."""
        results: List[Dict[str, Any]] = []
        per_replicate = run.paths
        for seed in seeds:
            finished = None
            if self.progress is not None and len(results) >= 2:  # the running estimate, for the callback alone
                finished = _replicate_estimate(self.product, run, results, seeds, 0.0, None, (), {})
            self.replicate_view = (len(results) * per_replicate, len(seeds) * per_replicate, finished)
            results.append(self.price(run.seeded(seed))[0])
        self.replicate_view = None
        return results

    def until_replicated(
        self, run: _Run, seeds: Sequence[int], target: float, max_paths: int
    ) -> Tuple[List[Dict[str, Any]], _Run, int]:
        """Rounds of every replicate at twice the paths on twice the blocks until the
        replicates' stderr reaches `target`; a round that would pass `max_paths` (over every
        replicate) is not run. Each round runs the replicates' point sets from their start:
        a Sobol or Halton replicate continues its sequence, a Latin hypercube one is drawn
        again at twice the size."""
        first = run
        rounds = 0
        scale = 1
        while True:
            results = self.replicated(run, seeds)
            rounds += 1
            stderr = mean_and_stderr([_finite_price(self.product, result)[0] for result in results])[1]
            if stderr <= target:
                return results, run, rounds
            following = first.scaled(_scaled_count(first, scale * 2), first.blocks * scale * 2)
            if following.paths * len(seeds) > max_paths:
                break
            scale *= 2
            run = following
        self.warnings.append(
            f"max_paths={max_paths:,} reached before target_stderr={target:g}: "
            f"stderr {_number(stderr)} at {run.paths * len(seeds):,} paths"
        )
        return results, run, rounds


def _number(value: Optional[float]) -> str:
    return "none" if value is None else f"{value:.3g}"


def _scaled_count(first: _Run, scale: int) -> int:
    """The path count (or, for the multilevel estimator, the level multiplier) of a round."""
    return scale if first.multilevel else int(first.field("n_paths")) * scale


def _last_round(first: _Run, max_paths: int) -> Optional[_Run]:
    """The round that ends at `max_paths`: whole blocks of the first round's size where blocks
    are reused, else exactly `max_paths` paths; None for the multilevel estimator, which grows
    only by doubling every level."""
    if first.multilevel:
        return None
    size = first.block_paths
    if size is not None:
        blocks = max_paths // size
        return first.scaled(blocks * size, blocks) if blocks >= 2 else None
    return first.scaled(max_paths, max(first.blocks, default_blocks(max_paths)))


def _estimate_of(
    product: str,
    run: _Run,
    result: Mapping[str, Any],
    elapsed: float,
    threads: Optional[int],
    warnings: Sequence[str],
    extra_manifest: Mapping[str, Any],
) -> Estimate:
    estimate, stderr = _finite_price(product, result)
    used, manifest = _provenance(product, run, result, threads, extra_manifest)
    details = result.get("details", {})
    return Estimate(
        price=estimate,
        stderr=stderr,
        interval=(estimate - _Z95 * stderr, estimate + _Z95 * stderr),
        n_paths=_simulated_paths(run, result),
        blocks=run.blocks,
        elapsed=elapsed,
        warnings=tuple(result.get("warnings", ())) + tuple(warnings),
        details=details,
        config=used,
        manifest=manifest,
    )


def _finite_price(product: str, result: Mapping[str, Any]) -> Tuple[float, float]:
    estimate, stderr = result["price"], result["stderr"]
    if estimate is None or stderr is None:  # a non-finite result
        raise ConfigError(f"{product}: the configuration gives no finite price")
    return estimate, stderr


def _simulated_paths(run: _Run, result: Mapping[str, Any]) -> int:
    return int(result["details"]["total_paths"]) if run.multilevel else run.paths


def _provenance(
    product: str, run: _Run, result: Mapping[str, Any], threads: Optional[int], extra_manifest: Mapping[str, Any]
) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """The fields used (with ``threads``) and the manifest of a result."""
    used = dict(result["config"])
    used.pop("n_threads", None)
    used["threads"] = threads
    manifest: Dict[str, Any] = {"product": product, "config": used, "blocks": run.blocks, "threads": threads}
    manifest.update(extra_manifest)
    manifest["engine"] = _native.engine_info()
    return used, manifest


def _replicate_estimate(
    product: str,
    run: _Run,
    results: Sequence[Mapping[str, Any]],
    seeds: Sequence[int],
    elapsed: float,
    threads: Optional[int],
    warnings: Sequence[str],
    extra_manifest: Mapping[str, Any],
) -> Estimate:
    """The estimate of replicates `results` (run under `seeds`): their mean, the standard error
    of their spread and a Student t interval. The fields echo the caller's seed."""
    prices = tuple(_finite_price(product, result)[0] for result in results)
    estimate, stderr = mean_and_stderr(prices)
    half_width = student_t_quantile(0.975, len(prices) - 1) * stderr
    first = dict(results[0])
    first["config"] = {**first["config"], "seed": run.field("seed")}
    used, manifest = _provenance(product, run, first, threads, extra_manifest)
    manifest.update(replicates=len(prices), replicate_seeds=list(seeds[: len(prices)]))
    noted: List[str] = []
    for result in results:
        noted += [w for w in result.get("warnings", ()) if w not in noted]
    details = [result["details"] for result in results if result.get("details")]
    return Estimate(
        price=estimate,
        stderr=stderr,
        interval=(estimate - half_width, estimate + half_width),
        n_paths=sum(_simulated_paths(run, result) for result in results),
        blocks=run.blocks,
        elapsed=elapsed,
        warnings=tuple(noted) + tuple(warnings),
        details={"replicates": details} if details else {},
        config=used,
        manifest=manifest,
        replicate_prices=prices,
    )


def _progress_callback(progress: Union[None, bool, ProgressCallback]) -> Tuple[Optional[ProgressCallback], Optional[ProgressBar]]:
    if progress is None or progress is False:
        return None, None
    if progress is True:
        bar = ProgressBar()
        return bar, bar
    if not callable(progress):
        raise TypeError(f"progress: expected True or a callable, got {type(progress).__name__}")
    return progress, None


def price(
    product: str,
    config: Optional[Mapping[str, Any]] = None,
    /,
    *,
    threads: Optional[int] = None,
    blocks: Optional[int] = None,
    executor: Optional[Any] = None,
    progress: Union[None, bool, ProgressCallback] = None,
    target_stderr: Optional[float] = None,
    max_paths: Optional[int] = None,
    replicates: Optional[int] = None,
    greeks: Union[None, bool, Sequence[str]] = None,
    bounds: bool = False,
    inner_paths: Optional[int] = None,
    outer_paths: Optional[int] = None,
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
        equal the module function's default, whose worker count is the machine's. The one
        difference from the module functions: scrambled Sobol sampling (both variants) runs the
        full-length sequence of up to 2**32 points, where the module functions start a new one
        every 65,536 points, so its error keeps falling at the quasi-Monte Carlo rate past
        65,536 paths. Its points differ from the first path on, so for Sobol samplings no plan
        gives the module function's bits, at any path count; its plans, ranges of the one
        sequence, agree with one another to rounding. More than 2**32 paths is an error.
    executor : concurrent.futures.Executor or distributed.Client, optional
        Where the blocks run: each block is a small picklable task returning its raw sums, merged
        here in block order, so the result has the local run's bits. A block that fails, or whose
        worker dies, runs again (Dask reruns lost blocks by itself); if the executor breaks, its
        remaining blocks run in this process, with a warning. The puts travel as one task, since
        their regression needs every path. ``threads`` is then unused.
    progress : bool or callable, optional
        ``True`` draws a progress bar on stderr; a callable gets ``(paths_done, paths_total,
        running)`` on the calling thread at least every 0.25 s and once at the end, where
        ``running`` is the :class:`Estimate` of the blocks done so far (None until it is
        meaningful: it needs the first two blocks, and runs whose blocks grow alike, i.e.
        pseudorandom ones with even blocks). ``paths_done`` never decreases.
    target_stderr : float, optional
        Run rounds, each of twice the paths on twice the blocks (every level's paths, for the
        multilevel estimator), until the standard error is at most this. Where blocks are alike
        a round adds blocks to the last one's rather than starting again. The rounds depend on
        the configuration only: the same call gives the same bits, and equals a plain call with
        the last round's ``n_paths`` and ``blocks``.
    max_paths : int, optional
        With `target_stderr`, the most paths a round may take (default 1,024 times the first
        round's). Reaching it first returns the estimate there with a warning that says so.
        With replicates it counts every replicate's paths.
    replicates : int, optional
        Run R >= 2 independent randomizations of the same run and report their mean, the
        standard error of their spread (sample standard deviation over sqrt(R)) and a Student t
        interval with R - 1 degrees of freedom: the honest error bar of a quasi-Monte Carlo
        sampler, whose own standard error treats its points as independent. Each replicate is
        the run with ``n_paths`` paths (every level's paths, for the multilevel estimator) under
        its own seed: a fresh scramble (Sobol), shift (Halton), permutation (Latin hypercube)
        or stream (pseudorandom). Replicate ``r`` takes the ``r + 1``-th output of SplitMix64
        started at ``seed`` (see :func:`brisklane.replicate_seeds`). With `target_stderr`,
        every round doubles the paths of every replicate.
    greeks : bool or sequence of str, optional
        ``True`` for all of :data:`GREEKS`, or some of their names: derivatives per unit of the
        input, from the very draws of the price (common random numbers), each with its
        standard error, in :attr:`Estimate.greeks`. delta is dV/ds0, gamma d2V/ds0^2, vega
        dV/dsigma (per 1.00 of volatility), rho dV/dr and theta -dV/dt (per year of calendar
        time). Pathwise estimators for the European, Asian, lookback, basket, Heston and Merton
        calls, with a mixed likelihood-ratio gamma (and Merton's theta adds the jump count's
        likelihood ratio); likelihood ratios for the down-and-out. The basket's Greeks are
        ``delta_1``, ``delta_2``, ``gamma_1``, ``gamma_2``, ``vega_1``, ``vega_2`` (per asset:
        s01, s02, sigma1, sigma2), ``rho`` and ``theta``; ``"delta"`` asks for both deltas.
        Heston's vega is dV/dv0, per unit of initial variance. Available for ``european_call``,
        ``arithmetic_asian_call``, ``down_and_out_call``, ``lookback_call``, ``basket_call``,
        ``heston_european_call`` and ``merton_jump_diffusion_call``; every volatility must be
        > 0 (v0 for Heston), and |rho| < 1 for the basket and Heston. The price keeps its
        bits; with the control variate the Greeks take the plain estimators over the same
        draws. With replicates, each Greek's error is the spread of its replicates.
    bounds : bool, optional
        For ``american_put`` and ``bermudan_put``: bracket the price, in
        :attr:`Estimate.bounds`. The lower bound values the fitted exercise rule on ``n_paths``
        independent paths (streamed: memory O(paths)); the upper bound is the Andersen-Broadie
        dual of that rule by nested simulation. Both on streams of their own, derived from the
        seed; they run on this process's threads, whatever the executor.
    inner_paths, outer_paths : int, optional
        With `bounds`: the dual's inner paths per continuation value (default 500) and outer
        paths (default 2,000).
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
        On Ctrl-C, once every local worker has stopped and every pending remote block is
        cancelled.

    Examples
    --------
    >>> import brisklane
    >>> est = brisklane.price("arithmetic_asian_call", spot=100, strike=100, n_paths=10**5)
    >>> est.price, est.stderr
    >>> brisklane.price("european_call", n_paths=10**5, target_stderr=0.005).n_paths
    >>> brisklane.price("european_call", sampling="scrambled_sobol", n_paths=2**14, replicates=16).interval
    """
    if product not in PRODUCTS:
        raise ValueError(f"unknown product {product!r}{_suggestion(str(product), list(PRODUCTS))}")
    merged: dict[str, Any] = dict(config or {})
    merged.update(fields)
    values = _read_fields(product, merged)
    greek_names = _greek_names(product, greeks)
    nesting = _bound_paths(product, bounds, inner_paths, outer_paths)
    technique = values.get("technique", "standard")
    # The Greek entries give the price's own bits besides the Greeks, except
    # under the control variate, whose Greeks take a second pass over the draws.
    native = product + ".greeks" if greek_names and technique != "control_variate" else product
    first = _Run(native, values, 1)
    n_paths = min(first.field("paths_per_level") or [1]) if first.multilevel else int(first.field("n_paths"))
    first.blocks = default_blocks(n_paths) if blocks is None else _positive_int("blocks", blocks)
    workers = _available_cpus() if threads is None else _positive_int("threads", threads)
    target = None if target_stderr is None else _positive_real("target_stderr", target_stderr)
    if target is None and max_paths is not None:
        raise TypeError("max_paths: only used with target_stderr")
    callback, bar = _progress_callback(progress)
    pricing = _Pricing(native, min(workers, first.blocks), executor, callback)
    extra: Dict[str, Any] = {}
    if executor is not None:
        extra["executor"] = _schedule.describe(executor)

    seeds = None if replicates is None else replicate_seeds(int(first.field("seed")), _replicate_count(replicates))
    first_paths = first.paths * (1 if seeds is None else len(seeds))

    start = time.perf_counter()
    try:
        if target is None:
            if seeds is None:
                result, _ = pricing.price(first)
            else:
                results = pricing.replicated(first, seeds)
            last = first
        else:
            limit = first_paths * _MAX_PATHS_FACTOR if max_paths is None else _positive_int("max_paths", max_paths)
            if limit < first_paths:
                raise ConfigError(f"max_paths: must be at least the first round's {first_paths:,} paths, got {limit:,}")
            pricing.threads = workers
            if seeds is None:
                result, last, rounds = pricing.until(first, target, limit)
            else:
                results, last, rounds = pricing.until_replicated(first, seeds, target, limit)
            extra.update(target_stderr=target, max_paths=limit, rounds=rounds)
        greek_results = None
        if greek_names:
            greek_results = results if seeds is not None else [result]
            if native == product:
                second = _Pricing(product + ".greeks", pricing.threads, executor, None)
                plan = _Run(second.product, last.values, last.blocks)
                greek_results = [second.price(plan.seeded(seed))[0] for seed in seeds] if seeds else [second.price(plan)[0]]
        put_interval = None
        if nesting is not None:
            put_interval = _native_call(lambda: put_bounds(product, last.values, **nesting, threads=workers))
    finally:
        if bar is not None:
            bar.close()
    elapsed = time.perf_counter() - start
    used_threads = None if executor is not None else min(workers, last.blocks)
    if seeds is not None:
        estimate = _replicate_estimate(product, last, results, seeds, elapsed, used_threads, pricing.warnings, extra)
    else:
        estimate = _estimate_of(product, last, result, elapsed, used_threads, pricing.warnings, extra)
    if greek_results is not None:
        estimate = dataclasses.replace(estimate, greeks=_greeks_of(greek_names, greek_results))
    return estimate if put_interval is None else dataclasses.replace(estimate, bounds=put_interval)


def _bound_paths(product: str, bounds: Any, inner_paths: Any, outer_paths: Any) -> Optional[Dict[str, int]]:
    """The dual's path counts when bounds are asked for, else None; errors name the field."""
    if not isinstance(bounds, bool):
        raise TypeError(f"bounds: expected True or False, got {type(bounds).__name__}")
    counts = {"inner_paths": inner_paths, "outer_paths": outer_paths}
    if not bounds:
        for name, value in counts.items():
            if value is not None:
                raise TypeError(f"{name}: only used with bounds=True")
        return None
    if product not in BOUNDS_PRODUCTS:
        raise ConfigError(f"bounds: only for {' and '.join(BOUNDS_PRODUCTS)}, not {product}")
    return {name: _positive_int(name, value) for name, value in counts.items() if value is not None}


def _greek_names(product: str, greeks: Union[None, bool, Sequence[str]]) -> Tuple[str, ...]:
    """The Greeks asked for, in the product's order (a name of :data:`GREEKS` gives the basket's
    Greek of that name for each asset); TypeError or ConfigError naming the field."""
    if greeks is None or greeks is False:
        return ()
    if product not in _WITH_GREEKS:
        raise ConfigError(f"greeks: not available for {product} (available for {', '.join(_WITH_GREEKS)})")
    own = _WITH_GREEKS[product]
    if greeks is True:
        return own
    if isinstance(greeks, (str, bytes)) or not isinstance(greeks, Sequence):
        raise TypeError(f"greeks: expected True or a sequence of names, got {type(greeks).__name__}")
    known = list(dict.fromkeys(GREEKS + own))
    for name in greeks:
        if name not in known:
            raise ConfigError(f"greeks: unknown Greek {name!r}{_suggestion(str(name), known)}")
    if not greeks:
        raise ConfigError("greeks: name at least one of " + ", ".join(known))
    return tuple(name for name in own if name in greeks or name.partition("_")[0] in greeks)


def _greeks_of(names: Sequence[str], results: Sequence[Mapping[str, Any]]) -> Dict[str, Greek]:
    """Each Greek of one run, or of replicates: their mean and the stderr of their spread."""
    out: Dict[str, Greek] = {}
    for name in names:
        estimates = [result["greeks"][name] for result in results]
        if any(e["value"] is None or e["stderr"] is None for e in estimates):
            raise ConfigError(f"greeks: {name} is not finite for this configuration")
        if len(estimates) == 1:
            out[name] = Greek(estimates[0]["value"], estimates[0]["stderr"])
        else:
            out[name] = Greek(*mean_and_stderr([e["value"] for e in estimates]))
    return out


def _replicate_count(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"replicates: expected an integer, got {type(value).__name__}")
    if int(value) < 2:
        raise ConfigError(f"replicates: must be >= 2 (their spread is the error), got {int(value)}")
    return int(value)
