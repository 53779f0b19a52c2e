"""Arithmetic Asian call by multilevel Monte Carlo: the default result, replicates, known level estimates,
and agreement with the plain Asian pricer on one level and with a long run on the finest grid."""

from __future__ import annotations

import math

import pytest

import brisklane
from conftest import MLMC_DEFAULTS

mlmc = brisklane.arithmetic_asian_mlmc
SMALL = {"base_steps": 4, "levels": 3, "paths_per_level": [400, 200, 100]}
# SplitMix64 worker seeds: derived seed r of seed 9, and derived seed 0 of seed 3.
SEEDS_OF_9 = (12587370737594032228, 13847876567842155106)
SEED_0_OF_3 = 2092789425003139053


@pytest.fixture(scope="module")
def default_result():
    return mlmc({})


def test_default_result(default_result):
    assert default_result["warnings"] == [] and default_result["manifest"]["config"] == MLMC_DEFAULTS
    values = default_result["values"]
    levels = values["levels"]
    assert [(lv["level"], lv["fine_steps"], lv["coarse_steps"], lv["paths"], lv["cost_step_updates"])
            for lv in levels] == [(0, 16, None, 50000, 800000), (1, 32, 16, 25000, 1200000),
                                  (2, 64, 32, 12500, 1200000), (3, 128, 64, 6250, 1200000)]
    assert (values["total_paths"], values["total_step_updates"], values["scramble_replicates"]) == (93750, 4400000, 1)
    assert values["replicate_estimates"] == [values["price"]]
    for level in levels:
        assert level["stderr"] == pytest.approx(math.sqrt(level["variance"] / level["paths"]), rel=1e-15)
    assert values["price"] == pytest.approx(sum(level["mean"] for level in levels), rel=1e-15)
    assert values["stderr"] == pytest.approx(math.sqrt(sum(level["stderr"] ** 2 for level in levels)), rel=1e-12)
    # The corrections shrink with the grid.
    assert levels[0]["variance"] > 100 * levels[1]["variance"]
    assert levels[1]["variance"] > levels[2]["variance"] > levels[3]["variance"]
    assert mlmc({"paths_per_level": None, "seed": None}) == default_result


def test_pseudorandom_never_replicates_and_bridge_is_plain_sobol():
    five = mlmc(dict(SMALL, scramble_replicates=5))
    assert five["values"]["scramble_replicates"] == 1 and five["manifest"]["config"]["scramble_replicates"] == 5
    assert five["values"] == mlmc(SMALL)["values"]
    bridge = mlmc(dict(SMALL, sampling="scrambled_sobol_brownian_bridge"))
    assert bridge["values"] == mlmc(dict(SMALL, sampling="scrambled_sobol"))["values"]


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


def test_known_level_estimates():
    # From a pure-Python recomputation: level l on the stream of derived seed l; the coarse path takes
    # the scaled sum of each m fine normals. Per level: fine steps, mean, population variance.
    known = [(2, 12.125880219725527, 185.7394181936355), (6, -0.8809684244954425, 8.001356685460513),
             (18, -0.798005775246918, 0.7352113438453864)]
    values = mlmc({"base_steps": 2, "levels": 3, "refinement_factor": 3, "paths_per_level": [25, 11, 6], "seed": 5,
                   "k": 95.0})["values"]
    for level, (fine_steps, mean, variance) in zip(values["levels"], known):
        assert level["fine_steps"] == fine_steps
        assert level["mean"] == pytest.approx(mean, rel=1e-11, abs=1e-13)
        assert level["variance"] == pytest.approx(variance, rel=1e-9, abs=1e-13)
    assert values["price"] == pytest.approx(sum(mean for _, mean, _ in known), rel=1e-12)
    variance = sum(v / n for (_, _, v), n in zip(known, (25, 11, 6)))
    assert values["stderr"] == pytest.approx(math.sqrt(variance), rel=1e-9)


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
