/* SPDX-License-Identifier: ISC */
/*
 * kerb-report X Y: evaluate w(X + iY) in this process, from C, and print the
 * result exactly (hex floats) with the method and term count the library
 * left, so that the tests can hold cplxcalc's output against it.
 */
#include <complex.h>
#include <stdio.h>
#include <stdlib.h>

#include "kerb.h"

int
main(int argc, char *argv[])
{
	double _Complex w;

	if (argc != 3) {
		fputs("usage: kerb-report x y\n", stderr);
		return 2;
	}
	w = w_of_z(CMPLX(strtod(argv[1], NULL), strtod(argv[2], NULL)));
	printf("%a %a %d %d\n", creal(w), cimag(w), faddeeva_algorithm, faddeeva_nofterms);
	return 0;
}
