"""brisklane.price: block plans fix the bits, errors name the field, the lock is released
(Ctrl-C during price(): test_interrupt.py)."""

from __future__ import annotations

import math
import textwrap
import threading

import pytest

import brisklane
from brisklane.reference import black_scholes_call
from conftest import FUNCTION_OF

# Small runs of every product and kind of run; the worker-run ones have enough paths to be
# parallel in the module functions for up to four workers.
RUNS = {
    "european": ("european_call", {"n_paths": 9001}),
    "european cv": ("european_call", {"n_paths": 9001, "technique": "control_variate"}),
    "european antithetic": ("european_call", {"n_paths": 9001, "technique": "antithetic"}),
    "european sobol": ("european_call", {"n_paths": 9001, "sampling": "scrambled_sobol"}),
    "asian": ("arithmetic_asian_call", {"n_paths": 9001, "n_steps": 16}),
    "asian antithetic": ("arithmetic_asian_call", {"n_paths": 16001, "n_steps": 7, "technique": "antithetic"}),
    "asian bridge": ("arithmetic_asian_call",
                     {"n_paths": 2001, "n_steps": 16, "sampling": "scrambled_sobol_brownian_bridge"}),
    "lookback halton": ("lookback_call", {"n_paths": 2001, "n_steps": 8, "sampling": "randomized_halton"}),
    "down-and-out": ("down_and_out_call", {"n_paths": 9001, "n_steps": 16, "barrier": 90.0}),
    "basket": ("basket_call", {"n_paths": 9001}),
    "heston": ("heston_european_call", {"n_paths": 9001, "n_steps": 8, "technique": "control_variate"}),
    "merton": ("merton_jump_diffusion_call", {"n_paths": 9001}),
    "american put": ("american_put", {"n_paths": 3001, "n_steps": 16}),
    "bermudan put": ("bermudan_put", {"n_paths": 3001, "exercise_steps": [48, 16]}),
    "multilevel": ("arithmetic_asian_mlmc", {"levels": 2, "paths_per_level": [4001, 2001]}),
    "multilevel latin": ("arithmetic_asian_mlmc",
                         {"levels": 2, "paths_per_level": [801, 401], "sampling": "latin_hypercube"}),
}
ON_WORKERS = {"european", "european cv", "asian", "asian antithetic", "down-and-out", "heston", "merton"}
# The puts regress on the calling thread: every plan gives the serial bits.
EXACT_FOR_EVERY_PLAN = {"american put", "bermudan put"}
# Scrambled Sobol in price() runs the full-length sequence, where the module functions start a new
# one every 65,536 points: the points differ from the first, so these plans are held to their own
# one-block answers (price, stderr) instead.
FULL_LENGTH_SOBOL = {
    "european sobol": (9.415682584864793, 0.14873869623777677),
    "asian bridge": (5.542542747021364, 0.18124950226898157),
}


def module_run(product: str, fields: dict, workers: int) -> dict:
    result = getattr(brisklane, FUNCTION_OF[product])({**fields, "n_threads": workers})
    result.setdefault("price", result["values"]["price"])  # the multilevel estimator's is in its values
    return result


@pytest.mark.parametrize("case", RUNS)
def test_threads_never_change_the_bits_and_plans_match_the_module_functions(case):
    product, fields = RUNS[case]
    for blocks in (1, 3):
        results = {brisklane.price(product, fields, blocks=blocks, threads=t).price for t in (1, 2, 4)}
        assert len(results) == 1
    serial = module_run(product, fields, 1)
    one_block = brisklane.price(product, fields, blocks=1)
    if case in FULL_LENGTH_SOBOL:
        assert (one_block.price, one_block.stderr) == FULL_LENGTH_SOBOL[case] != (serial["price"], serial["stderr"])
        serial = {"price": one_block.price, "stderr": one_block.stderr}
    assert (one_block.price, one_block.stderr) == (serial["price"], serial["stderr"])
    for blocks in (2, 4) if case in ON_WORKERS else (2, 7, 64):
        planned = brisklane.price(product, fields, blocks=blocks, threads=2)
        if case in EXACT_FOR_EVERY_PLAN:
            assert (planned.price, planned.stderr) == (serial["price"], serial["stderr"])
            assert planned.details == serial["values"]["details"]
            assert list(planned.warnings) == serial["warnings"]
        elif case in ON_WORKERS:
            parallel = module_run(product, fields, blocks)
            assert (planned.price, planned.stderr) == (parallel["price"], parallel["stderr"])
        else:
            assert planned.price == pytest.approx(serial["price"], rel=1e-12)
            assert planned.stderr == pytest.approx(serial["stderr"], rel=1e-10)


