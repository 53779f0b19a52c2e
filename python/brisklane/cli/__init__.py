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
A count or a seed (:data:`~brisklane.cli._products.COUNT_KEYS`) also takes any
exact integer: ``n_paths=1e6`` and ``n_paths=1_000_000`` both pass ``1000000``.
The library does the validation, so ``n_paths=1.5`` reaches it as a float
and is rejected there.

Every command takes ``--json`` (the full result) or ``--csv`` (a one-result
command's summary rows as ``field,value``; a table as its rows).

Every failure (bad arguments, unknown product, malformed ``key=value``, any
exception raised by the native module including its fatal-error class)
is reported as a single ``error: <message>`` line on standard error with
exit status 2. Ctrl-C stops any command with one ``interrupted`` line and
exit status 130. A closed standard output (``brisklane demo | head -1``) stops
it without a word, with exit status 141 as for SIGPIPE.

Where each part lives:

* ``_parser`` -- the argument parser and :func:`main`;
* ``_price`` -- the ``price`` and ``run`` commands;
* ``_demo`` -- the ``demo`` command;
* ``_studies`` -- the ``moments`` and ``sweep`` commands;
* ``_grid`` -- the ``grid`` command;
* ``_plot`` -- the ``plot`` command and its figures (matplotlib);
* ``_products`` -- the product table, its closed forms, ``key=value`` parsing
  and the ``products`` command;
* ``_format`` -- number formatting, summaries, tables and JSON output;
* ``_base`` -- the exit statuses, :class:`CliError`, the library import and a
  timed call.
"""

from __future__ import annotations

from brisklane.cli._base import EXIT_ERROR, EXIT_OK, CliError
from brisklane.cli._base import EXIT_INTERRUPTED as EXIT_INTERRUPTED
from brisklane.cli._parser import build_parser as build_parser
from brisklane.cli._parser import main
from brisklane.cli._price import Z_95 as Z_95
from brisklane.cli._products import (
    PRODUCTS,
    SAMPLING_METHODS,
    TECHNIQUES,
    Product,
    parse_assignments,
    parse_int_list,
    parse_value,
)
from brisklane.cli._studies import SWEEP_KEYS as SWEEP_KEYS
from brisklane.cli._studies import read_scenarios
from brisklane.reference import black_scholes_call

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
