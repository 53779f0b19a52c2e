"""Reading of the ``config`` mapping: aliases, defaults, conversions, enumerations, order."""

from __future__ import annotations

import decimal
import fractions

import pytest

# Small, serial runs: these tests are about reading the mapping, not pricing.
SMALL = {"n_paths": 200, "n_threads": 1}

# Every key asked for when nothing is given, in reading order.
FULL_LOOKUP_ORDER = [
    "s0", "spot",
    "k", "strike",
    "r", "rate",
    "sigma", "volatility",
    "t", "maturity",
    "n_paths", "paths",
    "n_steps", "steps",
    "seed",
    "n_threads",
    "technique",
    "sampling",
]

# (field, first alias, second alias, value via first, value via second)
ALIASES = [
    ("s0", "s0", "spot", 110.0, 90.0),
    ("k", "k", "strike", 95.0, 105.0),
    ("r", "r", "rate", 0.05, 0.01),
    ("sigma", "sigma", "volatility", 0.3, 0.15),
    ("t", "t", "maturity", 2.0, 0.5),
    ("n_paths", "n_paths", "paths", 300, 400),
    ("n_steps", "n_steps", "steps", 12, 24),
]


def without(config, key):
    return {k: v for k, v in config.items() if k != key}


def echoed(result):
    return result["manifest"]["config"]


# ---------------------------------------------------------------------------
# Defaults and aliases
# ---------------------------------------------------------------------------


def test_none_counts_as_missing(price_call):
    assert price_call({"n_paths": None}) == price_call({})


def test_every_none_value_gives_defaults(price_call):
    all_none = {key: None for key in FULL_LOOKUP_ORDER}
    assert echoed(price_call({**all_none, **SMALL})) == echoed(price_call(SMALL))


def test_unknown_keys_are_ignored(price_call):
    assert price_call({**SMALL, "volatility_surface": "flat", "foo": 1}) == price_call(SMALL)


@pytest.mark.parametrize("field, first, second, first_value, second_value", ALIASES, ids=[a[0] for a in ALIASES])
def test_second_alias_is_read(price_call, field, first, second, first_value, second_value):
    base = without(SMALL, first)
    result = price_call({**base, second: second_value})
    assert echoed(result)[field] == second_value
    assert result == price_call({**base, first: second_value})


@pytest.mark.parametrize("field, first, second, first_value, second_value", ALIASES, ids=[a[0] for a in ALIASES])
def test_first_alias_wins(price_call, field, first, second, first_value, second_value):
    result = price_call({**without(SMALL, first), second: second_value, first: first_value})
    assert echoed(result)[field] == first_value


@pytest.mark.parametrize("field, first, second, first_value, second_value", ALIASES, ids=[a[0] for a in ALIASES])
def test_first_alias_none_falls_back_to_second(price_call, field, first, second, first_value, second_value):
    result = price_call({**without(SMALL, first), first: None, second: second_value})
    assert echoed(result)[field] == second_value


def test_spot_alias_changes_price(price_call):
    low = price_call({**SMALL, "spot": 90})
    both = price_call({**SMALL, "spot": 90, "s0": 110})
    high = price_call({**SMALL, "s0": 110})
    assert echoed(low)["s0"] == 90.0
    assert both == high
    assert low["price"] < high["price"]


def test_every_field_is_echoed(price_call):
    config = {
        "s0": 101.5,
        "k": 99.0,
        "r": -0.01,
        "sigma": 0.25,
        "t": 0.75,
        "n_paths": 321,
        "n_steps": 7,
        "seed": 123456789,
        "n_threads": 3,
        "technique": "control_variate",
        "sampling": "latin_hypercube",
    }
    assert echoed(price_call(config)) == dict(sorted(config.items()))


# ---------------------------------------------------------------------------
# Conversions
# ---------------------------------------------------------------------------


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "key, value, field, expected",
    [
        ("sigma", 1, "sigma", 1.0),
        ("sigma", True, "sigma", 1.0),
        ("s0", 2**60, "s0", float(2**60)),
        ("k", FloatOnly(97.5), "k", 97.5),
        ("k", IndexOnly(97), "k", 97.0),
        ("r", decimal.Decimal("0.0625"), "r", 0.0625),
        ("t", fractions.Fraction(1, 4), "t", 0.25),
        ("n_paths", True, "n_paths", 1),
        ("n_paths", IndexOnly(250), "n_paths", 250),
        ("seed", False, "seed", 0),
        ("seed", 2**64 - 1, "seed", 2**64 - 1),
        ("n_threads", 2**64 - 1, "n_threads", 2**64 - 1),
    ],
    ids=[
        "int-to-float",
        "bool-to-float",
        "big-int-to-float",
        "__float__",
        "__index__-to-float",
        "decimal",
        "fraction",
        "bool-to-count",
        "__index__-to-count",
        "false-seed",
        "max-seed",
        "max-threads",
    ],
)
def test_accepted_conversions(price_call, key, value, field, expected):
    result = price_call({**SMALL, key: value})
    got = echoed(result)[field]
    assert got == expected
    assert type(got) is type(expected)


