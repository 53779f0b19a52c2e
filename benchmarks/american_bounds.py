"""Lower and upper price bounds of the American put on the Longstaff-Schwartz grid, against a
Bermudan lattice that exercises on the same 50 dates a year, and the default put's bounds with
their time and peak memory.

Every row must hold the lattice value within [lower - 3 se, upper + 3 se], and the default put's
gap (upper - lower) must stay below 1% of its price.

    python benchmarks/american_bounds.py [--inner 500] [--outer 2000] [--threads 1] [--rows 20]
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

from test_bounds import DEFAULT_LATTICE, LATTICE, grid_config  # noqa: E402

from brisklane._bounds import put_bounds  # noqa: E402

# A fresh process, so that its peak resident set is the bounds' own (plus the interpreter's).
CHILD = r"""
import resource, sys, time
from brisklane._bounds import put_bounds
inner, outer, threads = map(int, sys.argv[1:4])
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
b = put_bounds("american_put", {}, inner_paths=inner, outer_paths=outer, threads=threads)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(b.lower, b.lower_stderr, b.upper, b.upper_stderr, b.in_sample, elapsed, base, peak)
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--inner", type=int, default=500, help="inner paths per continuation value")
    parser.add_argument("--outer", type=int, default=2000, help="outer paths of the dual")
    parser.add_argument("--threads", type=int, default=1, help="threads (never changes a bit)")
    parser.add_argument("--rows", type=int, default=len(LATTICE), help="the first ROWS rows of the grid")
    args = parser.parse_args()

    failures = 0
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(args.inner), str(args.outer), str(args.threads)],
        check=True, capture_output=True, text=True,
    ).stdout.split()
    lower, lower_se, upper, upper_se, in_sample, elapsed = map(float, out[:6])
    base_kib, peak_kib = map(int, out[6:])
    gap = upper - lower
    inside = lower - 3 * lower_se <= DEFAULT_LATTICE <= upper + 3 * upper_se
    failures += (not inside) + (gap >= 0.01 * lower)
    print(f"default put (s0 = k = 100, r = 0.03, sigma = 0.2, t = 1, 64 dates, 100,000 paths), "
          f"inner {args.inner}, outer {args.outer}, threads {args.threads}")
    print(f"  in-sample {in_sample:.4f}  lower {lower:.4f} ± {lower_se:.4f}  upper {upper:.4f} ± {upper_se:.4f}  "
          f"lattice {DEFAULT_LATTICE:.4f}  gap {gap:.4f} ({100 * gap / lower:.2f}%)")
    print(f"  {elapsed:.1f} s, peak RSS {peak_kib / 1024:.0f} MiB ({base_kib / 1024:.0f} MiB before the call)\n")

    print(" S    sigma T   in-sample  lower (se)         upper (se)         lattice   gap     gap%   in   seconds")
    for (s0, sigma, t), lattice in list(LATTICE.items())[: args.rows]:
        start = time.perf_counter()
        b = put_bounds("american_put", grid_config(s0, sigma, t), inner_paths=args.inner, outer_paths=args.outer,
                       threads=args.threads)
        seconds = time.perf_counter() - start
        low, high = b.interval(3.0)
        inside = low <= lattice <= high
        failures += not inside
        print(f"{s0:3d}  {sigma:4.1f}  {t:d}   {b.in_sample:7.4f}   {b.lower:7.4f} ({b.lower_stderr:.4f})   "
              f"{b.upper:7.4f} ({b.upper_stderr:.4f})   {lattice:7.4f}  {b.gap:.4f}  {100 * b.gap / b.lower:5.2f}  "
              f"{'yes' if inside else 'NO '}  {seconds:6.1f}", flush=True)
    print("\nall rows inside, default gap < 1%" if failures == 0 else f"\n{failures} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
