"""European call by the terminal method: streams, seeding, parallel split, estimators.

The reference implementation below recomputes the terminal-method estimates in
pure Python from the generator definitions (xorshift64* uniforms, Box-Muller
normals with the sine cached, SplitMix64 worker seeds, the randomized Halton
and Latin hypercube samplers and the Acklam inverse normal CDF), so the tests
pin the exact stream, the worker split and the summation order.  Python's
``math.sin``/``math.cos`` may differ from a joint sine/cosine in the last bit,
hence the relative tolerance of 1e-12 instead of exact equality.
"""

from __future__ import annotations

import math
import os

import pytest

SAMPLING_METHODS = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
STRUCTURED = SAMPLING_METHODS[1:]
TECHNIQUES = ("standard", "antithetic", "control_variate")

REL = 1e-12

# ---------------------------------------------------------------------------
# Reference generators
# ---------------------------------------------------------------------------

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
DBL_MIN = 2.2250738585072014e-308
ONE_MINUS_ULP = 0.9999999999999998
TWO_PI = 6.283185307179586
UNITS_PER_WORKER = 2000


def splitmix64_mix(z: int) -> int:
    z &= MASK
    z ^= z >> 30
    z = (z * 0xBF58476D1CE4E5B9) & MASK
    z ^= z >> 27
    z = (z * 0x94D049BB133111EB) & MASK
    z ^= z >> 31
    return z


def derive_worker_seed(seed: int, worker: int) -> int:
    return splitmix64_mix(seed + (worker + 1) * GOLDEN)


def unit_from_bits(word: int) -> float:
    return max((word >> 11) * 2.0**-53, DBL_MIN)


class NormalStream:
    def __init__(self, seed: int):
        self.state = seed if seed != 0 else GOLDEN
        self.has_spare = False
        self.spare = 0.0

    def next_u64(self) -> int:
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        self.state = x
        return (x * 0x2545F4914F6CDD1D) & MASK

    def next_uniform(self) -> float:
        return max((self.next_u64() >> 11) * 2.0**-53, DBL_MIN)

    def next_normal(self) -> float:
        if self.has_spare:
            self.has_spare = False
            return self.spare
        u1 = self.next_uniform()
        u2 = self.next_uniform()
        radius = math.sqrt(-2.0 * math.log(u1))
        theta = TWO_PI * u2
        self.spare = radius * math.sin(theta)
        self.has_spare = True
        return radius * math.cos(theta)


_A = (-39.69683028665376, 220.9460984245205, -275.9285104469687, 138.357751867269, -30.66479806614716, 2.506628277459239)
_B = (-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972, -13.28068155288572)
_C = (-0.007784894002430293, -0.3223964580411365, -2.400758277161838, -2.549732539343734, 4.374664141464968, 2.938163982698783)
_D = (0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416)


def inverse_standard_normal(p: float) -> float:
    p = min(max(p, DBL_MIN), ONE_MINUS_ULP)
    c1, c2, c3, c4, c5, c6 = _C
    d1, d2, d3, d4 = _D
    if p < 0.02425:
        q = math.sqrt(-2.0 * math.log(p))
        return (((((c1 * q + c2) * q + c3) * q + c4) * q + c5) * q + c6) / ((((d1 * q + d2) * q + d3) * q + d4) * q + 1.0)
    if p <= 0.97575:
        a1, a2, a3, a4, a5, a6 = _A
        b1, b2, b3, b4, b5 = _B
        q = p - 0.5
        r = q * q
        return q * (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) / (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1.0)
    q = math.sqrt(-2.0 * math.log(1.0 - p))
    return -(((((c1 * q + c2) * q + c3) * q + c4) * q + c5) * q + c6) / ((((d1 * q + d2) * q + d3) * q + d4) * q + 1.0)


