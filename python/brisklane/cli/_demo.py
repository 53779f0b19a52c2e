"""The ``demo`` command: each product under its sampling methods and techniques, against its closed form."""

from __future__ import annotations

import argparse
import math
from typing import Any, Dict, List, Mapping, Optional

from brisklane.cli._base import EXIT_OK, CliError, library, timed_call
from brisklane.cli._format import (
    error_cell,
    error_in_stderrs,
    fmt_number,
    print_csv,
    print_json,
    table_lines,
)
from brisklane.cli._price import Z_95
from brisklane.cli._products import (
    PRODUCTS,
    Product,
    find_product,
    parse_assignments,
    pricing_function,
    result_price,
)

_CSV_HEADERS = ["product", "sampling", "technique", "price", "stderr", "ci_95_low", "ci_95_high", "reference",
                "error_se", "seconds"]


def _config_text(config: Mapping[str, Any]) -> str:
    # "; " between fields: the thousands separators and the lists hold commas
    def value(v: Any) -> str:
        return f"{v:,}" if isinstance(v, int) and not isinstance(v, bool) else str(v)

    return "; ".join(f"{key}={value(v)}" for key, v in config.items())


def _interval(price: Any, stderr: Any) -> Optional[List[float]]:
    if isinstance(price, float) and isinstance(stderr, float):
        return [price - Z_95 * stderr, price + Z_95 * stderr]
    return None


def _demo_block(product: Product, args: argparse.Namespace) -> Dict[str, Any]:
    """Prices one product's demo table: its configuration, reference and runs, unformatted."""
    base = dict(product.demo_config)
    base.update(parse_assignments(args.assignments, product.parsers))
    if args.paths is not None:
        base["n_paths"] = args.paths
    function = pricing_function(product)
    runs: List[Dict[str, Any]] = []
    reference_value: Optional[float] = None
    echoed: Mapping[str, Any] = {}
    for sampling in product.demo_samplings or (None,):
        for technique in product.demo_techniques or (None,):
            config = dict(base)
            if sampling is not None:
                config["sampling"] = sampling
            if technique is not None:
                config["technique"] = technique
            result, seconds = timed_call(function, config)
            echoed = result.get("manifest", {}).get("config", {})
            price, stderr = result_price(result), result.get("stderr")
            reference = product.reference(echoed) if product.reference is not None else None
            if reference is not None and not math.isfinite(reference):
                reference = None
            if reference is not None:
                reference_value = reference
            runs.append({
                "sampling": sampling, "technique": technique, "price": price, "stderr": stderr,
                "interval_95": _interval(price, stderr), "reference": reference,
                "error_se": error_in_stderrs(price, stderr, reference), "seconds": seconds,
            })
    return {
        "product": product.name,
        "config": {k: v for k, v in echoed.items() if k not in ("sampling", "technique")},
        "reference_name": (product.reference_name or "reference") if reference_value is not None else None,
        "reference": reference_value,
        "reference_note": (product.reference_note or None) if reference_value is not None else None,
        "runs": runs,
    }


def _demo_lines(block: Mapping[str, Any]) -> List[str]:
    lines = [f"{block['product']}: {_config_text(block['config'])}"]
    if block["reference"] is not None:
        note = f" ({block['reference_note']})" if block["reference_note"] else ""
        lines.append(f"{block['reference_name']} price: {block['reference']:,.6f}{note}")
    lines.append("")
    rows = []
    for run in block["runs"]:
        interval = run["interval_95"]
        rows.append([
            block["product"],
            run["sampling"] or "-",
            run["technique"] or "-",
            fmt_number(run["price"], ",.6f"),
            fmt_number(run["stderr"], ",.6f"),
            f"[{interval[0]:,.6f}, {interval[1]:,.6f}]" if interval else "n/a",
            error_cell(run["error_se"]),
            f"{run['seconds'] * 1e3:,.1f}",
        ])
    headers = ["product", "sampling", "technique", "price", "stderr", "95% interval", "error (se)", "time (ms)"]
    lines += table_lines(headers, rows, [False, False, False, True, True, True, True, True])
    lines.append("")
    total = sum(run["seconds"] for run in block["runs"])
    lines.append(f"total time: {total * 1e3:,.1f} ms for {len(rows):,} runs")
    return lines


def cmd_demo(args: argparse.Namespace) -> int:
    """Price the demo table of one product, or of every product this build provides.

    Everything is priced before anything is printed, so a failure prints only
    its error line.  ``--json`` prints one object a product (configuration,
    reference and its normal CDF, and the runs); ``--csv`` one table of every
    run, the reference on each row.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``product``, ``paths``, ``assignments``, ``json``
        and ``csv``.

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
    blocks = [_demo_block(product, args) for product in products]
    if args.json:
        print_json(blocks)
        return EXIT_OK
    if args.csv:
        rows = []
        for block in blocks:
            for run in block["runs"]:
                low, high = run["interval_95"] or (None, None)
                rows.append([block["product"], run["sampling"], run["technique"], run["price"], run["stderr"],
                             low, high, run["reference"], run["error_se"], run["seconds"]])
        print_csv(_CSV_HEADERS, rows)
        return EXIT_OK
    for index, block in enumerate(blocks):
        if index:
            print()
        for text in _demo_lines(block):
            print(text)
    return EXIT_OK
