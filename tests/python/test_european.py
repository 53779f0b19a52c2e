"""European call by the terminal method: streams, seeding, parallel split, estimators.

``reference_price`` recomputes pseudorandom runs in pure Python, bit for bit up to the last-bit
differences of Python's sin/cos against a joint sincos (hence rel=1e-12).
"""

from __future__ import annotations

import math
import os

import pytest

from brisklane.cli import black_scholes_call  # pinned to textbook values in test_cli

SAMPLING_METHODS = ("pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol", "scrambled_sobol_brownian_bridge")
STRUCTURED = SAMPLING_METHODS[1:]
TECHNIQUES = ("standard", "antithetic", "control_variate")

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
DBL_MIN = 2.2250738585072014e-308
UNITS_PER_WORKER = 2000


def derive_worker_seed(seed: int, worker: int) -> int:
    z = (seed + (worker + 1) * GOLDEN) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


class NormalStream:
    def __init__(self, seed: int):
        self.state = seed if seed != 0 else GOLDEN
        self.spare = None

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
        if self.spare is not None:
            spare, self.spare = self.spare, None
            return spare
        radius = math.sqrt(-2.0 * math.log(self.next_uniform()))
        theta = 6.283185307179586 * self.next_uniform()
        self.spare = radius * math.sin(theta)
        return radius * math.cos(theta)


def _plain(total: float, total_sq: float, n: int):
    price = total / n
    return price, math.sqrt(max(total_sq / n - price * price, 0.0)) / math.sqrt(n)


def _control_variate(moments, mu: float):
    count, sum_y, sum_y2, sum_c, sum_c2, sum_cy = moments
    n = float(count)
    y_bar, c_bar, m_cc = sum_y / n, sum_c / n, sum_c2 / n
    var_c = m_cc - c_bar * c_bar
    if var_c <= 2.0**-52:
        price, m2 = y_bar, sum_y2 / n
    else:
        m_cy = sum_cy / n
        beta = (m_cy - y_bar * c_bar) / var_c
        price = y_bar - beta * (c_bar - mu)
        m2 = sum_y2 / n - 2.0 * beta * (m_cy - mu * y_bar) + beta * beta * (mu * mu + (m_cc - 2.0 * mu * c_bar))
    return price, math.sqrt(max(m2 - price * price, 0.0)) / math.sqrt(n)


def reference_price(overrides, technique="standard", workers=1):
    """Pseudorandom terminal-method (price, stderr); ``workers`` is the requested worker count W."""
    cfg = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "seed": 42, **overrides}
    s0, k, r, sigma, t, n_paths, seed = (cfg[key] for key in ("s0", "k", "r", "sigma", "t", "n_paths", "seed"))
    drift_t, vol_t, disc = t * (r + sigma * (sigma * -0.5)), sigma * math.sqrt(t), math.exp(-(r * t))

    def payoff(z):
        s_t = s0 * math.exp(drift_t + vol_t * z)
        return disc * (s_t - k if s_t - k > 0.0 else 0.0), disc * s_t  # NaN pays 0

    if technique == "antithetic":  # ceil(n/2) pairs, always one serial stream
        stream, total, total_sq, pairs = NormalStream(seed), 0.0, 0.0, n_paths - n_paths // 2
        for _ in range(pairs):
            z = stream.next_normal()
            value = (payoff(z)[0] + payoff(-z)[0]) * 0.5
            total, total_sq = total + value, total_sq + value * value
        return _plain(total, total_sq, pairs)

    def chunk(stream_seed, count):
        stream, sums = NormalStream(stream_seed), [0, 0.0, 0.0, 0.0, 0.0, 0.0]
        for _ in range(count):
            y, c = payoff(stream.next_normal())
            sums = [a + b for a, b in zip(sums, (1, y, y * y, c, c * c, c * y))]
        return sums

    if workers < 2 or n_paths < workers * UNITS_PER_WORKER:
        totals = chunk(seed, n_paths)  # serial run keeps the raw seed
    else:
        q, rem = divmod(n_paths, workers)
        totals = [0, 0.0, 0.0, 0.0, 0.0, 0.0]
        for w in range(workers):  # merged in worker order
            totals = [a + b for a, b in zip(totals, chunk(derive_worker_seed(seed, w), q + (w < rem)))]
    return _control_variate(totals, s0) if technique == "control_variate" else _plain(totals[1], totals[2], n_paths)


