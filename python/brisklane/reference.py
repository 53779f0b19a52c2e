"""Closed-form and semi-closed-form call prices, in pure Python.

Used by the command line to show how far a Monte Carlo estimate lies from the
model's exact price.  Every function returns NaN for inputs outside its
model's domain (or that it cannot price), never raises for them.

* :func:`black_scholes_call` — Black and Scholes (1973); its Greeks by
  :func:`black_scholes_call_greeks`.
* :func:`heston_call` — Heston (1993) in the formulation of Albrecher, Mayer,
  Schoutens and Tistaert (2007, "The little Heston trap"), which keeps the
  complex logarithm on its principal branch; the probability integrals are
  evaluated by composite 16-point Gauss–Legendre quadrature out to where the
  integrand has decayed below double precision.
* :func:`merton_call` — Merton (1976): the Poisson-weighted series of
  Black–Scholes prices.
* :func:`basket_call_single_asset` — a two-asset basket call in the cases where
  the basket is a multiple of one lognormal asset.
* :func:`bermudan_put_binomial` — a put exercisable on equally spaced dates, on
  a Cox–Ross–Rubinstein (1979) binomial tree.

The Black–Scholes prices here (Merton's and the basket's too) take the normal
CDF from ``math.erfc``, exact to double precision in the tails; the module's own
sweep compares with a Black–Scholes that uses Abramowitz and Stegun 7.1.26
(absolute error up to 1.5e-7), so the two may differ in the seventh decimal.
"""

from __future__ import annotations

import cmath
import math
from typing import Callable, Dict, List, Optional, Tuple

__all__ = [
    "black_scholes_call",
    "black_scholes_call_greeks",
    "heston_call",
    "merton_call",
    "basket_call_single_asset",
    "bermudan_put_binomial",
]


def _normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))  # accurate in the far tails too


def _finite(*values: object) -> bool:
    return all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in values)


def black_scholes_call(s0: float, k: float, r: float, sigma: float, t: float) -> float:
    """Black–Scholes price of a European call without dividends.

    Degenerate inputs are handled by their limits: zero strike gives the
    spot, zero maturity the intrinsic value, zero volatility the discounted
    forward intrinsic value.  Inputs outside the model's domain give NaN.
    """
    values = (s0, k, r, sigma, t)
    if any(v is None for v in values):
        return math.nan
    s0, k, r, sigma, t = (float(v) for v in values)
    if any(math.isnan(v) for v in (s0, k, r, sigma, t)):
        return math.nan
    if not (s0 > 0.0 and k >= 0.0 and sigma >= 0.0 and t >= 0.0):
        return math.nan
    if k == 0.0:
        return s0
    if t == 0.0:
        return max(s0 - k, 0.0)
    discounted_strike = k * math.exp(-r * t)
    if sigma == 0.0:
        return max(s0 - discounted_strike, 0.0)
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    return s0 * _normal_cdf(d1) - discounted_strike * _normal_cdf(d2)


def black_scholes_call_greeks(s0: float, k: float, r: float, sigma: float, t: float) -> Dict[str, float]:
    """The Black–Scholes call's delta, gamma, vega, rho and theta (s0, k, sigma, t > 0).

    Per unit of each input, as :func:`brisklane.price` reports them: vega per 1.00 of
    volatility, theta = -dV/dt per year.
    """
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    density = math.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    discounted_strike = k * math.exp(-r * t)
    return {
        "delta": _normal_cdf(d1),
        "gamma": density / (s0 * sd),
        "vega": s0 * density * math.sqrt(t),
        "rho": t * discounted_strike * _normal_cdf(d2),
        "theta": -s0 * density * sigma / (2.0 * math.sqrt(t)) - r * discounted_strike * _normal_cdf(d2),
    }


# ---------------------------------------------------------------------------
# Heston
# ---------------------------------------------------------------------------

# 16-point Gauss–Legendre nodes and weights on [-1, 1] (Abramowitz and Stegun,
# Table 25.4); the rule is symmetric, so only the positive half is listed.
_GL16 = (
    (0.0950125098376374, 0.1894506104550685),
    (0.2816035507792589, 0.1826034150449236),
    (0.4580167776572274, 0.1691565193950025),
    (0.6178762444026438, 0.1495959888165767),
    (0.7554044083550030, 0.1246289712555339),
    (0.8656312023878318, 0.0951585116824928),
    (0.9445750230732326, 0.0622535239386479),
    (0.9894009349916499, 0.0271524594117541),
)


def _integrate_to_tail(f: Callable[[float], float], width: float = 1.0, max_panels: int = 10000) -> float:
    """Integral of f over [0, inf) by 16-point Gauss–Legendre on panels of ``width``,
    stopping after five consecutive panels that add less than 1e-14 each."""
    total = 0.0
    quiet = 0
    half = 0.5 * width
    for panel in range(max_panels):
        mid = (panel + 0.5) * width
        part = 0.0
        for node, weight in _GL16:
            part += weight * half * (f(mid - half * node) + f(mid + half * node))
        total += part
        quiet = quiet + 1 if abs(part) < 1e-14 else 0
        if quiet >= 5:
            break
    return total


