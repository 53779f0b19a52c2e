"""Arithmetic Asian call by multilevel Monte Carlo: result layout, validation,
replicates, overflow and memory failures, and agreement with independent
computations (a pure-Python recomputation of the level estimators, the plain
Asian pricer on one level, a long single-level run on the finest grid)."""

from __future__ import annotations

import json
import math
import time

import pytest

import brisklane
from brisklane import cli
from test_european import NormalStream, derive_worker_seed

mlmc = brisklane.arithmetic_asian_mlmc

DEFAULT_CONFIG = {
    "s0": 100.0,
    "k": 100.0,
    "r": 0.03,
    "sigma": 0.2,
    "t": 1.0,
    "base_steps": 16,
    "levels": 4,
    "refinement_factor": 2,
    "paths_per_level": [50000, 25000, 12500, 6250],
    "seed": 42,
    "sampling": "pseudorandom",
    "scramble_replicates": 1,
}

SMALL = {"base_steps": 4, "levels": 3, "paths_per_level": [400, 200, 100]}


@pytest.fixture(scope="module")
def default_result():
    return mlmc({})


# ---------------------------------------------------------------------------
# Result layout
# ---------------------------------------------------------------------------


def test_default_result(default_result):
    result = default_result
    assert list(result) == ["manifest", "stderr", "values", "warnings"]
    assert result["warnings"] == []
    manifest = result["manifest"]
    assert manifest["function"] == manifest["workload"] == "arithmetic_asian_mlmc"
    assert manifest["config"] == DEFAULT_CONFIG
    assert list(manifest["config"]) == sorted(DEFAULT_CONFIG)

    values = result["values"]
    assert list(values) == sorted(values)
    assert result["stderr"] == values["stderr"]
    assert [level["fine_steps"] for level in values["levels"]] == [16, 32, 64, 128]
    assert [level["coarse_steps"] for level in values["levels"]] == [None, 16, 32, 64]
    assert [level["cost_step_updates"] for level in values["levels"]] == [800000, 1200000, 1200000, 1200000]
    assert [level["paths"] for level in values["levels"]] == [50000, 25000, 12500, 6250]
    assert [level["level"] for level in values["levels"]] == [0, 1, 2, 3]
    assert values["total_paths"] == 93750
    assert values["total_step_updates"] == 4400000
    assert values["scramble_replicates"] == 1
    assert values["replicate_estimates"] == [values["price"]]
    for level in values["levels"]:
        assert list(level) == sorted(level)
        assert isinstance(level["mean"], float) and isinstance(level["cost_step_updates"], int)
        n = level["paths"]
        assert level["stderr"] == pytest.approx(math.sqrt(level["variance"] / n), rel=1e-15)
    assert values["price"] == pytest.approx(sum(level["mean"] for level in values["levels"]), rel=1e-15)
    assert values["stderr"] == pytest.approx(
        math.sqrt(sum(level["stderr"] ** 2 for level in values["levels"])), rel=1e-12
    )


def test_same_config_same_result(default_result):
    assert mlmc({}) == default_result
    assert mlmc({"paths_per_level": None, "seed": None}) == default_result


def test_values_are_read_in_order_with_aliases(recording_config):
    config = recording_config({"spot": 90, "paths_per_level": (10, 5, 3, 2)})
    result = mlmc(config)
    assert config.keys == [
        "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity",
        "base_steps", "levels", "refinement_factor", "paths_per_level", "seed", "sampling",
        "scramble_replicates",
    ]
    assert result["manifest"]["config"]["s0"] == 90.0
    assert result["manifest"]["config"]["paths_per_level"] == [10, 5, 3, 2]


