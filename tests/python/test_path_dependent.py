"""Path-dependent GBM calls: arithmetic Asian, lookback and down-and-out.

Three layers of checks:

* exact agreement (relative 1e-12) of small pseudorandom runs with a pure-Python
  re-implementation of the step-by-step path kernels, the antithetic pairs and the
  parallel split, on top of the stream reference of ``test_european``;
* structural properties: validation order, config reading and echo, pair counts,
  thread (in)dependence, the Brownian-bridge construction, degenerate inputs, and
  reductions to the European call when a single step is simulated;
* statistical agreement with closed forms written out below: the discrete
  geometric-average Asian call (a lower bound of the arithmetic one), the
  continuous-barrier down-and-out call and the continuous fixed-strike lookback
  call, the latter two with the Broadie-Glasserman-Kou continuity correction.
"""

from __future__ import annotations

import math

import pytest

from test_european import UNITS_PER_WORKER, NormalStream, _control_variate, _plain, derive_worker_seed

SAMPLING_METHODS = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
STRUCTURED = SAMPLING_METHODS[1:]
TECHNIQUES = ("standard", "antithetic", "control_variate")

PRODUCTS = ("asian", "lookback", "down_and_out")
FUNCTION_NAMES = {
    "asian": "price_arithmetic_asian_call",
    "lookback": "price_lookback_call",
    "down_and_out": "price_down_and_out_call",
}
WORKLOADS = {
    "asian": "arithmetic_asian_call",
    "lookback": "lookback_call",
    "down_and_out": "down_and_out_call",
}

REL = 1e-12
BGK_BETA = 0.5826  # -zeta(1/2) / sqrt(2 pi)

DEFAULTS = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_paths": 100000, "n_steps": 252, "seed": 42}
BARRIER_DEFAULT = 80.0

GBM_ORDER = ["s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity"]


@pytest.fixture(scope="module")
def pricers(native):
    return {product: getattr(native, name) for product, name in FUNCTION_NAMES.items()}


def assert_panics(call, panic_exception, message):
    with pytest.raises(panic_exception) as info:
        call()
    assert type(info.value) is panic_exception
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Pure-Python reference of the stepwise kernels
# ---------------------------------------------------------------------------


def _positive_part(x: float) -> float:
    return x if x > 0.0 else 0.0  # NaN gives 0


def _path(product, zs, sign, s0, k, barrier, drift, vol, n):
    """(payoff, terminal price) of one path driven by the step normals ``zs``."""
    x = math.log(s0)
    total = 0.0
    running_max = s0
    knocked = s0 <= barrier if product == "down_and_out" else False
    last = s0
    for z in zs:
        x = x + (drift + vol * z) if sign > 0 else x + (drift - vol * z)
        last = math.exp(x)
        total = total + last
        if last > running_max:
            running_max = last
        if product == "down_and_out" and last <= barrier:
            knocked = True
    if product == "asian":
        return _positive_part(total / n - k), last
    if product == "lookback":
        return _positive_part(running_max - k), last
    return (0.0 if knocked else _positive_part(last - k)), last


def reference_price(product, overrides, technique="standard", workers=1):
    """Pseudorandom (price, stderr); ``workers`` is the effective worker count."""
    cfg = {**DEFAULTS, "barrier": BARRIER_DEFAULT, **overrides}
    s0, k, r, sigma, t = cfg["s0"], cfg["k"], cfg["r"], cfg["sigma"], cfg["t"]
    n_paths, n_steps, seed, barrier = cfg["n_paths"], cfg["n_steps"], cfg["seed"], cfg["barrier"]
    n = float(n_steps)
    dt = t / n
    drift = dt * (r + sigma * (sigma * -0.5))
    vol = sigma * math.sqrt(dt)
    disc = math.exp(-(r * t))
    args = (s0, k, barrier, drift, vol, n)

    def chunk(stream_seed, count):
        stream = NormalStream(stream_seed)
        sums = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
        for _ in range(count):
            zs = [stream.next_normal() for _ in range(n_steps)]
            if technique == "antithetic":
                minus, _ = _path(product, zs, -1, *args)
                plus, _ = _path(product, zs, +1, *args)
                y = (disc * minus + disc * plus) * 0.5
                c = 0.0
            else:
                payoff, last = _path(product, zs, +1, *args)
                y = disc * payoff
                c = disc * last
            sums[0] += 1
            sums[1] += y
            sums[2] += y * y
            sums[3] += c
            sums[4] += c * c
            sums[5] += c * y
        return sums

    units = n_paths - n_paths // 2 if technique == "antithetic" else n_paths
    if workers < 2 or units < workers * UNITS_PER_WORKER:
        totals = chunk(seed, units)
    else:
        q, rem = divmod(units, workers)
        totals = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
        for w in range(workers):
            part = chunk(derive_worker_seed(seed, w), q + 1 if w < rem else q)
            totals = [a + b for a, b in zip(totals, part)]
    if technique == "control_variate":
        return _control_variate(totals, s0)
    return _plain(totals[1], totals[2], units)


# ---------------------------------------------------------------------------
# Closed forms
# ---------------------------------------------------------------------------


def norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes_call(s0, k, r, sigma, t):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    return s0 * norm_cdf(d1) - k * math.exp(-r * t) * norm_cdf(d1 - sd)


