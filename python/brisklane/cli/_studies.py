"""The studies beyond one product: ``moments`` (Gaussian moments) and ``sweep`` (European call scenarios)."""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

from brisklane.cli._base import EXIT_OK, CliError, library, timed_call
from brisklane.cli._format import (
    error_cell,
    error_in_stderrs,
    error_note,
    fmt_milliseconds,
    fmt_number,
    print_json,
    print_csv,
    print_rows,
    print_table,
)
from brisklane.cli._products import parse_assignments, parse_field

#: Top-level keys of a sweep; any other key=value word goes into ``base_config``.
SWEEP_KEYS = ("n_paths", "n_steps", "seed", "seed_stride", "method")


def _study_function(name: str) -> Callable[[Any], Dict[str, Any]]:
    function: Optional[Callable[[Any], Dict[str, Any]]] = getattr(library(), name, None)
    if function is None:
        raise CliError(f"this build of brisklane has no {name}")
    return function


# ---------------------------------------------------------------------------
# moments
# ---------------------------------------------------------------------------


def cmd_moments(args: argparse.Namespace) -> int:
    """Estimate Gaussian moments and compare them with their exact values.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``assignments``, ``json`` and ``csv``.

    Returns
    -------
    int
        The exit status.
    """
    config = parse_assignments(args.assignments)
    result, seconds = timed_call(_study_function("gaussian_uncertainty_moments"), config)
    if args.json:
        print_json(result)
        return EXIT_OK

    values = result.get("values", {})
    mean, stderr = values.get("mean"), values.get("stderr_mean")
    analytic_mean = values.get("analytic_mean")
    note = error_note(error_in_stderrs(mean, stderr, analytic_mean))
    rows: List[Tuple[str, str]] = [
        ("study", "gaussian_uncertainty_moments: f(Z) = Z0^2 + Z1/2 + exp(Z2/10)"),
        ("sampling", str(values.get("sampling"))),
        ("samples", fmt_number(values.get("samples"), ",")),
        ("dimensions", fmt_number(values.get("dimensions"), "d")),
        ("mean", f"{fmt_number(mean)} (exact {fmt_number(analytic_mean)}){note}"),
        ("variance", f"{fmt_number(values.get('variance'))} (exact {fmt_number(values.get('analytic_variance'))})"),
        ("standard error", fmt_number(stderr)),
        ("95% interval", f"[{fmt_number(values.get('mean_ci_95_low'))}, {fmt_number(values.get('mean_ci_95_high'))}]"),
        ("wall time", fmt_milliseconds(seconds)),
    ]
    rows.extend(("warning", str(warning)) for warning in values.get("warnings") or [])
    print_rows(rows, args.csv)
    return EXIT_OK


# ---------------------------------------------------------------------------
# sweep
# ---------------------------------------------------------------------------


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
            scenario[key] = cell if key == "scenario_id" else parse_field(key, cell.strip())
        scenarios.append(scenario)
    return scenarios


def read_scenarios(path: str) -> Dict[str, Any]:
    """Read a sweep configuration from a JSON or CSV file.

    JSON holds either a list of scenario objects or a whole sweep configuration
    object (``scenarios``, ``base_config``, ``method``, ...). CSV holds one
    scenario per row under a header of keys (``scenario_id``, ``s0``, ``sigma``,
    ``method``, ...); empty cells are left out.

    Parameters
    ----------
    path : str
        The file, read as CSV when its name ends in ``.csv`` and as JSON
        otherwise; ``"-"`` reads JSON on standard input.

    Returns
    -------
    dict
        The sweep configuration, holding at least ``scenarios`` when the file
        gives a list.

    Raises
    ------
    CliError
        If the file cannot be read or does not hold scenarios.
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


def cmd_sweep(args: argparse.Namespace) -> int:
    """Price European call scenarios and compare each with Black-Scholes.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``scenarios`` (a file, or ``None`` for the
        default scenarios), ``assignments``, ``json`` and ``csv``.  A first word that
        holds ``=`` and names no file is taken as a ``key=value`` word.

    Returns
    -------
    int
        The exit status.
    """
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

    result, seconds = timed_call(_study_function("price_european_call_parameter_sweep"), config)
    if args.json:
        print_json(result)
        return EXIT_OK

    values = result.get("values", {})
    if args.csv:
        _print_sweep_csv(values)
        return EXIT_OK
    headers = ["scenario", "method", "s0", "k", "r", "sigma", "t", "paths", "seed", "price", "stderr",
               "Black-Scholes", "error (se)"]
    rows: List[List[str]] = []
    for row in values.get("rows") or []:
        config_used = row.get("config", {})
        outcome = row.get("result", {})
        price, stderr, analytic = outcome.get("price"), outcome.get("stderr"), row.get("analytic_price")
        error = error_in_stderrs(price, stderr, analytic)
        rows.append(
            [
                str(row.get("scenario_id")),
                str(row.get("method")),
                fmt_number(config_used.get("s0"), "g"),
                fmt_number(config_used.get("k"), "g"),
                fmt_number(config_used.get("r"), "g"),
                fmt_number(config_used.get("sigma"), "g"),
                fmt_number(config_used.get("t"), "g"),
                fmt_number(config_used.get("n_paths"), ","),
                str(config_used.get("seed")),
                fmt_number(price),
                fmt_number(stderr),
                fmt_number(analytic),
                error_cell(error),
            ]
        )
    print_table(headers, rows, [False, False] + [True] * 11)
    print()
    for warning in values.get("warnings") or []:
        print(f"warning: {warning}")
    print("Black-Scholes: the module's closed form, normal CDF by Abramowitz and Stegun 7.1.26 "
          "(absolute error up to 1.5e-7)")
    total = values.get("total_paths")
    print(
        f"{values.get('scenario_count')} scenarios, {fmt_number(total, ',')} paths, "
        f"wall time {fmt_milliseconds(seconds)}"
    )
    return EXIT_OK


def _print_sweep_csv(values: Dict[str, Any]) -> None:
    """The sweep's rows as CSV, with full-precision numbers and empty cells for what is missing."""
    fields = ("s0", "k", "r", "sigma", "t", "n_paths", "seed")
    rows = []
    for row in values.get("rows") or []:
        used, outcome = row.get("config", {}), row.get("result", {})
        price, stderr, analytic = outcome.get("price"), outcome.get("stderr"), row.get("analytic_price")
        error = error_in_stderrs(price, stderr, analytic)
        rows.append([row.get("scenario_id"), row.get("method")] + [used.get(key) for key in fields]
                    + [price, stderr, analytic, error])
    print_csv(["scenario_id", "method", *fields, "price", "stderr", "black_scholes", "error_se"], rows)
