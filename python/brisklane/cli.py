"""Command-line front end for brisklane.

Usage::

    brisklane price european_call spot=105 n_paths=2000000 sampling=scrambled_sobol
    brisklane price european_call --json technique=antithetic
    brisklane price bermudan_put exercise_steps=16,32,48
    brisklane price arithmetic_asian_mlmc paths_per_level=40000,20000,10000 levels=3
    brisklane run arithmetic_asian_call n_paths=100000000 --threads 2
    brisklane run european_call n_paths=100000 --target-stderr 0.001 --scheduler tcp://10.0.0.5:8786
    brisklane moments n_samples=50000 sampling=scrambled_sobol
    brisklane sweep scenarios.json n_paths=200000
    brisklane demo
    brisklane products

Configuration is given as ``key=value`` words.  A value is passed to the
library as an ``int`` when it is an integer literal, else as a ``float``
when it is a float literal, else as the text itself; a product may declare
its own parser for a key (for example a comma-separated list of integers).
The library does the validation, so ``n_paths=1.5`` reaches it as a float
and is rejected there.

Every failure (bad arguments, unknown product, malformed ``key=value``, any
exception raised by the native module including its fatal-error class)
is reported as a single ``error: <message>`` line on standard error with
exit status 2. Ctrl-C stops any command with one ``interrupted`` line and
exit status 130.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from brisklane.reference import basket_call_single_asset, black_scholes_call, heston_call, merton_call

__all__ = [
    "EXIT_OK",
    "EXIT_ERROR",
    "SAMPLING_METHODS",
    "TECHNIQUES",
    "Product",
    "PRODUCTS",
    "CliError",
    "black_scholes_call",
    "parse_value",
    "parse_int_list",
    "parse_assignments",
    "read_scenarios",
    "main",
]

EXIT_OK = 0
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
_PROGRESS_DELAY = 1.0  # seconds before `run` draws its progress bar

SAMPLING_METHODS: Tuple[str, ...] = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
TECHNIQUES: Tuple[str, ...] = ("standard", "antithetic", "control_variate")

#: z-value of a two-sided 95% normal confidence interval.
Z_95 = 1.96


class CliError(Exception):
    """A user-facing error: reported as one ``error:`` line, exit status 2."""


# ---------------------------------------------------------------------------
# Closed forms
# ---------------------------------------------------------------------------


def _gbm_call_reference(config: Mapping[str, Any]) -> float:
    return black_scholes_call(
        config.get("s0"), config.get("k"), config.get("r"), config.get("sigma"), config.get("t")
    )


def _fields_reference(function: Callable[..., float], *keys: str) -> Callable[[Mapping[str, Any]], float]:
    """A reference taking the echoed configuration's ``keys`` as positional arguments."""

    def reference(config: Mapping[str, Any]) -> float:
        values = [config.get(key) for key in keys]
        if any(value is None for value in values):
            return math.nan
        return function(*values)

    return reference


# ---------------------------------------------------------------------------
# Value parsing
# ---------------------------------------------------------------------------


