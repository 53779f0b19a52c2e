"""Shared fixtures, helpers and the table of module functions for the brisklane Python tests."""

from __future__ import annotations

import math
import signal
from typing import NamedTuple

import pytest

import brisklane
from brisklane import _native, cli
from brisklane.reference import black_scholes_call

SAMPLING_METHODS = ("pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol",
                    "scrambled_sobol_brownian_bridge")
TECHNIQUES = ("standard", "antithetic", "control_variate")
ENVELOPE = ["manifest", "price", "stderr", "values", "warnings"]

GBM = ("s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity")
EUROPEAN_DEFAULTS = {
    "k": 100.0, "n_paths": 100000, "n_steps": 252, "n_threads": 0, "r": 0.03, "s0": 100.0,
    "sampling": "pseudorandom", "seed": 42, "sigma": 0.2, "t": 1.0, "technique": "standard",
}
BASKET_DEFAULTS = {
    "s01": 100.0, "s02": 95.0, "k": 100.0, "r": 0.03, "sigma1": 0.2, "sigma2": 0.25, "rho": 0.35,
    "weight1": 0.5, "weight2": 0.5, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
    "technique": "standard", "sampling": "pseudorandom",
}
PUT_DEFAULTS = {"s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_paths": 100000, "n_steps": 64,
                "seed": 42, "n_threads": 0, "basis_degree": 2}
HESTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "v0": 0.04, "kappa": 1.5, "theta": 0.04, "vol_of_vol": 0.3,
    "rho": -0.6, "t": 1.0, "n_paths": 100000, "n_steps": 252, "seed": 42, "n_threads": 0, "technique": "standard",
}
MERTON_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "jump_intensity": 0.4, "jump_mean": -0.08,
    "jump_volatility": 0.25, "t": 1.0, "n_paths": 100000, "seed": 42, "n_threads": 0,
}
MLMC_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "base_steps": 16, "levels": 4, "refinement_factor": 2,
    "paths_per_level": [50000, 25000, 12500, 6250], "seed": 42, "sampling": "pseudorandom", "scramble_replicates": 1,
}
UNSET_SCENARIO = {
    "scenario_id": "base", "s0": None, "k": None, "r": None, "sigma": None, "t": None, "n_paths": None,
    "n_steps": None, "seed": None, "sampling": None, "technique": None, "method": None,
}


class Product(NamedTuple):
    workload: str
    defaults: dict  # the config echoed when nothing is given
    given: dict  # a config (aliases included) ...
    read: tuple  # ... the keys looked up in it, in order ...
    echoed: dict  # ... and what it changes in the echoed config
    envelope: tuple = tuple(ENVELOPE)


PATHS_50 = {"n_paths": 50, "n_threads": 1}
PATH_KEYS = ("n_paths", "n_steps", "steps", "seed")
PUT_GIVEN = {"n_paths": 500, "n_steps": 4, "exercise_steps": [2]}
PUT_KEYS = (*GBM, "n_paths", "n_steps", "seed", "n_threads", "basis_degree")
ENUMS = ("n_threads", "technique", "sampling")
STUDY = ("manifest", "values", "warnings")

