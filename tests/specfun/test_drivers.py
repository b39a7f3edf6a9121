# SPDX-License-Identifier: ISC
"""cplxcalc and profcalc on every target they are built for: argument
handling, the fixed output formats, the library's own integers, and values
held against the mpmath reference."""

import json
import math
import os
import subprocess

import pytest

from buildlib import build_dir, run, targets_of

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, 'reference.json')) as f:
    REFERENCE = json.load(f)

# The error bounds libkerb documents (norm-wise for w, relative for the
# profile), plus the rounding of 19 printed digits.
W_BOUND = 1e-15 + 1e-18
VOIGT_BOUND = 2e-15 + 1e-18

CPLX_USAGE = b'usage:\n   cplxcalc <x> <y>\n'
PROF_USAGE = b'usage:\n   profcalc <x> <sigma> <gamma>\n'


def cplxcalc(target, *args, **kw):
    return run(target, os.path.join(build_dir(target), 'specfun', 'cplxcalc'), *args, **kw)


def profcalc(target, *args, **kw):
    return run(target, os.path.join(build_dir(target), 'specfun', 'profcalc'), *args, **kw)


def in_process(target, x, y):
    """w(x + iy) and the two integers, from a C caller in one process."""
    out = run(target, os.path.join(build_dir(target), 'tests', 'specfun', 'kerb-report'), x, y)
    assert out.returncode == 0, out.stderr
    re, im, algorithm, nofterms = out.stdout.split()
    return float.fromhex(re.decode()), float.fromhex(im.decode()), int(algorithm), int(nofterms)


def parse_w(line):
    assert line.endswith(b'\n') and line.count(b'\n') == 1
    re, im, algorithm, nofterms = line.split()
    return float(re), float(im), int(algorithm), int(nofterms)


@pytest.mark.parametrize('target', targets_of('cplxcalc'))
def test_cplxcalc_wrong_argument_count(target):
    for args in [(), ('1',), ('1', '2', '3')]:
        out = cplxcalc(target, *args)
        assert (out.returncode, out.stdout, out.stderr) == (255, b'', CPLX_USAGE), args


@pytest.mark.parametrize('target', targets_of('profcalc'))
def test_profcalc_wrong_argument_count(target):
    for args in [('1', '2'), ('1', '2', '3', '4'), ()]:
        out = profcalc(target, *args)
        assert (out.returncode, out.stdout, out.stderr) == (255, b'', PROF_USAGE), args


@pytest.mark.parametrize('target', targets_of('cplxcalc'))
def test_cplxcalc_at_zero_is_exact_and_fixed_width(target):
    out = cplxcalc(target, '0', '0')
    assert out.returncode == 0 and out.stderr == b''
    _, _, algorithm, nofterms = in_process(target, '0', '0')
    expected = ' ' * 24 + '1 ' + ' ' * 24 + '0 ' + '%3i %3i\n' % (algorithm, nofterms)
    assert out.stdout == expected.encode()


@pytest.mark.parametrize('target', targets_of('cplxcalc'))
def test_cplxcalc_converts_as_strtod_does(target):
    def value(*args):
        out = cplxcalc(target, *args)
        assert out.returncode == 0
        return parse_w(out.stdout)[:2]

    # No number at all converts to 0: w(i).
    assert value('abc', '1') == value('0', '1')
    assert value('abc', '1')[1] == 0.0
    assert value('  0x1p-3', '\t2.5e0xyz') == value('0.125', '2.5')
    assert all(map(math.isnan, value('nan', '0')))  # NaN in, NaN out
    # Overflow converts to infinity, as "inf" does.
    assert value('1e400', '0') == value('inf', '0')
    # A negative part with 19 digits and a three-digit exponent is printed
    # whole: 26 characters, one more than the field, after one separator.
    big = cplxcalc(target, '-1e150', '0').stdout
    assert big.startswith(b' ' * 24 + b'0 -5.64189583547756') and b'e-151 ' in big, big
    assert len(big.split(b' ')[25]) == 26