def geometric_asian_moments(s0, r, sigma, t, n):
    """Mean and variance of the log of the geometric average of S(iT/n), i = 1..n."""
    mean = math.log(s0) + (r - 0.5 * sigma * sigma) * t * (n + 1) / (2.0 * n)
    # Var = sigma^2 / n^2 * sum_{i,j} min(t_i, t_j) = sigma^2 T / n^3 * n(n+1)(2n+1)/6
    var = sigma * sigma * t * (n + 1) * (2 * n + 1) / (6.0 * n * n)
    return mean, var


def geometric_asian_call(s0, k, r, sigma, t, n):
    """Discretely sampled geometric-average Asian call (lognormal average)."""
    mean, var = geometric_asian_moments(s0, r, sigma, t, n)
    sd = math.sqrt(var)
    d1 = (mean - math.log(k) + var) / sd
    return math.exp(-r * t) * (math.exp(mean + 0.5 * var) * norm_cdf(d1) - k * norm_cdf(d1 - sd))


def arithmetic_geometric_mean_gap(s0, r, sigma, t, n):
    """Discounted E[A] - E[G]: bounds the arithmetic call minus the geometric call from above."""
    mean, var = geometric_asian_moments(s0, r, sigma, t, n)
    arithmetic = sum(s0 * math.exp(r * t * i / n) for i in range(1, n + 1)) / n
    return math.exp(-r * t) * (arithmetic - math.exp(mean + 0.5 * var))


def down_and_out_call_continuous(s0, k, barrier, r, sigma, t):
    """Continuously monitored down-and-out call, barrier below the strike, no rebate."""
    assert barrier <= k and barrier < s0
    lam = (r + 0.5 * sigma * sigma) / (sigma * sigma)
    sd = sigma * math.sqrt(t)
    y = math.log(barrier * barrier / (s0 * k)) / sd + lam * sd
    down_and_in = s0 * (barrier / s0) ** (2.0 * lam) * norm_cdf(y) - k * math.exp(-r * t) * (barrier / s0) ** (
        2.0 * lam - 2.0
    ) * norm_cdf(y - sd)
    return black_scholes_call(s0, k, r, sigma, t) - down_and_in


def lookback_call_continuous(s0, k, r, sigma, t):
    """Continuous fixed-strike lookback call whose running maximum starts at s0.

    K >= s0: the Conze-Viswanathan formula; K < s0: the payoff is (s0 - K) plus
    the K = s0 option, since the maximum never falls below s0.
    """
    if k < s0:
        return math.exp(-r * t) * (s0 - k) + lookback_call_continuous(s0, s0, r, sigma, t)
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    a = sigma * sigma / (2.0 * r)
    reflected = -((s0 / k) ** (-2.0 * r / (sigma * sigma))) * norm_cdf(d1 - 2.0 * r * math.sqrt(t) / sigma)
    return s0 * norm_cdf(d1) - k * math.exp(-r * t) * norm_cdf(d2) + s0 * math.exp(-r * t) * a * (
        reflected + math.exp(r * t) * norm_cdf(d1)
    )


def down_and_out_call_discrete(s0, k, barrier, r, sigma, t, n):
    """Broadie-Glasserman-Kou: monitoring at n dates ~ continuous with the barrier moved away."""
    shifted = barrier * math.exp(-BGK_BETA * sigma * math.sqrt(t / n))
    return down_and_out_call_continuous(s0, k, shifted, r, sigma, t)


def lookback_call_discrete(s0, k, r, sigma, t, n):
    """Discrete maximum ~ continuous maximum * exp(-beta sigma sqrt(dt)) (above s0).

    Returns (approximation, the part of it that is not the certain s0 - K).
    """
    c = math.exp(-BGK_BETA * sigma * math.sqrt(t / n))
    floor = math.exp(-r * t) * max(s0 - k, 0.0)
    optional = c * lookback_call_continuous(s0, max(k, s0) / c, r, sigma, t)
    return floor + optional, optional


def _lookback_by_quadrature(s0, k, r, sigma, t, intervals=2000):
    """e^{-rT} E[(max(s0, M_T) - K)^+] by Simpson's rule over the law of the maximum's log."""
    nu = r - 0.5 * sigma * sigma
    sd = sigma * math.sqrt(t)

    def exceeds(u):  # P(max_{s<=T} log(S_s/s0) > u), u >= 0
        return 1.0 - (norm_cdf((u - nu * t) / sd) - math.exp(2.0 * nu * u / (sigma * sigma)) * norm_cdf((-u - nu * t) / sd))

    a = math.log(max(k, s0) / s0)
    b = a + abs(nu) * t + 12.0 * sd + 1.0
    h = (b - a) / intervals
    total = 0.0
    for i in range(intervals + 1):
        u = a + i * h
        weight = 1.0 if i in (0, intervals) else (4.0 if i % 2 else 2.0)
        total += weight * exceeds(u) * s0 * math.exp(u)
    return math.exp(-r * t) * (total * h / 3.0 + max(s0 - k, 0.0))


