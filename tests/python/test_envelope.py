"""Module frame, result envelope and error mapping of ``brisklane._native``."""

from __future__ import annotations

import inspect
import math

import pytest

import brisklane
from brisklane import _native
from conftest import ENVELOPE, PRODUCTS, RecordingConfig

MANIFEST_CONSTANTS = {
    "backend": "cpu_native",
    "native_module": "brisklane._native",
    "performance_claim": "use benchmark artifacts for timing claims",
    "reproducibility": "deterministic for identical config, seed, native module version, and CPU runtime semantics",
    "schema_version": "python-native-runtime.v1",
}


def typed(mapping):
    return {key: (value, type(value)) for key, value in mapping.items()}


def test_module_frame():
    assert _native.__version__ == brisklane.__version__ == "0.1.1"
    present = [name for name in vars(_native) if name in PRODUCTS]
    assert present == list(PRODUCTS)
    assert not hasattr(_native, "PanicException")
    assert _native.fatal_error_class() is brisklane.PanicException  # one class per process
    panic = brisklane.PanicException
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic.__bases__ == (BaseException,)
    for name in present:
        function = getattr(_native, name)
        assert getattr(brisklane, name) is function
        assert type(function).__name__ == "builtin_function_or_method"
        assert (function.__name__, function.__text_signature__, function.__doc__) == (name, "(config)", None)
        assert list(inspect.signature(function).parameters) == ["config"]


@pytest.mark.parametrize("n_args, keywords, message", [
    (0, (), "price_european_call() missing 1 required positional argument: 'config'"),
    (2, (), "price_european_call() takes 1 positional arguments but 2 were given"),
    (1, ("foo",), "price_european_call() got an unexpected keyword argument 'foo'"),
    (1, ("config",), "price_european_call() got multiple values for argument 'config'"),
])
def test_argument_errors_come_before_reading_config(price_call, recording_config, n_args, keywords, message):
    config = recording_config({"n_paths": 10})
    with pytest.raises(TypeError) as info:
        price_call(*[config] * n_args, **{key: config for key in keywords})
    assert type(info.value) is TypeError and str(info.value) == message
    assert config.keys == []


@pytest.mark.parametrize("function", PRODUCTS)
def test_reading_order_envelope_and_defaults(function):
    product = PRODUCTS[function]
    config = RecordingConfig(product.given)
    result = getattr(_native, function)(config)
    assert config.keys == list(product.read)
    assert list(result) == list(product.envelope) and type(result["warnings"]) is list
    manifest = result["manifest"]
    assert manifest == {**MANIFEST_CONSTANTS, "function": function, "workload": product.workload,
                        "config": manifest["config"]}
    assert list(manifest) == sorted(manifest)
    echo = {**product.defaults, **product.echoed}
    assert typed(manifest["config"]) == typed(echo) and list(manifest["config"]) == sorted(echo)
    for key in ("price", "stderr"):
        if key in product.envelope:  # repeated in the values
            assert type(result[key]) is float and result[key] == result["values"][key]
    if product.envelope == tuple(ENVELOPE) and not function.endswith("_put"):  # a plain price
        assert list(result["values"]) == ["price", "stderr"] and result["warnings"] == []


def test_results_are_fresh_objects():
    result = _native.price_european_call({})
    assert typed(result["values"]) == typed({"price": result["price"], "stderr": result["stderr"]})
    again = _native.price_european_call(config={})
    assert again == result
    result["manifest"]["config"]["s0"] = -1.0
    result["warnings"].append("x")
    assert again["manifest"]["config"]["s0"] == 100.0 and again["warnings"] == []


def test_config_echo_is_exact_and_the_mapping_untouched(price_call):
    values = {"sigma": 0.1 + 0.2, "t": 1.0 / 3.0, "r": 1e-300, "seed": 2**64 - 1, "n_threads": 2**40, "n_paths": 10}
    config = {**values, "spot": 90}
    echo = price_call(config)["manifest"]["config"]
    assert typed({key: echo[key] for key in values}) == typed(values) and echo["s0"] == 90.0
    assert config == {**values, "spot": 90}


