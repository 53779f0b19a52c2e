"""American and Bermudan puts by Longstaff-Schwartz regression.

Reading and echoing the configuration, validation order, schedule repair and
the warnings list, bit-identical results for every ``n_threads``, allocation
failures as MemoryError, and prices against a binomial tree computed here and
against the Black-Scholes European put.
"""

from __future__ import annotations

import json
import math

import numpy as np
import pytest

import brisklane
from brisklane import _native, cli

ESTIMATOR = (
    "Longstaff-Schwartz estimate uses Laguerre basis regression on simulated GBM paths; it is a lower-biased "
    "Monte Carlo estimator and should be benchmarked against external references before broad product claims."
)
AMERICAN_NOTE = (
    "American-put support is CPU reference only; native GPU, Greeks, dividends, stochastic rates, and "
    "multi-asset exercise policies are not implemented yet."
)
BERMUDAN_NOTE = (
    "Bermudan-put support is CPU reference only; native GPU, Greeks, dividends, stochastic rates, and "
    "multi-asset exercise policies are not implemented yet."
)
CLAMPED = "basis_degree was clamped to the supported range [1, 3]."
THREADS = "n_threads is accepted for API symmetry, but the v1 LSM regression path is single-thread deterministic."
SORTED = "exercise_steps were sorted and deduplicated before LSM execution."
APPENDED = "Maturity was appended to exercise_steps because terminal payoff is always evaluated."
SORTED_AND_APPENDED = SORTED + " Maturity was appended because terminal payoff is always evaluated."

PUTS = ("price_american_put", "price_bermudan_put")
SMALL = {"n_paths": 2000, "n_steps": 16}
SMALL_SCHEDULE = {"n_paths": 2000, "n_steps": 16, "exercise_steps": [4, 8, 12, 16]}

DEFAULT_CONFIG = {
    "s0": 100.0,
    "k": 100.0,
    "r": 0.03,
    "sigma": 0.2,
    "t": 1.0,
    "n_paths": 100000,
    "n_steps": 64,
    "seed": 42,
    "n_threads": 0,
    "basis_degree": 2,
}
DETAIL_KEYS = [
    "early_exercise_count",
    "maturity_exercise_count",
    "paths",
    "price",
    "regression_basis",
    "regression_steps",
    "seed",
    "stderr",
    "steps",
    "warnings",
    "workload",
]


def small(function: str, **overrides):
    base = SMALL if function == "price_american_put" else SMALL_SCHEDULE
    return {**base, **overrides}


def numbers(result):
    """Everything numeric of a put result, warnings left out."""
    details = {key: value for key, value in result["values"]["details"].items() if key != "warnings"}
    return result["price"], result["stderr"], details


# ---------------------------------------------------------------------------
# Independent references
# ---------------------------------------------------------------------------


def _normal_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def black_scholes_put(s0, k, r, sigma, t):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    return k * math.exp(-r * t) * _normal_cdf(-(d1 - sd)) - s0 * _normal_cdf(-d1)


def binomial_american_put(s0, k, r, sigma, t, steps=3000):
    """Cox-Ross-Rubinstein tree with early exercise at every node."""
    dt = t / steps
    up = math.exp(sigma * math.sqrt(dt))
    down = 1.0 / up
    growth = math.exp(r * dt)
    p = (growth - down) / (up - down)
    discount = 1.0 / growth
    spot = s0 * up ** (steps - 2.0 * np.arange(steps + 1))
    value = np.maximum(k - spot, 0.0)
    for level in range(steps - 1, -1, -1):
        spot = spot[: level + 1] * down
        value = discount * (p * value[: level + 1] + (1.0 - p) * value[1 : level + 2])
        np.maximum(value, k - spot, out=value)
    return float(value[0])