@pytest.mark.parametrize(
    "key, value, error",
    [
        ("n_paths", 1.5, TypeError),
        ("n_paths", 2.0, TypeError),
        ("n_paths", "10", TypeError),
        ("n_paths", -1, OverflowError),
        ("n_paths", 2**64, OverflowError),
        ("n_steps", -5, OverflowError),
        ("seed", 2**64, OverflowError),
        ("seed", -1, OverflowError),
        ("seed", 4.0, TypeError),
        ("n_threads", -1, OverflowError),
        ("n_threads", [1], TypeError),
        ("sigma", "0.2", TypeError),
        ("s0", "100", TypeError),
        ("k", [100.0], TypeError),
        ("t", object(), TypeError),
        ("r", 10**400, OverflowError),
        ("n_paths", FloatOnly(3.0), TypeError),
    ],
    ids=[
        "paths-float",
        "paths-integral-float",
        "paths-str",
        "paths-negative",
        "paths-too-large",
        "steps-negative",
        "seed-too-large",
        "seed-negative",
        "seed-float",
        "threads-negative",
        "threads-list",
        "sigma-str",
        "s0-str",
        "k-list",
        "t-object",
        "r-huge-int",
        "paths-float-only-object",
    ],
)
def test_conversion_errors(price_call, key, value, error):
    with pytest.raises(error) as info:
        price_call({**SMALL, key: value})
    assert type(info.value) is error


def test_conversion_errors_are_pythons_own(price_call):
    # The message is Python's conversion message, not one that names the field.
    with pytest.raises(TypeError) as info:
        price_call({"n_paths": 1.5})
    assert "n_paths" not in str(info.value)
    assert "float" in str(info.value)


def test_index_conversion_error_propagates(price_call):
    class BadIndex:
        def __index__(self):
            raise ZeroDivisionError("no index")

    with pytest.raises(ZeroDivisionError, match="no index"):
        price_call({**SMALL, "seed": BadIndex()})


# ---------------------------------------------------------------------------
# Enumerations
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("pseudorandom", "pseudorandom"),
        ("  Scrambled-Sobol  ", "scrambled_sobol"),
        ("Latin-Hypercube", "latin_hypercube"),
        ("\u3000latin_hypercube\u2003", "latin_hypercube"),
        ("\t\n\r\x0b\x0cRANDOMIZED_HALTON\x85\xa0", "randomized_halton"),
        ("\u1680\u2028\u2029\u202f\u205fpseudorandom\u2000\u200a", "pseudorandom"),
        ("SCRAMBLED-SOBOL-BROWNIAN-BRIDGE", "scrambled_sobol_brownian_bridge"),
        ("scrambled_Sobol-Brownian_bridge", "scrambled_sobol_brownian_bridge"),
    ],
    ids=["plain", "blanks-case-dash", "dashes", "unicode-space", "control-space", "more-unicode-space", "upper", "mixed"],
)
def test_sampling_normalisation(price_call, text, expected):
    assert echoed(price_call({**SMALL, "sampling": text}))["sampling"] == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("STANDARD", "standard"),
        (" Antithetic\t", "antithetic"),
        ("Control-Variate", "control_variate"),
        ("\u2003control_VARIATE\u3000", "control_variate"),
    ],
    ids=["upper", "blanks", "dash", "unicode-space"],
)
def test_technique_normalisation(price_call, text, expected):
    assert echoed(price_call({**SMALL, "technique": text}))["technique"] == expected


def test_normalised_text_prices_like_canonical_text(price_call):
    assert price_call({**SMALL, "sampling": " Latin-Hypercube "}) == price_call({**SMALL, "sampling": "latin_hypercube"})


@pytest.mark.parametrize(
    "text",
    [
        "scrambled sobol",  # inner blank stays
        "sobol",
        "",
        "   ",
        "  Bogus-Method ",
        "\u200bpseudorandom",  # zero-width space is not white space
        "\x1cpseudorandom",  # information separator is not white space
        "\uff30SEUDORANDOM",  # fullwidth letter: only ASCII letters are lowered
        "pseudorandom_",
        "latin__hypercube",
    ],
    ids=["inner-blank", "unknown", "empty", "blank", "bogus-quoted-raw", "zero-width", "separator", "fullwidth", "trailing-underscore", "double-underscore"],
)
def test_unsupported_sampling(price_call, text):
    with pytest.raises(ValueError) as info:
        price_call({**SMALL, "sampling": text})
    assert type(info.value) is ValueError
    assert str(info.value) == f"unsupported sampling method '{text}'"


@pytest.mark.parametrize("text", ["plain", "Plain ", "control variate", "anti-thetic", ""])
def test_unsupported_technique(price_call, text):
    with pytest.raises(ValueError) as info:
        price_call({**SMALL, "technique": text})
    assert type(info.value) is ValueError
    assert str(info.value) == f"unsupported Monte Carlo technique '{text}'"


