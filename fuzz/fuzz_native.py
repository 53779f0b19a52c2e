"""Coverage-guided fuzzing of the module functions and ``brisklane.price``.

Each input picks a function and builds its ``config`` from the fuzzer's bytes:
plain dicts, mappings whose ``get`` misbehaves, values whose conversions raise,
huge and non-finite numbers, enormous counts. A call may fail only the ways the
package documents (TypeError, ValueError, OverflowError, MemoryError, the
fatal-error class, or an exception the config itself raised); a call that
succeeds must carry a finite price and standard error. Anything else, or a
crash under the sanitizers, is a finding.

The address space is capped a few GiB above what the interpreter maps at start,
so enormous buffers fail as MemoryError at once, and every call gets a short
wall-clock budget, after which the signal handler raises inside it (the
functions poll for signals while they run).

Run it with ``make fuzz``: first coverage-guided against the installed build,
then its corpus against the sanitized one (``scripts/sanitized``). The
arguments are libFuzzer's (``-max_total_time=120``, ``-runs=N``, a corpus
folder, or a crash file to replay).
"""

from __future__ import annotations

import math
import resource
import signal
import sys
from typing import Any, Callable, Dict, List

import atheris

with atheris.instrument_imports():
    import brisklane
    from brisklane import _native

CALL_SECONDS = 0.25
HEADROOM_BYTES = 3 << 30

MODULE_FUNCTIONS = (
    "price_european_call", "price_arithmetic_asian_call", "price_down_and_out_call", "price_lookback_call",
    "price_basket_call", "price_american_put", "price_bermudan_put", "price_heston_european_call",
    "price_merton_jump_diffusion_call", "price_european_call_parameter_sweep", "gaussian_uncertainty_moments",
    "arithmetic_asian_mlmc",
)
PRICING = set(MODULE_FUNCTIONS[:9])
KEYS = sorted(
    {alias for product in brisklane.PRODUCTS for _, aliases, _, _ in _native.product_fields(product) for alias in aliases}
    | {"base_config", "scenarios", "scenario_id", "seed_stride", "method", "n_samples", "samples", "dimensions"}
)
TEXTS = ["pseudorandom", "antithetic", "control_variate", "standard", "latin_hypercube", "randomized_halton",
         "scrambled_sobol", "scrambled_sobol_brownian_bridge", "auto", "stepwise_paths", " Scrambled-Sobol ", ""]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 100.0, 1e-300, 5e-324, 1e308, -1e308, math.inf, -math.inf, math.nan]
INTS = [0, 1, 2, 3, 7, 64, 2000, 65536, 2**31, 2**32, 2**53 + 1, 2**62, 2**63, 2**64 - 1, 2**64, -1, 10**30]


class Timeout(Exception):
    """A call ran past its budget."""


class Refused(Exception):
    """Raised by the fuzzer's own hostile objects."""


class Hostile:
    """A value whose conversions raise, or answer with the wrong type."""

    def __init__(self, mode: int) -> None:
        self.mode = mode

    def __float__(self) -> float:
        if self.mode == 0:
            raise Refused("float")
        return "x" if self.mode == 1 else 2.0  # type: ignore[return-value]

    def __index__(self) -> int:
        if self.mode == 0:
            raise Refused("index")
        return 1.5 if self.mode == 1 else 3  # type: ignore[return-value]

    def __len__(self) -> int:
        raise Refused("len")

    def __getitem__(self, index: int) -> Any:
        raise Refused("getitem")

    def __str__(self) -> str:
        raise Refused("str")


class Mapping:
    """A config whose ``get`` may raise, return garbage, or change its answer."""

    def __init__(self, values: Dict[str, Any], mode: int) -> None:
        self.values, self.mode, self.calls = values, mode, 0

    def get(self, key: str) -> Any:
        self.calls += 1
        if self.mode == 1 and self.calls > 3:
            raise Refused(key)
        if self.mode == 2:
            return self.values.get(key) if self.calls % 2 else None
        return self.values.get(key)