class HaltonSampler:
    """Randomized Halton, dimension 0 only (the terminal method needs one)."""

    def __init__(self, seed: int):
        self.base = 2
        self.shift = unit_from_bits(splitmix64_mix(seed + GOLDEN))

    def normal(self, index: int) -> float:
        k = (index + 1) & MASK
        if k == 0:
            v = DBL_MIN
        else:
            f, v = 1.0, 0.0
            while True:
                f = f / self.base
                v = v + f * (k % self.base)
                k //= self.base
                if k == 0:
                    break
            v = max(v, DBL_MIN)
        u = self.shift + v
        u = u - math.floor(u)
        return inverse_standard_normal(u)


class LatinHypercubeSampler:
    """Latin hypercube, dimension 0 only."""

    def __init__(self, seed: int, n_points: int):
        n = n_points
        h = splitmix64_mix(((0 * GOLDEN) ^ (seed ^ 0xD1B54A32D192ED03)) + GOLDEN)
        if n >= 2:
            a = (h % n) | 1
            while math.gcd(a, n) != 1:
                a = min(a + 2, MASK)
                if a >= n:
                    a = 1
        else:
            a = 1
        self.n = n
        self.multiplier = a
        self.offset = splitmix64_mix((h ^ 0xA24BAED4963EE407) + GOLDEN) % n if n else 0
        self.jitter_key = splitmix64_mix((h ^ 0x9FB21C651E98DF25) + GOLDEN)

    def normal(self, index: int) -> float:
        s = float(((self.multiplier * index + self.offset) & MASK) % self.n)
        j = unit_from_bits(splitmix64_mix((self.jitter_key ^ ((index * 0xBF58476D1CE4E5B9) & MASK)) + GOLDEN))
        u = min(max((j + s) / self.n, DBL_MIN), ONE_MINUS_ULP)
        return inverse_standard_normal(u)


# ---------------------------------------------------------------------------
# Reference terminal method
# ---------------------------------------------------------------------------

DEFAULTS = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_paths": 100000, "seed": 42}


def _positive_part(x: float) -> float:
    return x if x > 0.0 else 0.0  # NaN gives 0


def _plain(total: float, total_sq: float, n: int):
    price = total / n
    return price, math.sqrt(max(total_sq / n - price * price, 0.0)) / math.sqrt(n)


def _control_variate(moments, mu: float):
    count, sum_y, sum_y2, sum_c, sum_c2, sum_cy = moments
    n = float(count)
    y_bar = sum_y / n
    c_bar = sum_c / n
    m_cc = sum_c2 / n
    var_c = m_cc - c_bar * c_bar
    if var_c <= 2.0**-52:
        price = y_bar
        m2 = sum_y2 / n
    else:
        m_cy = sum_cy / n
        beta = (m_cy - y_bar * c_bar) / var_c
        price = y_bar - beta * (c_bar - mu)
        m2 = sum_y2 / n - 2.0 * beta * (m_cy - mu * y_bar) + beta * beta * (mu * mu + (m_cc - 2.0 * mu * c_bar))
    return price, math.sqrt(max(m2 - price * price, 0.0)) / math.sqrt(n)


