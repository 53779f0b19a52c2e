"""The argument parser of every command, and :func:`main`, which turns any failure into an exit status."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, NoReturn, Optional, Sequence, Union

from brisklane.cli._base import EXIT_BROKEN_PIPE, EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, CliError, library
from brisklane.cli._demo import cmd_demo
from brisklane.cli._grid import add_grid_options, cmd_grid
from brisklane.cli._plot import add_plot_parser
from brisklane.cli._price import cmd_price, cmd_run
from brisklane.cli._products import PRODUCTS, cmd_products, count_argument
from brisklane.cli._studies import SWEEP_KEYS, cmd_moments, cmd_sweep


class _ArgumentParser(argparse.ArgumentParser):
    """argparse parser that reports usage errors as CliError instead of exiting."""

    def error(self, message: str) -> NoReturn:
        raise CliError(message)


def _version() -> str:
    try:
        return str(library().__version__)
    except Exception:  # pragma: no cover - depends on the build
        return "unknown"


class _VersionAction(argparse.Action):
    """``--version``: print the library version and exit."""

    def __init__(
        self,
        option_strings: Sequence[str],
        dest: str = argparse.SUPPRESS,
        default: Any = argparse.SUPPRESS,
        help: Optional[str] = None,
    ) -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Union[str, Sequence[Any], None],
        option_string: Optional[str] = None,
    ) -> None:
        print(f"brisklane {_version()}")
        parser.exit(0)


_SUMMARY_CSV = "print the summary rows as CSV (field,value)"


def _output_options(command: argparse.ArgumentParser, json_help: str, csv_help: str = _SUMMARY_CSV) -> None:
    """``--json`` and ``--csv``, which exclude each other."""
    group = command.add_mutually_exclusive_group()
    group.add_argument("--json", action="store_true", help=json_help)
    group.add_argument("--csv", action="store_true", help=csv_help)


def build_parser() -> argparse.ArgumentParser:
    """Build the parser of the whole command line.

    Returns
    -------
    argparse.ArgumentParser
        The parser of ``brisklane`` and its commands; each command's namespace
        carries its function as ``handler``.  A usage error raises
        :class:`CliError` instead of exiting.
    """
    products = ", ".join(PRODUCTS)
    parser = _ArgumentParser(
        prog="brisklane",
        description="Monte Carlo option pricing from the command line.",
        epilog=(
            "examples:\n"
            "  brisklane price european_call spot=105 n_paths=2000000 sampling=scrambled_sobol\n"
            "  brisklane price european_call --json technique=control_variate\n"
            "  brisklane price european_call n_paths=1e6 --csv\n"
            "  brisklane price bermudan_put exercise_steps=16,32,48\n"
            "  brisklane price arithmetic_asian_mlmc paths_per_level=40000,20000,10000 levels=3\n"
            "  brisklane run arithmetic_asian_call n_paths=100000000 --threads 2\n"
            "  brisklane run european_call --target-stderr 0.001 --scheduler tcp://10.0.0.5:8786\n"
            "  brisklane moments n_samples=50000 sampling=scrambled_sobol\n"
            "  brisklane sweep scenarios.csv n_paths=200000 method=stepwise_paths\n"
            "  brisklane grid arithmetic_asian_call n_paths=1e5 --axis spot=90,100,110 --axis sigma=0.1,0.2\n"
            "  brisklane plot convergence european_call --out convergence.png\n"
            "  brisklane demo --paths 20000\n"
            "  brisklane demo --csv > demo.csv\n"
            "every command takes --json or --csv; a closed standard output (| head) ends it quietly, status 141"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction, help="print the library version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    value_help = (
        "configuration as key=value; integer literals are passed as int (for counts and seeds, "
        "so is any exact integer: n_paths=1e6 or n_paths=1_000_000), float "
        "literals as float, anything else as text (e.g. s0=105 k=100 sigma=0.25 "
        "n_paths=200000 seed=7 n_threads=4 technique=antithetic sampling=latin_hypercube)"
    )

    replicates_help = ("run R independently randomized replicates and report their mean, the standard error "
                       "of their spread and a Student t interval")
    greeks_help = "also estimate delta, gamma, vega, rho and theta with their standard errors"
    bounds_help = "bracket a put's price: the fitted exercise rule on fresh paths and its dual"
    price = commands.add_parser(
        "price",
        help="price one product and print a summary",
        description="Price one product with the given configuration and print a summary "
        "(price, standard error, 95% interval, paths, wall time, throughput).",
    )
    price.add_argument("product", help=f"product name ({products})")
    price.add_argument("assignments", nargs="*", metavar="key=value", help=value_help)
    _output_options(price, "print the full result dictionary as JSON (with --replicates, --greeks or --bounds: "
                    "the estimate, as 'run --json')")
    price.add_argument("--replicates", type=count_argument, default=None, metavar="R", help=replicates_help
                       + "; prices through brisklane.price, as 'run' does")
    price.add_argument("--greeks", action="store_true", help=greeks_help + "; prices through brisklane.price")
    price.add_argument("--bounds", action="store_true", help=bounds_help + "; prices through brisklane.price")
    price.set_defaults(handler=cmd_price, threads=None, blocks=None, scheduler=None, target_stderr=None,
                       max_paths=None, no_progress=False)

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
    run.add_argument("--threads", type=count_argument, default=None, metavar="N", help="local worker threads (default: all)")
    run.add_argument("--blocks", type=count_argument, default=None, metavar="N", help="blocks the run is cut into")
    run.add_argument("--scheduler", default=None, metavar="ADDRESS",
                     help="run the blocks on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    run.add_argument("--target-stderr", type=float, default=None, metavar="X",
                     help="double the paths in rounds until the standard error is at most X")
    run.add_argument("--max-paths", type=count_argument, default=None, metavar="N", help="the most paths a round may take")
    run.add_argument("--replicates", type=count_argument, default=None, metavar="R", help=replicates_help)
    run.add_argument("--greeks", action="store_true", help=greeks_help)
    run.add_argument("--bounds", action="store_true", help=bounds_help)
    for command in (price, run):
        command.add_argument("--inner-paths", type=count_argument, default=None, metavar="N",
                             help="with --bounds: inner paths of the dual")
        command.add_argument("--outer-paths", type=count_argument, default=None, metavar="N",
                             help="with --bounds: outer paths of the dual")
    run.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    _output_options(run, "print the estimate as JSON")
    run.set_defaults(handler=cmd_run)

    demo = commands.add_parser(
        "demo",
        help="price every product under every sampling method and technique",
        description="Price every product (or the one given by --product) under each of its "
        "sampling methods and variance-reduction techniques and compare with its closed form "
        "where there is one.",
    )
    demo.add_argument("--product", default=None, help=f"product name ({products}; default: all)")
    demo.add_argument("--paths", type=count_argument, default=None, metavar="N", help="paths per run (default: the product's default)")
    demo.add_argument("assignments", nargs="*", metavar="key=value", help="extra configuration, as for 'price'")
    _output_options(demo, "print one object a product: its configuration, reference (and the normal CDF it "
                    "uses) and runs", "print one CSV table of every run of every product, with its reference")
    demo.set_defaults(handler=cmd_demo)

    moments = commands.add_parser(
        "moments",
        help="check Gaussian moment estimates against their exact values",
        description="Estimate the mean and variance of f(Z) = Z0^2 + Z1/2 + exp(Z2/10) for a standard "
        "normal vector Z drawn by the chosen sampling method, and compare them with their exact values "
        "(keys: n_samples, dimensions, seed, sampling).",
    )
    moments.add_argument("assignments", nargs="*", metavar="key=value", help="configuration, as for 'price'")
    _output_options(moments, "print the full result dictionary as JSON")
    moments.set_defaults(handler=cmd_moments)

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
    _output_options(sweep, "print the full result dictionary as JSON",
                    "print the table as CSV, one row a scenario, numbers in full precision")
    sweep.set_defaults(handler=cmd_sweep)

    grid = commands.add_parser(
        "grid",
        help="price a product over a grid of field values",
        description="Price a product at every point of the cartesian product of the --axis values "
        "(through brisklane.grid) and print one row per point, with the closed form where there is one.",
    )
    add_grid_options(grid, products)
    grid.add_argument("--scheduler", default=None, metavar="ADDRESS", help="run each point on this Dask cluster")
    grid.add_argument("--greeks", action="store_true", help=greeks_help)
    grid.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    _output_options(grid, "print the rows as JSON (NaN as null)", "print the rows as CSV")
    grid.set_defaults(handler=cmd_grid)
    add_plot_parser(commands, products)

    listing = commands.add_parser("products", help="list the known products", description="List the known products.")
    _output_options(listing, "print the product table as a JSON list", "print the product table as CSV")
    listing.set_defaults(handler=cmd_products)
    return parser


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _report(exc: BaseException) -> int:
    print(f"error: {_one_line(exc)}", file=sys.stderr)
    return EXIT_ERROR


def _closed_stdout() -> int:
    """The reader of standard output went away (``brisklane ... | head -1``): stop quietly.

    What is still buffered would fail again when the interpreter flushes at
    exit, so standard output goes to the null device first.
    """
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):  # no file descriptor (an in-process capture): nothing to flush
        pass
    return EXIT_BROKEN_PIPE


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; ``None`` reads ``sys.argv``.

    Returns
    -------
    int
        The exit status: 0, 2 after one ``error:`` line on standard error,
        130 after ``interrupted`` when Ctrl-C stops the command, or 141
        (as a shell reports a process stopped by SIGPIPE) without a word when
        standard output is closed before the output is written.
    """
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

    handler: Optional[Callable[[argparse.Namespace], int]] = getattr(args, "handler", None)
    if handler is None:
        return _report(CliError("a command is required (price, run, moments, sweep, demo or products); see --help"))
    try:
        status = handler(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit where it would print a traceback
        return status
    except BrokenPipeError:
        return _closed_stdout()
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # includes the native fatal-error class
        return _report(exc)
