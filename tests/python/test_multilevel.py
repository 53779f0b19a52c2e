"""Arithmetic Asian call by multilevel Monte Carlo: the default result, validation,
replicates, overflow and memory failures, known level estimates, and agreement with
the plain Asian pricer on one level and a long single-level run on the finest grid."""

from __future__ import annotations

import json
import math

import pytest

import brisklane
from conftest import summary_fields

mlmc = brisklane.arithmetic_asian_mlmc

DEFAULT_CONFIG = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "base_steps": 16, "levels": 4, "refinement_factor": 2,
    "paths_per_level": [50000, 25000, 12500, 6250], "seed": 42, "sampling": "pseudorandom", "scramble_replicates": 1,
}
SMALL = {"base_steps": 4, "levels": 3, "paths_per_level": [400, 200, 100]}
# SplitMix64 worker seeds: derived seed r of seed 9, and derived seed 0 of seed 3.
SEEDS_OF_9 = (12587370737594032228, 13847876567842155106)
SEED_0_OF_3 = 2092789425003139053
LENGTH_MESSAGE = "assertion `left == right` failed: paths_per_level must contain one positive path count per level"


@pytest.fixture(scope="module")
def default_result():
    return mlmc({})


def test_default_result(default_result):
    assert list(default_result) == ["manifest", "stderr", "values", "warnings"] and default_result["warnings"] == []
    manifest, values = default_result["manifest"], default_result["values"]
    assert manifest["function"] == manifest["workload"] == "arithmetic_asian_mlmc"
    assert manifest["config"] == DEFAULT_CONFIG and list(manifest["config"]) == sorted(DEFAULT_CONFIG)
    levels = values["levels"]
    assert [(lv["level"], lv["fine_steps"], lv["coarse_steps"], lv["paths"], lv["cost_step_updates"]) for lv in levels] == [
        (0, 16, None, 50000, 800000), (1, 32, 16, 25000, 1200000), (2, 64, 32, 12500, 1200000), (3, 128, 64, 6250, 1200000)]
    assert (values["total_paths"], values["total_step_updates"], values["scramble_replicates"]) == (93750, 4400000, 1)
    assert values["replicate_estimates"] == [values["price"]] and default_result["stderr"] == values["stderr"]
    for level in levels:
        assert level["stderr"] == pytest.approx(math.sqrt(level["variance"] / level["paths"]), rel=1e-15)
    assert values["price"] == pytest.approx(sum(level["mean"] for level in levels), rel=1e-15)
    assert values["stderr"] == pytest.approx(math.sqrt(sum(level["stderr"] ** 2 for level in levels)), rel=1e-12)
    # The corrections shrink with the grid.
    assert levels[0]["variance"] > 100 * levels[1]["variance"]
    assert levels[1]["variance"] > levels[2]["variance"] > levels[3]["variance"]
    assert mlmc({"paths_per_level": None, "seed": None}) == default_result


def test_values_are_read_in_order(recording_config):
    config = recording_config({"spot": 90, "paths_per_level": (10, 5, 3, 2)})
    result = mlmc(config)
    assert config.keys == [
        "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity",
        "base_steps", "levels", "refinement_factor", "paths_per_level", "seed", "sampling", "scramble_replicates",
    ]
    assert (result["manifest"]["config"]["s0"], result["manifest"]["config"]["paths_per_level"]) == (90.0, [10, 5, 3, 2])


@pytest.mark.parametrize("config, message", [
    ({"base_steps": 0, "levels": 0}, "base_steps must be > 0"),
    ({"levels": 0, "refinement_factor": 1}, "levels must be > 0"),
    ({"refinement_factor": 1, "paths_per_level": [1]}, "refinement_factor must be >= 2"),
    ({"paths_per_level": [10, 10, 10], "scramble_replicates": 0}, LENGTH_MESSAGE + "\n  left: 3\n right: 4"),
    ({"paths_per_level": [], "levels": 2}, LENGTH_MESSAGE + "\n  left: 0\n right: 2"),
    ({"paths_per_level": [10, 0, 10, 10], "scramble_replicates": 0}, "paths_per_level values must be > 0"),
    ({"scramble_replicates": 0}, "scramble_replicates must be > 0"),
])
def test_validation_messages(panic_exception, config, message):
    with pytest.raises(panic_exception) as info:
        mlmc(config)
    assert str(info.value) == message


def test_fine_step_overflow_fails_at_once(panic_exception):
    # Levels 0 and 1 would need 2^62 and 2^63 steps per path; level 2 overflows before any level runs.
    for sampling in ("pseudorandom", "scrambled_sobol"):
        with pytest.raises(panic_exception) as info:
            mlmc({"base_steps": 2**62, "levels": 3, "paths_per_level": [1, 1, 1], "sampling": sampling})
        assert str(info.value) == "MLMC fine step count overflowed usize"


@pytest.mark.parametrize("config, message", [
    ({"base_steps": 2**61, "levels": 1, "paths_per_level": [1], "sampling": "latin_hypercube"},
     "cannot allocate Latin hypercube dimensions: 2305843009213693952 values"),
    ({**SMALL, "sampling": "scrambled_sobol", "scramble_replicates": 2**62},
     "cannot allocate MLMC replicate estimates: 4611686018427387904 values"),
])
def test_impossible_buffers_are_memory_errors(config, message):
    with pytest.raises(MemoryError) as info:
        mlmc(config)
    assert str(info.value) == message
    assert mlmc(SMALL)["values"]["price"] > 0.0


