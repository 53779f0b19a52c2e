"""Shared fixtures for the brisklane Python tests."""

from __future__ import annotations

import math

import pytest

import brisklane
from brisklane import _native, cli
from brisklane.reference import black_scholes_call

SAMPLING_METHODS = ("pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol", "scrambled_sobol_brownian_bridge")
TECHNIQUES = ("standard", "antithetic", "control_variate")
ENVELOPE = ["manifest", "price", "stderr", "values", "warnings"]


def black_scholes_put(s0, k, r, sigma, t):
    """By put-call parity from the package's call (pinned to textbook values in test_cli)."""
    return black_scholes_call(s0, k, r, sigma, t) - s0 + k * math.exp(-r * t)


def assert_envelope(result, workload, config, function=None):
    """The plain result envelope of a pricing function: keys in order, no warnings, the config echoed sorted."""
    assert list(result) == ENVELOPE and result["warnings"] == []
    manifest = result["manifest"]
    assert (manifest["workload"], manifest["function"]) == (workload, function or "price_" + workload)
    assert manifest["config"] == config and list(manifest["config"]) == sorted(config)
    assert result["values"] == {"price": result["price"], "stderr": result["stderr"]}


@pytest.fixture(scope="session")
def native():
    return _native


@pytest.fixture(scope="session")
def price_call():
    return _native.price_european_call


@pytest.fixture(scope="session")
def panic_exception():
    return brisklane.PanicException


def validation_cases(checks):
    """(config, message) rows for checks listed in order as (field, invalid value, message): each check
    fails first while every later one fails too, and NaN fails each check on a float field."""
    rows = []
    for i, (field, bad, message) in enumerate(checks):
        rows.append(({**{f: b for f, b, _ in checks[i + 1:]}, field: bad}, message))
        rows += [({field: float("nan")}, message)] if isinstance(bad, float) else []
    return rows


class RecordingConfig:
    """Config whose one-argument ``get`` records each key; keys in ``raise_on`` raise LookupError(key)."""

    def __init__(self, values=None, raise_on=()):
        self.values = dict(values or {})
        self.raise_on = set(raise_on)
        self.keys = []

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