def test_references_are_sound():
    # European put by put-call parity with the command line's call.
    assert black_scholes_put(100.0, 100.0, 0.03, 0.2, 1.0) == pytest.approx(
        cli.black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0) - 100.0 + 100.0 * math.exp(-0.03), rel=1e-12
    )
    # The tree's American put lies above the European put and converges.
    american = binomial_american_put(36.0, 40.0, 0.06, 0.2, 1.0)
    assert american > black_scholes_put(36.0, 40.0, 0.06, 0.2, 1.0) + 0.5
    assert american == pytest.approx(binomial_american_put(36.0, 40.0, 0.06, 0.2, 1.0, steps=1500), abs=2e-3)


# ---------------------------------------------------------------------------
# Envelope and configuration
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def default_american():
    return _native.price_american_put({})


@pytest.fixture(scope="module")
def default_bermudan():
    return _native.price_bermudan_put({})


def test_functions_are_registered_after_the_european_call():
    names = list(vars(_native))
    assert names.index("price_european_call") < names.index("price_american_put")
    assert names.index("price_bermudan_put") == names.index("price_american_put") + 1
    for name in PUTS:
        assert getattr(brisklane, name) is getattr(_native, name)
        assert getattr(_native, name).__text_signature__ == "(config)"


def test_american_envelope(default_american):
    result = default_american
    assert list(result) == ["manifest", "price", "stderr", "values", "warnings"]
    manifest = result["manifest"]
    assert manifest["function"] == "price_american_put"
    assert manifest["workload"] == "american_put"
    assert manifest["schema_version"] == "python-native-runtime.v1"
    assert manifest["config"] == DEFAULT_CONFIG
    assert list(manifest["config"]) == sorted(DEFAULT_CONFIG)
    values = result["values"]
    assert list(values) == ["details", "price", "stderr"]
    details = values["details"]
    assert list(details) == DETAIL_KEYS
    assert details["workload"] == "american_put"
    assert result["price"] == values["price"] == details["price"]
    assert result["stderr"] == values["stderr"] == details["stderr"]
    assert (details["paths"], details["steps"], details["seed"]) == (100000, 64, 42)
    assert details["regression_basis"] == "laguerre_lsm_degree_2"
    assert 0 < details["regression_steps"] <= 63
    assert result["warnings"] == details["warnings"] == [ESTIMATOR, AMERICAN_NOTE]
    assert type(result["price"]) is float and type(details["early_exercise_count"]) is int
    # Above the European put, near the American value.
    european = black_scholes_put(100.0, 100.0, 0.03, 0.2, 1.0)
    assert european < result["price"] < european + 0.5


def test_bermudan_envelope(default_bermudan, default_american):
    result = default_bermudan
    manifest = result["manifest"]
    assert manifest["function"] == "price_bermudan_put"
    assert manifest["workload"] == "bermudan_put"
    assert manifest["config"] == {**DEFAULT_CONFIG, "exercise_steps": [16, 32, 48, 64]}
    details = result["values"]["details"]
    assert list(details) == sorted(DETAIL_KEYS + ["exercise_schedule", "exercise_date_count"])
    assert details["workload"] == "bermudan_put"
    assert details["exercise_schedule"] == [16, 32, 48, 64]
    assert details["exercise_date_count"] == 4
    assert 0 < details["regression_steps"] <= 3
    assert result["warnings"] == [ESTIMATOR, BERMUDAN_NOTE]
    # Same paths as the default American put, fewer exercise dates.
    assert black_scholes_put(100.0, 100.0, 0.03, 0.2, 1.0) < result["price"] < default_american["price"]


def test_echo_keeps_the_schedule_as_given():
    result = _native.price_bermudan_put(small("price_bermudan_put", exercise_steps=(12, 4, 4, 12)))
    assert result["manifest"]["config"]["exercise_steps"] == [12, 4, 4, 12]
    assert result["values"]["details"]["exercise_schedule"] == [4, 12, 16]