def reference_price(overrides, technique="standard", sampling="pseudorandom", workers=1):
    """Terminal-method (price, stderr); ``workers`` is the effective worker count W."""
    cfg = {**DEFAULTS, **overrides}
    s0, k, r, sigma, t = cfg["s0"], cfg["k"], cfg["r"], cfg["sigma"], cfg["t"]
    n_paths, seed = cfg["n_paths"], cfg["seed"]
    drift_t = t * (r + sigma * (sigma * -0.5))
    vol_t = sigma * math.sqrt(t)
    disc = math.exp(-(r * t))

    def sample(z):
        s_t = s0 * math.exp(drift_t + vol_t * z)
        return disc * _positive_part(s_t - k), disc * s_t

    def pair_value(z):
        up = disc * _positive_part(s0 * math.exp(drift_t + vol_t * z) - k)
        down = disc * _positive_part(s0 * math.exp(drift_t - vol_t * z) - k)
        return (up + down) * 0.5

    pairs = n_paths - n_paths // 2

    if sampling == "pseudorandom":
        if technique == "antithetic":
            stream = NormalStream(seed)
            total = total_sq = 0.0
            for _ in range(pairs):
                v = pair_value(stream.next_normal())
                total += v
                total_sq += v * v
            return _plain(total, total_sq, pairs)

        def chunk(stream_seed, count):
            stream = NormalStream(stream_seed)
            sums = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
            for _ in range(count):
                y, c = sample(stream.next_normal())
                sums[0] += 1
                sums[1] += y
                sums[2] += y * y
                sums[3] += c
                sums[4] += c * c
                sums[5] += c * y
            return sums

        if workers < 2 or n_paths < workers * UNITS_PER_WORKER:
            totals = chunk(seed, n_paths)
        else:
            q, rem = divmod(n_paths, workers)
            totals = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
            for w in range(workers):
                part = chunk(derive_worker_seed(seed, w), q + 1 if w < rem else q)
                totals = [a + b for a, b in zip(totals, part)]
        if technique == "control_variate":
            return _control_variate(totals, s0)
        return _plain(totals[1], totals[2], n_paths)

    if sampling == "randomized_halton":
        sampler = HaltonSampler(seed)
    elif sampling == "latin_hypercube":
        sampler = LatinHypercubeSampler(seed, n_paths)
    else:
        raise ValueError(sampling)

    if technique == "antithetic":
        total = total_sq = 0.0
        for i in range(pairs):
            v = pair_value(sampler.normal(i))
            total += v
            total_sq += v * v
        return _plain(total, total_sq, pairs)
    moments = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
    for i in range(n_paths):
        y, c = sample(sampler.normal(i))
        moments[0] += 1
        moments[1] += y
        moments[2] += y * y
        moments[3] += c
        moments[4] += c * c
        moments[5] += c * y
    if technique == "control_variate":
        return _control_variate(moments, s0)
    return _plain(moments[1], moments[2], n_paths)


def black_scholes_call(s0, k, r, sigma, t):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    cdf = lambda x: 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))  # noqa: E731
    return s0 * cdf(d1) - k * math.exp(-r * t) * cdf(d2)


# ---------------------------------------------------------------------------
# The reference itself agrees with the published generator values
# ---------------------------------------------------------------------------


def test_reference_stream_known_values():
    stream = NormalStream(42)
    assert stream.next_u64() == 0x56CE4AB7719BA3A0
    assert stream.next_u64() == 0xC841EB53EBBB2DDA
    stream = NormalStream(42)
    assert stream.next_uniform() == 0.33908526400192196
    assert stream.next_uniform() == 0.7822558479199243
    stream = NormalStream(42)
    assert stream.next_normal() == pytest.approx(0.29603, abs=1e-5)
    assert stream.next_normal() == pytest.approx(-1.44062, abs=1e-5)
    assert derive_worker_seed(42, 0) == 0xBDD732262FEB6E95
    assert derive_worker_seed(42, 1) == 0x28EFE333B266F103
    assert derive_worker_seed(0, 0) == 0xE220A8397B1DCDAF
    zero, golden = NormalStream(0), NormalStream(GOLDEN)
    assert [zero.next_normal() for _ in range(5)] == [golden.next_normal() for _ in range(5)]


def test_reference_inverse_normal_known_values():
    assert inverse_standard_normal(0.5) == 0.0
    assert inverse_standard_normal(0.025) == pytest.approx(-1.95996, abs=1e-5)
    assert inverse_standard_normal(0.975) == pytest.approx(1.95996, abs=1e-5)
    assert inverse_standard_normal(0.0) == pytest.approx(-37.519, abs=1e-3)
    assert inverse_standard_normal(1.0) == pytest.approx(8.126, abs=1e-3)