SOBOL_RUNS = [
    ("european_call", {"n_paths": 203}),
    ("arithmetic_asian_call", {"n_paths": 203, "n_steps": 13, "technique": "antithetic"}),
    ("down_and_out_call", {"n_paths": 203, "n_steps": 13, "barrier": 95.0, "technique": "control_variate"}),
    ("lookback_call", {"n_paths": 203, "n_steps": 300}),  # past one group of 256 dimensions
    ("basket_call", {"n_paths": 203}),
    ("arithmetic_asian_mlmc", {"levels": 2, "paths_per_level": [301, 151]}),
]


@pytest.mark.parametrize("sampling", ["scrambled_sobol", "scrambled_sobol_brownian_bridge"])
def test_full_length_sobol_has_the_same_bits_on_every_target_and_is_not_the_module_functions(sampling):
    supported = brisklane.engine_info()["simd_targets_supported"]
    try:
        results = {}
        for target in supported:
            brisklane.set_simd_target(target)
            results[target] = [brisklane.price(p, f, sampling=sampling, seed=5, blocks=3) for p, f in SOBOL_RUNS]
    finally:
        brisklane.set_simd_target(supported[-1])
    for target in supported:
        for got, expected in zip(results[target], results["scalar"]):
            assert (got.price.hex(), got.stderr.hex()) == (expected.price.hex(), expected.stderr.hex()), target
    for (product, fields), planned in zip(SOBOL_RUNS, results["scalar"]):
        assert planned.price != module_run(product, {**fields, "sampling": sampling, "seed": 5}, 1)["price"], product
    # Only the low 32 bits of the seed scramble.
    again = brisklane.price("european_call", n_paths=203, sampling=sampling, seed=5 + 2**32, blocks=3)
    assert again.price == results["scalar"][0].price


def test_full_length_sobol_keeps_converging_past_65536_paths():
    # Past 65,536 paths the module functions' error falls as n^-1/2 (independent blocks), the full sequence's
    # as about n^-1 here: at 2^20 paths the RMSE ratio is about (2^16 / 2^20)^(1/2) = 0.25.
    exact = black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0)
    fields = {"n_paths": 2**20, "sampling": "scrambled_sobol"}
    seeds = range(1, 9)
    module = [brisklane.price_european_call({**fields, "seed": s})["price"] - exact for s in seeds]
    planned = [brisklane.price("european_call", fields, seed=s, threads=2).price - exact for s in seeds]

    def rmse(errors):
        return math.sqrt(sum(e * e for e in errors) / len(errors))

    assert rmse(planned) < 0.5 * rmse(module)


def test_the_estimate_reports_its_run():
    est = brisklane.price("european_call", {"spot": 105}, strike=100, n_paths=9001, technique="antithetic", threads=2)
    assert est.n_paths == 9002 and est.blocks == brisklane.default_blocks(9001) == 1
    half_width = 1.959963984540054 * est.stderr
    assert est.interval == pytest.approx((est.price - half_width, est.price + half_width))
    assert est.config["s0"] == 105.0 and est.config["k"] == 100.0 and est.config["threads"] == 1
    assert "n_threads" not in est.config
    assert est.manifest["product"] == "european_call" and est.manifest["engine"] == brisklane.engine_info()
    assert est.to_dict()["interval"] == list(est.interval)
    assert repr(est).startswith("Estimate(price=") and "n_paths=9,002" in repr(est)
    with pytest.raises(AttributeError):
        est.price = 0.0  # frozen
    assert brisklane.default_blocks(10**6) == 15 and brisklane.default_blocks(10**9) == 256


EUROPEAN = "european_call"
SOBOL_END = "scrambled Sobol sampling takes at most 2^32 = 4294967296 paths, got 4294967297"


