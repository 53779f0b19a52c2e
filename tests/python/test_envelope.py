"""Module frame, result envelope and error mapping of ``brisklane._native``."""

from __future__ import annotations

import inspect
import math

import pytest

import brisklane
from brisklane import _native

# Every module function, in registration order.
MODULE_FUNCTIONS = (
    "price_european_call", "price_arithmetic_asian_call", "price_down_and_out_call", "price_lookback_call",
    "price_basket_call", "price_american_put", "price_bermudan_put", "price_heston_european_call",
    "price_merton_jump_diffusion_call", "price_european_call_parameter_sweep", "gaussian_uncertainty_moments",
    "arithmetic_asian_mlmc",
)
MANIFEST_CONSTANTS = {
    "backend": "cpu_native",
    "function": "price_european_call",
    "native_module": "brisklane._native",
    "performance_claim": "use benchmark artifacts for timing claims",
    "reproducibility": "deterministic for identical config, seed, native module version, and CPU runtime semantics",
    "schema_version": "python-native-runtime.v1",
    "workload": "european_call",
}
EUROPEAN_DEFAULTS = {
    "k": 100.0, "n_paths": 100000, "n_steps": 252, "n_threads": 0, "r": 0.03, "s0": 100.0,
    "sampling": "pseudorandom", "seed": 42, "sigma": 0.2, "t": 1.0, "technique": "standard",
}
SMALL = {"n_paths": 100, "n_threads": 1}


def typed(mapping):
    return {key: (value, type(value)) for key, value in mapping.items()}


def test_module_frame():
    assert _native.__version__ == brisklane.__version__ == "0.1.1"
    present = [name for name in vars(_native) if name in MODULE_FUNCTIONS]
    assert present == list(MODULE_FUNCTIONS)
    assert not hasattr(_native, "PanicException")
    assert _native.fatal_error_class() is brisklane.PanicException  # one class per process
    for name in present:
        function = getattr(_native, name)
        assert getattr(brisklane, name) is function
        assert type(function).__name__ == "builtin_function_or_method"
        assert (function.__name__, function.__text_signature__, function.__doc__) == (name, "(config)", None)
        assert list(inspect.signature(function).parameters) == ["config"]


@pytest.mark.parametrize(
    "n_args, keywords, message",
    [
        (0, (), "price_european_call() missing 1 required positional argument: 'config'"),
        (2, (), "price_european_call() takes 1 positional arguments but 2 were given"),
        (1, ("foo",), "price_european_call() got an unexpected keyword argument 'foo'"),
        (1, ("config",), "price_european_call() got multiple values for argument 'config'"),
    ],
)
def test_argument_errors_come_before_reading_config(price_call, recording_config, n_args, keywords, message):
    config = recording_config({"n_paths": 10})
    with pytest.raises(TypeError) as info:
        price_call(*[config] * n_args, **{key: config for key in keywords})
    assert type(info.value) is TypeError and str(info.value) == message
    assert config.keys == []


def test_envelope_keys_defaults_and_types():
    result = _native.price_european_call({})
    assert list(result) == ["manifest", "price", "stderr", "values", "warnings"]
    manifest = result["manifest"]
    assert list(manifest) == sorted([*MANIFEST_CONSTANTS, "config"])
    assert {key: manifest[key] for key in MANIFEST_CONSTANTS} == MANIFEST_CONSTANTS
    assert list(manifest["config"]) == sorted(EUROPEAN_DEFAULTS)
    assert typed(manifest["config"]) == typed(EUROPEAN_DEFAULTS)
    assert list(result["values"]) == ["price", "stderr"]
    assert typed(result["values"]) == typed({"price": result["price"], "stderr": result["stderr"]})
    assert type(result["price"]) is float and result["warnings"] == [] and type(result["warnings"]) is list
    again = _native.price_european_call(config={})
    assert again == result
    result["manifest"]["config"]["s0"] = -1.0
    result["warnings"].append("x")
    assert again["manifest"]["config"]["s0"] == 100.0 and again["warnings"] == []  # fresh objects


def test_config_echo_is_exact_and_the_mapping_untouched(price_call):
    values = {"sigma": 0.1 + 0.2, "t": 1.0 / 3.0, "r": 1e-300, "seed": 2**64 - 1, "n_threads": 2**40, "n_paths": 10}
    config = {**values, "spot": 90}
    echo = price_call(config)["manifest"]["config"]
    assert typed({key: echo[key] for key in values}) == typed(values) and echo["s0"] == 90.0
    assert config == {**values, "spot": 90}


