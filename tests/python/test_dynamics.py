"""Heston and Merton jump-diffusion calls: known answers, pinned semi-closed-form prices (Lewis's
single-integral Heston formula, Merton's Poisson-weighted series) and the package's references against them."""

from __future__ import annotations

import math

import pytest

import brisklane
from brisklane import _native, cli, reference
from conftest import TECHNIQUES, assert_envelope, black_scholes_call as bs_call, summary_fields, validation_cases

HESTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "v0": 0.04, "kappa": 1.5, "theta": 0.04, "vol_of_vol": 0.3,
    "rho": -0.6, "t": 1.0, "n_paths": 100000, "n_steps": 252, "seed": 42, "n_threads": 0, "technique": "standard",
}
MERTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "jump_intensity": 0.4, "jump_mean": -0.08,
    "jump_volatility": 0.25, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
}
HESTON_MODEL = ("s0", "k", "r", "v0", "kappa", "theta", "vol_of_vol", "rho", "t")
MERTON_MODEL = ("s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean", "jump_volatility")
NAN = float("nan")
# Full-truncation Euler bias with 100 steps is below 0.015 here (measured with 6e7 path-steps).
EULER_ALLOWANCE = 0.02

heston = _native.price_heston_european_call
merton = _native.price_merton_jump_diffusion_call


# --- Envelope, config reading, validation ---


@pytest.mark.parametrize("function, workload, config, defaults, order", [
    (heston, "heston_european_call", {"paths": 300, "steps": 4}, HESTON_DEFAULTS, [
        "s0", "spot", "k", "strike", "r", "rate", "v0", "initial_variance", "kappa", "mean_reversion", "theta",
        "long_run_variance", "vol_of_vol", "rho", "correlation", "t", "maturity", "n_paths", "paths", "n_steps", "steps",
        "seed", "n_threads", "technique"]),
    (merton, "merton_jump_diffusion_call", {"paths": 300}, MERTON_DEFAULTS, [
        "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity", "n_paths", "paths", "seed",
        "n_threads", "jump_intensity", "jump_mean", "jump_volatility"]),
])
def test_envelope_defaults_and_reading_order(recording_config, function, workload, config, defaults, order):
    recorder = recording_config(config)
    result = function(recorder)
    assert recorder.keys == order
    assert_envelope(result, workload, {**defaults, "n_paths": 300, **({"n_steps": 4} if "n_steps" in defaults else {})})


def test_aliases_and_ignored_keys():
    small = {"n_paths": 40, "n_steps": 2, "n_threads": 1}
    assert heston({**small, "long_run_variance": 0.25, "theta": 0.5, "correlation": 0.25})["manifest"]["config"]["theta"] == 0.5
    with pytest.raises(ValueError, match="^unsupported Monte Carlo technique 'plain'$"):
        heston({"technique": "plain"})
    assert heston({**small, "sampling": "no such sampling"}) == heston(small)
    assert merton({**small, "technique": "no such technique", "sampling": 7}) == merton(small)


HESTON_VALIDATION = validation_cases([
    ("n_paths", 0, "n_paths must be > 0"), ("n_steps", 0, "n_steps must be > 0"), ("s0", 0.0, "s0 must be > 0"),
    ("k", -0.01, "k must be >= 0"), ("v0", -1e-9, "v0 must be >= 0"), ("kappa", -1.0, "kappa must be >= 0"),
    ("theta", -1.0, "theta must be >= 0"), ("vol_of_vol", -0.3, "vol_of_vol must be >= 0"),
    ("rho", -1.0000001, "rho must be in [-1, 1]"), ("t", 0.0, "t must be > 0"),
])
MERTON_VALIDATION = validation_cases([
    ("n_paths", 0, "n_paths must be > 0"), ("s0", -1.0, "s0 must be > 0"), ("k", 0.0, "k must be > 0"),
    ("sigma", -0.1, "sigma must be >= 0"), ("jump_intensity", -0.4, "jump_intensity must be >= 0"),
    ("jump_volatility", -0.25, "jump_volatility must be >= 0"), ("t", -1.0, "t must be > 0"),
])


@pytest.mark.parametrize("function, config, message", [(heston, c, m) for c, m in HESTON_VALIDATION] + [(merton, c, m) for c, m in MERTON_VALIDATION],
                         ids=lambda v: str(v) if isinstance(v, dict) else None)
def test_validation_messages_in_order(panic_exception, function, config, message):
    with pytest.raises(panic_exception) as raised:
        function({"n_steps": 2, **config})
    assert str(raised.value) == message


