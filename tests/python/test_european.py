"""European call by the terminal method: known answers, seeding, parallel split, estimators."""

from __future__ import annotations

import os

import pytest

from conftest import SAMPLING_METHODS, TECHNIQUES, black_scholes_call  # pinned to textbook values in test_cli

STRUCTURED = SAMPLING_METHODS[1:]

# From a pure-Python port of the generator, the worker seeding and the estimators, equal to the native
# results up to the last-bit differences of Python's sin/cos against a joint sincos (hence rel=1e-12).
# Below 2000 paths per worker a run is serial on the raw seed; otherwise blocks of ceil / floor n / W on
# derived seeds, merged in worker order. Antithetic runs are always serial, on ceil(n / 2) pairs.
# Per case: (price, stderr) per technique.
KNOWN_PSEUDORANDOM = {
    "serial": ({"n_paths": 1000, "n_threads": 1}, [(9.401111004127673, 0.45289195500983265),
                                                   (9.806344357784731, 0.31640637436422603),
                                                   (9.797384843975173, 0.18379336696315843)]),
    "one-path": ({"n_paths": 1, "n_threads": 1},
                 [(6.953979201373988, 0.0), (3.476989600686994, 0.0), (6.953979201373988, 0.0)]),
    "seed-zero": ({"n_paths": 999, "n_threads": 1, "seed": 0}, [(9.297295030065044, 0.44588229032138266),
                                                                (10.213240618120658, 0.3823659603893628),
                                                                (9.371260477619554, 0.18778901926196406)]),
    "zero-strike": ({"n_paths": 3000, "n_threads": 1, "k": 0.0}, [
        (99.83941145572209, 0.3701882675845402), (100.07572539525542, 0.07170378358888262), (100.0, 0.0)]),
    "blocks-2501-2500-2500-2500": ({"n_paths": 10001, "n_threads": 4}, [
        (9.25875843431948, 0.13780695701218312), (9.684633825842099, 0.1059005106613253),
        (9.302547138542057, 0.05685943194076922)]),
    "max-seed-split": ({"n_paths": 4001, "n_threads": 2, "seed": 2**64 - 1}, [
        (9.657887807055374, 0.22879575764512802), (9.3570545356758, 0.17062287376139093),
        (9.467552701539262, 0.09237565163028941)]),
    "W-times-2000-overflows-serial": ({"n_paths": 5000, "n_threads": 2**64 - 1}, [
        (9.620528501277054, 0.20209036186783194), (9.51926673688353, 0.14790717727573033),
        (9.621802024519233, 0.0826696335735725)]),
    "split-3": ({"n_paths": 6002, "n_threads": 3, "s0": 90.0, "k": 95.0, "sigma": 0.35, "t": 2.0}, [
        (17.147970384904443, 0.4402583631917397), (18.104875392848644, 0.3855497284207143),
        (17.701555948038155, 0.16376159694416528)]),
}


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("case", sorted(KNOWN_PSEUDORANDOM))
def test_pseudorandom_known_values(price_call, case, technique):
    overrides, known = KNOWN_PSEUDORANDOM[case]
    result = price_call({**overrides, "technique": technique})
    price, stderr = known[TECHNIQUES.index(technique)]
    assert result["price"] == pytest.approx(price, rel=1e-12, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-7)


# Halton and Latin hypercube from an independent pure-Python Halton / Latin hypercube / Acklam reference;
# Sobol from a two-pass estimate over the sampler's own first coordinates. Per technique: (price, stderr).
KNOWN_STRUCTURED = {
    "randomized_halton": [(15.702190334278312, 0.6003636271714934), (15.70027799422461, 0.3621643573824885),
                          (15.712356328897219, 0.18177577770249034)],
    "latin_hypercube": [(15.704314269846707, 0.5997576679499481), (15.712583189357847, 0.36223525972478754),
                        (15.708649849945001, 0.18141436900648292)],
    "scrambled_sobol": [(15.742138492540613, 0.5998665128335511), (15.646234272491265, 0.3595269835186584),
                        (15.709380294489486, 0.1808286009335136)],
}


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", KNOWN_STRUCTURED)
def test_structured_known_values(price_call, sampling, technique):
    config = {"n_paths": 1001, "seed": 2**64 - 1, "s0": 110.0, "sigma": 0.3, "t": 0.5, "n_threads": 4}
    result = price_call({**config, "sampling": sampling, "technique": technique})
    known = KNOWN_STRUCTURED[sampling][TECHNIQUES.index(technique)]
    assert [result["price"], result["stderr"]] == pytest.approx(list(known), rel=1e-12)


@pytest.mark.parametrize("sampling, technique",
                         [("pseudorandom", "antithetic")] + [(s, t) for s in STRUCTURED for t in TECHNIQUES])
def test_serial_methods_ignore_thread_count(price_call, sampling, technique):
    config = {"n_paths": 10001, "sampling": sampling, "technique": technique}
    results = [price_call({**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
    assert all(values == results[0] for values in results)


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_zero_threads_means_the_available_processors(price_call, technique):
    config = {"n_paths": 200000, "technique": technique}
    explicit = [price_call({**config, "n_threads": w})["values"] for w in range(1, (os.cpu_count() or 1) + 1)]
    assert price_call({**config, "n_threads": 0})["values"] in explicit


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_scrambled_sobol_seeding_and_bridge(price_call, technique):
    base = {"n_paths": 4096, "technique": technique, "sampling": "scrambled_sobol", "seed": 5}
    sobol = price_call(base)["values"]
    assert price_call({**base, "sampling": "scrambled_sobol_brownian_bridge"})["values"] == sobol
    assert price_call({**base, "seed": 5 + 2**32})["values"] == sobol  # only the low 32 bits scramble
    assert price_call({**base, "seed": 6})["values"] != sobol


@pytest.mark.parametrize("sampling", ["pseudorandom", "scrambled_sobol"])
def test_variance_reduction_lowers_stderr(price_call, sampling):
    config = {"n_paths": 50000, "n_threads": 2, "sampling": sampling}
    stderr = {t: price_call({**config, "technique": t})["stderr"] for t in TECHNIQUES}
    assert stderr["antithetic"] < stderr["standard"]
    assert stderr["control_variate"] < 0.6 * stderr["standard"]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize(
    "market", [{}, {"spot": 120.0, "strike": 110.0, "volatility": 0.35, "maturity": 0.5, "rate": 0.01}],
    ids=["default", "other"])
def test_price_agrees_with_black_scholes_and_repeats(price_call, market, sampling, technique):
    config = {**market, "sampling": sampling, "technique": technique, "seed": 9}
    result = price_call(config)
    cfg = result["manifest"]["config"]
    exact = black_scholes_call(cfg["s0"], cfg["k"], cfg["r"], cfg["sigma"], cfg["t"])
    assert 0.0 < result["stderr"] and abs(result["price"] - exact) <= 4.0 * result["stderr"]
    assert price_call(dict(config)) == result
