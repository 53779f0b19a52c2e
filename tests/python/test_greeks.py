"""Greeks from the price's own draws: against Black-Scholes, against central differences with common
random numbers, and the price's bits unchanged."""

from __future__ import annotations

import math
import statistics
from concurrent.futures import ThreadPoolExecutor

import pytest

import brisklane
from brisklane.reference import black_scholes_call_greeks
from conftest import SAMPLING_METHODS, summary_fields

MARKET = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0}


@pytest.mark.parametrize("technique", ["standard", "antithetic", "control_variate"])
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_european_greeks_agree_with_black_scholes(sampling, technique):
    market = {"s0": 95.0, "k": 100.0, "r": 0.04, "sigma": 0.3, "t": 0.75}
    estimate = brisklane.price("european_call", **market, sampling=sampling, technique=technique, n_paths=200_000,
                               seed=3, greeks=True)
    exact = black_scholes_call_greeks(**market)
    assert list(estimate.greeks) == list(brisklane.GREEKS)
    for name, greek in estimate.greeks.items():
        assert 0.0 < greek.stderr and abs(greek.value - exact[name]) <= 4.0 * greek.stderr, name


# The field each Greek differentiates by (Heston's vega is dV/dv0).
BUMPED = {"delta": "s0", "gamma": "s0", "vega": "sigma", "rho": "r", "theta": "t", "delta_1": "s01", "gamma_1": "s01",
          "vega_1": "sigma1", "delta_2": "s02", "gamma_2": "s02", "vega_2": "sigma2"}


def replicated_greek(product, fields, name, h):
    """A central difference with common random numbers, per replicate: (mean, stderr) over them."""
    def prices(**bump):
        return brisklane.price(product, **{**fields, **bump}).replicate_prices

    key = "v0" if (product, name) == ("heston_european_call", "vega") else BUMPED[name]
    defaults = {field: default for field, _, _, default in brisklane._native.product_fields(product)}
    base = fields.get(key, defaults[key])
    up, down = prices(**{key: base + h}), prices(**{key: base - h})
    if name.startswith("gamma"):
        middle = prices()
        differences = [(u - 2.0 * m + d) / (h * h) for u, m, d in zip(up, middle, down)]
    else:
        differences = [(u - d) / (2.0 * h) * (-1.0 if name == "theta" else 1.0) for u, d in zip(up, down)]
    return statistics.fmean(differences), statistics.stdev(differences) / math.sqrt(len(differences))


STEPPED = {**MARKET, "n_steps": 8}


@pytest.mark.parametrize("product, extra, steps", [
    ("arithmetic_asian_call", STEPPED, {"delta": 1.0, "gamma": 4.0, "vega": 0.01, "rho": 0.005, "theta": 0.02}),
    ("lookback_call", {**STEPPED, "k": 110.0}, {"delta": 1.0, "gamma": 4.0, "vega": 0.01, "rho": 0.005, "theta": 0.02}),
    ("down_and_out_call", {**STEPPED, "barrier": 90.0},
     {"delta": 1.0, "gamma": 5.0, "vega": 0.02, "rho": 0.01, "theta": 0.05}),
    ("basket_call", {"technique": "antithetic"}, {"delta_1": 1.0, "delta_2": 1.0, "gamma_1": 4.0, "gamma_2": 4.0,
                                                  "vega_1": 0.01, "vega_2": 0.01, "rho": 0.005, "theta": 0.02}),
    ("heston_european_call", {"n_steps": 8, "n_paths": 80_000},
     {"delta": 1.0, "gamma": 4.0, "vega": 0.004, "rho": 0.005, "theta": 0.02}),
    # A wide step in t: the jump count's law moves with t, and a count that changes between the
    # two runs makes a narrow difference noisy.
    ("merton_jump_diffusion_call", {**MARKET, "n_paths": 80_000},
     {"delta": 1.0, "gamma": 4.0, "vega": 0.01, "rho": 0.005, "theta": 0.25}),
])
def test_greeks_agree_with_central_differences(product, extra, steps):
    fields = {"n_paths": 20_000, "seed": 11, "replicates": 10, **extra}
    estimate = brisklane.price(product, **fields, greeks=True)
    assert list(estimate.greeks) == list(steps)
    for name, h in steps.items():
        difference, difference_stderr = replicated_greek(product, fields, name, h)
        greek = estimate.greeks[name]
        assert abs(greek.value - difference) <= 4.0 * math.hypot(greek.stderr, difference_stderr), name


