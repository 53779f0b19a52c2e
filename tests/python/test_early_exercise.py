"""American and Bermudan puts by Longstaff-Schwartz regression: schedule repair and warnings, the same bits
for every ``n_threads``, known answers, and prices against a pinned binomial tree and the European put."""

from __future__ import annotations

import numpy as np
import pytest

from brisklane import _native
from conftest import PUT_DEFAULTS, black_scholes_put

ESTIMATOR = (
    "Longstaff-Schwartz estimate uses Laguerre basis regression on simulated GBM paths; it is a lower-biased "
    "Monte Carlo estimator and should be benchmarked against external references before broad product claims."
)
NOTE = (
    "{}-put support is CPU reference only; native GPU, Greeks, dividends, stochastic rates, and "
    "multi-asset exercise policies are not implemented yet."
)
AMERICAN_NOTE, BERMUDAN_NOTE = NOTE.format("American"), NOTE.format("Bermudan")
CLAMPED = "basis_degree was clamped to the supported range [1, 3]."
THREADS = "n_threads is accepted for API symmetry, but the v1 LSM regression path is single-thread deterministic."
SORTED = "exercise_steps were sorted and deduplicated before LSM execution."
APPENDED = "Maturity was appended to exercise_steps because terminal payoff is always evaluated."
SORTED_AND_APPENDED = SORTED + " Maturity was appended because terminal payoff is always evaluated."

PUTS = ("price_american_put", "price_bermudan_put")
SMALL = {"n_paths": 2000, "n_steps": 16}
DETAIL_KEYS = ["early_exercise_count", "maturity_exercise_count", "paths", "price", "regression_basis",
               "regression_steps", "seed", "stderr", "steps", "warnings", "workload"]


def small(function, **overrides):
    schedule = {"exercise_steps": [4, 8, 12, 16]} if function == "price_bermudan_put" else {}
    return {**SMALL, **schedule, **overrides}


def numbers(result):
    """Everything numeric of a put result, warnings left out."""
    details = {key: value for key, value in result["values"]["details"].items() if key != "warnings"}
    return result["price"], result["stderr"], details


def test_default_results():
    american, bermudan = _native.price_american_put({}), _native.price_bermudan_put({})
    assert american["manifest"]["config"] == PUT_DEFAULTS
    assert bermudan["manifest"]["config"] == {**PUT_DEFAULTS, "exercise_steps": [16, 32, 48, 64]}
    values, details = american["values"], american["values"]["details"]
    assert list(values) == ["details", "price", "stderr"] and list(details) == DETAIL_KEYS
    assert american["price"] == details["price"] and american["stderr"] == details["stderr"]
    assert (details["paths"], details["steps"], details["seed"]) == (100000, 64, 42)
    assert details["workload"] == "american_put"
    assert details["regression_basis"] == "laguerre_lsm_degree_2" and 0 < details["regression_steps"] <= 63
    assert american["warnings"] == details["warnings"] == [ESTIMATOR, AMERICAN_NOTE]
    details = bermudan["values"]["details"]
    assert list(details) == sorted(DETAIL_KEYS + ["exercise_schedule", "exercise_date_count"])
    assert details["workload"] == "bermudan_put" and 0 < details["regression_steps"] <= 3
    assert (details["exercise_schedule"], details["exercise_date_count"]) == ([16, 32, 48, 64], 4)
    assert bermudan["warnings"] == [ESTIMATOR, BERMUDAN_NOTE]
    # Same paths, fewer exercise dates: European < Bermudan < American < European + 0.5.
    european = black_scholes_put(100.0, 100.0, 0.03, 0.2, 1.0)
    assert european < bermudan["price"] < american["price"] < european + 0.5


@pytest.mark.parametrize("steps", [(12, 4, 4, 12), range(4, 13, 8), np.array([4, 12], dtype=np.int64)],
                         ids=["tuple", "range", "ndarray"])