def parse_value(text: str) -> Any:
    """``int`` for an integer literal, else ``float`` for a float literal, else the text."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def parse_int_list(text: str) -> List[int]:
    """Parse ``"16,32,48"`` into ``[16, 32, 48]`` (blank items are ignored)."""
    items = [item.strip() for item in text.split(",")]
    try:
        return [int(item) for item in items if item]
    except ValueError:
        raise CliError(f"expected a comma-separated list of integers, got {text!r}") from None


# ---------------------------------------------------------------------------
# Product table
# ---------------------------------------------------------------------------


def _config_n_paths(config: Mapping[str, Any]) -> Optional[int]:
    value = config.get("n_paths")
    return value if isinstance(value, int) else None


@dataclass(frozen=True)
class Product:
    """One row of the product table.

    ``function`` is the module function name; ``count_paths`` maps the echoed
    configuration (``result["manifest"]["config"]``) to the number of paths
    reported in the summary; ``reference`` optionally maps the same
    configuration to a closed-form price used by ``price`` and ``demo``;
    ``parsers`` maps a config key to a parser for its ``key=value`` text;
    ``details`` names entries of ``result["values"]["details"]`` that ``price``
    prints, and ``summary_rows`` optionally maps the full result to further
    summary rows.  ``demo`` runs every sampling method of ``demo_samplings`` with
    every technique of ``demo_techniques``; an empty tuple means the product
    has no such setting (one run, shown as ``-``).
    """

    name: str
    function: str
    description: str
    count_paths: Callable[[Mapping[str, Any]], Optional[int]] = _config_n_paths
    reference: Optional[Callable[[Mapping[str, Any]], float]] = None
    reference_name: str = ""
    parsers: Mapping[str, Callable[[str], Any]] = field(default_factory=dict)
    demo_samplings: Tuple[str, ...] = SAMPLING_METHODS
    demo_techniques: Tuple[str, ...] = TECHNIQUES
    demo_config: Mapping[str, Any] = field(default_factory=dict)
    details: Tuple[str, ...] = ()
    summary_rows: Optional[Callable[[Mapping[str, Any]], List[Tuple[str, str]]]] = None


_LSM_DETAILS = ("regression_basis", "regression_steps", "early_exercise_count", "maturity_exercise_count")


def _mlmc_paths(config: Mapping[str, Any]) -> Optional[int]:
    per_level = config.get("paths_per_level")
    if not isinstance(per_level, list):
        return None
    replicates = config.get("scramble_replicates", 1)
    if config.get("sampling") == "pseudorandom" or not isinstance(replicates, int) or replicates < 2:
        replicates = 1  # pseudorandom sampling never replicates
    return sum(per_level) * replicates


def _mlmc_summary_rows(result: Mapping[str, Any]) -> List[Tuple[str, str]]:
    values = result.get("values") or {}
    rows: List[Tuple[str, str]] = []
    for level in values.get("levels") or []:
        coarse = level.get("coarse_steps")
        rows.append(
            (
                f"level {level.get('level')}",
                f"steps {level.get('fine_steps')}/{coarse if coarse is not None else '-'}, "
                f"paths {level.get('paths'):,}, mean {_fmt_number(level.get('mean'))}, "
                f"stderr {_fmt_number(level.get('stderr'))}",
            )
        )
    if values.get("scramble_replicates", 1) > 1:
        rows.append(("replicates", str(values.get("scramble_replicates"))))
    updates = values.get("total_step_updates")
    if isinstance(updates, int):
        rows.append(("step updates", f"{updates:,}"))
    return rows


PRODUCTS: Dict[str, Product] = {
    product.name: product
    for product in (
        Product(
            name="european_call",
            function="price_european_call",
            description="European call under geometric Brownian motion (terminal sampling)",
            reference=_gbm_call_reference,
            reference_name="Black-Scholes",
        ),
        Product(
            name="arithmetic_asian_call",
            function="price_arithmetic_asian_call",
            description="Arithmetic-average Asian call under geometric Brownian motion",
            demo_config={"n_paths": 20000, "n_steps": 64},
        ),
        Product(
            name="down_and_out_call",
            function="price_down_and_out_call",
            description="Discretely monitored down-and-out barrier call (key: barrier)",
            demo_config={"n_paths": 20000, "n_steps": 64},
        ),
        Product(
            name="lookback_call",
            function="price_lookback_call",
            description="Fixed-strike lookback call on the discretely monitored maximum",
            demo_config={"n_paths": 20000, "n_steps": 64},
        ),
        Product(
            name="basket_call",
            function="price_basket_call",
            description="call on a weighted basket of two correlated GBM assets (one step)",
            reference=_fields_reference(
                basket_call_single_asset, "s01", "s02", "k", "r", "sigma1", "sigma2", "rho", "weight1", "weight2", "t"
            ),
            reference_name="Black-Scholes (single-asset case)",
        ),
        Product(
            name="american_put",
            function="price_american_put",
            description="American put by Longstaff-Schwartz regression (exercise at every step and at time 0)",
            demo_samplings=(),
            demo_techniques=(),
            details=_LSM_DETAILS,
        ),
        Product(
            name="bermudan_put",
            function="price_bermudan_put",
            description="Bermudan put by Longstaff-Schwartz regression (exercise at exercise_steps; maturity always added)",
            parsers={"exercise_steps": parse_int_list},
            demo_samplings=(),
            demo_techniques=(),
            details=("exercise_schedule",) + _LSM_DETAILS,
        ),
        Product(
            name="heston_european_call",
            function="price_heston_european_call",
            description="European call under Heston stochastic volatility (Euler steps, pseudorandom)",
            reference=_fields_reference(heston_call, "s0", "k", "r", "v0", "kappa", "theta", "vol_of_vol", "rho", "t"),
            reference_name="Heston (semi-closed form)",
            demo_samplings=("pseudorandom",),
            demo_config={"n_paths": 20000, "n_steps": 64},
        ),
        Product(
            name="merton_jump_diffusion_call",
            function="price_merton_jump_diffusion_call",
            description="European call under Merton jump diffusion (terminal sampling, pseudorandom)",
            reference=_fields_reference(
                merton_call, "s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean", "jump_volatility"
            ),
            reference_name="Merton series",
            demo_samplings=("pseudorandom",),
            demo_techniques=("standard",),
        ),
        Product(
            name="arithmetic_asian_mlmc",
            function="arithmetic_asian_mlmc",
            description="Arithmetic Asian call by multilevel Monte Carlo (paths_per_level=N0,N1,...)",
            count_paths=_mlmc_paths,
            parsers={"paths_per_level": parse_int_list},
            demo_techniques=(),  # no technique: plain level estimators
            demo_config={"paths_per_level": [4000, 2000, 1000, 500]},
            summary_rows=_mlmc_summary_rows,
        ),
    )
}


def _find_product(name: str) -> Product:
    product = PRODUCTS.get(name)
    if product is None:
        known = ", ".join(sorted(PRODUCTS)) or "none"
        raise CliError(f"unknown product {name!r} (known products: {known})")
    return product


def _library() -> Any:
    try:
        import brisklane
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise CliError(f"cannot import brisklane: {exc}") from None
    return brisklane


def _pricing_function(product: Product) -> Callable[[Any], Dict[str, Any]]:
    function = getattr(_library(), product.function, None)
    if function is None:
        raise CliError(
            f"product {product.name!r} is not available in this build "
            f"(brisklane has no {product.function})"
        )
    return function


def parse_assignments(
    words: Sequence[str], parsers: Optional[Mapping[str, Callable[[str], Any]]] = None
) -> Dict[str, Any]:
    """Turn ``key=value`` words into a config dict."""
    parsers = parsers or {}
    config: Dict[str, Any] = {}
    for word in words:
        key, sep, text = word.partition("=")
        key = key.strip()
        if not sep or not key:
            raise CliError(f"expected key=value, got {word!r}")
        if key in config:
            raise CliError(f"key {key!r} given more than once")
        parser = parsers.get(key, parse_value)
        config[key] = parser(text)
    return config


# ---------------------------------------------------------------------------
# Formatting
# ---------------------------------------------------------------------------


def _fmt_number(value: Any, fmt: str = ".6f") -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "n/a" if value is None else str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return format(value, fmt)


def _fmt_rate(paths: Optional[int], seconds: float) -> str:
    if paths is None or seconds <= 0.0:
        return "n/a"
    return f"{paths / seconds:,.0f}"


def _error_in_stderrs(price: Any, stderr: Any, reference: Optional[float]) -> Optional[float]:
    if reference is None or not isinstance(price, float) or not isinstance(stderr, float):
        return None
    if not math.isfinite(reference):
        return None
    diff = price - reference
    if stderr > 0.0:
        return diff / stderr
    return 0.0 if diff == 0.0 else math.copysign(math.inf, diff)


def _result_price(result: Mapping[str, Any]) -> Any:
    """The top-level price, or the price inside "values" (the multilevel result has no top-level price)."""
    if "price" in result:
        return result.get("price")
    values = result.get("values")
    return values.get("price") if isinstance(values, Mapping) else None


def _timed_call(function: Callable[[Any], Dict[str, Any]], config: Dict[str, Any]):
    start = time.perf_counter()
    result = function(config)
    return result, time.perf_counter() - start


def _config_text(config: Mapping[str, Any]) -> str:
    return ", ".join(f"{key}={value}" for key, value in config.items())


def _table_lines(headers: Sequence[str], rows: Sequence[Sequence[str]], numeric: Sequence[bool]) -> List[str]:
    widths = [len(h) for h in headers]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]

    def line(cells: Sequence[str]) -> str:
        parts = [
            cell.rjust(width) if is_num else cell.ljust(width)
            for cell, width, is_num in zip(cells, widths, numeric)
        ]
        return "  ".join(parts).rstrip()

    return [line(headers), "  ".join("-" * w for w in widths)] + [line(row) for row in rows]


def _print_table(headers: Sequence[str], rows: Sequence[Sequence[str]], numeric: Sequence[bool]) -> None:
    for text in _table_lines(headers, rows, numeric):
        print(text)


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def _cmd_price(args: argparse.Namespace) -> int:
    product = _find_product(args.product)
    config = parse_assignments(args.assignments, product.parsers)
    function = _pricing_function(product)
    result, seconds = _timed_call(function, config)

    if args.json:
        print(json.dumps(result, indent=2))
        return EXIT_OK

    manifest = result.get("manifest", {})
    echoed = manifest.get("config", {}) if isinstance(manifest, dict) else {}
    price = _result_price(result)
    stderr = result.get("stderr")
    paths = product.count_paths(echoed)

    rows: List[Tuple[str, str]] = [("product", f"{product.name} ({product.function})")]
    for key in ("sampling", "technique"):
        if key in echoed:
            rows.append((key, str(echoed[key])))
    rows.append(("price", _fmt_number(price)))
    rows.append(("standard error", _fmt_number(stderr)))
    if isinstance(price, float) and isinstance(stderr, float):
        low, high = price - Z_95 * stderr, price + Z_95 * stderr
        rows.append(("95% interval", f"[{low:.6f}, {high:.6f}]"))
    if product.reference is not None:
        reference = product.reference(echoed)
        if math.isfinite(reference):
            error = _error_in_stderrs(price, stderr, reference)
            note = f" (error {error:+.2f} standard errors)" if error is not None and math.isfinite(error) else ""
            rows.append((product.reference_name or "reference", f"{reference:.6f}{note}"))
    details = result.get("values", {}).get("details", {}) if product.details else {}
    for key in product.details:
        if key in details:
            rows.append((key.replace("_", " "), str(details[key])))
    if product.summary_rows is not None:
        rows.extend(product.summary_rows(result))
    rows.append(("paths", f"{paths:,}" if paths is not None else "n/a"))
    rows.append(("wall time", f"{seconds * 1e3:.1f} ms"))
    rows.append(("paths per second", _fmt_rate(paths, seconds)))
    for warning in result.get("warnings", []) or []:
        rows.append(("warning", str(warning)))

    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label.ljust(width)}  {value}")
    return EXIT_OK


def _executor(address: Optional[str]) -> Any:
    if address is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        raise CliError("--scheduler needs Dask: pip install 'brisklane[dask]'") from None
    return Client(address)


def _cmd_run(args: argparse.Namespace) -> int:
    """Price through the block-plan API: the same bits on any threads or cluster, a bar for
    runs over a second, a target standard error."""
    brisklane = _library()
    product = _find_product(args.product)
    config = parse_assignments(args.assignments, product.parsers)
    client = _executor(args.scheduler)
    progress = None
    if not args.json and not args.no_progress and sys.stderr.isatty():
        from brisklane._progress import ProgressBar

        progress = ProgressBar(delay=_PROGRESS_DELAY)
    try:
        estimate = brisklane.price(
            args.product,
            config,
            threads=args.threads,
            blocks=args.blocks,
            executor=client,
            progress=progress,
            target_stderr=args.target_stderr,
            max_paths=args.max_paths,
        )
    finally:
        if progress is not None:
            progress.close()
        if client is not None:
            client.close()
    if args.json:
        print(json.dumps(estimate.to_dict(), indent=2))
        return EXIT_OK
    low, high = estimate.interval
    rows: List[Tuple[str, str]] = [
        ("product", product.name),
        ("price", _fmt_number(estimate.price)),
        ("standard error", _fmt_number(estimate.stderr)),
        ("95% interval", f"[{low:.6f}, {high:.6f}]"),
    ]
    if product.reference is not None:
        reference = product.reference(estimate.config)
        if math.isfinite(reference):
            error = _error_in_stderrs(estimate.price, estimate.stderr, reference)
            note = f" (error {error:+.2f} standard errors)" if error is not None and math.isfinite(error) else ""
            rows.append((product.reference_name or "reference", f"{reference:.6f}{note}"))
    rows.append(("paths", f"{estimate.n_paths:,}"))
    where = estimate.manifest.get("executor") or f"{estimate.config['threads']} threads"
    rows.append(("blocks", f"{estimate.blocks:,} on {where}"))
    if "rounds" in estimate.manifest:
        rows.append(("rounds", str(estimate.manifest["rounds"])))
    rows.append(("wall time", f"{estimate.elapsed * 1e3:.1f} ms"))
    rows.append(("paths per second", _fmt_rate(estimate.n_paths, estimate.elapsed)))
    for warning in estimate.warnings:
        rows.append(("warning", str(warning)))
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label.ljust(width)}  {value}")
    return EXIT_OK


def _demo_lines(product: Product, args: argparse.Namespace) -> List[str]:
    """Prices one product's demo table and returns the lines to print."""
    base = dict(product.demo_config)
    base.update(parse_assignments(args.assignments, product.parsers))
    if args.paths is not None:
        base["n_paths"] = args.paths
    function = _pricing_function(product)
    rows: List[List[str]] = []
    reference_value: Optional[float] = None
    echoed: Mapping[str, Any] = {}
    total = 0.0
    for sampling in product.demo_samplings or (None,):
        for technique in product.demo_techniques or (None,):
            config = dict(base)
            if sampling is not None:
                config["sampling"] = sampling
            if technique is not None:
                config["technique"] = technique
            result, seconds = _timed_call(function, config)
            total += seconds
            echoed = result.get("manifest", {}).get("config", {})
            price, stderr = _result_price(result), result.get("stderr")
            reference = product.reference(echoed) if product.reference is not None else None
            if reference is not None and math.isfinite(reference):
                reference_value = reference
            error = _error_in_stderrs(price, stderr, reference)
            rows.append(
                [
                    product.name,
                    sampling or "-",
                    technique or "-",
                    _fmt_number(price),
                    _fmt_number(stderr),
                    f"{error:+.2f}" if error is not None else "n/a",
                    f"{seconds * 1e3:.1f}",
                ]
            )
    shown = {k: v for k, v in echoed.items() if k not in ("sampling", "technique")}
    lines = [f"{product.name}: {_config_text(shown)}"]
    if reference_value is not None:
        lines.append(f"{product.reference_name or 'reference'} price: {reference_value:.6f}")
    lines.append("")
    headers = ["product", "sampling", "technique", "price", "stderr", "error (se)", "time (ms)"]
    lines += _table_lines(headers, rows, [False, False, False, True, True, True, True])
    lines.append("")
    lines.append(f"total time: {total * 1e3:.1f} ms for {len(rows)} runs")
    return lines


