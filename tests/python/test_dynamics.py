"""Heston and Merton jump-diffusion calls from Python.

Prices are checked against references written here, independently of the
package: Heston by Lewis's (2001) single-integral formula over Gatheral's
form of the characteristic function (integrated with SciPy's adaptive
quadrature), Merton by the conditional Black–Scholes expectation summed over
the Poisson jump count, and Black–Scholes itself.  The stream order of the
Merton kernel is pinned against a pure-Python re-implementation of the
generator.
"""

from __future__ import annotations

import math

import pytest

import brisklane
from brisklane import _native, cli, reference

HESTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "v0": 0.04, "kappa": 1.5, "theta": 0.04, "vol_of_vol": 0.3,
    "rho": -0.6, "t": 1.0, "n_paths": 100000, "n_steps": 252, "seed": 42, "n_threads": 0, "technique": "standard",
}
MERTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "jump_intensity": 0.4, "jump_mean": -0.08,
    "jump_volatility": 0.25, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
}
TECHNIQUES = ("standard", "antithetic", "control_variate")
HESTON_MODEL_KEYS = ("s0", "k", "r", "v0", "kappa", "theta", "vol_of_vol", "rho", "t")

# Full-truncation Euler converges to the model price like the step size; with
# 100 steps the bias is below 0.015 for the configurations priced here
# (measured with 6e7 path-steps each), so 0.02 is allowed on top of 4 stderr.
EULER_ALLOWANCE = 0.02

heston = _native.price_heston_european_call
merton = _native.price_merton_jump_diffusion_call

# ---------------------------------------------------------------------------
# Independent references
# ---------------------------------------------------------------------------


def bs_call(s0, k, r, sigma, t):
    if sigma == 0.0:
        return max(s0 - k * math.exp(-r * t), 0.0)
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    cdf = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))  # noqa: E731
    return s0 * cdf(d1) - k * math.exp(-r * t) * cdf(d1 - sd)


def heston_lewis(s0, k, r, v0, kappa, theta, vol_of_vol, rho, t):
    """C = S - sqrt(S K) e^{-rT/2} / pi * int_0^inf Re[e^{iux} phi(u - i/2)] / (u^2 + 1/4) du,
    x = ln(S/K) + rT, phi the characteristic function of ln(S_T / F) (Gatheral 2006, ch. 2)."""
    integrate = pytest.importorskip("scipy.integrate")
    np = pytest.importorskip("numpy")
    x = math.log(s0 / k) + r * t
    xi = vol_of_vol

    def phi(u):
        alpha = -0.5 * u * u - 0.5j * u
        beta = kappa - rho * xi * 1j * u
        gamma = 0.5 * xi * xi
        d = np.sqrt(beta * beta - 4.0 * alpha * gamma)
        r_minus = (beta - d) / (xi * xi)
        r_plus = (beta + d) / (xi * xi)
        g = r_minus / r_plus
        e = np.exp(-d * t)
        big_d = r_minus * (1.0 - e) / (1.0 - g * e)
        big_c = kappa * (r_minus * t - 2.0 / (xi * xi) * np.log((1.0 - g * e) / (1.0 - g)))
        return np.exp(big_c * theta + big_d * v0)

    def integrand(u):
        return (np.exp(1j * u * x) * phi(u - 0.5j)).real / (u * u + 0.25)

    value, _ = integrate.quad(integrand, 0.0, np.inf, limit=500, epsabs=1e-13, epsrel=1e-12)
    return s0 - math.sqrt(s0 * k) * math.exp(-0.5 * r * t) / math.pi * value