def test_strike_zero_heston_accepts_merton_rejects_and_unvalidated_fields(panic_exception):
    result = heston({"k": 0.0, "n_paths": 3000, "n_steps": 10, "n_threads": 1, "technique": "control_variate"})
    assert result["price"] == pytest.approx(100.0, abs=1e-9) and result["stderr"] < 1e-9
    with pytest.raises(panic_exception, match="^k must be > 0$"):
        merton({"k": 0.0})
    # r is not validated: a NaN leaves the result without a price (Heston's and jump_mean: test_envelope.py)
    with pytest.raises(ValueError, match="^native pricing result did not include price$"):
        merton({"r": NAN, "n_paths": 10})


# --- Heston ---

# Reference prices from the Lewis (2001) integral of Gatheral's characteristic function, integrated
# numerically to 1e-12 relative once and pinned here.
HESTON_CASES = [
    ({}, "standard", 9.194330463435122),
    ({}, "antithetic", 9.194330463435122),
    ({}, "control_variate", 9.194330463435122),
    ({"k": 90.0, "v0": 0.05, "kappa": 2.0, "theta": 0.05, "vol_of_vol": 0.25, "rho": -0.3}, "standard", 16.227732502085672),
    ({"k": 110.0, "r": 0.01, "v0": 0.03, "kappa": 1.0, "theta": 0.05, "vol_of_vol": 0.4, "rho": -0.8, "t": 0.5},
     "control_variate", 0.9474294238447953),
    ({"rho": 1.0}, "control_variate", 8.972131151534683),
    ({"rho": -1.0}, "control_variate", 9.183840710650884),
]


@pytest.mark.parametrize("config, technique, expected", HESTON_CASES, ids=lambda v: str(v) if isinstance(v, dict) else None)
def test_heston_against_semi_closed_form(config, technique, expected):
    result = heston({**config, "n_paths": 40000, "n_steps": 100, "n_threads": 2, "technique": technique, "seed": 5})
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"] + EULER_ALLOWANCE, (result["price"], result["stderr"], expected)


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_heston_constant_variance_is_black_scholes(technique):
    # vol_of_vol = 0 and v0 = theta: the variance stays at theta and the log-Euler step is exact.
    config = {"vol_of_vol": 0.0, "v0": 0.0625, "theta": 0.0625, "k": 95.0}
    result = heston({**config, "n_paths": 40000, "n_steps": 20, "n_threads": 2, "technique": technique})
    assert abs(result["price"] - bs_call(100.0, 95.0, 0.03, 0.25, 1.0)) <= 4.0 * result["stderr"]


# Per step z1 (cosine) then z2 (sine) of one Box-Muller draw, full truncation; antithetic runs take
# ceil(n / 2) pairs mirroring both; below 2000 units per worker the run is serial on the raw seed. Serial standard and
# antithetic answers from a pure-Python Heston kernel on the generator's normals (seed 13).
HESTON_KNOWN = [
    ({"n_paths": 41, "n_steps": 7}, "standard", 6.776314035671614, 1.2972847307527824),
    ({"n_paths": 41, "n_steps": 7}, "antithetic", 7.860397089841985, 0.9924234716118687),
    ({"n_paths": 41, "n_steps": 7}, "control_variate", 7.905755829579228, 0.8304573689299682),
    ({"n_paths": 41, "n_steps": 7, "rho": 1.0, "v0": 0.0, "k": 98.0}, "standard", 7.900590023735652, 1.75970228718907),
    ({"n_paths": 41, "n_steps": 7, "vol_of_vol": 2.0, "kappa": 0.2}, "antithetic", 7.905036054226038, 1.3299646465568777),
    ({"n_paths": 3, "n_steps": 513}, "standard", 1.8190178884457853, 1.2745210229335016),  # past 512 steps in lockstep
    ({"n_paths": 3, "n_steps": 513}, "antithetic", 2.4798801962656394, 1.5657287209746027),
    ({"n_paths": 8001, "n_steps": 6, "n_threads": 2, "seed": 42}, "control_variate", 9.174084436633322, 0.06529539639518385),
    ({"n_paths": 8000, "n_steps": 6, "n_threads": 2, "seed": 42}, "antithetic", 9.245414065264663, 0.09549787836835856),
]


@pytest.mark.parametrize("config, technique, price, stderr", HESTON_KNOWN, ids=lambda v: str(v) if isinstance(v, dict) else None)
def test_heston_known_values(config, technique, price, stderr):
    result = heston({"n_threads": 1, "seed": 13, **config, "technique": technique})
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9)


def test_heston_threads_and_deterministic_control():
    for technique, below in (("standard", 7999), ("control_variate", 7999), ("antithetic", 15997)):
        base = {"n_steps": 3, "technique": technique}
        assert heston({**base, "n_paths": below, "n_threads": 4})["price"] == heston({**base, "n_paths": below, "n_threads": 1})["price"]
        parallel = heston({**base, "n_paths": 8000 if technique != "antithetic" else 16000, "n_threads": 2})
        assert parallel["price"] != heston({**base, "n_paths": 8000 if technique != "antithetic" else 16000, "n_threads": 1})["price"]
    # Zero variance throughout: every control value is equal, so the control-variate estimate is the plain one.
    flat = {"v0": 0.0, "theta": 0.0, "n_paths": 500, "n_steps": 8, "n_threads": 1}
    cv, plain = heston({**flat, "technique": "control_variate"}), heston(flat)
    assert cv["price"] == pytest.approx(plain["price"], rel=1e-12)
    assert plain["price"] == pytest.approx(100.0 - 100.0 * math.exp(-0.03), rel=1e-12)
    assert cv["stderr"] < 1e-6 and plain["stderr"] < 1e-6