# ---------------------------------------------------------------------------
# Validation and conversion errors
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "config, message",
    [
        ({"base_steps": 0, "levels": 0}, "base_steps must be > 0"),
        ({"levels": 0, "refinement_factor": 1}, "levels must be > 0"),
        ({"refinement_factor": 1, "paths_per_level": [1]}, "refinement_factor must be >= 2"),
        ({"refinement_factor": 0}, "refinement_factor must be >= 2"),
        (
            {"paths_per_level": [10, 10, 10], "scramble_replicates": 0},
            "assertion `left == right` failed: paths_per_level must contain one positive path count per level\n"
            "  left: 3\n right: 4",
        ),
        ({"paths_per_level": [], "levels": 2}, "assertion `left == right` failed: paths_per_level must contain "
         "one positive path count per level\n  left: 0\n right: 2"),
        ({"paths_per_level": [10, 0, 10, 10], "scramble_replicates": 0}, "paths_per_level values must be > 0"),
        ({"scramble_replicates": 0}, "scramble_replicates must be > 0"),
    ],
)
def test_validation_messages(panic_exception, config, message):
    with pytest.raises(panic_exception) as info:
        mlmc(config)
    assert str(info.value) == message


def test_the_length_message_has_three_lines(panic_exception):
    with pytest.raises(panic_exception) as info:
        mlmc({"paths_per_level": [1, 2, 3]})
    lines = str(info.value).split("\n")
    assert lines == [
        "assertion `left == right` failed: paths_per_level must contain one positive path count per level",
        "  left: 3",
        " right: 4",
    ]


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("50000,25000", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ([1.5, 2, 3, 4], TypeError, None),
        ([-1, 2, 3, 4], OverflowError, None),
        ([2**64, 2, 3, 4], OverflowError, None),
    ],
)
def test_paths_per_level_conversion(value, error, message):
    with pytest.raises(error) as info:
        mlmc({"paths_per_level": value})
    if message is not None:
        assert str(info.value) == message


def test_unknown_sampling_is_a_value_error():
    with pytest.raises(ValueError, match="unsupported sampling method 'sobol'"):
        mlmc({"sampling": "sobol"})


def test_fine_step_overflow_fails_at_once(panic_exception):
    # Levels 0 and 1 would need 2^62 and 2^63 steps per path; the overflow of
    # level 2 must be found before any of them runs.
    start = time.perf_counter()
    for sampling in ("pseudorandom", "scrambled_sobol"):
        with pytest.raises(panic_exception) as info:
            mlmc({"base_steps": 2**62, "levels": 3, "paths_per_level": [1, 1, 1], "sampling": sampling})
        assert str(info.value) == "MLMC fine step count overflowed usize"
    assert time.perf_counter() - start < 5.0


def test_buffer_that_cannot_exist_is_a_memory_error():
    with pytest.raises(MemoryError) as info:
        mlmc({"base_steps": 2**61, "levels": 1, "paths_per_level": [1], "sampling": "latin_hypercube"})
    assert str(info.value) == "cannot allocate MLMC normal buffer: 2305843009213693952 values"


def test_replicate_count_that_cannot_be_stored_is_a_memory_error():
    with pytest.raises(MemoryError) as info:
        mlmc(dict(SMALL, sampling="scrambled_sobol", scramble_replicates=2**62))
    assert str(info.value) == "cannot allocate MLMC replicate estimates: 4611686018427387904 values"


# ---------------------------------------------------------------------------
# Replicates
# ---------------------------------------------------------------------------


def test_pseudorandom_never_replicates():
    once = mlmc(SMALL)
    five = mlmc(dict(SMALL, scramble_replicates=5))
    assert five["values"]["scramble_replicates"] == 1
    assert five["values"] == once["values"]
    assert five["manifest"]["config"]["scramble_replicates"] == 5


def test_structured_single_replicate_is_one_run():
    result = mlmc(dict(SMALL, sampling="randomized_halton"))["values"]
    assert result["scramble_replicates"] == 1
    assert result["replicate_estimates"] == [result["price"]]


