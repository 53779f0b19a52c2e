"""The two-asset basket call from Python.

Prices are checked against Black–Scholes where the basket is one lognormal
asset (a zero weight; perfect correlation with equal volatilities), written
here independently of the package; the pseudorandom stream is pinned against
a pure-Python re-implementation of the generator and the payoff.
"""

from __future__ import annotations

import math

import pytest

from brisklane import _native, cli, reference

basket = _native.price_basket_call

SAMPLING_METHODS = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
TECHNIQUES = ("standard", "antithetic", "control_variate")

DEFAULTS = {
    "s01": 100.0, "s02": 95.0, "k": 100.0, "r": 0.03, "sigma1": 0.2, "sigma2": 0.25, "rho": 0.35,
    "weight1": 0.5, "weight2": 0.5, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
    "technique": "standard", "sampling": "pseudorandom",
}
LOOKUP_ORDER = [
    "s01", "spot_1", "spot1", "s02", "spot_2", "spot2", "k", "strike", "r", "rate",
    "sigma1", "volatility_1", "volatility1", "sigma2", "volatility_2", "volatility2", "rho", "correlation",
    "weight1", "weight_1", "weight2", "weight_2", "t", "maturity", "n_paths", "paths", "seed", "n_threads",
    "technique", "sampling",
]


def bs_call(s0, k, r, sigma, t):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    cdf = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))  # noqa: E731
    return s0 * cdf(d1) - k * math.exp(-r * t) * cdf(d1 - sd)


# ---------------------------------------------------------------------------
# Reading the config
# ---------------------------------------------------------------------------


def test_envelope_and_defaults():
    result = basket({"n_paths": 500})
    assert list(result) == ["manifest", "price", "stderr", "values", "warnings"]
    assert result["manifest"]["workload"] == "basket_call"
    assert result["manifest"]["function"] == "price_basket_call"
    assert result["manifest"]["config"] == {**DEFAULTS, "n_paths": 500}
    assert "n_steps" not in result["manifest"]["config"]
    assert result["values"] == {"price": result["price"], "stderr": result["stderr"]}
    assert result["warnings"] == []


def test_keys_are_read_in_order(recording_config):
    config = recording_config({"paths": 100})
    basket(config)
    assert config.keys == LOOKUP_ORDER


@pytest.mark.parametrize(
    "field, aliases, value",
    [
        ("s01", ["s01", "spot_1", "spot1"], 104.0),
        ("s02", ["s02", "spot_2", "spot2"], 91.0),
        ("sigma1", ["sigma1", "volatility_1", "volatility1"], 0.31),
        ("sigma2", ["sigma2", "volatility_2", "volatility2"], 0.11),
        ("rho", ["rho", "correlation"], -0.4),
        ("weight1", ["weight1", "weight_1"], 0.7),
        ("weight2", ["weight2", "weight_2"], 0.3),
        ("k", ["k", "strike"], 90.0),
        ("t", ["t", "maturity"], 2.0),
    ],
)
def test_aliases_earlier_wins(field, aliases, value):
    small = {"n_paths": 50}
    for position, alias in enumerate(aliases):
        config = {**small, alias: value}
        for later in aliases[position + 1:]:
            config[later] = value + 1.0  # ignored: an earlier alias is given
        assert basket(config)["manifest"]["config"][field] == value


def test_seed_is_an_unsigned_integer():
    assert basket({"n_paths": 10, "seed": 2**64 - 1})["manifest"]["config"]["seed"] == 2**64 - 1
    with pytest.raises(OverflowError):
        basket({"seed": 2**64})
    with pytest.raises(TypeError):
        basket({"seed": 4.0})


def test_enumeration_text_is_normalised():
    config = basket({"n_paths": 50, "sampling": " Latin-Hypercube ", "technique": "CONTROL-VARIATE"})["manifest"]["config"]
    assert (config["sampling"], config["technique"]) == ("latin_hypercube", "control_variate")
    with pytest.raises(ValueError, match="unsupported sampling method 'sobol'"):
        basket({"sampling": "sobol"})


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------

NAN = float("nan")