def test_reference_latin_hypercube_strata_are_a_permutation():
    sampler = LatinHypercubeSampler(7, 37)
    strata = sorted(((sampler.multiplier * i + sampler.offset) & MASK) % 37 for i in range(37))
    assert strata == list(range(37))


# ---------------------------------------------------------------------------
# Exact agreement with the reference
# ---------------------------------------------------------------------------

# (config overrides, effective worker count W used by the reference)
PSEUDORANDOM_CASES = [
    ({"n_paths": 1000, "n_threads": 1}, 1),
    ({"n_paths": 999, "n_threads": 1, "seed": 0}, 1),
    ({"n_paths": 1, "n_threads": 1}, 1),
    ({"n_paths": 7999, "n_threads": 4}, 4),  # below 4 x 2000: serial with the raw seed
    ({"n_paths": 8000, "n_threads": 4}, 4),  # 4 workers x 2000
    ({"n_paths": 10001, "n_threads": 4}, 4),  # blocks 2501, 2500, 2500, 2500
    ({"n_paths": 4001, "n_threads": 2, "seed": 2**64 - 1}, 2),
    ({"n_paths": 6002, "n_threads": 3, "s0": 90.0, "k": 95.0, "r": 0.01, "sigma": 0.35, "t": 2.0, "seed": 2024}, 3),
    ({"n_paths": 500, "n_threads": 1, "sigma": -0.3, "r": -0.02}, 1),
    ({"n_paths": 3000, "n_threads": 1, "s0": 100.0, "k": 0.0}, 1),
]


def _case_id(case):
    overrides, workers = case
    return "-".join(f"{key}={value}" for key, value in overrides.items())


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("case", PSEUDORANDOM_CASES, ids=_case_id)
def test_pseudorandom_matches_reference(price_call, case, technique):
    overrides, workers = case
    result = price_call({**overrides, "technique": technique, "sampling": "pseudorandom"})
    price, stderr = reference_price(overrides, technique, "pseudorandom", workers)
    assert result["price"] == pytest.approx(price, rel=REL, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-7)


STRUCTURED_CASES = [
    {"n_paths": 1},
    {"n_paths": 2},
    {"n_paths": 3},
    {"n_paths": 1000},
    {"n_paths": 4096, "seed": 0},
    {"n_paths": 2501, "seed": 2**64 - 1, "s0": 110.0, "k": 100.0, "sigma": 0.3, "t": 0.5},
]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", ["randomized_halton", "latin_hypercube"])
@pytest.mark.parametrize("overrides", STRUCTURED_CASES, ids=lambda o: "-".join(f"{k}={v}" for k, v in o.items()))
def test_structured_matches_reference(price_call, overrides, sampling, technique):
    result = price_call({**overrides, "technique": technique, "sampling": sampling, "n_threads": 4})
    price, stderr = reference_price(overrides, technique, sampling)
    assert result["price"] == pytest.approx(price, rel=REL, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-7)


# ---------------------------------------------------------------------------
# Determinism and worker seeding
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_identical_config_gives_identical_result(price_call, sampling, technique):
    config = {"n_paths": 20000, "n_threads": 2, "sampling": sampling, "technique": technique, "seed": 9}
    assert price_call(config) == price_call(dict(config))


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_serial_below_threshold_uses_raw_seed(price_call, technique):
    serial = price_call({"n_paths": 7999, "n_threads": 1, "technique": technique})
    four = price_call({"n_paths": 7999, "n_threads": 4, "technique": technique})
    assert four == {**serial, "manifest": four["manifest"]}
    assert four["price"] == serial["price"]
    assert four["stderr"] == serial["stderr"]


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_parallel_run_differs_from_serial(price_call, technique):
    serial = price_call({"n_paths": 8000, "n_threads": 1, "technique": technique})
    four = price_call({"n_paths": 8000, "n_threads": 4, "technique": technique})
    two = price_call({"n_paths": 8000, "n_threads": 2, "technique": technique})
    assert four["price"] != serial["price"]
    assert two["price"] != serial["price"]
    assert two["price"] != four["price"]


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_seed_changes_the_estimate(price_call, technique):
    a = price_call({"n_paths": 5000, "n_threads": 1, "technique": technique, "seed": 1})
    b = price_call({"n_paths": 5000, "n_threads": 1, "technique": technique, "seed": 2})
    assert a["price"] != b["price"]