@pytest.mark.parametrize("sampling", ["scrambled_sobol", "latin_hypercube"])
def test_two_replicates(sampling):
    config = dict(SMALL, sampling=sampling, scramble_replicates=2, seed=9)
    values = mlmc(config)["values"]
    first, second = values["replicate_estimates"]
    assert values["scramble_replicates"] == 2
    assert values["stderr"] == pytest.approx(abs(first - second) / 2.0, rel=1e-12)
    assert values["price"] == (first + second) / 2.0
    assert [level["paths"] for level in values["levels"]] == [800, 400, 200]
    assert values["total_paths"] == 1400
    # Each replicate is a full run seeded from the replicate index.
    for r, estimate in enumerate((first, second)):
        single = mlmc(dict(config, seed=derive_worker_seed(9, r), scramble_replicates=1))["values"]
        assert single["price"] == estimate
    assert values["total_step_updates"] == 2 * single["total_step_updates"]


def test_bridge_sampling_uses_the_plain_sobol_points():
    sobol = mlmc(dict(SMALL, sampling="scrambled_sobol"))["values"]
    bridge = mlmc(dict(SMALL, sampling="scrambled_sobol_brownian_bridge"))["values"]
    assert sobol == bridge


# ---------------------------------------------------------------------------
# Against independent computations
# ---------------------------------------------------------------------------


def reference_level(config, level, paths, n_f):
    """(sum Y, sum Y^2) of one pseudorandom level, recomputed scalar by scalar."""
    s0, k, r, sigma, t, m = (config[key] for key in ("s0", "k", "r", "sigma", "t", "refinement_factor"))
    disc = math.exp(-(r * t))

    def grid(n):
        dt = t / n
        return dt * (r + sigma * (sigma * -0.5)), sigma * math.sqrt(dt)

    stream = NormalStream(derive_worker_seed(config["seed"], level))
    fine_drift, fine_vol = grid(n_f)
    total = total_sq = 0.0
    for _ in range(paths):
        if level == 0:
            x, average = math.log(s0), 0.0
            for _ in range(n_f):
                x = x + (fine_drift + fine_vol * stream.next_normal())
                average = average + math.exp(x)
            y = disc * max(average / n_f - k, 0.0)
        else:
            n_c = n_f // m
            coarse_drift, coarse_vol = grid(n_c)
            xf = xc = math.log(s0)
            af = ac = 0.0
            for _ in range(n_c):
                z_sum = 0.0
                for _ in range(m):
                    z = stream.next_normal()
                    xf = xf + (fine_drift + fine_vol * z)
                    af = af + math.exp(xf)
                    z_sum = z_sum + z
                xc = xc + (coarse_drift + coarse_vol * (z_sum / math.sqrt(m)))
                ac = ac + math.exp(xc)
            y = disc * max(af / (n_c * m) - k, 0.0) - disc * max(ac / n_c - k, 0.0)
        total += y
        total_sq += y * y
    return total, total_sq


@pytest.mark.parametrize(
    "overrides",
    [
        {"base_steps": 3, "levels": 3, "refinement_factor": 2, "paths_per_level": [60, 30, 15]},
        {"base_steps": 2, "levels": 2, "refinement_factor": 3, "paths_per_level": [25, 11], "seed": 5, "k": 95.0},
    ],
)
def test_matches_a_scalar_recomputation(overrides):
    config = dict(DEFAULT_CONFIG, **overrides)
    values = mlmc(overrides)["values"]
    price = variance = 0.0
    n_f = config["base_steps"]
    for level, paths in enumerate(config["paths_per_level"]):
        total, total_sq = reference_level(config, level, paths, n_f)
        mean = total / paths
        level_variance = max(total_sq / paths - mean * mean, 0.0)
        got = values["levels"][level]
        assert got["fine_steps"] == n_f
        assert got["mean"] == pytest.approx(mean, rel=1e-11, abs=1e-13)
        assert got["variance"] == pytest.approx(level_variance, rel=1e-9, abs=1e-13)
        price += mean
        variance += level_variance / paths
        n_f *= config["refinement_factor"]
    assert values["price"] == pytest.approx(price, rel=1e-12)
    assert values["stderr"] == pytest.approx(math.sqrt(variance), rel=1e-9)


