# SPDX-License-Identifier: ISC
"""What the installed calculators and libkerb consumers must print, held
against values computed with mpmath at 30 digits rather than against what
some build once printed: the packages are checked for working, and the
library's own suites check its last digits and method codes."""

import pytest

W_1_1 = (0.30474420525691259245713884107, 0.208218938202831627287437347255)   # w(1 + i)
V_0_1_1 = 0.208709280520367689148830995415                                    # voigt(0, 1, 1)
REL = 1e-15


# A C consumer of libkerb-dev: w(1 + i) and voigt(0, 1, 1), exactly, in hex.
CONSUMER = r'''
#include <complex.h>
#include <stdio.h>
#include <kerb.h>

int main(void)
{
	double complex w = w_of_z(1.0 + 1.0 * I);
	printf("%a %a %a\n", creal(w), cimag(w), voigt(0.0, 1.0, 1.0));
	return 0;
}
'''


def check_cplxcalc_1_1(line):
    """`cplxcalc 1 1`: Re w, Im w, then the method code and the term count."""
    words = line.split()
    assert len(words) == 4 and line.endswith('\n'), line
    assert tuple(map(float, words[:2])) == pytest.approx(W_1_1, rel=REL)
    assert all(w.isdigit() for w in words[2:]), line


def check_profcalc_0_1_1(line):
    assert line.endswith('\n') and len(line.split()) == 1, line
    assert float(line) == pytest.approx(V_0_1_1, rel=REL)


def check_consumer(output):
    """CONSUMER's output line."""
    re_w, im_w, v = map(float.fromhex, output.split())
    assert (re_w, im_w) == pytest.approx(W_1_1, rel=REL)
    assert v == pytest.approx(V_0_1_1, rel=REL)
