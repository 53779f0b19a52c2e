"""The ``demo`` command: each product under its sampling methods and techniques, against its closed form."""

from __future__ import annotations

import argparse
import math
from typing import Any, List, Mapping, Optional

from brisklane.cli._base import EXIT_OK, CliError, library, timed_call
from brisklane.cli._format import error_cell, error_in_stderrs, fmt_milliseconds, fmt_number, table_lines
from brisklane.cli._products import (
    PRODUCTS,
    Product,
    find_product,
    parse_assignments,
    pricing_function,
    result_price,
)


def _config_text(config: Mapping[str, Any]) -> str:
    return ", ".join(f"{key}={value}" for key, value in config.items())


def _demo_lines(product: Product, args: argparse.Namespace) -> List[str]:
    """Prices one product's demo table and returns the lines to print."""
    base = dict(product.demo_config)
    base.update(parse_assignments(args.assignments, product.parsers))
    if args.paths is not None:
        base["n_paths"] = args.paths
    function = pricing_function(product)
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
            result, seconds = timed_call(function, config)
            total += seconds
            echoed = result.get("manifest", {}).get("config", {})
            price, stderr = result_price(result), result.get("stderr")
            reference = product.reference(echoed) if product.reference is not None else None
            if reference is not None and math.isfinite(reference):
                reference_value = reference
            error = error_in_stderrs(price, stderr, reference)
            rows.append(
                [
                    product.name,
                    sampling or "-",
                    technique or "-",
                    fmt_number(price),
                    fmt_number(stderr),
                    error_cell(error),
                    f"{seconds * 1e3:.1f}",
                ]
            )
    shown = {k: v for k, v in echoed.items() if k not in ("sampling", "technique")}
    lines = [f"{product.name}: {_config_text(shown)}"]
    if reference_value is not None:
        lines.append(f"{product.reference_name or 'reference'} price: {reference_value:.6f}")
    lines.append("")
    headers = ["product", "sampling", "technique", "price", "stderr", "error (se)", "time (ms)"]
    lines += table_lines(headers, rows, [False, False, False, True, True, True, True])
    lines.append("")
    lines.append(f"total time: {fmt_milliseconds(total)} for {len(rows)} runs")
    return lines


def cmd_demo(args: argparse.Namespace) -> int:
    """Price the demo table of one product, or of every product this build provides.

    Everything is priced before anything is printed, so a failure prints only
    its error line.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``product``, ``paths`` and ``assignments``.

    Returns
    -------
    int
        The exit status.

    Raises
    ------
    CliError
        If ``--paths`` is not positive or the product is unknown.
    """
    if args.paths is not None and args.paths <= 0:
        raise CliError("--paths must be a positive integer")
    if args.product is not None:
        products = [find_product(args.product)]
    else:  # every product this build provides
        brisklane = library()
        products = [product for product in PRODUCTS.values() if hasattr(brisklane, product.function)]
    blocks = [_demo_lines(product, args) for product in products]
    for index, block in enumerate(blocks):
        if index:
            print()
        for text in block:
            print(text)
    return EXIT_OK
