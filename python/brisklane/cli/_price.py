"""The ``price`` command (one call of a product's pricing function) and the ``run`` command (a block plan)."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any, List, Mapping, Optional, Tuple

from brisklane.cli._base import EXIT_OK, CliError, library, timed_call
from brisklane.cli._format import (
    error_in_stderrs,
    error_note,
    fmt_milliseconds,
    fmt_number,
    fmt_rate,
    print_json,
    print_rows,
)
from brisklane.cli._products import Product, find_product, parse_assignments, pricing_function, result_price

#: z-value of a two-sided 95% normal confidence interval.
Z_95 = 1.96

_PROGRESS_DELAY = 1.0  # seconds before `run` draws its progress bar


def _reference_rows(product: Product, config: Mapping[str, Any], price: Any, stderr: Any) -> List[Tuple[str, str]]:
    """The summary row comparing an estimate with the product's closed form, if it has one for ``config``."""
    if product.reference is None:
        return []
    reference = product.reference(config)
    if not math.isfinite(reference):
        return []
    note = error_note(error_in_stderrs(price, stderr, reference))
    return [(product.reference_name or "reference", f"{reference:.6f}{note}")]


def _greek_rows(product: Product, estimate: Any) -> List[Tuple[str, str]]:
    """A row per Greek: value ± stderr, and Black-Scholes's value for the European call."""
    exact = {}
    if estimate.greeks and product.name == "european_call":
        from brisklane.reference import black_scholes_call_greeks

        c = estimate.config
        exact = black_scholes_call_greeks(c["s0"], c["k"], c["r"], c["sigma"], c["t"])
    rows = []
    for name, greek in estimate.greeks.items():
        note = f"  (Black-Scholes {exact[name]:.6f})" if name in exact else ""
        rows.append((name, f"{greek.value:.6f} ± {greek.stderr:.6f}{note}"))
    return rows


def cmd_price(args: argparse.Namespace) -> int:
    """Price one product with one call of its pricing function and print a summary.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``product``, ``assignments``, ``json``,
        ``csv``, ``replicates``, ``greeks`` and ``bounds`` (any given: the run goes
        through :func:`cmd_run`).

    Returns
    -------
    int
        The exit status.
    """
    if args.replicates is not None or args.greeks or args.bounds:
        return cmd_run(args)
    product = find_product(args.product)
    config = parse_assignments(args.assignments, product.parsers)
    function = pricing_function(product)
    result, seconds = timed_call(function, config)

    if args.json:
        print_json(result)
        return EXIT_OK

    manifest = result.get("manifest", {})
    echoed = manifest.get("config", {}) if isinstance(manifest, dict) else {}
    price = result_price(result)
    stderr = result.get("stderr")
    paths = product.count_paths(echoed)

    rows: List[Tuple[str, str]] = [("product", f"{product.name} ({product.function})")]
    for key in ("sampling", "technique"):
        if key in echoed:
            rows.append((key, str(echoed[key])))
    rows.append(("price", fmt_number(price)))
    rows.append(("standard error", fmt_number(stderr)))
    if isinstance(price, float) and isinstance(stderr, float):
        low, high = price - Z_95 * stderr, price + Z_95 * stderr
        rows.append(("95% interval", f"[{low:.6f}, {high:.6f}]"))
    rows.extend(_reference_rows(product, echoed, price, stderr))
    details = result.get("values", {}).get("details", {}) if product.details else {}
    for key in product.details:
        if key in details:
            rows.append((key.replace("_", " "), str(details[key])))
    if product.summary_rows is not None:
        rows.extend(product.summary_rows(result))
    rows.append(("paths", f"{paths:,}" if paths is not None else "n/a"))
    rows.append(("wall time", fmt_milliseconds(seconds)))
    rows.append(("paths per second", fmt_rate(paths, seconds)))
    for warning in result.get("warnings", []) or []:
        rows.append(("warning", str(warning)))
    print_rows(rows, args.csv)
    return EXIT_OK


