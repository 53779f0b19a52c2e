"""Module frame, result envelope and error mapping of ``brisklane._native``."""

from __future__ import annotations

import inspect
import math

import pytest

import brisklane
from brisklane import _native

# Every module function, in registration order.
MODULE_FUNCTIONS = (
    "price_european_call",
    "price_arithmetic_asian_call",
    "price_down_and_out_call",
    "price_lookback_call",
    "price_basket_call",
    "price_american_put",
    "price_bermudan_put",
    "price_heston_european_call",
    "price_merton_jump_diffusion_call",
    "price_european_call_parameter_sweep",
    "gaussian_uncertainty_moments",
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
    "k": 100.0,
    "n_paths": 100000,
    "n_steps": 252,
    "n_threads": 0,
    "r": 0.03,
    "s0": 100.0,
    "sampling": "pseudorandom",
    "seed": 42,
    "sigma": 0.2,
    "t": 1.0,
    "technique": "standard",
}

SMALL = {"n_paths": 2000, "n_threads": 1}

NO_PRICE = "native pricing result did not include price"
NO_STDERR = "native pricing result did not include stderr"


@pytest.fixture(scope="module")
def default_result():
    return _native.price_european_call({})


# ---------------------------------------------------------------------------
# Module frame
# ---------------------------------------------------------------------------


def test_version_of_module_and_package():
    assert _native.__version__ == "0.1.1"
    assert brisklane.__version__ == "0.1.1"


def test_functions_are_registered_in_order():
    present = [name for name in vars(_native) if name in MODULE_FUNCTIONS]
    assert "price_european_call" in present
    assert present == [name for name in MODULE_FUNCTIONS if name in present]


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_function_signature_and_docstring(name):
    function = getattr(_native, name, None)
    if function is None:
        pytest.skip(f"{name} is not in this build")
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__text_signature__ == "(config)"
    assert function.__doc__ is None
    assert list(inspect.signature(function).parameters) == ["config"]


def test_package_reexports_native_functions():
    for name in MODULE_FUNCTIONS:
        if hasattr(_native, name):
            assert getattr(brisklane, name) is getattr(_native, name)


def test_fatal_error_class_is_not_a_module_attribute():
    assert not hasattr(_native, "PanicException")