# Every module function, in registration order.
PRODUCTS = {
    "price_european_call": Product(
        "european_call", EUROPEAN_DEFAULTS, {}, (*GBM, "n_paths", "paths", "n_steps", "steps", "seed", *ENUMS), {}),
    "price_arithmetic_asian_call": Product(
        "arithmetic_asian_call", EUROPEAN_DEFAULTS, PATHS_50, (*GBM, *PATH_KEYS, *ENUMS), PATHS_50),
    "price_down_and_out_call": Product(
        "down_and_out_call", {**EUROPEAN_DEFAULTS, "barrier": 80.0}, PATHS_50, (*GBM, *PATH_KEYS, "barrier", *ENUMS),
        PATHS_50),
    "price_lookback_call": Product("lookback_call", EUROPEAN_DEFAULTS, PATHS_50, (*GBM, *PATH_KEYS, *ENUMS), PATHS_50),
    "price_basket_call": Product("basket_call", BASKET_DEFAULTS, {"paths": 500}, (
        "s01", "spot_1", "spot1", "s02", "spot_2", "spot2", "k", "strike", "r", "rate",
        "sigma1", "volatility_1", "volatility1", "sigma2", "volatility_2", "volatility2", "rho", "correlation",
        "weight1", "weight_1", "weight2", "weight_2", "t", "maturity", "n_paths", "paths", "seed", *ENUMS,
    ), {"n_paths": 500}),
    "price_american_put": Product("american_put", PUT_DEFAULTS, PUT_GIVEN, PUT_KEYS, {"n_paths": 500, "n_steps": 4}),
    "price_bermudan_put": Product("bermudan_put", {**PUT_DEFAULTS, "exercise_steps": [16, 32, 48, 64]}, PUT_GIVEN,
                                  (*PUT_KEYS, "exercise_steps"), PUT_GIVEN),
    "price_heston_european_call": Product("heston_european_call", HESTON_DEFAULTS, {"paths": 300, "steps": 4}, (
        "s0", "spot", "k", "strike", "r", "rate", "v0", "initial_variance", "kappa", "mean_reversion", "theta",
        "long_run_variance", "vol_of_vol", "rho", "correlation", "t", "maturity", "n_paths", "paths", "n_steps",
        "steps", "seed", "n_threads", "technique",
    ), {"n_paths": 300, "n_steps": 4}),
    "price_merton_jump_diffusion_call": Product("merton_jump_diffusion_call", MERTON_DEFAULTS, {"paths": 300}, (
        *GBM, "n_paths", "paths", "seed", "n_threads", "jump_intensity", "jump_mean", "jump_volatility",
    ), {"n_paths": 300}),
    # the scenario's keys are read right after "scenarios"
    "price_european_call_parameter_sweep": Product(
        "european_call_parameter_sweep",
        {"base_config": EUROPEAN_DEFAULTS, "method": "terminal_distribution", "seed_stride": 10000,
         "scenarios": [dict(UNSET_SCENARIO, scenario_id="atm_base"), dict(UNSET_SCENARIO, scenario_id="down_10pct",
                                                                           s0=90.0),
                       dict(UNSET_SCENARIO, scenario_id="high_vol", sigma=0.35)]},
        {"scenarios": [{"scenario_id": "only"}]},
        ("base_config", "n_paths", "n_steps", "seed", "seed_stride", "method", "scenarios", "scenario_id", *GBM,
         "n_paths", "paths", "n_steps", "steps", "seed", "sampling", "technique", "method"),
        {"scenarios": [dict(UNSET_SCENARIO, scenario_id="only")]}, STUDY),
    "gaussian_uncertainty_moments": Product(
        "gaussian_uncertainty_moments", {"n_samples": 100000, "dimensions": 3, "seed": 42, "sampling": "pseudorandom"},
        {"samples": 50, "n_paths": 500, "dimensions": 4, "seed": 77},
        ("n_samples", "n_paths", "dimensions", "seed", "sampling"),
        {"n_samples": 500, "dimensions": 4, "seed": 77}, STUDY),
    "arithmetic_asian_mlmc": Product(
        "arithmetic_asian_mlmc", MLMC_DEFAULTS, {"spot": 90, "paths_per_level": (10, 5, 3, 2)},
        (*GBM, "base_steps", "levels", "refinement_factor", "paths_per_level", "seed", "sampling",
         "scramble_replicates"),
        {"s0": 90.0, "paths_per_level": [10, 5, 3, 2]}, ("manifest", "stderr", "values", "warnings")),
}
FUNCTION_OF = {product.workload: function for function, product in PRODUCTS.items()}


def black_scholes_put(s0, k, r, sigma, t):
    """By put-call parity from the package's call (pinned to textbook values in test_cli)."""
    return black_scholes_call(s0, k, r, sigma, t) - s0 + k * math.exp(-r * t)


def pytest_configure(config):
    # A runner started in the background of a non-interactive shell inherits SIGINT ignored, and
    # an ignored signal stays ignored across exec: the Ctrl-C tests' children would never see
    # theirs. A handled one reverts to the default in a child, which Python then takes over.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture(scope="session")
def native():
    return _native


@pytest.fixture(scope="session")
def price_call():
    return _native.price_european_call


@pytest.fixture(scope="session")
def panic_exception():
    return brisklane.PanicException


class RecordingConfig:
    """Config whose one-argument ``get`` records each key; keys in ``raise_on`` raise LookupError(key).
    Mappings inside list values become recording configs too, recording into the same list."""

    def __init__(self, values=None, raise_on=(), keys=None):
        self.keys = [] if keys is None else keys
        self.values = {key: [RecordingConfig(v, keys=self.keys) if isinstance(v, dict) else v for v in value]
                       if isinstance(value, list) else value for key, value in (values or {}).items()}
        self.raise_on = set(raise_on)

    def get(self, key):  # exactly one parameter: the module must pass one argument
        self.keys.append(key)
        if key in self.raise_on:
            raise LookupError(key)
        return self.values.get(key)


@pytest.fixture
def recording_config():
    return RecordingConfig


@pytest.fixture
def cli_run(capsys):
    """Runs the command line in-process: (exit code, stdout, stderr)."""

    def run(*argv):
        code = cli.main(list(argv))
        out, err = capsys.readouterr()
        return code, out, err

    return run


def summary_fields(out):
    """The ``label  value`` lines of a price summary."""
    return {label.strip(): value.strip() for label, _, value in (line.partition("  ") for line in out.splitlines())}