def test_aliases():
    given = {"spot": 95, "strike": 105, "rate": 0.01, "volatility": 0.3, "maturity": 0.5, "paths": 1000, "steps": 8}
    result = _native.price_american_put(given)
    config = result["manifest"]["config"]
    assert (config["s0"], config["k"], config["r"], config["sigma"], config["t"]) == (95.0, 105.0, 0.01, 0.3, 0.5)
    assert (config["n_paths"], config["n_steps"]) == (1000, 8)
    assert _native.price_american_put({**given, "s0": 90, "spot": None})["manifest"]["config"]["s0"] == 90.0


@pytest.mark.parametrize("function", PUTS)
def test_reading_order(function, recording_config):
    config = recording_config({"n_paths": 500, "n_steps": 4, "exercise_steps": [2]})
    getattr(_native, function)(config)
    expected = ["s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity"]
    expected += ["n_paths", "n_steps", "seed", "n_threads", "basis_degree"]
    if function == "price_bermudan_put":
        expected.append("exercise_steps")
    assert config.keys == expected


@pytest.mark.parametrize("function", PUTS)
def test_first_failing_conversion_stops_reading(function, recording_config):
    config = recording_config({"n_paths": 1.5, "basis_degree": "x", "exercise_steps": "x"})
    with pytest.raises(TypeError):
        getattr(_native, function)(config)
    assert config.keys[-1] == "n_paths"
    config = recording_config({"basis_degree": -1, "exercise_steps": "x"})
    with pytest.raises(OverflowError):
        getattr(_native, function)(config)
    assert config.keys[-1] == "basis_degree"


# ---------------------------------------------------------------------------
# exercise_steps as a Python value
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "steps",
    [[4, 16], (4, 16), range(4, 17, 12), np.array([4, 16], dtype=np.int64), [True, 16], [np.uint8(4), 16]],
    ids=["list", "tuple", "range", "ndarray", "bool", "numpy-int"],
)
def test_exercise_steps_accepts_integer_sequences(steps):
    result = _native.price_bermudan_put({**SMALL, "exercise_steps": steps})
    expected = [int(step) for step in steps]
    assert result["manifest"]["config"]["exercise_steps"] == expected
    assert result["values"]["details"]["exercise_schedule"] == sorted(set(expected) | {16})