def merton_series(s0, k, r, sigma, t, jump_intensity, jump_mean, jump_volatility):
    """exp(-rT) sum_n P(N = n) E[(S_T - K)^+ | N = n]; given n jumps, ln S_T is normal with
    mean ln s0 + (r - lambda kappa - sigma^2/2) T + n mu and variance sigma^2 T + n delta^2."""
    kappa = math.exp(jump_mean + 0.5 * jump_volatility**2) - 1.0
    mean_count = jump_intensity * t
    cdf = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))  # noqa: E731
    total = 0.0
    weight = math.exp(-mean_count)
    for n in range(0, 200):
        if n > 0:
            weight *= mean_count / n
        var = sigma * sigma * t + n * jump_volatility**2
        mean = math.log(s0) + (r - jump_intensity * kappa - 0.5 * sigma * sigma) * t + n * jump_mean
        forward = math.exp(mean + 0.5 * var)
        if var == 0.0:
            conditional = max(forward - k, 0.0)
        else:
            sd = math.sqrt(var)
            d2 = (mean - math.log(k)) / sd
            conditional = forward * cdf(d2 + sd) - k * cdf(d2)
        total += weight * conditional
    return math.exp(-r * t) * total


# ---------------------------------------------------------------------------
# The generator, for pinning the stream order
# ---------------------------------------------------------------------------

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
DBL_MIN = 2.2250738585072014e-308


class Stream:
    def __init__(self, seed):
        self.state = seed or GOLDEN
        self.spare = None

    def uniform(self):
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        self.state = x
        return max((((x * 0x2545F4914F6CDD1D) & MASK) >> 11) * 2.0**-53, DBL_MIN)

    def normal(self):
        if self.spare is not None:
            value, self.spare = self.spare, None
            return value
        u1, u2 = self.uniform(), self.uniform()
        radius = math.sqrt(-2.0 * math.log(u1))
        angle = 6.283185307179586 * u2
        self.spare = radius * math.sin(angle)
        return radius * math.cos(angle)


def merton_by_stream(config, seed):
    """Serial Merton estimate: diffusion normal, Poisson uniform, jump normal per path."""
    c = {**MERTON_DEFAULTS, **config}
    lam, mu, delta, t = c["jump_intensity"], c["jump_mean"], c["jump_volatility"], c["t"]
    mean_jump = math.exp(mu + 0.5 * (delta * delta)) - 1.0
    drift = t * ((c["r"] - lam * mean_jump) - 0.5 * (c["sigma"] * c["sigma"]))
    start = math.log(c["s0"]) + drift
    diffusion = c["sigma"] * math.sqrt(t)
    mean_count = lam * t
    p0 = math.exp(-mean_count)
    disc = math.exp(-(c["r"] * t))
    stream = Stream(seed)
    total = total_sq = 0.0
    for _ in range(c["n_paths"]):
        z = stream.normal()
        jump = 0.0
        if mean_count != 0.0:
            u = stream.uniform()
            p = f = p0
            n = 0
            while u > f:
                n += 1
                p = p * mean_count / n
                f += p
            if n:
                jump = mu * n + delta * math.sqrt(n) * stream.normal()
        y = disc * max(math.exp(start + diffusion * z + jump) - c["k"], 0.0)
        total += y
        total_sq += y * y
    n = c["n_paths"]
    price = total / n
    return price, math.sqrt(max(total_sq / n - price * price, 0.0)) / math.sqrt(n)


def heston_by_stream(config, seed, technique="standard"):
    """Serial Heston estimate: per step z1 (cosine) then z2 (sine) of one Box–Muller draw."""
    c = {**HESTON_DEFAULTS, **config}
    dt = c["t"] / c["n_steps"]
    sqrt_dt = math.sqrt(dt)
    rho = c["rho"]
    rho_bar = math.sqrt(max(1.0 - rho * rho, 0.0))
    disc = math.exp(-(c["r"] * c["t"]))
    stream = Stream(seed)

    def path(normals, sign):
        x, v = math.log(c["s0"]), c["v0"]
        for z1, z2 in normals:
            z1, z2 = sign * z1, sign * z2
            vp = max(v, 0.0)
            root = math.sqrt(vp)
            x = x + dt * (c["r"] - 0.5 * vp) + sqrt_dt * root * (rho * z1 + rho_bar * z2)
            v = max(v + dt * (c["kappa"] * (c["theta"] - vp)) + sqrt_dt * (c["vol_of_vol"] * root) * z1, 0.0)
        return disc * max(math.exp(x) - c["k"], 0.0)

    n = c["n_paths"]
    units = n - n // 2 if technique == "antithetic" else n
    samples = []
    for _ in range(units):
        normals = [(stream.normal(), stream.normal()) for _ in range(c["n_steps"])]
        y = path(normals, 1.0)
        if technique == "antithetic":
            y = 0.5 * (y + path(normals, -1.0))
        samples.append(y)
    price = sum(samples) / units
    return price, math.sqrt(max(sum(y * y for y in samples) / units - price * price, 0.0)) / math.sqrt(units)