def test_pseudorandom_never_replicates_and_bridge_is_plain_sobol():
    five = mlmc(dict(SMALL, scramble_replicates=5))
    assert five["values"]["scramble_replicates"] == 1 and five["manifest"]["config"]["scramble_replicates"] == 5
    assert five["values"] == mlmc(SMALL)["values"]
    assert mlmc(dict(SMALL, sampling="scrambled_sobol"))["values"] == mlmc(dict(SMALL, sampling="scrambled_sobol_brownian_bridge"))["values"]


@pytest.mark.parametrize("sampling", ["scrambled_sobol", "latin_hypercube"])
def test_two_replicates(sampling):
    config = dict(SMALL, sampling=sampling, scramble_replicates=2, seed=9)
    values = mlmc(config)["values"]
    first, second = values["replicate_estimates"]
    assert values["scramble_replicates"] == 2
    assert values["stderr"] == pytest.approx(abs(first - second) / 2.0, rel=1e-12)
    assert values["price"] == (first + second) / 2.0
    assert [level["paths"] for level in values["levels"]] == [800, 400, 200] and values["total_paths"] == 1400
    singles = [mlmc(dict(config, seed=seed, scramble_replicates=1))["values"] for seed in SEEDS_OF_9]
    assert [single["price"] for single in singles] == [first, second]  # each replicate a full run seeded from its index
    assert values["total_step_updates"] == 2 * singles[0]["total_step_updates"]
    for level, a, b in zip(values["levels"], *(single["levels"] for single in singles)):
        # Per level: the mean and sample variance of the replicate means.
        assert level["mean"] == (a["mean"] + b["mean"]) / 2.0
        assert level["variance"] == (a["mean"] - level["mean"]) ** 2 + (b["mean"] - level["mean"]) ** 2
        assert level["stderr"] == math.sqrt(level["variance"] / 2.0)


# --- Against independent computations ---


def test_known_level_estimates():
    # From a pure-Python recomputation: level l on the stream of derived seed l; the coarse path takes the
    # scaled sum of each m fine normals. Per level: fine steps, mean, population variance.
    known = [(2, 12.125880219725527, 185.7394181936355), (6, -0.8809684244954425, 8.001356685460513),
             (18, -0.798005775246918, 0.7352113438453864)]
    values = mlmc({"base_steps": 2, "levels": 3, "refinement_factor": 3, "paths_per_level": [25, 11, 6], "seed": 5, "k": 95.0})["values"]
    for level, (fine_steps, mean, variance) in zip(values["levels"], known):
        assert level["fine_steps"] == fine_steps
        assert level["mean"] == pytest.approx(mean, rel=1e-11, abs=1e-13)
        assert level["variance"] == pytest.approx(variance, rel=1e-9, abs=1e-13)
    assert values["price"] == pytest.approx(sum(mean for _, mean, _ in known), rel=1e-12)
    assert values["stderr"] == pytest.approx(math.sqrt(sum(v / n for (_, _, v), n in zip(known, (25, 11, 6)))), rel=1e-9)


@pytest.mark.parametrize("sampling", ["pseudorandom", "latin_hypercube", "scrambled_sobol"])
def test_one_level_is_the_plain_asian_call_on_the_base_grid(sampling):
    values = mlmc({"levels": 1, "paths_per_level": [3000], "base_steps": 12, "seed": 3, "sampling": sampling})["values"]
    plain = brisklane.price_arithmetic_asian_call(
        {"n_paths": 3000, "n_steps": 12, "seed": SEED_0_OF_3, "sampling": sampling, "n_threads": 1})
    assert values["price"] == plain["price"]
    assert values["stderr"] == pytest.approx(plain["stderr"], rel=1e-14)


def test_within_four_standard_errors_of_a_long_run_on_the_finest_grid(default_result):
    values = default_result["values"]
    finest = brisklane.price_arithmetic_asian_call({"n_steps": 128, "n_paths": 200000, "seed": 2024})
    assert abs(values["price"] - finest["price"]) < 4.0 * math.hypot(values["stderr"], finest["stderr"])


# --- Command line ---


def test_cli_price(cli_run):
    code, out, err = cli_run("price", "arithmetic_asian_mlmc", "--json", "paths_per_level=400,200", "levels=2")
    assert code == 0, err
    assert json.loads(out) == mlmc({"paths_per_level": [400, 200], "levels": 2})
    code, out, err = cli_run("price", "arithmetic_asian_mlmc", "paths_per_level=400,200", "levels=2", "sampling=scrambled_sobol", "scramble_replicates=3")
    assert code == 0, err
    values = mlmc({"paths_per_level": [400, 200], "levels": 2, "sampling": "scrambled_sobol", "scramble_replicates": 3})["values"]
    fields = summary_fields(out)
    assert (fields["price"], fields["standard error"]) == (f"{values['price']:.6f}", f"{values['stderr']:.6f}")
    assert (fields["paths"], fields["replicates"], fields["step updates"]) == ("1,800", "3", f"{values['total_step_updates']:,}")
    assert fields["level 1"].startswith("steps 32/16, paths 600, ")
    assert cli_run("price", "arithmetic_asian_mlmc", "paths_per_level=1,2,3") == (2, "", f"error: {LENGTH_MESSAGE} left: 3 right: 4\n")  # one line