def _executor(address: Optional[str]) -> Any:
    """A Dask client of the scheduler at ``address``, or ``None`` to run on local threads."""
    if address is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        raise CliError("--scheduler needs Dask: pip install 'brisklane[dask]'") from None
    return Client(address)


def cmd_run(args: argparse.Namespace) -> int:
    """Price one product through the block-plan API and print a summary.

    The result is the same bits on any threads or cluster; a progress bar
    shows for runs over a second, and a target standard error makes the run
    double its paths in rounds.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``product``, ``assignments``, ``threads``,
        ``blocks``, ``scheduler``, ``target_stderr``, ``max_paths``,
        ``replicates``, ``greeks``, ``bounds``, ``inner_paths``, ``outer_paths``,
        ``no_progress``, ``json`` and ``csv``.

    Returns
    -------
    int
        The exit status.
    """
    brisklane = library()
    product = find_product(args.product)
    config = parse_assignments(args.assignments, product.parsers)
    threads = args.threads
    if args.handler is cmd_price and "n_threads" in config:  # 'price' takes the module functions' n_threads
        threads = config.pop("n_threads") or None
    client = _executor(args.scheduler)
    progress = None
    if not args.json and not args.no_progress and sys.stderr.isatty():
        from brisklane._progress import ProgressBar

        progress = ProgressBar(delay=_PROGRESS_DELAY)
    try:
        estimate = brisklane.price(
            args.product,
            config,
            threads=threads,
            blocks=args.blocks,
            executor=client,
            progress=progress,
            target_stderr=args.target_stderr,
            max_paths=args.max_paths,
            replicates=args.replicates,
            greeks=args.greeks or None,
            bounds=args.bounds,
            inner_paths=args.inner_paths,
            outer_paths=args.outer_paths,
        )
    finally:
        if progress is not None:
            progress.close()
        if client is not None:
            client.close()
    if args.json:
        print_json(estimate.to_dict())
        return EXIT_OK
    low, high = estimate.interval
    rows: List[Tuple[str, str]] = [
        ("product", product.name),
        ("price", fmt_number(estimate.price)),
        ("standard error", fmt_number(estimate.stderr)),
        ("95% interval", f"[{low:.6f}, {high:.6f}]" + (" (Student t)" if estimate.replicate_prices else "")),
    ]
    if estimate.replicate_prices:
        spread = f"{min(estimate.replicate_prices):.6f} to {max(estimate.replicate_prices):.6f}"
        rows.append(("replicates", f"{len(estimate.replicate_prices)}, prices {spread}"))
    rows.extend(_reference_rows(product, estimate.config, estimate.price, estimate.stderr))
    rows.extend(_greek_rows(product, estimate))
    if estimate.bounds is not None:
        b = estimate.bounds
        rows.append(("lower bound", f"{b.lower:.6f} ± {b.lower_stderr:.6f}  (the fitted rule on {b.lower_paths:,} fresh paths)"))
        rows.append(("upper bound", f"{b.upper:.6f} ± {b.upper_stderr:.6f}  (dual: {b.outer_paths:,} outer x "
                     f"{b.inner_paths:,} inner paths)"))
        rows.append(("gap", f"{b.gap:.6f} ({b.gap / estimate.price:.2%} of the price)"))
    rows.append(("paths", f"{estimate.n_paths:,}"))
    where = estimate.manifest.get("executor") or f"{estimate.config['threads']} threads"
    rows.append(("blocks", f"{estimate.blocks:,} on {where}"))
    if "rounds" in estimate.manifest:
        rows.append(("rounds", str(estimate.manifest["rounds"])))
    rows.append(("wall time", fmt_milliseconds(estimate.elapsed)))
    rows.append(("paths per second", fmt_rate(estimate.n_paths, estimate.elapsed)))
    for warning in estimate.warnings:
        rows.append(("warning", str(warning)))
    print_rows(rows, args.csv)
    return EXIT_OK