# ---------------------------------------------------------------------------
# Registration and envelope
# ---------------------------------------------------------------------------


def test_functions_are_registered_after_the_european_call_in_order():
    names = [name for name in vars(_native) if name.startswith("price_")]
    ours = ["price_european_call", "price_basket_call", "price_heston_european_call", "price_merton_jump_diffusion_call"]
    assert [name for name in names if name in ours] == ours
    for name in ours[1:]:
        assert getattr(brisklane, name) is getattr(_native, name)
        assert getattr(_native, name).__text_signature__ == "(config)"


@pytest.mark.parametrize(
    "function, workload, config, defaults",
    [
        (heston, "heston_european_call", {"n_paths": 300, "n_steps": 4}, HESTON_DEFAULTS),
        (merton, "merton_jump_diffusion_call", {"n_paths": 300}, MERTON_DEFAULTS),
    ],
)
def test_envelope_and_echoed_config(function, workload, config, defaults):
    result = function(config)
    assert list(result) == ["manifest", "price", "stderr", "values", "warnings"]
    manifest = result["manifest"]
    assert manifest["workload"] == workload
    assert manifest["function"] == "price_" + workload
    assert manifest["schema_version"] == "python-native-runtime.v1"
    assert manifest["config"] == {**defaults, **config}
    assert list(manifest["config"]) == sorted(manifest["config"])
    assert result["values"] == {"price": result["price"], "stderr": result["stderr"]}
    assert result["warnings"] == []


HESTON_LOOKUP_ORDER = [
    "s0", "spot", "k", "strike", "r", "rate", "v0", "initial_variance", "kappa", "mean_reversion",
    "theta", "long_run_variance", "vol_of_vol", "rho", "correlation", "t", "maturity",
    "n_paths", "paths", "n_steps", "steps", "seed", "n_threads", "technique",
]
MERTON_LOOKUP_ORDER = [
    "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity",
    "n_paths", "paths", "seed", "n_threads", "jump_intensity", "jump_mean", "jump_volatility",
]


@pytest.mark.parametrize(
    "function, order, small",
    [
        (heston, HESTON_LOOKUP_ORDER, {"paths": 50, "steps": 3}),
        (merton, MERTON_LOOKUP_ORDER, {"paths": 50}),
    ],
)
def test_keys_are_read_in_order(recording_config, function, order, small):
    config = recording_config(small)
    function(config)
    assert config.keys == order


@pytest.mark.parametrize(
    "function, field, first, second",
    [
        (heston, "v0", "v0", "initial_variance"),
        (heston, "kappa", "kappa", "mean_reversion"),
        (heston, "theta", "theta", "long_run_variance"),
        (heston, "rho", "rho", "correlation"),
        (heston, "t", "t", "maturity"),
        (heston, "s0", "s0", "spot"),
        (merton, "sigma", "sigma", "volatility"),
        (merton, "k", "k", "strike"),
        (merton, "r", "r", "rate"),
    ],
)
def test_aliases(function, field, first, second):
    small = {"n_paths": 20, "n_steps": 2, "n_threads": 1}
    assert function({**small, second: 0.25})["manifest"]["config"][field] == 0.25
    assert function({**small, second: 0.25, first: 0.5})["manifest"]["config"][field] == 0.5