def test_exercise_steps_accepts_integer_sequences_and_echoes_them(steps):
    result = _native.price_bermudan_put({**SMALL, "exercise_steps": steps})
    assert result["manifest"]["config"]["exercise_steps"] == [int(step) for step in steps]
    assert result["values"]["details"]["exercise_schedule"] == [4, 12, 16]


@pytest.mark.parametrize("function, config, error, message", [
    ("price_bermudan_put", {"exercise_steps": "16,32"}, TypeError, "Can't extract `str` to `Vec`"),
    ("price_bermudan_put", {"exercise_steps": 16}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("price_bermudan_put", {"exercise_steps": [16, -1]}, OverflowError, None),
    # basis_degree, read before exercise_steps, fails first
    ("price_bermudan_put", {"basis_degree": -1, "exercise_steps": "x"}, OverflowError, None),
    ("price_american_put", {"basis_degree": -1, "exercise_steps": "x"}, OverflowError, None),
])
def test_conversion_errors_come_before_validation(function, config, error, message):
    with pytest.raises(error) as info:  # the invalid n_paths is not reached
        getattr(_native, function)({"n_paths": 0, **config})
    assert type(info.value) is error and (message is None or str(info.value) == message)


@pytest.mark.parametrize("config, schedule, notes", [
    ({"exercise_steps": [64, 16, 16]}, [16, 64], [SORTED]),
    ({"exercise_steps": [10, 20]}, [10, 20, 64], [APPENDED]),
    ({"exercise_steps": [20, 10, 20]}, [10, 20, 64], [SORTED_AND_APPENDED]),
    ({"exercise_steps": [16, 32, 48, 64]}, [16, 32, 48, 64], []),
    ({**SMALL, "exercise_steps": [16]}, [16], []),
    # every warning, the schedule's last
    ({**SMALL, "exercise_steps": [8, 4], "basis_degree": 9, "n_threads": 2}, [4, 8, 16],
     [CLAMPED, THREADS, SORTED_AND_APPENDED]),
], ids=str)
def test_schedule_notes(config, schedule, notes):
    result = _native.price_bermudan_put({"n_paths": 1500, **config})
    details = result["values"]["details"]
    assert (details["exercise_schedule"], details["exercise_date_count"]) == (schedule, len(schedule))
    assert result["warnings"] == details["warnings"] == [ESTIMATOR, BERMUDAN_NOTE] + notes


@pytest.mark.parametrize("function", PUTS)
def test_basis_degree_clamping_threads_seed_and_warnings(function):
    run = getattr(_native, function)
    notes = [ESTIMATOR, AMERICAN_NOTE if function == "price_american_put" else BERMUDAN_NOTE]
    three = run(small(function, basis_degree=3, n_threads=1))
    assert three["warnings"] == notes
    for degree, threads in ((4, 0), (2**64 - 1, 0), (5, 8)):  # the clamp's warning before the threads'
        clamped = run(small(function, basis_degree=degree, n_threads=threads))
        assert clamped["warnings"] == notes + [CLAMPED] + ([THREADS] if threads else [])
        assert clamped["values"]["details"]["regression_basis"] == "laguerre_lsm_degree_3"
        assert clamped["manifest"]["config"]["basis_degree"] == degree
        assert numbers(clamped) == numbers(three)
    one = run(small(function, basis_degree=1))
    assert one["values"]["details"]["regression_basis"] == "laguerre_lsm_degree_1" and one["price"] != three["price"]
    for threads in (0, 2, 2**64 - 1):  # n_threads leaves every number bit-identical
        result = run(small(function, basis_degree=3, n_threads=threads))
        assert numbers(result) == numbers(three) and result["warnings"] == notes + [THREADS] * (threads > 1)
    assert run(small(function, basis_degree=3)) == run(small(function, basis_degree=3))
    assert numbers(run(small(function, basis_degree=3, seed=0))) != numbers(three)


def test_degenerate_puts():
    deep = _native.price_american_put({**SMALL, "s0": 40.0, "k": 100.0, "r": 0.08})
    assert (deep["price"], deep["stderr"], deep["values"]["details"]["price"]) == (60.0, 0.0, 60.0)
    bermudan = _native.price_bermudan_put({**small("price_bermudan_put"), "s0": 40.0, "k": 100.0, "r": 0.08})
    assert bermudan["price"] < 60.0 and bermudan["stderr"] > 0.0  # no exercise at time 0
    flat = _native.price_american_put({**SMALL, "sigma": 0.0, "r": 0.0, "s0": 90.0})
    assert (flat["price"], flat["stderr"]) == (10.0, 0.0)
    for result in (deep, bermudan, flat, _native.price_american_put({**SMALL, "s0": 130.0, "sigma": 0.5})):
        details = result["values"]["details"]
        exercised = details["early_exercise_count"] + details["maturity_exercise_count"]
        assert 0 <= details["early_exercise_count"] <= exercised <= details["paths"]


# Paths from one stream, path by path; the policy fitted backwards over the exercise dates; counts of
# early and maturity exercises and of dates with a regression. n_threads changes no number.
@pytest.mark.parametrize("function, config, known", [
    ("price_american_put", {"n_paths": 2001, "n_steps": 15, "basis_degree": 3},
     (6.768703057910645, 0.1866174966508614, 723, 273, 14)),
    ("price_american_put", {"n_paths": 700, "n_steps": 40, "s0": 120.0, "sigma": 0.5, "n_threads": 8},
     (12.549342969216172, 0.6408980886535569, 242, 76, 39)),
    ("price_bermudan_put", {"n_paths": 2999, "n_steps": 13, "basis_degree": 3, "s0": 90.0, "sigma": 0.35,
                            "exercise_steps": [3, 7, 13]}, (17.306460289071325, 0.28117822374750534, 961, 1088, 2)),
])
def test_known_values(function, config, known):
    result = getattr(_native, function)(config)
    details = result["values"]["details"]
    assert (result["price"], result["stderr"]) == pytest.approx(known[:2], rel=1e-12)
    counts = details["early_exercise_count"], details["maturity_exercise_count"], details["regression_steps"]
    assert counts == known[2:]


# (s0, sigma, t, American put): a Cox-Ross-Rubinstein tree of 3000 steps with early exercise at
# every node, k = 40, r = 0.06, computed once and pinned.
GRID = [(36.0, 0.2, 1.0, 4.486744557742648), (44.0, 0.4, 1.0, 3.953256095920891),
        (40.0, 0.2, 2.0, 2.8898091633956042), (36.0, 0.4, 2.0, 8.514173078050023)]
BIAS = 0.03  # low from the estimated policy and discrete dates, high from fitting and valuing on the same paths


@pytest.mark.parametrize("s0, sigma, t, tree", GRID)
def test_american_against_binomial_tree_and_bermudan_between(s0, sigma, t, tree):
    config = {"s0": s0, "k": 40.0, "r": 0.06, "sigma": sigma, "t": t, "n_paths": 50000, "n_steps": int(50 * t)}
    american = _native.price_american_put(config)
    assert abs(american["price"] - tree) <= 4.0 * american["stderr"] + BIAS, (american["price"], tree)
    assert american["values"]["details"]["regression_steps"] == int(50 * t) - 1
    dates = [int(12.5 * t), int(25 * t), int(37.5 * t)]
    bermudan = _native.price_bermudan_put({**config, "exercise_steps": dates})
    assert black_scholes_put(s0, 40.0, 0.06, sigma, t) - 4.0 * bermudan["stderr"] < bermudan["price"]
    assert bermudan["price"] < american["price"] + 2.0 * american["stderr"]
    assert bermudan["price"] < tree + 4.0 * bermudan["stderr"]
