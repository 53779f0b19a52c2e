"""brisklane against NumPy written well, on the same workloads, in one run.

Prints one table: for each workload the best-of-N wall time per path of the
NumPy peer (``shared/bench/numpy_peer.py``: in-place, chunked, one thread) and
of brisklane on one and on two threads, with their ratios and the target ratio.
Only ratios measured in the same run mean anything on a shared machine.

    python benchmarks/compare_numpy.py [--runs 5] [--peer DIR] [--only euro,asian]

All workloads use spot = strike = 100, r = 0.03, sigma = 0.2, t = 1, seed 42.
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import sys
import time
from pathlib import Path

import brisklane

HERE = Path(__file__).resolve().parent


def load_peer(directory: Path):
    if not (directory / "numpy_peer.py").is_file():
        raise SystemExit(f"numpy_peer.py not found in {directory}")
    sys.path.insert(0, str(directory))
    try:
        return importlib.import_module("numpy_peer")
    finally:
        sys.path.pop(0)


def best(fn, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


# workload: (peer workload name, brisklane function, config, paths, target NumPy / brisklane 1T)
WORKLOADS = {
    "euro": ("euro", "price_european_call", {"n_paths": 1_000_000}, 1_000_000, 6.0),
    "asian": ("asian", "price_arithmetic_asian_call", {"n_paths": 100_000, "n_steps": 252}, 100_000, 5.0),
    "barrier": ("barrier", "price_down_and_out_call", {"n_paths": 100_000, "n_steps": 252, "barrier": 80.0},
                100_000, 5.0),
    "heston": ("heston", "price_heston_european_call", {"n_paths": 100_000, "n_steps": 252}, 100_000, 4.0),
    "american": ("american_lsm", "price_american_put", {"n_paths": 100_000, "n_steps": 64, "basis_degree": 2},
                 100_000, 6.0),
}
SAMPLERS = ("randomized_halton", "latin_hypercube", "scrambled_sobol", "scrambled_sobol_brownian_bridge")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--peer", type=Path, default=HERE.parent.parent / "shared" / "bench",
                        help="directory holding numpy_peer.py")
    parser.add_argument("--only", default="", help="comma-separated workloads")
    args = parser.parse_args()
    peer = load_peer(args.peer)
    only = set(filter(None, args.only.split(",")))

    info = brisklane.engine_info()
    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs; Python {platform.python_version()}, "
          f"NumPy {peer.np.__version__}; brisklane {brisklane.__version__}, target {info['simd_target']}, "
          f"numerics revision {info['numerics_revision']}; best of {args.runs}")
    header = f"{'workload':10s} {'NumPy ns':>10s} {'1T ns':>9s} {'2T ns':>9s} {'NumPy/1T':>9s} {'target':>7s} {'2T/1T':>6s}"
    print(header)
    print("-" * len(header))
    one_thread = {}
    for name, (peer_name, function, config, paths, target) in WORKLOADS.items():
        if only and name not in only:
            continue
        peer_fn = peer.WORKLOADS[peer_name][0]
        price = getattr(brisklane, function)
        numpy_s = best(peer_fn, args.runs)
        t1 = best(lambda: price({**config, "n_threads": 1}), args.runs)
        t2 = best(lambda: price({**config, "n_threads": 2}), args.runs)
        one_thread[name] = t1
        print(f"{name:10s} {numpy_s / paths * 1e9:10.1f} {t1 / paths * 1e9:9.1f} {t2 / paths * 1e9:9.1f} "
              f"{numpy_s / t1:8.2f}x {target:6.1f}x {t1 / t2:5.2f}x")

    if not only or "samplers" in only:
        config = {"n_paths": 100_000, "n_steps": 252, "n_threads": 1}
        pseudo = one_thread.get("asian") or best(lambda: brisklane.price_arithmetic_asian_call(config), args.runs)
        lookback = best(lambda: brisklane.price_lookback_call(config), args.runs)
        print(f"\nlookback / Asian time, 1T: {lookback / pseudo:.2f} (target <= 1.10)")
        print("pseudorandom Asian time / structured Asian time, 1T (target >= 0.77):")
        for sampling in SAMPLERS:
            t = best(lambda: brisklane.price_arithmetic_asian_call({**config, "sampling": sampling}), args.runs)
            print(f"  {sampling:34s} {pseudo / t:5.2f}")

    one_path = min(best(lambda: brisklane.price_european_call({"n_paths": 1}), 1) for _ in range(200))
    print(f"\none-path European call: {one_path * 1e6:.1f} us per call (target <= 20 us)")


if __name__ == "__main__":
    sys.exit(main())