def test_reading_stops_at_the_first_failure(recording_config):
    config = recording_config({"n_paths": 10}, raise_on={"kappa"})
    with pytest.raises(LookupError):
        heston(config)
    assert config.keys[-1] == "kappa"
    assert "theta" not in config.keys


@pytest.mark.parametrize(
    "function, config, error",
    [
        (heston, {"v0": "0.04"}, TypeError),
        (heston, {"n_steps": 1.5}, TypeError),
        (heston, {"n_steps": -1}, OverflowError),
        (heston, {"technique": "plain"}, ValueError),
        (heston, {"technique": 1}, TypeError),
        (merton, {"jump_intensity": "high"}, TypeError),
        (merton, {"seed": -3}, OverflowError),
    ],
)
def test_conversion_errors(function, config, error):
    with pytest.raises(error):
        function(config)


def test_enumerations_the_products_do_not_read_are_ignored():
    small = {"n_paths": 40, "n_steps": 2, "n_threads": 1}
    assert heston({**small, "sampling": "no such sampling"}) == heston(small)
    assert merton({**small, "technique": "no such technique", "sampling": 7}) == merton(small)


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------

NAN = float("nan")

HESTON_VALIDATION = [
    ({"n_paths": 0, "n_steps": 0, "s0": NAN}, "n_paths must be > 0"),
    ({"n_steps": 0, "s0": -1.0}, "n_steps must be > 0"),
    ({"s0": 0.0, "k": -1.0}, "s0 must be > 0"),
    ({"s0": NAN}, "s0 must be > 0"),
    ({"k": -0.01, "v0": -1.0}, "k must be >= 0"),
    ({"k": NAN}, "k must be >= 0"),
    ({"v0": -1e-9, "kappa": -1.0}, "v0 must be >= 0"),
    ({"v0": NAN}, "v0 must be >= 0"),
    ({"kappa": -1.0, "theta": -1.0}, "kappa must be >= 0"),
    ({"kappa": NAN}, "kappa must be >= 0"),
    ({"theta": -1.0, "vol_of_vol": -1.0}, "theta must be >= 0"),
    ({"theta": NAN}, "theta must be >= 0"),
    ({"vol_of_vol": -0.3, "rho": 2.0}, "vol_of_vol must be >= 0"),
    ({"vol_of_vol": NAN}, "vol_of_vol must be >= 0"),
    ({"rho": 1.5, "t": 0.0}, "rho must be in [-1, 1]"),
    ({"rho": -1.0000001}, "rho must be in [-1, 1]"),
    ({"rho": NAN}, "rho must be in [-1, 1]"),
    ({"t": 0.0}, "t must be > 0"),
    ({"t": NAN}, "t must be > 0"),
]

MERTON_VALIDATION = [
    ({"n_paths": 0, "s0": NAN}, "n_paths must be > 0"),
    ({"s0": -1.0, "k": 0.0}, "s0 must be > 0"),
    ({"s0": NAN}, "s0 must be > 0"),
    ({"k": 0.0, "sigma": -1.0}, "k must be > 0"),
    ({"k": NAN}, "k must be > 0"),
    ({"sigma": -0.1, "jump_intensity": -1.0}, "sigma must be >= 0"),
    ({"sigma": NAN}, "sigma must be >= 0"),
    ({"jump_intensity": -0.4, "jump_volatility": -1.0}, "jump_intensity must be >= 0"),
    ({"jump_intensity": NAN}, "jump_intensity must be >= 0"),
    ({"jump_volatility": -0.25, "t": 0.0}, "jump_volatility must be >= 0"),
    ({"jump_volatility": NAN}, "jump_volatility must be >= 0"),
    ({"t": -1.0}, "t must be > 0"),
    ({"t": NAN}, "t must be > 0"),
]


