"""Put price bounds: the Longstaff-Schwartz grid against a Bermudan lattice with the same exercise
dates, the default put's duality gap, bit-identical results on repeat, across threads and SIMD
targets, a known answer, and the entry's failures. The whole grid at the default counts is
benchmarks/american_bounds.py."""

from __future__ import annotations

import math

import numpy as np
import pytest

import brisklane
from brisklane import _native
from brisklane._bounds import Bounds, put_bounds

# The Longstaff-Schwartz (2001) grid: K = 40, r = 0.06, 50 exercise dates a year.
STRIKE, RATE, DATES_PER_YEAR = 40.0, 0.06, 50
# (s0, sigma, t) -> the lattice value with 100 sub-steps per exercise interval (below), which
# moves by at most 5e-4 from 50 sub-steps.
LATTICE = {
    (36, 0.2, 1): 4.47792, (36, 0.2, 2): 4.84029, (36, 0.4, 1): 7.10150, (36, 0.4, 2): 8.50694,
    (38, 0.2, 1): 3.25016, (38, 0.2, 2): 3.74479, (38, 0.4, 1): 6.14788, (38, 0.4, 2): 7.66822,
    (40, 0.2, 1): 2.31404, (40, 0.2, 2): 2.88456, (40, 0.4, 1): 5.31183, (40, 0.4, 2): 6.91701,
    (42, 0.2, 1): 1.61710, (42, 0.2, 2): 2.21244, (42, 0.4, 1): 4.58270, (42, 0.4, 2): 6.24446,
    (44, 0.2, 1): 1.10991, (44, 0.2, 2): 1.68986, (44, 0.4, 1): 3.94797, (44, 0.4, 2): 5.64143,
}
DEFAULT_LATTICE = 6.73703  # the default put: s0 = k = 100, r = 0.03, sigma = 0.2, t = 1, 64 dates


def bermudan_put_lattice(s0, k, r, sigma, t, dates, sub_steps=100):
    """Cox-Ross-Rubinstein tree of dates x sub_steps steps, exercise only at time 0 and every
    sub_steps-th step: the put the simulation prices, up to the lattice's own error."""
    n = dates * sub_steps
    dt = t / n
    up = math.exp(sigma * math.sqrt(dt))
    p = (math.exp(r * dt) - 1 / up) / (up - 1 / up)
    disc = math.exp(-r * dt)
    values = np.maximum(k - s0 * up ** (n - 2.0 * np.arange(n + 1)), 0.0)
    for i in range(n - 1, -1, -1):
        values = disc * (p * values[:-1] + (1 - p) * values[1:])
        if i % sub_steps == 0:
            values = np.maximum(values, k - s0 * up ** (i - 2.0 * np.arange(i + 1)))
    return float(values[0])


def grid_config(s0, sigma, t):
    return {"s0": float(s0), "k": STRIKE, "r": RATE, "sigma": sigma, "t": float(t), "n_steps": DATES_PER_YEAR * t}


SMALL = {"s0": 36.0, "k": 40.0, "r": 0.06, "n_paths": 5001, "n_steps": 20}
SMALL_COUNTS = {"inner_paths": 41, "outer_paths": 37, "lower_paths": 3003}


def test_lattice_reproduces_its_pins():
    for s0, sigma, t in ((36, 0.2, 1), (44, 0.4, 1)):
        value = bermudan_put_lattice(s0, STRIKE, RATE, sigma, t, DATES_PER_YEAR * t)
        assert value == pytest.approx(LATTICE[s0, sigma, t], abs=1e-5)
    assert bermudan_put_lattice(100.0, 100.0, 0.03, 0.2, 1.0, 64) == pytest.approx(DEFAULT_LATTICE, abs=1e-5)


@pytest.mark.parametrize("key", [(36, 0.2, 1), (40, 0.4, 1), (44, 0.2, 2)])
def test_grid_rows_bracket_the_lattice(key):
    b = put_bounds("american_put", grid_config(*key), inner_paths=200, outer_paths=500)
    low, high = b.interval(3.0)
    assert low <= LATTICE[key] <= high
    assert b.lower <= b.upper and b.gap < 0.02 * b.lower


def test_default_put_gap_is_under_one_percent():
    b = put_bounds("american_put", {})
    assert (b.inner_paths, b.outer_paths, b.lower_paths) == (500, 2000, 100000)
    assert b.lower - 3 * b.lower_stderr <= DEFAULT_LATTICE <= b.upper + 3 * b.upper_stderr
    assert 0.0 <= b.upper - b.lower < 0.01 * b.lower
    assert b.in_sample == _native.price_american_put({})["price"]


