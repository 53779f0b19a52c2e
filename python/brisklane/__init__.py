"""Monte Carlo option pricing with a C++ core.

Every pricing function takes one ``config`` mapping and returns a plain dict
with the price, its standard error, a provenance manifest and any warnings::

    >>> import brisklane
    >>> result = brisklane.price_european_call({"spot": 105, "sampling": "scrambled_sobol"})
    >>> result["price"], result["stderr"]

Results are reproducible bit for bit for the same config, seed and worker count.

:func:`price` is the typed API: fields as keyword arguments, errors that name
the field, the interpreter lock released, and an :class:`Estimate` that depends
on the configuration and the block plan only, never on the thread count::

    >>> brisklane.price("arithmetic_asian_call", spot=105, n_paths=10**6, threads=2)

``replicates=R`` gives quasi-Monte Carlo runs an honest error bar: R independently
randomized runs, their spread as the standard error::

    >>> brisklane.price("european_call", sampling="scrambled_sobol", n_paths=2**14, replicates=16)

``greeks=True`` adds delta, gamma, vega, rho and theta, each with its standard error, from the
price's own paths::

    >>> brisklane.price("arithmetic_asian_call", n_paths=10**5, greeks=True).greeks["delta"]

``bounds=True`` brackets an American or Bermudan put's price between the fitted exercise rule
on fresh paths and its Andersen-Broadie dual::

    >>> brisklane.price("american_put", bounds=True).bounds

:func:`grid` prices a product over a cartesian grid of its fields, one row per point, and
:func:`convergence` measures each sampler's error against its path count::

    >>> brisklane.grid("european_call", {"spot": [90, 100, 110], "sigma": [0.1, 0.2]}, n_paths=10**5)
    >>> brisklane.convergence("european_call", path_counts=[2**10, 2**12, 2**14])

A fatal error in the core (for example an invalid configuration) raises
:class:`PanicException`, which derives from ``BaseException``.
"""

from brisklane import _native
from brisklane._api import GREEKS, PRODUCTS, Bounds, ConfigError, Estimate, Greek, default_blocks, price
from brisklane._grid import convergence, grid
from brisklane._native import __version__
from brisklane._replicates import replicate_seeds

_FUNCTIONS = (
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

__all__ = [
    "GREEKS",
    "PRODUCTS",
    "Bounds",
    "ConfigError",
    "Estimate",
    "Greek",
    "PanicException",
    "__version__",
    "convergence",
    "default_blocks",
    "engine_info",
    "grid",
    "price",
    "replicate_seeds",
    "set_simd_target",
    "simd_target",
]
for _name in _FUNCTIONS:
    if hasattr(_native, _name):
        globals()[_name] = getattr(_native, _name)
        __all__.append(_name)


def simd_target() -> str:
    """The SIMD target the engine runs on.

    Returns
    -------
    str
        ``"scalar"``, ``"avx2"`` or ``"avx512"``: the best target this CPU
        supports, unless :func:`set_simd_target` chose another. Every target
        gives the same bits.
    """
    return _native.simd_target()


def set_simd_target(name: str) -> None:
    """Force the SIMD target for the rest of this process.

    Meant for tests and benchmarks: results are bit for bit the same on every
    target, only the speed changes.

    Parameters
    ----------
    name : {"scalar", "avx2", "avx512"}
        The target to use: the portable baseline, AVX2 with FMA, or AVX-512
        (F and DQ) with FMA.

    Raises
    ------
    ValueError
        If the name is unknown or this machine does not support the target.
    """
    _native.set_simd_target(name)


def engine_info() -> dict:
    """Describe the numerics that make this build's results.

    Returns
    -------
    dict
        ``numerics_revision`` (int, bumped whenever any result's bits move),
        ``simd_target`` (the target in use), ``simd_targets_supported``,
        ``simd_lanes`` (paths per vector) and ``compiler``.
    """
    return _native.engine_info()


PanicException: type = _native.fatal_error_class()

del _name
