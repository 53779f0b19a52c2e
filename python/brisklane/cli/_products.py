"""The product table, the closed forms it compares with, ``key=value`` parsing and the ``products`` command."""

from __future__ import annotations

import argparse
import math
from decimal import Decimal, InvalidOperation
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from brisklane.cli._base import EXIT_OK, CliError, library
from brisklane.cli._format import fmt_number, print_csv, print_json, print_table
from brisklane.reference import (
    basket_call_single_asset,
    bermudan_put_binomial,
    black_scholes_call,
    heston_call,
    merton_call,
)

SAMPLING_METHODS: Tuple[str, ...] = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
TECHNIQUES: Tuple[str, ...] = ("standard", "antithetic", "control_variate")

#: Integer fields (the counts, and the seeds): on the command line ``n_paths=1e6``
#: is read as ``1000000`` there, as long as the literal is an exact integer.
#: The library itself keeps rejecting a float for them.
COUNT_KEYS = frozenset({
    "n_paths", "n_steps", "n_samples", "samples", "n_threads", "dimensions", "levels", "base_steps",
    "scramble_replicates", "seed", "seed_stride", "paths_per_level", "exercise_steps",
})


# ---------------------------------------------------------------------------
# Value parsing
# ---------------------------------------------------------------------------


def parse_value(text: str) -> Any:
    """Read the value of a ``key=value`` word.

    Parameters
    ----------
    text : str
        The text after the ``=``.

    Returns
    -------
    int, float or str
        An ``int`` for an integer literal, else a ``float`` for a float
        literal, else the text itself.
    """
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def parse_count(text: str) -> Any:
    """Read the value of a count field: as :func:`parse_value`, but an exact integer stays an ``int``.

    Parameters
    ----------
    text : str
        The text after the ``=``.

    Returns
    -------
    int, float or str
        ``1000000`` for ``1e6``, ``1_000_000`` or ``1000000.0``; anything that is
        not an exact integer as :func:`parse_value` reads it (``1.5`` stays a
        float, for the library to reject).
    """
    value = parse_value(text)
    if isinstance(value, float) and math.isfinite(value):
        try:
            exact = Decimal(text.strip())  # exact, where float(text) may round 1e16 + 1
        except InvalidOperation:
            return value
        if exact == exact.to_integral_value():
            return int(exact)
    return value


def count_argument(text: str) -> int:
    """argparse type of a count option (``--paths 1e6``): an exact integer.

    Raises
    ------
    argparse.ArgumentTypeError
        If the text is not an exact integer.
    """
    value = parse_count(text)
    if not isinstance(value, int):
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}")
    return value


def parse_int_list(text: str) -> List[int]:
    """Read a comma-separated list of integers.

    Parameters
    ----------
    text : str
        For example ``"16,32,48"`` (or ``"1e4,5e3"``); blank items are ignored.

    Returns
    -------
    list of int
        For example ``[16, 32, 48]``.

    Raises
    ------
    CliError
        If an item is not an integer literal.
    """
    values = [parse_count(item.strip()) for item in text.split(",") if item.strip()]
    if not all(isinstance(value, int) for value in values):
        raise CliError(f"expected a comma-separated list of integers, got {text!r}")
    return values


def parse_assignments(
    words: Sequence[str], parsers: Optional[Mapping[str, Callable[[str], Any]]] = None
) -> Dict[str, Any]:
    """Turn ``key=value`` words into a config dict.

    Parameters
    ----------
    words : sequence of str
        The ``key=value`` words, in order.
    parsers : mapping, optional
        A parser for the value text of some keys; any other value is read by
        :func:`parse_count` for a key of :data:`COUNT_KEYS` and by
        :func:`parse_value` otherwise.

    Returns
    -------
    dict
        The configuration, in the order of the words.

    Raises
    ------
    CliError
        If a word has no ``=`` or no key, or a key is given more than once.
    """
    parsers = parsers or {}
    config: Dict[str, Any] = {}
    for word in words:
        key, sep, text = word.partition("=")
        key = key.strip()
        if not sep or not key:
            raise CliError(f"expected key=value, got {word!r}")
        if key in config:
            raise CliError(f"key {key!r} given more than once")
        config[key] = parse_field(key, text, parsers)
    return config


def parse_field(key: str, text: str, parsers: Optional[Mapping[str, Callable[[str], Any]]] = None) -> Any:
    """Read the value text of one field, by its own parser, as a count, or by :func:`parse_value`."""
    parser = (parsers or {}).get(key)
    if parser is not None:
        return parser(text)
    return parse_count(text) if key in COUNT_KEYS else parse_value(text)


# ---------------------------------------------------------------------------
# Product table
# ---------------------------------------------------------------------------