# --- Merton ---

# Merton's series e^{-rT} sum_n P(N = n) E[(S_T - K)^+ | n jumps] (ln S_T normal given n), summed
# independently of the package to 200 terms once and pinned here.
MERTON_CASES = {
    "defaults": ({}, 11.223920057397217),
    "no-diffusion": ({"sigma": 0.0, "jump_intensity": 1.5, "jump_mean": 0.02, "jump_volatility": 0.3}, 14.925264623844877),
    "frequent-small": ({"jump_intensity": 12.0, "jump_mean": 0.01, "jump_volatility": 0.05, "t": 0.5, "k": 105.0}, 6.064134633612603),
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
    assert merton({"n_paths": 7999, "n_threads": 4, "seed": 3})["values"] == merton({"n_paths": 7999, "n_threads": 1, "seed": 3})["values"]
    assert merton({"n_paths": 8000, "n_threads": 4})["price"] != merton({"n_paths": 8000, "n_threads": 1})["price"]


def test_poisson_failure_serial_and_in_a_worker(panic_exception):
    with pytest.raises(panic_exception) as raised:  # 100 paths run on the calling thread
        merton({"jump_intensity": 800.0, "n_paths": 100, "n_threads": 2})
    assert str(raised.value) == "Poisson sampler did not converge"
    with pytest.raises(panic_exception) as raised:
        merton({"jump_intensity": 400.0, "t": 2.0, "n_paths": 4000, "n_threads": 2})
    assert str(raised.value) == "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge"
    assert type(raised.value).__mro__[1] is BaseException
    assert math.isfinite(merton({"jump_intensity": 700.0, "jump_mean": 0.0, "jump_volatility": 0.001, "n_paths": 200})["price"])


# --- The package's references and the command line ---


def test_package_heston_reference_agrees_with_lewis():
    for config, _, lewis in HESTON_CASES:
        model = [{**HESTON_DEFAULTS, **config}[key] for key in HESTON_MODEL]
        assert reference.heston_call(*model) == pytest.approx(lewis, rel=1e-9)
    constant = reference.heston_call(100.0, 95.0, 0.03, 0.0625, 1.5, 0.0625, 0.0, -0.6, 1.0)
    assert constant == pytest.approx(bs_call(100.0, 95.0, 0.03, 0.25, 1.0), rel=1e-12)


def summary(cli_run, *argv):
    code, out, err = cli_run(*argv)
    assert code == 0, err
    return summary_fields(out)


def test_cli_prices_heston_and_merton(cli_run):
    fields = summary(cli_run, "price", "heston_european_call", "n_paths=4000", "n_steps=20", "n_threads=1", "technique=antithetic")
    result = heston({"n_paths": 4000, "n_steps": 20, "n_threads": 1, "technique": "antithetic"})
    assert fields["price"] == f"{result['price']:.6f}" and fields["technique"] == "antithetic" and "sampling" not in fields
    assert fields["Heston (semi-closed form)"].startswith(f"{reference.heston_call(*[HESTON_DEFAULTS[key] for key in HESTON_MODEL]):.6f}")
    fields = summary(cli_run, "price", "merton_jump_diffusion_call", "n_paths=5000", "jump_intensity=1")
    assert fields["Merton series"].startswith("13.609478")  # the independent series, pinned
    failure = "error: CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge\n"
    assert cli_run("price", "merton_jump_diffusion_call", "jump_intensity=800", "n_paths=4000", "n_threads=2") == (cli.EXIT_ERROR, "", failure)


def test_demo_includes_every_product(cli_run):
    code, out, err = cli_run("demo", "--paths", "2000", "n_steps=64", "n_threads=1")
    assert code == 0, err
    combos = {tuple(cells[:3]) for cells in (line.split() for line in out.splitlines()) if len(cells) == 7 and cells[-1] != "(ms)"}
    heston_rows = {("heston_european_call", "pseudorandom", t) for t in TECHNIQUES}
    assert {c for c in combos if c[0] in ("heston_european_call", "merton_jump_diffusion_call")} == heston_rows | {
        ("merton_jump_diffusion_call", "pseudorandom", "standard")}
    assert sum(1 for c in combos if c[0] == "basket_call") == 15 and {"american_put", "bermudan_put"} <= {c[0] for c in combos}
    assert "Heston (semi-closed form) price:" in out and "Merton series price:" in out
