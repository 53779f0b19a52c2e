"""The engine's own entry points, and the same bits on every SIMD target."""

from __future__ import annotations

import pytest

import brisklane
from brisklane import _native
from conftest import SAMPLING_METHODS, TECHNIQUES

TARGETS = ("scalar", "avx2", "avx512")

# Every module function with odd path and step counts; pseudorandom runs large enough to be split over
# two workers and to fill whole lane tiles; then every product with every sampler and technique.
CALLS = [
    ("price_lookback_call", {"n_paths": 203, "n_steps": 9, "sampling": "randomized_halton", "technique": "antithetic"}),
    ("price_american_put", {"n_paths": 2001, "n_steps": 9}),
    ("price_bermudan_put", {"n_paths": 2001, "n_steps": 9, "exercise_steps": [3, 6]}),
    ("price_merton_jump_diffusion_call", {"n_paths": 4001, "n_threads": 2}),
    ("gaussian_uncertainty_moments", {"n_samples": 1001, "sampling": "scrambled_sobol"}),
] + [
    (name, {"n_paths": 4203 if sampling == "pseudorandom" else 203, "n_steps": 13, "n_threads": 2, "barrier": 95.0,
            "sampling": sampling, "technique": technique})
    for sampling in SAMPLING_METHODS for technique in TECHNIQUES
    for name in ("price_european_call", "price_arithmetic_asian_call", "price_lookback_call", "price_down_and_out_call",
                 "price_basket_call") + (("price_heston_european_call",) if sampling == "pseudorandom" else ())
] + [
    ("price_european_call_parameter_sweep", {
        "n_paths": 1001, "method": "stepwise_paths", "n_steps": 13, "base_config": {"n_threads": 2},
        "scenarios": [{"scenario_id": f"{s} {t}", "sampling": s, "technique": t}
                      for s in SAMPLING_METHODS for t in TECHNIQUES]}),
] + [("arithmetic_asian_mlmc", {"paths_per_level": [301, 151, 75, 37], "sampling": s}) for s in SAMPLING_METHODS]


@pytest.fixture
def restore_target():
    yield
    _native.set_simd_target(brisklane.engine_info()["simd_targets_supported"][-1])


def test_engine_info_describes_the_numerics():
    info = brisklane.engine_info()
    assert set(info) == {"numerics_revision", "simd_target", "simd_targets_supported", "simd_lanes", "compiler"}
    assert isinstance(info["numerics_revision"], int) and info["numerics_revision"] >= 2
    assert info["simd_targets_supported"][0] == "scalar"
    assert info["simd_target"] == brisklane.simd_target() == info["simd_targets_supported"][-1]
    assert info["simd_lanes"] == 8
    assert info["compiler"].split()[0] in {"gcc", "clang"}


@pytest.mark.parametrize("target", TARGETS)
def test_set_simd_target_forces_a_supported_target(target, restore_target):
    if target in brisklane.engine_info()["simd_targets_supported"]:
        brisklane.set_simd_target(target)
        assert brisklane.simd_target() == target
    else:
        before = brisklane.simd_target()
        with pytest.raises(ValueError, match=f"SIMD target '{target}' is not supported on this machine"):
            brisklane.set_simd_target(target)
        assert brisklane.simd_target() == before


@pytest.mark.parametrize("bad, error", [("sse2", ValueError), ("AVX2", ValueError), (2, TypeError)])
def test_set_simd_target_rejects_unknown_names(bad, error):
    with pytest.raises(error):
        brisklane.set_simd_target(bad)


def test_every_function_gives_the_same_bits_on_every_target(restore_target):
    supported = brisklane.engine_info()["simd_targets_supported"]
    results = {}
    for target in supported:
        brisklane.set_simd_target(target)
        results[target] = [getattr(_native, name)(dict(config)) for name, config in CALLS]
    reference = results["scalar"]
    for target in supported:
        for (name, config), got, expected in zip(CALLS, results[target], reference):
            assert repr(got) == repr(expected), (target, name, config)
    assert len(supported) >= 2 or supported == ["scalar"]
