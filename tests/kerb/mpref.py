# SPDX-License-Identifier: ISC
"""Reference values of w and of the Voigt profile, with mpmath, for
tests/kerb/mktables: each to DIGITS significant digits or more, rounded to
double once, with the relative remainder of each part, as the tables'
records hold them."""

import math
import struct

from mpmath import mp, mpf, mpc, exp, erfc, erfi, sqrt, pi, cos, sin

DIGITS = 50


def w_series0(z):
    """Taylor series about 0, for |z| < 1e-3."""
    iz = 1j * z
    s, t, n = mpc(0), mpc(1), 0
    while True:
        term = t / mp.gamma(mpf(n) / 2 + 1)
        s += term
        if n > 4 and abs(term) < mpf(10) ** (-mp.dps - 5) * abs(s):
            return s
        t *= iz
        n += 1


def w_asym(z):
    """Asymptotic series, |z| >= 30, upper half-plane (error ~ exp(-|z|^2))."""
    z2 = 2 * z * z
    s, t, n = mpc(0), mpc(1), 0
    while True:
        s += t
        if abs(t) < mpf(10) ** (-mp.dps - 5) * abs(s):
            break
        t *= (2 * n + 1) / z2
        n += 1
    return 1j * s / (sqrt(pi) * z)


def w_upper_raw(x, y):
    z = mpc(x, y)
    r = abs(z)
    if r < mpf('1e-3'):
        return w_series0(z)
    if r >= 30:
        w = w_asym(z)
        if y == 0:
            w = mpc(exp(-x * x), w.imag)
        return w
    if y == 0:
        return mpc(exp(-x * x), exp(-x * x) * erfi(x))
    return exp(-z * z) * erfc(-1j * z)


def tiny_ratio(w, scale):
    """Digits by which the smaller part of w falls below scale."""
    parts = [abs(w.real), abs(w.imag)]
    m = min(p for p in parts) if all(parts) else max(parts)
    if m == 0 or scale == 0:
        return 0
    return max(0, int(mp.log10(scale / m)) + 1)


def w_upper(x, y, digits=DIGITS):
    """w(x + iy), y >= 0, each part to the given digits.  mpmath keeps
    |w| to the working precision; a part far below |w| needs that many
    more digits, found by raising the precision until the part settles."""
    r = abs(mpc(x, y))
    prec = digits + 10
    while True:
        with mp.workdps(prec):
            w = w_upper_raw(x, y)
            extra = tiny_ratio(w, abs(w))
        if r < mpf('1e-3') or r >= 30 or digits + 10 + extra + 5 <= prec:
            return w
        prec = max(2 * prec, digits + 10 + extra + 10)


def lost(d, a, b):
    """Digits lost to cancellation in d = a - b."""
    m = max(abs(a), abs(b))
    if m == 0:
        return 0
    if d == 0:
        return 200
    return max(0, int(mp.log10(m / abs(d))))


def w_ref(x, y):
    """w at the exact doubles x, y."""
    x, y = mpf(x), mpf(y)
    if y >= 0:
        return w_upper(x, y)
    with mp.workprec(4400):
        u = (x - y) * (x + y)          # Re z^2, exact
        v = 2 * x * y                  # Im z^2, exact
        c, s = cos(v), sin(v)
    if -u < -2000:
        return -w_upper(-x, -y)
    if -u > 2000:
        inf = mpf('inf')
        im = -inf if s > 0 else inf if s < 0 else -w_upper(-x, -y).imag
        return mpc(inf if c > 0 else -inf, im)
    digits = DIGITS
    while True:
        with mp.workdps(digits + 10):
            wm = w_upper(-x, -y, digits)
            e = 2 * exp(-u)
            e = mpc(e * c, -e * s)
            w = e - wm
            extra = max(lost(w.real, e.real, wm.real), lost(w.imag, e.imag, wm.imag))
        if extra <= 5 or digits > DIGITS + 200:
            return w
        digits = DIGITS + extra + 5


def split(v):
    """(double, relative remainder) of an mpf; the double carries inf/0."""
    hi = float(v)
    if math.isinf(hi) or hi == 0 or abs(hi) < 2.2250738585072014e-308:
        return hi, 0.0
    return hi, float((v - mpf(hi)) / mpf(hi))


def w_record(args):
    x, y, tag = args
    w = w_ref(x, y)
    rh, rl = split(w.real)
    ih, il = split(w.imag)
    return struct.pack('<ddddffI', x, y, rh, ih, rl, il, tag)


def voigt_ref(x, sigma, gamma):
    x, sigma, gamma = mpf(x), mpf(sigma), mpf(gamma)
    with mp.workdps(DIGITS + 10):
        if sigma == 0:
            return gamma / (pi * (x * x + gamma * gamma))
        s2 = sigma * sqrt(2)
        zx, zy = x / s2, gamma / s2
        if gamma == 0:
            w = exp(-zx * zx)
        else:
            with mp.workdps(DIGITS + 10 + 30):
                w = w_upper(abs(zx), zy).real
        return w / (sigma * sqrt(2 * pi))


def voigt_record(args):
    x, sigma, gamma, tag = args
    v = voigt_ref(x, sigma, gamma)
    h, l = split(v)
    return struct.pack('<ddddfI', x, sigma, gamma, h, l, tag)