@pytest.mark.parametrize("config, price", [
    ({"s0": 50.0, "sigma": 0.0}, 0.0),
    ({"s0": 110.0, "r": 0.0, "sigma": 0.0}, 10.0),
    ({"s0": 110.0, "r": 0.0, "t": 0.0}, 10.0),
    ({"k": 1e308}, 0.0),
    ({"t": -1.0}, 0.0),  # max(NaN, 0) pays nothing
])
def test_exact_prices_arrive_as_float(price_call, config, price):
    result = price_call({"n_paths": 1000, "n_threads": 1, **config})
    for values in (result, result["values"]):
        assert typed({key: values[key] for key in ("price", "stderr")}) == typed({"price": price, "stderr": 0.0})


def validation_cases(checks):
    """(config, message) rows for checks listed in order as (field, invalid value, message): each check
    fails first while every later one fails too, and NaN fails each check on a float field."""
    rows = []
    for i, (field, bad, message) in enumerate(checks):
        rows.append(({**{f: b for f, b, _ in checks[i + 1:]}, field: bad}, message))
        rows += [({field: float("nan")}, message)] if isinstance(bad, float) else []
    return rows


PATH_SMALL = {"n_paths": 200, "n_steps": 4, "n_threads": 1}
PUT_SMALL = {"n_paths": 2000, "n_steps": 16, "exercise_steps": []}  # the schedule checks come after every other
PUT_CHECKS = [("n_paths", 0, "n_paths must be > 0"), ("n_steps", 1, "n_steps must be >= 2 for LSM regression"),
              ("s0", 0.0, "s0 must be > 0"), ("k", -1.0, "k must be > 0"), ("sigma", -0.01, "sigma must be >= 0"),
              ("t", 0.0, "t must be > 0"), ("basis_degree", 0, "basis_degree must be > 0")]
# Per function: the config every case starts from, and its checks in order as (field, invalid value, message).
CHECKS = {
    "price_arithmetic_asian_call": (PATH_SMALL, [("n_paths", 0, "n_paths must be > 0"),
                                                 ("n_steps", 0, "n_steps must be > 0")]),
    "price_down_and_out_call": (PATH_SMALL, [("n_paths", 0, "n_paths must be > 0"),
                                             ("n_steps", 0, "n_steps must be > 0"),
                                             ("barrier", -0.0, "barrier must be > 0")]),
    "price_lookback_call": (PATH_SMALL, [
        ("n_paths", 0, "n_paths must be > 0"), ("n_steps", 0, "n_steps must be > 0"), ("s0", 0.0, "s0 must be > 0"),
        ("k", -1e-300, "k must be >= 0"), ("sigma", -0.2, "sigma must be >= 0"), ("t", 0.0, "t must be > 0")]),
    # s02 = 0 with rho = 2 reports s02
    "price_basket_call": ({}, [
        ("n_paths", 0, "n_paths must be > 0"), ("s01", 0.0, "s01 must be > 0"), ("s02", 0.0, "s02 must be > 0"),
        ("k", -1.0, "k must be >= 0"), ("sigma1", -0.2, "sigma1 must be >= 0"),
        ("sigma2", -0.25, "sigma2 must be >= 0"), ("t", 0.0, "t must be > 0"), ("rho", 2.0, "rho must be in [-1, 1]")]),
    "price_american_put": (PUT_SMALL, PUT_CHECKS),
    "price_bermudan_put": (PUT_SMALL, PUT_CHECKS),
    "price_heston_european_call": ({"n_steps": 2}, [
        ("n_paths", 0, "n_paths must be > 0"), ("n_steps", 0, "n_steps must be > 0"), ("s0", 0.0, "s0 must be > 0"),
        ("k", -0.01, "k must be >= 0"), ("v0", -1e-9, "v0 must be >= 0"), ("kappa", -1.0, "kappa must be >= 0"),
        ("theta", -1.0, "theta must be >= 0"), ("vol_of_vol", -0.3, "vol_of_vol must be >= 0"),
        ("rho", -1.0000001, "rho must be in [-1, 1]"), ("t", 0.0, "t must be > 0")]),
    "price_merton_jump_diffusion_call": ({}, [
        ("n_paths", 0, "n_paths must be > 0"), ("s0", -1.0, "s0 must be > 0"), ("k", 0.0, "k must be > 0"),
        ("sigma", -0.1, "sigma must be >= 0"), ("jump_intensity", -0.4, "jump_intensity must be >= 0"),
        ("jump_volatility", -0.25, "jump_volatility must be >= 0"), ("t", -1.0, "t must be > 0")]),
}
LENGTH_MESSAGE = "assertion `left == right` failed: paths_per_level must contain one positive path count per level"
VALIDATION = [
    ("price_european_call", {"n_paths": 0}, "n_paths must be > 0"),
    ("price_european_call", {"n_paths": 0, "n_steps": 0}, "n_paths must be > 0"),
    ("price_european_call", {"n_steps": 0, "sigma": -1.0, "s0": -5.0}, "n_steps must be > 0"),
    *[(function, {**base, **config}, message)
      for function, (base, checks) in CHECKS.items() for config, message in validation_cases(checks)],
    ("price_basket_call", {"rho": -1.0000001}, "rho must be in [-1, 1]"),
    ("arithmetic_asian_mlmc", {"base_steps": 0, "levels": 0}, "base_steps must be > 0"),
    ("arithmetic_asian_mlmc", {"levels": 0, "refinement_factor": 1}, "levels must be > 0"),
    ("arithmetic_asian_mlmc", {"refinement_factor": 1, "paths_per_level": [1]}, "refinement_factor must be >= 2"),
    ("arithmetic_asian_mlmc", {"paths_per_level": [10, 10, 10], "scramble_replicates": 0},
     LENGTH_MESSAGE + "\n  left: 3\n right: 4"),
    ("arithmetic_asian_mlmc", {"paths_per_level": [], "levels": 2}, LENGTH_MESSAGE + "\n  left: 0\n right: 2"),
    ("arithmetic_asian_mlmc", {"paths_per_level": [10, 0, 10, 10], "scramble_replicates": 0},
     "paths_per_level values must be > 0"),
    ("arithmetic_asian_mlmc", {"scramble_replicates": 0}, "scramble_replicates must be > 0"),
    # Levels 0 and 1 would need 2^62 and 2^63 steps per path; level 2 overflows before any level runs.
    *[("arithmetic_asian_mlmc", {"base_steps": 2**62, "levels": 3, "paths_per_level": [1, 1, 1], "sampling": sampling},
       "MLMC fine step count overflowed usize") for sampling in ("pseudorandom", "scrambled_sobol")],
    # the schedule's checks come last
    *[("price_bermudan_put", {"n_paths": 500, "n_steps": 16, **config}, message) for config, message in [
        ({"exercise_steps": []}, "exercise_steps must include at least one exercise date"),
        ({"exercise_steps": [0]}, "exercise_steps must be in 1..=n_steps"),
        ({"exercise_steps": [4, 8, 17]}, "exercise_steps must be in 1..=n_steps"),
        ({"exercise_steps": [0], "t": -1.0}, "t must be > 0"),
        ({"exercise_steps": [1], "n_steps": 1}, "n_steps must be >= 2 for LSM regression")]],
    # validation comes before the finiteness check
    ("arithmetic_asian_mlmc", {"r": math.nan, "levels": 0}, "levels must be > 0"),
    ("price_european_call", {"k": math.nan, "n_paths": 0}, "n_paths must be > 0"),
]