@pytest.mark.parametrize("config, message", HESTON_VALIDATION, ids=lambda v: str(v))
def test_heston_validation(panic_exception, config, message):
    with pytest.raises(panic_exception) as raised:
        heston({"n_steps": 2, **config})
    assert str(raised.value) == message


@pytest.mark.parametrize("config, message", MERTON_VALIDATION, ids=lambda v: str(v))
def test_merton_validation(panic_exception, config, message):
    with pytest.raises(panic_exception) as raised:
        merton(config)
    assert str(raised.value) == message


def test_validation_errors_escape_except_exception(panic_exception):
    with pytest.raises(panic_exception):
        try:
            merton({"k": 0.0})
        except Exception:  # noqa: BLE001 - must not catch the fatal-error class
            pytest.fail("PanicException was caught as an Exception")


def test_strike_zero_heston_accepts_merton_rejects(panic_exception):
    result = heston({"k": 0.0, "n_paths": 3000, "n_steps": 10, "n_threads": 1, "technique": "control_variate"})
    assert result["price"] == pytest.approx(100.0, abs=1e-9)
    assert result["stderr"] < 1e-9
    with pytest.raises(panic_exception, match="^k must be > 0$"):
        merton({"k": 0.0})


@pytest.mark.parametrize("rho", [-1.0, 1.0])
def test_heston_accepts_perfect_correlation(rho):
    result = heston({"rho": rho, "n_paths": 20000, "n_steps": 50, "n_threads": 2, "technique": "control_variate"})
    expected = heston_lewis(100.0, 100.0, 0.03, 0.04, 1.5, 0.04, 0.3, rho, 1.0)
    assert abs(result["price"] - expected) < 4.0 * result["stderr"] + 0.05


def test_heston_accepts_zero_initial_variance():
    result = heston({"v0": 0.0, "n_paths": 2000, "n_steps": 20, "n_threads": 1})
    assert math.isfinite(result["price"]) and result["price"] > 0.0


def test_unvalidated_nan_rate_fails_in_the_binding():
    with pytest.raises(ValueError, match="native pricing result did not include price"):
        heston({"r": NAN, "n_paths": 10, "n_steps": 2})
    with pytest.raises(ValueError, match="native pricing result did not include price"):
        merton({"r": NAN, "n_paths": 10})


# ---------------------------------------------------------------------------
# Heston prices
# ---------------------------------------------------------------------------

HESTON_VARIANTS = {
    "itm-mild": {"k": 90.0, "v0": 0.05, "kappa": 2.0, "theta": 0.05, "vol_of_vol": 0.25, "rho": -0.3},
    "otm-short-skewed": {"k": 110.0, "r": 0.01, "v0": 0.03, "kappa": 1.0, "theta": 0.05, "vol_of_vol": 0.4,
                         "rho": -0.8, "t": 0.5},
}


def heston_model(config):
    merged = {**HESTON_DEFAULTS, **config}
    return [merged[key] for key in HESTON_MODEL_KEYS]


def assert_close_to_heston(result, config):
    expected = heston_lewis(*heston_model(config))
    error = result["price"] - expected
    assert abs(error) <= 4.0 * result["stderr"] + EULER_ALLOWANCE, (result["price"], result["stderr"], expected)


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_heston_defaults_against_semi_closed_form(technique):
    result = heston({"n_paths": 40000, "n_steps": 100, "n_threads": 2, "technique": technique})
    assert_close_to_heston(result, {})


@pytest.mark.parametrize("name", sorted(HESTON_VARIANTS))
@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_heston_variants_against_semi_closed_form(name, technique):
    config = HESTON_VARIANTS[name]
    result = heston({**config, "n_paths": 40000, "n_steps": 100, "n_threads": 2, "technique": technique, "seed": 5})
    assert_close_to_heston(result, config)


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_heston_constant_variance_is_black_scholes(technique):
    # vol_of_vol = 0 and v0 = theta keep the variance at theta; the log-Euler
    # step is then exact, so no discretisation allowance is needed.
    config = {"vol_of_vol": 0.0, "v0": 0.0625, "theta": 0.0625, "k": 95.0}
    result = heston({**config, "n_paths": 40000, "n_steps": 20, "n_threads": 2, "technique": technique})
    expected = bs_call(100.0, 95.0, 0.03, 0.25, 1.0)
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"]


