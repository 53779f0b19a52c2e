"""Text output of the commands: number formatting, ``label  value`` summaries, tables and JSON."""

from __future__ import annotations

import csv
import json
import math
import sys
from typing import Any, List, Optional, Sequence, Tuple


def fmt_number(value: Any, fmt: str = ".6f") -> str:
    """Format a number for a summary or a table cell.

    Parameters
    ----------
    value : Any
        The value; anything but an ``int`` or ``float`` (``bool`` included) is
        shown as its text, ``None`` as ``n/a``.
    fmt : str, optional
        How a finite number is formatted, as for :func:`format`.

    Returns
    -------
    str
        The formatted value; a non-finite float is shown as ``nan``, ``inf`` or ``-inf``.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "n/a" if value is None else str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return format(value, fmt)


def fmt_rate(paths: Optional[int], seconds: float) -> str:
    """Format a throughput in paths per second.

    Parameters
    ----------
    paths : int or None
        The number of paths, or ``None`` when it is not known.
    seconds : float
        The wall time they took.

    Returns
    -------
    str
        The rate with thousands separators, or ``n/a``.
    """
    if paths is None or seconds <= 0.0:
        return "n/a"
    return f"{paths / seconds:,.0f}"


def fmt_milliseconds(seconds: float) -> str:
    """Format a wall time as ``12.3 ms``.

    Parameters
    ----------
    seconds : float
        The wall time in seconds.

    Returns
    -------
    str
        The wall time in milliseconds with one decimal.
    """
    return f"{seconds * 1e3:.1f} ms"


def error_in_stderrs(price: Any, stderr: Any, reference: Optional[float]) -> Optional[float]:
    """How many standard errors an estimate lies from a reference value.

    Parameters
    ----------
    price : Any
        The estimate; only a ``float`` is compared.
    stderr : Any
        Its standard error; only a ``float`` is compared.
    reference : float or None
        The exact value, if there is one.

    Returns
    -------
    float or None
        ``(price - reference) / stderr`` (a zero standard error gives 0 or an
        infinity of the difference's sign), or ``None`` when there is nothing to
        compare.
    """
    if reference is None or not isinstance(price, float) or not isinstance(stderr, float):
        return None
    if not math.isfinite(reference):
        return None
    diff = price - reference
    if stderr > 0.0:
        return diff / stderr
    return 0.0 if diff == 0.0 else math.copysign(math.inf, diff)


def error_cell(error: Optional[float]) -> str:
    """Format an error in standard errors as a table cell.

    Parameters
    ----------
    error : float or None
        The result of :func:`error_in_stderrs`.

    Returns
    -------
    str
        The signed error with two decimals, or ``n/a``.
    """
    return f"{error:+.2f}" if error is not None else "n/a"


def error_note(error: Optional[float]) -> str:
    """Format an error in standard errors as a note following a value.

    Parameters
    ----------
    error : float or None
        The result of :func:`error_in_stderrs`.

    Returns
    -------
    str
        `` (error +0.12 standard errors)``, or an empty string when the error
        is missing or not finite.
    """
    return f" (error {error:+.2f} standard errors)" if error is not None and math.isfinite(error) else ""


def print_summary(rows: Sequence[Tuple[str, str]]) -> None:
    """Print ``label  value`` lines with the values aligned.

    Parameters
    ----------
    rows : sequence of (str, str)
        The labels and their values, in order; there is at least one.
    """
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label.ljust(width)}  {value}")


def table_lines(headers: Sequence[str], rows: Sequence[Sequence[str]], numeric: Sequence[bool]) -> List[str]:
    """Lay out a table as text lines: the header, a rule and one line per row.

    Parameters
    ----------
    headers : sequence of str
        The column headers.
    rows : sequence of sequence of str
        The cells of each row.
    numeric : sequence of bool
        For each column, whether it is right-aligned (numbers) or left-aligned.

    Returns
    -------
    list of str
        The lines, without trailing blanks.
    """
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


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]], numeric: Sequence[bool]) -> None:
    """Print a table laid out by :func:`table_lines`.

    Parameters
    ----------
    headers : sequence of str
        The column headers.
    rows : sequence of sequence of str
        The cells of each row.
    numeric : sequence of bool
        For each column, whether it is right-aligned.
    """
    for text in table_lines(headers, rows, numeric):
        print(text)


def print_json(value: Any) -> None:
    """Print a result as indented JSON.

    Parameters
    ----------
    value : Any
        A JSON-serialisable value.
    """
    print(json.dumps(value, indent=2))


def print_csv(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    """Print a table as CSV: the header row, then one row per entry.

    Parameters
    ----------
    headers : sequence of str
        The column names.
    rows : sequence of sequence
        The cells of each row; ``None`` is written as an empty cell.
    """
    writer = csv.writer(sys.stdout, lineterminator="\n")
    writer.writerow(headers)
    writer.writerows(rows)


def print_rows(rows: Sequence[Tuple[str, str]], as_csv: bool) -> None:
    """Print summary rows as aligned ``label  value`` lines, or as CSV ``field,value``.

    Parameters
    ----------
    rows : sequence of (str, str)
        The labels and their values, in order.
    as_csv : bool
        Whether to write CSV.
    """
    if as_csv:
        print_csv(("field", "value"), rows)
    else:
        print_summary(rows)