# ---------------------------------------------------------------------------
# Argument frame
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "price_european_call() missing 1 required positional argument: 'config'"),
        (({}, {}), {}, "price_european_call() takes 1 positional arguments but 2 were given"),
        (({}, {}, {}), {}, "price_european_call() takes 1 positional arguments but 3 were given"),
        (({},), {"foo": 1}, "price_european_call() got an unexpected keyword argument 'foo'"),
        (({},), {"config": {}}, "price_european_call() got multiple values for argument 'config'"),
    ],
    ids=["missing", "two-positional", "three-positional", "unexpected-keyword", "multiple-values"],
)
def test_argument_errors(price_call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        price_call(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_argument_errors_come_before_reading_config(price_call, recording_config):
    config = recording_config({"n_paths": 10})
    with pytest.raises(TypeError):
        price_call(config, config)
    with pytest.raises(TypeError):
        price_call(config, bogus=1)
    assert config.keys == []


def test_config_by_keyword_equals_positional(price_call):
    config = {"n_paths": 500, "n_threads": 1}
    assert price_call(config=config) == price_call(config)


# ---------------------------------------------------------------------------
# Result envelope
# ---------------------------------------------------------------------------


def test_top_level_keys_in_order(default_result):
    assert list(default_result) == ["manifest", "price", "stderr", "values", "warnings"]


def test_manifest_keys_and_constant_strings(default_result):
    manifest = default_result["manifest"]
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
    for key, value in MANIFEST_CONSTANTS.items():
        assert manifest[key] == value, key


def test_config_echo_with_defaults(default_result):
    config = default_result["manifest"]["config"]
    assert config == EUROPEAN_DEFAULTS
    assert list(config) == sorted(EUROPEAN_DEFAULTS)


def test_config_echo_types(default_result):
    config = default_result["manifest"]["config"]
    for key in ("k", "r", "s0", "sigma", "t"):
        assert type(config[key]) is float, key
    for key in ("n_paths", "n_steps", "n_threads", "seed"):
        assert type(config[key]) is int, key
    for key in ("sampling", "technique"):
        assert type(config[key]) is str, key


def test_values_mirror_top_level(default_result):
    values = default_result["values"]
    assert list(values) == ["price", "stderr"]
    assert values == {"price": default_result["price"], "stderr": default_result["stderr"]}
    assert type(default_result["price"]) is float
    assert type(default_result["stderr"]) is float
    assert type(values["price"]) is float
    assert type(values["stderr"]) is float
    assert default_result["warnings"] == []
    assert type(default_result["warnings"]) is list


def test_default_price_is_plausible(default_result):
    assert 8.5 < default_result["price"] < 10.5
    assert 0.0 < default_result["stderr"] < 0.1


@pytest.mark.parametrize(
    "config, price",
    [
        ({"s0": 50.0, "sigma": 0.0}, 0.0),  # deep out of the money: exact zero
        ({"s0": 110.0, "k": 100.0, "r": 0.0, "sigma": 0.0}, 10.0),  # integral value
        ({"s0": 110.0, "k": 100.0, "r": 0.0, "sigma": 0.2, "t": 0.0}, 10.0),  # zero maturity
    ],
    ids=["zero", "integral", "zero-maturity"],
)
def test_integral_prices_arrive_as_float(price_call, config, price):
    result = price_call({**config, "n_paths": 4, "n_threads": 1})
    assert result["price"] == price
    assert type(result["price"]) is float
    assert result["stderr"] == 0.0
    assert type(result["stderr"]) is float
    assert type(result["values"]["price"]) is float


def test_config_doubles_round_trip_exactly(price_call):
    sigma = 0.1 + 0.2  # 0.30000000000000004
    t = 1.0 / 3.0
    r = 1e-300
    result = price_call({"sigma": sigma, "t": t, "r": r, "n_paths": 10, "n_threads": 1})
    config = result["manifest"]["config"]
    assert config["sigma"] == sigma
    assert config["t"] == t
    assert config["r"] == r


def test_large_integers_echo_exactly(price_call):
    seed = 2**64 - 1
    result = price_call({"seed": seed, "n_paths": 10, "n_threads": 2**40})
    config = result["manifest"]["config"]
    assert config["seed"] == seed
    assert config["n_threads"] == 2**40


@pytest.mark.parametrize("k", [math.inf, math.nan], ids=["inf", "nan"])
def test_non_finite_config_value_echoes_as_none(price_call, k):
    # k = inf: every payoff is max(-inf, 0) = 0; k = nan: max(nan, 0) = 0.
    result = price_call({"k": k, "n_paths": 100, "n_threads": 1})
    assert result["manifest"]["config"]["k"] is None
    assert result["price"] == 0.0
    assert result["stderr"] == 0.0


def test_each_call_returns_fresh_objects(price_call):
    config = {"n_paths": 100, "n_threads": 1}
    first = price_call(config)
    second = price_call(config)
    assert first == second
    first["manifest"]["config"]["s0"] = -1.0
    first["warnings"].append("x")
    assert second["manifest"]["config"]["s0"] == 100.0
    assert second["warnings"] == []


def test_config_mapping_is_not_modified(price_call):
    config = {"spot": 90, "n_paths": 100, "n_threads": 1}
    price_call(config)
    assert config == {"spot": 90, "n_paths": 100, "n_threads": 1}


# ---------------------------------------------------------------------------
# Fatal errors
# ---------------------------------------------------------------------------


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__doc__ and "BaseException" in panic_exception.__doc__


@pytest.mark.parametrize(
    "config, message",
    [
        ({"n_paths": 0}, "n_paths must be > 0"),
        ({"paths": 0}, "n_paths must be > 0"),
        ({"n_steps": 0}, "n_steps must be > 0"),
        ({"steps": 0}, "n_steps must be > 0"),
        ({"n_paths": 0, "n_steps": 0}, "n_paths must be > 0"),
        ({"n_steps": 0, "sigma": -1.0, "s0": -5.0}, "n_steps must be > 0"),
    ],
    ids=["n_paths", "paths-alias", "n_steps", "steps-alias", "n_paths-first", "n_steps-only-check"],
)
def test_validation_failures_raise_panic_exception(price_call, panic_exception, config, message):
    with pytest.raises(BaseException) as info:
        price_call(config)
    exc = info.value
    assert type(exc) is panic_exception
    assert type(exc).__module__ + "." + type(exc).__qualname__ == "pyo3_runtime.PanicException"
    assert str(exc) == message
    assert exc.args == (message,)


def test_panic_exception_escapes_exception_handlers(price_call, panic_exception):
    caught = []
    with pytest.raises(panic_exception):
        try:
            price_call({"n_paths": 0})
        except Exception as exc:  # must not catch the fatal error
            caught.append(exc)
    assert caught == []


def test_panic_exception_class_is_created_once(price_call):
    classes = []
    for config in ({"n_paths": 0}, {"n_steps": 0}):
        try:
            price_call(config)
        except BaseException as exc:  # noqa: B036 - the class derives from BaseException
            classes.append(type(exc))
    assert len(classes) == 2
    assert classes[0] is classes[1]


def test_module_usable_after_fatal_error(price_call, panic_exception):
    config = {"n_paths": 300, "n_threads": 1}
    before = price_call(config)
    with pytest.raises(panic_exception):
        price_call({"n_paths": 0})
    assert price_call(config) == before


def test_config_errors_come_before_core_validation(price_call):
    with pytest.raises(ValueError, match="unsupported sampling method 'bogus'"):
        price_call({"n_paths": 0, "sampling": "bogus"})
    with pytest.raises(TypeError):
        price_call({"n_paths": 0, "sigma": "0.2"})


@pytest.mark.parametrize(
    "config",
    [
        {"s0": math.inf},
        {"s0": 1.5e308},  # some terminal prices overflow to infinity
        {"k": -math.inf},
        {"r": math.nan},  # NaN discount factor
        {"technique": "control_variate", "t": -1.0},  # NaN control: the adjusted estimate is NaN
        {"technique": "antithetic", "s0": math.inf},
        {"sampling": "latin_hypercube", "s0": math.inf},
    ],
    ids=["s0-inf", "s0-overflow", "k-minus-inf", "r-nan", "cv-nan-control", "antithetic-inf", "lhs-inf"],
)
def test_non_finite_price_is_value_error(price_call, config):
    with pytest.raises(ValueError) as info:
        price_call({"n_paths": 1000, "n_threads": 1, **config})
    assert type(info.value) is ValueError
    assert str(info.value) == NO_PRICE


@pytest.mark.parametrize(
    "config",
    [{"t": -1.0}, {"s0": math.nan}, {"sigma": math.nan}, {"technique": "antithetic", "s0": math.nan}],
    ids=["t-negative", "s0-nan", "sigma-nan", "antithetic-s0-nan"],
)
def test_nan_terminal_price_pays_nothing(price_call, config):
    # A NaN terminal price (sqrt(-1), NaN spot or NaN drift) gives max(NaN - k, 0) = 0.
    result = price_call({"n_paths": 1000, "n_threads": 1, **config})
    assert result["price"] == 0.0
    assert result["stderr"] == 0.0


def test_infinite_stderr_with_finite_price_is_value_error(price_call):
    # Serial seed-42 stream: the first normal (~0.296) puts path 1 deep in the
    # money with a discounted payoff above sqrt(DBL_MAX), whose square
    # overflows; the second normal (~-1.44) leaves path 2 out of the money.
    # The price (half the first payoff) and its square stay finite.
    config = {"s0": 6e154, "k": 4.8e154, "r": 0.0, "n_paths": 2, "n_threads": 1}
    with pytest.raises(ValueError) as info:
        price_call(config)
    assert type(info.value) is ValueError
    assert str(info.value) == NO_STDERR
