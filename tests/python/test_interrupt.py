"""Ctrl-C during a pricing call: KeyboardInterrupt long before the call would end, no thread left behind
(each case in a child process interrupted by a real SIGINT)."""

from __future__ import annotations

import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is delivered differently on Windows")

# Prints "ready" just before a call that would run for minutes (a tuple config holds price()'s arguments),
# then how it ended, the process's thread count and a fresh small pricing (the interpreter still works).
CHILD = r"""
import os, signal, sys, time, brisklane
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
# A Python thread is joined once its state is gone; the system thread may take a moment longer.
for _ in range(200):
    if len(os.listdir("/proc/self/task")) == 1:
        break
    time.sleep(0.01)
print(len(os.listdir("/proc/self/task")), flush=True)
print(brisklane.price_european_call({"n_paths": 1000})["price"], flush=True)
"""

LONG_RUNS = {
    "european on two workers": ("price_european_call", {"n_paths": 10**10, "n_threads": 2}),
    "antithetic on the calling thread": ("price_european_call", {"n_paths": 10**10, "technique": "antithetic"}),
    "scrambled Sobol points": ("price_arithmetic_asian_call", {"n_paths": 10**8, "sampling": "scrambled_sobol"}),
    "Merton on two workers": ("price_merton_jump_diffusion_call", {"n_paths": 10**10, "n_threads": 2}),
    "American put": ("price_american_put", {"n_paths": 10**6, "n_steps": 100}),
    # a handful of paths of 10**12 steps each: stopped inside a path
    "one long lookback path": ("price_lookback_call", {"n_paths": 2, "n_steps": 10**12}),
    "one long Heston path (a pair of normals drawn at a time)": ("price_heston_european_call",
                                                                 {"n_paths": 2, "n_steps": 10**12}),
    "Bermudan paths of 10**12 steps": ("price_bermudan_put", {"n_paths": 8, "n_steps": 10**12, "exercise_steps": [1]}),
    "multilevel estimator": ("arithmetic_asian_mlmc", {"levels": 2, "paths_per_level": [10**9, 10**8]}),
    "parameter sweep": ("price_european_call_parameter_sweep", {"n_paths": 10**10}),
    "price() with the lock released": ("price", ("european_call", {"n_paths": 10**11})),
    "price() by blocks on local threads": ("price", ("european_call", {"n_paths": 10**11}, {"progress": True})),
    "price() in target rounds": ("price", ("arithmetic_asian_call", {"n_paths": 10**5}, {"target_stderr": 1e-9})),
}


def interrupt(function: str, config: dict, handler: str = "default") -> list[str]:
    """The child's lines after a SIGINT sent well inside its call (which would run for minutes)."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, function, repr(config), handler], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # well inside the call
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)  # a child that does not stop fails here, not hangs
        lines = out.split("\n", 1)
        lines = [lines[0].strip(), *lines[1].split()] if len(lines) == 2 else lines
        assert child.returncode == 0
    finally:
        child.kill()
    return lines


@pytest.mark.parametrize("case", LONG_RUNS)
def test_ctrl_c_raises_keyboard_interrupt_promptly_with_every_worker_joined(case):
    function, config = LONG_RUNS[case]
    outcome, threads, price = interrupt(function, config)
    assert outcome == "KeyboardInterrupt"
    assert threads == "1"
    assert float(price) > 0.0


def test_a_handlers_own_exception_propagates():
    outcome, threads, _ = interrupt("price_european_call", {"n_paths": 10**10, "n_threads": 2}, "raise")
    assert (outcome, threads) == ("RuntimeError: stopped by handler", "1")