@pytest.mark.parametrize("product, fields, error, message", [
    (EUROPEAN, {"strke": 120}, TypeError, "european_call has no field 'strke'; did you mean 'strike'?"),
    (EUROPEAN, {"n_threads": 2}, TypeError, "n_threads is not a field of price(): pass threads=N"),
    (EUROPEAN, {"sigma": "0.2"}, TypeError, "sigma: expected a real number, got str"),
    (EUROPEAN, {"n_paths": 1.5}, TypeError, "n_paths: expected an integer, got float"),
    (EUROPEAN, {"volatility": math.inf}, brisklane.ConfigError, "volatility: must be finite, got inf"),
    (EUROPEAN, {"seed": -1}, brisklane.ConfigError, "seed: must be between 0 and 2**64 - 1, got -1"),
    (EUROPEAN, {"sampling": "sobol"}, brisklane.ConfigError, "sampling: expected one of pseudorandom,"),
    (EUROPEAN, {"k": 1.0, "strike": 2.0}, TypeError, "k given twice, as 'k' and 'strike'"),
    (EUROPEAN, {"n_paths": 0}, brisklane.ConfigError, "n_paths must be > 0"),  # the core's own message
    ("down_and_out_call", {"barrier": 0.0}, brisklane.ConfigError, "barrier: must be > 0, got 0.0"),
    (EUROPEAN, {"spot": -100}, brisklane.ConfigError, "spot: must be > 0, got -100.0"),
    (EUROPEAN, {"sigma": -0.2}, brisklane.ConfigError, "sigma: must be >= 0, got -0.2"),
    (EUROPEAN, {"t": 0}, brisklane.ConfigError, "t: must be > 0, got 0.0"),
    ("europen_call", {}, ValueError, "unknown product 'europen_call'; did you mean 'european_call'"),
    ("bermudan_put", {"exercise_steps": [16, "32"]}, TypeError, "exercise_steps[1]: expected an integer, got str"),
    (EUROPEAN, {"blocks": 0}, brisklane.ConfigError, "blocks: must be >= 1"),
    (EUROPEAN, {"threads": 1.0}, TypeError, "threads: expected an integer"),
    # the full-length Sobol sequence ends at 2^32 points
    (EUROPEAN, {"n_paths": 2**32 + 1, "sampling": "scrambled_sobol"}, brisklane.ConfigError, SOBOL_END),
    ("arithmetic_asian_mlmc", {"levels": 1, "paths_per_level": [2**32 + 1], "sampling": "scrambled_sobol"},
     brisklane.ConfigError, SOBOL_END),
])
def test_errors_name_the_field(product, fields, error, message):
    with pytest.raises(error) as raised:
        brisklane.price(product, **fields)
    assert str(raised.value).startswith(message)


def test_config_error_is_a_value_error_and_none_counts_as_missing():
    assert issubclass(brisklane.ConfigError, ValueError)
    assert brisklane.price("european_call", n_paths=2000, sigma=None).config["sigma"] == 0.2  # as in the module


def test_the_interpreter_lock_is_released_while_the_core_runs():
    def counted_while(call) -> int:
        """Loop iterations this thread gets while `call` runs on another thread."""
        worker = threading.Thread(target=call)
        count = 0
        worker.start()
        while worker.is_alive():
            count += 1
        worker.join()
        return count

    fields = {"n_paths": 200_000, "n_steps": 252}  # about 0.4 s
    held = counted_while(lambda: brisklane.price_arithmetic_asian_call({**fields, "n_threads": 1}))
    released = counted_while(lambda: brisklane.price("arithmetic_asian_call", fields, threads=1))
    # The module function holds the lock for its whole call; price() gives it back.
    assert released > 20 * held  # measured: about 100 times


def test_a_user_script_type_checks_strictly(tmp_path):
    from mypy import api as mypy  # installed: a missing mypy fails instead of skipping
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent("""
        import brisklane

        est: brisklane.Estimate = brisklane.price("european_call", {"spot": 105}, sigma=0.25, threads=2)
        low, high = est.interval
        width: float = high - low
        summary: dict[str, object] = est.to_dict()
    """))
    out, err, status = mypy.run(["--strict", "--no-incremental", str(script)])
    assert status == 0, out + err
