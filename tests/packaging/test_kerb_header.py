# SPDX-License-Identifier: ISC
"""kerb.h as a consumer meets it: a C and a C++ program compiled against the
header with every warning an error, in each dialect the four compilers
know, linked with the host build's libkerb and run.  The C++ program goes
through the std::complex<double> overload, so a wrong conversion of the
parts shows as a wrong value."""

import os
import subprocess

import pytest

from buildlib import ROOT, build_dir

KERB = os.path.join(ROOT, 'platform', 'kerb')
LIBDIR = os.path.join(build_dir('host'), 'platform', 'kerb')

C_PROGRAM = r'''
#include <complex.h>
#include <stdio.h>
#include <kerb.h>

int main(void)
{
	double complex w = w_of_z(1.0 + 2.0 * I);
	printf("%a %a %d %a\n", creal(w), cimag(w), faddeeva_algorithm, voigt(0.5, 1.0, 0.25));
	return 0;
}
'''

CXX_PROGRAM = r'''
#include <cstdio>
#include <kerb.h>

int main()
{
	std::complex<double> w = w_of_z(std::complex<double>(1.0, 2.0));
	std::printf("%a %a %d %a\n", w.real(), w.imag(), faddeeva_algorithm, voigt(0.5, 1.0, 0.25));
	return 0;
}
'''

# w(1 + 2i) and the profile at 0.5 for sigma 1, gamma 0.25, from mpmath.
W_RE, W_IM = 0.2184926152748907, 0.09299780939260187
VOIGT = 0.29821245704173516

DIALECTS = ([('gcc', s) for s in ('c99', 'c11', 'c17')] +
            [('clang', s) for s in ('c99', 'c11', 'c17')] +
            [('g++', s) for s in ('c++11', 'c++14', 'c++17', 'c++20')] +
            [('clang++', s) for s in ('c++11', 'c++14', 'c++17', 'c++20')])


@pytest.mark.parametrize('compiler,std', DIALECTS)
def test_consumer_compiles_pedantic_and_runs(compiler, std, tmp_path):
    cxx = compiler.endswith('++')
    src = tmp_path / ('consumer.cc' if cxx else 'consumer.c')
    src.write_text(CXX_PROGRAM if cxx else C_PROGRAM)
    exe = tmp_path / 'consumer'
    cc = subprocess.run([compiler, '-std=' + std, '-pedantic', '-Wall', '-Wextra', '-Werror',
                         '-I' + KERB, str(src), '-o', str(exe), '-L' + LIBDIR, '-lkerb',
                         '-Wl,-rpath,' + LIBDIR], capture_output=True, text=True)
    assert cc.returncode == 0, cc.stderr
    out = subprocess.run([str(exe)], capture_output=True, text=True, timeout=30, check=True).stdout
    re_w, im_w, method, v = out.split()
    assert float.fromhex(re_w) == pytest.approx(W_RE, rel=1e-15)
    assert float.fromhex(im_w) == pytest.approx(W_IM, rel=1e-15)
    assert int(method) != 0     # the counter the call left, seen through the header
    assert float.fromhex(v) == pytest.approx(VOIGT, rel=1e-15)
