"""Heston and Merton jump-diffusion calls: known answers, pinned semi-closed-form prices (Lewis's
single-integral Heston formula, Merton's Poisson-weighted series) and the package's references against them."""

from __future__ import annotations

import math

import pytest

import brisklane
from brisklane import _native, reference
from conftest import HESTON_DEFAULTS, MERTON_DEFAULTS, TECHNIQUES, black_scholes_call as bs_call

HESTON_MODEL = ("s0", "k", "r", "v0", "kappa", "theta", "vol_of_vol", "rho", "t")
MERTON_MODEL = ("s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean", "jump_volatility")
# Full-truncation Euler bias with 100 steps is below 0.015 here (measured with 6e7 path-steps).
EULER_ALLOWANCE = 0.02

heston = _native.price_heston_european_call
merton = _native.price_merton_jump_diffusion_call


def dict_id(value):
    return str(value) if isinstance(value, dict) else None


def test_aliases_and_ignored_keys():
    small = {"n_paths": 40, "n_steps": 2, "n_threads": 1}
    aliased = heston({**small, "long_run_variance": 0.25, "theta": 0.5, "correlation": 0.25})
    assert aliased["manifest"]["config"]["theta"] == 0.5
    with pytest.raises(ValueError, match="^unsupported Monte Carlo technique 'plain'$"):
        heston({"technique": "plain"})
    assert heston({**small, "sampling": "no such sampling"}) == heston(small)
    assert merton({**small, "technique": "no such technique", "sampling": 7}) == merton(small)


def test_heston_accepts_strike_zero_and_merton_leaves_the_rate_unvalidated():
    result = heston({"k": 0.0, "n_paths": 3000, "n_steps": 10, "n_threads": 1, "technique": "control_variate"})
    assert result["price"] == pytest.approx(100.0, abs=1e-9) and result["stderr"] < 1e-9
    # Merton rejects k = 0 and leaves r unvalidated: a NaN gives no price (Heston's r, jump_mean: test_envelope.py)
    with pytest.raises(ValueError, match="^native pricing result did not include price$"):
        merton({"r": math.nan, "n_paths": 10})


# Reference prices from the Lewis (2001) integral of Gatheral's characteristic function, integrated
# numerically to 1e-12 relative once and pinned here.
HESTON_CASES = [
    ({}, "standard", 9.194330463435122),
    ({}, "antithetic", 9.194330463435122),
    ({}, "control_variate", 9.194330463435122),
    ({"k": 90.0, "v0": 0.05, "kappa": 2.0, "theta": 0.05, "vol_of_vol": 0.25, "rho": -0.3}, "standard",
     16.227732502085672),
    ({"k": 110.0, "r": 0.01, "v0": 0.03, "kappa": 1.0, "theta": 0.05, "vol_of_vol": 0.4, "rho": -0.8, "t": 0.5},
     "control_variate", 0.9474294238447953),
    ({"rho": 1.0}, "control_variate", 8.972131151534683),
    ({"rho": -1.0}, "control_variate", 9.183840710650884),
]


@pytest.mark.parametrize("config, technique, expected", HESTON_CASES, ids=dict_id)
def test_heston_against_semi_closed_form(config, technique, expected):
    result = heston({**config, "n_paths": 40000, "n_steps": 100, "n_threads": 2, "technique": technique, "seed": 5})
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"] + EULER_ALLOWANCE, (result, expected)


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_heston_constant_variance_is_black_scholes(technique):
    # vol_of_vol = 0 and v0 = theta: the variance stays at theta and the log-Euler step is exact.
    config = {"vol_of_vol": 0.0, "v0": 0.0625, "theta": 0.0625, "k": 95.0}
    result = heston({**config, "n_paths": 40000, "n_steps": 20, "n_threads": 2, "technique": technique})
    assert abs(result["price"] - bs_call(100.0, 95.0, 0.03, 0.25, 1.0)) <= 4.0 * result["stderr"]


# Per step z1 (cosine) then z2 (sine) of one Box-Muller draw, full truncation; antithetic runs take
# ceil(n / 2) pairs mirroring both; below 2000 units per worker the run is serial on the raw seed. Serial
# standard and antithetic answers from a pure-Python Heston kernel on the generator's normals (seed 13).
HESTON_KNOWN = [
    ({"n_paths": 41, "n_steps": 7}, "standard", 6.776314035671614, 1.2972847307527824),
    ({"n_paths": 41, "n_steps": 7}, "antithetic", 7.860397089841985, 0.9924234716118687),
    ({"n_paths": 41, "n_steps": 7}, "control_variate", 7.905755829579228, 0.8304573689299682),
    ({"n_paths": 41, "n_steps": 7, "rho": 1.0, "v0": 0.0, "k": 98.0}, "standard", 7.900590023735652,
     1.75970228718907),
    ({"n_paths": 41, "n_steps": 7, "vol_of_vol": 2.0, "kappa": 0.2}, "antithetic", 7.905036054226038,
     1.3299646465568777),
    ({"n_paths": 3, "n_steps": 513}, "standard", 1.8190178884457853, 1.2745210229335016),  # past 512 steps in lockstep
    ({"n_paths": 3, "n_steps": 513}, "antithetic", 2.4798801962656394, 1.5657287209746027),
    ({"n_paths": 8001, "n_steps": 6, "n_threads": 2, "seed": 42}, "control_variate", 9.174084436633322,
     0.06529539639518385),
    ({"n_paths": 8000, "n_steps": 6, "n_threads": 2, "seed": 42}, "antithetic", 9.245414065264663,
     0.09549787836835856),
]