def _log1p(w: complex) -> complex:
    """log(1 + w), accurate for small |w| (Kahan's correction of log(1 + w))."""
    y = 1.0 + w
    if y == 1.0:
        return w
    return cmath.log(y) * (w / (y - 1.0))


def _heston_log_cf(
    u: complex, x0: float, r: float, t: float, v0: float, kappa: float, theta: float, xi: float, rho: float
) -> complex:
    """log E[exp(i u ln S_T)] under the pricing measure (Albrecher et al. 2007).

    b - d is formed as -xi^2 (iu + u^2) / (b + d) and the logarithm through
    log1p, so the terms divided by xi^2 keep their precision for small xi.
    """
    iu = 1j * u
    b = kappa - rho * xi * iu
    q = xi * xi * (iu + u * u)
    d = cmath.sqrt(b * b + q)
    b_minus_d = -q / (b + d)
    g = b_minus_d / (b + d)
    e = cmath.exp(-d * t)
    # ln((1 - g e) / (1 - g)) = ln(1 + g (1 - e) / (1 - g))
    log_ratio = _log1p(g * (1.0 - e) / (1.0 - g))
    c = iu * (x0 + r * t) + kappa * theta / (xi * xi) * (b_minus_d * t - 2.0 * log_ratio)
    return c + v0 / (xi * xi) * b_minus_d * (1.0 - e) / (1.0 - g * e)


def heston_call(
    s0: float, k: float, r: float, v0: float, kappa: float, theta: float, vol_of_vol: float, rho: float, t: float
) -> float:
    """Heston (1993) price of a European call, S0 P1 - K exp(-rT) P2.

    With ``vol_of_vol`` = 0 the variance is deterministic and the price is the
    Black–Scholes price at the root-mean variance over the life of the option.
    """
    if not _finite(s0, k, r, v0, kappa, theta, vol_of_vol, rho, t):
        return math.nan
    if not (s0 > 0.0 and k >= 0.0 and v0 >= 0.0 and kappa >= 0.0 and theta >= 0.0 and vol_of_vol >= 0.0):
        return math.nan
    if not (-1.0 <= rho <= 1.0 and t > 0.0):
        return math.nan
    if k == 0.0:
        return float(s0)
    if vol_of_vol == 0.0:
        if kappa * t > 0.0:
            mean_variance = theta + (v0 - theta) * (1.0 - math.exp(-kappa * t)) / (kappa * t)
        else:
            mean_variance = v0
        return black_scholes_call(s0, k, r, math.sqrt(max(mean_variance, 0.0)), t)

    x0 = math.log(s0)
    log_k = math.log(k)
    params = (x0, r, t, v0, kappa, theta, vol_of_vol, rho)
    log_forward = x0 + r * t  # log E[S_T]
    discounted_k = k * math.exp(-r * t)

    # P1 and P2 in one integrand:
    # C = (s0 - K e^{-rT}) / 2 + (1/pi) int_0^inf Re[e^{-iu ln K} (s0 phi(u - i) / F - K e^{-rT} phi(u)) / (iu)] du.
    def integrand(u: float) -> float:
        phase = -1j * u * log_k
        p1 = cmath.exp(_heston_log_cf(u - 1j, *params) - log_forward + phase)
        p2 = cmath.exp(_heston_log_cf(u, *params) + phase)
        return ((s0 * p1 - discounted_k * p2) / (1j * u)).real

    try:
        return 0.5 * (s0 - discounted_k) + _integrate_to_tail(integrand) / math.pi
    except (OverflowError, ZeroDivisionError, ValueError):
        return math.nan


# ---------------------------------------------------------------------------
# Merton
# ---------------------------------------------------------------------------


def merton_call(
    s0: float,
    k: float,
    r: float,
    sigma: float,
    t: float,
    jump_intensity: float,
    jump_mean: float,
    jump_volatility: float,
) -> float:
    """Merton (1976) jump-diffusion call: sum over n of Poisson(lambda' t) weights times
    Black–Scholes prices with rate r_n and volatility sigma_n, where
    lambda' = lambda (1 + kappa), kappa = exp(mu + delta^2/2) - 1,
    r_n = r - lambda kappa + n ln(1 + kappa) / t and sigma_n^2 = sigma^2 + n delta^2 / t.
    """
    if not _finite(s0, k, r, sigma, t, jump_intensity, jump_mean, jump_volatility):
        return math.nan
    if not (s0 > 0.0 and k > 0.0 and sigma >= 0.0 and t > 0.0 and jump_intensity >= 0.0 and jump_volatility >= 0.0):
        return math.nan
    kappa = math.exp(jump_mean + 0.5 * jump_volatility**2) - 1.0
    mean_count = jump_intensity * (1.0 + kappa) * t
    if mean_count > 700.0:
        return math.nan
    last = math.ceil(mean_count + 12.0 * math.sqrt(mean_count) + 30.0)
    total = 0.0
    for n in range(last + 1):
        if mean_count > 0.0:
            weight = math.exp(-mean_count + n * math.log(mean_count) - math.lgamma(n + 1.0))
        else:
            weight = 1.0 if n == 0 else 0.0
        if weight == 0.0:
            continue
        r_n = r - jump_intensity * kappa + n * math.log1p(kappa) / t
        sigma_n = math.sqrt(sigma * sigma + n * jump_volatility * jump_volatility / t)
        total += weight * black_scholes_call(s0, k, r_n, sigma_n, t)
    return total


