"""Independent replicates of one run: their seeds, their combined estimate and its Student t interval.

A quasi-Monte Carlo run's own standard error treats its points as independent draws, which they
are not, so it can overstate the error many times. R runs of the same point set under independent
randomizations are independent draws of one estimator: their spread is an honest error.
"""

from __future__ import annotations

import math
from typing import List, Sequence, Tuple

_MASK = (1 << 64) - 1
_GOLDEN = 0x9E3779B97F4A7C15


def replicate_seeds(seed: int, count: int) -> List[int]:
    """The seeds of `count` replicates of a run with `seed`: the first `count` outputs of
    SplitMix64 started at `seed`.

    Replicate ``r`` (0-based) runs with ``mix(seed + (r + 1) * 0x9E3779B97F4A7C15 mod 2**64)``,
    where ``mix`` is SplitMix64's output function. Every bit of the seed moves every bit of each
    replicate seed, so the low 32 bits that scramble a Sobol sequence differ from one replicate
    to the next as much as the rest do.
    """
    seeds = []
    for r in range(count):
        z = (seed + (r + 1) * _GOLDEN) & _MASK
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        seeds.append(z ^ (z >> 31))
    return seeds


def mean_and_stderr(values: Sequence[float]) -> Tuple[float, float]:
    """The mean of `values` and its standard error: the sample standard deviation (R - 1 in the
    denominator) over sqrt(R)."""
    count = len(values)
    mean = math.fsum(values) / count
    variance = math.fsum((v - mean) ** 2 for v in values) / (count - 1)
    return mean, math.sqrt(variance / count)


def _continued_fraction(a: float, b: float, x: float) -> float:
    """The continued fraction of the regularized incomplete beta function (modified Lentz)."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    h = d
    for m in range(1, 400):
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1.0) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1.0)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            h *= d * c
        if abs(d * c - 1.0) < 1e-16:
            break
    return h


def _incomplete_beta(a: float, b: float, x: float) -> float:
    """The regularized incomplete beta function I_x(a, b)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)
    if x < (a + 1.0) / (a + b + 2.0):
        return math.exp(log_front) * _continued_fraction(a, b, x) / a
    return 1.0 - math.exp(log_front) * _continued_fraction(b, a, 1.0 - x) / b


def student_t_quantile(probability: float, degrees_of_freedom: int) -> float:
    """The `probability` quantile (0.5 < probability < 1) of Student's t distribution.

    Found by bisection on the two-sided tail ``P(|T| > t) = I_{v / (v + t^2)}(v / 2, 1 / 2)``,
    to the last few bits; no statistics library is needed.
    """
    v = float(degrees_of_freedom)
    tail = 2.0 * (1.0 - probability)

    def two_sided_tail(t: float) -> float:
        return _incomplete_beta(0.5 * v, 0.5, v / (v + t * t))

    low, high = 0.0, 1.0
    while two_sided_tail(high) > tail:
        low, high = high, 2.0 * high
    for _ in range(200):
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if two_sided_tail(middle) > tail:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)