VALIDATION = [
    ({"n_paths": 0, "s01": NAN}, "n_paths must be > 0"),
    ({"s01": 0.0, "s02": 0.0}, "s01 must be > 0"),
    ({"s01": NAN}, "s01 must be > 0"),
    ({"s02": 0.0, "rho": 2.0}, "s02 must be > 0"),
    ({"s02": NAN}, "s02 must be > 0"),
    ({"k": -1.0, "sigma1": -1.0}, "k must be >= 0"),
    ({"k": NAN}, "k must be >= 0"),
    ({"sigma1": -0.2, "sigma2": -1.0}, "sigma1 must be >= 0"),
    ({"sigma1": NAN}, "sigma1 must be >= 0"),
    ({"sigma2": -0.25, "t": 0.0}, "sigma2 must be >= 0"),
    ({"sigma2": NAN}, "sigma2 must be >= 0"),
    ({"t": 0.0, "rho": 2.0}, "t must be > 0"),
    ({"t": NAN}, "t must be > 0"),
    ({"rho": 1.0000001}, "rho must be in [-1, 1]"),
    ({"rho": -2.0}, "rho must be in [-1, 1]"),
    ({"rho": NAN}, "rho must be in [-1, 1]"),
]


@pytest.mark.parametrize("config, message", VALIDATION, ids=lambda v: str(v))
def test_validation(panic_exception, config, message):
    with pytest.raises(panic_exception) as raised:
        basket(config)
    assert str(raised.value) == message


@pytest.mark.parametrize("rho", [-1.0, 1.0])
def test_perfect_correlation_is_accepted(rho):
    result = basket({"rho": rho, "n_paths": 2000})
    assert math.isfinite(result["price"]) and result["stderr"] > 0.0


def test_weights_and_rate_are_not_validated():
    result = basket({"weight1": -0.5, "weight2": 1.5, "r": -0.02, "k": 0.0, "n_paths": 2000})
    assert math.isfinite(result["price"])


def test_nan_rate_fails_in_the_binding():
    with pytest.raises(ValueError, match="native pricing result did not include price"):
        basket({"r": NAN, "n_paths": 10})


# ---------------------------------------------------------------------------
# Sampling, threads, techniques
# ---------------------------------------------------------------------------

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15


class Stream:
    def __init__(self, seed):
        self.state = seed or GOLDEN

    def uniform(self):
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        self.state = x
        return max((((x * 0x2545F4914F6CDD1D) & MASK) >> 11) * 2.0**-53, 2.2250738585072014e-308)

    def pair(self):
        """One Box–Muller draw: (R cos, R sin)."""
        u1, u2 = self.uniform(), self.uniform()
        radius = math.sqrt(-2.0 * math.log(u1))
        angle = 6.283185307179586 * u2
        return radius * math.cos(angle), radius * math.sin(angle)


def reference_pseudorandom(overrides, technique):
    c = {**DEFAULTS, **overrides}
    t, r = c["t"], c["r"]
    drift1 = t * (r - c["sigma1"] * (c["sigma1"] * 0.5))
    drift2 = t * (r - c["sigma2"] * (c["sigma2"] * 0.5))
    vol1, vol2 = c["sigma1"] * math.sqrt(t), c["sigma2"] * math.sqrt(t)
    rho = c["rho"]
    rho_c = math.sqrt(max(1.0 - rho * rho, 0.0))
    disc = math.exp(-(r * t))

    def value(z1, z2, sign):
        s1 = c["s01"] * math.exp(drift1 + sign * vol1 * z1)
        s2 = c["s02"] * math.exp(drift2 + vol2 * z2)
        return c["weight1"] * s1 + c["weight2"] * s2

    stream = Stream(c["seed"])
    n = c["n_paths"]
    units = n - n // 2 if technique == "antithetic" else n
    samples, controls = [], []
    for _ in range(units):
        z1, zb = stream.pair()
        b = value(z1, rho * z1 + rho_c * zb, 1.0)
        y = disc * max(b - c["k"], 0.0)
        if technique == "antithetic":
            b_mirror = value(z1, -(rho_c * zb) - rho * z1, -1.0)
            y = (y + disc * max(b_mirror - c["k"], 0.0)) * 0.5
        samples.append(y)
        controls.append(disc * b)
    count = float(len(samples))
    mean = sum(samples) / count
    m2 = sum(y * y for y in samples) / count
    if technique == "control_variate":
        mu = c["s01"] * c["weight1"] + c["s02"] * c["weight2"]
        c_bar = sum(controls) / count
        m_cc = sum(x * x for x in controls) / count
        m_cy = sum(x * y for x, y in zip(controls, samples)) / count
        beta = (m_cy - mean * c_bar) / (m_cc - c_bar * c_bar)
        price = mean - beta * (c_bar - mu)
        m2 = m2 - 2.0 * beta * (m_cy - mu * mean) + beta * beta * (mu * mu + (m_cc - 2.0 * mu * c_bar))
        mean = price
    return mean, math.sqrt(max(m2 - mean * mean, 0.0)) / math.sqrt(count)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("overrides", [{"n_paths": 257}, {"n_paths": 1000, "rho": -0.8, "seed": 0, "weight2": -0.2}])
