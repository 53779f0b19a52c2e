"""Arithmetic Asian, lookback and down-and-out calls: known answers, structural invariants, and
pinned closed-form bounds (geometric Asian; barrier and lookback with the Broadie-Glasserman-Kou shift)."""

from __future__ import annotations

import math

import pytest

from conftest import SAMPLING_METHODS, TECHNIQUES

STRUCTURED = SAMPLING_METHODS[1:]
PRODUCTS = ("asian", "lookback", "down_and_out")
WORKLOADS = {"asian": "arithmetic_asian_call", "lookback": "lookback_call", "down_and_out": "down_and_out_call"}


@pytest.fixture(scope="module")
def pricers(native):
    return {product: getattr(native, "price_" + workload) for product, workload in WORKLOADS.items()}


def run(pricers, product, config):
    """Price ``config``; the barrier key is only passed to the down-and-out."""
    if product != "down_and_out":
        config = {key: value for key, value in config.items() if key != "barrier"}
    return pricers[product](config)


def _id(value):
    return ",".join(f"{a}={b}" for a, b in value.items()) if isinstance(value, dict) else str(value)


# From a pure-Python port of the stepwise kernels on the generator's normals (one normal per
# step, paths in stream order, blocks on derived seeds merged in worker order, ceil(n / 2)
# antithetic pairs); per product, (price, stderr) per technique.
KNOWN = [
    ({"n_paths": 201, "n_steps": 8, "n_threads": 1, "s0": 90.0, "k": 95.0, "r": 0.01, "sigma": 0.35, "t": 2.0,
      "seed": 2024, "barrier": 85.0}, {
        "asian": [(10.543606096539301, 1.4775834114984858), (11.233951049742405, 1.5861717348122575),
                  (9.49200618026352, 0.8516312718121212)],
        "lookback": [(29.578326545355083, 2.751702817630215), (30.063417451910887, 2.7316595747367276),
                     (27.45547298311941, 1.2768934388338984)],
        "down_and_out": [(11.823175554310362, 2.275523538798365), (12.968304566861718, 2.3734690018633797),
                         (10.282960382202596, 1.4319214649288556)]}),
    # odd step count: the spare normal carries into the next path
    ({"n_paths": 2, "n_steps": 3, "n_threads": 4, "seed": 0}, {
        "asian": [(0.14262921266990847, 0.10085408347419052), (1.1425350043268034, 0.0), (0.31799308518697855, 0.0)],
        "lookback": [(6.373450310086168, 3.8169573212766226), (13.176290040167807, 0.0), (13.010329988465749, 0.0)],
        "down_and_out": [(0.5982355663529532, 0.42301642571514797), (0.9755629069016565, 0.0),
                         (1.3337714613444693, 0.0)]}),
    # Standard and control variate split 4000 paths over two workers; antithetic runs 2000 pairs serially.
    ({"n_paths": 4000, "n_steps": 3, "n_threads": 2, "barrier": 92.0}, {
        "asian": [(6.5701459101592485, 0.1517424929121847), (6.927481606030109, 0.11658879580398535),
                  (6.480012500710466, 0.08164263117760832)],
        "lookback": [(12.203945466497007, 0.2233759363462155), (12.610626727764064, 0.15582486777877969),
                     (12.063747863358262, 0.10156087112410223)],
        "down_and_out": [(8.82314803806529, 0.22222070902711635), (9.320404854331889, 0.18378650471184008),
                         (8.685872575781428, 0.10692368377014949)]}),
    # Antithetic: 4000 pairs split over two workers.
    ({"n_paths": 7999, "n_steps": 2, "n_threads": 2, "seed": 2**64 - 1, "k": 90.0, "barrier": 95.0}, {
        "asian": [(13.725085842835021, 0.1542327346710379), (13.672357053046674, 0.07248950931783274),
                  (13.623519037099832, 0.05755493254577897)],
        "lookback": [(21.04046657007304, 0.16250845077120943), (20.950288908072135, 0.11021663739041089),
                     (20.936643991198757, 0.0708112560968491)],
        "down_and_out": [(13.86491707403491, 0.2002808793711777), (13.824470873795143, 0.12922669918255378),
                         (13.735390435714296, 0.08253847093730617)]}),
]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("case", KNOWN, ids=lambda case: _id(case[0]))
@pytest.mark.parametrize("product", PRODUCTS)
def test_pseudorandom_known_values(pricers, product, case, technique):
    overrides, known = case
    result = run(pricers, product, {**overrides, "technique": technique})
    price, stderr = known[product][TECHNIQUES.index(technique)]
    assert result["price"] == pytest.approx(price, rel=1e-12, abs=1e-300)
    assert result["stderr"] == pytest.approx(stderr, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("product", PRODUCTS)
def test_aliases_and_default_paths(pricers, product):
    aliased = {"n_threads": 1, "spot": 105.0, "volatility": 0.3, "sigma": None, "paths": 300, "steps": 6}
    assert pricers[product](aliased) == pricers[product](
        {"n_threads": 1, "s0": 105.0, "sigma": 0.3, "n_paths": 300, "n_steps": 6})
    assert pricers[product]({"n_steps": 1, "n_threads": 1})["manifest"]["config"]["n_paths"] == 100000


@pytest.mark.parametrize("sampling", STRUCTURED)
@pytest.mark.parametrize("product", PRODUCTS)
def test_structured_sampling_ignores_thread_count(pricers, product, sampling):
    for technique in TECHNIQUES:
        config = {"n_paths": 5000, "n_steps": 8, "sampling": sampling, "technique": technique}
        results = [run(pricers, product, {**config, "n_threads": w})["values"] for w in (1, 2, 4, 0)]
        assert all(values == results[0] for values in results)


ONE_STEP = {"n_paths": 3001, "n_steps": 1, "n_threads": 1, "s0": 100.0, "k": 105.0, "r": 0.02, "sigma": 0.25,
            "t": 0.75, "seed": 17}


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("product", PRODUCTS)
def test_one_step_equals_the_european_call(pricers, price_call, product, sampling, technique):
    # One price averaged; max(s0, S_1) - K with K > s0; a barrier out of reach. Both Sobol variants agree, and
    # antithetic runs take the European's ceil(n / 2) pairs on every sampler.
    config = {**ONE_STEP, "technique": technique, "sampling": sampling}
    result, european = run(pricers, product, {**config, "barrier": 1e-9}), price_call(config)
    assert result["price"] == pytest.approx(european["price"], rel=1e-11)
    assert result["stderr"] == pytest.approx(european["stderr"], rel=1e-8)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("product", PRODUCTS)
def test_bridge_differs_from_plain_sobol_for_several_steps(pricers, price_call, product, technique):
    config = {"n_paths": 2048, "n_steps": 13, "t": 0.75, "k": 95.0, "seed": 5, "technique": technique, "barrier": 1e-9}
    plain = run(pricers, product, {**config, "sampling": "scrambled_sobol"})
    bridge = run(pricers, product, {**config, "sampling": "scrambled_sobol_brownian_bridge"})
    assert bridge["price"] != plain["price"]
    assert abs(bridge["price"] - plain["price"]) < 4.0 * (bridge["stderr"] + plain["stderr"])
    if product == "down_and_out":
        # With the bridge the increments sum to sqrt(T) z_0: the terminal price is the one-dimensional Sobol
        # draw's, so an out-of-reach barrier gives the terminal European call of the same seed.
        european = price_call({**config, "sampling": "scrambled_sobol"})
        assert bridge["price"] == pytest.approx(european["price"], rel=1e-10)
        assert bridge["stderr"] == pytest.approx(european["stderr"], rel=1e-7)


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_asian_degenerate_inputs(pricers, sampling, technique):
    base = {"n_paths": 300, "n_steps": 5, "sampling": sampling, "technique": technique}
    zero_spot = pricers["asian"]({**base, "s0": 0.0})  # accepted by the Asian, rejected by the lookback
    assert (zero_spot["price"], zero_spot["stderr"]) == (0.0, 0.0)
    intrinsic = pricers["asian"]({**base, "t": 0.0, "s0": 110.0})
    assert intrinsic["price"] == pytest.approx(10.0, rel=1e-12) and intrinsic["stderr"] <= 1e-6


@pytest.mark.parametrize("technique", ["standard", "antithetic"])
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("r, n_steps", [(0.05, 4), (-0.02, 12)])
def test_zero_volatility_paths_are_deterministic(pricers, sampling, technique, r, n_steps):
    s0, k, t = 100.0, 95.0, 1.5
    base = {"s0": s0, "k": k, "r": r, "t": t, "sigma": 0.0, "n_paths": 64, "n_steps": n_steps, "barrier": 99.0,
            "sampling": sampling, "technique": technique}
    disc = math.exp(-r * t)
    prices = [s0 * math.exp(r * t * j / n_steps) for j in range(1, n_steps + 1)]
    expected = {
        "asian": disc * max(sum(prices) / n_steps - k, 0.0),
        "lookback": disc * max(max([s0] + prices) - k, 0.0),
        "down_and_out": 0.0 if min(prices) <= 99.0 else disc * max(prices[-1] - k, 0.0),
    }
    for product in PRODUCTS:
        result = run(pricers, product, base)
        assert result["price"] == pytest.approx(expected[product], rel=1e-10, abs=1e-12), product
        assert result["stderr"] <= 1e-6, product


@pytest.mark.parametrize("technique", TECHNIQUES)
def test_down_and_out_exact_touch_knocks_out(pricers, technique):
    # s0 = 2, r = -ln 2, sigma = 0, one step of one year: S_1 = 1 exactly.
    base = {"s0": 2.0, "k": 0.5, "r": -math.log(2.0), "sigma": 0.0, "t": 1.0, "n_paths": 10, "n_steps": 1,
            "technique": technique}
    assert pricers["down_and_out"]({**base, "barrier": 1.0})["values"] == {"price": 0.0, "stderr": 0.0}
    just_below = pricers["down_and_out"]({**base, "barrier": math.nextafter(1.0, 0.0)})
    assert just_below["price"] == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("barrier", [100.0, 150.0])
@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_barrier_at_or_above_spot_is_worth_nothing(pricers, sampling, technique, barrier):
    config = {"barrier": barrier, "k": 50.0, "n_paths": 8000, "n_steps": 3, "n_threads": 2, "sampling": sampling,
              "technique": technique}
    result = pricers["down_and_out"](config)
    assert (result["price"], result["stderr"]) == (0.0, 0.0)


# Interval the discrete price must lie in (before 4 standard errors), computed once and pinned. Asian:
# [C_G, C_G + e^{-rT}(E[A] - E[G])] from the geometric-average call, since A >= G path by path. Down-and-out
# (Merton's continuous barrier below strike and spot) and fixed-strike lookback (Conze-Viswanathan): the
# continuous price with the barrier / maximum shifted by exp(-0.5826 sigma sqrt(dt)) (Broadie-Glasserman-Kou),
# +-0.03 for the barrier and +-2.5% of the optional lookback component (the residual, of order 1/n, measured with
# 2e6 paths).
STATISTICAL = {"n_paths": 30000, "n_threads": 2, "seed": 7}
STATISTICAL_CASES = [
    ("asian", {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.05, "t": 1.0, "n_steps": 16},
     (2.1046169973589945, 2.128760277299847)),
    ("asian", {"s0": 100.0, "k": 95.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 32},
     (8.20411920016531, 8.576121653881014)),
    ("down_and_out", {"s0": 100.0, "k": 100.0, "barrier": 90.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 32},
     (8.288848272746176, 8.348848272746174)),
    ("down_and_out", {"s0": 100.0, "k": 105.0, "barrier": 90.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 64},
     (6.4247746993102774, 6.484774699310278)),
    ("lookback", {"s0": 100.0, "k": 110.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_steps": 16},
     (7.98054707358581, 8.389805897872261)),
    ("lookback", {"s0": 100.0, "k": 90.0, "r": 0.05, "sigma": 0.3, "t": 0.5, "n_steps": 64},
     (26.70458199585538, 27.573888809987285)),
]


@pytest.mark.parametrize("technique", TECHNIQUES)
@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
@pytest.mark.parametrize("product, market, bounds", STATISTICAL_CASES,
                         ids=lambda v: _id(v) if isinstance(v, dict) else None)
def test_against_closed_forms(pricers, product, market, bounds, sampling, technique):
    result = pricers[product]({**STATISTICAL, **market, "sampling": sampling, "technique": technique})
    lower, upper = bounds
    assert result["stderr"] > 0.0
    assert lower - 4.0 * result["stderr"] <= result["price"] <= upper + 4.0 * result["stderr"]