@pytest.mark.parametrize("function, config, message", VALIDATION,
                         ids=[f"{function}-{config}" for function, config, _ in VALIDATION])
def test_validation_failures_raise_panic_exception_in_order(native, panic_exception, function, config, message):
    caught = []
    with pytest.raises(BaseException) as info:
        try:
            getattr(native, function)(config)
        except Exception as exc:  # must not catch the fatal error
            caught.append(exc)
    assert caught == [] and type(info.value) is panic_exception and info.value.args == (message,)
    assert getattr(native, function)(RecordingConfig(PRODUCTS[function].given))["manifest"]  # still usable


NO_PRICE = "native pricing result did not include price"
E1000 = {"n_paths": 1000}
MLMC_SMALL = {"levels": 2, "paths_per_level": [100, 50]}


# A non-finite estimate, or a non-finite input the function does not validate: no price, whatever the
# payoff's NaN-ignoring maximum made of it.
@pytest.mark.parametrize("function, config, message", [
    ("price_european_call", {**E1000, "s0": math.inf}, NO_PRICE),
    ("price_european_call", {**E1000, "s0": 1.5e308}, NO_PRICE),  # some terminal prices overflow
    ("price_european_call", {**E1000, "r": math.nan}, NO_PRICE),
    ("price_european_call", {**E1000, "technique": "control_variate", "t": -1.0}, NO_PRICE),  # NaN control
    # seed-42 normals 0.296, -1.44: path 1's payoff squared overflows, path 2 pays nothing
    ("price_european_call", {"s0": 6e154, "k": 4.8e154, "r": 0.0, "n_paths": 2},
     "native pricing result did not include stderr"),
    ("price_european_call", {"k": math.inf}, NO_PRICE),
    ("price_european_call", {"sigma": math.nan}, NO_PRICE),
    ("price_european_call", {"technique": "antithetic", "s0": math.nan}, NO_PRICE),
    ("price_arithmetic_asian_call", {"r": math.nan, "n_steps": 4}, NO_PRICE),
    ("price_lookback_call", {"r": -math.inf, "n_steps": 4}, NO_PRICE),
    ("price_down_and_out_call", {"r": math.nan, "n_steps": 4}, NO_PRICE),
    ("price_basket_call", {"weight2": math.nan}, NO_PRICE),
    ("price_american_put", {"r": math.inf, "n_steps": 4}, NO_PRICE),
    ("price_bermudan_put", {"r": math.nan, "n_steps": 4, "exercise_steps": [2]}, NO_PRICE),
    ("price_heston_european_call", {"r": math.nan, "n_steps": 4}, NO_PRICE),
    ("price_merton_jump_diffusion_call", {"jump_mean": math.nan}, NO_PRICE),
    ("arithmetic_asian_mlmc", {"r": math.nan, **MLMC_SMALL}, NO_PRICE),
    ("arithmetic_asian_mlmc", {"s0": math.inf, **MLMC_SMALL}, NO_PRICE),
])
def test_non_finite_results_are_value_errors(function, config, message):
    with pytest.raises(ValueError) as info:
        getattr(_native, function)({"n_paths": 200, "n_threads": 1, **config})
    assert (type(info.value), str(info.value)) == (ValueError, message)