@pytest.mark.parametrize(
    "steps, error, message",
    [
        ("16,32", TypeError, "Can't extract `str` to `Vec`"),
        ("", TypeError, "Can't extract `str` to `Vec`"),
        (16, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({16: 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ({16}, TypeError, "'set' object cannot be converted to 'Sequence'"),
        ([16, 1.5], TypeError, None),
        ([16, "8"], TypeError, None),
        ([16, -1], OverflowError, None),
        ([2**64], OverflowError, None),
    ],
    ids=["str", "empty-str", "int", "dict", "set", "float-item", "str-item", "negative-item", "huge-item"],
)
def test_exercise_steps_conversion_errors(steps, error, message):
    # Conversion comes before any validation, so the invalid n_paths is not reached.
    with pytest.raises(error) as info:
        _native.price_bermudan_put({"n_paths": 0, "exercise_steps": steps})
    if message is not None:
        assert str(info.value) == message


def test_exercise_steps_none_keeps_the_default():
    assert _native.price_bermudan_put({"n_paths": 500, "exercise_steps": None})["manifest"]["config"][
        "exercise_steps"
    ] == [16, 32, 48, 64]


def test_american_put_does_not_read_exercise_steps():
    result = _native.price_american_put({**SMALL, "exercise_steps": "not read"})
    assert "exercise_steps" not in result["manifest"]["config"]


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------

NAN = float("nan")
VALIDATION = [
    ({"n_paths": 0, "n_steps": 1, "s0": -1.0}, "n_paths must be > 0"),
    ({"n_steps": 1, "s0": -1.0}, "n_steps must be >= 2 for LSM regression"),
    ({"n_steps": 0}, "n_steps must be >= 2 for LSM regression"),
    ({"s0": 0.0, "k": 0.0}, "s0 must be > 0"),
    ({"s0": NAN}, "s0 must be > 0"),
    ({"k": -1.0, "sigma": -1.0}, "k must be > 0"),
    ({"k": NAN}, "k must be > 0"),
    ({"sigma": -0.01, "t": 0.0}, "sigma must be >= 0"),
    ({"sigma": NAN}, "sigma must be >= 0"),
    ({"t": 0.0, "basis_degree": 0}, "t must be > 0"),
    ({"t": NAN}, "t must be > 0"),
    ({"basis_degree": 0}, "basis_degree must be > 0"),
]


@pytest.mark.parametrize("function", PUTS)
@pytest.mark.parametrize("overrides, message", VALIDATION, ids=[m for _, m in VALIDATION])
def test_validation_messages_in_order(function, overrides, message, panic_exception):
    config = {**small(function), **overrides}
    if function == "price_bermudan_put":
        config["exercise_steps"] = []  # the schedule checks come after every other
    with pytest.raises(panic_exception) as info:
        getattr(_native, function)(config)
    assert str(info.value) == message
    assert not isinstance(info.value, Exception)


SCHEDULE_VALIDATION = [
    ({"exercise_steps": []}, "exercise_steps must include at least one exercise date"),
    ({"exercise_steps": [0]}, "exercise_steps must be in 1..=n_steps"),
    ({"exercise_steps": [17]}, "exercise_steps must be in 1..=n_steps"),
    ({"exercise_steps": [4, 8, 0, 99]}, "exercise_steps must be in 1..=n_steps"),
    ({"exercise_steps": [64], "n_steps": 64}, None),
    ({"exercise_steps": [65], "n_steps": 64}, "exercise_steps must be in 1..=n_steps"),
    ({"exercise_steps": [], "basis_degree": 0}, "basis_degree must be > 0"),
    ({"exercise_steps": [0], "t": -1.0}, "t must be > 0"),
    ({"exercise_steps": [99], "n_paths": 0}, "n_paths must be > 0"),
    ({"exercise_steps": [1], "n_steps": 1}, "n_steps must be >= 2 for LSM regression"),
]


@pytest.mark.parametrize("overrides, message", SCHEDULE_VALIDATION)
def test_schedule_checks_come_after_checks_one_to_seven(overrides, message, panic_exception):
    config = {**SMALL, "n_paths": 500, **overrides}
    if message is None:
        _native.price_bermudan_put(config)
        return
    with pytest.raises(panic_exception) as info:
        _native.price_bermudan_put(config)
    assert str(info.value) == message


def test_rate_and_sigma_zero_are_accepted():
    result = _native.price_american_put({**SMALL, "sigma": 0.0, "r": 0.0, "s0": 90.0})
    # No randomness, no discounting: every path ends at 90 and pays 10, as does exercising at once.
    assert result["price"] == 10.0
    assert result["stderr"] == 0.0


def test_module_usable_after_a_validation_failure(panic_exception):
    with pytest.raises(panic_exception):
        _native.price_bermudan_put({"exercise_steps": []})
    assert _native.price_bermudan_put(SMALL_SCHEDULE)["price"] > 0.0


# ---------------------------------------------------------------------------
# Schedule, warnings, basis degree
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "steps, schedule, note",
    [
        ([64, 16, 16], [16, 64], SORTED),
        ([16, 16, 64], [16, 64], SORTED),
        ([10, 20], [10, 20, 64], APPENDED),
        ([20, 10], [10, 20, 64], SORTED_AND_APPENDED),
        ([20, 10, 20], [10, 20, 64], SORTED_AND_APPENDED),
        ([16, 32, 48, 64], [16, 32, 48, 64], None),
        ([64], [64], None),
    ],
)
def test_schedule_notes(steps, schedule, note):
    result = _native.price_bermudan_put({"n_paths": 1500, "exercise_steps": steps})
    details = result["values"]["details"]
    assert details["exercise_schedule"] == schedule
    assert details["exercise_date_count"] == len(schedule)
    assert details["regression_steps"] <= len(schedule) - 1
    expected = [ESTIMATOR, BERMUDAN_NOTE] + ([note] if note is not None else [])
    assert result["warnings"] == details["warnings"] == expected


def test_only_maturity_regresses_nothing():
    result = _native.price_bermudan_put({"n_paths": 4000, "exercise_steps": [64]})
    details = result["values"]["details"]
    assert details["regression_steps"] == 0
    assert details["early_exercise_count"] == 0
    european = black_scholes_put(100.0, 100.0, 0.03, 0.2, 1.0)
    assert abs(result["price"] - european) < 4.0 * result["stderr"]


@pytest.mark.parametrize("function", PUTS)
@pytest.mark.parametrize(
    "extra, warnings",
    [
        ({}, []),
        ({"n_threads": 1}, []),
        ({"n_threads": 2}, [THREADS]),
        ({"basis_degree": 3}, []),
        ({"basis_degree": 4}, [CLAMPED]),
        ({"basis_degree": 5, "n_threads": 8}, [CLAMPED, THREADS]),
    ],
)
def test_warnings_in_order(function, extra, warnings):
    note = AMERICAN_NOTE if function == "price_american_put" else BERMUDAN_NOTE
    result = getattr(_native, function)(small(function, **extra))
    assert result["warnings"] == [ESTIMATOR, note] + warnings


def test_every_warning_with_the_schedule_note_last():
    result = _native.price_bermudan_put({**SMALL, "exercise_steps": [8, 4], "basis_degree": 9, "n_threads": 2})
    assert result["warnings"] == [ESTIMATOR, BERMUDAN_NOTE, CLAMPED, THREADS, SORTED_AND_APPENDED]


@pytest.mark.parametrize("function", PUTS)
def test_basis_degree_clamping(function):
    run = getattr(_native, function)
    three = run(small(function, basis_degree=3))
    for degree in (4, 5, 7, 2**64 - 1):
        clamped = run(small(function, basis_degree=degree))
        assert clamped["values"]["details"]["regression_basis"] == "laguerre_lsm_degree_3"
        assert clamped["warnings"][2] == CLAMPED
        assert clamped["manifest"]["config"]["basis_degree"] == degree
        assert numbers(clamped) == numbers(three)
    ones = run(small(function, basis_degree=1))
    assert ones["values"]["details"]["regression_basis"] == "laguerre_lsm_degree_1"
    assert ones["price"] != three["price"]


@pytest.mark.parametrize("function", PUTS)
def test_n_threads_leaves_every_number_identical(function):
    run = getattr(_native, function)
    reference = numbers(run(small(function, n_threads=1)))
    for threads in (0, 2, 3, 8, 2**64 - 1):
        result = run(small(function, n_threads=threads))
        assert numbers(result) == reference
        assert (THREADS in result["warnings"]) == (threads >= 2)


@pytest.mark.parametrize("function", PUTS)
def test_reproducible_and_seeded(function):
    run = getattr(_native, function)
    first = run(small(function))
    assert run(small(function)) == first
    assert run(small(function, seed=7))["price"] != first["price"]
    assert numbers(run(small(function, seed=0))) != numbers(first)


@pytest.mark.parametrize(
    "function, overrides",
    [
        ("price_american_put", {}),
        ("price_american_put", {"s0": 80.0}),
        ("price_american_put", {"s0": 130.0, "sigma": 0.5}),
        ("price_bermudan_put", {}),
        ("price_bermudan_put", {"s0": 70.0, "exercise_steps": [1, 2, 3]}),
    ],
)
def test_counts_add_up_to_at_most_n_paths(function, overrides):
    details = getattr(_native, function)(small(function, **overrides))["values"]["details"]
    early, maturity = details["early_exercise_count"], details["maturity_exercise_count"]
    assert early >= 0 and maturity >= 0
    assert early + maturity <= details["paths"]


def test_deep_in_the_money_american_returns_intrinsic():
    result = _native.price_american_put({**SMALL, "s0": 40.0, "k": 100.0, "r": 0.08})
    assert result["price"] == 60.0
    assert result["stderr"] == 0.0
    assert result["values"]["details"]["price"] == 60.0
    # The Bermudan put cannot exercise at time 0.
    bermudan = _native.price_bermudan_put({**SMALL_SCHEDULE, "s0": 40.0, "k": 100.0, "r": 0.08})
    assert bermudan["price"] < 60.0
    assert bermudan["stderr"] > 0.0


@pytest.mark.parametrize("s0", [60.0, 90.0, 100.0, 120.0])
def test_american_never_below_intrinsic(s0):
    result = _native.price_american_put({**SMALL, "s0": s0, "r": 0.05})
    assert result["price"] >= max(100.0 - s0, 0.0)


# ---------------------------------------------------------------------------
# Allocation failures
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, config, text",
    [
        ("price_american_put", {"n_paths": 2**62}, "4611686018427387904 x 64 values overflow 64 bits"),
        ("price_bermudan_put", {"n_paths": 2**62}, "4611686018427387904 x 4 values overflow 64 bits"),
        ("price_bermudan_put", {"n_paths": 2**62, "exercise_steps": [64]}, "4611686018427387904 values"),
        ("price_bermudan_put", {"n_paths": 2**50, "exercise_steps": [64]}, "1125899906842624 values"),
    ],
)
def test_oversized_paths_raise_memory_error(function, config, text):
    with pytest.raises(MemoryError) as info:
        getattr(_native, function)(config)
    message = str(info.value)
    assert message.startswith("cannot allocate exercise-date path prices (n_paths x exercise dates): ")
    assert message.endswith(text)
    # The interpreter carries on and the module still works.
    assert getattr(_native, function)(small(function))["price"] > 0.0


def test_oversized_steps_raise_memory_error():
    with pytest.raises(MemoryError) as info:
        _native.price_american_put({"n_steps": 2**62})
    assert str(info.value) == "cannot allocate American exercise schedule (n_steps): 4611686018427387904 values"
    assert _native.price_american_put(SMALL)["price"] > 0.0


# ---------------------------------------------------------------------------
# Against independent values
# ---------------------------------------------------------------------------

GRID = [(s0, sigma, t) for s0 in (36.0, 40.0, 44.0) for sigma in (0.2, 0.4) for t in (1.0, 2.0)]
# The estimator's own bias: low from the estimated exercise policy and the
# discrete dates, high from fitting and valuing on the same paths.
BIAS = 0.03


@pytest.fixture(scope="module")
def grid_results():
    results = {}
    for s0, sigma, t in GRID:
        steps = int(50 * t)
        config = {"s0": s0, "k": 40.0, "r": 0.06, "sigma": sigma, "t": t, "n_paths": 50000, "n_steps": steps}
        american = _native.price_american_put(config)
        bermudan = None
        if t == 1.0:
            bermudan = _native.price_bermudan_put({**config, "exercise_steps": [12, 25, 37]})
        results[(s0, sigma, t)] = (american, bermudan)
    return results


@pytest.mark.parametrize("s0, sigma, t", GRID)
def test_american_put_against_binomial_tree(grid_results, s0, sigma, t):
    american, _ = grid_results[(s0, sigma, t)]
    tree = binomial_american_put(s0, 40.0, 0.06, sigma, t)
    assert abs(american["price"] - tree) <= 4.0 * american["stderr"] + BIAS, (american["price"], tree)
    assert american["values"]["details"]["regression_steps"] == int(50 * t) - 1


@pytest.mark.parametrize("s0, sigma, t", [case for case in GRID if case[2] == 1.0])
def test_bermudan_between_european_and_american(grid_results, s0, sigma, t):
    american, bermudan = grid_results[(s0, sigma, t)]
    european = black_scholes_put(s0, 40.0, 0.06, sigma, t)
    assert bermudan["values"]["details"]["exercise_schedule"] == [12, 25, 37, 50]
    assert european - 4.0 * bermudan["stderr"] < bermudan["price"]
    assert bermudan["price"] < american["price"] + 2.0 * american["stderr"]
    assert bermudan["price"] < binomial_american_put(s0, 40.0, 0.06, sigma, t, steps=1500) + 4.0 * bermudan["stderr"]


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def run_cli(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_price_american_put(capsys):
    code, out, err = run_cli(capsys, "price", "american_put", "n_paths=2000", "n_steps=16", "spot=95")
    assert code == 0, err
    result = brisklane.price_american_put({"n_paths": 2000, "n_steps": 16, "spot": 95})
    details = result["values"]["details"]
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition("  ")
        fields.setdefault(label.strip(), value.strip())
    assert fields["price"] == f"{result['price']:.6f}"
    assert fields["standard error"] == f"{result['stderr']:.6f}"
    assert fields["regression basis"] == "laguerre_lsm_degree_2"
    assert fields["regression steps"] == str(details["regression_steps"])
    assert fields["early exercise count"] == str(details["early_exercise_count"])
    assert fields["paths"] == "2,000"
    assert "sampling" not in fields and "technique" not in fields
    assert [line.split("  ", 1)[1].strip() for line in out.splitlines() if line.startswith("warning")] == [
        ESTIMATOR,
        AMERICAN_NOTE,
    ]


def test_cli_price_bermudan_put_json(capsys):
    code, out, err = run_cli(
        capsys, "price", "bermudan_put", "exercise_steps=16,32,48", "n_paths=2000", "--json"
    )
    assert code == 0, err
    parsed = json.loads(out)
    assert parsed == brisklane.price_bermudan_put({"exercise_steps": [16, 32, 48], "n_paths": 2000})
    assert parsed["manifest"]["config"]["exercise_steps"] == [16, 32, 48]
    assert parsed["values"]["details"]["exercise_schedule"] == [16, 32, 48, 64]
    assert parsed["warnings"][-1] == APPENDED


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["price", "american_put", "n_steps=1"], "n_steps must be >= 2 for LSM regression"),
        (["price", "bermudan_put", "exercise_steps=0,16"], "exercise_steps must be in 1..=n_steps"),
        (["price", "bermudan_put", "exercise_steps=a,b"], None),
        (["price", "american_put", "n_paths=4611686018427387904"], None),
    ],
)
def test_cli_put_errors(capsys, argv, expected):
    code, out, err = run_cli(capsys, *argv)
    assert code == 2 and out == ""
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ")
    if expected is not None:
        assert lines[0] == f"error: {expected}"


