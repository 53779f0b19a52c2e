"""Replicates: independent randomizations whose spread is the error bar, and its Student t interval."""

from __future__ import annotations

import math
import statistics

import pytest

import brisklane
from brisklane._replicates import student_t_quantile
from conftest import SAMPLING_METHODS, black_scholes_call


@pytest.mark.parametrize("df, quantile", [(1, 12.706204736174703), (7, 2.364624251592785), (15, 2.131449545559323)])
def test_student_t_quantiles(df, quantile):
    assert student_t_quantile(0.975, df) == pytest.approx(quantile, rel=1e-11)


def test_replicate_seeds_are_splitmix64_outputs():
    assert brisklane.replicate_seeds(0, 2) == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4]
    assert len({seed & 0xFFFFFFFF for seed in brisklane.replicate_seeds(42, 1000)}) == 1000  # Sobol scrambles differ


@pytest.mark.parametrize("product, fields", [
    ("european_call", {"sampling": "scrambled_sobol", "n_paths": 3000}),
    ("arithmetic_asian_call", {"sampling": "latin_hypercube", "n_paths": 500, "n_steps": 5, "technique": "antithetic"}),
    ("american_put", {"n_paths": 600, "n_steps": 8}),
    ("arithmetic_asian_mlmc", {"sampling": "randomized_halton", "levels": 2, "paths_per_level": [400, 100]}),
])
def test_replicates_are_plain_runs_under_their_seeds(product, fields):
    estimate = brisklane.price(product, seed=7, replicates=4, blocks=2, **fields)
    plain = [brisklane.price(product, seed=s, blocks=2, **fields) for s in brisklane.replicate_seeds(7, 4)]
    assert estimate.replicate_prices == tuple(p.price for p in plain)
    assert estimate.price == pytest.approx(statistics.fmean(estimate.replicate_prices), rel=1e-15)
    assert estimate.stderr == pytest.approx(statistics.stdev(estimate.replicate_prices) / 2, rel=1e-12)
    half = estimate.interval[1] - estimate.price
    assert half == pytest.approx(student_t_quantile(0.975, 3) * estimate.stderr, rel=1e-12)
    assert estimate.n_paths == sum(p.n_paths for p in plain)
    assert (estimate.config["seed"], estimate.manifest["replicate_seeds"]) == (7, brisklane.replicate_seeds(7, 4))


@pytest.mark.parametrize("sampling", SAMPLING_METHODS)
def test_replicate_intervals_cover_and_their_stderr_matches_the_error(sampling):
    # 100 seeds of 16 replicates: the reported error must be the observed one, for every sampler
    exact = black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0)
    runs = [brisklane.price("european_call", sampling=sampling, n_paths=1024, seed=s, replicates=16, threads=1)
            for s in range(100)]
    covered = sum(run.interval[0] <= exact <= run.interval[1] for run in runs)
    rmse = math.sqrt(statistics.fmean((run.price - exact) ** 2 for run in runs))
    assert covered >= 85
    assert 0.7 <= statistics.fmean(run.stderr for run in runs) / rmse <= 1.4


def test_replicates_reach_a_target_stderr_and_equal_the_plain_call_of_the_last_round():
    fields = {"sampling": "scrambled_sobol_brownian_bridge", "n_paths": 256, "n_steps": 8, "replicates": 8}
    estimate = brisklane.price("arithmetic_asian_call", target_stderr=0.004, **fields)
    last = estimate.config["n_paths"]
    assert estimate.stderr <= 0.004 and last == 256 * 2 ** (estimate.manifest["rounds"] - 1) > 256
    again = brisklane.price("arithmetic_asian_call", **{**fields, "n_paths": last}, blocks=estimate.blocks)
    assert again.replicate_prices == estimate.replicate_prices
    capped = brisklane.price("arithmetic_asian_call", target_stderr=1e-9, max_paths=8 * 1024, **fields)
    assert capped.n_paths == 8 * 1024 and "max_paths=8,192 reached" in capped.warnings[-1]


def test_progress_spans_every_replicate():
    seen = []
    estimate = brisklane.price("european_call", n_paths=2**17, replicates=3, progress=lambda d, t, r: seen.append((d, t, r)))
    assert seen[-1][:2] == (estimate.n_paths, estimate.n_paths)
    assert [d for d, _, _ in seen] == sorted(d for d, _, _ in seen)
    assert any(r is not None and len(r.replicate_prices) == 2 for _, _, r in seen)


@pytest.mark.parametrize("replicates, error, message", [
    (1, brisklane.ConfigError, "replicates: must be >= 2 (their spread is the error), got 1"),
    ("4", TypeError, "replicates: expected an integer, got str"),
])
def test_replicate_count_is_checked(replicates, error, message):
    with pytest.raises(error, match=f"^{message.replace('(', '[(]').replace(')', '[)]')}$"):
        brisklane.price("european_call", replicates=replicates)


def test_cli_prices_replicates(cli_run):
    code, out, err = cli_run("price", "european_call", "sampling=latin_hypercube", "n_paths=2000", "--replicates", "5")
    assert code == 0, err
    estimate = brisklane.price("european_call", sampling="latin_hypercube", n_paths=2000, replicates=5)
    assert f"[{estimate.interval[0]:.6f}, {estimate.interval[1]:.6f}] (Student t)" in out
    assert "replicates        5, prices" in out
