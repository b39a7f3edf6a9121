#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""Write reference.json: w(z) and the Voigt profile at the drivers' test
points, from mpmath at 50 significant digits."""

import argparse
import json
import os

import mpmath as mp

mp.mp.dps = 50

W_POINTS = [
    ('0', '0'), ('1', '1'), ('0', '1'), ('1', '0'), ('-3', '0.5'), ('5.5', '-0.25'),
    ('1e-10', '1e-10'), ('30', '1e-3'), ('-1e150', '0'), ('0.5', '-2'), ('-7', '-0.75'),
    ('2.5', '12'), ('1e5', '1e5'), ('0', '-5'),
]
VOIGT_POINTS = [
    ('0', '1', '1'), ('1.5', '1', '1'), ('2', '0.5', '0.1'), ('1000', '1', '1'),
    ('0', '1e-5', '1e5'), ('-3', '2', '0.001'), ('0.25', '3', '7'),
]


def w(z):
    # -z^2 must be exact to well below one unit: carry the digits of |z|^2.
    extra = 2 * max(0, int(mp.log10(abs(z) + 1))) + 20
    with mp.workdps(mp.mp.dps + extra):
        return +(mp.exp(-z * z) * mp.erfc(-1j * z))


def voigt(x, sigma, gamma):
    z = (x + 1j * gamma) / (sigma * mp.sqrt(2))
    return mp.re(w(z)) / (sigma * mp.sqrt(2 * mp.pi))


def main():
    argparse.ArgumentParser(description='Write reference.json beside this script from mpmath.').parse_args()
    table = {'w': [], 'voigt': []}
    for x, y in W_POINTS:
        value = w(mp.mpc(mp.mpf(x), mp.mpf(y)))
        table['w'].append([x, y, mp.nstr(value.real, 30), mp.nstr(value.imag, 30)])
    for x, s, g in VOIGT_POINTS:
        table['voigt'].append([x, s, g, mp.nstr(voigt(mp.mpf(x), mp.mpf(s), mp.mpf(g)), 30)])
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'reference.json')
    with open(out, 'w') as f:
        json.dump(table, f, indent=1)
        f.write('\n')


if __name__ == '__main__':
    main()