def value(data: atheris.FuzzedDataProvider, depth: int = 0) -> Any:
    kind = data.ConsumeIntInRange(0, 11)
    if kind == 0:
        return data.PickValueInList(FLOATS)
    if kind == 1:
        return data.ConsumeFloat()
    if kind == 2:
        return data.PickValueInList(INTS)
    if kind == 3:
        return data.ConsumeIntInRange(0, 5000)
    if kind == 4:
        return data.ConsumeInt(9)
    if kind == 5:
        return data.PickValueInList(TEXTS)
    if kind == 6:
        return data.ConsumeUnicodeNoSurrogates(12)
    if kind == 7:
        return None
    if kind == 8:
        return Hostile(data.ConsumeIntInRange(0, 2))
    if kind == 9 and depth < 2:
        return [value(data, depth + 1) for _ in range(data.ConsumeIntInRange(0, 5))]
    if kind == 10 and depth < 2:
        return config(data, depth + 1)
    return data.ConsumeBool()


def config(data: atheris.FuzzedDataProvider, depth: int = 0) -> Any:
    values: Dict[str, Any] = {}
    for _ in range(data.ConsumeIntInRange(0, 8)):
        key = data.PickValueInList(KEYS) if data.ConsumeProbability() < 0.9 else data.ConsumeUnicodeNoSurrogates(6)
        values[key] = value(data, depth)
    # Keep most runs small enough to finish inside the budget.
    for key in ("n_paths", "paths", "n_samples"):
        values.setdefault(key, data.ConsumeIntInRange(1, 3000))
    mode = data.ConsumeIntInRange(0, 4)
    return Mapping(values, mode) if mode in (1, 2) else values


def check_success(name: str, result: Any) -> None:
    """A successful pricing carries a finite price and standard error."""
    if name == "brisklane.price":
        numbers = [result.price, result.stderr] + [x for g in result.greeks.values() for x in (g.value, g.stderr)]
        if result.bounds is not None:
            numbers += [result.bounds.lower, result.bounds.upper]
    elif name in PRICING:
        numbers = [result["price"], result["stderr"]]
    elif name == "arithmetic_asian_mlmc":
        numbers = [result["values"]["price"], result["stderr"]]
    else:
        return
    if not all(isinstance(x, float) and math.isfinite(x) for x in numbers) or numbers[1] < 0:
        raise AssertionError(f"{name} reported success without a finite price: {numbers}")


EXPECTED = (AttributeError, TypeError, ValueError, OverflowError, MemoryError, Refused, Timeout, brisklane.PanicException)


def one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    pick = data.ConsumeIntInRange(0, len(MODULE_FUNCTIONS))
    call: Callable[[], Any]
    if pick == len(MODULE_FUNCTIONS):
        name = "brisklane.price"
        product = data.PickValueInList(list(brisklane.PRODUCTS))
        given = config(data)
        fields = dict(given.values) if isinstance(given, Mapping) else given
        fields.pop("n_threads", None)
        options: Dict[str, Any] = {}
        if data.ConsumeBool():
            options["blocks"] = data.PickValueInList([1, 2, 3, 16, 0, -1, 2**64])
        if data.ConsumeBool():
            options["threads"] = data.PickValueInList([1, 2, 0])
        if data.ConsumeBool():
            options["replicates"] = data.PickValueInList([2, 3, 1, 0, True, 2**40])
        if data.ConsumeBool():
            options["greeks"] = data.PickValueInList([True, ["gamma", "delta"], ["delta_1"], [], "vega", ["nope"]])
        if data.ConsumeBool():
            options["bounds"] = True
            options["inner_paths"] = data.PickValueInList([2, 3, 0, 2**40, None])
            options["outer_paths"] = data.PickValueInList([2, 5, 1, 2**62, None])
        call = lambda: brisklane.price(product, fields, **options)  # noqa: E731
    else:
        name = MODULE_FUNCTIONS[pick]
        function, cfg = getattr(_native, name), config(data)
        call = lambda: function(cfg)  # noqa: E731
    try:
        signal.setitimer(signal.ITIMER_REAL, CALL_SECONDS)
        try:
            result = call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0.0)
    except EXPECTED:
        return
    check_success(name, result)


def on_alarm(signum: int, frame: Any) -> None:
    raise Timeout()


def main(argv: List[str]) -> None:
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (mapped + HEADROOM_BYTES, mapped + HEADROOM_BYTES))
    signal.signal(signal.SIGALRM, on_alarm)
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