@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("config", [{}, {"rho": 1.0, "v0": 0.0, "k": 98.0}, {"vol_of_vol": 2.0, "kappa": 0.2}],
                         ids=["defaults", "rho-one-from-zero-variance", "truncating"])
def test_heston_stream_order(config, technique):
    small = {**config, "n_paths": 41, "n_steps": 7}
    result = heston({**small, "n_threads": 1, "seed": 13, "technique": technique})
    price, stderr = heston_by_stream(small, 13, technique)
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9)


def test_heston_deterministic_control_equals_standard():
    # Zero variance throughout: every control value is the same, so the
    # control-variate estimate is the plain one (up to the rounding noise in
    # the control's computed sample variance).
    config = {"v0": 0.0, "theta": 0.0, "n_paths": 500, "n_steps": 8, "n_threads": 1}
    cv = heston({**config, "technique": "control_variate"})
    plain = heston({**config, "technique": "standard"})
    assert cv["price"] == pytest.approx(plain["price"], rel=1e-12)
    assert cv["stderr"] < 1e-6
    assert plain["price"] == pytest.approx(100.0 - 100.0 * math.exp(-0.03), rel=1e-12)
    assert plain["stderr"] < 1e-6  # the square root of rounding noise


def test_heston_antithetic_counts_pairs():
    # 5 paths are 3 pairs, as are 6; one path is one pair, with no spread.
    small = {"n_steps": 5, "n_threads": 1, "technique": "antithetic"}
    five, six = heston({**small, "n_paths": 5}), heston({**small, "n_paths": 6})
    assert (five["price"], five["stderr"]) == (six["price"], six["stderr"])
    assert five["price"] != heston({**small, "n_paths": 4})["price"]
    assert heston({**small, "n_paths": 1})["stderr"] == 0.0


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_heston_serial_below_threshold_and_parallel_above(technique):
    base = {"n_steps": 3, "technique": technique}
    units = 7999 if technique != "antithetic" else 15997  # 7999 pairs
    serial = heston({**base, "n_paths": units, "n_threads": 1})
    assert heston({**base, "n_paths": units, "n_threads": 4})["price"] == serial["price"]
    parallel = heston({**base, "n_paths": 8000, "n_threads": 2})
    assert parallel == heston({**base, "n_paths": 8000, "n_threads": 2})
    assert parallel["price"] != heston({**base, "n_paths": 8000, "n_threads": 1})["price"]


def test_heston_control_variate_reduces_stderr():
    config = {"s0": 130.0, "k": 80.0, "v0": 0.01, "theta": 0.01, "n_paths": 20000, "n_steps": 20, "n_threads": 2}
    standard = heston({**config, "technique": "standard"})
    cv = heston({**config, "technique": "control_variate"})
    assert cv["stderr"] < 0.05 * standard["stderr"]


# ---------------------------------------------------------------------------
# Merton prices
# ---------------------------------------------------------------------------

MERTON_CASES = {
    "defaults": {},
    "no-diffusion": {"sigma": 0.0, "jump_intensity": 1.5, "jump_mean": 0.02, "jump_volatility": 0.3},
    "fixed-jumps": {"jump_volatility": 0.0, "jump_mean": -0.15, "jump_intensity": 2.0, "k": 90.0},
    "frequent-small": {"jump_intensity": 12.0, "jump_mean": 0.01, "jump_volatility": 0.05, "t": 0.5, "k": 105.0},
}