def test_pseudorandom_unit_takes_one_box_muller_draw(technique, overrides):
    result = basket({**overrides, "technique": technique})
    price, stderr = reference_pseudorandom(overrides, technique)
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-8)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_thread_count_has_no_influence(sampling, technique):
    config = {"n_paths": 10000, "sampling": sampling, "technique": technique}
    values = {tuple(basket({**config, "n_threads": n})["values"].values()) for n in (0, 1, 2, 8)}
    assert len(values) == 1


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_brownian_bridge_changes_nothing(technique):
    config = {"n_paths": 3000, "technique": technique}
    assert basket({**config, "sampling": "scrambled_sobol"})["values"] == basket(
        {**config, "sampling": "scrambled_sobol_brownian_bridge"})["values"]


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_antithetic_pairs(sampling):
    config = {"sampling": sampling, "technique": "antithetic"}
    assert basket({**config, "n_paths": 1})["stderr"] == 0.0
    if sampling in ("pseudorandom", "randomized_halton", "scrambled_sobol"):
        # 7 and 8 paths are 4 pairs each, on the same normals (the Latin
        # hypercube strata depend on the point count, so it is left out).
        assert basket({**config, "n_paths": 7})["values"] == basket({**config, "n_paths": 8})["values"]


def test_seeds_change_the_estimate():
    assert basket({"n_paths": 500, "seed": 1})["price"] != basket({"n_paths": 500, "seed": 2})["price"]
    assert basket({"n_paths": 500, "seed": 0})["values"] == basket({"n_paths": 500, "seed": GOLDEN})["values"]


def test_control_variate_reduces_stderr():
    config = {"k": 60.0, "n_paths": 20000}
    assert basket({**config, "technique": "control_variate"})["stderr"] < 0.05 * basket(config)["stderr"]


# ---------------------------------------------------------------------------
# Against Black–Scholes on an equivalent single asset
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_single_asset_when_weight2_is_zero(sampling, technique):
    # weight1 S1 - k = 0.8 (S1 - 125): a call on asset 1 struck at 125, times 0.8.
    config = {"weight1": 0.8, "weight2": 0.0, "k": 100.0, "s01": 120.0, "n_paths": 40000}
    result = basket({**config, "sampling": sampling, "technique": technique})
    expected = 0.8 * bs_call(120.0, 125.0, 0.03, 0.2, 1.0)
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"] + 1e-9


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_single_asset_when_perfectly_correlated_with_equal_volatilities(sampling, technique):
    # S2 / s02 = S1 / s01 on every path: the basket is one asset worth
    # 0.5 * 100 + 0.5 * 95 = 97.5 today.
    config = {"rho": 1.0, "sigma1": 0.3, "sigma2": 0.3, "n_paths": 40000}
    result = basket({**config, "sampling": sampling, "technique": technique})
    expected = bs_call(97.5, 100.0, 0.03, 0.3, 1.0)
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"] + 1e-9


def test_package_reference_single_asset_cases():
    single = reference.basket_call_single_asset
    assert single(120.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.8, 0.0, 1.0) == pytest.approx(
        0.8 * bs_call(120.0, 125.0, 0.03, 0.2, 1.0), rel=1e-12)
    assert single(100.0, 95.0, 100.0, 0.03, 0.3, 0.3, 1.0, 0.5, 0.5, 1.0) == pytest.approx(
        bs_call(97.5, 100.0, 0.03, 0.3, 1.0), rel=1e-12)
    assert single(100.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.0, 2.0, 1.0) == pytest.approx(
        bs_call(190.0, 100.0, 0.03, 0.25, 1.0), rel=1e-12)
    assert math.isnan(single(100.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, 0.5, 0.5, 1.0))
    assert single(100.0, 95.0, 100.0, 0.03, 0.2, 0.25, 0.35, -1.0, 0.0, 1.0) == 0.0


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def test_cli_price_shows_the_single_asset_reference(capsys):
    code = cli.main(["price", "basket_call", "weight2=0", "weight1=1", "n_paths=5000", "sampling=scrambled_sobol"])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert "Black-Scholes (single-asset case)" in out
    assert f"{bs_call(100.0, 100.0, 0.03, 0.2, 1.0):.6f}" in out


def test_cli_price_general_basket_has_no_reference(capsys):
    code = cli.main(["price", "basket_call", "n_paths=2000", "spot1=110"])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert "Black-Scholes" not in out
    assert "latin" not in out and "pseudorandom" in out