def _cmd_demo(args: argparse.Namespace) -> int:
    if args.paths is not None and args.paths <= 0:
        raise CliError("--paths must be a positive integer")
    if args.product is not None:
        products = [_find_product(args.product)]
    else:  # every product this build provides
        library = _library()
        products = [product for product in PRODUCTS.values() if hasattr(library, product.function)]
    # Everything is priced before anything is printed, so a failure prints
    # only its error line.
    blocks = [_demo_lines(product, args) for product in products]
    for index, block in enumerate(blocks):
        if index:
            print()
        for text in block:
            print(text)
    return EXIT_OK


def _study_function(name: str) -> Callable[[Any], Dict[str, Any]]:
    function = getattr(_library(), name, None)
    if function is None:
        raise CliError(f"this build of brisklane has no {name}")
    return function


def _print_summary(rows: Sequence[Tuple[str, str]]) -> None:
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label.ljust(width)}  {value}")


def _cmd_moments(args: argparse.Namespace) -> int:
    config = parse_assignments(args.assignments)
    result, seconds = _timed_call(_study_function("gaussian_uncertainty_moments"), config)
    if args.json:
        print(json.dumps(result, indent=2))
        return EXIT_OK

    values = result.get("values", {})
    mean, stderr = values.get("mean"), values.get("stderr_mean")
    analytic_mean = values.get("analytic_mean")
    error = _error_in_stderrs(mean, stderr, analytic_mean)
    note = f" (error {error:+.2f} standard errors)" if error is not None and math.isfinite(error) else ""
    rows: List[Tuple[str, str]] = [
        ("study", "gaussian_uncertainty_moments: f(Z) = Z0^2 + Z1/2 + exp(Z2/10)"),
        ("sampling", str(values.get("sampling"))),
        ("samples", _fmt_number(values.get("samples"), ",")),
        ("dimensions", _fmt_number(values.get("dimensions"), "d")),
        ("mean", f"{_fmt_number(mean)} (exact {_fmt_number(analytic_mean)}){note}"),
        ("variance", f"{_fmt_number(values.get('variance'))} (exact {_fmt_number(values.get('analytic_variance'))})"),
        ("standard error", _fmt_number(stderr)),
        ("95% interval", f"[{_fmt_number(values.get('mean_ci_95_low'))}, {_fmt_number(values.get('mean_ci_95_high'))}]"),
        ("wall time", f"{seconds * 1e3:.1f} ms"),
    ]
    rows.extend(("warning", str(warning)) for warning in values.get("warnings") or [])
    _print_summary(rows)
    return EXIT_OK