@pytest.mark.parametrize("name", sorted(MERTON_CASES))
def test_merton_against_series(name):
    config = MERTON_CASES[name]
    result = merton({**config, "n_paths": 200000, "n_threads": 2})
    merged = {**MERTON_DEFAULTS, **config}
    expected = merton_series(*[merged[key] for key in ("s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean",
                                                        "jump_volatility")])
    assert abs(result["price"] - expected) <= 4.0 * result["stderr"], (result, expected)


@pytest.mark.parametrize("config", [{}, {"jump_intensity": 3.0}, {"jump_intensity": 0.0}, {"sigma": 0.0}],
                         ids=["defaults", "many-jumps", "no-jumps", "no-diffusion"])
def test_merton_stream_order(config):
    result = merton({**config, "n_paths": 301, "n_threads": 1, "seed": 77})
    price, stderr = merton_by_stream({**config, "n_paths": 301}, 77)
    assert result["price"] == pytest.approx(price, rel=1e-12)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9)


def test_merton_without_jumps_draws_no_uniform():
    # With no uniform per path the stream is exactly the terminal European
    # call's: same normals, same paths, up to the rounding of the drift.
    config = {"jump_intensity": 0.0, "n_paths": 5000, "n_threads": 1, "seed": 9}
    jd = merton(config)
    european = brisklane.price_european_call(config)
    assert jd["price"] == pytest.approx(european["price"], rel=1e-12)
    assert jd["stderr"] == pytest.approx(european["stderr"], rel=1e-9)


def test_merton_martingale():
    # Deep in the money the payoff is linear: the price tends to s0 - k exp(-rt).
    result = merton({"k": 1e-6, "jump_intensity": 2.0, "jump_mean": -0.3, "n_paths": 200000, "n_threads": 2})
    assert abs(result["price"] - (100.0 - 1e-6 * math.exp(-0.03))) <= 4.0 * result["stderr"]


def test_merton_serial_raw_seed_and_parallel_blocks():
    serial = merton({"n_paths": 7999, "n_threads": 4, "seed": 3})
    assert serial["values"] == merton({"n_paths": 7999, "n_threads": 1, "seed": 3})["values"]
    assert merton({"n_paths": 8000, "n_threads": 4})["price"] != merton({"n_paths": 8000, "n_threads": 1})["price"]


def test_poisson_failure_on_the_calling_thread(panic_exception):
    with pytest.raises(panic_exception) as raised:
        merton({"jump_intensity": 800.0, "n_paths": 100, "n_threads": 2})
    assert str(raised.value) == "Poisson sampler did not converge"


def test_poisson_failure_in_a_worker(panic_exception):
    with pytest.raises(panic_exception) as raised:
        merton({"jump_intensity": 400.0, "t": 2.0, "n_paths": 4000, "n_threads": 2})
    assert str(raised.value) == "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge"
    assert type(raised.value).__mro__[1] is BaseException


def test_large_but_representable_jump_rate_runs():
    result = merton({"jump_intensity": 700.0, "jump_mean": 0.0, "jump_volatility": 0.001, "n_paths": 200, "n_threads": 1})
    assert math.isfinite(result["price"])


# ---------------------------------------------------------------------------
# The package's reference prices (used by the command line)
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "model",
    [
        (100.0, 100.0, 0.03, 0.04, 1.5, 0.04, 0.3, -0.6, 1.0),
        (100.0, 90.0, 0.03, 0.09, 2.0, 0.04, 0.5, 0.5, 2.0),
        (100.0, 120.0, 0.01, 0.02, 0.5, 0.06, 0.8, -0.9, 0.5),
        (80.0, 100.0, 0.05, 0.04, 3.0, 0.05, 1.0, 0.0, 3.0),
    ],
)
def test_package_heston_reference_agrees_with_lewis(model):
    assert reference.heston_call(*model) == pytest.approx(heston_lewis(*model), rel=1e-8, abs=1e-10)


