"""brisklane against the usual NumPy way of pricing the same options.

Prints wall time per path (European call, terminal sampling) and per path-step
(arithmetic Asian call) for a vectorised NumPy implementation and for
brisklane on one and on two threads, best of a few runs each.

    python benchmarks/compare_numpy.py
"""

import math
import time

import numpy as np

import brisklane

S0, K, R, SIGMA, T = 100.0, 100.0, 0.03, 0.2, 1.0


def best(fn, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def numpy_european(n, rng):
    z = rng.standard_normal(n)
    terminal = S0 * np.exp((R - 0.5 * SIGMA * SIGMA) * T + SIGMA * math.sqrt(T) * z)
    payoff = math.exp(-R * T) * np.maximum(terminal - K, 0.0)
    return payoff.mean(), payoff.std() / math.sqrt(n)


def numpy_asian(n, steps, rng, chunk=10_000):
    dt = T / steps
    total = 0.0
    for start in range(0, n, chunk):
        m = min(chunk, n - start)
        z = rng.standard_normal((m, steps))
        x = np.log(S0) + np.cumsum((R - 0.5 * SIGMA * SIGMA) * dt + SIGMA * math.sqrt(dt) * z, axis=1)
        total += np.maximum(np.exp(x).mean(axis=1) - K, 0.0).sum()
    return math.exp(-R * T) * total / n


def main():
    rng = np.random.default_rng(42)
    n = 10_000_000
    rows = [("NumPy (vectorised)", best(lambda: numpy_european(n, rng)))]
    for threads in (1, 2):
        rows.append(
            (f"brisklane, n_threads={threads}", best(lambda: brisklane.price_european_call({"n_paths": n, "n_threads": threads})))
        )
    print(f"European call, terminal sampling, {n:,} paths")
    for name, seconds in rows:
        print(f"  {name:28s} {seconds / n * 1e9:8.2f} ns per path   {rows[0][1] / seconds:6.2f}x NumPy")

    n, steps = 100_000, 252
    rows = [("NumPy (vectorised)", best(lambda: numpy_asian(n, steps, rng)))]
    for threads in (1, 2):
        config = {"n_paths": n, "n_steps": steps, "n_threads": threads}
        rows.append((f"brisklane, n_threads={threads}", best(lambda: brisklane.price_arithmetic_asian_call(config))))
    print(f"Arithmetic Asian call, {n:,} paths x {steps} steps")
    for name, seconds in rows:
        print(f"  {name:28s} {seconds / (n * steps) * 1e9:8.2f} ns per step   {rows[0][1] / seconds:6.2f}x NumPy")


if __name__ == "__main__":
    main()
