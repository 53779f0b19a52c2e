"""Shared fixtures for the brisklane Python tests."""

from __future__ import annotations

import pytest

import brisklane
from brisklane import _native


@pytest.fixture(scope="session")
def native():
    return _native


@pytest.fixture(scope="session")
def price_call():
    """The European call pricing function of the extension module."""
    return _native.price_european_call


@pytest.fixture(scope="session")
def panic_exception():
    """The native fatal-error class (as exported by the package)."""
    return brisklane.PanicException


class RecordingConfig:
    """A config object with a one-argument ``get`` that records every key asked for.

    ``values`` supplies the answers (missing keys give None); a key listed in
    ``raise_on`` makes ``get`` raise ``LookupError(key)`` instead.
    """

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
    """The RecordingConfig class (call it to build an instance)."""
    return RecordingConfig