# Each product's steps and sampling for a short run, where it has them.
SHORT = {**dict.fromkeys(("european_call", "arithmetic_asian_call", "lookback_call", "down_and_out_call"),
                         {"n_steps": 7, "sampling": "latin_hypercube"}),
         "basket_call": {"sampling": "latin_hypercube"}, "heston_european_call": {"n_steps": 7},
         "merton_jump_diffusion_call": {}}


@pytest.mark.parametrize("product, technique", [
    (product, technique) for product in SHORT for technique in ("standard", "antithetic", "control_variate")
    if product != "merton_jump_diffusion_call"] + [("merton_jump_diffusion_call", None)])
def test_greeks_leave_the_price_bits_alone_on_any_plan_and_executor(product, technique):
    fields = {"n_paths": 5001, **SHORT[product], "blocks": 3, **({"technique": technique} if technique else {})}
    plain = brisklane.price(product, **fields)
    local = brisklane.price(product, **fields, greeks=["gamma", "delta"])
    with ThreadPoolExecutor(2) as pool:
        shipped = brisklane.price(product, **fields, greeks=["gamma", "delta"], executor=pool)
    assert (local.price, local.stderr) == (plain.price, plain.stderr) == (shipped.price, shipped.stderr)
    named = ["delta_1", "delta_2", "gamma_1", "gamma_2"] if product == "basket_call" else ["delta", "gamma"]
    assert list(local.greeks) == named and local.greeks == shipped.greeks


def test_greeks_are_the_same_bits_on_every_simd_target():
    stepped = {"n_steps": 5, "sampling": "pseudorandom"}
    products = {"european_call": stepped, "lookback_call": stepped, "basket_call": {"sampling": "pseudorandom"},
                "heston_european_call": {"n_steps": 5}}
    fields = {"n_paths": 1003, "greeks": True, "threads": 2, "blocks": 2}
    before = brisklane.simd_target()
    try:
        runs = []
        for target in brisklane.engine_info()["simd_targets_supported"]:
            brisklane.set_simd_target(target)
            runs.append([brisklane.price(p, **fields, **own).greeks for p, own in products.items()])
    finally:
        brisklane.set_simd_target(before)
    assert all(run == runs[0] for run in runs)


@pytest.mark.parametrize("product, greeks, error, message", [
    ("american_put", True, brisklane.ConfigError, "greeks: not available for american_put"),
    ("european_call", ["delta", "vegas"], brisklane.ConfigError, "greeks: unknown Greek 'vegas'; did you mean 'vega'?"),
    ("european_call", ["delta_1"], brisklane.ConfigError, "greeks: unknown Greek 'delta_1'; did you mean 'delta'?"),
    ("basket_call", ["vega_3"], brisklane.ConfigError, "greeks: unknown Greek 'vega_3'; did you mean 'vega_2'?"),
    ("european_call", "delta", TypeError, "greeks: expected True or a sequence of names, got str"),
    ("european_call", [], brisklane.ConfigError, "greeks: name at least one of delta"),
])
def test_greek_requests_are_checked(product, greeks, error, message):
    with pytest.raises(error) as raised:
        brisklane.price(product, greeks=greeks)
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize("product, fields, message", [
    ("arithmetic_asian_call", {"sigma": 0.0}, "greeks need sigma > 0"),
    ("merton_jump_diffusion_call", {"sigma": 0.0}, "greeks need sigma > 0"),
    ("basket_call", {"sigma2": 0.0}, "greeks need sigma2 > 0"),
    ("basket_call", {"rho": 1.0}, r"greeks need \|rho\| < 1"),
    ("heston_european_call", {"rho": -1.0}, r"greeks need \|rho\| < 1"),
    ("heston_european_call", {"v0": 0.0}, "greeks need v0 > 0"),
])
def test_greeks_need_what_their_scores_divide_by(product, fields, message):
    with pytest.raises(brisklane.ConfigError, match=f"^{message}$"):
        brisklane.price(product, **fields, n_paths=100, greeks=True)


def test_cli_prints_the_greeks(cli_run):
    code, out, err = cli_run("price", "european_call", "n_paths=20000", "--greeks")
    assert code == 0, err
    delta = brisklane.price("european_call", n_paths=20000, greeks=True).greeks["delta"]
    exact = black_scholes_call_greeks(**MARKET)["delta"]
    assert summary_fields(out)["delta"] == f"{delta.value:.6f} ± {delta.stderr:.6f}  (Black-Scholes {exact:.6f})"