PUT_MEMORY = "cannot allocate exercise-date path prices (n_paths x exercise dates): "


@pytest.mark.parametrize("function, config, message", [
    ("price_american_put", {"n_paths": 2**62}, PUT_MEMORY + "4611686018427387904 x 64 values overflow 64 bits"),
    ("price_bermudan_put", {"n_paths": 2**62}, PUT_MEMORY + "4611686018427387904 x 4 values overflow 64 bits"),
    ("price_bermudan_put", {"n_paths": 2**50, "exercise_steps": [64]}, PUT_MEMORY + "1125899906842624 values"),
    # the path prices are claimed before a date per step is listed
    ("price_american_put", {"n_steps": 2**62}, PUT_MEMORY + "100000 x 4611686018427387904 values overflow 64 bits"),
    ("price_american_put", {"n_steps": 4 * 10**8, "n_paths": 1000}, PUT_MEMORY + "400000000000 values"),
    ("arithmetic_asian_mlmc", {"base_steps": 2**61, "levels": 1, "paths_per_level": [1], "sampling": "latin_hypercube"},
     "cannot allocate Latin hypercube dimensions: 2305843009213693952 values"),
    ("arithmetic_asian_mlmc", {"base_steps": 4, "levels": 3, "paths_per_level": [400, 200, 100],
                               "sampling": "scrambled_sobol", "scramble_replicates": 2**62},
     "cannot allocate MLMC replicate estimates: 4611686018427387904 values"),
    ("gaussian_uncertainty_moments", {"n_samples": 2**62, "dimensions": 8},
     "cannot allocate standard normal matrix: 4611686018427387904 x 8 values overflow 64 bits"),
    ("gaussian_uncertainty_moments", {"n_samples": 2**40, "dimensions": 2**21, "sampling": "scrambled_sobol"},
     "cannot allocate standard normal matrix: 2305843009213693952 values"),
    ("price_arithmetic_asian_call", {"n_steps": 2**62, "sampling": "latin_hypercube", "n_paths": 4},
     "cannot allocate Latin hypercube dimensions: 4611686018427387904 values"),
    ("price_lookback_call", {"n_steps": 2**62, "sampling": "randomized_halton", "n_paths": 4}, None),
    ("price_down_and_out_call", {"n_steps": 2**62, "sampling": "scrambled_sobol_brownian_bridge", "n_paths": 4},
     "cannot allocate Brownian bridge positions: 4611686018427387905 values"),
])
def test_impossible_sizes_raise_memory_error(function, config, message):
    with pytest.raises(MemoryError) as info:
        getattr(_native, function)(config)
    assert type(info.value) is MemoryError and message in (None, str(info.value))
    assert getattr(_native, function)(RecordingConfig(PRODUCTS[function].given))["manifest"]  # the module carries on