def test_known_answer_and_same_bits_everywhere():
    pinned = put_bounds("american_put", SMALL, **SMALL_COUNTS)
    assert (pinned.lower, pinned.lower_stderr, pinned.upper, pinned.upper_stderr) == (
        4.3775013630937885, 0.05574245155956142, 4.494422943793116, 0.060723647752929426,
    )
    assert (pinned.in_sample, pinned.lower_paths, pinned.inner_estimates) == (4.547681041509412, 3003, 579)
    bermudan = {**SMALL, "exercise_steps": [5, 10, 15]}
    before = brisklane.simd_target()
    try:
        runs = []
        for target in ("scalar", before):
            brisklane.set_simd_target(target)
            for threads in (1, 2):
                runs.append((put_bounds("american_put", SMALL, threads=threads, **SMALL_COUNTS),
                             put_bounds("bermudan_put", bermudan, threads=threads, **SMALL_COUNTS)))
    finally:
        brisklane.set_simd_target(before)
    assert all(run == runs[0] for run in runs) and runs[0][0] == pinned
    assert runs[0][1].lower < pinned.lower  # three dates are worth less than twenty


def test_entry_reads_the_field_table_and_fails_cleanly():
    raw = _native.put_bounds("bermudan_put", {"spot": 36.0, "strike": 40.0, "n_paths": 500}, 8, 4, 0)
    planned = _native.price_planned("bermudan_put", {"s0": 36.0, "k": 40.0, "n_paths": 500}, 1, 1)
    assert raw["config"] == planned["config"] and raw["in_sample"] == planned["price"]
    assert raw["lower_paths"] == 500 and not raw["exercise_at_start"] and raw["upper"] == raw["lower"] + raw["gap"]
    with pytest.raises(ValueError, match="american_put or bermudan_put"):
        _native.put_bounds("european_call", {}, 8, 4, 0)
    with pytest.raises(ValueError, match="expected one of"):
        put_bounds("european_call", {})
    with pytest.raises(OverflowError):
        _native.put_bounds("american_put", {}, -1, 4, 0)
    for inner, outer in ((2**62, 4), (8, 2**62)):  # refused before the fit runs
        with pytest.raises(MemoryError):
            _native.put_bounds("american_put", {"n_paths": 100}, inner, outer, 0, 2)
    with pytest.raises(brisklane.PanicException, match="outer_paths must be >= 2"):
        put_bounds("american_put", {"n_paths": 100}, outer_paths=1)
    with pytest.raises(brisklane.PanicException, match="n_steps must be >= 2"):
        put_bounds("american_put", {"n_steps": 1})
    b = Bounds(1.0, 0.1, 2.0, 0.2, 1, 2, 3)
    assert b.gap == 1.0 and b.interval(1.0) == (0.9, 2.2)
    with pytest.raises(AttributeError):
        b.lower = 0.0  # type: ignore[misc]


def test_price_brackets_on_request(cli_run):
    estimate = brisklane.price("american_put", **SMALL, bounds=True, inner_paths=41, outer_paths=37)
    plain = brisklane.price("american_put", **SMALL)
    assert (estimate.price, estimate.stderr) == (plain.price, plain.stderr) and plain.bounds is None
    assert estimate.bounds == put_bounds("american_put", SMALL, inner_paths=41, outer_paths=37, lower_paths=5001)
    with pytest.raises(brisklane.ConfigError, match="^bounds: only for american_put and bermudan_put, not lookback_call$"):
        brisklane.price("lookback_call", bounds=True)
    with pytest.raises(TypeError, match="^outer_paths: only used with bounds=True$"):
        brisklane.price("american_put", outer_paths=10)
    with pytest.raises(brisklane.ConfigError, match="^outer_paths must be >= 2$"):
        brisklane.price("american_put", n_paths=100, bounds=True, outer_paths=1)
    code, out, err = cli_run("price", "american_put", "n_paths=5001", "n_steps=20", "s0=36", "k=40", "r=0.06",
                             "--bounds", "--inner-paths", "41", "--outer-paths", "37")
    assert code == 0, err
    b = estimate.bounds
    assert f"lower bound       {b.lower:.6f} ± {b.lower_stderr:.6f}" in out and f"upper bound       {b.upper:.6f}" in out