# ---------------------------------------------------------------------------
# Basket
# ---------------------------------------------------------------------------


def basket_call_single_asset(
    s01: float,
    s02: float,
    k: float,
    r: float,
    sigma1: float,
    sigma2: float,
    rho: float,
    weight1: float,
    weight2: float,
    t: float,
) -> float:
    """Exact price of the two-asset basket call where the basket is one lognormal asset.

    That is the case when a weight is 0, or when rho = 1 and the volatilities are
    equal (then S2 / s02 = S1 / s01 on every path): a call on the basket w S is
    a Black–Scholes call on the asset w S, which is worth 0 when w <= 0.
    Otherwise NaN.
    """
    if not _finite(s01, s02, k, r, sigma1, sigma2, rho, weight1, weight2, t):
        return math.nan
    if not (s01 > 0.0 and s02 > 0.0 and k >= 0.0 and sigma1 >= 0.0 and sigma2 >= 0.0 and t > 0.0):
        return math.nan
    candidates: List[Tuple[float, float]] = []  # (spot of the basket, volatility)
    if weight2 == 0.0:
        candidates.append((weight1 * s01, sigma1))
    elif weight1 == 0.0:
        candidates.append((weight2 * s02, sigma2))
    elif rho == 1.0 and sigma1 == sigma2:
        candidates.append((weight1 * s01 + weight2 * s02, sigma1))
    for spot, sigma in candidates:
        if spot > 0.0:
            return black_scholes_call(spot, k, r, sigma, t)
        return 0.0  # the basket is never positive and k >= 0
    return math.nan


# ---------------------------------------------------------------------------
# Bermudan put
# ---------------------------------------------------------------------------


_TREE_STEPS = 512  # the default tree's steps in all, rounded up to whole dates


def bermudan_put_binomial(
    s0: float, k: float, r: float, sigma: float, t: float, dates: int, sub_steps: Optional[int] = None
) -> float:
    """Put exercisable at time 0 and at ``dates`` equally spaced dates up to ``t``, on a CRR tree.

    Those are the dates of the Longstaff–Schwartz American put with ``n_steps =
    dates``, so the tree prices what the simulation prices rather than the
    continuously exercised put.  The tree takes ``sub_steps`` steps between two
    dates (by default enough for about 512 steps in all) and exercises only on them.  CRR prices oscillate and converge like
    1/steps: the mean of the trees of m and m + 1 steps a date damps the
    oscillation, and Richardson extrapolation over m = ``sub_steps`` and
    2 ``sub_steps`` removes most of the 1/steps term (at the default, within
    about 1e-4 of the limit for the usual inputs, in a fraction of a second of
    pure Python).  Inputs outside the model's domain give NaN.
    """
    if not _finite(s0, k, r, sigma, t) or isinstance(dates, bool) or not isinstance(dates, int):
        return math.nan
    if dates < 1:
        return math.nan
    if sub_steps is None:
        sub_steps = -(-_TREE_STEPS // dates)
    if isinstance(sub_steps, bool) or not isinstance(sub_steps, int) or sub_steps < 1:
        return math.nan
    s0, k, r, sigma, t = float(s0), float(k), float(r), float(sigma), float(t)
    if not (s0 > 0.0 and k >= 0.0 and sigma > 0.0 and t > 0.0):
        return math.nan

    def smoothed(m: int) -> float:
        return 0.5 * (_crr_bermudan_put(s0, k, r, sigma, t, dates, m) + _crr_bermudan_put(s0, k, r, sigma, t, dates, m + 1))

    return 2.0 * smoothed(2 * sub_steps) - smoothed(sub_steps)


def _crr_bermudan_put(s0: float, k: float, r: float, sigma: float, t: float, dates: int, sub_steps: int) -> float:
    n = dates * sub_steps
    dt = t / n
    up = math.exp(sigma * math.sqrt(dt))
    down = 1.0 / up
    growth = math.exp(r * dt)
    p = (growth - down) / (up - down)
    if not 0.0 < p < 1.0:  # the tree is not arbitrage-free at this step size
        return math.nan
    pu, pd = p / growth, (1.0 - p) / growth
    # Node j of step i is at s0 * up^(2j - i); at maturity j runs over 0..n.
    spots = [s0 * down**n * up ** (2 * j) for j in range(n + 1)]
    values = [max(k - s, 0.0) for s in spots]
    for i in range(n - 1, -1, -1):
        values = [pd * a + pu * b for a, b in zip(values, values[1:])]
        if i % sub_steps == 0:
            spots = [s0 * down**i * up ** (2 * j) for j in range(i + 1)]
            values = [max(v, k - s) for v, s in zip(values, spots)]
    return values[0]