#: Top-level keys of a sweep; any other key=value word goes into ``base_config``.
SWEEP_KEYS = ("n_paths", "n_steps", "seed", "seed_stride", "method")


def _csv_scenarios(text: str, source: str) -> List[Dict[str, Any]]:
    reader = csv.DictReader(io.StringIO(text))
    if not reader.fieldnames:
        raise CliError(f"{source}: the CSV file has no header row")
    scenarios = []
    for line, row in enumerate(reader, start=2):
        if None in row:
            raise CliError(f"{source}: line {line} has more cells than the header")
        scenario: Dict[str, Any] = {}
        for key, cell in row.items():
            key = (key or "").strip()
            if cell is None or not key or cell.strip() == "":
                continue  # an empty cell leaves the field to the base configuration
            # Ids stay text exactly as written; other cells read like key=value values.
            scenario[key] = cell if key == "scenario_id" else parse_value(cell.strip())
        scenarios.append(scenario)
    return scenarios


def read_scenarios(path: str) -> Dict[str, Any]:
    """Reads a sweep configuration from a JSON or CSV file ("-": JSON on standard input).

    JSON holds either a list of scenario objects or a whole sweep configuration
    object (``scenarios``, ``base_config``, ``method``, ...). CSV holds one
    scenario per row under a header of keys (``scenario_id``, ``s0``, ``sigma``,
    ``method``, ...); empty cells are left out.
    """
    source = "standard input" if path == "-" else repr(path)
    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8", newline="") as handle:
                text = handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise CliError(f"cannot read scenarios from {source}: {reason}") from None

    if path.lower().endswith(".csv"):
        return {"scenarios": _csv_scenarios(text, source)}
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"{source} is not valid JSON: {exc}") from None
    if isinstance(data, list):
        return {"scenarios": data}
    if isinstance(data, dict):
        return data
    raise CliError(f"{source} must hold a list of scenarios or a sweep configuration object")


