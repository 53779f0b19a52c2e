"""Do replicate error bars tell the truth? Coverage and stderr against the observed error.

For each sampler and product, 200 seeds of ``brisklane.price(..., replicates=16)``: how many 95%
Student t intervals cover the reference, and the mean reported stderr over the observed RMSE
(both should be near 190 of 200 and 1.0). Then the plain run's own stderr over its observed error
(far above 1 for the quasi-Monte Carlo samplers: the figure replicates mend), and the variance
reduction of each sampler against pseudorandom at equal paths.

    python benchmarks/replicate_coverage.py [--seeds 200] [--replicates 16] [--reference]

References: the European's is Black-Scholes with an erfc-based normal CDF. The Asian's was
computed by ``--reference`` (Sobol with the Brownian bridge and the geometric control variate,
64 replicates of 2^20 paths, on an independent seed) and is pinned below with its stderr.
"""

from __future__ import annotations

import argparse
import math
import statistics
import time

import brisklane
from brisklane.reference import black_scholes_call

SAMPLINGS = ("pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol", "scrambled_sobol_brownian_bridge")
MARKET = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0}
ASIAN_STEPS = 16
ASIAN_REFERENCE, ASIAN_REFERENCE_STDERR = 5.544750202431862, 9.05e-06
PRODUCTS = {  # product: (fields, paths per replicate)
    "european_call": ({}, 4096),
    "arithmetic_asian_call": ({"n_steps": ASIAN_STEPS}, 1024),
}


def asian_reference() -> brisklane.Estimate:
    return brisklane.price("arithmetic_asian_call", **MARKET, n_steps=ASIAN_STEPS, n_paths=2**20, replicates=64,
                           sampling="scrambled_sobol_brownian_bridge", technique="control_variate", seed=2026)


def reference(product: str) -> float:
    if product == "european_call":
        return black_scholes_call(**MARKET)
    return ASIAN_REFERENCE


def study(product: str, sampling: str, seeds: int, replicates: int) -> dict:
    fields, n_paths = PRODUCTS[product]
    exact = reference(product)
    runs = [brisklane.price(product, **MARKET, **fields, sampling=sampling, n_paths=n_paths, seed=seed,
                            replicates=replicates, threads=1) for seed in range(seeds)]
    plain = [brisklane.price(product, **MARKET, **fields, sampling=sampling, n_paths=n_paths * replicates,
                             seed=seed, threads=1) for seed in range(seeds)]
    rmse = math.sqrt(statistics.fmean((run.price - exact) ** 2 for run in runs))
    plain_rmse = math.sqrt(statistics.fmean((run.price - exact) ** 2 for run in plain))
    return {
        "covered": sum(run.interval[0] <= exact <= run.interval[1] for run in runs),
        "rmse": rmse,
        "ratio": statistics.fmean(run.stderr for run in runs) / rmse,
        "plain_ratio": statistics.fmean(run.stderr for run in plain) / plain_rmse,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=200)
    parser.add_argument("--replicates", type=int, default=16)
    parser.add_argument("--reference", action="store_true", help="recompute the Asian reference and exit")
    args = parser.parse_args()
    if args.reference:
        start = time.perf_counter()
        estimate = asian_reference()
        print(f"Asian reference {estimate.price!r} +- {estimate.stderr:.3g} ({time.perf_counter() - start:.0f} s)")
        return
    print(f"{args.seeds} seeds x {args.replicates} replicates; engine {brisklane.engine_info()}")
    print(f"{'product':22} {'sampling':32} {'covered':>8} {'rmse':>10} {'stderr/rmse':>12} "
          f"{'plain stderr/rmse':>18} {'variance reduction':>19}")
    for product in PRODUCTS:
        baseline = None
        for sampling in SAMPLINGS:
            row = study(product, sampling, args.seeds, args.replicates)
            baseline = baseline or row["rmse"]
            print(f"{product:22} {sampling:32} {row['covered']:>4}/{args.seeds:<3} {row['rmse']:>10.3g} "
                  f"{row['ratio']:>12.3f} {row['plain_ratio']:>18.2f} {(baseline / row['rmse']) ** 2:>19.1f}")


if __name__ == "__main__":
    main()
