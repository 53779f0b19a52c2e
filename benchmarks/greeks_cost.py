"""What Greeks cost: the best-of-N time of brisklane.price with greeks=True over the price alone.

    python benchmarks/greeks_cost.py [--runs 5] [--threads 1]

Both in the same run, so the ratio holds on a shared machine; the Greeks ride on the price's own pass.
"""

from __future__ import annotations

import argparse
import time

import brisklane

WORKLOADS = {  # product: paths
    "european_call": 10**6, "arithmetic_asian_call": 10**5, "lookback_call": 10**5, "down_and_out_call": 10**5,
    "basket_call": 10**6, "heston_european_call": 10**5, "merton_jump_diffusion_call": 10**6,
}


def best(runs: int, product: str, **fields: object) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        brisklane.price(product, **fields)
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    print(f"{'product':28} {'price (ms)':>11} {'+ greeks (ms)':>14} {'ratio':>6}")
    for product, n_paths in WORKLOADS.items():
        plain = best(args.runs, product, n_paths=n_paths, threads=args.threads)
        greeks = best(args.runs, product, n_paths=n_paths, threads=args.threads, greeks=True)
        print(f"{product:28} {plain * 1e3:11.1f} {greeks * 1e3:14.1f} {greeks / plain:6.2f}")


if __name__ == "__main__":
    main()