def _cmd_sweep(args: argparse.Namespace) -> int:
    path, words = args.scenarios, list(args.assignments)
    if path is not None and "=" in path and not os.path.exists(path):
        path, words = None, [path] + words  # no file given, only key=value words
    config: Dict[str, Any] = read_scenarios(path) if path is not None else {}
    overrides = parse_assignments(words)
    base = dict(config.get("base_config") or {})
    for key, value in overrides.items():
        if key in SWEEP_KEYS:
            config[key] = value
        else:
            base[key] = value
    if base:
        config["base_config"] = base

    result, seconds = _timed_call(_study_function("price_european_call_parameter_sweep"), config)
    if args.json:
        print(json.dumps(result, indent=2))
        return EXIT_OK

    values = result.get("values", {})
    headers = ["scenario", "method", "s0", "k", "r", "sigma", "t", "paths", "seed", "price", "stderr",
               "Black-Scholes", "error (se)"]
    rows: List[List[str]] = []
    for row in values.get("rows") or []:
        config_used = row.get("config", {})
        outcome = row.get("result", {})
        price, stderr, analytic = outcome.get("price"), outcome.get("stderr"), row.get("analytic_price")
        error = _error_in_stderrs(price, stderr, analytic)
        rows.append(
            [
                str(row.get("scenario_id")),
                str(row.get("method")),
                _fmt_number(config_used.get("s0"), "g"),
                _fmt_number(config_used.get("k"), "g"),
                _fmt_number(config_used.get("r"), "g"),
                _fmt_number(config_used.get("sigma"), "g"),
                _fmt_number(config_used.get("t"), "g"),
                _fmt_number(config_used.get("n_paths"), ","),
                str(config_used.get("seed")),
                _fmt_number(price),
                _fmt_number(stderr),
                _fmt_number(analytic),
                f"{error:+.2f}" if error is not None else "n/a",
            ]
        )
    _print_table(headers, rows, [False, False] + [True] * 11)
    print()
    for warning in values.get("warnings") or []:
        print(f"warning: {warning}")
    total = values.get("total_paths")
    print(
        f"{values.get('scenario_count')} scenarios, {_fmt_number(total, ',')} paths, "
        f"wall time {seconds * 1e3:.1f} ms"
    )
    return EXIT_OK