def test_seed_zero_is_replaced(price_call):
    zero = price_call({"n_paths": 3000, "n_threads": 1, "seed": 0})
    golden = price_call({"n_paths": 3000, "n_threads": 1, "seed": GOLDEN})
    assert zero["values"] == golden["values"]


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_zero_threads_means_some_worker_count(price_call, technique):
    # n_threads = 0 uses the processors available; whatever that count is, the
    # result must equal the run with that explicit worker count.
    auto = price_call({"n_paths": 200000, "n_threads": 0, "technique": technique})
    explicit = [
        price_call({"n_paths": 200000, "n_threads": w, "technique": technique})["values"] for w in range(1, (os.cpu_count() or 1) + 1)
    ]
    assert auto["values"] in explicit


@pytest.mark.parametrize("n_threads", [2**63, 2**64 - 1, 2**40])
def test_huge_thread_count_runs_serially(price_call, n_threads):
    serial = price_call({"n_paths": 5000, "n_threads": 1})
    huge = price_call({"n_paths": 5000, "n_threads": n_threads})
    assert huge["values"] == serial["values"]
    assert huge["manifest"]["config"]["n_threads"] == n_threads


@pytest.mark.parametrize("n_paths", [1, 2, 3, 4001, 20000])
def test_antithetic_ignores_thread_count(price_call, n_paths):
    config = {"n_paths": n_paths, "technique": "antithetic"}
    results = [price_call({**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
    assert all(values == results[0] for values in results)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", STRUCTURED)
def test_structured_sampling_ignores_thread_count(price_call, sampling, technique):
    config = {"n_paths": 10000, "sampling": sampling, "technique": technique}
    results = [price_call({**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
    assert all(values == results[0] for values in results)


@pytest.mark.parametrize("n_threads", [1, 4])
@pytest.mark.parametrize("technique", TECHNIQUES)
def test_brownian_bridge_equals_scrambled_sobol(price_call, technique, n_threads):
    base = {"n_paths": 5000, "technique": technique, "n_threads": n_threads, "seed": 11}
    sobol = price_call({**base, "sampling": "scrambled_sobol"})
    bridge = price_call({**base, "sampling": "scrambled_sobol_brownian_bridge"})
    assert bridge["values"] == sobol["values"]
    assert bridge["manifest"]["config"]["sampling"] == "scrambled_sobol_brownian_bridge"


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_scrambled_sobol_depends_on_low_seed_bits(price_call, technique):
    base = {"n_paths": 4096, "technique": technique, "sampling": "scrambled_sobol"}
    low = price_call({**base, "seed": 5})["values"]
    assert price_call({**base, "seed": 5 + 2**32})["values"] == low
    assert price_call({**base, "seed": 6})["values"] != low


def test_structured_methods_differ_from_each_other(price_call):
    prices = {
        sampling: price_call({"n_paths": 4096, "sampling": sampling, "n_threads": 1})["price"]
        for sampling in SAMPLING_METHODS[:4]
    }
    assert len(set(prices.values())) == 4


# ---------------------------------------------------------------------------
# Technique edge cases
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_antithetic_single_path_has_zero_stderr(price_call, sampling):
    result = price_call({"n_paths": 1, "technique": "antithetic", "sampling": sampling})
    assert result["stderr"] == 0.0
    assert result["price"] > 0.0


@pytest.mark.parametrize("sampling", ["pseudorandom", "randomized_halton", "scrambled_sobol", "scrambled_sobol_brownian_bridge"])
@pytest.mark.parametrize("pairs", [1, 2, 5, 1000])
def test_antithetic_odd_count_simulates_the_ceiling_of_half_in_pairs(price_call, sampling, pairs):
    # 2P - 1 and 2P paths both run P pairs; these samplers do not depend on n_paths.
    odd = price_call({"n_paths": 2 * pairs - 1, "technique": "antithetic", "sampling": sampling, "n_threads": 1})
    even = price_call({"n_paths": 2 * pairs, "technique": "antithetic", "sampling": sampling, "n_threads": 1})
    assert odd["values"] == even["values"]


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_control_variate_single_path_is_plain_mean(price_call, sampling):
    base = {"n_paths": 1, "sampling": sampling, "n_threads": 1, "s0": 120.0}
    plain = price_call({**base, "technique": "standard"})
    controlled = price_call({**base, "technique": "control_variate"})
    assert controlled["price"] == plain["price"]
    assert controlled["price"] > 0.0
    assert controlled["stderr"] == 0.0
    assert plain["stderr"] == 0.0


@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("s0, k, r, t", [(100.0, 90.0, 0.03, 1.0), (100.0, 100.0, 0.05, 2.0), (80.0, 100.0, 0.03, 1.0)])
def test_zero_volatility_is_deterministic(price_call, sampling, technique, s0, k, r, t):
    expected = math.exp(-(r * t)) * max(s0 * math.exp(r * t) - k, 0.0)
    result = price_call({"s0": s0, "k": k, "r": r, "t": t, "sigma": 0.0, "n_paths": 1000, "sampling": sampling, "technique": technique})
    assert result["price"] == pytest.approx(expected, rel=1e-12, abs=1e-12)
    assert result["stderr"] <= 1e-6


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_zero_volatility_control_variate(price_call, sampling):
    expected = math.exp(-0.03) * (100.0 * math.exp(0.03) - 90.0)
    result = price_call({"k": 90.0, "sigma": 0.0, "n_paths": 2, "sampling": sampling, "technique": "control_variate"})
    assert result["price"] == pytest.approx(expected, rel=1e-12)
    assert result["stderr"] <= 1e-6


def test_zero_volatility_is_not_rejected(price_call):
    result = price_call({"sigma": 0.0, "n_paths": 10})
    assert result["manifest"]["config"]["sigma"] == 0.0


@pytest.mark.parametrize("n_threads", [1, 2])
def test_variance_reduction_lowers_stderr(price_call, n_threads):
    base = {"n_paths": 50000, "n_threads": n_threads}
    standard = price_call({**base, "technique": "standard"})["stderr"]
    antithetic = price_call({**base, "technique": "antithetic"})["stderr"]
    controlled = price_call({**base, "technique": "control_variate"})["stderr"]
    assert antithetic < standard
    assert controlled < 0.6 * standard


def test_stderr_scales_with_path_count(price_call):
    small = price_call({"n_paths": 25000, "n_threads": 1})["stderr"]
    large = price_call({"n_paths": 400000, "n_threads": 1})["stderr"]
    assert large == pytest.approx(small / 4.0, rel=0.1)


# ---------------------------------------------------------------------------
# Agreement with Black-Scholes
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize(
    "market",
    [
        {},
        {"spot": 90.0},
        {"spot": 120.0, "strike": 110.0, "volatility": 0.35, "maturity": 0.5, "rate": 0.01},
    ],
    ids=["default", "spot90", "other"],
)
def test_price_agrees_with_black_scholes(price_call, market, sampling, technique):
    result = price_call({**market, "sampling": sampling, "technique": technique})
    cfg = result["manifest"]["config"]
    exact = black_scholes_call(cfg["s0"], cfg["k"], cfg["r"], cfg["sigma"], cfg["t"])
    assert result["stderr"] > 0.0
    assert abs(result["price"] - exact) <= 4.0 * result["stderr"]