@pytest.mark.parametrize(
    "config, price",
    [
        ({"s0": 50.0, "sigma": 0.0}, 0.0),
        ({"s0": 110.0, "r": 0.0, "sigma": 0.0}, 10.0),
        ({"s0": 110.0, "r": 0.0, "t": 0.0}, 10.0),
        ({"k": 1e308}, 0.0),
        ({"t": -1.0}, 0.0),  # max(NaN, 0) pays nothing
    ],
)
def test_exact_prices_arrive_as_float(price_call, config, price):
    result = price_call({"n_paths": 1000, "n_threads": 1, **config})
    for values in (result, result["values"]):
        assert typed({key: values[key] for key in ("price", "stderr")}) == typed({"price": price, "stderr": 0.0})


@pytest.mark.parametrize(
    "config, message",
    [
        ({"n_paths": 0}, "n_paths must be > 0"),
        ({"n_paths": 0, "n_steps": 0}, "n_paths must be > 0"),
        ({"n_steps": 0, "sigma": -1.0, "s0": -5.0}, "n_steps must be > 0"),
    ],
)
def test_validation_failures_raise_panic_exception(price_call, panic_exception, config, message):
    caught = []
    with pytest.raises(BaseException) as info:
        try:
            price_call(config)
        except Exception as exc:  # must not catch the fatal error
            caught.append(exc)
    assert caught == [] and type(info.value) is panic_exception and info.value.args == (message,)
    assert (panic_exception.__module__, panic_exception.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic_exception.__bases__ == (BaseException,)
    assert price_call(SMALL)["values"] == price_call(SMALL)["values"]  # still usable


NO_PRICE = "native pricing result did not include price"


@pytest.mark.parametrize(
    "config, message",
    [
        ({"s0": math.inf}, NO_PRICE),
        ({"s0": 1.5e308}, NO_PRICE),  # some terminal prices overflow
        ({"r": math.nan}, NO_PRICE),
        ({"technique": "control_variate", "t": -1.0}, NO_PRICE),  # NaN control
        # seed-42 normals 0.296, -1.44: path 1's payoff squared overflows, path 2 pays nothing
        ({"s0": 6e154, "k": 4.8e154, "r": 0.0, "n_paths": 2}, "native pricing result did not include stderr"),
    ],
)
def test_non_finite_estimate_is_value_error(price_call, config, message):
    with pytest.raises(ValueError) as info:
        price_call({"n_paths": 1000, "n_threads": 1, **config})
    assert (type(info.value), str(info.value)) == (ValueError, message)


MLMC_SMALL = {"levels": 2, "paths_per_level": [100, 50]}


# A non-finite input the function does not validate: no price, whatever the
# payoff's NaN-ignoring maximum made of it.
@pytest.mark.parametrize(
    "function, config",
    [
        ("price_european_call", {"k": math.inf}),
        ("price_european_call", {"sigma": math.nan}),
        ("price_european_call", {"technique": "antithetic", "s0": math.nan}),
        ("price_arithmetic_asian_call", {"r": math.nan, "n_steps": 4}),
        ("price_lookback_call", {"r": -math.inf, "n_steps": 4}),
        ("price_down_and_out_call", {"r": math.nan, "n_steps": 4}),
        ("price_basket_call", {"weight2": math.nan}),
        ("price_american_put", {"r": math.inf, "n_steps": 4}),
        ("price_bermudan_put", {"r": math.nan, "n_steps": 4, "exercise_steps": [2]}),
        ("price_heston_european_call", {"r": math.nan, "n_steps": 4}),
        ("price_merton_jump_diffusion_call", {"jump_mean": math.nan}),
        ("arithmetic_asian_mlmc", {"r": math.nan, **MLMC_SMALL}),
        ("arithmetic_asian_mlmc", {"s0": math.inf, **MLMC_SMALL}),
    ],
)
def test_non_finite_input_gives_no_price(function, config):
    with pytest.raises(ValueError) as info:
        getattr(_native, function)({"n_paths": 200, "n_threads": 1, **config})
    assert (type(info.value), str(info.value)) == (ValueError, NO_PRICE)


def test_validation_comes_before_the_finiteness_check(panic_exception):
    with pytest.raises(panic_exception, match="^levels must be > 0$"):
        _native.arithmetic_asian_mlmc({"r": math.nan, "levels": 0})
    with pytest.raises(panic_exception, match="^n_paths must be > 0$"):
        _native.price_european_call({"k": math.nan, "n_paths": 0})


def test_multilevel_stderr_is_the_values_stderr():
    result = _native.arithmetic_asian_mlmc(MLMC_SMALL)
    assert type(result["stderr"]) is float and result["stderr"] == result["values"]["stderr"]
    assert math.isfinite(result["values"]["price"])
