"""The ``grid`` command: a product priced over a cartesian grid of its fields, as a table, CSV or JSON."""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from typing import Any, Callable, Dict, List, Mapping, Sequence, Tuple

from brisklane.cli._base import EXIT_OK, CliError, library
from brisklane.cli._format import print_table
from brisklane.cli._price import _executor
from brisklane.cli._products import find_product, parse_assignments, parse_count, parse_value


def _field_kinds(product: str) -> Dict[str, str]:
    """Each name and alias of the product's fields, to its kind."""
    from brisklane._api import _field_table

    return {alias: kind for _, aliases, kind, _ in _field_table(product) for alias in aliases}


def value_parsers(product: str) -> Dict[str, Callable[[str], Any]]:
    """The ``key=value`` parsers of a product: its own (lists of integers), and counts that may be
    written as ``1e5`` or ``1_000_000``."""
    parsers: Dict[str, Callable[[str], Any]] = {name: parse_count for name, kind in _field_kinds(product).items()
                                                if kind == "count"}
    parsers.update(find_product(product).parsers)
    return parsers


def parse_axes(product: str, words: Sequence[str]) -> Dict[str, List[Any]]:
    """``--axis name=v1,v2,...`` words as grid axes, values read as ``key=value`` values are."""
    parsers = value_parsers(product)
    kinds = _field_kinds(product)
    axes: Dict[str, List[Any]] = {}
    for word in words:
        name, sep, text = word.partition("=")
        name = name.strip()
        if not sep or not name:
            raise CliError(f"--axis: expected name=v1,v2,..., got {word!r}")
        if name in axes:
            raise CliError(f"--axis: {name!r} given more than once")
        if kinds.get(name) == "counts":
            raise CliError(f"--axis: {name} takes a list per point; vary it from Python with brisklane.grid")
        parser = parsers.get(name, parse_value)
        axes[name] = [parser(item.strip()) for item in text.split(",") if item.strip()]
    if not axes:
        raise CliError("grid: give at least one --axis name=v1,v2,...")
    return axes


def table_rows(table: Any) -> List[Dict[str, Any]]:
    """The rows of what brisklane.grid or brisklane.convergence returned, as plain dicts."""
    if hasattr(table, "to_dict"):
        return [dict(row) for row in table.to_dict("records")]
    return [dict(row) for row in table]


def run_grid(args: argparse.Namespace) -> Tuple[Dict[str, List[Any]], List[Dict[str, Any]]]:
    """The axes and rows of the grid an argument namespace asks for (shared with ``plot grid``)."""
    brisklane = library()
    find_product(args.product)
    fields = parse_assignments(args.assignments, value_parsers(args.product))
    axes = parse_axes(args.product, args.axis or [])
    client = _executor(getattr(args, "scheduler", None))
    progress: Any = None
    if not getattr(args, "no_progress", True) and not args.json and not args.csv and sys.stderr.isatty():
        progress = True
    try:
        table = brisklane.grid(
            args.product,
            axes,
            executor=client,
            progress=progress,
            threads=getattr(args, "threads", None),
            blocks=getattr(args, "blocks", None),
            replicates=getattr(args, "replicates", None),
            greeks=getattr(args, "greeks", False) or None,
            target_stderr=getattr(args, "target_stderr", None),
            max_paths=getattr(args, "max_paths", None),
            **fields,
        )
    finally:
        if client is not None:
            client.close()
    return axes, table_rows(table)


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return "nan" if math.isnan(value) else f"{value:.6g}"
    return str(value)


def print_grid_rows(rows: Sequence[Mapping[str, Any]], as_csv: bool, as_json: bool) -> None:
    """Rows as CSV, as JSON (NaN as null) or as an aligned table."""
    headers = list(rows[0]) if rows else []
    if as_json:
        clean = [{k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in row.items()} for row in rows]
        print(json.dumps(clean, indent=2))
    elif as_csv:
        writer = csv.DictWriter(sys.stdout, fieldnames=headers, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    else:
        numeric = [isinstance(rows[0][h], (int, float)) for h in headers] if rows else []
        print_table(headers, [[_cell(row[h]) for h in headers] for row in rows], numeric)


def cmd_grid(args: argparse.Namespace) -> int:
    """Price a product at every point of the ``--axis`` grid and print one row per point.

    Parameters
    ----------
    args : argparse.Namespace
        ``product``, ``assignments``, ``axis``, ``threads``, ``blocks``, ``scheduler``,
        ``replicates``, ``greeks``, ``target_stderr``, ``max_paths``, ``no_progress``, ``csv``
        and ``json``.

    Returns
    -------
    int
        The exit status.
    """
    if args.csv and args.json:
        raise CliError("grid: --csv and --json exclude each other")
    _, rows = run_grid(args)
    print_grid_rows(rows, args.csv, args.json)
    return EXIT_OK


def add_grid_options(command: argparse.ArgumentParser, products: str) -> None:
    """The arguments ``grid`` and ``plot grid`` share."""
    command.add_argument("product", help=f"product name ({products})")
    command.add_argument("assignments", nargs="*", metavar="key=value",
                         help="fixed fields, as for 'run' (counts may be written 1e5 or 1_000_000)")
    command.add_argument("--axis", action="append", metavar="NAME=V1,V2,...",
                         help="a field and the values to try; repeat for more axes (the first varies slowest)")
    command.add_argument("--threads", type=int, default=None, metavar="N", help="local worker threads per point")
    command.add_argument("--blocks", type=int, default=None, metavar="N", help="blocks each point is cut into")
    command.add_argument("--replicates", type=int, default=None, metavar="R", help="replicates per point")
    command.add_argument("--target-stderr", type=float, default=None, metavar="X",
                         help="double each point's paths until its standard error is at most X")
    command.add_argument("--max-paths", type=int, default=None, metavar="N", help="the most paths a round may take")


def optional_extra(module: str, extra: str) -> Any:
    """Import an optional dependency, or CliError naming the extra that installs it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"this command needs {module.split('.')[0]}: pip install 'brisklane[{extra}]'") from None