def test_closed_forms_sanity():
    # Geometric Asian with one date is the European call.
    assert geometric_asian_call(100.0, 95.0, 0.03, 0.2, 1.0, 1) == pytest.approx(black_scholes_call(100.0, 95.0, 0.03, 0.2, 1.0), rel=1e-12)
    # A far-away barrier changes nothing.
    assert down_and_out_call_continuous(100.0, 100.0, 1e-3, 0.03, 0.2, 1.0) == pytest.approx(
        black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0), rel=1e-9
    )
    # Reflection form of the down-and-out: C(S, K) - (B/S)^(2 lambda - 2) C(B^2/S, K).
    s0, k, b, r, sigma, t = 100.0, 105.0, 90.0, 0.04, 0.25, 0.8
    lam = (r + 0.5 * sigma * sigma) / (sigma * sigma)
    reflected = black_scholes_call(s0, k, r, sigma, t) - (b / s0) ** (2.0 * lam - 2.0) * black_scholes_call(b * b / s0, k, r, sigma, t)
    assert down_and_out_call_continuous(s0, k, b, r, sigma, t) == pytest.approx(reflected, rel=1e-10)
    # Lookback against a quadrature of the running maximum's distribution.
    for s0, k, r, sigma, t in [(100.0, 100.0, 0.1, 0.3, 1.0), (100.0, 110.0, 0.03, 0.2, 1.0), (100.0, 90.0, 0.05, 0.3, 0.5)]:
        assert lookback_call_continuous(s0, k, r, sigma, t) == pytest.approx(_lookback_by_quadrature(s0, k, r, sigma, t), rel=1e-9)
    # The lookback is worth more than the European; its two cases join continuously at K = s0.
    assert lookback_call_continuous(100.0, 110.0, 0.03, 0.2, 1.0) > black_scholes_call(100.0, 110.0, 0.03, 0.2, 1.0)
    assert lookback_call_continuous(100.0, 100.0 - 1e-9, 0.03, 0.2, 1.0) == pytest.approx(
        lookback_call_continuous(100.0, 100.0, 0.03, 0.2, 1.0), abs=1e-7
    )


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------

SMALL = {"n_paths": 200, "n_steps": 4, "n_threads": 1}

COMMON_VALIDATION = [
    ({"n_paths": 0}, "n_paths must be > 0"),
    ({"n_steps": 0}, "n_steps must be > 0"),
    ({"n_paths": 0, "n_steps": 0}, "n_paths must be > 0"),
]

LOOKBACK_VALIDATION = COMMON_VALIDATION + [
    ({"n_paths": 0, "s0": 0.0, "k": -1.0, "sigma": -1.0, "t": 0.0}, "n_paths must be > 0"),
    ({"n_steps": 0, "s0": 0.0, "k": -1.0, "sigma": -1.0, "t": 0.0}, "n_steps must be > 0"),
    ({"s0": 0.0}, "s0 must be > 0"),
    ({"s0": -5.0}, "s0 must be > 0"),
    ({"s0": math.nan}, "s0 must be > 0"),
    ({"s0": 0.0, "k": -1.0, "sigma": -1.0, "t": 0.0}, "s0 must be > 0"),
    ({"k": -1.0}, "k must be >= 0"),
    ({"k": -1e-300}, "k must be >= 0"),
    ({"k": math.nan}, "k must be >= 0"),
    ({"k": -1.0, "sigma": -1.0, "t": 0.0}, "k must be >= 0"),
    ({"sigma": -0.2}, "sigma must be >= 0"),
    ({"sigma": math.nan}, "sigma must be >= 0"),
    ({"sigma": -0.2, "t": -1.0}, "sigma must be >= 0"),
    ({"t": 0.0}, "t must be > 0"),
    ({"t": -1.0}, "t must be > 0"),
    ({"t": math.nan}, "t must be > 0"),
]

DOWN_AND_OUT_VALIDATION = COMMON_VALIDATION + [
    ({"n_paths": 0, "barrier": 0.0}, "n_paths must be > 0"),
    ({"n_steps": 0, "barrier": -1.0}, "n_steps must be > 0"),
    ({"barrier": 0.0}, "barrier must be > 0"),
    ({"barrier": -80.0}, "barrier must be > 0"),
    ({"barrier": math.nan}, "barrier must be > 0"),
    ({"barrier": -0.0}, "barrier must be > 0"),
]

VALIDATION_CASES = (
    [("asian", config, message) for config, message in COMMON_VALIDATION]
    + [("lookback", config, message) for config, message in LOOKBACK_VALIDATION]
    + [("down_and_out", config, message) for config, message in DOWN_AND_OUT_VALIDATION]
)


def _validation_id(case):
    product, config, _ = case
    return product + ":" + ",".join(f"{key}={value}" for key, value in config.items())


@pytest.mark.parametrize("case", VALIDATION_CASES, ids=_validation_id)
def test_validation_messages_in_order(pricers, panic_exception, case):
    product, config, message = case
    assert_panics(lambda: pricers[product]({**SMALL, **config}), panic_exception, message)


# Inputs that only some products reject.
ACCEPTED = [
    ("asian", {"s0": 0.0}),
    ("asian", {"s0": -5.0}),
    ("asian", {"k": -1.0}),
    ("asian", {"sigma": -0.2}),
    ("asian", {"t": 0.0}),
    ("asian", {"sigma": math.nan}),
    ("lookback", {"k": 0.0}),
    ("lookback", {"sigma": 0.0}),
    ("lookback", {"r": -0.5}),
    ("down_and_out", {"s0": 0.0}),
    ("down_and_out", {"k": -1.0}),
    ("down_and_out", {"sigma": -0.2}),
    ("down_and_out", {"sigma": 0.0, "r": -0.1}),
    ("down_and_out", {"barrier": 1e-300}),
    ("down_and_out", {"barrier": 150.0}),
]