def test_package_heston_reference_limits():
    assert reference.heston_call(100.0, 95.0, 0.03, 0.0625, 1.5, 0.0625, 0.0, -0.6, 1.0) == pytest.approx(
        bs_call(100.0, 95.0, 0.03, 0.25, 1.0), rel=1e-12)
    # A tiny vol_of_vol stays next to the deterministic-variance price.
    assert reference.heston_call(100.0, 95.0, 0.03, 0.0625, 1.5, 0.0625, 1e-7, -0.6, 1.0) == pytest.approx(
        bs_call(100.0, 95.0, 0.03, 0.25, 1.0), rel=1e-7)
    assert reference.heston_call(100.0, 0.0, 0.03, 0.04, 1.5, 0.04, 0.3, -0.6, 1.0) == 100.0
    assert math.isnan(reference.heston_call(100.0, 100.0, 0.03, 0.04, 1.5, 0.04, 0.3, 1.5, 1.0))


@pytest.mark.parametrize("name", sorted(MERTON_CASES))
def test_package_merton_reference_agrees_with_series(name):
    merged = {**MERTON_DEFAULTS, **MERTON_CASES[name]}
    args = [merged[key] for key in ("s0", "k", "r", "sigma", "t", "jump_intensity", "jump_mean", "jump_volatility")]
    assert reference.merton_call(*args) == pytest.approx(merton_series(*args), rel=1e-10)


def test_package_merton_reference_without_jumps_is_black_scholes():
    assert reference.merton_call(100.0, 95.0, 0.03, 0.2, 1.0, 0.0, -0.1, 0.3) == pytest.approx(
        bs_call(100.0, 95.0, 0.03, 0.2, 1.0), rel=1e-14)


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def summary(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    assert code == 0, err
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition("  ")
        fields[label.strip()] = value.strip()
    return fields, out


def test_cli_prices_heston(capsys):
    fields, out = summary(capsys, "price", "heston_european_call", "n_paths=4000", "n_steps=20", "n_threads=1",
                          "technique=antithetic")
    result = heston({"n_paths": 4000, "n_steps": 20, "n_threads": 1, "technique": "antithetic"})
    assert fields["price"] == f"{result['price']:.6f}"
    assert fields["technique"] == "antithetic"
    assert "sampling" not in fields
    assert out.count("Heston (semi-closed form)") == 1
    assert fields["Heston (semi-closed form)"].startswith(f"{reference.heston_call(*heston_model({})):.6f}")


def test_cli_prices_merton(capsys):
    fields, _ = summary(capsys, "price", "merton_jump_diffusion_call", "n_paths=5000", "jump_intensity=1")
    assert fields["Merton series"].startswith(f"{merton_series(100, 100, 0.03, 0.2, 1, 1.0, -0.08, 0.25):.6f}")
    assert "technique" not in fields


def test_cli_reports_the_worker_failure_as_one_line(capsys):
    code = cli.main(["price", "merton_jump_diffusion_call", "jump_intensity=800", "n_paths=4000", "n_threads=2"])
    out, err = capsys.readouterr()
    assert code == cli.EXIT_ERROR and out == ""
    assert err == "error: CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge\n"


def test_demo_includes_every_product(capsys):
    code = cli.main(["demo", "--paths", "2000", "n_steps=64", "n_threads=1"])
    out, err = capsys.readouterr()
    assert code == 0, err
    rows = [line.split() for line in out.splitlines()]
    combos = {(cells[0], cells[1], cells[2]) for cells in rows if len(cells) == 7 and cells[-1] != "(ms)"}
    assert {combo for combo in combos if combo[0] == "heston_european_call"} == {
        ("heston_european_call", "pseudorandom", technique) for technique in TECHNIQUES
    }
    assert {combo for combo in combos if combo[0] == "merton_jump_diffusion_call"} == {
        ("merton_jump_diffusion_call", "pseudorandom", "standard")
    }
    assert sum(1 for combo in combos if combo[0] == "basket_call") == 15
    assert "Heston (semi-closed form) price:" in out
    assert "Merton series price:" in out
    assert "total time:" in out
