"""The two-asset basket call: known answers, thread independence, Black-Scholes on one-asset reductions."""

from __future__ import annotations

import math

import pytest

from brisklane import _native, reference
from conftest import SAMPLING_METHODS, TECHNIQUES, black_scholes_call as bs_call

basket = _native.price_basket_call


def test_weights_and_rate_are_not_validated_and_rho_may_be_minus_one():
    config = {"weight1": -0.5, "weight2": 1.5, "r": -0.02, "k": 0.0, "rho": -1.0, "n_paths": 2000}
    assert math.isfinite(basket(config)["price"])


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
    ({"n_paths": 301, "sampling": "latin_hypercube", "technique": "antithetic"}, 7.574262365329981,
     0.5485496995863341),
    ({"n_paths": 301, "sampling": "scrambled_sobol", "technique": "control_variate"}, 7.340267031856615,
     0.31253149446437195),
], ids=str)
def test_known_values(config, price, stderr):
    result = basket({**config, "n_threads": 4})
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-300)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_thread_count_has_no_influence(sampling, technique):
    config = {"n_paths": 10000, "sampling": sampling, "technique": technique}
    assert len({tuple(basket({**config, "n_threads": n})["values"].values()) for n in (0, 1, 2, 8)}) == 1
    if sampling == "scrambled_sobol":  # one dimension per asset: the bridge changes nothing
        assert basket({**config, "sampling": "scrambled_sobol_brownian_bridge"})["values"] == basket(config)["values"]


# Against Black-Scholes on an equivalent single asset.
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
    assert single(120.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.8, 0.0, 1.0) == pytest.approx(
        SINGLE_ASSET["weight2-zero"][1], rel=1e-12)
    assert single(100.0, 95.0, 100.0, 0.03, 0.3, 0.3, 1.0, 0.5, 0.5, 1.0) == pytest.approx(
        SINGLE_ASSET["rho-one-equal-vols"][1], rel=1e-12)
    assert math.isnan(single(100.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.5, 0.5, 1.0))