@pytest.mark.parametrize("product, config", ACCEPTED, ids=lambda v: v if isinstance(v, str) else ",".join(f"{a}={b}" for a, b in v.items()))
def test_inputs_that_are_not_validated(pricers, product, config):
    result = pricers[product]({**SMALL, **config})
    echoed = result["manifest"]["config"]
    for key, value in config.items():
        if isinstance(value, float) and math.isnan(value):
            assert echoed[key] is None  # a NaN double is written as null
        else:
            assert echoed[key] == value
    assert result["stderr"] >= 0.0


# ---------------------------------------------------------------------------
# Envelope and config reading
# ---------------------------------------------------------------------------

GBM_KEYS = ["k", "n_paths", "n_steps", "n_threads", "r", "s0", "sampling", "seed", "sigma", "t", "technique"]


@pytest.mark.parametrize("product", PRODUCTS)
def test_envelope_shape(pricers, product):
    result = pricers[product]({**SMALL, "n_paths": 1000})
    assert list(result) == ["manifest", "price", "stderr", "values", "warnings"]
    manifest = result["manifest"]
    assert list(manifest) == [
        "backend",
        "config",
        "function",
        "native_module",
        "performance_claim",
        "reproducibility",
        "schema_version",
        "workload",
    ]
    assert manifest["function"] == FUNCTION_NAMES[product]
    assert manifest["workload"] == WORKLOADS[product]
    assert manifest["backend"] == "cpu_native"
    assert manifest["native_module"] == "brisklane._native"
    assert manifest["schema_version"] == "python-native-runtime.v1"
    assert result["values"] == {"price": result["price"], "stderr": result["stderr"]}
    assert list(result["values"]) == ["price", "stderr"]
    assert result["warnings"] == []
    assert type(result["price"]) is float and type(result["stderr"]) is float
    assert result["price"] > 0.0 and result["stderr"] > 0.0
    expected_keys = sorted(GBM_KEYS + (["barrier"] if product == "down_and_out" else []))
    assert list(manifest["config"]) == expected_keys


@pytest.mark.parametrize("product", PRODUCTS)
def test_defaults_are_echoed(pricers, product):
    # n_steps left out (default 252) with few paths; then n_paths left out with one step.
    by_steps = pricers[product]({"n_paths": 50, "n_threads": 1})["manifest"]["config"]
    by_paths = pricers[product]({"n_steps": 1, "n_threads": 1})["manifest"]["config"]
    expected = {
        "s0": 100.0,
        "k": 100.0,
        "r": 0.03,
        "sigma": 0.2,
        "t": 1.0,
        "seed": 42,
        "technique": "standard",
        "sampling": "pseudorandom",
    }
    if product == "down_and_out":
        expected["barrier"] = 80.0
    for key, value in expected.items():
        assert by_steps[key] == value, key
        assert type(by_steps[key]) is type(value), key
    assert by_steps["n_steps"] == 252
    assert by_steps["n_threads"] == 1
    assert by_paths["n_paths"] == 100000


def test_down_and_out_barrier_echo_and_conversion(pricers):
    price = pricers["down_and_out"]
    given = price({**SMALL, "barrier": 85})
    assert given["manifest"]["config"]["barrier"] == 85.0
    assert type(given["manifest"]["config"]["barrier"]) is float
    assert given == price({**SMALL, "barrier": 85.0})
    assert price({**SMALL, "barrier": None}) == price(SMALL)
    assert price({**SMALL, "barrier": 80.0}) == price(SMALL)
    assert price({**SMALL, "barrier": 95.0})["price"] < given["price"]
    with pytest.raises(TypeError):
        price({**SMALL, "barrier": "85"})


@pytest.mark.parametrize("product", PRODUCTS)
def test_reading_order(pricers, recording_config, product):
    config = recording_config({"n_paths": 50, "n_threads": 1})
    pricers[product](config)
    expected = GBM_ORDER + ["n_paths", "n_steps", "steps", "seed"]
    if product == "down_and_out":
        expected.append("barrier")
    expected += ["n_threads", "technique", "sampling"]
    assert config.keys == expected


@pytest.mark.parametrize(
    "failing, first",
    [
        ({"barrier", "n_threads"}, "barrier"),
        ({"barrier", "technique"}, "barrier"),
        ({"barrier", "seed"}, "seed"),
        ({"barrier", "steps"}, "steps"),
    ],
    ids=lambda value: "-".join(sorted(value)) if isinstance(value, set) else value,
)
def test_down_and_out_barrier_read_after_seed_before_threads(pricers, recording_config, failing, first):
    config = recording_config(raise_on=failing)
    with pytest.raises(LookupError) as info:
        pricers["down_and_out"](config)
    assert info.value.args == (first,)
    assert config.keys[-1] == first


@pytest.mark.parametrize(
    "config, error",
    [
        ({"barrier": "x", "n_threads": -1}, TypeError),
        ({"n_threads": -1, "barrier": "x"}, TypeError),
        ({"seed": -1, "barrier": "x"}, OverflowError),
        ({"barrier": 1.0, "n_threads": 1.5}, TypeError),
        ({"barrier": "x", "technique": "plain"}, TypeError),
    ],
)
def test_down_and_out_first_conversion_error_wins(pricers, config, error):
    with pytest.raises(error):
        pricers["down_and_out"]({"n_paths": 10, "n_steps": 2, **config})


