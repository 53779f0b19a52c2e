"""Ctrl-C during a pricing call: KeyboardInterrupt soon after the signal, no thread left behind.

Each case runs in a child process that the test interrupts with a real SIGINT while the call runs.
"""

from __future__ import annotations

import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is delivered differently on Windows")

# Prints "ready" just before a call that would run for minutes (a tuple config holds the
# call's arguments), then how it ended, then the
# number of threads of the process and a fresh small pricing (the interpreter still works).
CHILD = r"""
import os, signal, sys, brisklane
function, config, handler = sys.argv[1], eval(sys.argv[2]), sys.argv[3]
if handler == "raise":
    def stop(signum, frame):
        raise RuntimeError("stopped by handler")
    signal.signal(signal.SIGINT, stop)
print("ready", flush=True)
try:
    call = getattr(brisklane, function)
    if isinstance(config, tuple):  # price(product, fields, **options)
        call(*config[:2], **(config[2] if len(config) > 2 else {}))
    else:
        call(config)
    print("completed", flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
except RuntimeError as error:
    print("RuntimeError:", error, flush=True)
print(len(os.listdir("/proc/self/task")), flush=True)
print(brisklane.price_european_call({"n_paths": 1000})["price"], flush=True)
"""

LONG_RUNS = {
    "european on two workers": ("price_european_call", {"n_paths": 10**10, "n_threads": 2}),
    "antithetic on the calling thread": ("price_european_call", {"n_paths": 10**10, "technique": "antithetic"}),
    "scrambled Sobol points": ("price_arithmetic_asian_call", {"n_paths": 10**8, "sampling": "scrambled_sobol"}),
    "Merton on two workers": ("price_merton_jump_diffusion_call", {"n_paths": 10**10, "n_threads": 2}),
    "American put": ("price_american_put", {"n_paths": 10**6, "n_steps": 100}),
    "multilevel estimator": ("arithmetic_asian_mlmc", {"levels": 2, "paths_per_level": [10**9, 10**8]}),
    "parameter sweep": ("price_european_call_parameter_sweep", {"n_paths": 10**10}),
    "price() with the lock released": ("price", ("european_call", {"n_paths": 10**11})),
    "price() by blocks on local threads": ("price", ("european_call", {"n_paths": 10**11}, {"progress": True})),
    "price() in target rounds": ("price", ("arithmetic_asian_call", {"n_paths": 10**5}, {"target_stderr": 1e-9})),
}


def interrupt(function: str, config: dict, handler: str = "default") -> tuple[float, list[str]]:
    """Seconds from SIGINT to the child's report, and the child's lines."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, function, repr(config), handler], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # well inside the call
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline().strip()
        elapsed = time.perf_counter() - sent
        lines = [outcome, *child.stdout.read().split()]
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
    return elapsed, lines


@pytest.mark.parametrize("case", LONG_RUNS)
def test_ctrl_c_raises_keyboard_interrupt_promptly_with_every_worker_joined(case):
    function, config = LONG_RUNS[case]
    elapsed, (outcome, threads, price) = interrupt(function, config)
    assert outcome == "KeyboardInterrupt"
    assert elapsed < 1.0  # polled every 10 ms: measured well under 0.05 s
    assert threads == "1"
    assert float(price) > 0.0


def test_a_handlers_own_exception_propagates():
    elapsed, (outcome, threads, _) = interrupt("price_european_call", {"n_paths": 10**10, "n_threads": 2}, "raise")
    assert (outcome, threads) == ("RuntimeError: stopped by handler", "1")
    assert elapsed < 1.0
