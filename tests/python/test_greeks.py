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


def replicated_greek(product, fields, name, h):
    """A central difference with common random numbers, per replicate: (mean, stderr) over them."""
    def prices(**bump):
        return brisklane.price(product, **{**fields, **bump}).replicate_prices

    key = {"delta": "s0", "gamma": "s0", "vega": "sigma", "rho": "r", "theta": "t"}[name]
    up, down = prices(**{key: fields[key] + h}), prices(**{key: fields[key] - h})
    if name == "gamma":
        middle = prices()
        differences = [(u - 2.0 * m + d) / (h * h) for u, m, d in zip(up, middle, down)]
    else:
        differences = [(u - d) / (2.0 * h) * (-1.0 if name == "theta" else 1.0) for u, d in zip(up, down)]
    return statistics.fmean(differences), statistics.stdev(differences) / math.sqrt(len(differences))


@pytest.mark.parametrize("product, extra, steps", [
    ("arithmetic_asian_call", {}, {"delta": 1.0, "gamma": 4.0, "vega": 0.01, "rho": 0.005, "theta": 0.02}),
    ("lookback_call", {"k": 110.0}, {"delta": 1.0, "gamma": 4.0, "vega": 0.01, "rho": 0.005, "theta": 0.02}),
    ("down_and_out_call", {"barrier": 90.0}, {"delta": 1.0, "gamma": 5.0, "vega": 0.02, "rho": 0.01, "theta": 0.05}),
])
def test_path_dependent_greeks_agree_with_central_differences(product, extra, steps):
    fields = {**MARKET, **extra, "n_steps": 8, "n_paths": 20_000, "seed": 11, "replicates": 10}
    estimate = brisklane.price(product, **fields, greeks=True)
    for name, h in steps.items():
        difference, difference_stderr = replicated_greek(product, fields, name, h)
        greek = estimate.greeks[name]
        assert abs(greek.value - difference) <= 4.0 * math.hypot(greek.stderr, difference_stderr), name


@pytest.mark.parametrize("product", ["european_call", "arithmetic_asian_call", "lookback_call", "down_and_out_call"])
@pytest.mark.parametrize("technique", ["standard", "antithetic", "control_variate"])
def test_greeks_leave_the_price_bits_alone_on_any_plan_and_executor(product, technique):
    fields = {"n_paths": 5001, "n_steps": 7, "technique": technique, "sampling": "latin_hypercube", "blocks": 3}
    plain = brisklane.price(product, **fields)
    local = brisklane.price(product, **fields, greeks=["gamma", "delta"])
    with ThreadPoolExecutor(2) as pool:
        shipped = brisklane.price(product, **fields, greeks=["gamma", "delta"], executor=pool)
    assert (local.price, local.stderr) == (plain.price, plain.stderr) == (shipped.price, shipped.stderr)
    assert list(local.greeks) == ["delta", "gamma"] and local.greeks == shipped.greeks


def test_greeks_are_the_same_bits_on_every_simd_target():
    fields = {"n_paths": 1003, "n_steps": 5, "sampling": "pseudorandom", "greeks": True, "threads": 2, "blocks": 2}
    before = brisklane.simd_target()
    try:
        runs = []
        for target in brisklane.engine_info()["simd_targets_supported"]:
            brisklane.set_simd_target(target)
            runs.append([brisklane.price(p, **fields).greeks for p in ("european_call", "lookback_call")])
    finally:
        brisklane.set_simd_target(before)
    assert all(run == runs[0] for run in runs)


@pytest.mark.parametrize("product, greeks, error, message", [
    ("basket_call", True, brisklane.ConfigError, "greeks: not available for basket_call"),
    ("european_call", ["delta", "vegas"], brisklane.ConfigError, "greeks: unknown Greek 'vegas'; did you mean 'vega'?"),
    ("european_call", "delta", TypeError, "greeks: expected True or a sequence of names, got str"),
    ("european_call", [], brisklane.ConfigError, "greeks: name at least one of delta"),
])
def test_greek_requests_are_checked(product, greeks, error, message):
    with pytest.raises(error) as raised:
        brisklane.price(product, greeks=greeks)
    assert str(raised.value).startswith(message)


def test_greeks_need_a_volatility():
    with pytest.raises(brisklane.ConfigError, match="^greeks need sigma > 0$"):
        brisklane.price("arithmetic_asian_call", sigma=0.0, n_paths=100, greeks=True)


def test_cli_prints_the_greeks(cli_run):
    code, out, err = cli_run("price", "european_call", "n_paths=20000", "--greeks")
    assert code == 0, err
    delta = brisklane.price("european_call", n_paths=20000, greeks=True).greeks["delta"]
    exact = black_scholes_call_greeks(**MARKET)["delta"]
    assert summary_fields(out)["delta"] == f"{delta.value:.6f} ± {delta.stderr:.6f}  (Black-Scholes {exact:.6f})"
