"""Reading of the ``config`` mapping: aliases, defaults, conversions, enumerations, order."""

from __future__ import annotations

import decimal

import pytest

from conftest import PRODUCTS

SMALL = {"n_paths": 200, "n_threads": 1}
FULL_LOOKUP_ORDER = PRODUCTS["price_european_call"].read  # every key asked for when nothing is given


def echoed(result):
    return result["manifest"]["config"]


def test_none_and_unknown_keys_mean_defaults(price_call):
    assert price_call({"n_paths": None}) == price_call({})
    all_none = {key: None for key in FULL_LOOKUP_ORDER}
    assert price_call({**all_none, **SMALL, "volatility_surface": "flat"}) == price_call(SMALL)


@pytest.mark.parametrize("field, second, first_value, second_value", [
    ("s0", "spot", 110.0, 90.0),
    ("k", "strike", 95.0, 105.0),
    ("r", "rate", 0.05, 0.01),
    ("sigma", "volatility", 0.3, 0.15),
    ("t", "maturity", 2.0, 0.5),
    ("n_paths", "paths", 300, 400),
    ("n_steps", "steps", 12, 24),
])
def test_alias_precedence(price_call, field, second, first_value, second_value):
    base = {key: value for key, value in SMALL.items() if key != field}
    via_second = price_call({**base, second: second_value})
    assert echoed(via_second)[field] == second_value
    assert via_second == price_call({**base, field: second_value})
    assert price_call({**base, field: None, second: second_value}) == via_second
    assert echoed(price_call({**base, second: second_value, field: first_value}))[field] == first_value


def only(method, value):
    """An object whose one numeric protocol ``method`` returns ``value`` (or raises it)."""

    def call(self):
        if isinstance(value, Exception):
            raise value
        return value

    return type(method.strip("_").title() + "Only", (), {method: call})()


@pytest.mark.parametrize("key, value, expected", [
    ("sigma", 1, 1.0),
    ("sigma", True, 1.0),
    ("k", only("__float__", 97.5), 97.5),
    ("k", only("__index__", 97), 97.0),
    ("r", decimal.Decimal("0.0625"), 0.0625),
    ("n_paths", True, 1),
    ("n_paths", only("__index__", 250), 250),
    # enumerations: Unicode white space trimmed, ASCII letters lowered, '-' read as '_'
    ("sampling", "  Scrambled-Sobol  ", "scrambled_sobol"),
    ("sampling", "\u3000Latin-Hypercube\u2003", "latin_hypercube"),
    ("sampling", "\t\n\r\x0b\x0c\u1680\u2028RANDOMIZED_HALTON\x85\xa0\u202f", "randomized_halton"),
    ("sampling", "scrambled_Sobol-Brownian_bridge", "scrambled_sobol_brownian_bridge"),
    ("technique", " Antithetic\t", "antithetic"),
    ("technique", "\u2003Control-VARIATE\u3000", "control_variate"),
])
def test_accepted_conversions(price_call, key, value, expected):
    result = price_call({**SMALL, key: value})
    assert (echoed(result)[key], type(echoed(result)[key])) == (expected, type(expected))
    assert result == price_call({**SMALL, key: expected})


NOT_INT = "object cannot be interpreted as an integer"
NOT_STR = "object cannot be converted to 'PyString'"


@pytest.mark.parametrize("config, error, message", [
    ({"n_paths": 2.0}, TypeError, f"'float' {NOT_INT}"),
    ({"n_paths": only("__float__", 3.0)}, TypeError, f"'FloatOnly' {NOT_INT}"),
    ({"n_paths": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"seed": 2**64}, OverflowError, "int too big to convert"),
    ({"sigma": "0.2"}, TypeError, "must be real number, not str"),
    ({"r": 10**400}, OverflowError, "int too large to convert to float"),
    ({"seed": only("__index__", ZeroDivisionError("no index"))}, ZeroDivisionError, "no index"),
    ({"technique": 1}, TypeError, f"'int' {NOT_STR}"),
    ({"technique": b"standard"}, TypeError, f"'bytes' {NOT_STR}"),
    ({"sampling": True}, TypeError, f"'bool' {NOT_STR}"),
    ({"sampling": "scrambled sobol"}, ValueError, "unsupported sampling method 'scrambled sobol'"),
    ({"sampling": "  Bogus-Method "}, ValueError, "unsupported sampling method '  Bogus-Method '"),
    # zero-width space and information separator are not white space; only ASCII letters are lowered
    ({"sampling": "\u200bpseudorandom"}, ValueError, "unsupported sampling method '\u200bpseudorandom'"),
    ({"sampling": "\x1cpseudorandom"}, ValueError, "unsupported sampling method '\x1cpseudorandom'"),
    ({"sampling": "\uff30SEUDORANDOM"}, ValueError, "unsupported sampling method '\uff30SEUDORANDOM'"),
    ({"technique": "plain"}, ValueError, "unsupported Monte Carlo technique 'plain'"),
    # the first field in reading order fails first; reading errors come before validation
    ({"n_paths": -1, "s0": "x"}, TypeError, "must be real number, not str"),
    ({"seed": 2**64, "n_steps": 1.5}, TypeError, f"'float' {NOT_INT}"),
    ({"technique": 1, "n_threads": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"sampling": "bogus", "technique": 3}, TypeError, f"'int' {NOT_STR}"),
    ({"n_paths": 0, "sampling": "bogus"}, ValueError, "unsupported sampling method 'bogus'"),
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    ("n_paths=10", AttributeError, "'str' object has no attribute 'get'"),
])
def test_reading_errors(price_call, config, error, message):
    with pytest.raises(error) as info:
        price_call(config)
    assert (type(info.value), str(info.value)) == (error, message)


def test_an_alias_is_read_only_without_its_field(price_call, recording_config):
    config = recording_config({**SMALL, "s0": 100.0, "strike": 100.0, "maturity": 1.0, "steps": 3})
    price_call(config)
    assert config.keys == [key for key in FULL_LOOKUP_ORDER if key not in ("spot", "paths")]


@pytest.mark.parametrize("failing, first", [
    ({"n_paths", "s0"}, "s0"),
    ({"sampling", "n_threads", "steps"}, "steps"),
    ({"volatility", "rate"}, "rate"),
])
def test_first_failing_lookup_wins(price_call, recording_config, failing, first):
    config = recording_config(raise_on=failing)
    with pytest.raises(LookupError) as info:
        price_call(config)
    assert info.value.args == (first,)
    assert config.keys[-1] == first


def test_mapping_subclass_get_override_is_used(price_call):
    class Upper(dict):
        def get(self, key, default=None):
            return super().get(key.upper(), default)

    config = echoed(price_call(Upper({"S0": 120, "N_PATHS": 200, "N_THREADS": 1, "s0": 80})))
    assert (config["s0"], config["n_paths"]) == (120.0, 200)