def test_reference_stream_known_values():
    stream = NormalStream(42)
    assert [stream.next_u64(), stream.next_uniform()] == [0x56CE4AB7719BA3A0, 0.7822558479199243]
    stream = NormalStream(42)
    assert [stream.next_normal(), stream.next_normal()] == pytest.approx([0.29603, -1.44062], abs=1e-5)
    assert [derive_worker_seed(42, 0), derive_worker_seed(42, 1), derive_worker_seed(0, 0)] == [
        0xBDD732262FEB6E95, 0x28EFE333B266F103, 0xE220A8397B1DCDAF,
    ]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize(
    "overrides, workers",
    [
        pytest.param({"n_paths": 1000, "n_threads": 1}, 1, id="serial"),
        pytest.param({"n_paths": 1, "n_threads": 1}, 1, id="one-path"),
        pytest.param({"n_paths": 999, "n_threads": 1, "seed": 0}, 1, id="seed-zero"),
        pytest.param({"n_paths": 3000, "n_threads": 1, "k": 0.0}, 1, id="zero-strike"),
        pytest.param({"n_paths": 7999, "n_threads": 4}, 4, id="below-4x2000-serial-raw-seed"),
        pytest.param({"n_paths": 8000, "n_threads": 4}, 4, id="4x2000-split"),
        pytest.param({"n_paths": 10001, "n_threads": 4}, 4, id="blocks-2501-2500-2500-2500"),
        pytest.param({"n_paths": 4001, "n_threads": 2, "seed": 2**64 - 1}, 2, id="max-seed-split"),
        pytest.param({"n_paths": 5000, "n_threads": 2**64 - 1}, 2**64 - 1, id="W-times-2000-overflows-serial"),
        pytest.param({"n_paths": 6002, "n_threads": 3, "s0": 90.0, "k": 95.0, "sigma": 0.35, "t": 2.0}, 3, id="split-3"),
    ],
)
def test_pseudorandom_matches_reference(price_call, overrides, workers, technique):
    result = price_call({**overrides, "technique": technique})
    price, stderr = reference_price(overrides, technique, workers)
    assert result["price"] == pytest.approx(price, rel=1e-12, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-7)


@pytest.mark.parametrize(
    "sampling, technique, price, stderr",
    [  # from an independent pure-Python Halton / Latin hypercube / Acklam reference
        ("randomized_halton", "standard", 15.702190334278312, 0.6003636271714934),
        ("randomized_halton", "antithetic", 15.70027799422461, 0.3621643573824885),
        ("randomized_halton", "control_variate", 15.712356328897219, 0.18177577770249034),
        ("latin_hypercube", "standard", 15.704314269846707, 0.5997576679499481),
        ("latin_hypercube", "antithetic", 15.712583189357847, 0.36223525972478754),
        ("latin_hypercube", "control_variate", 15.708649849945001, 0.18141436900648292),
    ],
)
def test_structured_known_values(price_call, sampling, technique, price, stderr):
    config = {"n_paths": 1001, "seed": 2**64 - 1, "s0": 110.0, "sigma": 0.3, "t": 0.5, "n_threads": 4}
    result = price_call({**config, "sampling": sampling, "technique": technique})
    assert [result["price"], result["stderr"]] == pytest.approx([price, stderr], rel=1e-12)


@pytest.mark.parametrize(
    "sampling, technique", [("pseudorandom", "antithetic")] + [(s, t) for s in STRUCTURED for t in TECHNIQUES]
)
def test_serial_methods_ignore_thread_count(price_call, sampling, technique):
    config = {"n_paths": 10001, "sampling": sampling, "technique": technique}
    results = [price_call({**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
    assert all(values == results[0] for values in results)


@pytest.mark.parametrize("technique", ["standard", "control_variate"])
def test_zero_threads_means_the_available_processors(price_call, technique):
    config = {"n_paths": 200000, "technique": technique}
    explicit = [price_call({**config, "n_threads": w})["values"] for w in range(1, (os.cpu_count() or 1) + 1)]
    assert price_call({**config, "n_threads": 0})["values"] in explicit


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_scrambled_sobol_seeding_and_bridge(price_call, technique):
    base = {"n_paths": 4096, "technique": technique, "sampling": "scrambled_sobol", "seed": 5}
    sobol = price_call(base)["values"]
    assert price_call({**base, "sampling": "scrambled_sobol_brownian_bridge"})["values"] == sobol
    assert price_call({**base, "seed": 5 + 2**32})["values"] == sobol  # only the low 32 bits scramble
    assert price_call({**base, "seed": 6})["values"] != sobol


@pytest.mark.parametrize("sampling", ["pseudorandom", "scrambled_sobol"])
def test_variance_reduction_lowers_stderr(price_call, sampling):
    config = {"n_paths": 50000, "n_threads": 2, "sampling": sampling}
    stderr = {t: price_call({**config, "technique": t})["stderr"] for t in TECHNIQUES}
    assert stderr["antithetic"] < stderr["standard"]
    assert stderr["control_variate"] < 0.6 * stderr["standard"]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize(
    "market", [{}, {"spot": 120.0, "strike": 110.0, "volatility": 0.35, "maturity": 0.5, "rate": 0.01}], ids=["default", "other"]
)
def test_price_agrees_with_black_scholes_and_repeats(price_call, market, sampling, technique):
    config = {**market, "sampling": sampling, "technique": technique, "seed": 9}
    result = price_call(config)
    cfg = result["manifest"]["config"]
    exact = black_scholes_call(cfg["s0"], cfg["k"], cfg["r"], cfg["sigma"], cfg["t"])
    assert 0.0 < result["stderr"] and abs(result["price"] - exact) <= 4.0 * result["stderr"]
    assert price_call(dict(config)) == result
