"""Local threads against a two-process Dask cluster on the same plan: the cluster's overhead.

Each workload is priced with ``brisklane.price`` on two local threads, then with the same blocks on
a ``distributed.LocalCluster`` of two single-threaded worker processes (the same two cores), in
alternation, and the minimum and median of each are reported. The results must be bit-identical;
the overhead is (cluster time / local time) - 1, target at most 10%.

    python benchmarks/scale_out.py [--repeats 5]
"""

from __future__ import annotations

import argparse
import statistics
import time

import brisklane

WORKLOADS = {
    "European 10^8": ("european_call", {"n_paths": 10**8}),
    "Asian 10^6 x 252": ("arithmetic_asian_call", {"n_paths": 10**6, "n_steps": 252}),
}


def timed(product: str, fields: dict, **options) -> tuple[float, brisklane.Estimate]:
    start = time.perf_counter()
    estimate = brisklane.price(product, fields, **options)
    return time.perf_counter() - start, estimate


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, Client(
        cluster
    ) as client:
        client.run(lambda: __import__("brisklane"))  # workers import the module before the clock starts
        print(f"{'workload':<20} {'blocks':>6} {'local min/med (s)':>18} {'dask min/med (s)':>18} {'overhead':>9}")
        for name, (product, fields) in WORKLOADS.items():
            timed(product, fields, threads=2)
            timed(product, fields, executor=client)
            local, remote = [], []
            for _ in range(args.repeats):
                t, ref = timed(product, fields, threads=2)
                local.append(t)
                t, got = timed(product, fields, executor=client)
                remote.append(t)
                assert (got.price, got.stderr) == (ref.price, ref.stderr), "the cluster changed the bits"
            overhead = statistics.median(remote) / statistics.median(local) - 1
            print(
                f"{name:<20} {ref.blocks:>6} {min(local):>8.3f} /{statistics.median(local):>7.3f}"
                f"  {min(remote):>8.3f} /{statistics.median(remote):>7.3f} {overhead:>+8.1%}"
            )


if __name__ == "__main__":
    main()