@pytest.mark.parametrize("sampling", ["pseudorandom", "latin_hypercube", "scrambled_sobol"])
def test_one_level_is_the_plain_asian_call_on_the_base_grid(sampling):
    values = mlmc({"levels": 1, "paths_per_level": [3000], "base_steps": 12, "seed": 3, "sampling": sampling})["values"]
    plain = brisklane.price_arithmetic_asian_call(
        {"n_paths": 3000, "n_steps": 12, "seed": derive_worker_seed(3, 0), "sampling": sampling, "n_threads": 1}
    )
    assert values["price"] == plain["price"]
    assert values["stderr"] == pytest.approx(plain["stderr"], rel=1e-14)
    assert values["levels"][0]["coarse_steps"] is None


def test_within_four_standard_errors_of_a_long_run_on_the_finest_grid(default_result):
    values = default_result["values"]
    finest = brisklane.price_arithmetic_asian_call({"n_steps": 128, "n_paths": 200000, "seed": 2024})
    combined = math.hypot(values["stderr"], finest["stderr"])
    assert abs(values["price"] - finest["price"]) < 4.0 * combined


def test_levels_with_constant_samples_have_zero_variance():
    values = mlmc(dict(SMALL, k=1e9))["values"]
    for level in values["levels"]:
        assert level["mean"] == 0.0 and level["variance"] == 0.0 and level["stderr"] == 0.0
    assert values["price"] == 0.0 and values["stderr"] == 0.0


def test_corrections_shrink_with_the_grid(default_result):
    levels = default_result["values"]["levels"]
    assert levels[0]["variance"] > 100 * levels[1]["variance"]
    assert levels[1]["variance"] > levels[2]["variance"] > levels[3]["variance"]


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_price_json(capsys):
    code, out, err = run(capsys, "price", "arithmetic_asian_mlmc", "--json", "paths_per_level=400,200", "levels=2")
    assert code == 0, err
    assert json.loads(out) == mlmc({"paths_per_level": [400, 200], "levels": 2})


def test_cli_price_summary(capsys):
    code, out, err = run(
        capsys, "price", "arithmetic_asian_mlmc", "paths_per_level=400,200", "levels=2",
        "sampling=scrambled_sobol", "scramble_replicates=3",
    )
    assert code == 0, err
    values = mlmc({"paths_per_level": [400, 200], "levels": 2, "sampling": "scrambled_sobol",
                   "scramble_replicates": 3})["values"]
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition("  ")
        fields[label.strip()] = value.strip()
    assert fields["price"] == f"{values['price']:.6f}"
    assert fields["standard error"] == f"{values['stderr']:.6f}"
    assert fields["paths"] == "1,800"
    assert fields["replicates"] == "3"
    assert fields["step updates"] == f"{values['total_step_updates']:,}"
    assert fields["level 1"].startswith("steps 32/16, paths 600, ")


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["paths_per_level=1,2,3"], "assertion `left == right` failed: paths_per_level must contain one positive "
         "path count per level left: 3 right: 4"),
        (["paths_per_level=1,x"], "expected a comma-separated list of integers, got '1,x'"),
        (["levels=0"], "levels must be > 0"),
    ],
)
def test_cli_errors(capsys, argv, expected):
    code, out, err = run(capsys, "price", "arithmetic_asian_mlmc", *argv)
    assert code == 2 and out == ""
    assert err.splitlines() == [f"error: {expected}"]


def test_cli_demo_row(capsys):
    code, out, err = run(capsys, "demo", "--product", "arithmetic_asian_mlmc")
    assert code == 0, err
    rows = [line.split() for line in out.splitlines() if line.startswith("arithmetic_asian_mlmc ")]
    assert len(rows) == 5
    assert all(row[2] == "-" and row[5] == "n/a" for row in rows)
    expected = mlmc({"paths_per_level": [4000, 2000, 1000, 500], "sampling": "pseudorandom"})["values"]
    assert rows[0][3] == f"{expected['price']:.6f}"