@pytest.mark.parametrize('target', targets_of('profcalc'))
def test_profcalc_converts_as_strtod_does(target):
    def value(*args):
        out = profcalc(target, *args)
        assert out.returncode == 0 and len(out.stdout) >= 26 and out.stdout.endswith(b'\n')
        return float(out.stdout)

    assert value('1.5abc', '1', '1') == value('1.5', '1', '1')
    assert value(' 0x1.8p0', '1', '1') == value('1.5', '1', '1')
    assert value('1e400', '1', '1') == value('inf', '1', '1')
    # The Gaussian alone at its centre: 1 / sqrt(2 pi).
    assert value('0', '1', '0') == pytest.approx(1 / (2 * 3.141592653589793) ** 0.5, rel=1e-15)


# Points that reach every method of the library (codes as w_of_z(3) lists
# them): special inputs, the Taylor series about 0, the continued fraction,
# the leading asymptotic term, the series about a zero of w, the series
# about a grid point, and the reflection into the lower half-plane of
# methods 3, 4 and 6.
METHOD_POINTS = [('inf', '0'), ('0', '0'), ('1e-20', '1e-20'), ('0.3', '0.2'),
                 ('0.1', '-0.1'), ('1', '1'), ('3', '0.5'), ('6', '0.001'), ('30', '1e-3'),
                 ('100', '100'), ('1e10', '1'), ('1.99146', '-1.35481'), ('0.5', '-2'),
                 ('-7', '-0.75'), ('0', '-5'), ('-30', '-1e-3'), ('-50', '-1e-3'),
                 ('1e10', '-1')]
METHODS = {0, 1, 3, 4, 5, 6, 13, 14, 16}


@pytest.mark.parametrize('target', targets_of('cplxcalc'))
def test_cplxcalc_prints_this_calls_integers(target):
    seen = set()
    for x, y in METHOD_POINTS:
        re, im, algorithm, nofterms = parse_w(cplxcalc(target, x, y).stdout)
        ref = in_process(target, x, y)
        assert (algorithm, nofterms) == ref[2:], (x, y)
        assert float('%.19g' % ref[0]) == re and float('%.19g' % ref[1]) == im
        seen.add(algorithm)
    assert seen == METHODS


def relative(value, ref):
    return abs(value - ref) / abs(ref) if ref else abs(value)


@pytest.mark.parametrize('target', targets_of('cplxcalc'))
def test_cplxcalc_agrees_with_reference(target):
    for x, y, re_ref, im_ref in REFERENCE['w']:
        re, im, _, _ = parse_w(cplxcalc(target, x, y).stdout)
        ref = complex(float(re_ref), float(im_ref))
        assert abs(complex(re, im) - ref) / abs(ref) <= W_BOUND, (x, y, re, im, ref)


@pytest.mark.parametrize('target', targets_of('profcalc'))
def test_profcalc_agrees_with_reference(target):
    for x, sigma, gamma, ref in REFERENCE['voigt']:
        value = float(profcalc(target, x, sigma, gamma).stdout)
        assert relative(value, float(ref)) <= VOIGT_BOUND, (x, sigma, gamma, value, ref)


@pytest.mark.parametrize('target', ['host', 'mips'])
def test_locale_does_not_change_the_decimal_point(target):
    env = dict(os.environ, LC_ALL='de_DE.UTF-8', LANG='de_DE.UTF-8')
    plain = cplxcalc(target, '1.5', '0.25').stdout
    assert cplxcalc(target, '1.5', '0.25', env=env).stdout == plain
    assert b'.' in plain and b',' not in plain
    german = profcalc(target, '1.5', '1', '1', env=env).stdout
    assert german == profcalc(target, '1.5', '1', '1').stdout and b',' not in german


@pytest.mark.parametrize('program', ['cplxcalc', 'profcalc'])
def test_a_failed_write_is_not_success(program):
    args = ['1', '1'] if program == 'cplxcalc' else ['1', '1', '1']
    with open('/dev/full', 'w') as full:
        out = subprocess.run([os.path.join(build_dir('host'), 'specfun', program), *args],
                             stdout=full, stderr=subprocess.PIPE)
    assert out.returncode == 1
    assert out.stderr.startswith(program.encode() + b': write error: ')
