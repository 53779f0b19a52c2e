"""How long Ctrl-C takes to stop a long pricing call.

For each workload a child process starts a call that would run for minutes, the parent sends SIGINT
after `--delay` seconds, and the time from the signal to the child's KeyboardInterrupt is recorded.

    python benchmarks/stop_latency.py [--trials 5] [--delay 0.5]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import statistics
import subprocess
import sys
import time

CHILD = r"""
import sys, brisklane
call = sys.argv[1]
print("ready", flush=True)
try:
    eval(call)
except KeyboardInterrupt:
    print("stopped", flush=True)
"""

WORKLOADS = {
    "European, 2 workers": "brisklane.price_european_call({'n_paths': 10**11, 'n_threads': 2})",
    "European antithetic, calling thread": "brisklane.price_european_call({'n_paths': 10**11, 'technique': 'antithetic'})",
    "Asian, scrambled Sobol": "brisklane.price_arithmetic_asian_call({'n_paths': 10**9, 'sampling': 'scrambled_sobol'})",
    "American put, 10^6 x 100": "brisklane.price_american_put({'n_paths': 10**6, 'n_steps': 100})",
    "price(), 2 threads": "brisklane.price('arithmetic_asian_call', n_paths=10**9, threads=2)",
    "price(), blocks on Python threads": "brisklane.price('arithmetic_asian_call', n_paths=10**9, progress=lambda *a: None)",
    "price(), process pool": "brisklane.price('european_call', n_paths=10**11, "
    "executor=__import__('concurrent.futures').futures.ProcessPoolExecutor(2))",
}


def stop_time(call: str, delay: float) -> float:
    # Its own process group, so that the processes a call starts (a pool's workers) end with it.
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        if child.stdout.readline().strip() != "ready":
            raise SystemExit("the child did not start")
        time.sleep(delay)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        if child.stdout.readline().strip() != "stopped":
            raise SystemExit(f"the child did not stop: {call}")
        return time.perf_counter() - sent
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(child.pid, signal.SIGKILL)
        child.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--delay", type=float, default=0.5)
    args = parser.parse_args()
    print(f"{'workload':<40} {'min ms':>8} {'median ms':>10} {'max ms':>8}")
    for name, call in WORKLOADS.items():
        times = [stop_time(call, args.delay) * 1e3 for _ in range(args.trials)]
        print(f"{name:<40} {min(times):8.1f} {statistics.median(times):10.1f} {max(times):8.1f}")


if __name__ == "__main__":
    main()
