"""The ``plot`` command: convergence and grid figures drawn with matplotlib (``brisklane[plot]``).

Figures are built on the Agg canvas directly, never through pyplot, so a plot needs no display
and leaves matplotlib's global backend alone.
"""

from __future__ import annotations

import argparse
import math
from typing import Any, Dict, List, Mapping, Sequence, Tuple

from brisklane.cli._base import EXIT_OK, CliError, library
from brisklane.cli._grid import optional_extra, run_grid, table_rows, value_parsers
from brisklane.cli._products import parse_count
from brisklane.cli._products import find_product, parse_assignments


def _figure() -> Any:
    optional_extra("matplotlib", "plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.0, 4.5), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def convergence_figure(rows: Sequence[Mapping[str, Any]], title: str = "") -> Any:
    """RMSE against paths, log-log, one line per sampler (its slope in the legend), with the
    n^-1/2 guide through the first sampler's first point.

    Parameters
    ----------
    rows : sequence of mapping
        The rows of :func:`brisklane.convergence`.
    title : str, optional
        The axes' title.

    Returns
    -------
    matplotlib.figure.Figure
        On an Agg canvas.
    """
    figure = _figure()
    axes = figure.add_subplot()
    by_sampler: Dict[str, List[Mapping[str, Any]]] = {}
    for row in rows:
        by_sampler.setdefault(str(row["sampling"]), []).append(row)
    for sampling, own in by_sampler.items():
        slope = float(own[0]["slope"])
        axes.plot([r["n_paths"] for r in own], [r["rmse"] for r in own], marker="o",
                  label=f"{sampling} (slope {slope:.2f})")
    counts = sorted({int(row["n_paths"]) for row in rows})
    first = next(iter(by_sampler.values()))[0]
    anchor_n, anchor_error = float(first["n_paths"]), float(first["rmse"])
    axes.plot(counts, [anchor_error * math.sqrt(anchor_n / n) for n in counts], linestyle="--", color="gray",
              label="n^-1/2")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("paths")
    axes.set_ylabel("RMSE against the reference")
    axes.set_title(title)
    axes.legend(fontsize="small")
    return figure


def grid_figure(rows: Sequence[Mapping[str, Any]], axis_names: Sequence[str], title: str = "") -> Any:
    """Price against the first axis with its 95% band, one line per value of the other axes.

    Parameters
    ----------
    rows : sequence of mapping
        The rows of :func:`brisklane.grid`.
    axis_names : sequence of str
        Its axes, in order; the first is the horizontal one.
    title : str, optional
        The axes' title.

    Returns
    -------
    matplotlib.figure.Figure
        On an Agg canvas.
    """
    if not axis_names:
        raise CliError("plot grid: give at least one --axis")
    figure = _figure()
    axes = figure.add_subplot()
    x_name, others = axis_names[0], list(axis_names[1:])
    lines: Dict[Tuple[Any, ...], List[Mapping[str, Any]]] = {}
    for row in rows:
        lines.setdefault(tuple(row[name] for name in others), []).append(row)
    for key, own in lines.items():
        label = ", ".join(f"{name}={value}" for name, value in zip(others, key)) or "price"
        x = [r[x_name] for r in own]
        (line,) = axes.plot(x, [r["price"] for r in own], marker="o", label=label)
        axes.fill_between(x, [r["interval_low"] for r in own], [r["interval_high"] for r in own],
                          color=line.get_color(), alpha=0.2)
    axes.set_xlabel(x_name)
    axes.set_ylabel("price (95% band)")
    axes.set_title(title)
    axes.legend(fontsize="small")
    return figure


def _ints(text: str) -> List[int]:
    values = [parse_count(item) for item in text.split(",") if item.strip()]
    if not values or not all(isinstance(v, int) for v in values):
        raise CliError(f"--path-counts: expected a comma-separated list of counts, got {text!r}")
    return values


def cmd_plot(args: argparse.Namespace) -> int:
    """Draw a convergence or grid figure to ``--out``.

    Parameters
    ----------
    args : argparse.Namespace
        ``figure`` (``convergence`` or ``grid``), ``product``, ``assignments``, ``out``; for
        convergence ``samplings``, ``path_counts``, ``replicates``, ``threads``; for grid the
        options of ``grid``.

    Returns
    -------
    int
        The exit status.
    """
    optional_extra("matplotlib", "plot")
    if args.figure == "convergence":
        brisklane = library()
        find_product(args.product)
        fields = parse_assignments(args.assignments, value_parsers(args.product))
        samplings = [s.strip() for s in args.samplings.split(",") if s.strip()] if args.samplings else None
        counts = _ints(args.path_counts) if args.path_counts else None
        table = brisklane.convergence(args.product, samplings, counts, args.replicates, threads=args.threads, **fields)
        figure = convergence_figure(table_rows(table), title=f"{args.product}: convergence")
    else:
        args.json = args.csv = False
        axes, rows = run_grid(args)
        figure = grid_figure(rows, list(axes), title=args.product)
    figure.savefig(args.out, dpi=120)
    print(f"wrote {args.out}")
    return EXIT_OK


def add_plot_parser(commands: Any, products: str) -> None:
    """Register ``plot convergence`` and ``plot grid``."""
    from brisklane.cli._grid import add_grid_options

    plot = commands.add_parser(
        "plot",
        help="draw a convergence or grid figure (needs brisklane[plot])",
        description="Draw a figure with matplotlib: 'convergence' (each sampler's RMSE against paths, "
        "log-log, with the n^-1/2 guide) or 'grid' (price against the first --axis with its 95% band).",
    )
    figures = plot.add_subparsers(dest="figure", metavar="FIGURE", required=True)
    convergence = figures.add_parser("convergence", help="each sampler's error against its path count")
    convergence.add_argument("product", help=f"product name ({products})")
    convergence.add_argument("assignments", nargs="*", metavar="key=value", help="fixed fields, as for 'grid'")
    convergence.add_argument("--samplings", default=None, metavar="A,B,...", help="samplers (default: all)")
    convergence.add_argument("--path-counts", default=None, metavar="N1,N2,...",
                             help="path counts (default 2**10 to 2**18 by fours; 2**16 for stepped products)")
    convergence.add_argument("--replicates", type=int, default=16, metavar="R", help="replicates per point (16)")
    convergence.add_argument("--threads", type=int, default=None, metavar="N", help="local worker threads")
    grid = figures.add_parser("grid", help="price against the first axis, with its 95% band")
    add_grid_options(grid, products)
    for command in (convergence, grid):
        command.add_argument("--out", required=True, metavar="FILE.png", help="the image to write")
        command.set_defaults(handler=cmd_plot)