def _cmd_products(args: argparse.Namespace) -> int:
    library = _library()
    rows = []
    for product in PRODUCTS.values():
        available = "yes" if hasattr(library, product.function) else "no"
        rows.append([product.name, product.function, available, product.description])
    _print_table(["product", "function", "available", "description"], rows, [False] * 4)
    return EXIT_OK


# ---------------------------------------------------------------------------
# Argument parsing and entry point
# ---------------------------------------------------------------------------


class _ArgumentParser(argparse.ArgumentParser):
    """argparse parser that reports usage errors as CliError instead of exiting."""

    def error(self, message: str):  # type: ignore[override]
        raise CliError(message)


def _version() -> str:
    try:
        return str(_library().__version__)
    except Exception:  # pragma: no cover - depends on the build
        return "unknown"


class _VersionAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"brisklane {_version()}")
        parser.exit(0)


def build_parser() -> argparse.ArgumentParser:
    products = ", ".join(PRODUCTS)
    parser = _ArgumentParser(
        prog="brisklane",
        description="Monte Carlo option pricing from the command line.",
        epilog=(
            "examples:\n"
            "  brisklane price european_call spot=105 n_paths=2000000 sampling=scrambled_sobol\n"
            "  brisklane price european_call --json technique=control_variate\n"
            "  brisklane price bermudan_put exercise_steps=16,32,48\n"
            "  brisklane price arithmetic_asian_mlmc paths_per_level=40000,20000,10000 levels=3\n"
            "  brisklane run arithmetic_asian_call n_paths=100000000 --threads 2\n"
            "  brisklane run european_call --target-stderr 0.001 --scheduler tcp://10.0.0.5:8786\n"
            "  brisklane moments n_samples=50000 sampling=scrambled_sobol\n"
            "  brisklane sweep scenarios.csv n_paths=200000 method=stepwise_paths\n"
            "  brisklane demo --paths 20000"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction, help="print the library version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    value_help = (
        "configuration as key=value; integer literals are passed as int, float "
        "literals as float, anything else as text (e.g. s0=105 k=100 sigma=0.25 "
        "n_paths=200000 seed=7 n_threads=4 technique=antithetic sampling=latin_hypercube)"
    )

    price = commands.add_parser(
        "price",
        help="price one product and print a summary",
        description="Price one product with the given configuration and print a summary "
        "(price, standard error, 95% interval, paths, wall time, throughput).",
    )
    price.add_argument("product", help=f"product name ({products})")
    price.add_argument("assignments", nargs="*", metavar="key=value", help=value_help)
    price.add_argument("--json", action="store_true", help="print the full result dictionary as JSON")
    price.set_defaults(handler=_cmd_price)

    run = commands.add_parser(
        "run",
        help="price one product on a block plan (threads, Dask, target error)",
        description="Price one product through brisklane.price: the result depends on the configuration "
        "and the block plan only, whatever the threads or the cluster. A progress bar shows for runs "
        "over a second.",
    )
    run.add_argument("product", help=f"product name ({products})")
    run.add_argument("assignments", nargs="*", metavar="key=value", help="configuration, as for 'price' "
                     "(without n_threads: use --threads)")
    run.add_argument("--threads", type=int, default=None, metavar="N", help="local worker threads (default: all)")
    run.add_argument("--blocks", type=int, default=None, metavar="N", help="blocks the run is cut into")
    run.add_argument("--scheduler", default=None, metavar="ADDRESS",
                     help="run the blocks on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    run.add_argument("--target-stderr", type=float, default=None, metavar="X",
                     help="double the paths in rounds until the standard error is at most X")
    run.add_argument("--max-paths", type=int, default=None, metavar="N", help="the most paths a round may take")
    run.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    run.add_argument("--json", action="store_true", help="print the estimate as JSON")
    run.set_defaults(handler=_cmd_run)

    demo = commands.add_parser(
        "demo",
        help="price every product under every sampling method and technique",
        description="Price every product (or the one given by --product) under each of its "
        "sampling methods and variance-reduction techniques and compare with its closed form "
        "where there is one.",
    )
    demo.add_argument("--product", default=None, help=f"product name ({products}; default: all)")
    demo.add_argument("--paths", type=int, default=None, metavar="N", help="paths per run (default: the product's default)")
    demo.add_argument("assignments", nargs="*", metavar="key=value", help="extra configuration, as for 'price'")
    demo.set_defaults(handler=_cmd_demo)

    moments = commands.add_parser(
        "moments",
        help="check Gaussian moment estimates against their exact values",
        description="Estimate the mean and variance of f(Z) = Z0^2 + Z1/2 + exp(Z2/10) for a standard "
        "normal vector Z drawn by the chosen sampling method, and compare them with their exact values "
        "(keys: n_samples, dimensions, seed, sampling).",
    )
    moments.add_argument("assignments", nargs="*", metavar="key=value", help="configuration, as for 'price'")
    moments.add_argument("--json", action="store_true", help="print the full result dictionary as JSON")
    moments.set_defaults(handler=_cmd_moments)

    sweep = commands.add_parser(
        "sweep",
        help="price European call scenarios against Black-Scholes",
        description="Price a list of European call scenarios and compare each with the Black-Scholes "
        "closed form. Without a file the three default scenarios are priced.",
        epilog="A JSON file holds a list of scenario objects or a whole sweep configuration; a CSV file "
        "holds one scenario per row under a header of keys (empty cells are left out). key=value words "
        f"set the sweep's {', '.join(SWEEP_KEYS)}; any other key goes into base_config.",
    )
    sweep.add_argument("scenarios", nargs="?", default=None, metavar="SCENARIOS",
                       help="scenarios file: .json, .csv, or - for JSON on standard input")
    sweep.add_argument("assignments", nargs="*", metavar="key=value", help="sweep or base configuration")
    sweep.add_argument("--json", action="store_true", help="print the full result dictionary as JSON")
    sweep.set_defaults(handler=_cmd_sweep)

    listing = commands.add_parser("products", help="list the known products", description="List the known products.")
    listing.set_defaults(handler=_cmd_products)
    return parser


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _report(exc: BaseException) -> int:
    print(f"error: {_one_line(exc)}", file=sys.stderr)
    return EXIT_ERROR


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        # key=value words may come before and after options
        # ("price european_call --json n_paths=1000"); argparse hands the
        # later ones back as extras.
        args, extras = parser.parse_known_args(list(argv) if argv is not None else None)
        if extras:
            flags = [word for word in extras if word.startswith("-")]
            if flags or not hasattr(args, "assignments"):
                raise CliError(f"unrecognized arguments: {' '.join(flags or extras)}")
            args.assignments = list(args.assignments) + extras
    except SystemExit as exc:  # --help / --version
        code = exc.code
        return code if isinstance(code, int) else (EXIT_OK if code is None else EXIT_ERROR)
    except CliError as exc:
        return _report(exc)

    handler = getattr(args, "handler", None)
    if handler is None:
        return _report(CliError("a command is required (price, run, moments, sweep, demo or products); see --help"))
    try:
        return handler(args)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # includes the native fatal-error class
        return _report(exc)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