def test_cli_demo_includes_the_puts(capsys):
    code, out, err = run_cli(capsys, "demo", "--paths", "1000")
    assert code == 0, err
    rows = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith(("american_put ", "bermudan_put "))}
    assert set(rows) == {"american_put", "bermudan_put"}
    american = brisklane.price_american_put({"n_paths": 1000})
    assert rows["american_put"][1:6] == ["-", "-", f"{american['price']:.6f}", f"{american['stderr']:.6f}", "n/a"]
    assert "bermudan_put: basis_degree=2, exercise_steps=[16, 32, 48, 64]" in out


def test_cli_demo_of_one_put(capsys):
    code, out, err = run_cli(capsys, "demo", "--product", "bermudan_put", "--paths", "1000", "exercise_steps=8,16")
    assert code == 0, err
    assert "european_call" not in out
    expected = brisklane.price_bermudan_put({"n_paths": 1000, "exercise_steps": [8, 16]})
    row = next(line.split() for line in out.splitlines() if line.startswith("bermudan_put "))
    assert row[3] == f"{expected['price']:.6f}"


def test_cli_products_lists_the_puts(capsys):
    code, out, _ = run_cli(capsys, "products")
    assert code == 0
    for name in ("american_put", "bermudan_put"):
        line = next(line for line in out.splitlines() if line.startswith(name))
        assert f"price_{name}" in line and "yes" in line.split()