@pytest.mark.parametrize("product", PRODUCTS)
def test_enumerations_are_normalised(pricers, product):
    base = {"n_paths": 500, "n_steps": 4, "n_threads": 1}
    loose = pricers[product]({**base, "technique": " Control-Variate\t", "sampling": "Scrambled-Sobol-Brownian-Bridge "})
    canonical = pricers[product]({**base, "technique": "control_variate", "sampling": "scrambled_sobol_brownian_bridge"})
    assert loose == canonical
    assert loose["manifest"]["config"]["technique"] == "control_variate"
    assert loose["manifest"]["config"]["sampling"] == "scrambled_sobol_brownian_bridge"


@pytest.mark.parametrize("product", PRODUCTS)
def test_unsupported_enumerations(pricers, product):
    with pytest.raises(ValueError, match=r"^unsupported sampling method 'sobol bridge'$"):
        pricers[product]({**SMALL, "sampling": "sobol bridge"})
    with pytest.raises(ValueError, match=r"^unsupported Monte Carlo technique 'Plain'$"):
        pricers[product]({**SMALL, "technique": "Plain"})


@pytest.mark.parametrize("product", PRODUCTS)
def test_aliases(pricers, product):
    base = {"n_threads": 1, "seed": 3}
    long = pricers[product]({**base, "spot": 105.0, "strike": 95.0, "rate": 0.01, "volatility": 0.3, "maturity": 0.5, "paths": 300, "steps": 6})
    short = pricers[product]({**base, "s0": 105.0, "k": 95.0, "r": 0.01, "sigma": 0.3, "t": 0.5, "n_paths": 300, "n_steps": 6})
    assert long == short


# ---------------------------------------------------------------------------
# Exact agreement with the reference kernels (pseudorandom)
# ---------------------------------------------------------------------------

# (config overrides, effective worker count)
REFERENCE_CASES = [
    ({"n_paths": 201, "n_steps": 8, "n_threads": 1}, 1),
    ({"n_paths": 1, "n_steps": 5, "n_threads": 1}, 1),
    ({"n_paths": 2, "n_steps": 3, "n_threads": 1, "seed": 0}, 1),
    ({"n_paths": 301, "n_steps": 6, "n_threads": 4, "s0": 90.0, "k": 95.0, "r": 0.01, "sigma": 0.35, "t": 2.0, "seed": 2024, "barrier": 85.0}, 4),
    # Standard and control variate: 4000 paths on two workers; antithetic: 2000 pairs, below the threshold.
    ({"n_paths": 4000, "n_steps": 3, "n_threads": 2, "barrier": 92.0}, 2),
    # 7999 paths: antithetic runs 4000 pairs, split over two workers of 2000 pairs each.
    ({"n_paths": 7999, "n_steps": 2, "n_threads": 2, "seed": 2**64 - 1, "k": 90.0, "barrier": 95.0}, 2),
]


def _reference_id(case):
    overrides, _ = case
    return "-".join(f"{key}={value}" for key, value in overrides.items())


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("case", REFERENCE_CASES, ids=_reference_id)
@pytest.mark.parametrize("product", PRODUCTS)
def test_pseudorandom_matches_reference(pricers, product, case, technique):
    overrides, workers = case
    config = dict(overrides)
    if product != "down_and_out":
        config.pop("barrier", None)
    result = pricers[product]({**config, "technique": technique, "sampling": "pseudorandom"})
    price, stderr = reference_price(product, config, technique, workers)
    assert result["price"] == pytest.approx(price, rel=REL, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-9)


# ---------------------------------------------------------------------------
# Antithetic pairs
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("product", PRODUCTS)
def test_antithetic_single_path_is_one_pair(pricers, product, sampling):
    config = {"n_paths": 1, "n_steps": 8, "technique": "antithetic", "sampling": sampling, "barrier": 60.0}
    if product != "down_and_out":
        del config["barrier"]
    one = pricers[product](config)
    assert one["stderr"] == 0.0
    assert one["price"] >= 0.0
    if sampling != "latin_hypercube":  # its strata depend on n_paths
        assert one["values"] == pricers[product]({**config, "n_paths": 2})["values"]