@pytest.mark.parametrize("key", ["technique", "sampling"])
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (1.0, "float"), (b"standard", "bytes"), (True, "bool"), (["standard"], "list")],
    ids=["int", "float", "bytes", "bool", "list"],
)
def test_enumeration_must_be_str(price_call, key, value, type_name):
    with pytest.raises(TypeError) as info:
        price_call({**SMALL, key: value})
    assert type(info.value) is TypeError
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'PyString'"


# ---------------------------------------------------------------------------
# Reading order and the config object
# ---------------------------------------------------------------------------


def test_lookup_order_with_nothing_given(price_call, recording_config):
    config = recording_config(SMALL)
    price_call(config)
    # SMALL gives n_paths and n_threads, so "paths" is never asked for.
    expected = [key for key in FULL_LOOKUP_ORDER if key != "paths"]
    assert config.keys == expected


def test_lookup_stops_at_first_alias_found(price_call, recording_config):
    config = recording_config({**SMALL, "s0": 100.0, "strike": 100.0, "rate": 0.03, "maturity": 1.0, "steps": 3})
    price_call(config)
    assert config.keys == [
        "s0",
        "k", "strike",
        "r", "rate",
        "sigma", "volatility",
        "t", "maturity",
        "n_paths",
        "n_steps", "steps",
        "seed",
        "n_threads",
        "technique",
        "sampling",
    ]


@pytest.mark.parametrize(
    "failing, first",
    [
        ({"n_paths", "s0"}, "s0"),
        ({"sampling", "technique"}, "technique"),
        ({"seed", "n_steps"}, "n_steps"),
        ({"n_threads", "maturity"}, "maturity"),
        ({"sampling", "n_threads", "steps"}, "steps"),
        ({"volatility", "rate"}, "rate"),
        ({"sampling"}, "sampling"),
    ],
    ids=lambda value: "-".join(sorted(value)) if isinstance(value, set) else value,
)
def test_first_failing_lookup_wins(price_call, recording_config, failing, first):
    config = recording_config(raise_on=failing)
    with pytest.raises(LookupError) as info:
        price_call(config)
    assert info.value.args == (first,)
    assert config.keys[-1] == first


@pytest.mark.parametrize(
    "config, error",
    [
        ({"s0": "x", "n_paths": -1}, TypeError),
        ({"n_paths": -1, "s0": "x"}, TypeError),
        ({"n_paths": -1, "seed": "x"}, OverflowError),
        ({"seed": 2**64, "n_steps": 1.5}, TypeError),
        ({"technique": 1, "n_threads": -1}, OverflowError),
        ({"technique": "plain", "sampling": 3}, ValueError),
        ({"sampling": "bogus", "technique": 3}, TypeError),
        ({"spot": "x", "strike": -1, "paths": -1}, TypeError),
        ({"sigma": 1, "t": "1"}, TypeError),
    ],
    ids=[
        "s0-before-n_paths",
        "order-of-dict-irrelevant",
        "n_paths-before-seed",
        "n_steps-before-seed",
        "n_threads-before-technique",
        "technique-before-sampling",
        "technique-type-before-sampling",
        "spot-before-paths",
        "t-after-sigma",
    ],
)
def test_first_failing_field_wins(price_call, config, error):
    with pytest.raises(error) as info:
        price_call(config)
    assert type(info.value) is error


def test_exception_from_get_is_passed_on(price_call):
    failure = RuntimeError("lookup failed")

    class Failing:
        def get(self, key):
            raise failure

    with pytest.raises(RuntimeError) as info:
        price_call(Failing())
    assert info.value is failure


def test_get_is_called_with_one_positional_argument(price_call):
    calls = []

    class Spy:
        def get(self, *args, **kwargs):
            calls.append((args, kwargs))
            return SMALL.get(args[0]) if args else None

    price_call(Spy())
    assert len(calls) == len(FULL_LOOKUP_ORDER) - 1  # "paths" is not needed
    assert all(len(args) == 1 and not kwargs for args, kwargs in calls)


@pytest.mark.parametrize("config", [None, 42, [("n_paths", 10)], "n_paths=10", object()], ids=["none", "int", "list", "str", "object"])
def test_config_without_get_is_attribute_error(price_call, config):
    with pytest.raises(AttributeError):
        price_call(config)


def test_any_object_with_get_is_accepted(price_call):
    class Settings:
        def get(self, key):
            return {"spot": 105, "n_paths": 200, "n_threads": 1}.get(key)

    assert price_call(Settings()) == price_call({"spot": 105, "n_paths": 200, "n_threads": 1})


def test_mapping_subclass_get_override_is_used(price_call):
    class Upper(dict):
        def get(self, key, default=None):
            return super().get(key.upper(), default)

    result = price_call(Upper({"S0": 120, "N_PATHS": 200, "N_THREADS": 1, "s0": 80}))
    assert echoed(result)["s0"] == 120.0
    assert echoed(result)["n_paths"] == 200