def _fields_reference(function: Callable[..., float], *keys: str) -> Callable[[Mapping[str, Any]], float]:
    """A reference taking the echoed configuration's ``keys`` as positional arguments."""

    def reference(config: Mapping[str, Any]) -> float:
        values = [config.get(key) for key in keys]
        if any(value is None for value in values):
            return math.nan
        return function(*values)

    return reference


def _config_n_paths(config: Mapping[str, Any]) -> Optional[int]:
    value = config.get("n_paths")
    return value if isinstance(value, int) else None


@dataclass(frozen=True)
class Product:
    """One row of the product table.

    ``function`` is the module function name; ``count_paths`` maps the echoed
    configuration (``result["manifest"]["config"]``) to the number of paths
    reported in the summary; ``reference`` optionally maps the same
    configuration to a closed-form price used by ``price`` and ``demo``, and
    ``reference_note`` says how ``demo`` computes it, with which normal CDF if any;
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
    reference_note: str = ""
    parsers: Mapping[str, Callable[[str], Any]] = field(default_factory=dict)
    demo_samplings: Tuple[str, ...] = SAMPLING_METHODS
    demo_techniques: Tuple[str, ...] = TECHNIQUES
    demo_config: Mapping[str, Any] = field(default_factory=dict)
    details: Tuple[str, ...] = ()
    summary_rows: Optional[Callable[[Mapping[str, Any]], List[Tuple[str, str]]]] = None


_ERFC = "normal CDF from math.erfc"

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
                f"paths {level.get('paths'):,}, mean {fmt_number(level.get('mean'))}, "
                f"stderr {fmt_number(level.get('stderr'))}",
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
            reference=_fields_reference(black_scholes_call, "s0", "k", "r", "sigma", "t"),
            reference_name="Black-Scholes",
            reference_note=_ERFC,
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
            reference_note=_ERFC,
        ),
        Product(
            name="american_put",
            function="price_american_put",
            description="American put by Longstaff-Schwartz regression (exercise at every step and at time 0)",
            reference=_fields_reference(bermudan_put_binomial, "s0", "k", "r", "sigma", "t", "n_steps"),
            reference_name="binomial tree",
            reference_note="Cox-Ross-Rubinstein, exercising at time 0 and the n_steps dates; no normal CDF",
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
            reference_note="no normal CDF: Gauss-Legendre quadrature of the characteristic function",
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
            reference_note=_ERFC + " in each Black-Scholes term",
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


def find_product(name: str) -> Product:
    """Look a product up in :data:`PRODUCTS`.

    Parameters
    ----------
    name : str
        The product name given on the command line.

    Returns
    -------
    Product
        Its row of the table.

    Raises
    ------
    CliError
        If there is no such product; the message lists the known ones.
    """
    product = PRODUCTS.get(name)
    if product is None:
        known = ", ".join(sorted(PRODUCTS)) or "none"
        raise CliError(f"unknown product {name!r} (known products: {known})")
    return product


def pricing_function(product: Product) -> Callable[[Any], Dict[str, Any]]:
    """The library function that prices a product.

    Parameters
    ----------
    product : Product
        The product.

    Returns
    -------
    callable
        ``brisklane.<product.function>``, taking one configuration dictionary.

    Raises
    ------
    CliError
        If this build of the library has no such function.
    """
    function: Optional[Callable[[Any], Dict[str, Any]]] = getattr(library(), product.function, None)
    if function is None:
        raise CliError(
            f"product {product.name!r} is not available in this build "
            f"(brisklane has no {product.function})"
        )
    return function


def result_price(result: Mapping[str, Any]) -> Any:
    """The price of a pricing result.

    Parameters
    ----------
    result : mapping
        What a pricing function returned.

    Returns
    -------
    Any
        The top-level price, or the price inside ``"values"`` (the multilevel
        result has no top-level price); ``None`` when there is neither.
    """
    if "price" in result:
        return result.get("price")
    values = result.get("values")
    return values.get("price") if isinstance(values, Mapping) else None


def cmd_products(args: argparse.Namespace) -> int:
    """List the product table and whether this build provides each product.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line: ``json`` and ``csv``.

    Returns
    -------
    int
        The exit status.
    """
    brisklane = library()
    rows = []
    for product in PRODUCTS.values():
        available = "yes" if hasattr(brisklane, product.function) else "no"
        rows.append([product.name, product.function, available, product.description])
    headers = ["product", "function", "available", "description"]
    if args.json:
        print_json([{"product": name, "function": function, "available": available == "yes", "description": text}
                    for name, function, available, text in rows])
    elif args.csv:
        print_csv(headers, rows)
    else:
        print_table(headers, rows, [False] * 4)
    return EXIT_OK