@pytest.mark.parametrize("sampling", ["pseudorandom", "randomized_halton", "scrambled_sobol", "scrambled_sobol_brownian_bridge"])
@pytest.mark.parametrize("pairs", [1, 3, 500])
@pytest.mark.parametrize("product", PRODUCTS)
def test_antithetic_odd_count_simulates_the_ceiling_of_half(pricers, product, pairs, sampling):
    # 2m + 1 and 2m + 2 paths both run m + 1 pairs; these samplers do not depend on n_paths.
    base = {"n_steps": 6, "technique": "antithetic", "sampling": sampling, "n_threads": 1}
    odd = pricers[product]({**base, "n_paths": 2 * pairs - 1})
    even = pricers[product]({**base, "n_paths": 2 * pairs})
    assert odd["values"] == even["values"]
    if pairs > 1:
        fewer = pricers[product]({**base, "n_paths": 2 * pairs - 2})
        assert fewer["values"] != odd["values"]


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", STRUCTURED)
@pytest.mark.parametrize("product", PRODUCTS)
def test_structured_sampling_ignores_thread_count(pricers, product, sampling, technique):
    config = {"n_paths": 5000, "n_steps": 8, "sampling": sampling, "technique": technique}
    results = [pricers[product]({**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
    assert all(values == results[0] for values in results)


@pytest.mark.parametrize("technique, n_paths", [("standard", 7999), ("control_variate", 7999), ("antithetic", 15998)])
@pytest.mark.parametrize("product", PRODUCTS)
def test_pseudorandom_below_threshold_is_serial(pricers, product, technique, n_paths):
    config = {"n_paths": n_paths, "n_steps": 2, "technique": technique}
    serial = pricers[product]({**config, "n_threads": 1})
    four = pricers[product]({**config, "n_threads": 4})
    assert four["values"] == serial["values"]


@pytest.mark.parametrize("technique, n_paths", [("standard", 8000), ("control_variate", 8000), ("antithetic", 16000)])
@pytest.mark.parametrize("product", PRODUCTS)
def test_pseudorandom_parallel_differs_and_is_deterministic(pricers, product, technique, n_paths):
    config = {"n_paths": n_paths, "n_steps": 2, "technique": technique}
    serial = pricers[product]({**config, "n_threads": 1})
    two = pricers[product]({**config, "n_threads": 2})
    four = pricers[product]({**config, "n_threads": 4})
    assert two["price"] != serial["price"]
    assert four["price"] != serial["price"]
    assert four["price"] != two["price"]
    assert pricers[product]({**config, "n_threads": 2}) == two


@pytest.mark.parametrize("product", PRODUCTS)
def test_antithetic_pairs_use_the_worker_threads(pricers, price_call, product):
    # 4000 pairs on two workers: unlike the European terminal method, the result depends on the workers.
    config = {"n_paths": 8000, "n_steps": 1, "technique": "antithetic", "k": 105.0, "barrier": 1e-9}
    if product == "asian":
        del config["barrier"]
    elif product == "lookback":
        del config["barrier"]
    one = pricers[product]({**config, "n_threads": 1})
    two = pricers[product]({**config, "n_threads": 2})
    assert two["price"] != one["price"]
    european = {key: value for key, value in config.items() if key != "barrier"}
    assert price_call({**european, "n_threads": 2})["values"] == price_call({**european, "n_threads": 1})["values"]
    # The serial run is the European one (a single step, strike above spot, barrier out of reach).
    assert one["price"] == pytest.approx(price_call({**european, "n_threads": 1})["price"], rel=1e-11)


# ---------------------------------------------------------------------------
# One step reduces to the European call
# ---------------------------------------------------------------------------

ONE_STEP = {"n_paths": 3001, "n_steps": 1, "n_threads": 1, "s0": 100.0, "k": 105.0, "r": 0.02, "sigma": 0.25, "t": 0.75, "seed": 17}


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("product", PRODUCTS)
def test_one_step_equals_the_european_call(pricers, price_call, product, sampling, technique):
    # Asian: the average of one price; lookback with K >= s0: max(s0, S_1) - K is positive only when
    # S_1 > K; down-and-out with a barrier out of reach: the plain call on S_1.
    extra = {"barrier": 1e-9} if product == "down_and_out" else {}
    config = {**ONE_STEP, "technique": technique, "sampling": sampling}
    result = pricers[product]({**config, **extra})
    european = price_call(config)
    assert result["price"] == pytest.approx(european["price"], rel=1e-11)
    assert result["stderr"] == pytest.approx(european["stderr"], rel=1e-8)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("product", PRODUCTS)
def test_bridge_and_plain_sobol_coincide_for_one_step(pricers, product, technique):
    base = {**ONE_STEP, "technique": technique, "n_paths": 4096}
    plain = pricers[product]({**base, "sampling": "scrambled_sobol"})
    bridge = pricers[product]({**base, "sampling": "scrambled_sobol_brownian_bridge"})
    assert bridge["price"] == pytest.approx(plain["price"], rel=1e-12)
    assert bridge["stderr"] == pytest.approx(plain["stderr"], rel=1e-9)
    assert bridge["manifest"]["config"]["sampling"] == "scrambled_sobol_brownian_bridge"


@pytest.mark.parametrize("n_steps", [2, 5, 16])
@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("product", PRODUCTS)
def test_bridge_differs_from_plain_sobol_for_several_steps(pricers, product, technique, n_steps):
    base = {"n_paths": 4096, "n_steps": n_steps, "technique": technique, "n_threads": 1, "barrier": 90.0}
    if product != "down_and_out":
        del base["barrier"]
    plain = pricers[product]({**base, "sampling": "scrambled_sobol"})
    bridge = pricers[product]({**base, "sampling": "scrambled_sobol_brownian_bridge"})
    assert bridge["price"] != plain["price"]
    assert abs(bridge["price"] - plain["price"]) < 4.0 * (bridge["stderr"] + plain["stderr"])


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("n_steps", [2, 8, 16, 13])
def test_bridge_terminal_value_follows_the_first_coordinate(pricers, price_call, technique, n_steps):
    # With the bridge the increments sum to sqrt(T) z_0, so the terminal price is the
    # one-dimensional Sobol draw's; with a barrier out of reach the down-and-out is the
    # European call of the same seed.  Plain Sobol mixes every coordinate into S_n.
    config = {"n_paths": 2048, "n_steps": n_steps, "t": 0.75, "k": 95.0, "seed": 5, "technique": technique}
    european = price_call({**config, "sampling": "scrambled_sobol"})
    bridge = pricers["down_and_out"]({**config, "barrier": 1e-9, "sampling": "scrambled_sobol_brownian_bridge"})
    plain = pricers["down_and_out"]({**config, "barrier": 1e-9, "sampling": "scrambled_sobol"})
    assert bridge["price"] == pytest.approx(european["price"], rel=1e-10)
    assert bridge["stderr"] == pytest.approx(european["stderr"], rel=1e-7)
    assert plain["price"] != pytest.approx(european["price"], rel=1e-6)


# ---------------------------------------------------------------------------
# Degenerate inputs
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("k", [100.0, 0.0])
@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_asian_zero_spot_is_worth_nothing(pricers, sampling, technique, k):
    result = pricers["asian"]({"s0": 0.0, "k": k, "n_paths": 300, "n_steps": 5, "sampling": sampling, "technique": technique})
    assert result["price"] == 0.0
    assert result["stderr"] == 0.0
    assert result["manifest"]["config"]["s0"] == 0.0


def test_lookback_zero_spot_is_rejected(pricers, panic_exception):
    assert_panics(lambda: pricers["lookback"]({**SMALL, "s0": 0.0}), panic_exception, "s0 must be > 0")


@pytest.mark.parametrize("s0, k", [(100.0, 90.0), (100.0, 110.0), (37.5, 0.0)])
@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("sampling", ["pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol"])
def test_asian_zero_maturity_pays_intrinsic_value(pricers, sampling, technique, s0, k):
    config = {"s0": s0, "k": k, "t": 0.0, "n_paths": 500, "n_steps": 7, "sampling": sampling, "technique": technique}
    result = pricers["asian"](config)
    assert result["price"] == pytest.approx(max(s0 - k, 0.0), rel=1e-12, abs=1e-12)
    assert result["stderr"] <= 1e-6  # zero up to rounding in the variance


@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("r, n_steps", [(0.05, 4), (-0.02, 12), (0.03, 1)])
def test_zero_volatility_paths_are_deterministic(pricers, sampling, technique, r, n_steps):
    s0, k, t = 100.0, 95.0, 1.5
    base = {"s0": s0, "k": k, "r": r, "t": t, "sigma": 0.0, "n_paths": 64, "n_steps": n_steps, "sampling": sampling, "technique": technique}
    disc = math.exp(-r * t)
    prices = [s0 * math.exp(r * t * j / n_steps) for j in range(1, n_steps + 1)]
    expected = {
        "asian": disc * max(sum(prices) / n_steps - k, 0.0),
        "lookback": disc * max(max([s0] + prices) - k, 0.0),
        # The barrier sits between the lowest and highest deterministic prices when r < 0.
        "down_and_out": 0.0 if min(prices) <= 99.0 else disc * max(prices[-1] - k, 0.0),
    }
    for product in PRODUCTS:
        result = pricers[product]({**base, "barrier": 99.0} if product == "down_and_out" else base)
        assert result["price"] == pytest.approx(expected[product], rel=1e-10, abs=1e-12), product
        assert result["stderr"] <= 1e-6, product


@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_lookback_zero_volatility_rising_path(pricers, sampling, technique):
    # The maximum is the last price s0 e^{rT}; price s0 - K e^{-rT}.
    config = {"sigma": 0.0, "r": 0.04, "t": 2.0, "k": 90.0, "n_paths": 40, "n_steps": 9, "sampling": sampling, "technique": technique}
    result = pricers["lookback"](config)
    assert result["price"] == pytest.approx(100.0 - 90.0 * math.exp(-0.08), rel=1e-10)
    assert result["stderr"] <= 1e-6


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_lookback_below_spot_strike_pays_at_least_the_spot_excess(pricers, sampling, technique):
    # The maximum includes the spot at time 0, so every payoff is at least s0 - K.
    config = {"k": 80.0, "r": 0.03, "t": 1.0, "n_paths": 2000, "n_steps": 16, "sampling": sampling, "technique": technique}
    result = pricers["lookback"](config)
    floor = math.exp(-0.03) * 20.0
    if technique == "control_variate":
        assert result["price"] > floor  # the adjusted mean is not a plain mean of payoffs
    else:
        assert result["price"] >= floor * (1.0 - 1e-12)


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_down_and_out_exact_touch_knocks_out(pricers, technique):
    # s0 = 2, r = -ln 2, sigma = 0, one step of one year: x = ln 2 + (-ln 2) = 0 exactly, S_1 = 1.
    base = {"s0": 2.0, "k": 0.5, "r": -math.log(2.0), "sigma": 0.0, "t": 1.0, "n_paths": 10, "n_steps": 1, "technique": technique}
    touched = pricers["down_and_out"]({**base, "barrier": 1.0})
    assert touched["price"] == 0.0
    assert touched["stderr"] == 0.0
    alive = pricers["down_and_out"]({**base, "barrier": math.nextafter(1.0, 0.0)})
    assert alive["price"] == pytest.approx(2.0 * 0.5, rel=1e-14)  # disc = e^{ln 2} = 2


@pytest.mark.parametrize("barrier", [100.0, 100.5, 150.0])
@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_barrier_at_or_above_spot_is_worth_nothing(pricers, sampling, technique, barrier):
    # 8000 paths on two workers: the parallel runner (pseudorandom) is exercised too.
    config = {"barrier": barrier, "k": 50.0, "n_paths": 8000, "n_steps": 3, "n_threads": 2, "sampling": sampling, "technique": technique}
    result = pricers["down_and_out"](config)
    assert result["price"] == 0.0
    assert result["stderr"] == 0.0


@pytest.mark.parametrize("product", PRODUCTS)
def test_single_path_control_variate_is_the_plain_payoff(pricers, product):
    base = {"n_paths": 1, "n_steps": 12, "s0": 120.0, "n_threads": 1, "barrier": 50.0}
    if product != "down_and_out":
        del base["barrier"]
    plain = pricers[product]({**base, "technique": "standard"})
    controlled = pricers[product]({**base, "technique": "control_variate"})
    assert controlled["values"] == plain["values"]
    assert plain["stderr"] == 0.0


# ---------------------------------------------------------------------------
# Closed-form agreement
# ---------------------------------------------------------------------------

STATISTICAL = {"n_paths": 30000, "n_threads": 2, "seed": 7}


def _stat_id(params):
    return "-".join(f"{key}={value}" for key, value in params.items())


ASIAN_MARKETS = [
    {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.05, "t": 1.0, "n_steps": 16},
    {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 16},
    {"s0": 100.0, "k": 95.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 32},
]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("market", ASIAN_MARKETS, ids=_stat_id)
def test_asian_between_geometric_bound_and_mean_gap(pricers, market, sampling, technique):
    # AM >= GM path by path, so C_G <= C_A <= C_G + e^{-rT} (E[A] - E[G]); the gap is tiny for small sigma.
    result = pricers["asian"]({**STATISTICAL, **market, "sampling": sampling, "technique": technique})
    args = (market["s0"], market["k"], market["r"], market["sigma"], market["t"], market["n_steps"])
    lower = geometric_asian_call(*args)
    upper = lower + arithmetic_geometric_mean_gap(market["s0"], market["r"], market["sigma"], market["t"], market["n_steps"])
    assert result["stderr"] > 0.0
    assert lower - 4.0 * result["stderr"] <= result["price"] <= upper + 4.0 * result["stderr"]


DOWN_AND_OUT_MARKETS = [
    {"s0": 100.0, "k": 100.0, "barrier": 90.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 32},
    {"s0": 100.0, "k": 100.0, "barrier": 85.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 16},
    {"s0": 100.0, "k": 105.0, "barrier": 90.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 64},
]
# The corrected barrier leaves an error of order 1/n_steps; below 0.01 for these markets
# (measured with two million paths), so 0.03 is a generous allowance.
DOWN_AND_OUT_ALLOWANCE = 0.03


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("market", DOWN_AND_OUT_MARKETS, ids=_stat_id)
def test_down_and_out_agrees_with_corrected_continuous_barrier(pricers, market, sampling, technique):
    result = pricers["down_and_out"]({**STATISTICAL, **market, "sampling": sampling, "technique": technique})
    exact = down_and_out_call_discrete(
        market["s0"], market["k"], market["barrier"], market["r"], market["sigma"], market["t"], market["n_steps"]
    )
    assert result["stderr"] > 0.0
    assert abs(result["price"] - exact) <= 4.0 * result["stderr"] + DOWN_AND_OUT_ALLOWANCE


LOOKBACK_MARKETS = [
    {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 32},
    {"s0": 100.0, "k": 110.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 16},
    {"s0": 100.0, "k": 90.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 64},
]
# The shifted maximum is a coarser approximation than the shifted barrier: its residual,
# of order 1/n_steps, reaches about 1.5% of the optional part at 16 steps (measured with
# two million paths); the allowance is 2.5% of that part.
LOOKBACK_RELATIVE_ALLOWANCE = 0.025


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("market", LOOKBACK_MARKETS, ids=_stat_id)
def test_lookback_agrees_with_corrected_continuous_maximum(pricers, market, sampling, technique):
    result = pricers["lookback"]({**STATISTICAL, **market, "sampling": sampling, "technique": technique})
    approx, optional = lookback_call_discrete(market["s0"], market["k"], market["r"], market["sigma"], market["t"], market["n_steps"])
    assert result["stderr"] > 0.0
    assert abs(result["price"] - approx) <= 4.0 * result["stderr"] + LOOKBACK_RELATIVE_ALLOWANCE * optional


@pytest.mark.parametrize("product", PRODUCTS)
def test_variance_reduction_lowers_stderr(pricers, product):
    base = {**STATISTICAL, "n_steps": 16, "barrier": 85.0}
    if product != "down_and_out":
        del base["barrier"]
    standard = pricers[product]({**base, "technique": "standard"})["stderr"]
    antithetic = pricers[product]({**base, "technique": "antithetic"})["stderr"]
    controlled = pricers[product]({**base, "technique": "control_variate"})["stderr"]
    # Antithetic stderr is per pair (half as many samples), still below the plain one.
    assert antithetic < standard
    assert controlled < standard


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_zero_maturity_with_the_bridge_is_the_intrinsic_value(pricers, technique):
    result = pricers["asian"](
        {"t": 0.0, "s0": 110.0, "n_paths": 64, "n_steps": 8, "sampling": "scrambled_sobol_brownian_bridge", "technique": technique}
    )
    assert result["price"] == pytest.approx(10.0, rel=1e-12)