@pytest.mark.parametrize("config, technique, price, stderr", HESTON_KNOWN, ids=dict_id)
def test_heston_known_values(config, technique, price, stderr):
    result = heston({"n_threads": 1, "seed": 13, **config, "technique": technique})
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9)


@pytest.mark.parametrize("technique, serial, parallel", [
    ("standard", 7999, 8000), ("control_variate", 7999, 8000), ("antithetic", 15997, 16000)])
def test_heston_threads(technique, serial, parallel):
    def run(n_paths, n_threads):
        return heston({"n_steps": 3, "technique": technique, "n_paths": n_paths, "n_threads": n_threads})["price"]

    assert run(serial, 4) == run(serial, 1) and run(parallel, 2) != run(parallel, 1)


def test_heston_zero_variance_makes_the_control_deterministic():
    # Every control value is equal, so the control-variate estimate is the plain one.
    flat = {"v0": 0.0, "theta": 0.0, "n_paths": 500, "n_steps": 8, "n_threads": 1}
    cv, plain = heston({**flat, "technique": "control_variate"}), heston(flat)
    assert cv["price"] == pytest.approx(plain["price"], rel=1e-12)
    assert plain["price"] == pytest.approx(100.0 - 100.0 * math.exp(-0.03), rel=1e-12)
    assert cv["stderr"] < 1e-6 and plain["stderr"] < 1e-6


# Merton's series e^{-rT} sum_n P(N = n) E[(S_T - K)^+ | n jumps] (ln S_T normal given n), summed
# independently of the package to 200 terms once and pinned here.
MERTON_CASES = {
    "defaults": ({}, 11.223920057397217),
    "no-diffusion": ({"sigma": 0.0, "jump_intensity": 1.5, "jump_mean": 0.02, "jump_volatility": 0.3},
                     14.925264623844877),
    "frequent-small": ({"jump_intensity": 12.0, "jump_mean": 0.01, "jump_volatility": 0.05, "t": 0.5, "k": 105.0},
                       6.064134633612603),
}


@pytest.mark.parametrize("name", sorted(MERTON_CASES))
def test_merton_against_series(name):
    config, series = MERTON_CASES[name]
    result = merton({**config, "n_paths": 200000, "n_threads": 2})
    assert abs(result["price"] - series) <= 4.0 * result["stderr"]
    args = [{**MERTON_DEFAULTS, **config}[key] for key in MERTON_MODEL]
    assert reference.merton_call(*args) == pytest.approx(series, rel=1e-10)  # the command line's reference


# Per path: the diffusion normal, the Poisson uniform unless the mean count is 0, the jump normal
# only with jumps; 10001 paths split over two workers.
@pytest.mark.parametrize("config, price, stderr", [
    ({"jump_intensity": 0.0}, 8.718202635614832, 0.4371275597387664),
    ({"jump_intensity": 0.4}, 11.657029415987944, 0.5789211923885668),
    ({"jump_intensity": 3.0}, 19.02511541279138, 1.1140989007981421),
    ({"n_paths": 10001, "n_threads": 2, "seed": 42}, 11.118197084068852, 0.1759719450577614),
], ids=str)
def test_merton_known_values(config, price, stderr):
    result = merton({"n_paths": 1001, "n_threads": 1, "seed": 17, **config})
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9)


def test_merton_without_jumps_draws_no_uniform_and_threads():
    # No uniform per path: the stream is the terminal European call's.
    config = {"jump_intensity": 0.0, "n_paths": 5000, "n_threads": 1, "seed": 9}
    jd, european = merton(config), brisklane.price_european_call(config)
    assert jd["price"] == pytest.approx(european["price"], rel=1e-12)
    assert jd["stderr"] == pytest.approx(european["stderr"], rel=1e-9)
    serial = {"n_paths": 7999, "seed": 3}
    assert merton({**serial, "n_threads": 4})["values"] == merton({**serial, "n_threads": 1})["values"]
    assert merton({"n_paths": 8000, "n_threads": 4})["price"] != merton({"n_paths": 8000, "n_threads": 1})["price"]


def test_poisson_failure_serial_and_in_a_worker(panic_exception):
    with pytest.raises(panic_exception) as raised:  # 100 paths run on the calling thread
        merton({"jump_intensity": 800.0, "n_paths": 100, "n_threads": 2})
    assert str(raised.value) == "Poisson sampler did not converge"
    with pytest.raises(panic_exception) as raised:
        merton({"jump_intensity": 400.0, "t": 2.0, "n_paths": 4000, "n_threads": 2})
    assert str(raised.value) == "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge"
    assert type(raised.value).__mro__[1] is BaseException
    assert math.isfinite(merton({"jump_intensity": 700.0, "jump_mean": 0.0, "jump_volatility": 0.001,
                                 "n_paths": 200})["price"])


def test_package_heston_reference_agrees_with_lewis():
    for config, _, lewis in HESTON_CASES:
        model = [{**HESTON_DEFAULTS, **config}[key] for key in HESTON_MODEL]
        assert reference.heston_call(*model) == pytest.approx(lewis, rel=1e-9)
    constant = reference.heston_call(100.0, 95.0, 0.03, 0.0625, 1.5, 0.0625, 0.0, -0.6, 1.0)
    assert constant == pytest.approx(bs_call(100.0, 95.0, 0.03, 0.25, 1.0), rel=1e-12)
