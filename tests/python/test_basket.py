"""The two-asset basket call: config reading, validation order, known answers (antithetic pairs
included), thread independence, and prices against Black-Scholes where the basket is one lognormal asset."""

from __future__ import annotations

import math

import pytest

from brisklane import _native, reference
from conftest import SAMPLING_METHODS, TECHNIQUES, assert_envelope, black_scholes_call as bs_call, validation_cases

basket = _native.price_basket_call
DEFAULTS = {
    "s01": 100.0, "s02": 95.0, "k": 100.0, "r": 0.03, "sigma1": 0.2, "sigma2": 0.25, "rho": 0.35,
    "weight1": 0.5, "weight2": 0.5, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
    "technique": "standard", "sampling": "pseudorandom",
}


def test_envelope_defaults_and_reading_order(recording_config):
    config = recording_config({"paths": 500})
    result = basket(config)
    assert config.keys == [
        "s01", "spot_1", "spot1", "s02", "spot_2", "spot2", "k", "strike", "r", "rate",
        "sigma1", "volatility_1", "volatility1", "sigma2", "volatility_2", "volatility2", "rho", "correlation",
        "weight1", "weight_1", "weight2", "weight_2", "t", "maturity", "n_paths", "paths", "seed", "n_threads",
        "technique", "sampling",
    ]
    assert_envelope(result, "basket_call", {**DEFAULTS, "n_paths": 500})


# In order (s02 = 0 with rho = 2 reports s02).
CHECKS = [("n_paths", 0, "n_paths must be > 0"), ("s01", 0.0, "s01 must be > 0"), ("s02", 0.0, "s02 must be > 0"),
          ("k", -1.0, "k must be >= 0"), ("sigma1", -0.2, "sigma1 must be >= 0"), ("sigma2", -0.25, "sigma2 must be >= 0"),
          ("t", 0.0, "t must be > 0"), ("rho", 2.0, "rho must be in [-1, 1]")]
VALIDATION = validation_cases(CHECKS) + [({"rho": -1.0000001}, "rho must be in [-1, 1]")]


@pytest.mark.parametrize("config, message", VALIDATION, ids=lambda v: str(v) if isinstance(v, dict) else None)
def test_validation_messages_in_order(panic_exception, config, message):
    with pytest.raises(panic_exception) as raised:
        basket(config)
    assert str(raised.value) == message


def test_weights_and_rate_are_not_validated_and_rho_may_be_minus_one():
    assert math.isfinite(basket({"weight1": -0.5, "weight2": 1.5, "r": -0.02, "k": 0.0, "rho": -1.0, "n_paths": 2000})["price"])


# --- Known answers ---

# A pseudorandom unit takes one Box-Muller draw (z1, zb), a structured one coordinates 0 and 1 of
# its point; z2 = rho z1 + sqrt(1 - rho^2) zb; the mirror negates both; antithetic runs take
# ceil(n / 2) pairs (one path is one pair).
@pytest.mark.parametrize("config, price, stderr", [
    ({"n_paths": 1, "seed": 9}, 9.288753149530683, 0.0),
    ({"n_paths": 1001, "seed": 9}, 7.976134375273608, 0.41149161646025045),
    ({"n_paths": 1, "seed": 9, "technique": "antithetic"}, 4.644376574765341, 0.0),
    ({"n_paths": 1001, "seed": 9, "technique": "antithetic"}, 7.6694270832203735, 0.3151882944049346),
    ({"n_paths": 1, "seed": 9, "technique": "control_variate"}, 9.288753149530683, 0.0),
    ({"n_paths": 1001, "seed": 9, "technique": "control_variate"}, 7.562000861406884, 0.1812205118823843),
    ({"n_paths": 301, "sampling": "randomized_halton"}, 7.661060183400214, 0.7193329017746382),
    ({"n_paths": 301, "sampling": "latin_hypercube", "technique": "antithetic"}, 7.574262365329981, 0.5485496995863341),
    ({"n_paths": 301, "sampling": "scrambled_sobol", "technique": "control_variate"}, 7.340267031856615, 0.31253149446437195),
], ids=str)
def test_known_values(config, price, stderr):
    result = basket({**config, "n_threads": 4})
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-300)


# --- Threads ---


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_thread_count_has_no_influence(sampling, technique):
    config = {"n_paths": 10000, "sampling": sampling, "technique": technique}
    assert len({tuple(basket({**config, "n_threads": n})["values"].values()) for n in (0, 1, 2, 8)}) == 1
    if sampling == "scrambled_sobol":  # one dimension per asset: the bridge changes nothing
        assert basket({**config, "sampling": "scrambled_sobol_brownian_bridge"})["values"] == basket(config)["values"]


# --- Against Black-Scholes on an equivalent single asset ---

SINGLE_ASSET = {
    # weight1 S1 - k = 0.8 (S1 - 125): a call on asset 1 struck at 125, times 0.8.
    "weight2-zero": ({"weight1": 0.8, "weight2": 0.0, "s01": 120.0}, 0.8 * bs_call(120.0, 125.0, 0.03, 0.2, 1.0)),
    # S2 / s02 = S1 / s01 on every path: one asset worth 0.5 * 100 + 0.5 * 95 today.
    "rho-one-equal-vols": ({"rho": 1.0, "sigma1": 0.3, "sigma2": 0.3}, bs_call(97.5, 100.0, 0.03, 0.3, 1.0)),
}


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("case", sorted(SINGLE_ASSET))
def test_single_asset_reductions(case, sampling, technique):
    config, expected = SINGLE_ASSET[case]
    result = basket({**config, "n_paths": 40000, "sampling": sampling, "technique": technique})
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"] + 1e-9


def test_package_single_asset_reference():
    single = reference.basket_call_single_asset
    assert single(120.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.8, 0.0, 1.0) == pytest.approx(SINGLE_ASSET["weight2-zero"][1], rel=1e-12)
    assert single(100.0, 95.0, 100.0, 0.03, 0.3, 0.3, 1.0, 0.5, 0.5, 1.0) == pytest.approx(SINGLE_ASSET["rho-one-equal-vols"][1], rel=1e-12)
    assert math.isnan(single(100.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.5, 0.5, 1.0))


@pytest.mark.parametrize("argv, reference_line", [
    (["weight2=0", "weight1=1", "n_paths=5000", "sampling=scrambled_sobol"], f"{bs_call(100.0, 100.0, 0.03, 0.2, 1.0):.6f}"),
    (["n_paths=2000", "spot1=110"], None),
])
def test_cli_price(cli_run, argv, reference_line):
    code, out, err = cli_run("price", "basket_call", *argv)
    assert code == 0, err
    assert ("Black-Scholes (single-asset case)" in out) == (reference_line is not None)
    assert reference_line is None or reference_line in out
